#include "agent/agent.h"

#include "agent/agent_test_util.h"
#include "agent/netif/mobile_netif.h"
#include "agent/router/mobile_router.h"
#include "p2p/testing.h"
#include "util/async_test_util.h"
#include "util/log.h"
#include "util/runtime.h"
#include "util/temp_dir.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

namespace quorvel::agent {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using namespace testing;
using ::quorvel::testing::eventually;

constexpr std::string_view kNetifLine =
    "We're running on a mobile platform where the network listener handles TUN address updates. "
    "Therefore, we just assume everything is fine and hope for the best! \U0001F91E";
constexpr std::string_view kRouterLine =
    "We're running on a mobile platform where the network listener handles route updates. "
    "Therefore, we just assume everything is fine and hope for the best! \U0001F91E";

std::size_t entries_in(const char* dir) {
    std::size_t count = 0;
    DIR* d = opendir(dir);
    while (auto* e = readdir(d)) {
        count += e->d_name[0] != '.';
    }
    closedir(d);
    return count;
}

// A runtime, a socket pair standing in for the host's tunnel, and what the listener heard.
class AgentTest : public ::testing::Test {
  protected:
    AgentTest() : runtime_(Runtime::create(4)) {}

    AgentConfig dns_disabled_config() {
        AgentConfig config(test_identity());
        config.dns = DnsConfig{true};
        return config;
    }

    // The host's end of the tunnel is `host_fd_`; the agent's end becomes the device.
    std::shared_ptr<AsyncDevice> make_device() {
        return tunnel_pair(runtime_->executor(), host_fd_);
    }

    PlatformDependent platform(std::shared_ptr<AsyncDevice> device) {
        return PlatformDependent{std::move(device), [this](NetworkChange change) {
                                     std::lock_guard lock(mutex_);
                                     changes_.push_back(std::move(change));
                                 }};
    }

    // The started agent; a failed start throws, which fails the test.
    Agent start(AgentConfig config, std::shared_ptr<AsyncDevice> device = nullptr,
                std::chrono::milliseconds period = 10s) {
        auto started = runtime_->block_on(Agent::start(std::move(config), dir_.file("config.toml"),
                                                       platform(std::move(device)), period));
        EXPECT_TRUE(started.has_value() && started->has_value())
            << (started.has_value() ? started->error().to_string() : to_string(started.error()));
        return std::move(started.value().value());
    }

    // Applies the running configuration's desired states as a pass does, after `edit`.
    template <class Edit>
    void apply(const Agent& agent, Edit edit) {
        auto done = runtime_->block_on(
            [](std::shared_ptr<AgentInner> inner, Edit edit) -> asio::awaitable<void> {
                auto state = co_await inner->state().write();
                edit(state->config);
                co_await AgentInner::apply_desired_state(inner, *state);
            }(agent.inner(), std::move(edit)));
        ASSERT_TRUE(done.has_value());
    }
    void apply(const Agent& agent) {
        apply(agent, [](AgentConfig&) {});
    }

    // A copy of the running configuration, read under the state lock.
    AgentConfig running_config(const Agent& agent) { return running_config_of(*runtime_, agent); }

    void shutdown(const Agent& agent) {
        ASSERT_TRUE(runtime_->block_on(agent.shutdown()).has_value());
    }

    ~AgentTest() override {
        if (host_fd_ >= 0) {
            close(host_fd_);
        }
    }

