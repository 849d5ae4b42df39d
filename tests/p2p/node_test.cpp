#include "p2p/node.h"
#include "util/loopback_probe.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <limits>
#include <thread>

#include "../../p2p/src/node_internal.h"
#include "agent/netif/control_packet.h"
#include "p2p/testing.h"
#include "util/log.h"

namespace quorvel::p2p {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

// A waker that a test thread can wait on.
class TestWaker {
  public:
    TestWaker()
        : state_(std::make_shared<State>()), waker_([s = state_] {
              std::lock_guard lock(s->mutex);
              ++s->wakes;
              s->cv.notify_all();
          }) {}
    const Waker& waker() const { return waker_; }
    int wakes() const {
        std::lock_guard lock(state_->mutex);
        return state_->wakes;
    }
    // Waits until the count of wakes passes `seen`; false after `limit`.
    bool wait_past(int seen, std::chrono::milliseconds limit = 5s) const {
        std::unique_lock lock(state_->mutex);
        return state_->cv.wait_for(lock, limit, [&] { return state_->wakes > seen; });
    }

    // Polls `op` until it is ready, waiting for wakes in between.
    template <class F>
    auto poll_until_ready(F op, std::chrono::milliseconds limit = 5s) const
        -> decltype(op(std::declval<const Waker&>())) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            int seen = wakes();
            auto r = op(waker_);
            if (r || std::chrono::steady_clock::now() > deadline) {
                return r;
            }
            wait_past(seen, 100ms);
        }
    }

  private:
    struct State {
        mutable std::mutex mutex;
        std::condition_variable cv;
        int wakes = 0;
    };
    std::shared_ptr<State> state_;
    Waker waker_;
};

// Waits until `cond` holds, checking every few milliseconds; false after `limit`.
template <class F>
bool eventually(F cond, std::chrono::milliseconds limit = 5s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

Identity weak_identity() {
    return Identity(SecKey::random(), Pow(0));
}

NodeOptsBuilder test_opts(const Identity& id) {
    NodeOptsBuilder b;
    b.id(id).udp_port(0).min_pow_difficulty(0).housekeeping_interval(20ms);
    return b;
}

class NodeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        thread_ = std::thread([this] { io_.run(); });
    }
    void TearDown() override {
        // With every node released, the node tasks end and the context runs out of work.
        guard_.reset();
        auto done = std::async(std::launch::async, [this] { thread_.join(); });
        bool stopped = done.wait_for(10s) == std::future_status::ready;
        if (!stopped) {
            io_.stop();
            done.wait();
        }
        EXPECT_TRUE(stopped) << "node tasks were still running after the nodes were released";
    }

    Result<NodeRef, node::Error> bind(NodeOpts opts, BindHooks hooks = {}) {
        return asio::co_spawn(io_,
                              Node::bind(io_.get_executor(), std::move(opts), std::move(hooks)),
                              asio::use_future)
            .get();
    }
    NodeRef bind_ok(NodeOpts opts, BindHooks hooks = {}) {
        auto r = bind(std::move(opts), std::move(hooks));
        EXPECT_TRUE(r.has_value()) << r.error().to_string();
        return r.has_value() ? *r : nullptr;
    }

    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_{io_.get_executor()};
    std::thread thread_;
};

std::vector<uint8_t> bytes_of(std::string_view s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

// The next datagram on `fd` that the node of `sender` sent to `recipient` (their keys where the
// header has them), read by `deadline`; empty when none came by then. What else reaches the
// test's port, such as datagrams other programs on the machine send to a port that was theirs a
// moment ago, is passed over.
std::vector<uint8_t> next_datagram(int fd, const PubKey& sender, const PubKey& recipient,
                                   std::chrono::steady_clock::time_point deadline) {
    std::vector<uint8_t> buf(2048);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1) {
            return {};
        }
        const ssize_t n = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
        if (n < static_cast<ssize_t>(detail::wire::HEADER_LEN)) {
            continue;
        }
        const auto holds = [&](std::size_t at, const PubKey& key) {
            return std::equal(key.as_bytes().begin(), key.as_bytes().end(),
                              buf.begin() + static_cast<std::ptrdiff_t>(at));
        };
        if (holds(9, sender) && holds(45, recipient)) {
            return std::vector<uint8_t>(buf.begin(), buf.begin() + n);
        }
    }
}

TEST_F(NodeTest, TwoNodesExchangeDatagramsByPublicKey) {
    Identity a_id = weak_identity();
    Identity b_id = weak_identity();
    NodeRef a = bind_ok(*test_opts(a_id).build());
    NodeRef b = bind_ok(*test_opts(b_id).build());
    ASSERT_TRUE(a && b);

    auto a_to_b = a->initiate(b_id.pk());
    auto b_to_a = b->initiate(a_id.pk());
    ASSERT_TRUE(a_to_b.has_value() && b_to_a.has_value());
    EXPECT_EQ(a_to_b->pk(), b_id.pk());

    TestWaker w;
    auto send = a_to_b->send_datagrams_wait(
        {Bytes(bytes_of("one")), Bytes(bytes_of("two")), Bytes(bytes_of("three"))});
    auto sent = w.poll_until_ready([&](const Waker& k) { return send.poll(k); });
    ASSERT_TRUE(sent.has_value());
    ASSERT_TRUE(sent->has_value()) << sent->error().to_string();
    EXPECT_EQ(send.sent(), 3u);

    // Five buffers in, at most three filled, one datagram each, in order.
    std::vector<std::vector<uint8_t>> received;
    auto got_all = eventually([&] {
        std::vector<DatagramBuffer> bufs(5);
        auto n = b_to_a->poll_read_datagrams(w.waker(), bufs);
        if (n) {
            EXPECT_LE(*n, bufs.size());
            for (size_t i = 0; i < *n; ++i) {
                received.push_back(bufs[i]);
            }
            for (size_t i = *n; i < bufs.size(); ++i) {
                EXPECT_TRUE(bufs[i].empty());
            }
        }
        return received.size() >= 3;
    });
    ASSERT_TRUE(got_all);
    EXPECT_EQ(received, (std::vector<std::vector<uint8_t>>{bytes_of("one"), bytes_of("two"),
                                                           bytes_of("three")}));

    // And back, one datagram at a time.
    ASSERT_TRUE(b_to_a->send_datagram(bytes_of("reply")).has_value());
    auto read = a_to_b->read_datagrams(std::vector<DatagramBuffer>(2));
    auto n = w.poll_until_ready([&](const Waker& k) { return read.poll(k); });
    ASSERT_EQ(n, std::optional<size_t>(1));
    EXPECT_EQ(read.buffers()[0], bytes_of("reply"));
    EXPECT_TRUE(read.buffers()[1].empty());

    auto stats = b_to_a->stats();
    EXPECT_TRUE(stats.app_tx.has_value());
    EXPECT_TRUE(stats.app_rx.has_value());
    EXPECT_EQ(stats.pow_status, PowStatus::Ok);
}

