// Two agents in one process, each with a packet socket pair as its tunnel, exchanging IPv4
// packets through the P2P stand-in over loopback UDP, with access rules derived from one network
// document.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "agent/agent.h"
#include "agent/agent_test_util.h"
#include "agent/netif/icmp_reply.h"
#include "agent/netif/pass_fixture.h"
#include "network/config/network_config.h"
#include "util/async_test_util.h"
#include "util/driver_task.h"
#include "util/log.h"
#include "util/runtime.h"
#include "util/temp_dir.h"

namespace quorvel::agent {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using ::quorvel::testing::eventually;
using testing::addr;
using testing::ipv4_packet;

constexpr const char* kNetworkUrl = "file:///etc/quorvel/office.toml";

// The node options the agents read from the environment: any free port, and no proof of work
// asked of the test identities.
class LoopbackNodeEnvironment {
  public:
    LoopbackNodeEnvironment() {
        setenv("QUORVEL_UDP_PORT", "0", 1);
        setenv("QUORVEL_MIN_POW_DIFFICULTY", "0", 1);
    }
    ~LoopbackNodeEnvironment() {
        unsetenv("QUORVEL_UDP_PORT");
        unsetenv("QUORVEL_MIN_POW_DIFFICULTY");
    }
};

// One agent and the host's end of its tunnel.
struct Side {
    p2p::Identity id = testing::test_identity();
    int host = -1;
    std::optional<Agent> agent;

    ~Side() {
        if (host >= 0) {
            ::close(host);
        }
    }

    void send(const std::vector<std::uint8_t>& packet) const {
        ASSERT_EQ(::send(host, packet.data(), packet.size(), 0),
                  static_cast<ssize_t>(packet.size()));
    }
    // The next packet the agent wrote into the tunnel, or nothing within `limit`.
    std::optional<std::vector<std::uint8_t>> receive(std::chrono::milliseconds limit = 5s) const {
        pollfd p{host, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) != 1) {
            return std::nullopt;
        }
        std::vector<std::uint8_t> buffer(70000);
        const ssize_t n = ::recv(host, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n < 0) {
            return std::nullopt;
        }
        buffer.resize(static_cast<std::size_t>(n));
        return buffer;
    }
};

class PacketPathTest : public ::testing::Test {
  protected:
    PacketPathTest() : runtime_(Runtime::create(4)) {}

    // The document both agents read: A at 10.0.0.1, B at 10.0.0.2, everyone may reach everyone.
    std::string document() const {
        return fmt::format(
            "network = \"10.0.0.0/24\"\n"
            "[[node]]\npk = \"{}\"\nip = \"10.0.0.1\"\nhostname = \"a\"\ngroups = [\"all\"]\n"
            "[[node]]\npk = \"{}\"\nip = \"10.0.0.2\"\nhostname = \"b\"\ngroups = [\"all\"]\n"
            "[[policy]]\nsource_groups = [\"all\"]\ndestination_groups = [\"all\"]\n",
            a_.id.pk().to_string(), b_.id.pk().to_string());
    }

    void start(Side& side, std::uint16_t mtu) {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
        side.host = fds[1];
        auto device = AsyncDevice::from_fd(runtime_->executor(), fds[0]);
        ASSERT_TRUE(device.has_value());
        AgentConfig config(side.id);
        config.dns = DnsConfig{true};
        config.mtu = mtu;
        auto started = runtime_->block_on(
            Agent::start(std::move(config), dir_.file(side.id.pk().to_string() + ".toml"),
                         PlatformDependent{std::move(*device), [](NetworkChange) {}}, 10s));
        ASSERT_TRUE(started.has_value() && started->has_value());
        side.agent.emplace(std::move(started->value()));
        ASSERT_TRUE(eventually([&] { return side.agent->inner()->completed_passes() >= 1; }));
    }

