#include "network/config/effective.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "network/config/network_config.h"
#include "network/config/test_documents.h"
#include "util/log.h"

namespace quorvel::network {
namespace {

using testing::addr;
using testing::key;
using testing::make_document;
using testing::net;
using testing::rule_at;
using testing::rule_list;
using testing::sample_document;

constexpr Direction OUT = Direction::OUT;
constexpr Direction IN = Direction::IN;
constexpr Action ALLOW = Action::Allow;
constexpr Action DENY = Action::Deny;

EffectiveAccessRuleList expected_sample_rules() {
    const Ipv4Net l = net("10.0.0.1/32");
    const Ipv4Net a = net("10.0.0.2/32"), b = net("10.0.0.3/32"), c = net("10.0.0.4/32"),
                  d = net("10.0.0.5/32");
    const Ipv4Net fwd = net("192.168.0.0/24");
    return rule_list({
        // Node rules: A and B are linked by a policy, C and D are not.
        {OUT, l, a, key(2), ALLOW},
        {OUT, l, b, key(3), ALLOW},
        {OUT, l, c, key(4), DENY},
        {OUT, l, d, key(5), DENY},
        {IN, a, l, key(2), ALLOW},
        {IN, b, l, key(3), ALLOW},
        {IN, c, l, key(4), DENY},
        {IN, d, l, key(5), DENY},
        // Routes through other nodes: towards the gateway, allowed when the route admits L.
        {OUT, l, net("10.1.0.0/16"), key(2), ALLOW},
        {OUT, l, net("10.1.5.0/24"), key(3), ALLOW},
        {OUT, l, net("10.2.0.0/16"), key(3), DENY},
        {OUT, l, net("10.4.0.0/16"), key(2), DENY},
        {IN, net("10.1.0.0/16"), l, key(2), ALLOW},
        {IN, net("10.1.5.0/24"), l, key(3), ALLOW},
        {IN, net("10.2.0.0/16"), l, key(3), DENY},
        {IN, net("10.4.0.0/16"), l, key(2), DENY},
        // The route through L: one pair of rules per other node, allowed when it is admitted.
        {OUT, fwd, a, key(2), ALLOW},
        {OUT, fwd, b, key(3), DENY},
        {OUT, fwd, c, key(4), DENY},
        {OUT, fwd, d, key(5), ALLOW},
        {IN, a, fwd, key(2), ALLOW},
        {IN, b, fwd, key(3), DENY},
        {IN, c, fwd, key(4), DENY},
        {IN, d, fwd, key(5), ALLOW},
    });
}

TEST(EffectiveTest, TheSampleNetworkReadsAsBuiltInCode) {
    EXPECT_EQ(testing::sample_toml_document(), sample_document());
    EXPECT_EQ(testing::sample_toml_document(true), sample_document());
}

TEST(EffectiveTest, DerivesEveryListOfTheSampleNetwork) {
    const NetworkConfig doc = testing::sample_toml_document();

    auto rules = doc.effective_access_rule_list(key(1));
    ASSERT_TRUE(rules.has_value()) << rules.error().to_string();
    EXPECT_EQ(*rules, expected_sample_rules()) << rules->to_string();

    auto routes = doc.effective_routing_list(key(1));
    ASSERT_TRUE(routes.has_value());
    EffectiveRoutingList expected_routes;
    expected_routes.routes[net("10.1.0.0/16")] = {net("10.1.0.0/16"), addr("10.0.0.2")};
    expected_routes.routes[net("10.1.5.0/24")] = {net("10.1.5.0/24"), addr("10.0.0.3")};
    EXPECT_EQ(*routes, expected_routes) << routes->to_string();

    EffectiveForwardingList expected_forwardings;
    expected_forwardings.networks.insert(net("192.168.0.0/24"));
    EXPECT_EQ(doc.effective_forwarding_list(key(1)), expected_forwardings);

    HostnameList expected_hosts;
    expected_hosts.hosts[addr("10.0.0.1")] = "Local";
    expected_hosts.hosts[addr("10.0.0.2")] = "alpha";
    expected_hosts.hosts[addr("10.0.0.3")] = "bravo";
    EXPECT_EQ(doc.hostnames(key(1)), expected_hosts);
}

TEST(EffectiveTest, SeenFromTheGatewayOfARoute) {
    // From A's side, 10.1.0.0/16 is forwarded and 192.168.0.0/24 (via L, for "db") installed.
    const NetworkConfig doc = sample_document();
    auto routes = doc.effective_routing_list(key(2));
    ASSERT_TRUE(routes.has_value());
    EffectiveRoutingList expected;
    expected.routes[net("10.1.5.0/24")] = {net("10.1.5.0/24"), addr("10.0.0.3")};
    expected.routes[net("192.168.0.0/24")] = {net("192.168.0.0/24"), addr("10.0.0.1")};
    EXPECT_EQ(*routes, expected);

    EffectiveForwardingList forwardings;
    forwardings.networks.insert(net("10.1.0.0/16"));
    forwardings.networks.insert(net("10.4.0.0/16"));
    EXPECT_EQ(doc.effective_forwarding_list(key(2)), forwardings);

    auto rules = doc.effective_access_rule_list(key(2));
    ASSERT_TRUE(rules.has_value());
    // Two gateway routes with four other nodes each, three routes via others, four nodes.
    EXPECT_EQ(rules->size(), 2u * (2 * 4 + 3 + 4));
    const auto* rule = &rule_at(*rules, {OUT, net("10.4.0.0/16"), net("10.0.0.5/32")});
    EXPECT_EQ(rule->action, ALLOW);  // D lists "ALL", which the route names
    rule = &rule_at(*rules, {IN, net("10.0.0.4/32"), net("10.4.0.0/16")});
    EXPECT_EQ(rule->action, DENY);
    EXPECT_EQ(rule_at(*rules, {IN, net("10.0.0.4/32"), net("10.1.0.0/16")}).action, ALLOW);
}

TEST(EffectiveTest, OrderOfNodesRoutesAndPoliciesChangesNothing) {
    const NetworkConfig base = testing::sample_toml_document();
    // Sections written back to front, and maps sized so that they iterate in other orders.
    const NetworkConfig variants[] = {testing::sample_toml_document(true), sample_document(0, true),
                                      sample_document(97, false), sample_document(1024, true)};
    for (uint8_t local = 1; local <= 5; ++local) {
        auto rules = base.effective_access_rule_list(key(local));
        auto routes = base.effective_routing_list(key(local));
        ASSERT_TRUE(rules.has_value() && routes.has_value());
        for (const NetworkConfig& other : variants) {
            auto other_rules = other.effective_access_rule_list(key(local));
            auto other_routes = other.effective_routing_list(key(local));
            ASSERT_TRUE(other_rules.has_value() && other_routes.has_value());
            EXPECT_EQ(*other_rules, *rules);
            EXPECT_EQ(other_rules->to_string(), rules->to_string());
            EXPECT_EQ(*other_routes, *routes);
            EXPECT_EQ(other_routes->to_string(), routes->to_string());
            EXPECT_EQ(other.effective_forwarding_list(key(local)),
                      base.effective_forwarding_list(key(local)));
            EXPECT_EQ(other.hostnames(key(local)), base.hostnames(key(local)));
            EXPECT_EQ(other.hostnames(key(local)).to_string(),
                      base.hostnames(key(local)).to_string());
            EXPECT_EQ(other_rules->routing_tries(), rules->routing_tries());
        }
    }
}

TEST(EffectiveTest, RuleListsCompareEqualWhateverTheInsertionOrder) {
    EffectiveAccessRule r1{OUT, net("10.0.0.1/32"), net("10.0.0.2/32"), key(2), ALLOW};
    EffectiveAccessRule r2{IN, net("10.0.0.2/32"), net("10.0.0.1/32"), key(2), ALLOW};
    EffectiveAccessRule r2_deny = r2;
    r2_deny.action = DENY;
    EXPECT_EQ(rule_list({r1, r2}), rule_list({r2, r1}));
    EXPECT_FALSE(rule_list({r1, r2}) == rule_list({r1, r2_deny}));
    EXPECT_FALSE(rule_list({r1, r2}) == rule_list({r1}));
}

TEST(EffectiveTest, RouteOntoANodeAddressIsADuplicateRoute) {
    const std::vector<testing::NodeSpec> nodes = {
        {1, "10.0.0.1", "l", {}}, {2, "10.0.0.2", "a", {}}, {3, "10.0.0.3", "b", {}}};
    // Through another node: its OUT rule L -> 10.0.0.3/32 collides with B's node rule.
    NetworkConfig via_other =
        testing::read_document(testing::make_toml(nodes, {{"10.0.0.3/32", 2, {}}}, {}));
    // Through L itself: 10.0.0.1/32 -> N collides with L's node rule towards N.
    NetworkConfig via_local =
        testing::read_document(testing::make_toml(nodes, {{"10.0.0.1/32", 1, {}}}, {}));
    for (const NetworkConfig* doc : {&via_other, &via_local}) {
        auto rules = doc->effective_access_rule_list(key(1));
        ASSERT_FALSE(rules.has_value());
        EXPECT_TRUE(rules.error().is<ConfigError::DuplicateRoute>());
        EXPECT_EQ(rules.error().to_string(), "duplicate route");
    }
    // A /32 that is no node's address is an ordinary route.
    EXPECT_TRUE(make_document(nodes, {{"10.0.0.9/32", 2, {}}}, {})
                    .effective_access_rule_list(key(1))
                    .has_value());
}

TEST(EffectiveTest, MissingGatewayFailsOnlyForARouteTheNodeInstalls) {
    const std::vector<testing::NodeSpec> nodes = {{1, "10.0.0.1", "l", {"dev"}},
                                                  {2, "10.0.0.2", "a", {}}};
    NetworkConfig doc = make_document(nodes, {{"10.9.0.0/16", 9, {}}}, {});
    auto routes = doc.effective_routing_list(key(1));
    ASSERT_FALSE(routes.has_value());
    ASSERT_TRUE(routes.error().is<ConfigError::GatewayNotFound>());
    EXPECT_EQ(routes.error().get_if<ConfigError::GatewayNotFound>()->pk, key(9));
    EXPECT_EQ(routes.error().to_string(),
              "gateway 0909090909090909090909090909090909090909090909090909090909090909 not "
              "found in nodes");

    // A route that does not admit the node is skipped before its gateway is looked up.
    NetworkConfig skipped = make_document(nodes, {{"10.9.0.0/16", 9, {"ops"}}}, {});
    auto none = skipped.effective_routing_list(key(1));
    ASSERT_TRUE(none.has_value());
    EXPECT_TRUE(none->empty());
}

TEST(EffectiveTest, SingleNodeNetwork) {
    NetworkConfig doc = make_document({{1, "10.0.0.1", "Solo", {}}}, {}, {});
    EXPECT_TRUE(doc.effective_access_rule_list(key(1)).value().empty());
    EXPECT_TRUE(doc.effective_routing_list(key(1)).value().empty());
    EXPECT_TRUE(doc.effective_forwarding_list(key(1)).empty());
    HostnameList hosts = doc.hostnames(key(1));
    ASSERT_EQ(hosts.size(), 1u);
    EXPECT_EQ(hosts.hosts.at(addr("10.0.0.1")), "Solo");
}

TEST(EffectiveTest, WithoutPoliciesEveryNodeRuleDenies) {
    NetworkConfig doc = make_document(
        {{1, "10.0.0.1", "l", {"a"}}, {2, "10.0.0.2", "m", {"a"}}, {3, "10.0.0.3", "n", {}}}, {},
        {});
    auto rules = doc.effective_access_rule_list(key(1));
    ASSERT_TRUE(rules.has_value());
    EXPECT_EQ(rules->size(), 4u);
    for (const auto& rule : *rules) {
        EXPECT_EQ(rule.action, DENY) << rule.to_string();
    }
    EXPECT_EQ(doc.hostnames(key(1)).size(), 1u);
    EXPECT_TRUE(doc.matching_policy(key(7), key(7)));  // even for a key that names no node
    EXPECT_FALSE(doc.matching_policy(key(1), key(2)));
}

TEST(EffectiveTest, MatchingPolicy) {
    const std::vector<testing::NodeSpec> nodes = {{1, "10.0.0.1", "a1", {"a"}},
                                                  {2, "10.0.0.2", "a2", {"a"}},
                                                  {3, "10.0.0.3", "b1", {"b"}},
                                                  {4, "10.0.0.4", "none", {}},
                                                  {5, "10.0.0.5", "caps", {"A"}}};
    NetworkConfig a_to_b = make_document(nodes, {}, {{{"a"}, {"b"}}});
    NetworkConfig all = make_document(nodes, {}, {{{"ALL"}, {"ALL"}}});
    const struct {
        const NetworkConfig* doc;
        uint8_t x, y;
        bool linked;
    } cases[] = {
        {&a_to_b, 1, 3, true},  {&a_to_b, 3, 1, true},   // both directions
        {&a_to_b, 1, 2, false},                          // both only in "a"
        {&a_to_b, 5, 3, false},                          // "A" is not "a"
        {&a_to_b, 1, 4, false}, {&a_to_b, 1, 9, false},  // 9 names no node
        {&all, 4, 5, true},     {&all, 1, 4, true},     {&all, 4, 9, false}, {&all, 9, 9, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.doc->matching_policy(key(c.x), key(c.y)), c.linked)
            << int(c.x) << " " << int(c.y);
    }
    // ALL/ALL lets every node reach every other.
    auto rules = all.effective_access_rule_list(key(4));
    ASSERT_TRUE(rules.has_value());
    for (const auto& rule : *rules) {
        EXPECT_EQ(rule.action, ALLOW) << rule.to_string();
    }
    EXPECT_EQ(all.hostnames(key(4)).size(), 5u);
}

TEST(EffectiveTest, RouteWithoutGroupsIsAllowedForEveryNode) {
    const std::vector<testing::NodeSpec> nodes = {
        {1, "10.0.0.1", "gw", {}}, {2, "10.0.0.2", "x", {"x"}}, {3, "10.0.0.3", "y", {}}};
    NetworkConfig doc = make_document(nodes, {{"172.16.0.0/12", 1, {}}}, {});
    auto gw_rules = doc.effective_access_rule_list(key(1));
    ASSERT_TRUE(gw_rules.has_value());
    for (uint8_t n : {2, 3}) {
        Ipv4Net host(addr(n == 2 ? "10.0.0.2" : "10.0.0.3"), 32);
        EXPECT_EQ(rule_at(*gw_rules, {OUT, net("172.16.0.0/12"), host}).action, ALLOW);
        EXPECT_EQ(rule_at(*gw_rules, {IN, host, net("172.16.0.0/12")}).action, ALLOW);
        auto routes = doc.effective_routing_list(key(n));
        ASSERT_TRUE(routes.has_value());
        ASSERT_EQ(routes->size(), 1u);
        EXPECT_EQ(routes->routes.at(net("172.16.0.0/12")).gw, addr("10.0.0.1"));
    }
}

TEST(EffectiveTest, LookupsOnTheDocument) {
    const NetworkConfig doc = sample_document();
    EXPECT_EQ(doc.ip(key(3)), addr("10.0.0.3"));
    EXPECT_EQ(doc.ip(key(9)), std::nullopt);
    GroupIndex groups = doc.groups();
    EXPECT_EQ(groups.size(), 4u);  // dev, db, ops, ALL
    EXPECT_EQ(groups.at("dev"), (std::unordered_set<p2p::PubKey>{key(1), key(2)}));
    EXPECT_EQ(groups.at("ALL"), (std::unordered_set<p2p::PubKey>{key(5)}));
}

TEST(EffectiveTest, StrangerGetsForwardingsButNoHostnames) {
    const NetworkConfig doc = sample_document();
    EXPECT_TRUE(doc.hostnames(key(9)).empty());
    EXPECT_TRUE(doc.effective_forwarding_list(key(9)).empty());
    EXPECT_TRUE(doc.effective_access_rule_list(key(9)).value().empty());
    EXPECT_TRUE(doc.effective_routing_list(key(9)).value().empty());
}

TEST(EffectiveTest, EachRuleIsTracedBeforeItIsAdded) {
    log::ScopedCapture capture;
    const NetworkConfig doc = sample_document();
    auto rules = doc.effective_access_rule_list(key(1));
    ASSERT_TRUE(rules.has_value());
    const std::string k2 = key(2).to_string();
    EXPECT_TRUE(
        capture->contains(log::Level::Trace,
                          "Adding OUT rule for node: EffectiveAccessRule { direction: OUT, source: "
                          "10.0.0.1/32, dest: 10.0.0.2/32, pk: " +
                              k2 + ", action: Allow }"));
    EXPECT_TRUE(capture->contains(log::Level::Trace,
                                  "Adding IN rule for route (gateway): EffectiveAccessRule { "
                                  "direction: IN, source: 10.0.0.2/32, dest: 192.168.0.0/24, pk: " +
                                      k2 + ", action: Allow }"));
    EXPECT_TRUE(capture->contains(log::Level::Trace,
                                  "Adding OUT rule for route (non-gateway): EffectiveAccessRule { "
                                  "direction: OUT, source: 10.0.0.1/32, dest: 10.4.0.0/16, pk: " +
                                      k2 + ", action: Deny }"));
    size_t traced = 0;
    for (const auto& e : capture->events()) {
        if (e.message.starts_with("Adding ")) {
            ++traced;
            EXPECT_EQ(e.target, "quorvel_agent::network::config");
            EXPECT_TRUE(e.fields.empty());
        }
    }
    EXPECT_EQ(traced, rules->size());
}

}  // namespace
}  // namespace quorvel::network

