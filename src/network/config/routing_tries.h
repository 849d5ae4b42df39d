// The firewall's view of one network's access rules: two two-level longest-prefix tables that hold
// only the allowed pairs, so a packet is checked with two lookups and no rule evaluation.
#pragma once

#include "p2p/keys.h"
#include "util/prefix_trie.h"

namespace quorvel::network {

// The inner level: the other address of the packet to the peer.
using PeerTable = PrefixTrie<p2p::PubKey>;
// The outer level: one address of the packet to the inner table that decides for it. Only the most
// specific outer entry's inner table is searched.
using RoutingTrie = PrefixTrie<PeerTable>;

struct RoutingTries {
    // Destination, then source, to the peer a packet is sent to.
    RoutingTrie outbound;
    // Source, then destination, to the peer a packet may come from.
    RoutingTrie inbound;

    bool operator==(const RoutingTries&) const = default;
};

}  // namespace quorvel::network
