// The P2P node's options as the agent builds them at start: the node identity, the super peers,
// and eleven settings from "QUORVEL_" environment variables.
#pragma once

#include "agent/error.h"
#include "p2p/identity.h"
#include "p2p/node_opts.h"
#include "p2p/super_peer.h"
#include "util/result.h"

#include <boost/asio/ip/address.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::agent {

// The environment's node settings, read in a fixed order. Unusable values give the defaults.
struct NodeEnv {
    uint8_t min_pow_difficulty = p2p::MIN_POW_DIFFICULTY_DEFAULT;
    bool arm_messages = p2p::ARM_MESSAGES_DEFAULT;
    std::string udp_addrs;
    std::string udp_port;
    uint64_t max_peers = p2p::MAX_PEERS_DEFAULT;
    uint64_t hello_timeout = p2p::HELLO_TIMEOUT_DEFAULT_MS;
    uint64_t hello_max_age = p2p::HELLO_MAX_AGE_DEFAULT_MS;
    bool process_unites = p2p::PROCESS_UNITES_DEFAULT;
    uint64_t housekeeping_interval = p2p::HOUSEKEEPING_INTERVAL_DEFAULT_MS;
    bool enforce_tcp = p2p::ENFORCE_TCP_DEFAULT;
    uint64_t mtu = p2p::MTU_DEFAULT;

    static NodeEnv read();
};

// The addresses of a UDP_ADDRS value, split at Unicode white space; each piece must be an IP
// address in its standard text form. Fails with "Invalid udp addresses: {piece}", the piece as
// outside text (util/shown_text.h): at most 1 KiB of it, credentials masked.
Result<std::vector<boost::asio::ip::address>, Error> parse_udp_addrs(std::string_view text);

// Milliseconds from an unsigned environment value. Values beyond what a clock duration holds in
// nanoseconds are capped (at about 292 years): converting them unchecked would wrap to a negative
// or tiny period, and a timer with such a period fires without pause.
std::chrono::milliseconds saturating_millis(uint64_t ms);

// The node options from the identity, the super peers and the environment's settings. Fails with
// a configuration error "Invalid udp addresses: ..." for a UDP_ADDRS piece that is not an IP
// address, and "Failed to build node opts: ..." for options the builder refuses or a MAX_PEERS
// value that is neither 0 nor a power of two (which the node cannot bind with).
Result<p2p::NodeOpts, Error> build_node_opts(const NodeEnv& env, p2p::Identity identity,
                                             std::vector<p2p::SuperPeerUrl> super_peers);

}  // namespace quorvel::agent
