// Building blocks for tests of the running agent: configurations, networks and desired states.
#pragma once

#include "agent/config/agent_config.h"
#include "network/network.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <string>

namespace quorvel::agent::testing {

// Clears the node's environment variables for one test and sets the given ones.
class NodeEnvironment {
  public:
    explicit NodeEnvironment(std::map<std::string, std::string> values = {}) {
        clear();
        for (const auto& [key, value] : values) {
            ::setenv(("QUORVEL_" + key).c_str(), value.c_str(), 1);
        }
    }
    ~NodeEnvironment() { clear(); }

  private:
    static void clear() {
        for (const char* key : {"MIN_POW_DIFFICULTY", "ARM_MESSAGES", "UDP_ADDRS", "UDP_PORT",
                                "MAX_PEERS", "HELLO_TIMEOUT", "HELLO_MAX_AGE", "PROCESS_UNITES",
                                "HOUSEKEEPING_INTERVAL", "ENFORCE_TCP", "MTU"}) {
            ::unsetenv((std::string("QUORVEL_") + key).c_str());
        }
    }
};

inline p2p::Identity test_identity() {
    return p2p::Identity(p2p::SecKey::random(), p2p::Pow(0));
}

inline Url url(const std::string& text) {
    return *Url::parse(text);
}

inline Ipv4Net net(const char* text) {
    return *Ipv4Net::parse(text);
}

inline network::Network& add_network(AgentConfig& config, const std::string& text) {
    Url key = url(text);
    return config.network.insert_or_assign(key, network::Network(key)).first->second;
}

// An allowed outbound rule from `source` to `dest` through `pk`, and the inbound one back.
inline network::EffectiveAccessRuleList allow_out(const char* source, const char* dest,
                                                  const p2p::PubKey& pk) {
    auto list = network::EffectiveAccessRuleList::from_rules({
        {network::Direction::OUT, net(source), net(dest), pk, network::Action::Allow},
        {network::Direction::IN, net(dest), net(source), pk, network::Action::Allow},
    });
    EXPECT_TRUE(list.has_value());
    return list.value_or(network::EffectiveAccessRuleList{});
}

inline network::EffectiveRoutingList routes_to(const char* dest, const char* gateway) {
    network::EffectiveRoutingList list;
    list.routes.emplace(net(dest), network::EffectiveRoute{net(dest), *Ipv4Addr::parse(gateway)});
    return list;
}

inline network::EffectiveForwardingList forwarding_for(const char* dest) {
    network::EffectiveForwardingList list;
    list.networks.insert(net(dest));
    return list;
}

}  // namespace quorvel::agent::testing
