// The outbound pass, run directly (no driver task) over a scripted tunnel reader, a real socket
// pair for the packets written back into the tunnel, real node peers of a loopback P2P node
// whose sends the test captures, and the real firewall.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "agent/dns/agent_dns.h"
#include "agent/netif/device_pair.h"
#include "agent/netif/icmp_reply.h"
#include "agent/netif/pass_fixture.h"
#include "util/log.h"

namespace quorvel::agent {
namespace {

using namespace testing;

// Takes UDP packets to 10.0.0.53 as queries, as the DNS component does for its addresses.
class RecordingDns final : public AgentDns {
  public:
    boost::asio::awaitable<void> apply_desired_state(AgentConfig&) override { co_return; }
    bool is_server_ip(Ipv4Addr a) const override { return a == addr("10.0.0.53"); }
    std::optional<Ipv4Addr> server_ip() const override { return addr("10.0.0.53"); }
    UnboundedSender<DnsServerRequest> send_channel() const override { return channel_.first; }
    void shutdown() override {}
    bool handle_outbound_packet(std::span<const std::uint8_t> packet,
                                const ip::Ipv4HeaderSlice& header,
                                std::shared_ptr<AsyncDevice> tun) const override {
        ++offered;
        const bool taken =
            header.protocol() == ip::kProtocolUdp && is_server_ip(header.destination_addr());
        if (taken) {
            taken_packets.emplace_back(packet.begin(), packet.end());
            EXPECT_NE(tun, nullptr);
        }
        return taken;
    }

    mutable int offered = 0;
    mutable std::vector<std::vector<std::uint8_t>> taken_packets;

  private:
    std::pair<UnboundedSender<DnsServerRequest>, UnboundedReceiver<DnsServerRequest>> channel_ =
        unbounded_channel<DnsServerRequest>();
};

class OutboundPassTest : public ::testing::Test {
  protected:
    void SetUp() override {
        pair_ = make_device_pair(io_.get_executor());
        ASSERT_TRUE(pair_->device);
        node_.hooks->capture_sends(false);
        peer_a_ = make_peer(key_of(0xa1));
        peer_b_ = make_peer(key_of(0xb2));
        // 10.1.0.0/24 from 10.0.0.1 goes to A, 10.2.0.9 from anywhere to B.
        firewall_->store_tx_trie(make_trie<NodePeer>({
            {"10.1.0.0/24", "10.0.0.1/32", *peer_a_},
            {"10.2.0.9/32", "0.0.0.0/0", *peer_b_},
        }));
        auto reader = std::make_unique<ScriptedTunReader>();
        reader_ = reader.get();
        state_.emplace(pair_->device, std::move(reader),
                       std::make_unique<tun_device::NodePeerPollHelper>(), firewall_, dns_);
    }
    void TearDown() override {
        state_.reset();
        node_.hooks->release_sends();
        // Node peers keep the firewall whose trie keeps them, as in the agent, whose inner state
        // empties the tries when it goes.
        firewall_->store_tx_trie(nullptr);
    }

    NodePeer make_peer(const p2p::PubKey& pk) {
        auto made = NodePeer::create(*node_.node, pk,
                                     NodePeerSetup{firewall_, nullptr, 1280, io_.get_executor()});
        EXPECT_TRUE(made.has_value());
        return std::move(*made);
    }

    // What the pass wrote back into the tunnel, in order.
    std::vector<std::vector<std::uint8_t>> host_drain() {
        std::vector<std::vector<std::uint8_t>> out;
        for (;;) {
            std::vector<std::uint8_t> buffer(2048);
            const ssize_t n = ::recv(pair_->host, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n < 0) {
                return out;
            }
            buffer.resize(static_cast<std::size_t>(n));
            out.push_back(std::move(buffer));
        }
    }

    Result<bool, IoError> pass() { return state_->drive_transmit(waker_.waker); }

