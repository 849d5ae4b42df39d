// The inbound pass, run directly (no driver task) over a node peer of a loopback P2P node whose
// datagrams the test injects and whose sends it captures, the real firewall, and a scripted
// tunnel writer.
#include <gtest/gtest.h>

#include "agent/netif/icmp_reply.h"
#include "agent/netif/pass_fixture.h"
#include "util/log.h"

namespace quorvel::agent {
namespace {

using namespace testing;

constexpr std::uint16_t kMtu = 1280;

class InboundPassTest : public ::testing::Test {
  protected:
    void SetUp() override {
        node_.hooks->capture_sends(false);
        // The peer may send from 10.1.0.0/24 to 10.0.0.1; 10.3.0.0/24 belongs to another peer.
        firewall_->store_rx_trie(make_trie<p2p::PubKey>({
            {"10.1.0.0/24", "10.0.0.1/32", pk_},
            {"10.3.0.0/24", "10.0.0.1/32", key_of(0x77)},
        }));
    }

    // A state reading the peer's datagrams from the P2P node, or from `reader` when given.
    void make_state(bool with_tunnel, std::unique_ptr<node_peer::NodePeerPoller> reader = nullptr) {
        auto p2p_peer = node_.node->initiate(pk_);
        ASSERT_TRUE(p2p_peer.has_value());
        if (!reader) {
            reader = std::make_unique<node_peer::NodePeerPollHelper>(*p2p_peer);
        }
        std::unique_ptr<node_peer::TunDevicePoller> writer;
        if (with_tunnel) {
            auto scripted = std::make_unique<ScriptedTunWriter>();
            writer_ = scripted.get();
            writer = std::move(scripted);
        }
        state_.emplace(*p2p_peer, std::move(reader), firewall_, pk_, std::move(writer), kMtu);
    }

    void inject(const std::vector<std::uint8_t>& datagram) {
        ASSERT_TRUE(node_.hooks->inject(pk_, datagram));
    }

    Result<bool, IoError> pass() { return state_->drive_transmit(waker_.waker); }

    boost::asio::io_context io_;
    BoundNode node_{io_};
    const p2p::PubKey pk_ = key_of(0x5a);
    std::shared_ptr<AgentFirewall> firewall_ = std::make_shared<AgentFirewall>();
    ScriptedTunWriter* writer_ = nullptr;
    std::optional<node_peer::State> state_;
    Counter waker_;
};

TEST_F(InboundPassTest, WithoutATunnelDeviceEachPassReadsOnceAndDropsWithAWarning) {
    make_state(false);
    log::ScopedCapture capture;
    auto r = pass();
    ASSERT_TRUE(r.has_value());
    EXPECT_FALSE(*r);
    EXPECT_TRUE(capture->contains(log::Level::Trace, "Recv pending"));

    for (int i = 0; i < 3; ++i) {
        inject(ipv4_packet("10.1.0.5", "10.0.0.1", 60));
    }
    capture.sink().clear();
    r = pass();
    ASSERT_TRUE(r.has_value());
    EXPECT_FALSE(*r);
    const auto events = capture->events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].level, log::Level::Warn);
    EXPECT_EQ(events[1].message,
              "No TUN device available, dropping 3 received datagram(s). Messages cannot be "
              "forwarded.");
    ASSERT_EQ(events[1].fields.size(), 2u);
    EXPECT_EQ(events[1].fields[0].name, "pk");
    EXPECT_EQ(events[1].fields[0].value, pk_.to_string());
    EXPECT_EQ(events[1].fields[1].name, "dropped_count");
    EXPECT_EQ(events[1].fields[1].value, "3");
}

