// Documents for the derivation tests, written as TOML text or built in code: keys with a
// recognisable text form and a small network whose nodes, routes and policies exercise every kind
// of rule.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "network/config/network_config.h"

namespace quorvel::network::testing {

// A key whose 32 bytes all equal `n`; its text is 64 hex digits of that byte.
inline p2p::PubKey key(uint8_t n) {
    p2p::PubKey::Bytes bytes;
    bytes.fill(n);
    return p2p::PubKey(bytes);
}

// A rule list holding exactly these rules.
inline EffectiveAccessRuleList rule_list(std::initializer_list<EffectiveAccessRule> rules) {
    return EffectiveAccessRuleList::from_rules(rules).value();
}

// The rule under `key`, which must be in the list.
inline const EffectiveAccessRule& rule_at(const EffectiveAccessRuleList& list,
                                          const EffectiveAccessRuleListEntryKey& key) {
    const EffectiveAccessRule* rule = list.find(key);
    if (rule == nullptr) {
        throw std::out_of_range("no rule under this key");
    }
    return *rule;
}

inline Ipv4Net net(const char* text) {
    return Ipv4Net::parse(text).value();
}
inline Ipv4Addr addr(const char* text) {
    return Ipv4Addr::parse(text).value();
}

struct NodeSpec {
    uint8_t key;
    const char* ip;
    const char* hostname;
    std::vector<std::string> groups;
};

struct RouteSpec {
    const char* dest;
    uint8_t gw;
    std::vector<std::string> groups;
};

struct PolicySpec {
    std::vector<std::string> source_groups;
    std::vector<std::string> destination_groups;
};

// `bucket_hint` pre-sizes the containers so that a second build of the same document iterates
// its maps in another order; `reverse` inserts the entries back to front.
inline NetworkConfig make_document(const std::vector<NodeSpec>& nodes,
                                   const std::vector<RouteSpec>& routes,
                                   const std::vector<PolicySpec>& policies, size_t bucket_hint = 0,
                                   bool reverse = false) {
    NetworkConfig doc;
    doc.network = net("10.0.0.0/24");
    doc.nodes.reserve(bucket_hint);
    doc.routes.reserve(bucket_hint);
    doc.policies.reserve(bucket_hint);
    auto each = [reverse](const auto& items, auto&& fn) {
        if (reverse) {
            std::for_each(items.rbegin(), items.rend(), fn);
        } else {
            std::for_each(items.begin(), items.end(), fn);
        }
    };
    each(nodes, [&](const NodeSpec& n) {
        doc.nodes[key(n.key)] = NetworkNode{key(n.key), addr(n.ip), n.hostname,
                                            GroupSet(n.groups.begin(), n.groups.end())};
    });
    each(routes, [&](const RouteSpec& r) {
        doc.routes[net(r.dest)] =
            NetworkRoute{net(r.dest), key(r.gw), GroupSet(r.groups.begin(), r.groups.end())};
    });
    each(policies, [&](const PolicySpec& p) {
        doc.policies.insert(
            NetworkPolicy{GroupSet(p.source_groups.begin(), p.source_groups.end()),
                          GroupSet(p.destination_groups.begin(), p.destination_groups.end())});
    });
    return doc;
}

// Local node L = key 1 at 10.0.0.1 in group "dev". Policies: dev <-> db, ops <-> ALL.
//   A (2, dev+db): linked by dev->db.           B (3, ops): linked by ops->ALL.
//   C (4, none): not linked.                    D (5, "ALL"): not linked; "ALL" is a wildcard
//                                               only inside a policy.
// Routes: 10.1.0.0/16 via A, no groups (L installs it); 10.1.5.0/24 via B, no groups (more
// specific); 10.2.0.0/16 via B for "ops" (does not admit L); 10.4.0.0/16 via A for "ALL" (does
// not admit L, who does not list "ALL"); 192.168.0.0/24 via L for "db" and "ALL" (L forwards for
// A and D).
inline const std::vector<NodeSpec> kNodes = {
    {1, "10.0.0.1", "Local", {"dev"}}, {2, "10.0.0.2", "alpha", {"dev", "db"}},
    {3, "10.0.0.3", "bravo", {"ops"}}, {4, "10.0.0.4", "charlie", {}},
    {5, "10.0.0.5", "delta", {"ALL"}},
};
inline const std::vector<RouteSpec> kRoutes = {
    {"10.1.0.0/16", 2, {}},
    {"10.1.5.0/24", 3, {}},
    {"10.2.0.0/16", 3, {"ops"}},
    {"10.4.0.0/16", 2, {"ALL"}},
    {"192.168.0.0/24", 1, {"db", "ALL"}},
};
inline const std::vector<PolicySpec> kPolicies = {
    {{"dev"}, {"db"}},
    {{"ops"}, {"ALL"}},
};

// The document as TOML text, its sections in the given order or back to front.
inline std::string make_toml(const std::vector<NodeSpec>& nodes,
                             const std::vector<RouteSpec>& routes,
                             const std::vector<PolicySpec>& policies, bool reverse = false) {
    auto list = [](const std::vector<std::string>& names) {
        std::string out = "[";
        for (size_t i = 0; i < names.size(); ++i) {
            out += (i == 0 ? "\"" : ", \"") + names[i] + "\"";
        }
        return out + "]";
    };
    std::vector<std::string> sections;
    for (const NodeSpec& n : nodes) {
        sections.push_back("[[node]]\npk = \"" + key(n.key).to_string() + "\"\nip = \"" + n.ip +
                           "\"\nhostname = \"" + n.hostname + "\"\ngroups = " + list(n.groups) +
                           "\n");
    }
    for (const RouteSpec& r : routes) {
        sections.push_back("[[route]]\ndest = \"" + std::string(r.dest) + "\"\ngw = \"" +
                           key(r.gw).to_string() + "\"\ngroups = " + list(r.groups) + "\n");
    }
    for (const PolicySpec& p : policies) {
        sections.push_back("[[policy]]\nsource_groups = " + list(p.source_groups) +
                           "\ndestination_groups = " + list(p.destination_groups) + "\n");
    }
    if (reverse) {
        std::reverse(sections.begin(), sections.end());
    }
    std::string text = "network = \"10.0.0.0/24\"\n";
    for (const std::string& section : sections) {
        text += "\n" + section;
    }
    return text;
}

// The document read from its TOML text and validated.
inline NetworkConfig read_document(const std::string& text) {
    auto doc = NetworkConfig::try_from(text);
    if (!doc.has_value()) {
        throw std::invalid_argument(doc.error().to_string());
    }
    return std::move(doc).value();
}

inline NetworkConfig sample_toml_document(bool reverse = false) {
    return read_document(make_toml(kNodes, kRoutes, kPolicies, reverse));
}

inline NetworkConfig sample_document(size_t bucket_hint = 0, bool reverse = false) {
    return make_document(kNodes, kRoutes, kPolicies, bucket_hint, reverse);
}

}  // namespace quorvel::network::testing