TEST_F(NodeTest, PendingReadRegistersTheWakerAndInjectionWakesIt) {
    Identity a_id = weak_identity();
    Identity b_id = weak_identity();
    NodeRef a = bind_ok(*test_opts(a_id).build());
    ASSERT_TRUE(a);
    auto peer = a->initiate(b_id.pk());
    ASSERT_TRUE(peer.has_value());

    TestWaker w;
    std::vector<DatagramBuffer> bufs(4);
    EXPECT_EQ(peer->poll_read_datagrams(w.waker(), bufs), std::nullopt);
    int seen = w.wakes();
    auto hooks = testing::hooks_for(a_id.pk());
    ASSERT_TRUE(hooks->inject(b_id.pk(), bytes_of("injected")));
    EXPECT_TRUE(w.wait_past(seen));
    EXPECT_EQ(peer->poll_read_datagrams(w.waker(), bufs), std::optional<size_t>(1));
    EXPECT_EQ(bufs[0], bytes_of("injected"));
    // A key the node has no peer for takes no injection.
    EXPECT_FALSE(hooks->inject(weak_identity().pk(), bytes_of("x")));
    // Zero buffers complete at once with 0.
    EXPECT_EQ(peer->poll_read_datagrams(w.waker(), {}), std::optional<size_t>(0));
    testing::forget_hooks(a_id.pk());
}

TEST_F(NodeTest, CopiesReachTheSamePeerAndSurviveEachOther) {
    Identity a_id = weak_identity();
    Identity b_id = weak_identity();
    NodeRef a = bind_ok(*test_opts(a_id).build());
    ASSERT_TRUE(a);
    auto first = a->initiate(b_id.pk());
    auto second = a->initiate(b_id.pk());
    ASSERT_TRUE(first.has_value() && second.has_value());
    EXPECT_EQ(*first, *second);
    std::optional<NodePeer> copy = *first;
    EXPECT_EQ(*copy, *first);
    first.value() = *second;  // keep one alive through a different handle
    copy.reset();
    auto hooks = testing::hooks_for(a_id.pk());
    ASSERT_TRUE(hooks->inject(b_id.pk(), bytes_of("still there")));
    std::vector<DatagramBuffer> bufs(1);
    TestWaker w;
    EXPECT_EQ(second->poll_read_datagrams(w.waker(), bufs), std::optional<size_t>(1));
    testing::forget_hooks(a_id.pk());
}

TEST_F(NodeTest, TestControlsCaptureHoldAndFailSends) {
    Identity a_id = weak_identity();
    Identity b_id = weak_identity();
    auto hooks = testing::hooks_for(a_id.pk());  // asked for before the node binds
    hooks->capture_sends(/*deliver=*/false);
    NodeRef a = bind_ok(*test_opts(a_id).build());
    ASSERT_TRUE(a);
    auto peer = a->initiate(b_id.pk());  // not bound anywhere: only the capture sees the sends
    ASSERT_TRUE(peer.has_value());
    TestWaker w;

    ASSERT_TRUE(peer->send_datagram(bytes_of("captured")).has_value());
    auto sent = hooks->sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].to, b_id.pk());
    EXPECT_EQ(sent[0].payload, bytes_of("captured"));

    hooks->pend_sends();
    auto held = peer->send_datagrams_wait({Bytes(bytes_of("held"))});
    EXPECT_EQ(held.poll(w.waker()), std::nullopt);
    EXPECT_EQ(held.poll(w.waker()), std::nullopt);
    auto now = peer->send_datagram(bytes_of("now"));
    ASSERT_FALSE(now.has_value());
    EXPECT_EQ(now.error().kind(), SendDatagramError::Kind::Io);
    // An abandoned pending send leaves nothing to clean up.
    {
        auto dropped = peer->send_datagrams_wait({Bytes(bytes_of("dropped"))});
        (void)dropped.poll(w.waker());
    }
    int seen = w.wakes();
    hooks->release_sends();
    // Held sends of one task are woken once, however often they were polled.
    EXPECT_EQ(w.wakes(), seen + 1);
    auto done = held.poll(w.waker());
    ASSERT_TRUE(done.has_value());
    EXPECT_TRUE(done->has_value());
    EXPECT_EQ(hooks->sent().back().payload, bytes_of("held"));

    hooks->fail_sends(SendDatagramError::io(IoError::other("injected failure")));
    auto failing = peer->send_datagrams_wait({Bytes(bytes_of("a")), Bytes(bytes_of("b"))});
    auto failed = failing.poll(w.waker());
    ASSERT_TRUE(failed.has_value());
    ASSERT_FALSE(failed->has_value());
    EXPECT_EQ(failed->error().to_string(), "failed to send datagram: injected failure");
    EXPECT_EQ(failing.sent(), 0u);
    hooks->release_sends();

    hooks->refuse_initiate(b_id.pk());
    auto refused = a->initiate(b_id.pk());
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().to_string(),
              "initiating contact with " + b_id.pk().to_string() + " was refused");
    hooks->allow_initiate(b_id.pk());
    EXPECT_TRUE(a->initiate(b_id.pk()).has_value());
    testing::forget_hooks(a_id.pk());
}

TEST_F(NodeTest, InitiateAndSendErrors) {
    Identity a_id = weak_identity();
    NodeRef a = bind_ok(*test_opts(a_id).max_peers(1).build());
    ASSERT_TRUE(a);
    auto self = a->initiate(a_id.pk());
    ASSERT_FALSE(self.has_value());
    EXPECT_EQ(self.error().kind(), InitiateError::Kind::SendToSelf);

    Identity nowhere = weak_identity();
    auto peer = a->initiate(nowhere.pk());
    ASSERT_TRUE(peer.has_value());
    auto full = a->initiate(weak_identity().pk());
    ASSERT_FALSE(full.has_value());
    EXPECT_EQ(full.error().to_string(), "peer list capacity of 1 exceeded");
    EXPECT_EQ(full.error().debug(), "PeersListCapacityExceeded(1)");

    auto unreachable = peer->send_datagram(bytes_of("x"));
    ASSERT_FALSE(unreachable.has_value());
    EXPECT_EQ(unreachable.error().to_string(),
              "no address known for peer " + nowhere.pk().to_string());
    std::vector<uint8_t> huge(70000, 1);
    auto too_large = peer->send_datagram(huge);
    ASSERT_FALSE(too_large.has_value());
    EXPECT_EQ(too_large.error().to_string(),
              "datagram of 70000 bytes exceeds the limit of 65430 bytes");

    a->stop();
    auto stopped = peer->send_datagram(bytes_of("x"));
    ASSERT_FALSE(stopped.has_value());
    EXPECT_EQ(stopped.error().kind(), SendDatagramError::Kind::NodeStopped);
    EXPECT_EQ(a->initiate(nowhere.pk()).error().kind(), InitiateError::Kind::NodeStopped);
}

