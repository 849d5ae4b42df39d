#include "agent/netif/node_peer.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>

#include "agent/netif/device_pair.h"
#include "agent/netif/pass_fixture.h"
#include "agent/netif/tun_device.h"
#include "p2p/identity.h"
#include "p2p/node.h"
#include "p2p/node_opts.h"
#include "p2p/testing.h"
#include "util/log.h"

namespace quorvel::agent {
namespace {

using testing::Counter;
using testing::key_of;

// A bound P2P node on loopback, with the node's test controls.
class NodePeerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        bound_.emplace(io_);
        node_ = bound_->node;
        hooks_ = bound_->hooks;
    }
    void TearDown() override {
        drain();
        node_.reset();
        hooks_.reset();
        bound_.reset();
        drain();
    }
    void drain() {
        io_.restart();
        io_.poll();
    }
    NodePeerSetup setup(std::shared_ptr<TunDevice> tun = nullptr) {
        return NodePeerSetup{nullptr, std::move(tun), 1280, io_.get_executor()};
    }

    boost::asio::io_context io_;
    std::optional<testing::BoundNode> bound_;
    p2p::NodeRef node_;
    std::shared_ptr<p2p::testing::TestHooks> hooks_;
};

TEST_F(NodePeerTest, DriverRunsOneMorePassAndEndsExactlyWhenTheLastOutsideHandleGoes) {
    log::ScopedCapture capture;
    auto made = NodePeer::create(*node_, key_of(7), setup());
    ASSERT_TRUE(made.has_value()) << made.error().to_string();
    std::optional<NodePeer> first(std::move(*made));
    EXPECT_EQ(first->ref_count(), 1u);  // the driver's copy
    drain();
    const auto passes = [&] { return capture->count(log::Level::Trace, "NodePeerDriver poll"); };
    EXPECT_EQ(passes(), 1u);

    std::optional<NodePeer> second(*first);
    std::optional<NodePeer> third(*first);
    EXPECT_EQ(first->ref_count(), 3u);
    first.reset();
    third.reset();
    drain();
    EXPECT_EQ(passes(), 1u);
    EXPECT_EQ(capture->count(log::Level::Trace, "NodePeerDriver ready"), 0u);

    second.reset();
    drain();
    EXPECT_EQ(passes(), 2u);
    EXPECT_EQ(capture->count(log::Level::Trace, "NodePeerDriver ready"), 1u);
    EXPECT_EQ(capture->count(log::Level::Trace, "Drive transmit."), 2u);
    EXPECT_EQ(capture->events().back().target, node_peer::kTarget);
}

TEST_F(NodePeerTest, EqualByInnerObjectOrElseByKey) {
    auto a = NodePeer::create(*node_, key_of(1), setup());
    auto a_again = NodePeer::create(*node_, key_of(1), setup());
    auto b = NodePeer::create(*node_, key_of(2), setup());
    ASSERT_TRUE(a && a_again && b);
    const NodePeer copy = *a;
    EXPECT_TRUE(copy == *a);
    EXPECT_TRUE(*a_again == *a);  // different inner objects, same key
    EXPECT_EQ(a_again->hash(), a->hash());
    EXPECT_FALSE(*b == *a);
    EXPECT_EQ(a->pk(), key_of(1));
    EXPECT_EQ(a->p2p_peer().pk(), key_of(1));
}

TEST_F(NodePeerTest, RefusedInitiateGivesTheP2pErrorTextAndStartsNoTask) {
    log::ScopedCapture capture;
    hooks_->refuse_initiate(key_of(9));
    auto made = NodePeer::create(*node_, key_of(9), setup());
    ASSERT_FALSE(made.has_value());
    const auto expected = node_->initiate(key_of(9));
    ASSERT_FALSE(expected.has_value());
    EXPECT_EQ(made.error().to_string(), expected.error().to_string());
    EXPECT_FALSE(made.error().os_code().has_value());
    drain();
    EXPECT_EQ(capture->count(log::Level::Trace, "NodePeerDriver poll"), 0u);
}

