#include "network/config/routing_tries.h"

#include <queue>
#include <utility>
#include <vector>

#include "network/config/effective.h"

namespace quorvel::network {

namespace {

// One allowed rule as the tables see it: outer key, inner key, peer.
struct TrieRule {
    Ipv4Net outer;
    Ipv4Net inner;
    const p2p::PubKey* pk;
};

// Builds a two-level table from rules ordered by outer key, then inner key: each run of one
// outer key becomes one inner table.
RoutingTrie build_trie(const std::vector<TrieRule>& rules) {
    std::vector<RoutingTrie::Entry> outer;
    std::vector<PeerTable::Entry> inner;
    for (size_t i = 0; i < rules.size(); ++i) {
        inner.push_back({rules[i].inner, *rules[i].pk});
        if (i + 1 == rules.size() || rules[i + 1].outer != rules[i].outer) {
            outer.push_back({rules[i].outer, PeerTable::from_entries(std::move(inner))});
            inner = {};
        }
    }
    return RoutingTrie::from_entries(std::move(outer));
}

}  // namespace

// The list is ordered by direction, source and destination. The inbound table is keyed by source
// and then destination, which is that order already. The outbound table is keyed by destination
// and then source: each source's run of rules is ordered by destination, so merging the runs
// (few: the local node and the routes through it) gives that order without a sort.
RoutingTries EffectiveAccessRuleList::routing_tries() const {
    std::vector<TrieRule> inbound;
    std::vector<std::pair<size_t, size_t>> runs;  // OUT rules with one source: [first, last)
    for (size_t i = 0; i < rules_.size(); ++i) {
        const EffectiveAccessRule& rule = rules_[i];
        if (rule.direction == Direction::IN) {
            if (rule.action == Action::Allow) {
                inbound.push_back({rule.source, rule.dest, &rule.pk});
            }
        } else if (runs.empty() || rules_[runs.back().first].source != rule.source) {
            runs.emplace_back(i, i + 1);
        } else {
            runs.back().second = i + 1;
        }
    }

    std::vector<TrieRule> outbound;
    auto later = [this, &runs](size_t a, size_t b) {
        const EffectiveAccessRule& x = rules_[runs[a].first];
        const EffectiveAccessRule& y = rules_[runs[b].first];
        return x.dest != y.dest ? y.dest < x.dest : y.source < x.source;
    };
    std::priority_queue<size_t, std::vector<size_t>, decltype(later)> heads(later);
    for (size_t r = 0; r < runs.size(); ++r) {
        heads.push(r);
    }
    while (!heads.empty()) {
        const size_t r = heads.top();
        heads.pop();
        const EffectiveAccessRule& rule = rules_[runs[r].first];
        if (rule.action == Action::Allow) {
            outbound.push_back({rule.dest, rule.source, &rule.pk});
        }
        if (++runs[r].first < runs[r].second) {
            heads.push(r);
        }
    }
    return RoutingTries{build_trie(outbound), build_trie(inbound)};
}

}  // namespace quorvel::network