// A peer goes with its last handle, its queue with it: a node that has ever initiated max_peers
// different keys still takes new ones, and a released key starts over with an empty queue.
TEST_F(NodeTest, ReleasedPeersLeaveTheTable) {
    Identity a_id = weak_identity();
    // Housekeeping passes hold the peers for a moment; after the first, none comes.
    NodeRef a = bind_ok(*test_opts(a_id).max_peers(2).housekeeping_interval(1h).build());
    ASSERT_TRUE(a);
    auto hooks = testing::hooks_for(a_id.pk());
    Identity kept = weak_identity();
    auto kept_peer = a->initiate(kept.pk());
    ASSERT_TRUE(kept_peer.has_value());

    Identity first = weak_identity();
    std::weak_ptr<detail::PeerState> first_state;
    {
        auto peer = a->initiate(first.pk());
        ASSERT_TRUE(peer.has_value());
        first_state = peer->ref().state();
        auto copy = *peer;
        ASSERT_TRUE(hooks->inject(first.pk(), bytes_of("unread")));
        EXPECT_FALSE(a->initiate(weak_identity().pk()).has_value());
    }
    EXPECT_TRUE(eventually([&] { return first_state.expired(); }));
    EXPECT_FALSE(hooks->inject(first.pk(), bytes_of("late")));

    for (int i = 0; i < 20; ++i) {
        auto other = a->initiate(weak_identity().pk());
        ASSERT_TRUE(other.has_value()) << i << ": " << other.error().to_string();
    }
    auto again = a->initiate(first.pk());
    ASSERT_TRUE(again.has_value());
    TestWaker w;
    std::vector<DatagramBuffer> bufs(1);
    EXPECT_EQ(again->poll_read_datagrams(w.waker(), bufs), std::nullopt);
    // The peer that kept its handle is still the same one.
    EXPECT_EQ(*a->initiate(kept.pk()), *kept_peer);
    testing::forget_hooks(a_id.pk());
}

// An ACK echoes our own HELLO stamp; a stamp at or above 2^63 is no instant of the node's clock
// and is dropped instead of turning into a negative time.
TEST_F(NodeTest, AckStampsBeyondTheClockAreDropped) {
    Identity a_id = weak_identity();
    Identity b_id = weak_identity();
    NodeRef a = bind_ok(*test_opts(a_id).build());
    ASSERT_TRUE(a);
    auto core = detail::Directory::instance().find(a_id.pk());
    ASSERT_TRUE(core);
    auto peer = a->initiate(b_id.pk());
    ASSERT_TRUE(peer.has_value());

    auto ack = [&](uint64_t stamp) {
        std::vector<uint8_t> datagram(detail::wire::HEADER_LEN + detail::wire::CONTROL_BODY_LEN);
        detail::wire::Header header;
        header.type = detail::wire::Type::Ack;
        header.network = a->opts().network_id();
        header.sender = b_id.pk();
        header.pow = b_id.pow();
        header.recipient = a_id.pk();
        detail::wire::write_header(datagram.data(), header);
        for (int i = 0; i < 8; ++i) {
            datagram[detail::wire::HEADER_LEN + static_cast<size_t>(i)] =
                static_cast<uint8_t>(stamp >> (56 - 8 * i));
        }
        return datagram;
    };
    const SocketAddr from(asio::ip::address_v4::loopback(), 9);
    const Instant now = Clock::now();
    for (uint64_t stamp : {uint64_t{1} << 63, ~uint64_t{0}, (uint64_t{1} << 63) + 12345}) {
        core->handle_datagram(ack(stamp), from, now);
        EXPECT_TRUE(peer->stats().direct_paths.empty()) << stamp;
    }
    // A stamp of our own clock is taken.
    core->handle_datagram(ack(detail::stamp_of(now - 3ms)), from, now);
    auto stats = peer->stats();
    ASSERT_EQ(stats.direct_paths.size(), 1u);
    EXPECT_EQ(stats.direct_paths.begin()->second.last_ack_time, std::optional<Instant>(now));
    EXPECT_EQ(stats.direct_paths.begin()->second.latencies, std::deque<uint64_t>{3000});
}

// Zero is an ordinary housekeeping interval: the node binds and keeps house at its shortest pace
// instead of greeting its super peers without pause.
TEST_F(NodeTest, ZeroHousekeepingIntervalRunsAtTheShortestPace) {
    int super_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(super_fd, 0);
    SocketAddr super_addr(asio::ip::address_v4::loopback(), 0);
    ASSERT_EQ(::bind(super_fd, super_addr.data(), static_cast<socklen_t>(super_addr.size())), 0);
    socklen_t len = static_cast<socklen_t>(super_addr.capacity());
    ASSERT_EQ(::getsockname(super_fd, super_addr.data(), &len), 0);
    const Identity super_id = weak_identity();
    auto url = SuperPeerUrl::parse(
        fmt::format("127.0.0.1:{}/{}", super_addr.port(), super_id.pk().to_string()));
    ASSERT_TRUE(url.has_value());

    Identity a_id = weak_identity();
    NodeRef a = bind_ok(*test_opts(a_id).super_peers({*url}).housekeeping_interval(0ms).build());
    ASSERT_TRUE(a);
    // The first pass may come late on a loaded machine; the pace is counted from it.
    const bool greeted =
        !next_datagram(super_fd, a_id.pk(), super_id.pk(), std::chrono::steady_clock::now() + 10s)
             .empty();
    int hellos = 0;
    const auto until = std::chrono::steady_clock::now() + 300ms;
    while (greeted && !next_datagram(super_fd, a_id.pk(), super_id.pk(), until).empty()) {
        ++hellos;
    }
    a->stop();
    ::close(super_fd);
    EXPECT_TRUE(greeted);
    // At most one pass every 10 ms; a pass after every zero pause sends thousands.
    EXPECT_LE(hellos, 40);
}

