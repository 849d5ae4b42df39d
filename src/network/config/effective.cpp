#include "network/config/effective.h"

#include <boost/unordered/unordered_flat_set.hpp>

#include <algorithm>
#include <compare>
#include <vector>

#include "network/config/network_config.h"
#include "util/log.h"

namespace quorvel::network {

namespace {

constexpr std::string_view kTarget = "quorvel_agent::network::config";

Ipv4Net host_net(Ipv4Addr ip) {
    return Ipv4Net(ip, 32);
}

Action allow_if(bool allowed) {
    return allowed ? Action::Allow : Action::Deny;
}

// The document as one node sees it. Only the group names that policies and routes mention can
// decide anything, so they are numbered once and every group set becomes a bit mask: a membership
// test per rule is then a few AND operations instead of string lookups in scattered sets.
class LocalView {
  public:
    struct Route {
        const NetworkRoute* route;
        size_t mask;  // offset in masks_
        bool admits_local;
    };

    LocalView(const NetworkConfig& config, const NetworkNode& local) {
        auto number = [this](const GroupSet& groups) {
            for (const std::string& name : groups) {
                ids_.try_emplace(name, static_cast<uint32_t>(ids_.size()));
            }
        };
        for (const NetworkPolicy& policy : config.policies) {
            number(policy.source_groups);
            number(policy.destination_groups);
        }
        for (const auto& [dest, route] : config.routes) {
            number(route.groups);
        }
        words_ = std::max<size_t>(1, (ids_.size() + 63) / 64);

        local_ = add_node(local);
        for (const NetworkPolicy& policy : config.policies) {
            const size_t src = append_mask(policy.source_groups);
            const size_t dst = append_mask(policy.destination_groups);
            const bool src_all = policy.source_groups.contains("ALL");
            const bool dst_all = policy.destination_groups.contains("ALL");
            const bool as_source = src_all || intersects(src, local_);
            const bool as_dest = dst_all || intersects(dst, local_);
            // Policies that do not name the local node on either side can link nothing to it.
            if (as_source || as_dest) {
                policies_.push_back({src, dst, src_all, dst_all, as_source, as_dest});
            }
        }
        routes_.reserve(config.routes.size());
        for (const auto& [dest, route] : config.routes) {
            const size_t mask = append_mask(route.groups);
            routes_.push_back({&route, mask, false});
            routes_.back().admits_local = admits(routes_.back(), local_);
        }
    }

    // Numbers another node's groups; the result names the node in `linked` and `admits`.
    size_t add_node(const NetworkNode& node) { return append_mask(node.groups); }

    // Whether a policy links the local node and this one (matching_policy for two nodes).
    bool linked(size_t node) const {
        for (const Policy& p : policies_) {
            if ((p.local_is_source && (p.dst_all || intersects(p.dst, node))) ||
                (p.local_is_dest && (p.src_all || intersects(p.src, node)))) {
                return true;
            }
        }
        return false;
    }

    // A route with no groups admits every node; "ALL" is an ordinary name here.
    bool admits(const Route& route, size_t node) const {
        return route.route->groups.empty() || intersects(route.mask, node);
    }

    const std::vector<Route>& routes() const { return routes_; }

  private:
    struct Policy {
        size_t src, dst;
        bool src_all, dst_all;
        bool local_is_source, local_is_dest;
    };

    size_t append_mask(const GroupSet& groups) {
        const size_t at = masks_.size();
        masks_.resize(at + words_, 0);
        for (const std::string& name : groups) {
            auto it = ids_.find(name);
            if (it != ids_.end()) {
                masks_[at + it->second / 64] |= uint64_t{1} << (it->second % 64);
            }
        }
        return at;
    }

    bool intersects(size_t a, size_t b) const {
        for (size_t w = 0; w < words_; ++w) {
            if ((masks_[a + w] & masks_[b + w]) != 0) {
                return true;
            }
        }
        return false;
    }

    boost::unordered_flat_map<std::string, uint32_t> ids_;
    size_t words_ = 1;
    std::vector<uint64_t> masks_;
    size_t local_ = 0;
    std::vector<Policy> policies_;
    std::vector<Route> routes_;
};

// Collects the derived rules in the order of the derivation's passes while tracing: each rule is
// traced before it is added, and the first rule that repeats a key ends the derivation right
// after its trace line.
class RuleListBuilder {
  public:
    explicit RuleListBuilder(size_t expected) {
        rules_.reserve(expected);
        seen_.reserve(expected);
    }