    // Applies what the document gives the side's node, after `edit` of the derived state.
    template <class Edit>
    void apply_document(Side& side, Edit edit) {
        auto doc = network::NetworkConfig::try_from(document());
        ASSERT_TRUE(doc.has_value()) << doc.error().to_string();
        const auto ip = doc->ip(side.id.pk());
        ASSERT_TRUE(ip.has_value());
        auto rules = doc->effective_access_rule_list(side.id.pk());
        ASSERT_TRUE(rules.has_value());
        network::AgentState desired;
        desired.ip = {Ipv4Net(*ip, doc->network.prefix_len()), std::nullopt};
        desired.access_rules = {std::move(*rules), std::nullopt};
        edit(desired);
        apply(side, std::move(desired));
    }
    void apply_document(Side& side) {
        apply_document(side, [](network::AgentState&) {});
    }

    void apply(Side& side, network::AgentState desired) {
        auto done = runtime_->block_on([](std::shared_ptr<AgentInner> inner,
                                          network::AgentState desired) -> asio::awaitable<void> {
            auto state = co_await inner->state().write();
            const Url url = testing::url(kNetworkUrl);
            auto& network =
                state->config.network.try_emplace(url, network::Network(url)).first->second;
            network.desired_state = std::move(desired);
            co_await AgentInner::apply_desired_state(inner, *state);
        }(side.agent->inner(), std::move(desired)));
        ASSERT_TRUE(done.has_value());
    }

    // A batch parked behind a send that pends when the agent goes (shut down first or not), then
    // the runtime: the batch's peer keeps the tunnel device for its writes and the device keeps the
    // batch. Once that is broken, the outbound driver alone keeps the device, and the pending
    // send's wait alone keeps the driver (here the test controls hold it; they go with the node,
    // which goes with the runtime): the device goes with them and the host's end sees the
    // descriptor closed.
    void park_a_batch_then_tear_down(bool shut_down) {
        Side& side = a_;
        log::ScopedCapture capture;
        const p2p::PubKey node_pk = side.agent->inner()->node()->pk();
        p2p::testing::hooks_for(node_pk)->pend_sends();
        side.send(ipv4_packet("10.0.0.1", "10.0.0.2", 100));
        ASSERT_TRUE(eventually([&] {
            return capture->count(log::Level::Trace, "Send pending, buffering datagram.") > 0;
        }));

        if (shut_down) {
            ASSERT_TRUE(runtime_->block_on(side.agent->shutdown()).has_value());
        }
        side.agent.reset();
        p2p::testing::forget_hooks(node_pk);
        runtime_.reset();
        pollfd p{side.host, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 5000), 1);
        EXPECT_NE(p.revents & POLLHUP, 0);
        char byte = 0;
        EXPECT_EQ(::recv(side.host, &byte, 1, MSG_DONTWAIT), 0);
    }

    void TearDown() override {
        for (Side* side : {&a_, &b_}) {
            if (side->agent) {
                ASSERT_TRUE(runtime_->block_on(side->agent->shutdown()).has_value());
            }
        }
        a_.agent.reset();
        b_.agent.reset();
        runtime_.reset();
    }

    LoopbackNodeEnvironment env_;
    quorvel::testing::TempDir dir_;
    std::shared_ptr<Runtime> runtime_;
    Side a_;
    Side b_;
};