TEST_F(NodeTest, PeerHandlesOutliveTheNode) {
    Identity a_id = weak_identity();
    std::optional<NodePeer> peer;
    {
        NodeRef a = bind_ok(*test_opts(a_id).build());
        ASSERT_TRUE(a);
        auto p = a->initiate(weak_identity().pk());
        ASSERT_TRUE(p.has_value());
        peer = *p;
    }
    TestWaker w;
    std::vector<DatagramBuffer> bufs(1);
    EXPECT_EQ(peer->poll_read_datagrams(w.waker(), bufs), std::nullopt);
    EXPECT_EQ(peer->send_datagram(bytes_of("x")).error().kind(),
              SendDatagramError::Kind::NodeStopped);
}

TEST_F(NodeTest, DatagramsBelowTheProofOfWorkAreDropped) {
    // A pow value whose difficulty is below 8 for this key.
    SecKey sk = SecKey::random();
    Identity weak(sk, Pow(0));
    for (int32_t v = 0; weak.difficulty() >= 8; ++v) {
        weak = Identity(sk, Pow(v));
    }
    Identity strict_id = weak_identity();
    NodeRef strict = bind_ok(*test_opts(strict_id).min_pow_difficulty(8).build());
    NodeRef sender = bind_ok(*test_opts(weak).build());
    ASSERT_TRUE(strict && sender);
    auto at_strict = strict->initiate(weak.pk());
    auto at_sender = sender->initiate(strict_id.pk());
    ASSERT_TRUE(at_strict.has_value() && at_sender.has_value());
    ASSERT_TRUE(at_sender->send_datagram(bytes_of("refused")).has_value());
    EXPECT_TRUE(eventually([&] { return at_strict->stats().pow_status == PowStatus::Nok; }));
    std::vector<DatagramBuffer> bufs(1);
    TestWaker w;
    EXPECT_EQ(at_strict->poll_read_datagrams(w.waker(), bufs), std::nullopt);
}

// A key whose proof of work `Pow(0)` has a difficulty of at least 1 and below `below`.
Identity identity_below(uint8_t below) {
    for (;;) {
        Identity id = weak_identity();
        if (id.difficulty() < below && (below <= 1 || id.difficulty() >= 1)) {
            return id;
        }
    }
}

TEST_F(NodeTest, AProofOfWorkBelowTheMinimumIsWarnedOncePerSender) {
    log::ScopedCapture capture;
    Identity strict_id = weak_identity();
    NodeRef strict = bind_ok(*test_opts(strict_id).min_pow_difficulty(8).build());
    // `known` is a peer of the strict node: its datagrams and HELLOs are refused. `stranger` is
    // not: only its HELLOs arrive, refused before any peer state exists.
    struct Sender {
        Identity id;
        NodeRef node;
        std::optional<NodePeer> to_strict;
    };
    std::vector<Sender> senders;
    for (int i = 0; i < 2; ++i) {
        Identity id = identity_below(8);
        senders.push_back({id, bind_ok(*test_opts(id).build()), std::nullopt});
        ASSERT_TRUE(senders.back().node);
        auto peer = senders.back().node->initiate(strict_id.pk());
        ASSERT_TRUE(peer.has_value());
        senders.back().to_strict = std::move(*peer);
    }
    auto known = strict->initiate(senders[0].id.pk());
    ASSERT_TRUE(known.has_value());
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(senders[0].to_strict->send_datagram(bytes_of("refused")).has_value());
    }
    const auto drops = [&](const Sender& s) {
        size_t n = 0;
        for (const auto& e : capture->events()) {
            n += e.level == log::Level::Debug && e.message.starts_with("Dropping ") &&
                 e.message.find(s.id.pk().to_string()) != std::string::npos;
        }
        return n;
    };
    // Several refusals of each sender, every one after the first without a warning.
    EXPECT_TRUE(eventually([&] { return drops(senders[0]) >= 8 && drops(senders[1]) >= 3; }));
    for (const auto& s : senders) {
        const std::string warning = fmt::format(
            "Ignoring peer {}: its proof of work has difficulty {}, below the required 8",
            s.id.pk(), s.id.difficulty());
        EXPECT_EQ(capture->count(log::Level::Warn, warning), 1u) << warning;
    }
    EXPECT_EQ(known->stats().pow_status, PowStatus::Nok);
}

// A datagram of `type` from `from` to `to`, with a zero body of the length of a HELLO's.
std::vector<uint8_t> wire_datagram(detail::wire::Type type, const Identity& from,
                                   const PubKey& to) {
    std::vector<uint8_t> datagram(detail::wire::HEADER_LEN + detail::wire::CONTROL_BODY_LEN);
    detail::wire::write_header(datagram.data(),
                               {type, NETWORK_ID_DEFAULT, from.pk(), from.pow(), to});
    return datagram;
}

// Warnings about a proof of work below the minimum: the lines about one sender, and the counts of
// the senders an interval did not name.
size_t sender_warnings(const log::CaptureSink& capture) {
    return static_cast<size_t>(std::ranges::count_if(capture.events(), [](const log::Event& e) {
        return e.level == log::Level::Warn && e.message.starts_with("Ignoring peer ");
    }));
}
std::vector<std::string> pow_summaries(const log::CaptureSink& capture) {
    std::vector<std::string> out;
    for (const auto& e : capture.events()) {
        if (e.level == log::Level::Warn && e.message.find(" more peers ") != std::string::npos) {
            out.push_back(e.message);
        }
    }
    return out;
}

