// Building DNS queries and reading replies in tests. Queries are written byte by byte; replies are
// read with ldns and with the plain reference checksum, independently of the server's encoder.
#pragma once

#include "network/config/effective.h"
#include "util/ipv4.h"
#include "util/reference_checksum.h"

#include <gtest/gtest.h>
#include <ldns/ldns.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::agent::testing {

struct QuestionSpec {
    std::string name;  // absolute or relative text, labels separated by dots
    uint16_t type = 1;
    uint16_t dns_class = 1;
};

struct EdnsSpec {
    uint16_t size = 1232;
    uint8_t version = 0;
    bool dnssec_ok = false;
};

struct QuerySpec {
    uint16_t id = 0x1234;
    bool response = false;
    uint8_t op_code = 0;
    bool recursion_desired = true;
    bool checking_disabled = false;
    std::vector<QuestionSpec> questions = {{"alpha.quorvel.internal."}};
    std::optional<EdnsSpec> edns;
};

// A query with one question for `name` of `type`, class IN, RD set.
inline QuerySpec question(std::string name, uint16_t type = 1) {
    QuerySpec spec;
    spec.questions = {{std::move(name), type}};
    return spec;
}

// Host names of one network, as the network document gives them.
inline network::HostnameList hosts(std::vector<std::pair<Ipv4Addr, std::string>> entries) {
    network::HostnameList list;
    for (auto& [addr, name] : entries) {
        list.hosts.emplace(addr, std::move(name));
    }
    return list;
}

inline void put_u16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

inline void put_name(std::vector<uint8_t>& out, std::string name) {
    if (!name.empty() && name.back() == '.') {
        name.pop_back();
    }
    std::size_t start = 0;
    while (start < name.size()) {
        std::size_t dot = name.find('.', start);
        if (dot == std::string::npos) {
            dot = name.size();
        }
        out.push_back(static_cast<uint8_t>(dot - start));
        out.insert(out.end(), name.begin() + static_cast<std::ptrdiff_t>(start),
                   name.begin() + static_cast<std::ptrdiff_t>(dot));
        start = dot + 1;
    }
    out.push_back(0);
}

inline std::vector<uint8_t> make_query(const QuerySpec& spec) {
    std::vector<uint8_t> out;
    put_u16(out, spec.id);
    out.push_back(static_cast<uint8_t>((spec.response ? 0x80 : 0) | (spec.op_code << 3) |
                                       (spec.recursion_desired ? 1 : 0)));
    out.push_back(spec.checking_disabled ? 0x10 : 0);
    put_u16(out, static_cast<uint16_t>(spec.questions.size()));
    put_u16(out, 0);
    put_u16(out, 0);
    put_u16(out, spec.edns ? 1 : 0);
    for (const auto& q : spec.questions) {
        put_name(out, q.name);
        put_u16(out, q.type);
        put_u16(out, q.dns_class);
    }
    if (spec.edns) {
        out.push_back(0);
        put_u16(out, 41);
        put_u16(out, spec.edns->size);
        out.push_back(0);
        out.push_back(spec.edns->version);
        put_u16(out, spec.edns->dnssec_ok ? 0x8000 : 0);
        put_u16(out, 0);
    }
    return out;
}

// A reply as a resolver sees it.
struct DecodedReply {
    uint16_t id = 0;
    bool qr = false, aa = false, tc = false, rd = false, ra = false, cd = false;
    uint8_t op_code = 0;
    uint16_t rcode = 0;  // with the OPT record's upper bits
    uint16_t qdcount = 0, ancount = 0, nscount = 0, arcount = 0;
    std::vector<std::string> questions;                     // "name type class" as ldns prints them
    std::vector<std::pair<std::string, Ipv4Addr>> answers;  // owner, address
    std::vector<uint32_t> answer_ttls;
    bool edns = false;
    uint16_t edns_size = 0;
    uint8_t edns_version = 0;
    bool edns_do = false;
};

inline std::string rdf_text(const ldns_rdf* rdf) {
    char* text = ldns_rdf2str(rdf);
    std::string out = text ? text : "";
    free(text);
    return out;
}

