#include "agent/dns/catalog.h"

#include "agent/dns/forward.h"
#include "agent/dns/response_handle.h"
#include "util/ip_packet.h"
#include "util/log.h"

#include <algorithm>
#include <cctype>

namespace quorvel::agent::dns {

namespace {

constexpr std::string_view kCatalogTarget = "quorvel_agent::agent::dns::catalog";

// Offsets of the labels of an uncompressed wire name, the root's zero byte included.
std::vector<std::size_t> label_offsets(std::span<const uint8_t> name) {
    std::vector<std::size_t> out;
    std::size_t pos = 0;
    while (pos < name.size()) {
        out.push_back(pos);
        if (name[pos] == 0) {
            break;
        }
        pos += std::size_t{name[pos]} + 1;
    }
    return out;
}

std::vector<uint8_t> lower_case(std::span<const uint8_t> name) {
    // Length bytes are at most 63 and never fall into the upper-case letters.
    std::vector<uint8_t> out(name.begin(), name.end());
    for (auto& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<uint8_t>(c - 'A' + 'a');
        }
    }
    return out;
}

bool is_host_label(std::string_view label) {
    return !label.empty() && label.size() <= 63 &&
           std::all_of(label.begin(), label.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
           });
}

}  // namespace

InMemoryAuthority::InMemoryAuthority(std::vector<uint8_t> origin, ZoneType zone_type)
    : origin_(std::move(origin)), zone_type_(zone_type) {}

bool InMemoryAuthority::upsert(std::string_view host, Ipv4Addr addr) {
    if (!is_host_label(host) || 1 + host.size() + origin_.size() > 255) {
        return false;
    }
    auto& addrs = hosts_[std::string(host)];
    if (std::find(addrs.begin(), addrs.end(), addr) == addrs.end()) {
        addrs.push_back(addr);
    }
    return true;
}

std::size_t InMemoryAuthority::record_count() const {
    std::size_t count = 0;
    for (const auto& [host, addrs] : hosts_) {
        count += addrs.size();
    }
    return count;
}

InMemoryAuthority::Lookup InMemoryAuthority::lookup(std::span<const uint8_t> name,
                                                    uint16_t query_type,
                                                    std::span<const Ipv4Addr>& records) const {
    if (name.size() == origin_.size()) {
        return Lookup::NoData;  // the zone's own name
    }
    // Hosts sit one label below the origin; a deeper name is not in the zone.
    const std::size_t label_len = name[0];
    if (1 + label_len + origin_.size() != name.size()) {
        return Lookup::NxDomain;
    }
    const std::string_view label(reinterpret_cast<const char*>(name.data() + 1), label_len);
    const auto host = hosts_.find(label);
    if (host == hosts_.end()) {
        return Lookup::NxDomain;
    }
    if (query_type != record_type::kA && query_type != record_type::kAny) {
        return Lookup::NoData;
    }
    records = host->second;
    return Lookup::Found;
}

void Catalog::upsert(std::shared_ptr<const InMemoryAuthority> authority) {
    for (auto& zone : zones_) {
        if (zone->origin() == authority->origin()) {
            zone = std::move(authority);
            return;
        }
    }
    zones_.push_back(std::move(authority));
}

void Catalog::upsert_root(std::shared_ptr<const ForwardAuthority> forwarder) {
    forwarder_ = std::move(forwarder);
}

const InMemoryAuthority* Catalog::find(std::span<const uint8_t> name) const {
    const InMemoryAuthority* best = nullptr;
    for (const std::size_t offset : label_offsets(name)) {
        const auto suffix = name.subspan(offset);
        for (const auto& zone : zones_) {
            if (std::equal(suffix.begin(), suffix.end(), zone->origin().begin(),
                           zone->origin().end())) {
                best = zone.get();
                break;
            }
        }
        if (best != nullptr) {
            break;  // the longest suffix that is a zone is the closest enclosing one
        }
    }
    return best;
}

Catalog::Answer Catalog::answer(const MessageRequest& request) const {
    Answer out;
    MessageResponse& response = out.response;
    response.header = request.header.response_from_request();
    response.query_count = static_cast<uint16_t>(request.queries.size());
    for (const auto& query : request.queries) {
        const std::size_t at = response.queries.size();
        response.queries.insert(response.queries.end(), query.name.begin(), query.name.end());
        response.queries.resize(response.queries.size() + 4);
        ip::write_u16(response.queries.data() + at + query.name.size(), query.query_type);
        ip::write_u16(response.queries.data() + at + query.name.size() + 2, query.query_class);
    }
    auto& header = response.header;

    if (request.edns) {
        response.edns =
            Edns{std::max<uint16_t>(request.edns->max_payload, 512), 0, request.edns->dnssec_ok};
        if (request.edns->version > 0) {
            QV_WARN(kCatalogTarget, "request edns version greater than 0: {}",
                    request.edns->version);
            header.response_code = response_code::kBadVers;
            return out;
        }
    }
    if (request.header.op_code != op_code::kQuery) {
        QV_WARN(kCatalogTarget, "unimplemented op_code: {}", op_code_text(request.header.op_code));
        header.response_code = response_code::kNotImp;
        return out;
    }
    if (request.queries.size() != 1) {
        header.response_code = response_code::kFormErr;
        return out;
    }
    const auto name = lower_case(request.queries.front().name);
    const InMemoryAuthority* zone = find(name);
    if (zone == nullptr && !forwarder_) {
        header.response_code = response_code::kRefused;
        return out;
    }
    header.recursion_available = true;
    // The forwarder is of the external type too.
    const bool external = zone == nullptr || zone->zone_type() == ZoneType::External;
    if (external && !request.header.recursion_desired) {
        header.response_code = response_code::kRefused;
        return out;
    }
    if (zone == nullptr) {
        out.forward = true;
        return out;
    }
    header.authoritative = zone->zone_type() == ZoneType::Primary;
    std::span<const Ipv4Addr> records;
    switch (zone->lookup(name, request.queries.front().query_type, records)) {
        case InMemoryAuthority::Lookup::Found:
            response.answers = records;
            response.answer_ttl = kRecordTtl;
            break;
        case InMemoryAuthority::Lookup::NoData:
            break;
        case InMemoryAuthority::Lookup::NxDomain:
            header.response_code = response_code::kNxDomain;
            break;
    }
    return out;
}

ResponseInfo Catalog::handle_request(const MessageRequest& request,
                                     ResponseHandler& handler) const {
    auto routed = answer(request);
    if (routed.forward) {
        ResponseInfo pending{routed.response.header};
        ForwardAuthority::forward(forwarder_, request.queries.front(), std::move(routed.response),
                                  handler.detach());
        return pending;
    }
    auto sent = handler.send_response(std::move(routed.response));
    if (!sent) {
        log_request_error(sent.error());
        ResponseInfo failed;
        failed.header = request.header.response_from_request();
        failed.header.response_code = response_code::kServFail;
        return failed;
    }
    return *sent;
}

}  // namespace quorvel::agent::dns