// The keys already warned about are bounded: past the limit the node forgets them all, and a
// forgotten key is warned about again.
TEST_F(NodeTest, TheKeysWarnedAboutAreBounded) {
    using detail::PowWarnings;
    Identity strict_id = weak_identity();
    NodeRef strict = bind_ok(*test_opts(strict_id).min_pow_difficulty(8).build());
    ASSERT_TRUE(strict);
    auto core = detail::Directory::instance().find(strict_id.pk());
    ASSERT_TRUE(core);
    log::ScopedCapture capture;
    const SocketAddr from(asio::ip::address_v4::loopback(), 9);
    // Ahead of the real clock that the node's own housekeeping reads. Each sender comes in an
    // interval of its own, so that every one of them may have a line.
    Instant at = Clock::now() + 24h;
    auto hello_from = [&](const Identity& id) {
        core->handle_datagram(wire_datagram(detail::wire::Type::Hello, id, strict_id.pk()), from,
                              at);
    };
    const size_t limit = PowWarnings::POW_WARNED_LIMIT;
    std::vector<Identity> senders;
    for (size_t i = 0; i <= limit; ++i) {
        senders.push_back(identity_below(8));
        hello_from(senders.back());
        hello_from(senders.back());
        at += PowWarnings::POW_WARNING_INTERVAL;
    }
    EXPECT_EQ(sender_warnings(capture.sink()), limit + 1);
    EXPECT_EQ(core->pow_warnings.remembered(), 1u);
    hello_from(senders.front());
    hello_from(senders.back());
    EXPECT_EQ(sender_warnings(capture.sink()), limit + 2);
    EXPECT_TRUE(pow_summaries(capture.sink()).empty());
}

// Made-up keys with a proof of work below the minimum, over both receive paths (application
// datagrams of the node's peers, HELLOs of strangers): a few senders of each interval get a line
// of their own, the rest one exact count when the interval is over, and a new interval names its
// first senders again.
TEST_F(NodeTest, AFloodOfWeakProofsOfWorkWritesBoundedWarnings) {
    using detail::PowWarnings;
    using detail::wire::Type;
    Identity strict_id = weak_identity();
    NodeRef strict = bind_ok(*test_opts(strict_id).min_pow_difficulty(8).build());
    ASSERT_TRUE(strict);
    auto core = detail::Directory::instance().find(strict_id.pk());
    ASSERT_TRUE(core);
    const SocketAddr from(asio::ip::address_v4::loopback(), 9);
    // Even senders are peers of the node, odd ones strangers.
    std::vector<Identity> senders;
    std::vector<NodePeer> peers;
    auto add_senders = [&](size_t n) {
        for (size_t i = 0; i < n; ++i) {
            senders.push_back(identity_below(8));
            if (senders.size() % 2 == 1) {
                auto peer = strict->initiate(senders.back().pk());
                ASSERT_TRUE(peer.has_value());
                peers.push_back(*peer);
            }
        }
    };
    auto send = [&](size_t i, Instant at) {
        const Type type = i % 2 == 0 ? Type::App : Type::Hello;
        core->handle_datagram(wire_datagram(type, senders[i], strict_id.pk()), from, at);
    };
    const std::string summary_end = " more peers whose proof of work is below the required 8";
    constexpr size_t kFlood = 500;
    const size_t named = PowWarnings::POW_WARNINGS_PER_INTERVAL;
    add_senders(kFlood);
    log::ScopedCapture capture;
    // Ahead of the real clock that the node's own housekeeping reads.
    const Instant t0 = Clock::now() + 24h;
    for (size_t i = 0; i < kFlood; ++i) {
        send(i, t0 + i * 1ms);
        send(i, t0 + i * 1ms);
    }
    EXPECT_EQ(sender_warnings(capture.sink()), named);
    for (size_t i = 0; i < named; ++i) {
        const std::string warning = fmt::format(
            "Ignoring peer {}: its proof of work has difficulty {}, below the required 8",
            senders[i].pk(), senders[i].difficulty());
        EXPECT_EQ(capture->count(log::Level::Warn, warning), 1u) << warning;
    }
    EXPECT_TRUE(pow_summaries(capture.sink()).empty());
    for (const auto& peer : peers) {
        EXPECT_EQ(peer.stats().pow_status, PowStatus::Nok);
    }

    // Until the interval is over, nothing more; then the next refusal writes the count first.
    send(0, t0 + PowWarnings::POW_WARNING_INTERVAL - 1ms);
    EXPECT_TRUE(pow_summaries(capture.sink()).empty());
    send(1, t0 + PowWarnings::POW_WARNING_INTERVAL);
    EXPECT_EQ(pow_summaries(capture.sink()),
              std::vector<std::string>{fmt::format("Ignoring {}{}", kFlood - named, summary_end)});

    // A new interval names its first senders again; a pass of housekeeping writes the count of a
    // flood that has stopped, once.
    add_senders(named + 3);
    const Instant t1 = t0 + 2 * PowWarnings::POW_WARNING_INTERVAL;
    for (size_t i = kFlood; i < senders.size(); ++i) {
        send(i, t1);
    }
    EXPECT_EQ(sender_warnings(capture.sink()), 2 * named);
    EXPECT_EQ(pow_summaries(capture.sink()).size(), 1u);
    core->housekeeping_pass(t1 + PowWarnings::POW_WARNING_INTERVAL);
    core->housekeeping_pass(t1 + 2 * PowWarnings::POW_WARNING_INTERVAL);
    EXPECT_EQ(pow_summaries(capture.sink()),
              (std::vector<std::string>{fmt::format("Ignoring {}{}", kFlood - named, summary_end),
                                        fmt::format("Ignoring 3{}", summary_end)}));
    // Of over a thousand refusals, this is every line above DEBUG.
    EXPECT_EQ(
        std::ranges::count_if(capture->events(),
                              [](const log::Event& e) { return e.level >= log::Level::Info; }),
        static_cast<long>(2 * named + 2));
}

TEST_F(NodeTest, WireDatagramsCarryTheControlMarker) {
    // A plain UDP socket posing as a super peer receives the node's HELLOs.
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);

    Identity super_id = weak_identity();
    auto url = SuperPeerUrl::parse(
        fmt::format("127.0.0.1:{}/{}", ntohs(addr.sin_port), super_id.pk().to_string()));
    ASSERT_TRUE(url.has_value());
    Identity a_id = weak_identity();
    NodeRef a = bind_ok(*test_opts(a_id).super_peers({*url}).build());
    ASSERT_TRUE(a);

    std::vector<uint8_t> datagram =
        next_datagram(fd, a_id.pk(), super_id.pk(), std::chrono::steady_clock::now() + 5s);
    ::close(fd);
    ASSERT_FALSE(datagram.empty());
    EXPECT_EQ(std::vector<uint8_t>(datagram.begin(), datagram.begin() + 4),
              (std::vector<uint8_t>{0x1e, 0x3f, 0x50, 0x01}));
    // Seen as an IPv4/UDP packet, the datagram is what the packet path treats as control traffic.
    std::vector<uint8_t> packet = {0x45, 0, 0,   0, 0, 0, 0,   0, 64, 17,
                                   0,    0, 127, 0, 0, 1, 127, 0, 0,  1};
    packet.insert(packet.end(), {0x30, 0x39, 0x30, 0x39, 0, 0, 0, 0});
    packet.insert(packet.end(), datagram.begin(), datagram.end());
    EXPECT_TRUE(agent::is_quorvel_control_packet(packet));
}

