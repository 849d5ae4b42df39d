// Feeds arbitrary bytes to the DNS query decoder and, for what decodes as a query, the answer
// path: the overlay catalog's answer, its encoding under several size limits and the reply
// packet. Checks what must hold for every input: the encoded reply decodes again, stays within
// its limit, names the query's id, and its counts match what was written.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

#include "agent/config/agent_config.h"
#include "agent/dns/catalog.h"
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

void check_encoded(const dns::MessageRequest& request, const dns::MessageResponse& response,
                   const std::vector<uint8_t>& message, std::size_t limit) {
    check(message.size() >= dns::kHeaderLen);
    check(message.size() <= std::max<std::size_t>(limit, dns::kHeaderLen));
    check(ip::read_u16(message.data()) == request.header.id);
    check((message[2] & 0x80) != 0);
    ldns_pkt* decoded = nullptr;
    check(ldns_wire2pkt(&decoded, message.data(), message.size()) == LDNS_STATUS_OK);
    check(ldns_pkt_ancount(decoded) <= response.answers.size());
    check(ldns_rr_list_rr_count(ldns_pkt_answer(decoded)) == ldns_pkt_ancount(decoded));
    if (message.size() > dns::kHeaderLen) {
        check(ldns_pkt_qdcount(decoded) == request.queries.size());
    }
    ldns_pkt_free(decoded);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool quiet = [] {
        log::clear_sinks();
        return true;
    }();
    (void)quiet;
    static const auto catalog = make_catalog();

    auto request = dns::MessageRequest::read(std::span<const uint8_t>(data, size));
    if (!request) {
        check(!request.error().empty());
        return 0;
    }
    if (request->header.response) {
        return 0;
    }
    const auto response = catalog->answer(*request).response;
    check(response.header.id == request->header.id);
    check(response.query_count == request->queries.size());
    std::vector<uint8_t> message;
    auto encoded = dns::encode_response(response, message);
    check(encoded.has_value());
    const std::size_t limit = response.edns ? response.edns->max_payload : dns::kDefaultMaxPayload;
    check_encoded(*request, response, message, limit);
    for (std::size_t small : {std::size_t{12}, std::size_t{40}, std::size_t{512}}) {
        auto limited = dns::emit_response(response, message, small);
        if (limited) {
            check_encoded(*request, response, message, small);
        }
    }
    auto packet =
        ip::build_ipv4_udp(Ipv4Addr(10, 1, 255, 254), 53, Ipv4Addr(10, 1, 0, 5), 40000, message);
    if (packet) {
        check(ip::internet_checksum(std::span<const uint8_t>(*packet).first(20)) == 0);
    }
    return 0;
}
