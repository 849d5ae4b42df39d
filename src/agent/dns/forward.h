// The root forwarder: the zone of a catalog that covers every name outside the overlay zone and
// asks upstream name servers for it. A server is given its upstream servers when it is created and
// keeps them; a catalog built with at least one gets a forwarder (see
// server::State::update_catalog), one without any refuses names outside the overlay zone.
//
// Asking upstream: the servers in order, one attempt each in turn, over UDP with a time limit per
// attempt and a bounded number of attempts in all. Only datagrams from the server's own address
// and port count. An answer with TC set is asked again over TCP within the same attempt; a TCP
// exchange that fails (refused, reset, closed early, an answer to another id) ends its attempt at
// once. Datagrams that do not decode, or do not answer the question that was sent (id,
// question), are ignored while the attempt waits on. An upstream answer with NOERROR or NXDOMAIN
// ends the lookup; any other code counts as a failed attempt. After the last attempt the client
// gets SERVFAIL.
//
// Every lookup runs as a task of its own, on a strand, with sockets of its own: the query's task
// never waits for an upstream. The response handler (and with it the query's slot in the server's
// limit) goes with the lookup until it has answered. Each lookup also holds one of the server's
// forward slots (kMaxForwardsInFlight): a query that finds none free gets SERVFAIL at once.
#pragma once

#include "agent/dns/agent_dns.h"
#include "agent/dns/message.h"
#include "agent/dns/response_handle.h"

#include <boost/asio/ip/address.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace quorvel::agent::dns {

inline constexpr uint16_t kDefaultUpstreamPort = 53;

// Lookups of one server waiting on upstream at once. Each holds a socket, so this stays well below
// the usual limit of 1,024 descriptors per process even with the server's 4,096 queries in
// flight: a silent upstream and a flood of queries must not use up the host's descriptors.
inline constexpr std::size_t kMaxForwardsInFlight = 256;

// How upstream servers are asked.
struct ResolverOpts {
    std::chrono::milliseconds timeout{5000};  // per attempt
    std::size_t attempts = 2;                 // in all, over the servers in turn
};

// The upstream name servers a server forwards to, kept for the server's life.
struct UpstreamServers {
    std::vector<SocketAddr> servers;
    ResolverOpts options{};

    bool empty() const { return servers.empty(); }
    // The servers as the log shows them: "[192.0.2.1:53, 192.0.2.2:53]", "[]" for none.
    std::string debug_text() const;
};

// An upstream server at `address`, on the DNS port unless another is given.
inline SocketAddr name_server(const boost::asio::ip::address& address,
                              uint16_t port = kDefaultUpstreamPort) {
    return {address, port};
}

// The query sent upstream for `query`: one question, RD set, no EDNS.
std::vector<uint8_t> build_upstream_query(uint16_t id, const Query& query);

// What one datagram or TCP message from upstream means for a lookup of `query` sent with `id`.
struct UpstreamAnswer {
    enum class Kind {
        Ignored,    // does not decode, is not a response, or answers another id or question
        Truncated,  // TC set: ask again over TCP
        Failed,     // a response code other than NOERROR and NXDOMAIN
        Answered,   // NOERROR or NXDOMAIN, with its answer records
    };
    Kind kind = Kind::Ignored;
    uint16_t response_code = 0;
    // Each answer record in wire format with uncompressed names, as the upstream gave it.
    std::vector<std::vector<uint8_t>> records;
};
UpstreamAnswer read_upstream_answer(std::span<const uint8_t> bytes, uint16_t id,
                                    const Query& query);

// Completes a response prepared by the catalog with an upstream answer, or with SERVFAIL when
// there was none (`answer` absent or not Answered).
void complete_forwarded_response(MessageResponse& response, std::optional<UpstreamAnswer> answer);

class ForwardAuthority {
  public:
    // `slots`: the lookups in flight, shared by every forwarder its server builds, so that a
    // rebuilt catalog counts the lookups its predecessor left running. Never null.
    ForwardAuthority(UpstreamServers upstream, std::shared_ptr<QueryLimit> slots)
        : upstream_(std::move(upstream)), slots_(std::move(slots)) {}

    const UpstreamServers& upstream() const { return upstream_; }

    // Looks `query` up upstream in a task of its own on `handler`'s executor, completes
    // `response` with the outcome and sends it through `handler`. Returns at once. With every
    // slot taken, sends SERVFAIL through `handler` before returning.
    static void forward(std::shared_ptr<const ForwardAuthority> self, Query query,
                        MessageResponse response, std::unique_ptr<ResponseHandler> handler);

  private:
    UpstreamServers upstream_;
    std::shared_ptr<QueryLimit> slots_;
};

}  // namespace quorvel::agent::dns