TEST_F(NodeTest, SuperPeerAnswersMakeItReachable) {
    Identity super_id = weak_identity();
    NodeRef super_node = bind_ok(*test_opts(super_id).build());
    ASSERT_TRUE(super_node);
    auto url = SuperPeerUrl::parse(
        fmt::format("127.0.0.1:{}/{}", super_node->local_addr().port(), super_id.pk().to_string()));
    ASSERT_TRUE(url.has_value());
    Identity a_id = weak_identity();
    NodeRef a = bind_ok(*test_opts(a_id).super_peers({*url, SUPER_PEERS_DEFAULT()[0]}).build());
    ASSERT_TRUE(a);
    EXPECT_EQ(a->default_route(), super_id.pk());
    auto supers = a->super_peers();
    ASSERT_EQ(supers.size(), 2u);
    EXPECT_EQ(supers[0].first, super_id.pk());
    EXPECT_TRUE(supers[0].second->has_session_keys());
    EXPECT_TRUE(eventually([&] { return supers[0].second->stats(Clock::now()).reachable; }));
    auto stats = supers[0].second->stats(Clock::now());
    EXPECT_EQ(stats.address, url->addr());
    ASSERT_TRUE(stats.resolved_addrs.has_value());
    EXPECT_EQ(stats.resolved_addrs->size(), 1u);
    ASSERT_FALSE(stats.udp_path_order.empty());
    const PeerPath& path = stats.udp_paths.at(stats.udp_path_order.front());
    EXPECT_TRUE(path.last_ack_time.has_value());
    EXPECT_FALSE(path.latencies.empty());
    EXPECT_FALSE(stats.tcp_path.has_value());
    // Nothing answers at the built-in address.
    auto silent = supers[1].second->stats(Clock::now());
    EXPECT_FALSE(silent.reachable);

    // Peers that talk get a reachable direct path. The ACK that makes it reachable may answer a
    // HELLO that the super node took before it had made its peer, and then carries no short id;
    // the super node's own HELLO, and every ACK after it, carries the id its peer gives.
    auto peer = a->initiate(super_id.pk());
    auto back = super_node->initiate(a_id.pk());
    ASSERT_TRUE(peer.has_value() && back.has_value());
    EXPECT_TRUE(eventually([&] { return peer->stats().reachable; }));
    EXPECT_TRUE(eventually([&] { return peer->stats().tx_short_id == back->stats().rx_short_id; }));
    auto ps = peer->stats();
    ASSERT_EQ(ps.direct_path_order.size(), 1u);
    EXPECT_EQ(ps.direct_path_order.front().local, a->local_addr());
    EXPECT_TRUE(ps.tx_short_id.has_value());
    EXPECT_EQ(ps.tx_short_id, back->stats().rx_short_id);
    EXPECT_TRUE(ps.relay_paths.empty());
}

// A node peer's direct path gets its HELLO and ACK from the contact itself, not an hour later
// from housekeeping: once two nodes have exchanged datagrams, both paths have their last ACK and
// are reachable, also when one side was made before the other node had an address to greet. The
// HELLOs and ACKs never reach the application's queue.
TEST_F(NodeTest, NodePeerPathsAreGreetedOnContact) {
    for (const bool b_binds_late : {false, true}) {
        SCOPED_TRACE(b_binds_late ? "B binds after A made its peer" : "both bound first");
        Identity a_id = weak_identity();
        Identity b_id = weak_identity();
        auto opts = [](const Identity& id) {
            return *test_opts(id).housekeeping_interval(std::chrono::hours(1)).build();
        };
        NodeRef a = bind_ok(opts(a_id));
        NodeRef b = b_binds_late ? nullptr : bind_ok(opts(b_id));
        auto a_to_b = a->initiate(b_id.pk());
        if (b_binds_late) {
            b = bind_ok(opts(b_id));
        }
        ASSERT_TRUE(a && b);
        auto b_to_a = b->initiate(a_id.pk());
        ASSERT_TRUE(a_to_b.has_value() && b_to_a.has_value());

        ASSERT_TRUE(a_to_b->send_datagram(bytes_of("ping")).has_value());
        ASSERT_TRUE(b_to_a->send_datagram(bytes_of("pong")).has_value());
        TestWaker w;
        for (auto [peer, expected] : {std::pair{&*a_to_b, "pong"}, std::pair{&*b_to_a, "ping"}}) {
            std::vector<DatagramBuffer> bufs(4);
            auto n = w.poll_until_ready(
                [&](const Waker& k) { return peer->poll_read_datagrams(k, bufs); });
            ASSERT_EQ(n, std::optional<size_t>(1));
            EXPECT_EQ(bufs[0], bytes_of(expected));
        }

        EXPECT_TRUE(
            eventually([&] { return a_to_b->stats().reachable && b_to_a->stats().reachable; }));
        for (auto [peer, other] : {std::pair{&*a_to_b, &*b_to_a}, std::pair{&*b_to_a, &*a_to_b}}) {
            const NodePeerStats stats = peer->stats();
            ASSERT_EQ(stats.direct_path_order.size(), 1u);
            const PeerPath& path = stats.direct_paths.at(stats.direct_path_order.front());
            EXPECT_TRUE(path.last_ack_time.has_value());
            EXPECT_FALSE(path.unanswered_hello_since.has_value());
            EXPECT_FALSE(path.latencies.empty());
            EXPECT_TRUE(stats.protocol_v2_supported);
            EXPECT_EQ(stats.tx_short_id, other->stats().rx_short_id);
            // Everything exchanged has arrived; none of it was queued for the application.
            std::vector<DatagramBuffer> bufs(4);
            EXPECT_EQ(peer->poll_read_datagrams(w.waker(), bufs), std::nullopt);
        }
    }
}

