#include "agent/dns/message.h"

#include "util/ip_packet.h"

#include <fmt/format.h>

#include <cstdlib>
#include <memory>

// Last: ldns's header may define bool and false as macros for C, which the C++ headers must not
// see.
#include <ldns/ldns.h>

namespace quorvel::agent::dns {

namespace {

constexpr std::size_t kAnswerLen = 16;  // name pointer, type, class, TTL, length, address
constexpr std::size_t kOptLen = 11;     // root name, type, payload size, TTL word, length
constexpr std::size_t kFallbackMaxSize = 512;
constexpr uint8_t kPointerToQuestion[2] = {0xc0, static_cast<uint8_t>(kHeaderLen)};

void write_u32(uint8_t* p, uint32_t value) {
    ip::write_u16(p, static_cast<uint16_t>(value >> 16));
    ip::write_u16(p + 2, static_cast<uint16_t>(value));
}

void write_header(const Header& h, uint8_t* out) {
    ip::write_u16(out, h.id);
    out[2] = static_cast<uint8_t>((h.response ? 0x80 : 0) | ((h.op_code & 0x0f) << 3) |
                                  (h.authoritative ? 0x04 : 0) | (h.truncated ? 0x02 : 0) |
                                  (h.recursion_desired ? 0x01 : 0));
    out[3] =
        static_cast<uint8_t>((h.recursion_available ? 0x80 : 0) | (h.authentic_data ? 0x20 : 0) |
                             (h.checking_disabled ? 0x10 : 0) | (h.response_code & 0x0f));
    ip::write_u16(out + 4, h.query_count);
    ip::write_u16(out + 6, h.answer_count);
    ip::write_u16(out + 8, h.name_server_count);
    ip::write_u16(out + 10, h.additional_count);
}

// The text of an ldns mnemonic, released with free().
std::string take_ldns_text(char* text, std::string_view fallback_prefix, uint16_t value) {
    if (text == nullptr) {
        return fmt::format("{}{}", fallback_prefix, value);
    }
    std::string out(text);
    std::free(text);
    return out;
}

}  // namespace

std::string response_code_text(uint16_t code) {
    switch (code) {
        case 0:
            return "No Error";
        case 1:
            return "Form Error";
        case 2:
            return "Server Failure";
        case 3:
            return "Non-Existent Domain";
        case 4:
            return "Not Implemented";
        case 5:
            return "Query Refused";
        case 6:
            return "Name should not exist";
        case 7:
            return "RRset should not exist";
        case 8:
            return "RRset does not exist";
        case 9:
            return "Not authorized";
        case 10:
            return "Name not in zone";
        case 16:
            return "Bad OPT Version";
        default:
            return "Unknown response code";
    }
}

std::string op_code_text(uint8_t code) {
    switch (code) {
        case 0:
            return "QUERY";
        case 2:
            return "STATUS";
        case 4:
            return "NOTIFY";
        case 5:
            return "UPDATE";
        default:
            return fmt::format("Unknown({})", code);
    }
}

std::string record_type_text(uint16_t type) {
    return take_ldns_text(ldns_rr_type2str(static_cast<ldns_rr_type>(type)), "TYPE", type);
}

std::string record_class_text(uint16_t dns_class) {
    return take_ldns_text(ldns_rr_class2str(static_cast<ldns_rr_class>(dns_class)), "CLASS",
                          dns_class);
}

std::string name_text(std::span<const uint8_t> wire) {
    std::string out;
    std::size_t pos = 0;
    while (pos < wire.size() && wire[pos] != 0) {
        const std::size_t len = wire[pos];
        for (std::size_t i = pos + 1; i <= pos + len && i < wire.size(); ++i) {
            const uint8_t c = wire[i];
            if (c > 0x20 && c < 0x7f && c != '.' && c != '\\') {
                out.push_back(static_cast<char>(c));
            } else {
                out += fmt::format("\\{:03}", c);
            }
        }
        out.push_back('.');
        pos += len + 1;
    }
    return out.empty() ? std::string(".") : out;
}

std::optional<std::vector<uint8_t>> name_wire(std::string_view text) {
    std::vector<uint8_t> out;
    if (text == ".") {
        out.push_back(0);
        return out;
    }
    if (!text.ends_with('.')) {
        return std::nullopt;
    }
    text.remove_suffix(1);
    for (;;) {
        const auto dot = text.find('.');
        const std::string_view label = text.substr(0, dot);
        if (label.empty() || label.size() > 63) {
            return std::nullopt;
        }
        out.push_back(static_cast<uint8_t>(label.size()));
        for (char c : label) {
            out.push_back(static_cast<uint8_t>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
        }
        if (dot == std::string_view::npos) {
            break;
        }
        text.remove_prefix(dot + 1);
    }
    out.push_back(0);
    if (out.size() > 255) {
        return std::nullopt;
    }
    return out;
}

std::string Header::flags_text() const {
    std::string out;
    const std::pair<bool, const char*> flags[] = {
        {recursion_desired, "RD"}, {checking_disabled, "CD"},   {truncated, "TC"},
        {authoritative, "AA"},     {recursion_available, "RA"}, {authentic_data, "AD"},
    };
    for (const auto& [set, name] : flags) {
        if (set) {
            if (!out.empty()) {
                out.push_back(',');
            }
            out += name;
        }
    }
    return out;
}

Header Header::response_from_request() const {
    Header out;
    out.id = id;
    out.response = true;
    out.op_code = op_code;
    out.recursion_desired = recursion_desired;
    out.checking_disabled = checking_disabled;
    return out;
}

Result<MessageRequest, std::string> MessageRequest::read(std::span<const uint8_t> bytes) {
    static constexpr uint8_t kNothing = 0;
    ldns_pkt* decoded = nullptr;
    const ldns_status status =
        ldns_wire2pkt(&decoded, bytes.empty() ? &kNothing : bytes.data(), bytes.size());
    if (status != LDNS_STATUS_OK) {
        return unexpected(std::string(ldns_get_errorstr_by_id(status)));
    }
    std::unique_ptr<ldns_pkt, decltype(&ldns_pkt_free)> pkt(decoded, &ldns_pkt_free);

    MessageRequest out;
    Header& h = out.header;
    h.id = ldns_pkt_id(pkt.get());
    h.response = ldns_pkt_qr(pkt.get());
    h.op_code = static_cast<uint8_t>(ldns_pkt_get_opcode(pkt.get()));
    h.authoritative = ldns_pkt_aa(pkt.get());
    h.truncated = ldns_pkt_tc(pkt.get());
    h.recursion_desired = ldns_pkt_rd(pkt.get());
    h.recursion_available = ldns_pkt_ra(pkt.get());
    h.authentic_data = ldns_pkt_ad(pkt.get());
    h.checking_disabled = ldns_pkt_cd(pkt.get());
    h.response_code = static_cast<uint16_t>(ldns_pkt_get_rcode(pkt.get()));
    h.query_count = ldns_pkt_qdcount(pkt.get());
    h.answer_count = ldns_pkt_ancount(pkt.get());
    h.name_server_count = ldns_pkt_nscount(pkt.get());
    h.additional_count = ldns_pkt_arcount(pkt.get());

    const ldns_rr_list* questions = ldns_pkt_question(pkt.get());
    const std::size_t count = questions ? ldns_rr_list_rr_count(questions) : 0;
    out.queries.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const ldns_rr* rr = ldns_rr_list_rr(questions, i);
        const ldns_rdf* owner = ldns_rr_owner(rr);
        Query query;
        if (owner != nullptr) {
            const uint8_t* data = ldns_rdf_data(owner);
            query.name.assign(data, data + ldns_rdf_size(owner));
        } else {
            query.name.push_back(0);
        }
        query.query_type = static_cast<uint16_t>(ldns_rr_get_type(rr));
        query.query_class = static_cast<uint16_t>(ldns_rr_get_class(rr));
        out.queries.push_back(std::move(query));
    }
    if (ldns_pkt_edns(pkt.get())) {
        out.edns = Edns{ldns_pkt_edns_udp_size(pkt.get()), ldns_pkt_edns_version(pkt.get()),
                        ldns_pkt_edns_do(pkt.get())};
        // The upper bits of the query's response code travel in its OPT record.
        h.response_code =
            static_cast<uint16_t>(h.response_code | (ldns_pkt_edns_extended_rcode(pkt.get()) << 4));
    }
    return out;
}

std::string EncodeError::to_string() const {
    return fmt::format("max buffer size exceeded: {}", max_size);
}

Result<ResponseInfo, EncodeError> emit_response(const MessageResponse& response,
                                                std::vector<uint8_t>& out, std::size_t max_size) {
    out.clear();
    if (kHeaderLen + response.queries.size() > max_size) {
        return unexpected(EncodeError{max_size});
    }
    Header header = response.header;
    header.query_count = response.query_count;
    header.answer_count = 0;
    header.name_server_count = 0;
    header.additional_count = 0;

    out.resize(kHeaderLen);
    out.insert(out.end(), response.queries.begin(), response.queries.end());
    // A query with an OPT record must get one back, also when records are left out: keep its
    // room while records are added.
    const std::size_t reserved = response.edns ? kOptLen : 0;
    // Answers point at the first question's name; without a question they cannot be written.
    if (response.query_count > 0) {
        for (const Ipv4Addr addr : response.answers) {
            if (out.size() + kAnswerLen + reserved > max_size) {
                header.truncated = true;
                break;
            }
            const std::size_t at = out.size();
            out.resize(at + kAnswerLen);
            uint8_t* p = out.data() + at;
            p[0] = kPointerToQuestion[0];
            p[1] = kPointerToQuestion[1];
            ip::write_u16(p + 2, record_type::kA);
            ip::write_u16(p + 4, 1);  // IN
            write_u32(p + 6, response.answer_ttl);
            ip::write_u16(p + 10, 4);
            addr.to_bytes(p + 12);
            ++header.answer_count;
        }
    }
    if (!header.truncated) {
        for (const auto& record : response.records) {
            if (out.size() + record.size() + reserved > max_size) {
                header.truncated = true;
                break;
            }
            out.insert(out.end(), record.begin(), record.end());
            ++header.answer_count;
        }
    }
    if (response.edns) {
        if (out.size() + kOptLen > max_size) {
            header.truncated = true;
        } else {
            const std::size_t at = out.size();
            out.resize(at + kOptLen);
            uint8_t* p = out.data() + at;
            p[0] = 0;
            ip::write_u16(p + 1, record_type::kOpt);
            ip::write_u16(p + 3, response.edns->max_payload);
            p[5] = static_cast<uint8_t>(header.response_code >> 4);
            p[6] = response.edns->version;
            ip::write_u16(p + 7, response.edns->dnssec_ok ? 0x8000 : 0);
            ip::write_u16(p + 9, 0);
            ++header.additional_count;
        }
    }
    write_header(header, out.data());
    return ResponseInfo{header};
}

Result<ResponseInfo, EncodeError> encode_fallback_servfail_response(uint16_t id,
                                                                    std::vector<uint8_t>& out) {
    out.clear();
    Header header;
    header.id = id;
    header.response = true;
    header.response_code = response_code::kServFail;
    if (kHeaderLen > kFallbackMaxSize) {
        return unexpected(EncodeError{kFallbackMaxSize});
    }
    out.resize(kHeaderLen);
    write_header(header, out.data());
    return ResponseInfo{header};
}

}  // namespace quorvel::agent::dns
