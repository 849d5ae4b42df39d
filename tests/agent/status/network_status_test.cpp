#include "agent/status/network_status.h"

#include "agent/agent_test_util.h"

#include <gtest/gtest.h>

namespace quorvel::agent {
namespace {

using namespace testing;
using network::AgentState;
using network::NetworkHealth;

p2p::PubKey peer_key() {
    p2p::PubKey::Bytes bytes{};
    bytes.fill(0xab);
    return p2p::PubKey(bytes);
}

network::HostnameList hosts(std::initializer_list<std::pair<const char*, const char*>> entries) {
    network::HostnameList list;
    for (const auto& [ip, name] : entries) {
        list.hosts.emplace(*Ipv4Addr::parse(ip), name);
    }
    return list;
}

TEST(NetworkStatusTest, FreshNetworkShowsCurrentAndDesired) {
    network::Network joined(url("https://example.com/net.toml"));
    AgentState& desired = joined.desired_state;
    desired.ip.applied = net("10.1.2.3/24");
    desired.access_rules.applied = allow_out("10.1.2.3/32", "10.1.2.4/32", peer_key());
    desired.routes.applied = network::EffectiveRoutingList{};
    desired.hostnames.applied = hosts({{"10.1.2.4", "peer"}, {"10.1.2.3", "me"}});

    const std::string rule_key = peer_key().to_string();
    EXPECT_EQ(NetworkStatus(joined).to_string(),
              "Name: None\n"
              "Disabled: false\n"
              "Status: Initializing\n"
              "IP:\n"
              "  Current: None\n"
              "  Desired: 10.1.2.3/24\n"
              "Access Rules:\n"
              "  Current:\n"
              "    None\n"
              "  Desired:\n"
              "    Type Source             Destination        PubKey" +
                  std::string(59, ' ') +
                  "Action\n"
                  "    OUT  10.1.2.3/32        10.1.2.4/32        " +
                  rule_key +
                  " ALLOW \n"
                  "    IN   10.1.2.4/32        10.1.2.3/32        " +
                  rule_key +
                  " ALLOW \n"
                  "Routes:\n"
                  "  Current:\n"
                  "    None\n"
                  "  Desired:\n"
                  "    Empty\n"
                  "Forwardings:\n"
                  "  None\n"
                  "Hostnames:\n"
                  "  Current:\n"
                  "    None\n"
                  "  Desired:\n"
                  "    IP              Hostname\n"
                  "    10.1.2.3        me.quorvel.internal\n"
                  "    10.1.2.4        peer.quorvel.internal\n");
}

TEST(NetworkStatusTest, AppliedNetworkShowsEachPartOnce) {
    network::Network joined(url("https://example.com/net.toml"), false, "office");
    joined.health = NetworkHealth::ok();
    AgentState state;
    state.ip.applied = net("10.1.2.3/24");
    state.access_rules.applied = network::EffectiveAccessRuleList{};
    state.routes.applied = routes_to("10.9.0.0/16", "10.1.2.1");
    state.forwardings.applied = network::EffectiveForwardingList{};
    for (const char* dest : {"10.2.0.0/16", "10.1.0.0/24", "10.1.0.0/16"}) {
        state.forwardings.applied->networks.insert(net(dest));
    }
    state.forwardings.error =
        "We're configured as a gateway. Forwarding is not supported on this platform.";
    state.hostnames.applied = hosts({{"10.1.2.3", "me"}});
    joined.current_state = state;
    joined.desired_state = state;

    EXPECT_EQ(NetworkStatus(joined).to_string(),
              R"(Name: office
Disabled: false
Status: Ok
IP: 10.1.2.3/24
Access Rules:
  Empty
Routes:
  Destination        Gateway        
  10.9.0.0/16        10.1.2.1       
Forwardings:
  10.1.0.0/16
  10.1.0.0/24
  10.2.0.0/16
  Error: We're configured as a gateway. Forwarding is not supported on this platform.
Hostnames:
  IP              Hostname
  10.1.2.3        me.quorvel.internal
DNS Server: 10.1.2.254
)");
}

TEST(NetworkStatusTest, ErrorsAndDifferingHostNames) {
    network::Network joined(url("file:///etc/net.toml"), true);
    joined.health = NetworkHealth::retrieve_config_error("fetch \"x\"\nfailed");
    AgentState& current = joined.current_state;
    current.ip = {net("10.1.2.3/32"), "address refused"};
    current.access_rules.error = "rules refused";
    current.routes = {network::EffectiveRoutingList{}, "routes refused"};
    current.hostnames.applied = hosts({{"10.1.2.3", "me"}});
    joined.desired_state = current;
    joined.desired_state.hostnames.applied = hosts({{"10.1.2.3", "me"}, {"10.1.2.9", "new"}});

    EXPECT_EQ(NetworkStatus(joined).to_string(),
              R"(Name: None
Disabled: true
Status: RetrieveConfigError("fetch \"x\"\nfailed")
IP: 10.1.2.3/32 (Error: address refused)
Access Rules:
  None (Error: rules refused)
Routes:
  Empty (Error: routes refused)
Forwardings:
  None
Hostnames:
  Current:
    IP              Hostname
    10.1.2.3        me.quorvel.internal
  Desired:
    IP              Hostname
    10.1.2.3        me.quorvel.internal
    10.1.2.9        new.quorvel.internal
  DNS Server: 10.1.2.2
)");
}

TEST(NetworkStatusTest, DnsServerLineNeedsAppliedNamesAndAddress) {
    network::Network joined(url("https://example.com/net.toml"));
    AgentState& current = joined.current_state;
    current.hostnames.applied = hosts({{"10.1.2.3", "me"}});
    joined.desired_state = current;
    // No address applied.
    EXPECT_EQ(NetworkStatus(joined).to_string().find("DNS Server"), std::string::npos);
    // Applied but empty names.
    current.ip.applied = net("10.1.2.3/24");
    current.hostnames.applied = network::HostnameList{};
    joined.desired_state = current;
    EXPECT_EQ(NetworkStatus(joined).to_string().find("DNS Server"), std::string::npos);
    // The whole address space: broadcast 255.255.255.255; a host route of 0.0.0.0 stays there.
    current.hostnames.applied = hosts({{"10.1.2.3", "me"}});
    for (auto [tunnel, dns] : {std::pair{"10.1.2.3/0", "DNS Server: 255.255.255.254\n"},
                               std::pair{"0.0.0.0/32", "DNS Server: 0.0.0.0\n"}}) {
        current.ip.applied = net(tunnel);
        joined.desired_state = current;
        EXPECT_TRUE(NetworkStatus(joined).to_string().ends_with(dns)) << tunnel;
    }
}

TEST(NetworkStatusTest, StatusTextAndControllerTest) {
    const struct {
        bool disabled;
        NetworkHealth health;
        const char* text;
    } cases[] = {
        {true, NetworkHealth::ok(), "Disabling..."},
        {false, NetworkHealth::disabled(), "Enabling..."},
        {false, NetworkHealth::initializing(), "Initializing..."},
        {true, NetworkHealth::disabled(), "Disabled"},
        {false, NetworkHealth::ok(), "Ok"},
        {false, NetworkHealth::pending(), "Pending"},
        {false, NetworkHealth::retrieve_config_error("gone"), "Config Error - gone"},
        {false, NetworkHealth::invalid_config_error("bad"), "Config Error - bad"},
        {false, NetworkHealth::not_a_member_error(), "Error - Not a Member"},
    };
    for (const auto& c : cases) {
        NetworkStatus status;
        status.disabled = c.disabled;
        status.health = c.health;
        EXPECT_EQ(status.status_text(), c.text) << c.health.debug();
    }

    EXPECT_TRUE(NetworkStatus::is_controller_managed(url("controller://5d1f7e2c")));
    EXPECT_FALSE(NetworkStatus::is_controller_managed(url("controllers://5d1f7e2c")));
    EXPECT_FALSE(NetworkStatus::is_controller_managed(url("https://controller.example/")));
}

}  // namespace
}  // namespace quorvel::agent