TEST_F(NodeTest, BindRefusesBadOptionsBeforeBindingASocket) {
    Identity id = weak_identity();
    auto no_supers = bind(*test_opts(id).super_peers({}).build());
    ASSERT_FALSE(no_supers.has_value());
    EXPECT_EQ(no_supers.error().debug(), "NoSuperPeers");

    auto foreign = SuperPeerUrl::parse("127.0.0.1:9/" + id.pk().to_string() + "/01020304");
    ASSERT_TRUE(foreign.has_value());
    auto mismatch = bind(*test_opts(id).super_peers({SUPER_PEERS_DEFAULT()[0], *foreign}).build());
    ASSERT_FALSE(mismatch.has_value());
    EXPECT_EQ(mismatch.error().debug(),
              "SuperPeerNetworkIdMismatch(NetworkId([113, 118, 0, 1]), NetworkId([1, 2, 3, 4]))");

    for (uint64_t bad : {3ULL, 6ULL, 8191ULL}) {
        auto r = bind(*test_opts(id).max_peers(bad).build());
        ASSERT_FALSE(r.has_value());
        EXPECT_EQ(r.error().kind(), node::Error::Kind::BindParseError);
        EXPECT_EQ(r.error().to_string(), fmt::format("invalid bind parameters: max_peers must be 0 "
                                                     "or a power of two, got {}",
                                                     bad));
    }
    for (uint64_t good : {0ULL, 1ULL, 2ULL, 8192ULL}) {
        auto r = bind(*test_opts(weak_identity()).max_peers(good).build());
        EXPECT_TRUE(r.has_value()) << good;
    }

    auto empty = asio::co_spawn(io_, Node::bind(asio::any_io_executor(), *test_opts(id).build()),
                                asio::use_future)
                     .get();
    ASSERT_FALSE(empty.has_value());
    EXPECT_EQ(empty.error().debug(), "NoAsyncRuntimeFound");
}

TEST_F(NodeTest, BindErrorForAPortInUse) {
    Identity id = weak_identity();
    NodeRef first = bind_ok(*test_opts(id).build());
    ASSERT_TRUE(first);
    uint16_t port = first->local_addr().port();
    auto second = bind(*test_opts(weak_identity()).udp_port(port).build());
    ASSERT_FALSE(second.has_value());
    EXPECT_EQ(second.error().kind(), node::Error::Kind::BindError);
    EXPECT_EQ(
        second.error().to_string(),
        fmt::format("failed to bind UDP port {}: Address already in use (os error 98)", port));
}

TEST_F(NodeTest, UnresolvableAndHangingSuperPeersStillBind) {
    log::ScopedCapture capture;
    Identity id = weak_identity();
    auto named =
        SuperPeerUrl::parse("peer.invalid:4000/" + SUPER_PEERS_DEFAULT()[0].pk().to_string());
    auto hanging =
        SuperPeerUrl::parse("hang.invalid:4000/" + SUPER_PEERS_DEFAULT()[1].pk().to_string());
    ASSERT_TRUE(named && hanging);
    BindHooks hooks;
    hooks.resolve_timeout = 50ms;
    hooks.resolve = [](std::string host,
                       uint16_t) -> asio::awaitable<Result<std::vector<SocketAddr>, IoError>> {
        if (host == "hang.invalid") {
            asio::steady_timer forever(co_await asio::this_coro::executor, 1h);
            co_await forever.async_wait(asio::use_awaitable);
        }
        co_return unexpected(IoError::other("no such host"));
    };
    hooks.get_addrs = [] {
        return Result<util::net::Addrs, IoError>(unexpected(IoError::from_errno(EACCES)));
    };
    NodeRef a = bind_ok(*test_opts(id).super_peers({*named, *hanging}).build(), hooks);
    ASSERT_TRUE(a);
    EXPECT_TRUE(capture->contains(log::Level::Warn,
                                  "Failed to resolve hostname peer.invalid:4000: no such host"));
    EXPECT_TRUE(capture->contains(
        log::Level::Warn,
        "Timeout of 50 ms exceeded while attempting to resolve hostname hang.invalid:4000"));
    EXPECT_TRUE(capture->contains(log::Level::Warn,
                                  "Failed to enumerate local interfaces during startup; continuing "
                                  "without local addrs and retrying via housekeeping"));
    EXPECT_TRUE(a->local_addrs().empty());
    auto supers = a->super_peers();
    ASSERT_EQ(supers.size(), 2u);
    EXPECT_FALSE(supers[0].second->resolved_addrs().has_value());
    EXPECT_FALSE(supers[1].second->resolved_addrs().has_value());
}

// The look-up races a time limit; the loser is cancelled from the winner's completion, which on
// a runtime with several threads is safe only on one strand.
TEST_F(NodeTest, SuperPeerLookUpsRaceTheirTimeLimitOnAStrand) {
    Identity id = weak_identity();
    auto named =
        SuperPeerUrl::parse("peer.invalid:4000/" + SUPER_PEERS_DEFAULT()[0].pk().to_string());
    ASSERT_TRUE(named);
    std::atomic<int> on_strand{0};
    std::atomic<int> calls{0};
    BindHooks hooks;
    hooks.resolve_timeout = 50ms;
    hooks.resolve = [&](std::string,
                        uint16_t) -> asio::awaitable<Result<std::vector<SocketAddr>, IoError>> {
        auto executor = co_await asio::this_coro::executor;
        ++calls;
        if (executor.target<asio::strand<asio::any_io_executor>>() != nullptr) {
            ++on_strand;
        }
        co_return unexpected(IoError::other("no such host"));
    };
    NodeRef a = bind_ok(*test_opts(id).super_peers({*named}).build(), hooks);
    ASSERT_TRUE(a);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(on_strand.load(), 1);
}

TEST_F(NodeTest, SuperPeersWithOneKeyLeaveTheLaterRecord) {
    log::ScopedCapture capture;
    const auto& pk = SUPER_PEERS_DEFAULT()[0].pk().to_string();
    auto first = SuperPeerUrl::parse("127.0.0.1:4001/" + pk);
    auto later = SuperPeerUrl::parse("127.0.0.1:4002/" + pk);
    ASSERT_TRUE(first && later);
    NodeRef a = bind_ok(
        *test_opts(weak_identity()).arm_messages(false).super_peers({*first, *later}).build());
    ASSERT_TRUE(a);
    auto supers = a->super_peers();
    ASSERT_EQ(supers.size(), 1u);
    EXPECT_EQ(supers[0].second->url().addr(), "127.0.0.1:4002");
    // Without armed messages no session keys are derived.
    EXPECT_FALSE(supers[0].second->has_session_keys());
    EXPECT_TRUE(capture->contains(log::Level::Trace,
                                  "Resolved hostname 127.0.0.1:4002 to {127.0.0.1:4002}"));
}

// The system's ceiling for a buffer an unprivileged socket asks for, from /proc/sys/net/core.
int buffer_ceiling(const char* name) {
    std::ifstream in(std::string("/proc/sys/net/core/") + name);
    long value = 0;
    in >> value;
    return static_cast<int>(std::min<long>(value, std::numeric_limits<int>::max()));
}