    boost::asio::io_context io_;
    BoundNode node_{io_};
    std::unique_ptr<DevicePair> pair_;
    std::shared_ptr<AgentFirewall> firewall_ = std::make_shared<AgentFirewall>();
    std::shared_ptr<RecordingDns> dns_ = std::make_shared<RecordingDns>();
    std::optional<NodePeer> peer_a_;
    std::optional<NodePeer> peer_b_;
    ScriptedTunReader* reader_ = nullptr;
    std::optional<tun_device::State> state_;
    Counter waker_;
};

TEST_F(OutboundPassTest, EmptyTunnelEndsWaiting) {
    log::ScopedCapture capture;
    auto r = pass();
    ASSERT_TRUE(r.has_value());
    EXPECT_FALSE(*r);
    const auto events = capture->events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].message, "Drive transmit.");
    EXPECT_EQ(events[1].message, "Recv pending");
    EXPECT_EQ(events[1].target, tun_device::kTarget);
    EXPECT_TRUE(node_.hooks->sent().empty());
}

// Thirty routable packets: 24 successful sends end the pass with keep_going, the next pass sends
// the other six and ends on the empty tunnel. Every packet reaches its peer unchanged.
TEST_F(OutboundPassTest, BudgetOfTwentyFourSends) {
    std::vector<std::vector<std::uint8_t>> packets;
    for (int i = 0; i < 30; ++i) {
        packets.push_back(ipv4_packet("10.0.0.1", i % 2 ? "10.1.0.7" : "10.2.0.9", 100, false,
                                      ip::kProtocolUdp, static_cast<std::uint8_t>(i)));
        reader_->push(packets.back());
    }
    log::ScopedCapture capture;
    auto first = pass();
    ASSERT_TRUE(first.has_value());
    EXPECT_TRUE(*first);
    EXPECT_EQ(node_.hooks->sent().size(), 24u);
    EXPECT_EQ(capture->count(log::Level::Trace, "Successfully forwarded packet to Quorvel."), 24u);
    auto second = pass();
    ASSERT_TRUE(second.has_value());
    EXPECT_FALSE(*second);
    const auto sent = node_.hooks->sent();
    ASSERT_EQ(sent.size(), 30u);
    for (std::size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].payload, packets[i]) << i;
        EXPECT_EQ(sent[i].to, i % 2 ? key_of(0xa1) : key_of(0xb2)) << i;
    }
    // The batch maps of the passes left no handle behind.
    EXPECT_EQ(peer_a_->ref_count(), 2u);  // the trie's copy and the driver's
}

