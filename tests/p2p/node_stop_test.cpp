// A node's stop closes its UDP socket on the node's strand soon after, whoever still holds the
// node's parts: peer handles the application keeps, tasks that have yet to end. Its address is
// then free for another socket, and `socket_closed` tells when.
#include "p2p/node.h"
#include "util/loopback_probe.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/use_future.hpp>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <future>
#include <optional>
#include <set>
#include <thread>
#include <vector>

namespace quorvel::p2p {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using quorvel::testing::fds_opened_since;
using quorvel::testing::open_fds;
using quorvel::testing::port_bindable;

Identity weak_identity() {
    return Identity(SecKey::random(), Pow(0));
}

NodeOpts loopback_opts(const Identity& id, uint16_t port = 0) {
    NodeOptsBuilder b;
    b.id(id)
        .udp_port(port)
        .udp_addrs({asio::ip::make_address("127.0.0.1")})
        .min_pow_difficulty(0)
        .housekeeping_interval(20ms);
    return *b.build();
}

// Waits for the close with a deadline a loaded machine meets; false when it did not come.
bool closed_within(const Node::SocketClosed& closed, std::chrono::seconds limit = 20s) {
    auto waiting = std::async(std::launch::async, [closed] { closed.wait(); });
    return waiting.wait_for(limit) == std::future_status::ready;
}

// The descriptors opened since `before` that are still open after waiting up to `limit` for them
// to close: a node's tasks end, and drop its parts, on the io_context's threads.
std::set<int> fds_left_within(const std::set<int>& before, std::chrono::seconds limit = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!fds_opened_since(before).empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
    }
    return fds_opened_since(before);
}

class NodeStopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Two threads, as a runtime has: the stop's close may run on either.
        for (int i = 0; i < 2; ++i) {
            threads_.emplace_back([this] { io_.run(); });
        }
    }
    void TearDown() override {
        guard_.reset();
        io_.stop();
        for (auto& thread : threads_) {
            thread.join();
        }
    }

    NodeRef bind(NodeOpts opts) {
        auto bound =
            asio::co_spawn(io_, Node::bind(io_.get_executor(), std::move(opts)), asio::use_future)
                .get();
        EXPECT_TRUE(bound.has_value()) << bound.error().to_string();
        return bound.has_value() ? *bound : nullptr;
    }

    asio::io_context io_{2};
    asio::executor_work_guard<asio::io_context::executor_type> guard_{io_.get_executor()};
    std::vector<std::thread> threads_;
};

// The ways a node stops while something still holds its parts: each frees the port soon after,
// and the handle that tells so stays usable past the node.
TEST_F(NodeStopTest, StopFreesThePortWhilePeerHandlesRemain) {
    enum class Stop { Explicit, LastNodeRefReleased };
    for (const Stop how : {Stop::Explicit, Stop::LastNodeRefReleased}) {
        SCOPED_TRACE(how == Stop::Explicit ? "stop()" : "last NodeRef released");
        NodeRef node = bind(loopback_opts(weak_identity()));
        ASSERT_TRUE(node);
        const uint16_t port = node->local_addr().port();
        EXPECT_FALSE(port_bindable(port));
        // A peer handle holds the node's transport, as an agent's tunnel and tries do.
        auto peer = node->initiate(weak_identity().pk());
        ASSERT_TRUE(peer.has_value());
        const Node::SocketClosed closed = node->socket_closed();
        EXPECT_FALSE(closed.closed());

        if (how == Stop::Explicit) {
            node->stop();
        } else {
            node.reset();
        }
        ASSERT_TRUE(closed_within(closed));
        EXPECT_TRUE(closed.closed());
        EXPECT_TRUE(port_bindable(port));
        // A node may bind the port again at once, while the old peer handle lives on.
        NodeRef again = bind(loopback_opts(weak_identity(), port));
        ASSERT_TRUE(again);
        EXPECT_EQ(again->local_addr().port(), port);
        // The old handle's sends fail as on any stopped node, never reaching the new socket.
        auto sent = peer->send_datagram(std::vector<uint8_t>{1, 2, 3});
        ASSERT_FALSE(sent.has_value());
        EXPECT_EQ(sent.error().kind(), SendDatagramError::Kind::NodeStopped);
        EXPECT_EQ(again->initiate(weak_identity().pk()).has_value(), true);
    }
}

// The close leaves no descriptor behind once the parts go, the placeholder that kept the socket's
// number included; a second stop changes nothing.
TEST_F(NodeStopTest, StoppedNodeLeavesNoDescriptorOnceReleased) {
    // The io_context makes its reactor's descriptors with the first socket it serves: one made
    // and closed here makes them before any count.
    {
        asio::ip::udp::socket warm_up(io_);
        warm_up.open(asio::ip::udp::v4());
        warm_up.close();
    }
    // A node released by its last NodeRef leaves nothing once its tasks end, the placeholder
    // included. Its placeholder closing later would free a number that the next node's socket
    // could take, hiding it from a count made before: the count waits for it.
    const std::set<int> at_start = open_fds();
    {
        NodeRef first = bind(loopback_opts(weak_identity()));
        ASSERT_TRUE(first);
        const Node::SocketClosed closed = first->socket_closed();
        first.reset();
        ASSERT_TRUE(closed_within(closed));
    }
    EXPECT_EQ(fds_left_within(at_start), std::set<int>{});
    // Compared by number, so that a descriptor another thread closes meanwhile counts for nothing.
    const std::set<int> before = open_fds();
    std::optional<Node::SocketClosed> closed;
    {
        NodeRef node = bind(loopback_opts(weak_identity()));
        ASSERT_TRUE(node);
        auto peer = node->initiate(weak_identity().pk());
        ASSERT_TRUE(peer.has_value());
        closed = node->socket_closed();
        node->stop();
        node->stop();
        ASSERT_TRUE(closed_within(*closed));
        // The transport's number is still taken, by the placeholder, while the peer holds it.
        EXPECT_FALSE(fds_opened_since(before).empty());
    }
    EXPECT_TRUE(closed->closed());
    // The node's tasks end on the io_context's threads; their parts go with them.
    EXPECT_EQ(fds_left_within(before), std::set<int>{});
}

}  // namespace
}  // namespace quorvel::p2p