    // False when the rule's key was added before.
    bool add(std::string_view what, const EffectiveAccessRule& rule) {
        QV_TRACE(kTarget, "Adding {} rule for {}: {}", to_string(rule.direction), what,
                 rule.debug());
        if (!seen_.insert({rule.direction, rule.source, rule.dest}).second) {
            return false;
        }
        rules_.push_back(rule);
        return true;
    }

    Result<EffectiveAccessRuleList, ConfigError> finish() && {
        // No key repeats, so ordering the rules cannot fail.
        return std::move(EffectiveAccessRuleList::from_rules(std::move(rules_))).value();
    }

  private:
    std::vector<EffectiveAccessRule> rules_;
    boost::unordered_flat_set<EffectiveAccessRuleListEntryKey, EffectiveAccessRuleListEntryKeyHash>
        seen_;
};

// The canonical order of the rule list as two integers compared in turn: OUT before IN, then the
// source's address and prefix length, then the destination's.
struct OrderKey {
    uint64_t major;
    uint64_t minor;

    explicit OrderKey(const EffectiveAccessRuleListEntryKey& key)
        : major((uint64_t{key.direction == Direction::OUT ? 0u : 1u} << 40) |
                (uint64_t{key.source.addr().to_u32()} << 8) | key.source.prefix_len()),
          minor((uint64_t{key.dest.addr().to_u32()} << 8) | key.dest.prefix_len()) {}
    explicit OrderKey(const EffectiveAccessRule& rule)
        : OrderKey(EffectiveAccessRuleListEntryKey{rule.direction, rule.source, rule.dest}) {}