// Packets that never reach a peer (each row) are disposed of as the pass's steps say, none
// counts toward the budget, and the pass goes on until the tunnel is empty.
TEST_F(OutboundPassTest, PacketsWithoutAPeer) {
    struct Case {
        std::string name;
        std::vector<std::uint8_t> packet;
        log::Level level;
        std::string message;
        // What comes back out of the tunnel: nothing, the packet itself, or a Host Unreachable.
        enum { Nothing, Itself, HostUnreachable } back;
        bool dns_offered;
    };
    auto v6 = std::vector<std::uint8_t>(40, 0);
    v6[0] = 0x60;
    auto control = ipv4_packet("10.0.0.1", "10.1.0.7", 40);
    control[28] = 0x1e;
    control[29] = 0x3f;
    control[30] = 0x50;
    control[31] = 0x01;
    auto control_loop = control;
    addr("10.0.0.1").to_bytes(&control_loop[16]);
    const std::vector<Case> cases = {
        {"ipv6", v6, log::Level::Debug,
         "Received IPv6 packet (IPv6 is not supported, packet dropped)", Case::Nothing, false},
        {"short", std::vector<std::uint8_t>(10, 0x45), log::Level::Debug,
         "Failed to decode IP packet: " +
             ip::Ipv4HeaderSlice::from_slice(std::vector<std::uint8_t>(10, 0x45))
                 .error()
                 .to_string(),
         Case::Nothing, false},
        {"control", control, log::Level::Trace,
         "Dropping Quorvel control plane packet: 10.0.0.1 -> 10.1.0.7 (control traffic "
         "filtered)",
         Case::Nothing, false},
        {"control to itself", control_loop, log::Level::Trace,
         "Dropping Quorvel control plane packet: 10.0.0.1 -> 10.0.0.1 (control traffic "
         "filtered)",
         Case::Nothing, false},
        {"loopback", ipv4_packet("10.1.0.7", "10.1.0.7", 60), log::Level::Trace,
         "Loopback packet detected: 10.1.0.7 -> 10.1.0.7, sending directly back to TUN device",
         Case::Itself, false},
        {"no destination", ipv4_packet("10.0.0.1", "192.168.1.1", 60), log::Level::Debug,
         "No outbound route found for destination: 10.0.0.1 -> 192.168.1.1 (missing destination "
         "route in routing table), sending ICMP Destination Unreachable (Host Unreachable)",
         Case::HostUnreachable, true},
        {"destination without the source", ipv4_packet("10.0.0.2", "10.1.0.7", 60),
         log::Level::Debug,
         "No outbound route found for source: 10.0.0.2 -> 10.1.0.7 (source IP not in routing "
         "table)",
         Case::HostUnreachable, true},
        {"broadcast", ipv4_packet("10.0.0.1", "255.255.255.255", 60), log::Level::Trace,
         "Sent ICMP Destination Unreachable (Host Unreachable) response", Case::HostUnreachable,
         true},
        {"dns query without a route", ipv4_packet("10.0.0.1", "10.0.0.53", 60), log::Level::Trace,
         "Received packet from TUN device.", Case::Nothing, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log::ScopedCapture capture;
        dns_->offered = 0;
        reader_->push(c.packet);
        auto r = pass();
        ASSERT_TRUE(r.has_value());
        EXPECT_FALSE(*r);
        EXPECT_TRUE(capture->contains(c.level, c.message));
        EXPECT_EQ(dns_->offered, c.dns_offered ? 1 : 0);
        const auto back = host_drain();
        switch (c.back) {
            case Case::Nothing:
                EXPECT_TRUE(back.empty());
                break;
            case Case::Itself:
                ASSERT_EQ(back.size(), 1u);
                EXPECT_EQ(back[0], c.packet);
                break;
            case Case::HostUnreachable: {
                ASSERT_EQ(back.size(), 1u);
                const auto header = ip::Ipv4HeaderSlice::from_slice(c.packet).value();
                EXPECT_EQ(back[0], create_icmp_host_unreachable(c.packet, header));
                break;
            }
        }
    }
    EXPECT_TRUE(node_.hooks->sent().empty());
    ASSERT_EQ(dns_->taken_packets.size(), 1u);
}

// A DNS query goes to the peer when the transmit trie has a route for it: the lookup comes first.
TEST_F(OutboundPassTest, RoutedQueryGoesToThePeerNotTheDnsComponent) {
    firewall_->store_tx_trie(make_trie<NodePeer>({{"10.0.0.53/32", "10.0.0.1/32", *peer_a_}}));
    reader_->push(ipv4_packet("10.0.0.1", "10.0.0.53", 60));
    ASSERT_TRUE(pass().has_value());
    EXPECT_EQ(dns_->offered, 0);
    EXPECT_EQ(node_.hooks->sent().size(), 1u);
}

// A flood of unroutable packets: one Host Unreachable each, no budget spent, but the pass
// yields after its read cap with keep_going instead of holding the driver.
TEST_F(OutboundPassTest, ReadCapEndsAFloodThatNeverCountsTowardTheBudget) {
    state_->dns.reset();
    reader_->endless = Bytes(ipv4_packet("10.0.0.1", "192.168.1.1", 28));
    log::ScopedCapture capture;
    auto r = pass();
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(*r);
    EXPECT_EQ(reader_->reads, tun_device::kMaxReadsPerPass);
    EXPECT_EQ(capture->count(log::Level::Trace, "Recv ready. Got 1 datagrams."),
              tun_device::kMaxReadsPerPass);
    const auto replies =
        capture->count(log::Level::Trace,
                       "Sent ICMP Destination Unreachable (Host Unreachable) response") +
        capture->count(log::Level::Trace,
                       "TUN device pending while sending ICMP Destination Unreachable response; "
                       "ICMP response dropped");
    EXPECT_EQ(replies, tun_device::kMaxReadsPerPass);
    EXPECT_FALSE(host_drain().empty());
}

// A reply that meets a full tunnel is dropped; the pass goes on reading, and once the host has
// read what filled the tunnel, the next reply gets through.
TEST_F(OutboundPassTest, ReplyMeetingAFullTunnelIsDroppedAndTheNextGetsThrough) {
    state_->dns.reset();
    const std::vector<std::uint8_t> filler(300, 0x45);
    std::size_t filled = 0;
    while (::send(pair_->device->native_handle(), filler.data(), filler.size(), MSG_DONTWAIT) > 0) {
        ++filled;
    }
    ASSERT_GT(filled, 0u);
    const auto lost = ipv4_packet("10.0.0.1", "192.168.1.1", 60);
    const auto routed = ipv4_packet("10.0.0.1", "10.2.0.9", 60);
    reader_->push(lost);
    reader_->push(routed);
    log::ScopedCapture capture;
    auto r = pass();
    ASSERT_TRUE(r.has_value());
    EXPECT_FALSE(*r);
    EXPECT_TRUE(capture->contains(log::Level::Trace,
                                  "TUN device pending while sending ICMP Destination Unreachable "
                                  "response; ICMP response dropped"));
    // The packet after the dropped reply was still read and sent.
    EXPECT_EQ(reader_->reads, 3u);
    EXPECT_EQ(node_.hooks->sent().size(), 1u);
    EXPECT_EQ(host_drain().size(), filled);

    reader_->push(lost);
    r = pass();
    ASSERT_TRUE(r.has_value());
    const auto back = host_drain();
    ASSERT_EQ(back.size(), 1u);
    EXPECT_EQ(back[0],
              create_icmp_host_unreachable(lost, ip::Ipv4HeaderSlice::from_slice(lost).value()));
}

// A pending send parks its batch: nothing more is read until that send completes, whose success
// is counted once; then reading goes on.
TEST_F(OutboundPassTest, PendingSendParksTheBatchAndStopsReading) {
    node_.hooks->pend_sends();
    const auto first = ipv4_packet("10.0.0.1", "10.1.0.7", 80, false, ip::kProtocolUdp, 1);
    const auto second = ipv4_packet("10.0.0.1", "10.2.0.9", 80, false, ip::kProtocolUdp, 2);
    reader_->push(first);
    reader_->push(second);
    log::ScopedCapture capture;
    auto r = pass();
    ASSERT_TRUE(r.has_value());
    EXPECT_FALSE(*r);
    EXPECT_TRUE(capture->contains(log::Level::Trace, "Send pending, buffering datagram."));
    ASSERT_TRUE(state_->pending_batches.has_value());
    EXPECT_EQ(state_->pending_batches->size(), 1u);
    EXPECT_EQ(reader_->reads, 1u);

    // Still held: the parked batch is offered again, nothing is read.
    r = pass();
    ASSERT_TRUE(r.has_value());
    EXPECT_FALSE(*r);
    EXPECT_EQ(reader_->reads, 1u);
    EXPECT_TRUE(state_->pending_batches.has_value());

    node_.hooks->release_sends();
    EXPECT_GE(*waker_.n, 1);
    capture.sink().clear();
    r = pass();
    ASSERT_TRUE(r.has_value());
    EXPECT_FALSE(*r);
    EXPECT_FALSE(state_->pending_batches.has_value());
    EXPECT_EQ(capture->count(log::Level::Trace, "Successfully forwarded packet to Quorvel."), 2u);
    const auto sent = node_.hooks->sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].payload, first);
    EXPECT_EQ(sent[1].payload, second);
}