// One datagram per row through a whole pass: what reaches the tunnel, what goes back to the peer
// and which event tells.
TEST_F(InboundPassTest, PacketSteps) {
    make_state(true);
    struct Case {
        std::string name;
        std::vector<std::uint8_t> datagram;
        bool written;
        bool fragmentation_needed;
        log::Level level;
        std::string message;
    };
    auto v6 = ipv4_packet("10.1.0.5", "10.0.0.1", 40);
    v6[0] = 0x65;
    auto ihl4 = ipv4_packet("10.1.0.5", "10.0.0.1", 40);
    ihl4[0] = 0x44;
    auto ihl_long = ipv4_packet("10.1.0.5", "10.0.0.1", 40);
    ihl_long[0] = 0x4f;
    auto control = ipv4_packet("10.1.0.5", "10.0.0.1", 40);
    control[28] = 0x1e;
    control[29] = 0x3f;
    control[30] = 0x50;
    control[31] = 0x01;
    auto decode_error = [](const std::vector<std::uint8_t>& d) {
        return "Failed to decode IP packet: " +
               ip::Ipv4HeaderSlice::from_slice(d).error().to_string();
    };
    const std::vector<std::uint8_t> short19(19, 0x45);
    const std::vector<Case> cases = {
        {"accepted", ipv4_packet("10.1.0.5", "10.0.0.1", 100), true, false, log::Level::Trace,
         "Successfully forwarded packet to TUN device: 10.1.0.5 -> 10.0.0.1"},
        {"19 bytes", short19, false, false, log::Level::Debug, decode_error(short19)},
        {"version 6", v6, false, false, log::Level::Debug,
         "Received IPv6 packet (IPv6 is not supported, packet dropped)"},
        {"header length 4", ihl4, false, false, log::Level::Debug, decode_error(ihl4)},
        {"header longer than the datagram", ihl_long, false, false, log::Level::Debug,
         decode_error(ihl_long)},
        {"exactly the MTU with DF", ipv4_packet("10.1.0.5", "10.0.0.1", kMtu, true), true, false,
         log::Level::Trace, "Successfully forwarded packet to TUN device: 10.1.0.5 -> 10.0.0.1"},
        {"over the MTU with DF", ipv4_packet("10.1.0.5", "10.0.0.1", kMtu + 1, true), false, true,
         log::Level::Trace, "Successfully sent ICMP Fragmentation Needed response to peer"},
        {"over the MTU without DF", ipv4_packet("10.1.0.5", "10.0.0.1", kMtu + 1, false), true,
         false, log::Level::Trace,
         "Successfully forwarded packet to TUN device: 10.1.0.5 -> 10.0.0.1"},
        {"over the MTU with DF and no route", ipv4_packet("10.9.0.5", "10.0.0.1", kMtu + 1, true),
         false, true, log::Level::Trace,
         "Packet size 1281 bytes exceeds MTU 1280 bytes with Don't Fragment flag set, sending "
         "ICMP Fragmentation Needed"},
        {"control", control, false, false, log::Level::Trace,
         "Dropping Quorvel control plane packet: 10.1.0.5 -> 10.0.0.1 (control traffic "
         "filtered)"},
        {"no receive entry", ipv4_packet("10.9.0.5", "10.0.0.1", 60), false, false,
         log::Level::Debug,
         "No inbound route found for destination (missing destination route in routing "
         "table)."},
        {"no receive entry for the destination", ipv4_packet("10.1.0.5", "10.0.0.2", 60), false,
         false, log::Level::Debug,
         "No inbound route found for destination (missing destination route in routing "
         "table)."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        node_.hooks->clear_sent();
        writer_->written.clear();
        inject(c.datagram);
        log::ScopedCapture capture;
        auto r = pass();
        ASSERT_TRUE(r.has_value());
        EXPECT_FALSE(*r);
        EXPECT_TRUE(capture->contains(c.level, c.message));
        if (c.written) {
            ASSERT_EQ(writer_->written.size(), 1u);
            EXPECT_EQ(writer_->written[0], c.datagram);
        } else {
            EXPECT_TRUE(writer_->written.empty());
        }
        const auto sent = node_.hooks->sent();
        if (c.fragmentation_needed) {
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(sent[0].to, pk_);
            const auto header = ip::Ipv4HeaderSlice::from_slice(c.datagram).value();
            EXPECT_EQ(sent[0].payload, create_icmp_fragmentation_needed(c.datagram, header, kMtu));
        } else {
            EXPECT_TRUE(sent.empty());
        }
    }
}

TEST_F(InboundPassTest, PacketOfAnotherPeerGetsOnlyTheFirewallsWarning) {
    make_state(true);
    inject(ipv4_packet("10.3.0.5", "10.0.0.1", 60));
    log::ScopedCapture capture;
    ASSERT_TRUE(pass().has_value());
    EXPECT_TRUE(capture->contains_substring(log::Level::Warn, "Security violation"));
    EXPECT_FALSE(capture->contains_substring(log::Level::Debug, "No inbound route found"));
    EXPECT_TRUE(writer_->written.empty());
}

TEST_F(InboundPassTest, FailedFragmentationNeededReplyIsAWarning) {
    make_state(true);
    const auto error = p2p::SendDatagramError::peer_unreachable(pk_);
    node_.hooks->fail_sends(error);
    inject(ipv4_packet("10.1.0.5", "10.0.0.1", kMtu + 100, true));
    log::ScopedCapture capture;
    ASSERT_TRUE(pass().has_value());
    EXPECT_TRUE(capture->contains(
        log::Level::Warn,
        "Failed to send ICMP Fragmentation Needed response to peer: " + error.to_string()));
    node_.hooks->release_sends();
}

// The write budget counts packets written: one batch of 24 ends the pass at once; 10, 10 and 4
// end it after the third; writes that fail never count; a read with no datagram offers an empty
// batch.
TEST_F(InboundPassTest, WriteBudget) {
    auto accepted = [](int n) {
        std::vector<p2p::DatagramBuffer> batch;
        for (int i = 0; i < n; ++i) {
            batch.push_back(ipv4_packet("10.1.0.5", "10.0.0.1", 60, false, ip::kProtocolUdp,
                                        static_cast<std::uint8_t>(i)));
        }
        return batch;
    };
    struct Case {
        std::string name;
        std::vector<int> reads;
        bool fail;
        std::size_t reads_made;
        bool keep_going;
    };
    const std::vector<Case> cases = {
        {"one batch of 24", {24, 5}, false, 1, true},
        {"10, 10 and 4", {10, 10, 4, 5}, false, 3, true},
        {"23 then pending", {23}, false, 2, false},
        {"an empty read", {0, 3}, false, 3, false},
        {"failing writes", {24, 24}, true, 3, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto reader = std::make_unique<ScriptedPeerReader>();
        auto* r = reader.get();
        for (int n : c.reads) {
            r->script.push_back(accepted(n));
        }
        make_state(true, std::move(reader));
        if (c.fail) {
            writer_->fail = IoError::from_errno(EIO);
        }
        log::ScopedCapture capture;
        auto result = pass();
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(*result, c.keep_going);
        EXPECT_EQ(r->reads, c.reads_made);
        if (c.fail) {
            EXPECT_EQ(capture->count(log::Level::Warn, "Failed to forward packet to TUN device: " +
                                                           IoError::from_errno(EIO).to_string()),
                      2u);
        }
        if (c.name == "an empty read") {
            EXPECT_TRUE(capture->contains(log::Level::Trace, "Recv ready. Got 0 datagrams."));
            EXPECT_EQ(writer_->writes, 2u);
            EXPECT_EQ(writer_->written.size(), 3u);
        }
    }
}

// A tunnel write that stays pending parks the pass: nothing more is read until it completes,
// and its batch is logged and counted once.
TEST_F(InboundPassTest, PendingTunnelWriteIsResumedBeforeAnyRead) {
    auto reader = std::make_unique<ScriptedPeerReader>();
    auto* r = reader.get();
    std::vector<p2p::DatagramBuffer> twenty;
    for (int i = 0; i < 20; ++i) {
        twenty.push_back(ipv4_packet("10.1.0.5", "10.0.0.1", 60));
    }
    r->script.push_back(twenty);
    r->script.push_back({twenty.begin(), twenty.begin() + 4});
    make_state(true, std::move(reader));
    writer_->pending = true;
    log::ScopedCapture capture;
    auto result = pass();
    ASSERT_TRUE(result.has_value());
    EXPECT_FALSE(*result);
    EXPECT_TRUE(capture->contains(log::Level::Trace, "Send pending, buffering datagram."));
    EXPECT_TRUE(state_->pending_writes);
    EXPECT_EQ(r->reads, 1u);

    result = pass();  // still pending: no new read
    ASSERT_TRUE(result.has_value());
    EXPECT_FALSE(*result);
    EXPECT_EQ(r->reads, 1u);

    writer_->pending = false;
    capture.sink().clear();
    result = pass();
    ASSERT_TRUE(result.has_value());
    // 20 from the parked batch and 4 from the next read pass the budget.
    EXPECT_TRUE(*result);
    EXPECT_EQ(r->reads, 2u);
    EXPECT_EQ(writer_->written.size(), 24u);
    EXPECT_EQ(capture->count(log::Level::Trace, "Successfully forwarded packet to TUN device."),
              2u);
    EXPECT_FALSE(state_->pending_writes);
}

// A peer flooding datagrams that the receive trie refuses: nothing is written, so the budget is
// never reached, but the pass yields after its read cap.
TEST_F(InboundPassTest, ReadCapEndsAFloodOfRefusedDatagrams) {
    auto reader = std::make_unique<ScriptedPeerReader>();
    auto* r = reader.get();
    r->flood = ipv4_packet("10.9.0.5", "10.0.0.1", 60);
    make_state(true, std::move(reader));
    auto result = pass();
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(*result);
    EXPECT_EQ(r->reads, node_peer::kMaxReadsPerPass);
    EXPECT_TRUE(writer_->written.empty());
}

}  // namespace
}  // namespace quorvel::agent