// Delivery both ways byte for byte (also after the tunnel driver sat idle), refusal by the
// receive trie, Host Unreachable for an unroutable packet and Fragmentation Needed from the
// receiving peer for a packet over its MTU with DF set.
TEST_F(PacketPathTest, TwoAgentsExchangePacketsThroughTheirFirewalls) {
    log::ScopedCapture capture;
    start(a_, 1400);
    start(b_, 1280);
    apply_document(a_);
    apply_document(b_);

    const auto to_b = ipv4_packet("10.0.0.1", "10.0.0.2", 200, false, ip::kProtocolUdp, 7);
    a_.send(to_b);
    EXPECT_EQ(b_.receive(), to_b);
    const auto to_a = ipv4_packet("10.0.0.2", "10.0.0.1", 1280, true, ip::kProtocolUdp, 9);
    b_.send(to_a);
    EXPECT_EQ(a_.receive(), to_a);

    // Idle for a while: the drivers stay parked on their reads and carry the next packets.
    std::this_thread::sleep_for(150ms);
    for (int i = 0; i < 3; ++i) {
        const auto again = ipv4_packet("10.0.0.1", "10.0.0.2", 100, false, ip::kProtocolUdp,
                                       static_cast<std::uint8_t>(i));
        a_.send(again);
        EXPECT_EQ(b_.receive(), again);
    }

    // No route: the Host Unreachable comes back in A's own tunnel.
    const auto lost = ipv4_packet("10.0.0.1", "10.9.9.9", 60);
    a_.send(lost);
    const auto lost_header = ip::Ipv4HeaderSlice::from_slice(lost).value();
    EXPECT_EQ(a_.receive(), create_icmp_host_unreachable(lost, lost_header));

    // Over B's MTU with DF: B answers A's node, and the answer comes out of A's tunnel.
    const auto big = ipv4_packet("10.0.0.1", "10.0.0.2", 1300, true);
    a_.send(big);
    const auto big_header = ip::Ipv4HeaderSlice::from_slice(big).value();
    EXPECT_EQ(a_.receive(), create_icmp_fragmentation_needed(big, big_header, 1280));
    EXPECT_FALSE(b_.receive(100ms).has_value());

    // A datagram from A's node whose source B's receive trie does not allow is dropped; the one
    // after it passes.
    auto hooks = p2p::testing::hooks_for(b_.agent->node()->pk());
    const auto spoofed = ipv4_packet("10.0.0.7", "10.0.0.2", 80);
    const auto allowed = ipv4_packet("10.0.0.1", "10.0.0.2", 80, false, ip::kProtocolUdp, 3);
    ASSERT_TRUE(hooks->inject(a_.id.pk(), spoofed));
    ASSERT_TRUE(hooks->inject(a_.id.pk(), allowed));
    EXPECT_EQ(b_.receive(), allowed);
    EXPECT_FALSE(b_.receive(100ms).has_value());

    EXPECT_FALSE(capture->contains_substring(log::Level::Error, "pending without keeping"));
}

// A key the P2P node refuses leaves its network's access rules unapplied with the error, and
// no empty table hides a wider destination; the next application tries the key again.
TEST_F(PacketPathTest, RefusedPeerIsRetriedByTheNextApplication) {
    start(a_, 1280);
    start(b_, 1280);
    apply_document(b_);
    auto hooks = p2p::testing::hooks_for(a_.agent->node()->pk());
    hooks->refuse_initiate(b_.id.pk());
    log::ScopedCapture capture;
    apply_document(a_);
    EXPECT_TRUE(capture->contains_substring(log::Level::Error, "Failed to create node peer"));
    EXPECT_TRUE(a_.agent->inner()->firewall()->load_tx_trie()->empty());
    auto current = [&] {
        auto state = runtime_->block_on(
            [](std::shared_ptr<AgentInner> inner) -> asio::awaitable<network::AgentState> {
                auto s = co_await inner->state().read();
                co_return s->config.network.at(testing::url(kNetworkUrl)).current_state;
            }(a_.agent->inner()));
        return state.value();
    };
    const auto refused = current();
    EXPECT_FALSE(refused.access_rules.applied.has_value());
    ASSERT_TRUE(refused.access_rules.error.has_value());
    EXPECT_EQ(refused.access_rules.error->rfind(
                  "Failed to create node peer " + b_.id.pk().to_string() + ": ", 0),
              0u);
    const auto lost = ipv4_packet("10.0.0.1", "10.0.0.2", 60);
    a_.send(lost);
    const auto header = ip::Ipv4HeaderSlice::from_slice(lost).value();
    EXPECT_EQ(a_.receive(), create_icmp_host_unreachable(lost, header));

    // The desired state is unchanged; the application alone retries.
    hooks->allow_initiate(b_.id.pk());
    apply_document(a_);
    EXPECT_TRUE(current().access_rules.applied.has_value());
    EXPECT_FALSE(current().access_rules.error.has_value());
    const auto to_b = ipv4_packet("10.0.0.1", "10.0.0.2", 60, false, ip::kProtocolUdp, 5);
    a_.send(to_b);
    EXPECT_EQ(b_.receive(), to_b);
}

