// The report's views of the P2P node's super peers and node peers: each an owned copy of the
// statistics the P2P library gave when the report was collected, rendered without any lock.
// Elapsed times and each path's reachability are evaluated at rendering, every path reading the
// current instant for itself, so two renderings of one copy can differ. Nothing here is secret:
// the texts are the same with and without secrets.
#pragma once

#include <string>

#include "agent/status/duration_text.h"
#include "p2p/stats.h"

namespace quorvel::agent {

// How long after its last ACK the report counts a path as reachable, in milliseconds.
inline constexpr uint64_t kPathReachableWindowMs = 30000;

struct SuperPeerStatus {
    p2p::SuperPeerStats stats;

    // One line each for the address, the resolved addresses, the TCP connection with its path,
    // the UDP paths in the order of preference and the overall verdict; every line ends with a
    // line feed.
    std::string to_string_with_secrets(bool with_secrets, const NowFn& now = {}) const;
};

struct NodePeerStatus {
    p2p::NodePeerStats stats;

    // Proof-of-work and protocol state, activity times, the direct paths (preferred ones first,
    // then the others by key text), the relayed paths by super-peer key text, the short ids and
    // the overall verdict; every line ends with a line feed.
    std::string to_string_with_secrets(bool with_secrets, const NowFn& now = {}) const;
};

// The five lines that describe one path (HELLO, ACK, latencies, median, reachability), joined by
// line feeds, without one after the last.
std::string format_sp_path(const p2p::PeerPath& path, const NowFn& now = {});
std::string format_np_path(const p2p::PeerPath& path, const NowFn& now = {});

}  // namespace quorvel::agent