int socket_option(int fd, int option) {
    int value = 0;
    socklen_t len = sizeof value;
    EXPECT_EQ(::getsockopt(fd, SOL_SOCKET, option, &value, &len), 0);
    return value;
}

TEST(NodeSocketBuffers, AskedForAndReportedAsTheSystemGaveThem) {
    struct Case {
        int request;
        // The least the system gives for it: Linux grants min(request, ceiling) and reports
        // twice that.
        int least_receive;
        int least_send;
    };
    const int rmem = buffer_ceiling("rmem_max");
    const int wmem = buffer_ceiling("wmem_max");
    const Case cases[] = {
        {0, 0, 0},
        {256 * 1024, 2 * std::min(256 * 1024, rmem), 2 * std::min(256 * 1024, wmem)},
        {Node::SOCKET_BUFFER_REQUEST, 2 * std::min(Node::SOCKET_BUFFER_REQUEST, rmem),
         2 * std::min(Node::SOCKET_BUFFER_REQUEST, wmem)},
    };
    const int default_receive = [] {
        int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        int value = socket_option(fd, SO_RCVBUF);
        ::close(fd);
        return value;
    }();
    for (const auto& c : cases) {
        auto bound = Node::bind_udp_socket({}, 0, c.request);
        ASSERT_TRUE(bound.has_value()) << c.request;
        EXPECT_EQ(bound->buffers.receive, socket_option(bound->fd, SO_RCVBUF)) << c.request;
        EXPECT_EQ(bound->buffers.send, socket_option(bound->fd, SO_SNDBUF)) << c.request;
        EXPECT_GE(bound->buffers.receive, c.least_receive) << c.request;
        EXPECT_GE(bound->buffers.send, c.least_send) << c.request;
        if (c.request == 0) {
            EXPECT_EQ(bound->buffers.receive, default_receive);
        }
        ::close(bound->fd);
    }
}

TEST_F(NodeTest, BoundNodeReportsItsSocketBuffers) {
    NodeRef node = bind_ok(*test_opts(weak_identity()).build());
    ASSERT_TRUE(node);
    const Node::SocketBuffers buffers = node->socket_buffers();
    EXPECT_EQ(buffers.receive, socket_option(node->core()->transport->fd, SO_RCVBUF));
    EXPECT_EQ(buffers.send, socket_option(node->core()->transport->fd, SO_SNDBUF));
    EXPECT_GE(buffers.receive,
              2 * std::min(Node::SOCKET_BUFFER_REQUEST, buffer_ceiling("rmem_max")));
}

TEST_F(NodeTest, KeyDerivedPortAndLoopbackBinding) {
    Identity id = weak_identity();
    auto opts = test_opts(id).build();
    opts->udp_port.reset();
    auto r = bind(*opts);
    if (!r.has_value()) {
        // Another program holds the derived port; the error still names it.
        EXPECT_EQ(r.error().kind(), node::Error::Kind::BindError);
        return;
    }
    EXPECT_EQ((*r)->local_addr().port(), id.pk().udp_port());
    EXPECT_TRUE((*r)->local_addr().address().is_loopback());
}

}  // namespace
}  // namespace quorvel::p2p

namespace quorvel::p2p {
namespace {

using quorvel::testing::open_fd_count;

TEST(NodeReleaseTest, ReleasingEverythingLeavesNoDescriptorOrTaskBehind) {
    size_t before = open_fd_count();
    {
        asio::io_context io;
        auto guard = asio::make_work_guard(io);
        std::thread runner([&] { io.run(); });
        Identity a_id = weak_identity();
        Identity b_id = weak_identity();
        auto bind = [&](const Identity& id) {
            return asio::co_spawn(io, Node::bind(io.get_executor(), *test_opts(id).build()),
                                  asio::use_future)
                .get();
        };
        auto a = bind(a_id);
        auto b = bind(b_id);
        ASSERT_TRUE(a.has_value() && b.has_value());
        EXPECT_GT(open_fd_count(), before);
        auto peer = (*a)->initiate(b_id.pk());
        auto back = (*b)->initiate(a_id.pk());
        ASSERT_TRUE(peer.has_value() && back.has_value());
        ASSERT_TRUE(peer->send_datagram(bytes_of("bye")).has_value());
        EXPECT_TRUE(eventually([&] {
            std::vector<DatagramBuffer> bufs(1);
            TestWaker w;
            return back->poll_read_datagrams(w.waker(), bufs).has_value();
        }));
        // A read left pending holds no task alive once it is dropped.
        TestWaker w;
        auto pending = peer->read_datagrams(std::vector<DatagramBuffer>(1));
        EXPECT_EQ(pending.poll(w.waker()), std::nullopt);
        { auto abandoned = std::move(pending); }
        int seen = w.wakes();
        ASSERT_TRUE(testing::hooks_for(a_id.pk())->inject(b_id.pk(), bytes_of("late")));
        EXPECT_FALSE(w.wait_past(seen, 50ms));
        testing::forget_hooks(a_id.pk());

        peer.value() = *back;  // drop every handle but the ones released below
        a = unexpected(node::Error(node::Error::Kind::NoSuperPeers));
        b = unexpected(node::Error(node::Error::Kind::NoSuperPeers));
        peer = unexpected(InitiateError::node_stopped());
        back = unexpected(InitiateError::node_stopped());
        guard.reset();
        runner.join();  // returns only once both nodes' tasks have ended
    }
    EXPECT_EQ(open_fd_count(), before);
}

TEST_F(NodeTest, BindsAnIpv6Address) {
    Identity id = weak_identity();
    auto node = bind(*test_opts(id).udp_addrs({boost::asio::ip::make_address("::1")}).build());
    if (!node.has_value() && node.error().kind() == node::Error::Kind::BindError) {
        GTEST_SKIP() << "no IPv6 loopback here: " << node.error().to_string();
    }
    ASSERT_TRUE(node.has_value()) << node.error().to_string();
    EXPECT_TRUE((*node)->local_addr().address().is_v6());
    // The built-in super peers are IPv4 only, so none of their addresses suit this socket.
    for (const auto& [pk, sp] : (*node)->super_peers()) {
        ASSERT_TRUE(sp->resolved_addrs().has_value());
        EXPECT_TRUE(sp->resolved_addrs()->empty());
    }
}

}  // namespace
}  // namespace quorvel::p2p
