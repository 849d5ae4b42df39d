// Statistics the node keeps about its super peers and node peers, as snapshots that a status
// report can copy out and render without holding any lock of the node.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

#include <fmt/format.h>
#include <boost/asio/ip/udp.hpp>

#include "p2p/keys.h"

namespace quorvel::p2p {

using Clock = std::chrono::steady_clock;
using Instant = Clock::time_point;
using SocketAddr = boost::asio::ip::udp::endpoint;

// "a.b.c.d:port", or "[v6 address]:port".
std::string socket_addr_to_string(const SocketAddr& addr);

// The state of the check of a peer's proof of work.
enum class PowStatus : uint8_t { Unknw = 0, Ok = 1, Nok = 2 };
std::string_view pow_status_name(PowStatus status);

// A 4-byte identifier a node hands a peer for addressing it in short headers.
struct ShortId {
    std::array<uint8_t, 4> bytes{};
    std::string to_string() const { return to_hex(bytes); }
    bool operator==(const ShortId&) const = default;
};

// One way of reaching a peer: the local socket address and the peer's address.
struct PeerPathKey {
    SocketAddr local;
    SocketAddr remote;
    // "local->remote", each address in its socket-address text form.
    std::string to_string() const;
    bool operator==(const PeerPathKey&) const = default;
};

}  // namespace quorvel::p2p

template <>
struct std::hash<quorvel::p2p::PeerPathKey> {
    size_t operator()(const quorvel::p2p::PeerPathKey& k) const noexcept;
};

namespace quorvel::p2p {

// What the node learnt about one path from its HELLO and ACK exchange.
struct PeerPath {
    // Round trips of recent HELLOs, in microseconds, oldest first.
    std::deque<uint64_t> latencies;
    // The oldest HELLO on this path that has had no ACK yet.
    std::optional<Instant> unanswered_hello_since;
    std::optional<Instant> last_ack_time;

    static constexpr size_t MAX_LATENCIES = 16;

    // Reachable when an ACK arrived within the last `hello_timeout_ms` milliseconds.
    bool is_reachable(Instant now, uint64_t hello_timeout_ms) const;
    void record_hello(Instant sent);
    void record_ack(Instant sent, Instant received);
};

struct SuperPeerStats {
    std::string address;
    // Absent until the address was looked up; empty when the lookup found nothing usable.
    std::optional<std::set<SocketAddr>> resolved_addrs;
    uint16_t tcp_port = 0;
    // This node reaches its super peers over UDP only, so the TCP path stays absent.
    std::optional<PeerPath> tcp_path;
    std::optional<PeerPathKey> tcp_path_key;
    std::deque<PeerPathKey> udp_path_order;
    std::unordered_map<PeerPathKey, PeerPath> udp_paths;
    bool reachable = false;
};

struct NodePeerStats {
    PowStatus pow_status = PowStatus::Unknw;
    bool protocol_v2_supported = false;
    Instant created_at{};
    std::optional<Instant> app_tx;
    std::optional<Instant> app_rx;
    std::deque<PeerPathKey> direct_path_order;
    std::unordered_map<PeerPathKey, PeerPath> direct_paths;
    std::deque<PubKey> relay_path_order;
    std::unordered_map<PubKey, PeerPath> relay_paths;
    std::optional<ShortId> tx_short_id;
    ShortId rx_short_id;
    bool reachable = false;
};

}  // namespace quorvel::p2p

template <>
struct fmt::formatter<quorvel::p2p::PeerPathKey> : fmt::formatter<std::string_view> {
    auto format(const quorvel::p2p::PeerPathKey& k, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(k.to_string(), ctx);
    }
};