    auto operator<=>(const OrderKey&) const = default;
};

}  // namespace

std::optional<EffectiveAccessRuleList> EffectiveAccessRuleList::from_rules(
    std::vector<EffectiveAccessRule> rules) {
    // Rules that arrive in canonical order, as the derivation writes them, are checked in one
    // pass and kept as they are.
    bool ordered = true;
    for (size_t i = 1; i < rules.size() && ordered; ++i) {
        ordered = OrderKey(rules[i - 1]) < OrderKey(rules[i]);
    }
    if (ordered) {
        EffectiveAccessRuleList list;
        list.rules_ = std::move(rules);
        return list;
    }
    struct Slot {
        OrderKey key;
        uint32_t index;
    };
    std::vector<Slot> order;
    order.reserve(rules.size());
    for (size_t i = 0; i < rules.size(); ++i) {
        order.push_back({OrderKey(rules[i]), static_cast<uint32_t>(i)});
    }
    std::sort(order.begin(), order.end(),
              [](const Slot& a, const Slot& b) { return a.key < b.key; });
    EffectiveAccessRuleList list;
    list.rules_.reserve(rules.size());
    for (size_t i = 0; i < order.size(); ++i) {
        if (i > 0 && order[i].key == order[i - 1].key) {
            return std::nullopt;
        }
        list.rules_.push_back(std::move(rules[order[i].index]));
    }
    return list;
}

const EffectiveAccessRule* EffectiveAccessRuleList::find(const Key& key) const {
    const OrderKey wanted(key);
    auto it = std::lower_bound(
        rules_.begin(), rules_.end(), wanted,
        [](const EffectiveAccessRule& r, const OrderKey& k) { return OrderKey(r) < k; });
    return it != rules_.end() && OrderKey(*it) == wanted ? &*it : nullptr;
}

size_t EffectiveAccessRuleListEntryKeyHash::operator()(
    const EffectiveAccessRuleListEntryKey& key) const noexcept {
    // Both 64-bit halves go through a full avalanche mix (the finaliser of MurmurHash3), so keys
    // that differ in a single address bit still spread over the whole table.
    auto mix = [](uint64_t x) {
        x ^= x >> 33;
        x *= 0xff51afd7ed558ccdULL;
        x ^= x >> 33;
        x *= 0xc4ceb9fe1a85ec53ULL;
        x ^= x >> 33;
        return x;
    };
    const uint64_t a = (uint64_t{key.source.addr().to_u32()} << 32) | key.dest.addr().to_u32();
    const uint64_t b = (uint64_t{static_cast<uint8_t>(key.direction)} << 16) |
                       (uint64_t{key.source.prefix_len()} << 8) | key.dest.prefix_len();
    return static_cast<size_t>(mix(a ^ mix(b + 0x9e3779b97f4a7c15ULL)));
}

std::optional<Ipv4Addr> NetworkConfig::ip(const p2p::PubKey& pk) const {
    auto it = nodes.find(pk);
    if (it == nodes.end()) {
        return std::nullopt;
    }
    return it->second.ip;
}

GroupIndex NetworkConfig::groups() const {
    GroupIndex index;
    for (const auto& [pk, node] : nodes) {
        for (const std::string& name : node.groups) {
            index[name].insert(pk);
        }
    }
    return index;
}

bool NetworkConfig::matching_policy(const p2p::PubKey& a, const p2p::PubKey& b) const {
    if (a == b) {
        return true;
    }
    auto node_a = nodes.find(a);
    auto node_b = nodes.find(b);
    if (node_a == nodes.end() || node_b == nodes.end()) {
        return false;
    }
    LocalView view(*this, node_a->second);
    return view.linked(view.add_node(node_b->second));
}

Result<EffectiveAccessRuleList, ConfigError> NetworkConfig::effective_access_rule_list(
    const p2p::PubKey& local_pk) const {
    auto local_it = nodes.find(local_pk);
    if (local_it == nodes.end()) {
        // Callers check membership first; a stranger has no rules.
        return EffectiveAccessRuleList{};
    }
    const Ipv4Net local_net = host_net(local_it->second.ip);
    LocalView view(*this, local_it->second);

    // Each other node with its policy link to the local node, worked out once. The key and the
    // address are copied so that the per-route passes over all peers read one contiguous array
    // instead of chasing the document's scattered map nodes.
    struct Peer {
        p2p::PubKey pk;
        Ipv4Net net;
        size_t groups;
        Action linked;
    };
    std::vector<Peer> peers;
    peers.reserve(nodes.size());
    for (const auto& [pk, node] : nodes) {
        if (pk != local_pk) {
            const size_t groups = view.add_node(node);
            peers.push_back({pk, host_net(node.ip), groups, allow_if(view.linked(groups))});
        }
    }
    size_t expected = peers.size();
    for (const LocalView::Route& r : view.routes()) {
        expected += r.route->gw == local_pk ? peers.size() : 1;
    }
    expected *= 2;

    if (log::enabled(log::Level::Trace)) {
        // Rules in the order of the four passes (OUT node and route rules, then IN node and route
        // rules), each traced before it is added, as the trace lines tell the story of the
        // derivation.
        RuleListBuilder list(expected);
        for (Direction dir : {Direction::OUT, Direction::IN}) {
            const bool out = dir == Direction::OUT;
            for (const Peer& peer : peers) {
                if (!list.add("node", {dir, out ? local_net : peer.net, out ? peer.net : local_net,
                                       peer.pk, peer.linked})) {
                    return unexpected(ConfigError(ConfigError::DuplicateRoute{}));
                }
            }
            for (const LocalView::Route& r : view.routes()) {
                const NetworkRoute& route = *r.route;
                if (route.gw != local_pk) {
                    if (!list.add("route (non-gateway)",
                                  {dir, out ? local_net : route.dest, out ? route.dest : local_net,
                                   route.gw, allow_if(r.admits_local)})) {
                        return unexpected(ConfigError(ConfigError::DuplicateRoute{}));
                    }
                    continue;
                }
                for (const Peer& peer : peers) {
                    if (!list.add("route (gateway)",
                                  {dir, out ? route.dest : peer.net, out ? peer.net : route.dest,
                                   peer.pk, allow_if(view.admits(r, peer.groups))})) {
                        return unexpected(ConfigError(ConfigError::DuplicateRoute{}));
                    }
                }
            }
        }
        return std::move(list).finish();
    }

    // The same rules, written straight in the list's canonical order so that no sort and no hash
    // probe per rule is needed. Peers and routes are sorted once; each source's destinations
    // are then merged from sorted sequences. Should a document make two keys meet (a route onto a
    // node's or the local node's address), the list falls back to sorting and reports the
    // repeated key.
    std::sort(peers.begin(), peers.end(),
              [](const Peer& a, const Peer& b) { return a.net < b.net; });
    std::vector<const LocalView::Route*> gateways;
    std::vector<const LocalView::Route*> others;
    for (const LocalView::Route& r : view.routes()) {
        (r.route->gw == local_pk ? gateways : others).push_back(&r);
    }
    auto by_dest = [](const LocalView::Route* a, const LocalView::Route* b) {
        return a->route->dest < b->route->dest;
    };
    std::sort(gateways.begin(), gateways.end(), by_dest);
    std::sort(others.begin(), others.end(), by_dest);

    std::vector<EffectiveAccessRule> rules;
    rules.reserve(expected);
    auto out_via_other = [&](const LocalView::Route* r) {
        rules.push_back(
            {Direction::OUT, local_net, r->route->dest, r->route->gw, allow_if(r->admits_local)});
    };
    auto in_via_other = [&](const LocalView::Route* r) {
        rules.push_back(
            {Direction::IN, r->route->dest, local_net, r->route->gw, allow_if(r->admits_local)});
    };
    auto out_via_local = [&](const LocalView::Route* r) {
        for (const Peer& peer : peers) {
            rules.push_back({Direction::OUT, r->route->dest, peer.net, peer.pk,
                             allow_if(view.admits(*r, peer.groups))});
        }
    };
    auto in_via_local = [&](const Peer& peer, const LocalView::Route* r) {
        rules.push_back({Direction::IN, peer.net, r->route->dest, peer.pk,
                         allow_if(view.admits(*r, peer.groups))});
    };

    // OUT: the sources are the local node and the destinations of the routes through it.
    size_t g = 0;
    for (; g < gateways.size() && gateways[g]->route->dest < local_net; ++g) {
        out_via_local(gateways[g]);
    }
    size_t o = 0;
    for (const Peer& peer : peers) {
        for (; o < others.size() && others[o]->route->dest < peer.net; ++o) {
            out_via_other(others[o]);
        }
        rules.push_back({Direction::OUT, local_net, peer.net, peer.pk, peer.linked});
    }
    for (; o < others.size(); ++o) {
        out_via_other(others[o]);
    }
    for (; g < gateways.size(); ++g) {
        out_via_local(gateways[g]);
    }

    // IN: the sources are the other nodes and the destinations of the routes through others.
    o = 0;
    for (const Peer& peer : peers) {
        for (; o < others.size() && others[o]->route->dest < peer.net; ++o) {
            in_via_other(others[o]);
        }
        g = 0;
        for (; g < gateways.size() && gateways[g]->route->dest < local_net; ++g) {
            in_via_local(peer, gateways[g]);
        }
        rules.push_back({Direction::IN, peer.net, local_net, peer.pk, peer.linked});
        for (; g < gateways.size(); ++g) {
            in_via_local(peer, gateways[g]);
        }
    }
    for (; o < others.size(); ++o) {
        in_via_other(others[o]);
    }

    auto list = EffectiveAccessRuleList::from_rules(std::move(rules));
    if (!list) {
        return unexpected(ConfigError(ConfigError::DuplicateRoute{}));
    }
    return std::move(*list);
}

Result<EffectiveRoutingList, ConfigError> NetworkConfig::effective_routing_list(
    const p2p::PubKey& local_pk) const {
    EffectiveRoutingList list;
    auto local_it = nodes.find(local_pk);
    if (local_it == nodes.end()) {
        // Callers check membership first; a stranger installs no routes.
        return list;
    }
    const LocalView view(*this, local_it->second);
    for (const LocalView::Route& r : view.routes()) {
        const NetworkRoute& route = *r.route;
        if (route.gw == local_pk || !r.admits_local) {
            continue;
        }
        auto gateway = nodes.find(route.gw);
        if (gateway == nodes.end()) {
            return unexpected(ConfigError(ConfigError::GatewayNotFound{route.gw}));
        }
        list.routes.insert_or_assign(route.dest, EffectiveRoute{route.dest, gateway->second.ip});
    }
    return list;
}

EffectiveForwardingList NetworkConfig::effective_forwarding_list(
    const p2p::PubKey& local_pk) const {
    EffectiveForwardingList list;
    for (const auto& [dest, route] : routes) {
        if (route.gw == local_pk) {
            list.networks.insert(route.dest);
        }
    }
    return list;
}

HostnameList NetworkConfig::hostnames(const p2p::PubKey& local_pk) const {
    HostnameList list;
    auto local_it = nodes.find(local_pk);
    if (local_it == nodes.end()) {
        return list;
    }
    LocalView view(*this, local_it->second);
    list.hosts.reserve(nodes.size());
    for (const auto& [pk, node] : nodes) {
        if (pk == local_pk || view.linked(view.add_node(node))) {
            list.hosts.insert_or_assign(node.ip, node.hostname);
        }
    }
    return list;
}

}  // namespace quorvel::network
