// Feeds arbitrary bytes to the DNS query decoder and, for what decodes as a query, the answer
// path: the overlay catalog's answer, its encoding under several size limits and the reply
// packet. The same bytes are also read as an upstream server's answer, to the question they carry
// when they are a response, else to a fixed one, and a forwarded reply is built from them.
// Checks what must hold for every input: the encoded reply decodes again, stays within its
// limit, names the query's id, and its counts match what was written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

#include "agent/config/agent_config.h"
#include "agent/dns/catalog.h"
#include "agent/dns/forward.h"
#include "agent/dns/response_handle.h"
#include "agent/dns/server.h"
#include "util/ip_packet.h"
#include "util/log.h"

// Last: ldns's header may define bool and false as macros for C, which the C++ headers must not
// see.
#include <ldns/ldns.h>

namespace {

using namespace quorvel;
using namespace quorvel::agent;

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

std::shared_ptr<const dns::Catalog> make_catalog() {
    AgentConfig config(p2p::Identity(p2p::SecKey::random(), p2p::Pow(0)));
    for (int n = 0; n < 3; ++n) {
        Url url = *Url::parse("https://example.com/" + std::to_string(n) + ".toml");
        auto& network = config.network.insert_or_assign(url, network::Network(url)).first->second;
        network::HostnameList hosts;
        hosts.hosts.emplace(Ipv4Addr(10, 1, 0, static_cast<uint8_t>(n + 1)), "alpha");
        hosts.hosts.emplace(Ipv4Addr(10, 2, 0, static_cast<uint8_t>(n + 1)),
                            "h" + std::to_string(n));
        network.desired_state.hostnames = {hosts, std::nullopt};
    }
    auto [server, shutdown_rx] = DnsServerRef::create({});
    server.with_state([&](server::State& state) { state.update_catalog(config.network); });
    return server.catalog();
}

void check_encoded(uint16_t id, std::size_t query_count, const dns::MessageResponse& response,
                   const std::vector<uint8_t>& message, std::size_t limit) {
    check(message.size() >= dns::kHeaderLen);
    check(message.size() <= std::max<std::size_t>(limit, dns::kHeaderLen));
    check(ip::read_u16(message.data()) == id);
    check((message[2] & 0x80) != 0);
    ldns_pkt* decoded = nullptr;
    check(ldns_wire2pkt(&decoded, message.data(), message.size()) == LDNS_STATUS_OK);
    check(ldns_pkt_ancount(decoded) <= response.answers.size() + response.records.size());
    check(ldns_rr_list_rr_count(ldns_pkt_answer(decoded)) == ldns_pkt_ancount(decoded));
    if (message.size() > dns::kHeaderLen) {
        check(ldns_pkt_qdcount(decoded) == query_count);
    }
    ldns_pkt_free(decoded);
}

// The bytes as an upstream answer to `asked`, sent with the id they carry, and the reply a client
// would get from it.
void check_forwarded(std::span<const uint8_t> bytes, const dns::Query& asked) {
    const uint16_t id = bytes.size() >= 2 ? ip::read_u16(bytes.data()) : 0;
    auto upstream = dns::read_upstream_answer(bytes, id, asked);
    if (upstream.kind != dns::UpstreamAnswer::Kind::Answered) {
        check(upstream.records.empty());
        return;
    }
    check(upstream.response_code == dns::response_code::kNoError ||
          upstream.response_code == dns::response_code::kNxDomain);
    dns::MessageResponse response;
    response.header.id = 0x4242;
    response.header.response = true;
    response.header.recursion_available = true;
    response.queries = dns::build_upstream_query(0, asked);
    response.queries.erase(response.queries.begin(), response.queries.begin() + dns::kHeaderLen);
    response.query_count = 1;
    response.edns = dns::Edns{512, 0, false};
    const std::size_t records = upstream.records.size();
    dns::complete_forwarded_response(response, std::move(upstream));
    check(response.records.size() == records);
    std::vector<uint8_t> message;
    for (std::size_t limit : {std::size_t{512}, std::size_t{4096}, std::size_t{65535}}) {
        if (dns::emit_response(response, message, limit)) {
            check_encoded(0x4242, 1, response, message, limit);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        log::clear_sinks();
        return true;
    }();
    (void)quiet;
    static const auto catalog = make_catalog();

    static const dns::Query fixed{*dns::name_wire("www.example.com."), 1, 1};

    const std::span<const uint8_t> bytes(data, size);
    auto request = dns::MessageRequest::read(bytes);
    if (!request) {
        check(!request.error().empty());
        check_forwarded(bytes, fixed);
        return 0;
    }
    if (request->header.response) {
        check_forwarded(bytes, request->queries.size() == 1 ? request->queries.front() : fixed);
        return 0;
    }
    const auto response = catalog->answer(*request).response;
    check(response.header.id == request->header.id);
    check(response.query_count == request->queries.size());
    std::vector<uint8_t> message;
    auto encoded = dns::encode_response(response, message);
    check(encoded.has_value());
    const std::size_t limit = response.edns ? response.edns->max_payload : dns::kDefaultMaxPayload;
    check_encoded(request->header.id, request->queries.size(), response, message, limit);
    for (std::size_t small : {std::size_t{12}, std::size_t{40}, std::size_t{512}}) {
        auto limited = dns::emit_response(response, message, small);
        if (limited) {
            check_encoded(request->header.id, request->queries.size(), response, message, small);
        }
    }
    auto packet =
        ip::build_ipv4_udp(Ipv4Addr(10, 1, 255, 254), 53, Ipv4Addr(10, 1, 0, 5), 40000, message);
    if (packet) {
        check(ip::internet_checksum(std::span<const uint8_t>(*packet).first(20)) == 0);
    }
    return 0;
}
