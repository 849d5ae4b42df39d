// The tunnel-device driver polled directly over a node peer that keeps the tunnel device, as every
// node peer of an agent with a tunnel does: the peer's last handle going inside the send pass (the
// firewall rebuild took it out of the transmit trie meanwhile), whose release takes the tunnel
// device's handle and so the lock the pass holds; and a batch parked behind a pending send, which
// keeps the peer and so the device until the parked sends are dropped.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <deque>

#include "agent/netif/device_pair.h"
#include "agent/netif/icmp_reply.h"
#include "agent/netif/pass_fixture.h"

namespace quorvel::agent {
namespace {

using namespace testing;

// Sends from a script of outcomes (an empty script succeeds), one send in flight at a time; before
// each outcome it runs `on_send`, as a rebuild that publishes new tries meanwhile would.
class ScriptedPeerSender final : public tun_device::NodePeerPoller {
  public:
    Poll<Result<void, IoError>> poll_send(const Waker& /*waker*/, NodePeer peer,
                                          std::vector<Bytes> datagrams) override {
        if (on_send) {
            on_send();
        }
        if (!in_flight) {
            in_flight = std::move(datagrams);
            to.push_back(peer.pk());
        }
        Poll<Result<void, IoError>> outcome = Result<void, IoError>();
        if (!script.empty()) {
            outcome = std::move(script.front());
            script.pop_front();
        }
        if (outcome) {
            ++finished;
            in_flight.reset();
        }
        return outcome;
    }

