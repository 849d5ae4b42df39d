// What the local node derives from a network's configuration document: its access rules, the
// routes it installs, the destinations it forwards for as a gateway and the host names its DNS
// answers. All are plain values rebuilt from the document on every pass; two lists are equal when
// they hold the same entries, whatever order they were built in, and print as tables sorted so
// that equal lists give the same text.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <fmt/format.h>

#include "network/config/routing_tries.h"
#include "p2p/keys.h"
#include "util/ipv4.h"

namespace quorvel::network {

// The direction of a rule as seen from the local node.
enum class Direction : uint8_t {
    IN = 0,   // traffic arriving from a peer
    OUT = 1,  // traffic leaving towards a peer
};

enum class Action : uint8_t {
    Allow = 0,
    Deny = 1,
};

// "IN" or "OUT", both as display and as debug text.
std::string_view to_string(Direction direction);
std::string_view debug_string(Direction direction);
// "ALLOW" or "DENY".
std::string_view to_string(Action action);
// "Allow" or "Deny".
std::string_view debug_string(Action action);

struct EffectiveAccessRule {
    Direction direction = Direction::IN;
    Ipv4Net source;  // network the packet comes from
    Ipv4Net dest;    // network the packet goes to
    p2p::PubKey pk;  // the peer a packet is sent to (OUT) or received from (IN)
    Action action = Action::Deny;

    // One line: "direction=OUT source=... dest=... pk=... action=Allow\n".
    std::string to_string() const;
    // "EffectiveAccessRule { direction: OUT, source: ..., dest: ..., pk: ..., action: Allow }".
    std::string debug() const;

    bool operator==(const EffectiveAccessRule&) const = default;
};

// Identifies a rule within one list: at most one rule per direction, source and destination.
struct EffectiveAccessRuleListEntryKey {
    Direction direction = Direction::IN;
    Ipv4Net source;
    Ipv4Net dest;

    bool operator==(const EffectiveAccessRuleListEntryKey&) const = default;
};

struct EffectiveAccessRuleListEntryKeyHash {
    size_t operator()(const EffectiveAccessRuleListEntryKey& key) const noexcept;
};

// The local node's access rules, at most one per key. They are kept in one canonical order (the
// order of the table: OUT before IN, then by source, then by destination, each network by address
// and prefix length), so equal lists compare and print alike however they were built.
class EffectiveAccessRuleList {
  public:
    using Key = EffectiveAccessRuleListEntryKey;
    using const_iterator = std::vector<EffectiveAccessRule>::const_iterator;

    EffectiveAccessRuleList() = default;

    // The list of these rules, in any order; nothing when two of them share a key.
    static std::optional<EffectiveAccessRuleList> from_rules(
        std::vector<EffectiveAccessRule> rules);

    // The rule with this key, or null.
    const EffectiveAccessRule* find(const Key& key) const;

    size_t size() const { return rules_.size(); }
    bool empty() const { return rules_.empty(); }
    // The rules in canonical order.
    const_iterator begin() const { return rules_.begin(); }
    const_iterator end() const { return rules_.end(); }

    // The two-level prefix tables of the allowed rules, for the firewall.
    RoutingTries routing_tries() const;

    // The access-rule table.
    std::string to_string() const;

    bool operator==(const EffectiveAccessRuleList&) const = default;

  private:
    std::vector<EffectiveAccessRule> rules_;
};

struct EffectiveRoute {
    Ipv4Net dest;
    Ipv4Addr gw;  // overlay address of the gateway node

    bool operator==(const EffectiveRoute&) const = default;
};

struct EffectiveRoutingList {
    using Map = boost::unordered_flat_map<Ipv4Net, EffectiveRoute, std::hash<Ipv4Net>>;
    Map routes;  // keyed by the route's destination

    size_t size() const { return routes.size(); }
    bool empty() const { return routes.empty(); }
    // (destination, route) pairs in no particular order.
    Map::const_iterator begin() const { return routes.begin(); }
    Map::const_iterator end() const { return routes.end(); }

    // The route table, by destination.
    std::string to_string() const;

    bool operator==(const EffectiveRoutingList&) const = default;
};

// The destinations of the routes whose gateway is the local node.
struct EffectiveForwardingList {
    boost::unordered_flat_set<Ipv4Net, std::hash<Ipv4Net>> networks;

    size_t size() const { return networks.size(); }
    bool empty() const { return networks.empty(); }

    bool operator==(const EffectiveForwardingList&) const = default;
};

// Overlay address to host name (as the document wrote it) of every node the local node may reach,
// itself included.
struct HostnameList {
    using Map = boost::unordered_flat_map<Ipv4Addr, std::string, std::hash<Ipv4Addr>>;
    Map hosts;

    size_t size() const { return hosts.size(); }
    bool empty() const { return hosts.empty(); }
    Map::const_iterator begin() const { return hosts.begin(); }
    Map::const_iterator end() const { return hosts.end(); }

    // The host-name table: addresses ascending, names under the overlay DNS domain.
    std::string to_string() const;

    bool operator==(const HostnameList&) const = default;
};

// Group name to the keys of the nodes that list it.
using GroupIndex = std::unordered_map<std::string, std::unordered_set<p2p::PubKey>>;

}  // namespace quorvel::network

// Direction and action texts are written as they are: a requested width or alignment is ignored.
template <class T>
requires std::is_same_v<T, quorvel::network::Direction> ||
    std::is_same_v<T, quorvel::network::Action>
struct fmt::formatter<T> {
    constexpr auto parse(fmt::format_parse_context& ctx) {
        auto it = ctx.begin();
        while (it != ctx.end() && *it != '}') {
            ++it;
        }
        return it;
    }
    auto format(T value, fmt::format_context& ctx) const {
        std::string_view text = quorvel::network::to_string(value);
        return std::copy(text.begin(), text.end(), ctx.out());
    }
};

// The text forms of the rule and of the lists; "{}" gives the same text as `to_string()`.
template <class T>
requires std::is_same_v<T, quorvel::network::EffectiveAccessRule> ||
    std::is_same_v<T, quorvel::network::EffectiveAccessRuleList> ||
    std::is_same_v<T, quorvel::network::EffectiveRoutingList> ||
    std::is_same_v<T, quorvel::network::HostnameList>
struct fmt::formatter<T> : fmt::formatter<std::string_view> {
    auto format(const T& value, fmt::format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(value.to_string(), ctx);
    }
};