// A failed send loses its batch with an error event; the pass reads on.
TEST_F(OutboundPassTest, FailedSendIsLoggedAndThePassGoesOn) {
    const auto error = p2p::SendDatagramError::peer_unreachable(key_of(0xa1));
    node_.hooks->fail_sends(error);
    reader_->push(ipv4_packet("10.0.0.1", "10.1.0.7", 80));
    reader_->push(ipv4_packet("10.0.0.1", "10.2.0.9", 80));
    log::ScopedCapture capture;
    auto r = pass();
    ASSERT_TRUE(r.has_value());
    EXPECT_FALSE(*r);
    EXPECT_EQ(capture->count(log::Level::Error, "Failed to send packet: " + error.to_string()), 2u);
    EXPECT_EQ(reader_->reads, 3u);
    EXPECT_FALSE(state_->pending_batches.has_value());
}

TEST_F(OutboundPassTest, ReadErrorEndsThePassWithIt) {
    reader_->push(ipv4_packet("10.0.0.1", "10.1.0.7", 80));
    reader_->script.emplace_back(unexpected(IoError::from_errno(EIO)));
    log::ScopedCapture capture;
    auto r = pass();
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().os_code(), EIO);
    EXPECT_TRUE(capture->contains(log::Level::Trace, "Recv error: " + r.error().to_string()));
    // The batch of the read before was sent.
    EXPECT_EQ(node_.hooks->sent().size(), 1u);
}

}  // namespace
}  // namespace quorvel::agent