    std::function<void()> on_send;
    std::deque<Poll<Result<void, IoError>>> script;
    std::optional<std::vector<Bytes>> in_flight;
    std::vector<p2p::PubKey> to;
    // Sends that ended, well or not.
    std::size_t finished = 0;
};

// A node peer that keeps `tun` for its writes, as the agent's peers do, with no driver task of
// its own; the transmit trie's route to 10.1.0.0/24 holds its only handle.
std::weak_ptr<NodePeerInner> route_to_peer_keeping(const BoundNode& node, AgentFirewall& firewall,
                                                   const std::shared_ptr<TunDevice>& tun,
                                                   const p2p::PubKey& pk) {
    auto p2p_peer = node.node->initiate(pk);
    if (!p2p_peer) {
        ADD_FAILURE() << "the node refused the peer";
        return {};
    }
    node_peer::State state(*p2p_peer, std::make_unique<ScriptedPeerReader>(), nullptr, pk,
                           std::make_unique<node_peer::TunDevicePollHelper>(tun), 1280);
    auto inner = std::make_shared<NodePeerInner>(*p2p_peer, pk, std::move(state));
    std::weak_ptr<NodePeerInner> weak = inner;
    NodePeer peer{NodePeerRef(std::move(inner))};
    firewall.store_tx_trie(make_trie<NodePeer>({{"10.1.0.0/24", "0.0.0.0/0", peer}}));
    return weak;
}

struct Case {
    const char* name;
    // The send outcomes of the pass, in order.
    std::vector<Poll<Result<void, IoError>>> sends;
    // Polls until the batch's copy goes: one more when the first send pends.
    int polls;
};

TEST(ReleaseInPass, LastPeerHandleGoingInTheSendPassLetsTheTunnelDeviceGoAfterUnlocking) {
    const std::vector<Case> cases = {
        {"send succeeds", {}, 1},
        {"send fails", {Result<void, IoError>(unexpected(IoError::other("refused")))}, 1},
        {"send pends, then succeeds", {std::nullopt}, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        boost::asio::io_context io;
        BoundNode node(io);
        auto pair = make_device_pair(io.get_executor());
        ASSERT_TRUE(pair->device);
        auto firewall = std::make_shared<AgentFirewall>();
        auto reader_owned = std::make_unique<ScriptedTunReader>();
        auto* reader = reader_owned.get();
        auto sender_owned = std::make_unique<ScriptedPeerSender>();
        auto* sender = sender_owned.get();
        sender->script.assign(c.sends.begin(), c.sends.end());

        auto first = TunDeviceRef::create(
            pair->device, tun_device::State(pair->device, std::move(reader_owned),
                                            std::move(sender_owned), firewall, nullptr));
        auto tun = std::make_shared<TunDevice>(first);
        TunDeviceDriver driver(std::move(first));

        const p2p::PubKey pk = key_of(0x5e);
        const auto weak_peer = route_to_peer_keeping(node, *firewall, tun, pk);
        ASSERT_FALSE(weak_peer.expired());
        tun.reset();
        sender->on_send = [&] { firewall->store_tx_trie(nullptr); };
        reader->push(ipv4_packet("10.0.0.1", "10.1.0.7", 100));

        Counter waker;
        for (int i = 0; i < c.polls; ++i) {
            ASSERT_FALSE(weak_peer.expired());
            Poll<Result<void, IoError>> polled;
            within_deadline("the send pass released the last node peer handle",
                            [&] { polled = driver.poll(waker.waker); });
            // The count test ran under the lock, while the peer still kept the device.
            EXPECT_FALSE(polled.has_value());
        }
        EXPECT_TRUE(weak_peer.expired());
        EXPECT_EQ(sender->to, std::vector<p2p::PubKey>{pk});
        EXPECT_EQ(sender->finished, 1u);
        EXPECT_FALSE(sender->in_flight.has_value());
        // With the peer gone nothing but the driver holds the half: its next poll ends it.
        auto last = driver.poll(waker.waker);
        ASSERT_TRUE(last.has_value());
        EXPECT_TRUE(last->has_value());
    }
}

// A batch parked behind a pending send keeps its peer, which keeps the tunnel device: dropping the
// parked sends lets the peer go, and with it the last outside handle of the tunnel's half.
TEST(ReleaseInPass, DroppingParkedSendsLetsThePeerAndTheDeviceGo) {
    boost::asio::io_context io;
    BoundNode node(io);
    node.hooks->pend_sends();
    auto pair = make_device_pair(io.get_executor());
    ASSERT_TRUE(pair->device);
    auto firewall = std::make_shared<AgentFirewall>();
    auto reader_owned = std::make_unique<ScriptedTunReader>();
    auto* reader = reader_owned.get();
    auto first = TunDeviceRef::create(
        pair->device,
        tun_device::State(pair->device, std::move(reader_owned),
                          std::make_unique<tun_device::NodePeerPollHelper>(), firewall, nullptr));
    auto tun = std::make_shared<TunDevice>(first);
    TunDeviceDriver driver(std::move(first));
    const auto weak_peer = route_to_peer_keeping(node, *firewall, tun, key_of(0x6f));
    reader->push(ipv4_packet("10.0.0.1", "10.1.0.7", 100));
    reader->push(ipv4_packet("10.0.0.1", "10.1.0.8", 100));

    Counter waker;
    EXPECT_FALSE(driver.poll(waker.waker).has_value());
    {
        std::lock_guard lock(tun->handle().inner().mutex);
        ASSERT_TRUE(tun->handle().inner().state.pending_batches.has_value());
    }
    // The agent empties its tries first; the parked batch and the send still keep the peer.
    firewall->store_tx_trie(nullptr);
    EXPECT_FALSE(weak_peer.expired());
    tun->drop_parked_sends();
    EXPECT_TRUE(weak_peer.expired());
    {
        std::lock_guard lock(tun->handle().inner().mutex);
        EXPECT_FALSE(tun->handle().inner().state.pending_batches.has_value());
    }
    tun.reset();
    // The second packet finds no route any more; the pass writes its Host Unreachable and the
    // count test ends the driver.
    auto last = driver.poll(waker.waker);
    ASSERT_TRUE(last.has_value());
    EXPECT_TRUE(last->has_value());
    const auto lost = ipv4_packet("10.0.0.1", "10.1.0.8", 100);
    const auto reply =
        create_icmp_host_unreachable(lost, ip::Ipv4HeaderSlice::from_slice(lost).value());
    std::vector<std::uint8_t> got(2048);
    const ssize_t n = ::recv(pair->host, got.data(), got.size(), MSG_DONTWAIT);
    ASSERT_GT(n, 0);
    got.resize(static_cast<std::size_t>(n));
    EXPECT_EQ(got, reply);
    node.hooks->release_sends();
}

}  // namespace
}  // namespace quorvel::agent