// Decodes with ldns; nullopt (and a test failure) when it cannot.
inline std::optional<DecodedReply> decode_reply(const std::vector<uint8_t>& message) {
    ldns_pkt* raw = nullptr;
    if (ldns_wire2pkt(&raw, message.data(), message.size()) != LDNS_STATUS_OK) {
        ADD_FAILURE() << "reply does not decode";
        return std::nullopt;
    }
    std::unique_ptr<ldns_pkt, decltype(&ldns_pkt_free)> pkt(raw, &ldns_pkt_free);
    DecodedReply r;
    r.id = ldns_pkt_id(raw);
    r.qr = ldns_pkt_qr(raw);
    r.aa = ldns_pkt_aa(raw);
    r.tc = ldns_pkt_tc(raw);
    r.rd = ldns_pkt_rd(raw);
    r.ra = ldns_pkt_ra(raw);
    r.cd = ldns_pkt_cd(raw);
    r.op_code = static_cast<uint8_t>(ldns_pkt_get_opcode(raw));
    r.rcode =
        static_cast<uint16_t>(ldns_pkt_get_rcode(raw) | (ldns_pkt_edns_extended_rcode(raw) << 4));
    // Counts as written on the wire, before ldns takes the OPT record out.
    r.qdcount = static_cast<uint16_t>((message[4] << 8) | message[5]);
    r.ancount = static_cast<uint16_t>((message[6] << 8) | message[7]);
    r.nscount = static_cast<uint16_t>((message[8] << 8) | message[9]);
    r.arcount = static_cast<uint16_t>((message[10] << 8) | message[11]);
    const ldns_rr_list* qs = ldns_pkt_question(raw);
    for (std::size_t i = 0; qs && i < ldns_rr_list_rr_count(qs); ++i) {
        const ldns_rr* rr = ldns_rr_list_rr(qs, i);
        char* type = ldns_rr_type2str(ldns_rr_get_type(rr));
        char* cls = ldns_rr_class2str(ldns_rr_get_class(rr));
        r.questions.push_back(rdf_text(ldns_rr_owner(rr)) + " " + type + " " + cls);
        free(type);
        free(cls);
    }
    const ldns_rr_list* an = ldns_pkt_answer(raw);
    for (std::size_t i = 0; an && i < ldns_rr_list_rr_count(an); ++i) {
        const ldns_rr* rr = ldns_rr_list_rr(an, i);
        EXPECT_EQ(ldns_rr_get_type(rr), LDNS_RR_TYPE_A);
        EXPECT_EQ(ldns_rr_get_class(rr), LDNS_RR_CLASS_IN);
        const ldns_rdf* data = ldns_rr_rdf(rr, 0);
        r.answers.emplace_back(rdf_text(ldns_rr_owner(rr)),
                               Ipv4Addr::from_bytes(ldns_rdf_data(data)));
        r.answer_ttls.push_back(ldns_rr_ttl(rr));
    }
    r.edns = ldns_pkt_edns(raw);
    r.edns_size = ldns_pkt_edns_udp_size(raw);
    r.edns_version = ldns_pkt_edns_version(raw);
    r.edns_do = ldns_pkt_edns_do(raw);
    return r;
}

// An IPv4/UDP reply packet, checked: 20-byte header with TTL 64, identification 0, don't-fragment,
// valid header and UDP checksums and matching lengths.
struct ReplyPacket {
    Ipv4Addr src, dst;
    uint16_t src_port = 0, dst_port = 0;
    std::vector<uint8_t> message;
};

inline std::optional<ReplyPacket> check_reply_packet(const std::vector<uint8_t>& p) {
    if (p.size() < 28) {
        ADD_FAILURE() << "reply packet of " << p.size() << " bytes";
        return std::nullopt;
    }
    EXPECT_EQ(p[0], 0x45);
    EXPECT_EQ(p[1], 0);
    EXPECT_EQ(((p[2] << 8) | p[3]), static_cast<int>(p.size()));
    EXPECT_EQ(((p[4] << 8) | p[5]), 0);
    EXPECT_EQ(((p[6] << 8) | p[7]), 0x4000);
    EXPECT_EQ(p[8], 64);
    EXPECT_EQ(p[9], 17);
    EXPECT_EQ(quorvel::testing::reference_checksum(std::span(p.data(), 20)), 0);
    EXPECT_EQ(((p[24] << 8) | p[25]), static_cast<int>(p.size() - 20));
    // The UDP checksum over the pseudo-header, the header and the data sums to zero.
    std::vector<uint8_t> pseudo(p.begin() + 12, p.begin() + 20);
    pseudo.push_back(0);
    pseudo.push_back(17);
    put_u16(pseudo, static_cast<uint16_t>(p.size() - 20));
    pseudo.insert(pseudo.end(), p.begin() + 20, p.end());
    EXPECT_NE(((p[26] << 8) | p[27]), 0);
    EXPECT_EQ(quorvel::testing::reference_checksum(pseudo), 0);
    ReplyPacket r;
    r.src = Ipv4Addr::from_bytes(&p[12]);
    r.dst = Ipv4Addr::from_bytes(&p[16]);
    r.src_port = static_cast<uint16_t>((p[20] << 8) | p[21]);
    r.dst_port = static_cast<uint16_t>((p[22] << 8) | p[23]);
    r.message.assign(p.begin() + 28, p.end());
    return r;
}

// An IPv4/UDP packet from `src`:`src_port` to `dst`:53 carrying `payload`; checksums left 0, as
// the intake does not look at them.
inline std::vector<uint8_t> query_packet(Ipv4Addr src, uint16_t src_port, Ipv4Addr dst,
                                         const std::vector<uint8_t>& payload,
                                         uint16_t dst_port = 53) {
    std::vector<uint8_t> p(28, 0);
    p[0] = 0x45;
    p[8] = 64;
    p[9] = 17;
    const auto total = static_cast<uint16_t>(28 + payload.size());
    p[2] = static_cast<uint8_t>(total >> 8);
    p[3] = static_cast<uint8_t>(total);
    src.to_bytes(&p[12]);
    dst.to_bytes(&p[16]);
    p[20] = static_cast<uint8_t>(src_port >> 8);
    p[21] = static_cast<uint8_t>(src_port);
    p[22] = static_cast<uint8_t>(dst_port >> 8);
    p[23] = static_cast<uint8_t>(dst_port);
    const auto udp_len = static_cast<uint16_t>(8 + payload.size());
    p[24] = static_cast<uint8_t>(udp_len >> 8);
    p[25] = static_cast<uint8_t>(udp_len);
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

}  // namespace quorvel::agent::testing
