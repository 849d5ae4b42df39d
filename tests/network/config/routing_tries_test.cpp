#include "network/config/routing_tries.h"

#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "network/config/effective.h"
#include "network/config/network_config.h"
#include "network/config/test_documents.h"

namespace quorvel::network {
namespace {

using testing::addr;
using testing::key;
using testing::net;
using testing::rule_list;
using testing::sample_document;

using Triple = std::tuple<Ipv4Net, Ipv4Net, p2p::PubKey>;

std::set<Triple> contents(const RoutingTrie& trie) {
    std::set<Triple> out;
    for (const auto& outer : trie) {
        EXPECT_FALSE(outer.value.empty()) << outer.net.to_string();
        for (const auto& inner : outer.value) {
            out.emplace(outer.net, inner.net, inner.value);
        }
    }
    return out;
}

TEST(RoutingTriesTest, HoldExactlyTheAllowedRules) {
    const NetworkConfig doc = testing::sample_toml_document();
    for (uint8_t local = 1; local <= 5; ++local) {
        auto rules = doc.effective_access_rule_list(key(local));
        ASSERT_TRUE(rules.has_value());
        std::set<Triple> out, in;
        for (const auto& r : *rules) {
            if (r.action != Action::Allow) {
                continue;
            }
            if (r.direction == Direction::OUT) {
                out.emplace(r.dest, r.source, r.pk);
            } else {
                in.emplace(r.source, r.dest, r.pk);
            }
        }
        RoutingTries tries = rules->routing_tries();
        EXPECT_EQ(contents(tries.outbound), out) << int(local);
        EXPECT_EQ(contents(tries.inbound), in) << int(local);
    }
}

TEST(RoutingTriesTest, SampleNetworkSeenFromTheLocalNode) {
    const NetworkConfig doc = testing::sample_toml_document();
    RoutingTries tries = doc.effective_access_rule_list(key(1)).value().routing_tries();
    const Ipv4Net l = net("10.0.0.1/32");
    const Ipv4Net fwd = net("192.168.0.0/24");
    const std::set<Triple> out = {
        // A is both L's peer and a node L forwards for: two sources in one inner table.
        {net("10.0.0.2/32"), l, key(2)}, {net("10.0.0.2/32"), fwd, key(2)},
        {net("10.0.0.3/32"), l, key(3)}, {net("10.0.0.5/32"), fwd, key(5)},
        {net("10.1.0.0/16"), l, key(2)}, {net("10.1.5.0/24"), l, key(3)},
    };
    const std::set<Triple> in = {
        {net("10.0.0.2/32"), l, key(2)}, {net("10.0.0.2/32"), fwd, key(2)},
        {net("10.0.0.3/32"), l, key(3)}, {net("10.0.0.5/32"), fwd, key(5)},
        {net("10.1.0.0/16"), l, key(2)}, {net("10.1.5.0/24"), l, key(3)},
    };
    EXPECT_EQ(contents(tries.outbound), out);
    EXPECT_EQ(contents(tries.inbound), in);
    ASSERT_NE(tries.outbound.get(net("10.0.0.2/32")), nullptr);
    EXPECT_EQ(tries.outbound.get(net("10.0.0.2/32"))->size(), 2u);

    // Per packet: the most specific destination entry, then the source within it.
    const struct {
        const char* dst;
        const char* src;
        std::optional<uint8_t> peer;
    } packets[] = {
        {"10.1.5.9", "10.0.0.1", 3},       // the /24 through B hides the /16 through A
        {"10.1.6.9", "10.0.0.1", 2},       // only the /16 covers it
        {"10.0.0.2", "192.168.0.77", 2},   // forwarded for A
        {"10.0.0.3", "192.168.0.77", {}},  // B is not admitted to the forwarded route
        {"10.0.0.4", "10.0.0.1", {}},      // C: denied
        {"10.2.0.1", "10.0.0.1", {}},      // route not admitting L
        {"10.1.5.9", "10.0.0.9", {}},      // wrong source
    };
    for (const auto& p : packets) {
        std::optional<uint8_t> found;
        if (const PeerTable* inner = tries.outbound.lookup(addr(p.dst))) {
            if (const p2p::PubKey* pk = inner->lookup(addr(p.src))) {
                found = pk->as_bytes()[0];
            }
        }
        EXPECT_EQ(found, p.peer) << p.dst << " from " << p.src;
    }
    const PeerTable* from_b = tries.inbound.lookup(addr("10.1.5.200"));
    ASSERT_NE(from_b, nullptr);
    ASSERT_NE(from_b->lookup(addr("10.0.0.1")), nullptr);
    EXPECT_EQ(*from_b->lookup(addr("10.0.0.1")), key(3));
}

TEST(RoutingTriesTest, EdgeCases) {
    const Ipv4Net l = net("10.0.0.1/32");
    const Ipv4Net d = net("10.0.0.2/32");
    const EffectiveAccessRule out_allow{Direction::OUT, l, d, key(2), Action::Allow};
    const EffectiveAccessRule in_allow{Direction::IN, d, l, key(2), Action::Allow};
    const EffectiveAccessRule out_deny{Direction::OUT, l, net("10.0.0.3/32"), key(3), Action::Deny};

    RoutingTries empty = EffectiveAccessRuleList{}.routing_tries();
    EXPECT_TRUE(empty.outbound.empty() && empty.inbound.empty());
    RoutingTries deny_only = rule_list({out_deny}).routing_tries();
    EXPECT_TRUE(deny_only.outbound.empty() && deny_only.inbound.empty());
    RoutingTries in_only = rule_list({in_allow}).routing_tries();
    EXPECT_TRUE(in_only.outbound.empty());
    EXPECT_EQ(in_only.inbound.size(), 1u);
    RoutingTries out_only = rule_list({out_allow}).routing_tries();
    EXPECT_TRUE(out_only.inbound.empty());
    EXPECT_EQ(out_only.outbound.size(), 1u);

    // Same destination, different sources: one inner table. Same source, different destinations:
    // two inner tables.
    RoutingTries shared =
        rule_list({
                      {Direction::OUT, l, d, key(2), Action::Allow},
                      {Direction::OUT, net("10.9.0.0/16"), d, key(2), Action::Allow},
                      {Direction::OUT, l, net("10.0.0.7/32"), key(7), Action::Allow},
                  })
            .routing_tries();
    EXPECT_EQ(shared.outbound.size(), 2u);
    EXPECT_EQ(shared.outbound.get(d)->size(), 2u);
    EXPECT_EQ(shared.outbound.get(net("10.0.0.7/32"))->size(), 1u);
}

}  // namespace
}  // namespace quorvel::network
