#include "network/network.h"

#include <gtest/gtest.h>

namespace quorvel::network {
namespace {

Ipv4Net net(const char* text) {
    return Ipv4Net::parse(text).value();
}

TEST(NetworkHealthTest, DebugForms) {
    struct Case {
        NetworkHealth health;
        const char* debug;
    };
    const Case cases[] = {
        {NetworkHealth::initializing(), "Initializing"},
        {NetworkHealth::disabled(), "Disabled"},
        {NetworkHealth::ok(), "Ok"},
        {NetworkHealth::pending(), "Pending"},
        {NetworkHealth::not_a_member_error(), "NotAMemberError"},
        {NetworkHealth::retrieve_config_error("HTTP request failed with status '404 Not Found'"),
         "RetrieveConfigError(\"HTTP request failed with status '404 Not Found'\")"},
        {NetworkHealth::retrieve_config_error("say \"hi\"\\\n"),
         "RetrieveConfigError(\"say \\\"hi\\\"\\\\\\n\")"},
        {NetworkHealth::retrieve_config_error(""), "RetrieveConfigError(\"\")"},
        {NetworkHealth::invalid_config_error("tab\there"), "InvalidConfigError(\"tab\\there\")"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.health.debug(), c.debug);
    }
    EXPECT_EQ(NetworkHealth(), NetworkHealth::initializing());
    EXPECT_EQ(static_cast<int>(NetworkHealth::invalid_config_error("x").kind()), 6);
    EXPECT_NE(NetworkHealth::retrieve_config_error("a"), NetworkHealth::retrieve_config_error("b"));
    EXPECT_NE(NetworkHealth::retrieve_config_error("a"), NetworkHealth::invalid_config_error("a"));
}

TEST(AppliedStatusTest, TextForms) {
    AppliedStatus<Ipv4Net> status;
    EXPECT_TRUE(status.is_empty());
    EXPECT_EQ(status.to_string(), "None");
    status.error = "boom";
    EXPECT_EQ(status.to_string(), "None (Error: boom)");
    status.applied = net("10.1.0.2/24");
    EXPECT_EQ(status.to_string(), "10.1.0.2/24 (Error: boom)");
    status.error.reset();
    EXPECT_EQ(status.to_string(), "10.1.0.2/24");
    EXPECT_FALSE(status.is_empty());

    AppliedStatus<EffectiveAccessRuleList> rules;
    rules.applied = EffectiveAccessRuleList{};
    rules.error = "e";
    EXPECT_EQ(rules.to_string(), EffectiveAccessRuleList{}.to_string() + " (Error: e)");
}

TEST(AppliedStatusTest, Equality) {
    AppliedStatus<EffectiveForwardingList> none;
    AppliedStatus<EffectiveForwardingList> empty_list;
    empty_list.applied = EffectiveForwardingList{};
    // An applied empty list is not the same as nothing applied.
    EXPECT_NE(none, empty_list);

    AppliedStatus<Ipv4Net> a{net("10.0.0.1/24"), "x"};
    AppliedStatus<Ipv4Net> b{net("10.0.0.1/24"), "y"};
    EXPECT_NE(a, b);
    b.error = "x";
    EXPECT_EQ(a, b);

    // Lists compare by their entries, not by the order they were built in.
    AppliedStatus<EffectiveForwardingList> first;
    AppliedStatus<EffectiveForwardingList> second;
    first.applied.emplace();
    second.applied.emplace();
    for (const char* n : {"10.1.0.0/16", "10.2.0.0/16", "192.168.0.0/24"}) {
        first.applied->networks.insert(net(n));
    }
    for (const char* n : {"192.168.0.0/24", "10.2.0.0/16", "10.1.0.0/16"}) {
        second.applied->networks.insert(net(n));
    }
    EXPECT_EQ(first, second);
    second.applied->networks.erase(net("10.2.0.0/16"));
    EXPECT_NE(first, second);
}

TEST(AgentStateTest, EqualityAndEmptiness) {
    AgentState a;
    AgentState b;
    EXPECT_TRUE(a.is_empty());
    EXPECT_EQ(a, b);
    a.hostnames.applied = HostnameList{};
    EXPECT_NE(a, b);
    EXPECT_FALSE(a.is_empty());
    b.hostnames.applied = HostnameList{};
    EXPECT_EQ(a, b);
    b.ip.error = "Failed to create TUN device tasks";
    EXPECT_NE(a, b);
    AgentState copy = b;
    EXPECT_EQ(copy, b);
}

TEST(NetworkTest, NewNetworkStartsEmptyAndKnowsWhoManagesIt) {
    struct Case {
        const char* url;
        bool managed;
    };
    const Case cases[] = {
        {"controller://3f2a9c10-5b7e-4d21-8c4f-0a6b2d9e7f13", true},
        {"CONTROLLER://abc", true},
        {"https://example.com/net.toml", false},
        {"http://controller/net.toml", false},
        {"file:///var/mobile/lab.toml", false},
    };
    for (const auto& c : cases) {
        Network network(Url::parse(c.url).value());
        EXPECT_EQ(network.is_controller_managed(), c.managed) << c.url;
        EXPECT_FALSE(network.disabled);
        EXPECT_EQ(network.name, std::nullopt);
        EXPECT_EQ(network.health, NetworkHealth::initializing());
        EXPECT_TRUE(network.desired_state.is_empty());
        EXPECT_TRUE(network.current_state.is_empty());
        EXPECT_FALSE(network.config.has_value());
    }
}

TEST(NetworkTest, CopiesShareTheStoredError) {
    Network network(Url::parse("https://example.com/n.toml").value());
    network.config = ConfigRetrieval(
        unexpected(std::make_shared<const agent::Error>(agent::Error::Http{"timed out"})));
    Network copy = network;
    ASSERT_TRUE(copy.config.has_value());
    ASSERT_FALSE(copy.config->has_value());
    EXPECT_EQ(copy.config->error().get(), network.config->error().get());
    EXPECT_EQ(copy, network);

    Network other = network;
    other.config = ConfigRetrieval(
        unexpected(std::make_shared<const agent::Error>(agent::Error::Http{"refused"})));
    EXPECT_NE(other, network);
    other.config.reset();
    EXPECT_NE(other, network);
}

}  // namespace
}  // namespace quorvel::network
