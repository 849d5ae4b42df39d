#include "agent/network_listener.h"

#include <gtest/gtest.h>

namespace quorvel::agent {
namespace {

Ipv4Net net(const char* text) {
    return *Ipv4Net::parse(text);
}

TEST(NetworkChangeTest, DebugFormAndEquality) {
    struct Case {
        NetworkChange change;
        const char* debug;
    };
    const Case cases[] = {
        {NetworkChange{}, "NetworkChange { ips: None, routes: None, dns_server: None }"},
        {NetworkChange{std::vector<Ipv4Net>{net("10.1.0.5/24"), net("10.2.0.1/16")},
                       std::vector<Ipv4Net>{}, Ipv4Addr::parse("10.1.0.254")},
         "NetworkChange { ips: Some([10.1.0.5/24, 10.2.0.1/16]), routes: Some([]), dns_server: "
         "Some(10.1.0.254) }"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.change.debug(), c.debug);
        NetworkChange copy = c.change;
        EXPECT_EQ(copy, c.change);
    }
    EXPECT_NE(cases[0].change, cases[1].change);
    // An absent list and an empty one differ.
    NetworkChange empty_routes;
    empty_routes.routes.emplace();
    EXPECT_NE(empty_routes, NetworkChange{});
}

}  // namespace
}  // namespace quorvel::agent
