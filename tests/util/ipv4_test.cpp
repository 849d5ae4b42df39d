#include "util/ipv4.h"

#include <gtest/gtest.h>

#include <set>

namespace quorvel {
namespace {

TEST(Ipv4AddrTest, ParsesStrictDottedQuads) {
    struct Case {
        const char* text;
        bool ok;
        uint32_t value;
    };
    const Case cases[] = {
        {"10.0.0.1", true, 0x0a000001},     {"0.0.0.0", true, 0},
        {"255.255.255.255", true, ~0u},     {"256.0.0.1", false, 0},
        {"10.0.0", false, 0},               {"10.0.0.1.2", false, 0},
        {"010.0.0.1", false, 0},            {"10.0.0.1 ", false, 0},
        {" 10.0.0.1", false, 0},            {"+1.0.0.1", false, 0},
        {"", false, 0},                     {"1..0.1", false, 0},
        {"1.0.0.-1", false, 0},             {"1000.0.0.1", false, 0},
    };
    for (const auto& c : cases) {
        auto parsed = Ipv4Addr::parse(c.text);
        EXPECT_EQ(parsed.has_value(), c.ok) << c.text;
        if (c.ok && parsed) {
            EXPECT_EQ(parsed->to_u32(), c.value) << c.text;
            EXPECT_EQ(parsed->to_string(), c.text);
        }
    }
}

TEST(Ipv4NetTest, ParsesAndKeepsHostBits) {
    auto net = Ipv4Net::parse("10.1.0.5/24");
    ASSERT_TRUE(net);
    EXPECT_EQ(net->to_string(), "10.1.0.5/24");
    EXPECT_EQ(net->network().to_string(), "10.1.0.0");
    EXPECT_EQ(net->broadcast().to_string(), "10.1.0.255");
    EXPECT_EQ(net->trunc().to_string(), "10.1.0.0/24");
    for (const char* bad : {"10.0.0.0", "10.0.0.0/33", "10.0.0.0/", "10.0.0.0/-1", "10.0.0/8",
                            "10.0.0.0/8/8", "10.0.0.0/08"}) {
        EXPECT_FALSE(Ipv4Net::parse(bad)) << bad;
    }
}

TEST(Ipv4NetTest, MembershipAtEveryPrefixLength) {
    auto zero = *Ipv4Net::parse("0.0.0.0/0");
    EXPECT_TRUE(zero.contains(*Ipv4Addr::parse("255.1.2.3")));
    EXPECT_EQ(zero.broadcast().to_string(), "255.255.255.255");
    auto host = *Ipv4Net::parse("10.0.0.9/32");
    EXPECT_TRUE(host.contains(*Ipv4Addr::parse("10.0.0.9")));
    EXPECT_FALSE(host.contains(*Ipv4Addr::parse("10.0.0.8")));
    auto net = *Ipv4Net::parse("10.0.0.0/24");
    EXPECT_TRUE(net.contains(*Ipv4Addr::parse("10.0.0.255")));
    EXPECT_FALSE(net.contains(*Ipv4Addr::parse("10.0.1.0")));
    EXPECT_TRUE(net.contains(*Ipv4Net::parse("10.0.0.128/25")));
    EXPECT_FALSE(net.contains(*Ipv4Net::parse("10.0.0.0/23")));
}

TEST(Ipv4NetTest, OrdersByAddressThenLength) {
    std::set<Ipv4Net> nets{*Ipv4Net::parse("10.0.0.10/32"), *Ipv4Net::parse("10.0.0.9/32"),
                           *Ipv4Net::parse("10.0.0.0/24"), *Ipv4Net::parse("10.0.0.0/16")};
    std::vector<std::string> order;
    for (const auto& n : nets) {
        order.push_back(n.to_string());
    }
    EXPECT_EQ(order, (std::vector<std::string>{"10.0.0.0/16", "10.0.0.0/24", "10.0.0.9/32",
                                               "10.0.0.10/32"}));
}

}  // namespace
}  // namespace quorvel
