// Building blocks for tests of the running agent: configurations, networks and desired states.
#pragma once

#include "agent/agent.h"
#include "agent/config/agent_config.h"
#include "network/network.h"
#include "util/runtime.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
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

// An identity whose node's UDP port (derived from its key) is free on loopback now and differs
// from those in `ports`, which it joins: agents that run at once, several of one test or those of
// tests run beside it, must not meet on one port.
inline p2p::Identity identity_on_a_free_port(std::set<uint16_t>& ports) {
    for (;;) {
        p2p::Identity identity(p2p::SecKey::random(), p2p::Pow(0));
        const uint16_t port = identity.pk().udp_port();
        if (ports.contains(port)) {
            continue;
        }
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        if (free) {
            ports.insert(port);
            return identity;
        }
    }
}

// A new identity without proof of work, on a port that is free now and that no earlier identity
// of this process was given.
inline p2p::Identity test_identity() {
    static std::mutex mutex;
    static std::set<uint16_t> given;
    std::lock_guard lock(mutex);
    return identity_on_a_free_port(given);
}

// A loopback TCP port on which nothing listens: connecting to it is refused at once.
inline uint16_t closed_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    ::close(fd);
    EXPECT_TRUE(bound);
    return ntohs(addr.sin_port);
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

// A copy of the running agent's configuration, read under the state lock.
inline AgentConfig running_config_of(Runtime& runtime, const Agent& agent) {
    auto copy = runtime.block_on(
        [](std::shared_ptr<AgentInner> inner) -> boost::asio::awaitable<AgentConfig> {
            auto state = co_await inner->state().read();
            co_return state->config;
        }(agent.inner()));
    EXPECT_TRUE(copy.has_value());
    return std::move(*copy);
}

// A socket pair standing in for the host's tunnel: the agent's end as a device, the host's end
// in `host_fd` (which the caller closes).
inline std::shared_ptr<AsyncDevice> tunnel_pair(const boost::asio::any_io_executor& executor,
                                                int& host_fd) {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    host_fd = fds[1];
    auto device = AsyncDevice::from_fd(executor, fds[0]);
    EXPECT_TRUE(device.has_value());
    return device.has_value() ? *device : nullptr;
}

// Counts a check that failed, saying which on stderr: for tests that run in a child process, which
// ends with the count as its exit status.
struct Checks {
    int failures = 0;
    void operator()(bool holds, const std::string& what) {
        if (!holds) {
            std::fprintf(stderr, "failed: %s\n", what.c_str());
            ++failures;
        }
    }
    [[noreturn]] void exit() const {
        std::fflush(stderr);
        std::_Exit(failures);
    }
};

}  // namespace quorvel::agent::testing
