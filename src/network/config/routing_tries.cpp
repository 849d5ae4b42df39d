#include "network/config/routing_tries.h"

#include <boost/unordered/unordered_flat_map.hpp>

#include "network/config/effective.h"

namespace quorvel::network {

namespace {

// Groups the allowed rules of one direction by their outer key and builds one inner table per
// group. A list holds one rule per (direction, source, destination), so no key repeats.
RoutingTrie build_trie(const EffectiveAccessRuleList& list, Direction direction) {
    boost::unordered_flat_map<Ipv4Net, PeerTable::Builder, std::hash<Ipv4Net>> groups;
    for (const auto& [key, rule] : list.rules) {
        if (rule.direction != direction || rule.action != Action::Allow) {
            continue;
        }
        const bool outbound = direction == Direction::OUT;
        const Ipv4Net outer = outbound ? rule.dest : rule.source;
        const Ipv4Net inner = outbound ? rule.source : rule.dest;
        groups[outer].insert_or_assign(inner, rule.pk);
    }
    RoutingTrie::Builder trie;
    for (auto& [outer, inner] : groups) {
        trie.insert_or_assign(outer, std::move(inner).build());
    }
    return std::move(trie).build();
}

}  // namespace

RoutingTries EffectiveAccessRuleList::routing_tries() const {
    return RoutingTries{build_trie(*this, Direction::OUT), build_trie(*this, Direction::IN)};
}

}  // namespace quorvel::network