namespace quorvel::network {
namespace {

TEST(EffectiveTest, WhileTracingTheDerivationStopsAtTheRuleThatRepeatsAKey) {
    log::ScopedCapture capture;
    const NetworkConfig doc = make_document(
        {{1, "10.0.0.1", "l", {}}, {2, "10.0.0.2", "a", {}}, {3, "10.0.0.3", "b", {}}},
        {{"10.0.0.3/32", 2, {}}}, {});
    auto rules = doc.effective_access_rule_list(key(1));
    ASSERT_FALSE(rules.has_value());
    EXPECT_TRUE(rules.error().is<ConfigError::DuplicateRoute>());
    std::vector<std::string> traced;
    for (const auto& e : capture->events()) {
        if (e.message.starts_with("Adding ")) {
            traced.push_back(e.message);
        }
    }
    // Both OUT node rules, then the route's OUT rule, which repeats B's key; nothing after it.
    ASSERT_EQ(traced.size(), 3u);
    EXPECT_EQ(traced[2],
              "Adding OUT rule for route (non-gateway): EffectiveAccessRule { direction: OUT, "
              "source: 10.0.0.1/32, dest: 10.0.0.3/32, pk: " +
                  key(2).to_string() + ", action: Allow }");
}

TEST(EffectiveTest, ListsFromRulesAreOrderedAndRefuseRepeatedKeys) {
    const EffectiveAccessRule in{IN, net("10.0.0.2/32"), net("10.0.0.1/32"), key(2), ALLOW};
    const EffectiveAccessRule out{OUT, net("10.0.0.9/32"), net("10.0.0.1/32"), key(3), DENY};
    const EffectiveAccessRule out_first{OUT, net("10.0.0.1/32"), net("10.0.0.2/32"), key(2), ALLOW};
    auto list = EffectiveAccessRuleList::from_rules({in, out, out_first});
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ(std::vector<EffectiveAccessRule>(list->begin(), list->end()),
              (std::vector<EffectiveAccessRule>{out_first, out, in}));
    ASSERT_NE(list->find({IN, in.source, in.dest}), nullptr);
    EXPECT_EQ(*list->find({IN, in.source, in.dest}), in);
    EXPECT_EQ(list->find({OUT, in.source, in.dest}), nullptr);
    EXPECT_EQ(list->find({IN, in.source, net("10.0.0.1/31")}), nullptr);

    EffectiveAccessRule same_key = out;
    same_key.action = ALLOW;
    EXPECT_FALSE(EffectiveAccessRuleList::from_rules({out, in, same_key}).has_value());
    EXPECT_TRUE(EffectiveAccessRuleList::from_rules({}).value().empty());
}

}  // namespace
}  // namespace quorvel::network