    quorvel::testing::TempDir dir_;
    NodeEnvironment env_;
    std::shared_ptr<Runtime> runtime_;
    int host_fd_ = -1;
    std::mutex mutex_;
    std::vector<NetworkChange> changes_;
};

TEST_F(AgentTest, StartLogsAndRunsTheFirstPassAtOnce) {
    log::ScopedCapture capture;
    auto agent = start(dns_disabled_config());
    EXPECT_TRUE(eventually([&] { return agent.inner()->completed_passes() >= 1; }));
    EXPECT_TRUE(capture->contains(log::Level::Info, "Start agent."));
    EXPECT_TRUE(
        capture->contains(log::Level::Debug, "Update check is not available on this platform"));
    EXPECT_TRUE(capture->contains(log::Level::Info, "Agent started."));
    EXPECT_FALSE(agent.inner()->cancellation_token().is_cancelled());
    EXPECT_EQ(agent.inner()->dns(), nullptr);
    EXPECT_EQ(agent.inner()->public_key(), agent.node()->pk());
    const auto& http = agent.inner()->client().options();
    EXPECT_EQ(http.pool_max_idle_per_host, 0u);
    EXPECT_EQ(http.timeout, 5000ms);
    EXPECT_EQ(http.max_redirects, 5);
    shutdown(agent);
}

TEST_F(AgentTest, UpdateCheckLineFollowsTheSetting) {
    for (std::optional<bool> setting :
         {std::optional<bool>(), std::optional<bool>(true), std::optional<bool>(false)}) {
        log::ScopedCapture capture;
        auto config = dns_disabled_config();
        config.update_check = setting;
        auto agent = start(std::move(config));
        EXPECT_EQ(
            capture->contains(log::Level::Debug, "Update check is not available on this platform"),
            setting.value_or(true));
        shutdown(agent);
    }
}

TEST_F(AgentTest, DnsSectionDecidesTheDnsComponent) {
    struct Case {
        std::optional<DnsConfig> dns;
        bool component;
    };
    for (const Case& c : {Case{std::nullopt, true}, Case{DnsConfig{}, true},
                          Case{DnsConfig{false}, true}, Case{DnsConfig{true}, false}}) {
        AgentConfig config(test_identity());
        config.dns = c.dns;
        auto agent = start(std::move(config));
        EXPECT_EQ(agent.inner()->dns() != nullptr, c.component);
        shutdown(agent);
    }
}

// The first pass sets the controller status: a shared secret makes it fetch (here from a port on
// which nothing listens), none leaves the node logged out.
TEST_F(AgentTest, ControllerStatusRule) {
    struct Case {
        std::optional<std::string> email;
        std::optional<std::string> secret;
        ControllerConnectionStatus expected;
    };
    const Case cases[] = {
        {"user@example.com", "c2VjcmV0",
         ControllerConnectionStatus::err("Controller not reachable")},
        {std::nullopt, "c2VjcmV0", ControllerConnectionStatus::err("Controller not reachable")},
        {"user@example.com", std::nullopt, ControllerConnectionStatus::logged_out()},
    };
    for (const auto& c : cases) {
        auto config = dns_disabled_config();
        config.controller = ControllerConfig{};
        config.controller->url = "http://127.0.0.1:" + std::to_string(closed_port());
        config.controller->display_login_email = c.email;
        config.controller->shared_secret = c.secret;
        config.controller->status = ControllerConnectionStatus::err("stale");
        auto agent = start(std::move(config));
        ASSERT_TRUE(eventually([&] { return agent.inner()->completed_passes() >= 1; }));
        auto running = running_config(agent);
        ASSERT_TRUE(running.controller.has_value());
        EXPECT_EQ(running.controller->status, c.expected);
        shutdown(agent);
    }
    // Without a controller section the pass adds an empty one, logged out.
    auto agent = start(dns_disabled_config());
    ASSERT_TRUE(eventually([&] { return agent.inner()->completed_passes() >= 1; }));
    auto running = running_config(agent);
    ASSERT_TRUE(running.controller.has_value());
    EXPECT_FALSE(running.controller->url.has_value());
    EXPECT_FALSE(running.controller->shared_secret.has_value());
    EXPECT_EQ(running.controller->status, ControllerConnectionStatus::logged_out());
    shutdown(agent);
}

TEST_F(AgentTest, EnvironmentReachesTheNodeAndTheInterfaceMtu) {
    struct Case {
        std::map<std::string, std::string> env;
        std::optional<uint16_t> configured_mtu;
        uint16_t mtu;
        bool arm_messages;
    };
    const Case cases[] = {
        {{}, std::nullopt, 1280, true},
        {{{"ARM_MESSAGES", "false"}}, std::nullopt, 1328, false},
        {{{"ARM_MESSAGES", "False"}}, std::nullopt, 1280, true},
        {{{"ARM_MESSAGES", "0"}}, std::nullopt, 1280, true},
        {{{"ARM_MESSAGES", "false"}}, 1400, 1400, false},
        {{}, 1400, 1400, true},
    };
    for (const auto& c : cases) {
        NodeEnvironment env(c.env);
        auto config = dns_disabled_config();
        config.mtu = c.configured_mtu;
        auto agent = start(std::move(config));
        EXPECT_EQ(agent.inner()->mtu(), c.mtu);
        EXPECT_EQ(agent.node()->opts().arm_messages, c.arm_messages);
        shutdown(agent);
    }
    NodeEnvironment env({{"UDP_ADDRS", "127.0.0.1"},
                         {"HELLO_TIMEOUT", "+1234"},
                         {"MAX_PEERS", "16"},
                         {"MTU", "1300"}});
    auto agent = start(dns_disabled_config());
    const auto& opts = agent.node()->opts();
    ASSERT_EQ(opts.udp_addrs.size(), 1u);
    EXPECT_EQ(opts.udp_addrs[0].to_string(), "127.0.0.1");
    EXPECT_EQ(opts.hello_timeout, 1234ms);
    EXPECT_EQ(opts.max_peers, 16u);
    EXPECT_EQ(opts.mtu, 1300u);
    shutdown(agent);
}

TEST_F(AgentTest, StartUpFailuresReturnErrorsAndLeaveNothingRunning) {
    const std::size_t threads = entries_in("/proc/self/task");
    const std::size_t fds = entries_in("/proc/self/fd");
    struct Case {
        std::map<std::string, std::string> env;
        std::optional<std::vector<p2p::SuperPeerUrl>> super_peers;
        std::string message;
    };
    // A port taken by another socket: the node's socket cannot be bound.
    const int taken = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(taken, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    const std::string taken_port = std::to_string(ntohs(addr.sin_port));
    const Case cases[] = {
        {{{"UDP_PORT", taken_port}}, std::nullopt, "Node error: "},
        {{{"UDP_ADDRS", "127.0.0.1 localhost"}},
         std::nullopt,
         "Configuration parse error: Invalid udp addresses: localhost"},
        {{{"MAX_PEERS", "3"}},
         std::nullopt,
         "Configuration parse error: Failed to build node opts: max_peers must be 0 or a power "
         "of two, got 3"},
        {{}, std::vector<p2p::SuperPeerUrl>{}, "Node error: "},
    };
    for (const auto& c : cases) {
        NodeEnvironment env(c.env);
        auto config = dns_disabled_config();
        config.super_peers = c.super_peers;
        auto started = runtime_->block_on(
            Agent::start(std::move(config), dir_.file("config.toml"), platform(nullptr)));
        ASSERT_TRUE(started.has_value());
        ASSERT_FALSE(started->has_value());
        EXPECT_TRUE(started->error().to_string().starts_with(c.message))
            << started->error().to_string();
    }
    close(taken);
    // Nothing was left behind: no thread, no socket.
    EXPECT_EQ(entries_in("/proc/self/task"), threads);
    EXPECT_EQ(entries_in("/proc/self/fd"), fds);
}

TEST_F(AgentTest, ApplicationCallsTheHooksInOrderAndMakesOneTunnelDevice) {
    auto device = make_device();
    auto config = dns_disabled_config();
    auto& plain = add_network(config, "controller://plain");
    plain.desired_state.ip = {net("10.1.0.5/24"), std::nullopt};
    plain.desired_state.routes = {routes_to("10.9.0.0/16", "10.1.0.3"), std::nullopt};
    auto& gateway = add_network(config, "controller://gateway");
    gateway.desired_state.ip = {net("10.2.0.1/24"), std::nullopt};
    gateway.desired_state.forwardings = {forwarding_for("10.8.0.0/16"), std::nullopt};
    log::ScopedCapture capture;
    auto agent = start(std::move(config), device);
    ASSERT_TRUE(eventually([&] { return agent.inner()->completed_passes() >= 1; }));
    for (int i = 0; i < 3; ++i) {
        apply(agent);
    }

    // One device, made once, and every later application logs only the listener line.
    EXPECT_EQ(capture->count(log::Level::Trace, "Start TUN device runner (initialization)"), 1u);
    auto tun = agent.inner()->netif()->load_tun_device();
    ASSERT_NE(tun, nullptr);
    EXPECT_EQ(tun->device(), device);
    apply(agent);
    EXPECT_EQ(agent.inner()->netif()->load_tun_device(), tun);

    // Interface hook, route hook, firewall, in this order, in every application.
    std::vector<std::string> order;
    for (const auto& event : capture->events()) {
        if (event.message == kNetifLine) {
            order.push_back("netif");
        } else if (event.message == kRouterLine) {
            order.push_back("router");
        } else if (event.message == "Tries rebuilt successfully.") {
            order.push_back("tries");
        }
    }
    ASSERT_GE(order.size(), 8u);
    EXPECT_EQ(order[0], "netif");
    EXPECT_EQ(order[1], "router");
    EXPECT_EQ(order[2], "tries");  // the addresses became applied
    EXPECT_EQ(order[3], "netif");
    EXPECT_EQ(order[4], "router");

    auto running = running_config(agent);
    const auto& p = running.network.at(url("controller://plain"));
    EXPECT_EQ(p.current_state.ip, p.desired_state.ip);
    EXPECT_EQ(p.current_state.routes, p.desired_state.routes);
    EXPECT_EQ(p.health, network::NetworkHealth::ok());
    const auto& g = running.network.at(url("controller://gateway"));
    EXPECT_EQ(g.current_state.ip, g.desired_state.ip);
    EXPECT_EQ(g.current_state.forwardings,
              (network::AppliedStatus<network::EffectiveForwardingList>{
                  std::nullopt, std::string(kForwardingUnsupported)}));
    EXPECT_EQ(g.health, network::NetworkHealth::pending());
    shutdown(agent);
}

// With DNS on, the DNS component is the last step of every application.
TEST_F(AgentTest, DnsComponentIsAppliedLast) {
    AgentConfig config(test_identity());
    add_network(config, "controller://n").desired_state.ip = {net("10.1.0.5/24"), std::nullopt};
    auto agent = start(std::move(config));
    ASSERT_NE(agent.inner()->dns(), nullptr);
    // The first pass runs at once; the next one comes ten seconds later.
    ASSERT_TRUE(eventually([&] { return agent.inner()->completed_passes() >= 1; }));
    log::ScopedCapture capture;
    apply(agent);
    std::vector<std::string> order;
    for (const auto& event : capture->events()) {
        if (event.message == kNetifLine) {
            order.push_back("netif");
        } else if (event.message == kRouterLine) {
            order.push_back("router");
        } else if (event.message.starts_with("Current DNS IP: ")) {
            order.push_back("dns");
        }
    }
    EXPECT_EQ(order, (std::vector<std::string>{"netif", "router", "dns"}));
    shutdown(agent);
}

// With DNS on, a network's host names are applied like everything else: the network reaches Ok,
// and the host is told the network's DNS server address.
TEST_F(AgentTest, NetworkWithHostNamesReachesOkWithDns) {
    AgentConfig config(test_identity());
    auto agent = start(std::move(config));
    ASSERT_TRUE(eventually([&] { return agent.inner()->completed_passes() >= 1; }));
    apply(agent, [](AgentConfig& config) {
        auto& n = add_network(config, "https://example.com/n.toml");
        n.desired_state.ip = {net("10.1.0.5/16"), std::nullopt};
        network::HostnameList hosts;
        hosts.hosts.emplace(*Ipv4Addr::parse("10.1.0.1"), "alpha");
        n.desired_state.hostnames = {hosts, std::nullopt};
    });
    auto running = running_config(agent);
    const auto& n = running.network.at(url("https://example.com/n.toml"));
    EXPECT_EQ(n.current_state.hostnames, n.desired_state.hostnames);
    EXPECT_EQ(n.health, network::NetworkHealth::ok());
    EXPECT_EQ(agent.inner()->dns()->server_ip(), Ipv4Addr::parse("10.1.255.254"));
    EXPECT_TRUE(agent.inner()->dns()->is_server_ip(*Ipv4Addr::parse("10.1.255.254")));
    shutdown(agent);
    // Shutdown applied the reset state: no address is served any more.
    EXPECT_FALSE(agent.inner()->dns()->server_ip().has_value());
}

TEST_F(AgentTest, HealthFollowsTheStatesButErrorsStay) {
    auto agent = start(dns_disabled_config());
    // The first pass would judge these networks itself: let it run before they are added.
    ASSERT_TRUE(eventually([&] { return agent.inner()->completed_passes() >= 1; }));
    apply(agent, [](AgentConfig& config) {
        add_network(config, "controller://ok").desired_state.ip = {net("10.1.0.5/24"),
                                                                   std::nullopt};
        auto& member = add_network(config, "controller://not-member");
        member.health = network::NetworkHealth::not_a_member_error();
        auto& disabled = add_network(config, "controller://disabled");
        disabled.health = network::NetworkHealth::disabled();
        disabled.desired_state.forwardings = {forwarding_for("10.8.0.0/16"), std::nullopt};
    });
    auto running = running_config(agent);
    EXPECT_EQ(running.network.at(url("controller://ok")).health, network::NetworkHealth::ok());
    EXPECT_EQ(running.network.at(url("controller://not-member")).health,
              network::NetworkHealth::not_a_member_error());
    EXPECT_EQ(running.network.at(url("controller://disabled")).health,
              network::NetworkHealth::disabled());
    shutdown(agent);
}

// The firewall step: rules that change are copied and rebuild the tries once; a network whose
// address becomes applied later gets into the tries although its rules did not change.
TEST_F(AgentTest, TriesFollowAccessRulesAndAppliedAddresses) {
    auto device = make_device();
    auto peer = test_identity().pk();
    auto agent = start(dns_disabled_config(), device);
    ASSERT_TRUE(eventually([&] { return agent.inner()->completed_passes() >= 1; }));
    log::ScopedCapture capture;
    apply(agent, [&](AgentConfig& config) {
        auto& a = add_network(config, "controller://a");
        a.desired_state.access_rules = {allow_out("10.1.0.5/32", "10.1.0.0/24", peer),
                                        std::nullopt};
        auto& b = add_network(config, "controller://b");
        b.desired_state.access_rules = {allow_out("10.2.0.5/32", "10.2.0.0/24", peer),
                                        std::nullopt};
    });
    EXPECT_EQ(capture->count(log::Level::Trace, "Tries rebuilt successfully."), 1u);
    std::size_t changes = 0;
    for (const auto& e : capture->events()) {
        if (e.message.starts_with("Access rules change: current=\nNone; desired=\n")) {
            ++changes;
            EXPECT_EQ(e.target, "quorvel_agent::agent::firewall");
        }
    }
    EXPECT_EQ(changes, 2u);
    // Without applied addresses no rule gets into the tries.
    EXPECT_TRUE(agent.inner()->firewall()->load_tx_trie()->empty());

    apply(agent, [&](AgentConfig& config) {
        config.network.at(url("controller://a")).desired_state.ip = {net("10.1.0.5/24"),
                                                                     std::nullopt};
    });
    EXPECT_EQ(capture->count(log::Level::Trace, "Tries rebuilt successfully."), 2u);
    auto tx = agent.inner()->firewall()->load_tx_trie();
    ASSERT_EQ(tx->size(), 1u);
    EXPECT_EQ(tx->begin()->net, net("10.1.0.0/24"));
    const NodePeer* node_peer = tx->begin()->value.lookup(*Ipv4Addr::parse("10.1.0.5"));
    ASSERT_NE(node_peer, nullptr);
    EXPECT_EQ(node_peer->pk(), peer);

    // Nothing changed: no rebuild.
    apply(agent);
    EXPECT_EQ(capture->count(log::Level::Trace, "Tries rebuilt successfully."), 2u);
    shutdown(agent);
    // Shutdown withdraws everything: both tries empty.
    EXPECT_TRUE(agent.inner()->firewall()->load_tx_trie()->empty());
    EXPECT_TRUE(agent.inner()->firewall()->load_rx_trie()->empty());
}

// The rebuild keeps one node peer per allowed outbound peer: shared by every entry and network
// naming it, kept across rebuilds, and released once no rule names it. Inbound-only and refused
// keys get none; a later network's entry for the same destination replaces the earlier one.
TEST_F(AgentTest, RebuildKeepsOneNodePeerPerAllowedPeer) {
    using network::Action;
    using network::Direction;
    auto device = make_device();
    auto agent = start(dns_disabled_config(), device);
    ASSERT_TRUE(eventually([&] { return agent.inner()->completed_passes() >= 1; }));
    const auto shared = test_identity().pk();
    const auto inbound_only = test_identity().pk();
    const auto refused = test_identity().pk();
    const auto other = test_identity().pk();
    p2p::testing::hooks_for(agent.node()->pk())->refuse_initiate(refused);
    auto rules = [](std::vector<network::EffectiveAccessRule> list) {
        auto made = network::EffectiveAccessRuleList::from_rules(std::move(list));
        EXPECT_TRUE(made.has_value());
        return network::AppliedStatus<network::EffectiveAccessRuleList>{
            made.value_or(network::EffectiveAccessRuleList{}), std::nullopt};
    };
    log::ScopedCapture capture;
    std::vector<Url> order;
    apply(agent, [&](AgentConfig& config) {
        auto& a = add_network(config, "controller://a");
        a.desired_state.ip = {net("10.1.0.5/24"), std::nullopt};
        a.desired_state.access_rules = rules({
            {Direction::OUT, net("10.1.0.5/32"), net("10.1.0.0/24"), shared, Action::Allow},
            {Direction::OUT, net("10.1.0.5/32"), net("10.5.0.0/24"), shared, Action::Allow},
            {Direction::OUT, net("10.1.0.5/32"), net("10.6.0.0/24"), other, Action::Deny},
            {Direction::IN, net("10.4.0.0/24"), net("10.1.0.5/32"), inbound_only, Action::Allow},
        });
        auto& b = add_network(config, "controller://b");
        b.desired_state.ip = {net("10.2.0.5/24"), std::nullopt};
        b.desired_state.access_rules = rules({
            {Direction::OUT, net("10.2.0.5/32"), net("10.2.0.0/24"), shared, Action::Allow},
            {Direction::OUT, net("10.2.0.5/32"), net("10.5.0.0/24"), other, Action::Allow},
        });
        auto& c = add_network(config, "https://example.com/c.toml");
        c.desired_state.ip = {net("10.3.0.5/24"), std::nullopt};
        c.desired_state.access_rules = rules({
            {Direction::OUT, net("10.3.0.5/32"), net("10.3.0.0/24"), refused, Action::Allow},
        });
        for (const auto& [key, network] : config.network) {
            if (key != url("https://example.com/c.toml")) {
                order.push_back(key);
            }
        }
    });
    auto tx = agent.inner()->firewall()->load_tx_trie();
    auto peer_at = [&](const char* dest, const char* source) -> const NodePeer* {
        const auto* inner = tx->get(net(dest));
        return inner == nullptr ? nullptr : inner->lookup(*Ipv4Addr::parse(source));
    };
    const NodePeer* in_a = peer_at("10.1.0.0/24", "10.1.0.5");
    const NodePeer* in_b = peer_at("10.2.0.0/24", "10.2.0.5");
    ASSERT_NE(in_a, nullptr);
    ASSERT_NE(in_b, nullptr);
    EXPECT_EQ(&in_a->handle().inner(), &in_b->handle().inner()) << "two node peers for one key";
    const NodePeerInner* shared_peer = &in_a->handle().inner();
    // Both networks name 10.5.0.0/24: the one visited later decides it alone.
    const NodePeer* later = order.back() == url("controller://b")
                                ? peer_at("10.5.0.0/24", "10.2.0.5")
                                : peer_at("10.5.0.0/24", "10.1.0.5");
    ASSERT_NE(later, nullptr);
    EXPECT_EQ(later->pk(), order.back() == url("controller://b") ? other : shared);
    EXPECT_EQ(tx->get(net("10.5.0.0/24"))->size(), 1u);
    // Refused, inbound-only and denied keys carry no packet out.
    EXPECT_EQ(peer_at("10.3.0.0/24", "10.3.0.5"), nullptr);
    EXPECT_EQ(peer_at("10.6.0.0/24", "10.1.0.5"), nullptr);
    for (const auto& dest : *tx) {
        for (const auto& source : dest.value) {
            EXPECT_NE(source.value.pk(), inbound_only);
            EXPECT_NE(source.value.pk(), refused);
        }
    }
    EXPECT_TRUE(capture->contains_substring(log::Level::Error, "Failed to create node peer"));
    const auto* rx_inner = agent.inner()->firewall()->load_rx_trie()->get(net("10.4.0.0/24"));
    ASSERT_NE(rx_inner, nullptr);
    EXPECT_EQ(*rx_inner->lookup(*Ipv4Addr::parse("10.1.0.5")), inbound_only);

    // Another rule change keeps the node peer of a key that is still named.
    apply(agent, [&](AgentConfig& config) {
        config.network.at(url("controller://b")).desired_state.access_rules = rules({
            {Direction::OUT, net("10.2.0.5/32"), net("10.2.0.0/16"), shared, Action::Allow},
        });
    });
    tx = agent.inner()->firewall()->load_tx_trie();
    ASSERT_NE(peer_at("10.2.0.0/16", "10.2.0.5"), nullptr);
    EXPECT_EQ(&peer_at("10.2.0.0/16", "10.2.0.5")->handle().inner(), shared_peer);
    EXPECT_EQ(&peer_at("10.1.0.0/24", "10.1.0.5")->handle().inner(), shared_peer);
    tx.reset();
    // The key no rule names any more lost its node peer; the shared one lives on.
    EXPECT_TRUE(eventually(
        [&] { return capture->count(log::Level::Trace, "NodePeerDriver ready") == 1u; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(capture->count(log::Level::Trace, "NodePeerDriver ready"), 1u);

    // No rule names any peer any more: every node peer is released and its driver ends.
    apply(agent, [&](AgentConfig& config) {
        for (auto& [key, network] : config.network) {
            network.desired_state.access_rules = rules({});
        }
    });
    EXPECT_TRUE(agent.inner()->firewall()->load_tx_trie()->empty());
    EXPECT_TRUE(agent.inner()->firewall()->load_rx_trie()->empty());
    EXPECT_TRUE(eventually(
        [&] { return capture->count(log::Level::Trace, "NodePeerDriver ready") == 2u; }));
    shutdown(agent);
}

TEST_F(AgentTest, ShutdownWaitsForARunningPassAndResets) {
    auto config = dns_disabled_config();
    auto& n = add_network(config, "controller://n");
    n.desired_state.ip = {net("10.1.0.5/24"), std::nullopt};
    n.name = "kept";
    auto agent = start(std::move(config), nullptr, 20ms);
    ASSERT_TRUE(eventually([&] { return agent.inner()->completed_passes() >= 2; }));

    // Stand in for a pass that holds the lock.
    auto guard = agent.inner()->state().try_write();
    ASSERT_TRUE(guard.has_value());
    std::atomic<bool> shut_down{false};
    log::ScopedCapture capture;
    std::thread host([&] {
        EXPECT_TRUE(runtime_->block_on(agent.shutdown()).has_value());
        shut_down = true;
    });
    // Shutdown cancels the token before it waits for the lock.
    EXPECT_TRUE(eventually([&] { return agent.inner()->cancellation_token().is_cancelled(); }));
    std::this_thread::sleep_for(100ms);
    EXPECT_FALSE(shut_down) << "shutdown did not wait for the pass";
    guard->unlock();
    host.join();
    EXPECT_TRUE(capture->contains(log::Level::Info, "Shutdown agent."));
    EXPECT_TRUE(capture->contains(log::Level::Trace, "Cancel agent token"));
    EXPECT_TRUE(capture->contains(log::Level::Info, "Agent shut down."));

    const uint64_t passes = agent.inner()->completed_passes();
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(agent.inner()->completed_passes(), passes) << "a pass ran after shutdown";
    EXPECT_TRUE(eventually(
        [&] { return capture->contains(log::Level::Trace, "Monitoring task cancelled."); }));

    auto running = running_config(agent);
    const auto& after = running.network.at(url("controller://n"));
    EXPECT_TRUE(after.desired_state.is_empty());
    EXPECT_TRUE(after.current_state.ip.is_empty());
    EXPECT_EQ(after.name, "kept");
    // A second shutdown is harmless.
    shutdown(agent);
    EXPECT_EQ(capture->count(log::Level::Info, "Agent shut down."), 2u);
}

// A pass that asked for the state lock while shutdown held it finds the token cancelled and does
// nothing once it gets the lock.
TEST_F(AgentTest, PassQueuedBehindShutdownDoesNothing) {
    auto agent = start(dns_disabled_config());
    ASSERT_TRUE(eventually([&] { return agent.inner()->completed_passes() >= 1; }));
    const uint64_t passes = agent.inner()->completed_passes();
    auto guard = agent.inner()->state().try_write();
    ASSERT_TRUE(guard.has_value());
    std::thread host([&] { EXPECT_TRUE(runtime_->block_on(agent.shutdown()).has_value()); });
    ASSERT_TRUE(eventually([&] { return agent.inner()->cancellation_token().is_cancelled(); }));
    std::this_thread::sleep_for(20ms);
    // Queued behind shutdown, with the token it was started with.
    std::atomic<int> ran{-1};
    runtime_->spawn(
        [](std::shared_ptr<AgentInner> inner, std::atomic<int>* ran) -> asio::awaitable<void> {
            auto result = co_await AgentInner::run_pass(inner, inner->cancellation_token());
            *ran = result.has_value() && *result ? 1 : 0;
        }(agent.inner(), &ran));
    std::this_thread::sleep_for(20ms);
    guard->unlock();
    host.join();
    ASSERT_TRUE(eventually([&] { return ran.load() != -1; }));
    EXPECT_EQ(ran.load(), 0);
    EXPECT_EQ(agent.inner()->completed_passes(), passes);
}

TEST_F(AgentTest, ReleasingAgentAndRuntimeLeavesNothingBehind) {
    const std::size_t threads = entries_in("/proc/self/task");
    const std::size_t fds = entries_in("/proc/self/fd");
    std::weak_ptr<AgentInner> weak_inner;
    std::weak_ptr<AgentFirewall> weak_firewall;
    std::weak_ptr<AsyncDevice> weak_device;
    {
        auto runtime = Runtime::create(4);
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
        auto device = AsyncDevice::from_fd(runtime->executor(), pair[0]);
        ASSERT_TRUE(device.has_value());
        weak_device = *device;
        auto config = dns_disabled_config();
        auto peer = test_identity().pk();
        auto& n = add_network(config, "controller://n");
        n.desired_state.ip = {net("10.1.0.5/24"), std::nullopt};
        n.desired_state.access_rules = {allow_out("10.1.0.5/32", "10.1.0.0/24", peer),
                                        std::nullopt};
        auto started = runtime->block_on(Agent::start(std::move(config), dir_.file("c.toml"),
                                                      platform(std::move(*device)), 20ms));
        ASSERT_TRUE(started.has_value() && started->has_value());
        Agent agent = std::move(**started);
        weak_inner = agent.inner();
        weak_firewall = agent.inner()->firewall();
        // Passes make the tunnel device and a node peer with its driver.
        ASSERT_TRUE(
            eventually([&] { return !agent.inner()->firewall()->load_tx_trie()->empty(); }));
        ASSERT_TRUE(runtime->block_on(agent.shutdown()).has_value());
        close(pair[1]);
    }
    EXPECT_TRUE(weak_inner.expired());
    EXPECT_TRUE(weak_firewall.expired());
    EXPECT_TRUE(weak_device.expired());
    EXPECT_EQ(entries_in("/proc/self/task"), threads);
    EXPECT_EQ(entries_in("/proc/self/fd"), fds);
}

// Without shutdown, the agent's tasks keep its inner state alive until the runtime goes; then
// everything goes, the node peers in the tries (which hold the agent only weakly) included.
TEST_F(AgentTest, ReleasingTheRuntimeStopsAnAgentThatWasNotShutDown) {
    const std::size_t threads = entries_in("/proc/self/task");
    const std::size_t fds = entries_in("/proc/self/fd");
    std::weak_ptr<AgentInner> weak_inner;
    std::weak_ptr<AgentFirewall> weak_firewall;
    int host_end = -1;
    {
        auto runtime = Runtime::create(2);
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
        host_end = pair[1];
        auto device = AsyncDevice::from_fd(runtime->executor(), pair[0]);
        ASSERT_TRUE(device.has_value());
        auto config = dns_disabled_config();
        auto& n = add_network(config, "controller://n");
        n.desired_state.ip = {net("10.1.0.5/24"), std::nullopt};
        n.desired_state.access_rules = {
            allow_out("10.1.0.5/32", "10.1.0.0/24", test_identity().pk()), std::nullopt};
        auto started = runtime->block_on(Agent::start(std::move(config), dir_.file("c.toml"),
                                                      platform(std::move(*device)), 20ms));
        ASSERT_TRUE(started.has_value() && started->has_value());
        {
            log::ScopedCapture capture;
            Agent agent = std::move(started->value());
            weak_inner = agent.inner();
            weak_firewall = agent.inner()->firewall();
            ASSERT_TRUE(
                eventually([&] { return !agent.inner()->firewall()->load_tx_trie()->empty(); }));
        }
        EXPECT_FALSE(weak_inner.expired()) << "the housekeeping task holds the inner state";
        EXPECT_TRUE(eventually([&] { return !weak_inner.expired(); }));
    }
    close(host_end);
    EXPECT_TRUE(weak_inner.expired());
    EXPECT_TRUE(weak_firewall.expired());
    EXPECT_EQ(entries_in("/proc/self/task"), threads);
    EXPECT_EQ(entries_in("/proc/self/fd"), fds);
}

}  // namespace
}  // namespace quorvel::agent