TEST_F(NodePeerTest, TunnelWriterExistsOnlyWhenTheAgentHadADevice) {
    auto pair = testing::make_device_pair(io_.get_executor());
    ASSERT_TRUE(pair->device);
    auto device = std::make_optional(pair->device);
    auto tun = TunDevice::create(io_.get_executor(), *device, nullptr, nullptr, 1280);

    auto with = NodePeer::create(*node_, key_of(3), setup(tun));
    auto without = NodePeer::create(*node_, key_of(4), setup());
    ASSERT_TRUE(with && without);
    auto has_writer = [](const NodePeer& p) {
        std::lock_guard lock(p.handle().inner().mutex);
        return p.handle().inner().state.tun_poller != nullptr;
    };
    EXPECT_TRUE(has_writer(*with));
    EXPECT_FALSE(has_writer(*without));
    EXPECT_EQ(with->handle().inner().state.mtu, 1280);
}

TEST_F(NodePeerTest, ReceivePollerKeepsTheSlotCountOfTheReadInFlight) {
    auto peer = node_->initiate(key_of(5));
    ASSERT_TRUE(peer.has_value());
    node_peer::NodePeerPollHelper poller(*peer);
    Counter w;
    EXPECT_FALSE(poller.poll_recv(w.waker, 8).has_value());
    const std::vector<std::uint8_t> datagram = {0x45, 1, 2, 3};
    ASSERT_TRUE(hooks_->inject(key_of(5), datagram));
    EXPECT_GE(*w.n, 1);
    auto received = poller.poll_recv(w.waker, 16);
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(received->count, 1u);
    ASSERT_EQ(received->slots.size(), 8u);
    EXPECT_EQ(received->slots[0], datagram);
    EXPECT_TRUE(received->slots[1].empty());
    EXPECT_FALSE(poller.in_flight());
}

TEST_F(NodePeerTest, SendPollerKeepsOneSendForAllPeers) {
    auto a = NodePeer::create(*node_, key_of(10), setup());
    auto b = NodePeer::create(*node_, key_of(11), setup());
    ASSERT_TRUE(a && b);
    hooks_->capture_sends(false);
    hooks_->pend_sends();
    tun_device::NodePeerPollHelper poller;
    Counter w;
    const Bytes to_a = Bytes::copy_from(std::vector<std::uint8_t>{1, 2, 3});
    const Bytes to_b = Bytes::copy_from(std::vector<std::uint8_t>{9, 9});

    EXPECT_FALSE(poller.poll_send(w.waker, *a, {to_a}).has_value());
    EXPECT_EQ(a->ref_count(), 2u);  // the in-flight send holds a handle
    EXPECT_FALSE(poller.poll_send(w.waker, *b, {to_b}).has_value());
    EXPECT_EQ(b->ref_count(), 1u);  // B's handle and list were released at once

    hooks_->release_sends();
    auto outcome = poller.poll_send(w.waker, *b, {to_b});
    ASSERT_TRUE(outcome.has_value());
    EXPECT_TRUE(outcome->has_value());
    EXPECT_EQ(a->ref_count(), 1u);
    auto sent = hooks_->sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].to, key_of(10));

    outcome = poller.poll_send(w.waker, *b, {to_b});  // now B's own send starts
    ASSERT_TRUE(outcome.has_value());
    EXPECT_TRUE(outcome->has_value());
    sent = hooks_->sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].to, key_of(11));
    EXPECT_EQ(sent[1].payload, to_b.to_vector());
}

TEST_F(NodePeerTest, SendErrorComesBackAsAnIoErrorWithTheP2pText) {
    auto a = NodePeer::create(*node_, key_of(12), setup());
    ASSERT_TRUE(a.has_value());
    const auto error = p2p::SendDatagramError::peer_unreachable(key_of(12));
    hooks_->fail_sends(error);
    tun_device::NodePeerPollHelper poller;
    Counter w;
    auto outcome = poller.poll_send(w.waker, *a, {Bytes::copy_from(std::vector<std::uint8_t>{1})});
    ASSERT_TRUE(outcome.has_value());
    ASSERT_FALSE(outcome->has_value());
    EXPECT_EQ(outcome->error().to_string(), error.to_string());
    EXPECT_FALSE(outcome->error().os_code().has_value());
    hooks_->release_sends();
}

}  // namespace
}  // namespace quorvel::agent