namespace quorvel::network {
namespace {

// The derivation writes its rules straight in canonical order when nothing is traced and in the
// order of its passes, with a check per rule, while tracing; both must agree on every document,
// including those where a route lands on a node's address.
TEST(EffectiveTest, TracedAndUntracedDerivationsAgreeOnRandomDocuments) {
    std::mt19937 rng(5150);
    const std::vector<std::string> names = {"a", "b", "c", "ALL"};
    auto pick_groups = [&] {
        std::vector<std::string> out;
        for (const std::string& n : names) {
            if (rng() % 3 == 0) {
                out.push_back(n);
            }
        }
        return out;
    };
    size_t duplicates = 0;
    for (int round = 0; round < 300; ++round) {
        const size_t node_count = 1 + rng() % 12;
        std::vector<testing::NodeSpec> nodes;
        std::vector<std::string> ips;
        for (size_t i = 0; i < node_count; ++i) {
            ips.push_back(fmt::format("10.0.0.{}", 1 + 3 * i + rng() % 3));
        }
        for (size_t i = 0; i < node_count; ++i) {
            nodes.push_back({static_cast<uint8_t>(i + 1), ips[i].c_str(), "h", pick_groups()});
        }
        std::vector<std::string> dests;
        const size_t route_count = rng() % 6;
        for (size_t r = 0; r < route_count; ++r) {
            // Now and then a route onto a node's own /32.
            dests.push_back(rng() % 8 == 0 ? ips[rng() % node_count] + "/32"
                                           : fmt::format("10.{}.{}.0/24", 1 + rng() % 250, r));
        }
        std::vector<testing::RouteSpec> routes;
        for (const std::string& d : dests) {
            routes.push_back(
                {d.c_str(), static_cast<uint8_t>(1 + rng() % node_count), pick_groups()});
        }
        std::vector<testing::PolicySpec> policies;
        for (size_t p = rng() % 4; p > 0; --p) {
            policies.push_back({pick_groups(), pick_groups()});
        }
        NetworkConfig doc = make_document(nodes, routes, policies, rng() % 64, rng() % 2 == 0);
        for (uint8_t local = 1; local <= node_count; ++local) {
            auto plain = doc.effective_access_rule_list(key(local));
            Result<EffectiveAccessRuleList, ConfigError> traced = EffectiveAccessRuleList{};
            {
                log::ScopedCapture capture;
                traced = doc.effective_access_rule_list(key(local));
            }
            ASSERT_EQ(plain.has_value(), traced.has_value()) << "round " << round;
            if (plain.has_value()) {
                ASSERT_EQ(*plain, *traced) << plain->to_string() << traced->to_string();
                const size_t peers = node_count - 1;
                const size_t via_local = static_cast<size_t>(
                    std::count_if(doc.routes.begin(), doc.routes.end(),
                                  [&](const auto& r) { return r.second.gw == key(local); }));
                EXPECT_EQ(plain->size(),
                          2 * (peers + (doc.routes.size() - via_local) + via_local * peers));
            } else {
                ++duplicates;
                EXPECT_EQ(plain.error(), traced.error());
            }
        }
    }
    EXPECT_GT(duplicates, 0u);
}

}  // namespace
}  // namespace quorvel::network