// Host threads pour packets into both tunnels while both agents' access rules are replaced a
// thousand times. A packet arrives only when some rule set allowed it: nothing to or from
// 10.0.0.4, which no rule set names, ever comes out of a tunnel, and what arrives is whole.
TEST_F(PacketPathTest, ChurningRulesWhilePacketsFlowBothWays) {
    start(a_, 1280);
    start(b_, 1280);
    // Even rounds allow 10.0.0.2, odd rounds 10.0.0.3, as B's address seen from A.
    auto rules_for = [&](bool even, bool side_a) {
        const auto& peer = side_a ? b_.id.pk() : a_.id.pk();
        const char* far = even ? "10.0.0.2/32" : "10.0.0.3/32";
        return side_a ? testing::allow_out("10.0.0.1/32", far, peer)
                      : testing::allow_out(far, "10.0.0.1/32", peer);
    };
    auto desired = [&](bool even, bool side_a) {
        network::AgentState state;
        state.ip = {Ipv4Net::parse(side_a ? "10.0.0.1/24" : "10.0.0.2/24").value(), std::nullopt};
        state.access_rules = {rules_for(even, side_a), std::nullopt};
        return state;
    };
    apply(a_, desired(true, true));
    apply(b_, desired(true, false));

    std::atomic<bool> stop{false};
    std::atomic<int> delivered_to_b{0};
    std::atomic<int> delivered_to_a{0};
    std::atomic<int> violations{0};
    auto sender = [&](const Side& side, std::vector<std::vector<std::uint8_t>> packets) {
        for (std::size_t i = 0; !stop; ++i) {
            const auto& p = packets[i % packets.size()];
            (void)::send(side.host, p.data(), p.size(), MSG_DONTWAIT);
            if (i % 16 == 15) {
                std::this_thread::sleep_for(1ms);
            }
        }
    };
    auto receiver = [&](const Side& side, std::atomic<int>& delivered) {
        while (!stop) {
            auto p = side.receive(20ms);
            if (!p || p->size() < 28 || (*p)[9] != ip::kProtocolUdp) {
                continue;  // nothing, or a Host Unreachable for a packet without a route
            }
            const auto header = ip::Ipv4HeaderSlice::from_slice(*p).value();
            const auto expected = ipv4_packet(
                header.source_addr().to_string(), header.destination_addr().to_string(), p->size(),
                false, ip::kProtocolUdp, static_cast<std::uint8_t>((*p)[28] - 28));
            if (header.source_addr() == addr("10.0.0.4") ||
                header.destination_addr() == addr("10.0.0.4") || *p != expected) {
                ++violations;
            }
            ++delivered;
        }
    };
    const std::vector<std::vector<std::uint8_t>> from_a = {
        ipv4_packet("10.0.0.1", "10.0.0.2", 120, false, 17, 1),
        ipv4_packet("10.0.0.1", "10.0.0.3", 120, false, 17, 2),
        ipv4_packet("10.0.0.1", "10.0.0.4", 120, false, 17, 3)};
    const std::vector<std::vector<std::uint8_t>> from_b = {
        ipv4_packet("10.0.0.2", "10.0.0.1", 90, false, 17, 4),
        ipv4_packet("10.0.0.3", "10.0.0.1", 90, false, 17, 5),
        ipv4_packet("10.0.0.4", "10.0.0.1", 90, false, 17, 6)};
    std::vector<std::thread> threads;
    threads.emplace_back(sender, std::cref(a_), from_a);
    threads.emplace_back(sender, std::cref(b_), from_b);
    threads.emplace_back(receiver, std::cref(a_), std::ref(delivered_to_a));
    threads.emplace_back(receiver, std::cref(b_), std::ref(delivered_to_b));

    for (int round = 1; round <= 1000; ++round) {
        const bool even = round % 2 == 0;
        apply(a_, desired(even, true));
        apply(b_, desired(even, false));
    }
    stop = true;
    for (auto& t : threads) {
        t.join();
    }
    // The last round allowed 10.0.0.2 again: packets flow. What the flood left on its way (its
    // packets, and the Host Unreachables that answered them) may still come out first, for as
    // long as a loaded machine takes to carry it; meanwhile the receiving node's inbox may be full
    // and drop the probe with the rest. So the host sends its probe again every quarter second
    // until something past the flood comes out, for half a minute at most: a probe that a rule
    // blocks never does.
    const auto left_by_flood = [&](const std::vector<std::uint8_t>& p) {
        return (p.size() >= 20 && p[9] == ip::kProtocolIcmp) ||
               std::find(from_a.begin(), from_a.end(), p) != from_a.end() ||
               std::find(from_b.begin(), from_b.end(), p) != from_b.end();
    };
    const auto past_the_flood = [&](const Side& from, const Side& to,
                                    const std::vector<std::uint8_t>& probe) {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        auto resend = std::chrono::steady_clock::now();
        std::optional<std::vector<std::uint8_t>> p;
        while (!p && std::chrono::steady_clock::now() < deadline) {
            if (std::chrono::steady_clock::now() >= resend) {
                from.send(probe);
                resend = std::chrono::steady_clock::now() + 250ms;
            }
            p = to.receive(50ms);
            if (p && left_by_flood(*p)) {
                p.reset();
            }
        }
        return p;
    };
    const auto to_b = ipv4_packet("10.0.0.1", "10.0.0.2", 100, false, 17, 11);
    EXPECT_EQ(past_the_flood(a_, b_, to_b), to_b);
    const auto to_a = ipv4_packet("10.0.0.2", "10.0.0.1", 100, false, 17, 12);
    EXPECT_EQ(past_the_flood(b_, a_, to_a), to_a);
    EXPECT_EQ(violations, 0);
    EXPECT_GT(delivered_to_a, 0);
    EXPECT_GT(delivered_to_b, 0);
}

