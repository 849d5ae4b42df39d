// Building blocks for tests of the status report: a pinned clock, keys, socket addresses and
// paths whose instants lie at known distances before it.
#pragma once

#include "agent/status/duration_text.h"
#include "p2p/keys.h"
#include "p2p/stats.h"

#include <boost/asio/ip/address.hpp>

#include <chrono>
#include <initializer_list>
#include <optional>

namespace quorvel::agent::testing {

inline const p2p::Instant kNow{std::chrono::hours(1000)};

inline NowFn fixed_now() {
    return [] { return kNow; };
}

// A key whose 32 bytes are all `fill`; keys sort as their fill bytes do.
inline p2p::PubKey key(uint8_t fill) {
    p2p::PubKey::Bytes bytes{};
    bytes.fill(fill);
    return p2p::PubKey(bytes);
}

inline p2p::SocketAddr sock(const char* ip, uint16_t port) {
    return p2p::SocketAddr(boost::asio::ip::make_address(ip), port);
}

// A path with these samples, and a HELLO and an ACK the given times before `kNow`.
inline p2p::PeerPath path(std::initializer_list<uint64_t> latencies,
                          std::optional<std::chrono::nanoseconds> hello_age,
                          std::optional<std::chrono::nanoseconds> ack_age) {
    p2p::PeerPath p;
    p.latencies.assign(latencies.begin(), latencies.end());
    if (hello_age) {
        p.unanswered_hello_since = kNow - *hello_age;
    }
    if (ack_age) {
        p.last_ack_time = kNow - *ack_age;
    }
    return p;
}

}  // namespace quorvel::agent::testing