namespace quorvel::network {
namespace {

TEST(EffectiveTest, ManyGroupNamesStillMatchExactly) {
    // More names than fit one 64-bit mask word; the deciding ones come last.
    std::vector<std::string> many;
    for (int i = 0; i < 150; ++i) {
        many.push_back(fmt::format("g{}", i));
    }
    std::vector<std::string> first_half(many.begin(), many.begin() + 140);
    NetworkConfig doc =
        make_document({{1, "10.0.0.1", "l", {"g148"}},
                       {2, "10.0.0.2", "n", {"g149"}},
                       {3, "10.0.0.3", "m", {"g147", "other"}}},
                      {{"10.7.0.0/16", 2, {"g0", "g148"}}, {"10.8.0.0/16", 2, {"g1", "g147"}}},
                      {{first_half, first_half}, {{"g148"}, {"g149"}}});
    EXPECT_TRUE(doc.matching_policy(key(1), key(2)));
    EXPECT_FALSE(doc.matching_policy(key(1), key(3)));
    EXPECT_FALSE(doc.matching_policy(key(2), key(3)));
    auto routes = doc.effective_routing_list(key(1));
    ASSERT_TRUE(routes.has_value());
    ASSERT_EQ(routes->size(), 1u);
    EXPECT_EQ(routes->routes.begin()->first, net("10.7.0.0/16"));
    EXPECT_EQ(doc.hostnames(key(1)).size(), 2u);
}

}  // namespace
}  // namespace quorvel::network