// Releasing one agent while both of its passes carry traffic: its inner state goes while the
// runtime still runs (no pass holds it), and the other agent keeps working.
TEST_F(PacketPathTest, ReleasingAnAgentWhileBothPassesRun) {
    start(a_, 1280);
    start(b_, 1280);
    apply_document(a_);
    apply_document(b_);
    std::atomic<bool> stop{false};
    auto pour = [&](const Side& side, std::vector<std::uint8_t> packet) {
        while (!stop) {
            (void)::send(side.host, packet.data(), packet.size(), MSG_DONTWAIT);
            std::vector<std::uint8_t> sink(2048);
            while (::recv(side.host, sink.data(), sink.size(), MSG_DONTWAIT) > 0) {
            }
        }
    };
    std::thread to_b(pour, std::cref(a_), ipv4_packet("10.0.0.1", "10.0.0.2", 300));
    std::thread to_a(pour, std::cref(b_), ipv4_packet("10.0.0.2", "10.0.0.1", 300));
    std::this_thread::sleep_for(50ms);

    std::weak_ptr<AgentInner> weak_a = a_.agent->inner();
    ASSERT_TRUE(runtime_->block_on(a_.agent->shutdown()).has_value());
    a_.agent.reset();
    EXPECT_TRUE(eventually([&] { return weak_a.expired(); }));
    stop = true;
    to_b.join();
    to_a.join();

    // B is unharmed: with A gone its packets find no peer, but its passes still run. What A sent
    // before it went may still be on its way into B's tunnel (B's socket buffers hold thousands
    // of datagrams) and can fill it; a reply that meets a full tunnel is dropped, as a router
    // drops under load, so the host drains the tunnel and asks again, as a host would.
    const auto lost = ipv4_packet("10.0.0.2", "10.0.0.9", 60);
    const auto header = ip::Ipv4HeaderSlice::from_slice(lost).value();
    const auto expected = create_icmp_host_unreachable(lost, header);
    bool answered = false;
    for (int attempt = 0; attempt < 5 && !answered; ++attempt) {
        while (b_.receive(200ms)) {
        }
        b_.send(lost);
        for (int i = 0; i < 5000 && !answered; ++i) {
            const auto reply = b_.receive();
            if (!reply) {
                break;
            }
            answered = reply == expected;
        }
    }
    EXPECT_TRUE(answered);
}

TEST_F(PacketPathTest, ParkedBatchLetsTheTunnelCloseAfterShutdown) {
    start(a_, 1280);
    apply_document(a_);
    park_a_batch_then_tear_down(true);
}

TEST_F(PacketPathTest, ParkedBatchLetsTheTunnelCloseWithoutShutdown) {
    start(a_, 1280);
    apply_document(a_);
    park_a_batch_then_tear_down(false);
}

}  // namespace
}  // namespace quorvel::agent
