#include "agent/netif/async_device.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/thread_pool.hpp>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "agent/netif/node_peer.h"
#include "agent/netif/tun_device.h"
#include "util/log.h"

namespace quorvel::agent {
namespace {

constexpr std::uint16_t kMtu = 1280;

// An IPv4 packet of `size` bytes whose total-length field says `total_length`.
BytesMut ipv4_packet(std::size_t size, std::size_t total_length, std::uint8_t fill = 0xab) {
    BytesMut p(size, fill);
    p[0] = 0x45;
    p[2] = static_cast<std::uint8_t>(total_length >> 8);
    p[3] = static_cast<std::uint8_t>(total_length & 0xff);
    return p;
}
BytesMut ipv4_packet(std::size_t size) {
    return ipv4_packet(size, size);
}

struct CountingWaker {
    std::shared_ptr<std::atomic<int>> wakes = std::make_shared<std::atomic<int>>(0);
    Waker waker{[w = wakes] { ++*w; }};
};

// A packet socket pair: `device` wraps one end, the test plays the host on `peer`.
class SocketPairTest : public ::testing::Test {
  protected:
    void SetUp() override {
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
        peer_ = fds[1];
        auto device = AsyncDevice::from_fd(io_.get_executor(), fds[0], options_);
        ASSERT_TRUE(device.has_value()) << device.error().to_string();
        device_ = std::move(*device);
        ASSERT_NE(::fcntl(peer_, F_SETFL, ::fcntl(peer_, F_GETFL) | O_NONBLOCK), -1);
    }
    void TearDown() override {
        device_.reset();
        ::close(peer_);
    }

    void host_send(const BytesMut& packet) {
        ASSERT_EQ(::send(peer_, packet.data(), packet.size(), 0),
                  static_cast<ssize_t>(packet.size()));
    }
    // The packets the device has written, in order, until none is waiting.
    std::vector<BytesMut> host_drain() {
        std::vector<BytesMut> out;
        for (;;) {
            BytesMut buffer(70000);
            const ssize_t n = ::recv(peer_, buffer.data(), buffer.size(), 0);
            if (n < 0) {
                return out;
            }
            buffer.resize(static_cast<std::size_t>(n));
            out.push_back(std::move(buffer));
        }
    }

    AsyncDeviceOptions options_;
    boost::asio::io_context io_;
    std::shared_ptr<AsyncDevice> device_;
    int peer_ = -1;
};

TEST(AsyncDeviceFromFd, RefusesDescriptorsItCannotTakeAndLeavesThemOpen) {
    boost::asio::io_context io;
    char path[] = "/tmp/quorvel_tun_regular_XXXXXX";
    const int file_fd = ::mkstemp(path);
    ASSERT_GE(file_fd, 0);
    ::unlink(path);
    const int file_flags = ::fcntl(file_fd, F_GETFL);

    struct Case {
        std::string name;
        int fd;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"negative descriptor", -1, "Bad file descriptor (os error 9)"},
        {"regular file", file_fd, "Operation not permitted (os error 1)"},
    };
    for (const auto& c : cases) {
        auto device = AsyncDevice::from_fd(io.get_executor(), c.fd);
        ASSERT_FALSE(device.has_value()) << c.name;
        EXPECT_EQ(device.error().to_string(), c.message) << c.name;
    }
    // Still open, still ours, flags untouched.
    EXPECT_NE(::fcntl(file_fd, F_GETFD), -1);
    EXPECT_EQ(::fcntl(file_fd, F_GETFL), file_flags);
    EXPECT_EQ(::write(file_fd, "x", 1), 1);
    ::close(file_fd);
}

TEST(AsyncDeviceFromFd, TakesOverTheDescriptorAndClosesItWithTheLastReference) {
    boost::asio::io_context io;
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
    auto device = AsyncDevice::from_fd(io.get_executor(), fds[0]);
    ASSERT_TRUE(device.has_value());
    EXPECT_NE(::fcntl(fds[0], F_GETFL) & O_NONBLOCK, 0);
    auto second = *device;
    device->reset();
    EXPECT_NE(::fcntl(fds[0], F_GETFD), -1);
    second.reset();
    EXPECT_EQ(::fcntl(fds[0], F_GETFD), -1);
    ::close(fds[1]);
}

TEST_F(SocketPairTest, MtuSizedPacketIsReadWhole) {
    tun_device::TunDevicePollHelper poller(device_, kMtu);
    CountingWaker w;
    EXPECT_FALSE(poller.poll_recv(w.waker, 1).has_value());
    EXPECT_TRUE(poller.in_flight());

    const BytesMut packet = ipv4_packet(kMtu);
    host_send(packet);
    io_.run_one();  // the readiness wait completes and wakes the reader
    EXPECT_EQ(*w.wakes, 1);

    auto received = poller.poll_recv(w.waker, 7);
    ASSERT_TRUE(received.has_value());
    ASSERT_TRUE(received->has_value());
    EXPECT_EQ((*received)->count, 1u);
    ASSERT_EQ((*received)->packets.size(), 1u);
    EXPECT_EQ((*received)->packets[0].to_vector(), packet);
    EXPECT_FALSE(poller.in_flight());
}

TEST_F(SocketPairTest, PacketLongerThanTheReadIsDroppedNotForwardedCut) {
    log::ScopedCapture capture;
    tun_device::TunDevicePollHelper poller(device_, kMtu);
    host_send(ipv4_packet(kMtu + 20));
    const BytesMut next = ipv4_packet(60, 60, 0x11);
    host_send(next);

    CountingWaker w;
    auto received = poller.poll_recv(w.waker, 1);
    ASSERT_TRUE(received.has_value());
    ASSERT_TRUE(received->has_value());
    ASSERT_EQ((*received)->count, 1u);
    EXPECT_EQ((*received)->packets[0].to_vector(), next);
    EXPECT_EQ(capture->count(log::Level::Debug,
                             "Dropping packet cut short by the read: IPv4 total length 1300 "
                             "exceeds the 1280 bytes read"),
              1u);
}

TEST_F(SocketPairTest, FloodOfCutPacketsYieldsInsteadOfSpinning) {
    tun_device::TunDevicePollHelper poller(device_, 100);
    for (int i = 0; i < tun_device::TunReadFuture::kMaxDropsPerPoll + 1; ++i) {
        host_send(ipv4_packet(200));
    }
    CountingWaker w;
    EXPECT_FALSE(poller.poll_recv(w.waker, 1).has_value());
    EXPECT_EQ(*w.wakes, 1);  // woke itself to continue on its next turn
    EXPECT_FALSE(poller.poll_recv(w.waker, 1).has_value());
    EXPECT_EQ(*w.wakes, 1);  // the last cut packet is gone; now genuinely waiting
}

TEST_F(SocketPairTest, NonIpv4AndShortPacketsAreHandedOnAsRead) {
    tun_device::TunDevicePollHelper poller(device_, kMtu);
    const std::vector<BytesMut> packets = {BytesMut(40, 0x60), BytesMut(3, 0x45), BytesMut{}};
    for (const auto& p : packets) {
        host_send(p);
    }
    CountingWaker w;
    for (const auto& p : packets) {
        auto received = poller.poll_recv(w.waker, 1);
        ASSERT_TRUE(received.has_value() && received->has_value());
        EXPECT_EQ((*received)->packets[0].to_vector(), p);
    }
}

// A read of 0 bytes is a datagram of length 0 while the host's end is open, and the end of the
// tunnel once the host has closed or shut down its end and everything queued before has been
// read: the device then fails every read with the same error instead of handing on empty packets
// forever. A datagram pair never hangs up, so its reads stay pending.
TEST(AsyncDeviceRead, EndOfFileOnlyOnceTheHostEndIsGoneAndDrained) {
    enum class Step { Empty, Packet, Close, ShutWrite };
    struct Case {
        const char* what;
        int type;
        std::vector<Step> host;
        // One entry per read: a length, "pending" or "eof".
        std::vector<std::string> reads;
    };
    const std::string eof = "end of file: the other end of the tunnel was closed";
    const Case cases[] = {
        {"empty datagram, then a packet, end open",
         SOCK_SEQPACKET,
         {Step::Empty, Step::Packet},
         {"0", "40", "pending"}},
        {"end closed at once", SOCK_SEQPACKET, {Step::Close}, {"eof", "eof"}},
        {"packet queued before the close",
         SOCK_SEQPACKET,
         {Step::Packet, Step::Close},
         {"40", "eof"}},
        {"empty datagram and a packet queued before the close",
         SOCK_SEQPACKET,
         {Step::Empty, Step::Packet, Step::Close},
         {"0", "40", "eof", "eof"}},
        {"two empty datagrams and a packet queued before the close",
         SOCK_SEQPACKET,
         {Step::Empty, Step::Empty, Step::Packet, Step::Close},
         {"0", "0", "40", "eof"}},
        {"empty datagrams alone queued before the close",
         SOCK_SEQPACKET,
         {Step::Empty, Step::Empty, Step::Close},
         {"eof", "eof"}},
        {"a packet between empty datagrams before the close",
         SOCK_SEQPACKET,
         {Step::Empty, Step::Packet, Step::Empty, Step::Empty, Step::Packet, Step::Close},
         {"0", "40", "0", "0", "40", "eof"}},
        {"host shut down its sending side", SOCK_SEQPACKET, {Step::ShutWrite}, {"eof"}},
        {"host shut down its sending side behind two empty datagrams and a packet",
         SOCK_SEQPACKET,
         {Step::Empty, Step::Empty, Step::Packet, Step::ShutWrite},
         {"0", "0", "40", "eof"}},
        {"datagram pair: empty datagram, packet, close",
         SOCK_DGRAM,
         {Step::Empty, Step::Packet, Step::Close},
         {"0", "40", "pending", "pending"}},
    };
    for (const auto& c : cases) {
        boost::asio::io_context io;
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, c.type, 0, fds), 0);
        auto device = AsyncDevice::from_fd(io.get_executor(), fds[0]);
        ASSERT_TRUE(device.has_value()) << c.what;
        int host = fds[1];
        for (Step step : c.host) {
            const BytesMut packet = step == Step::Packet ? ipv4_packet(40) : BytesMut{};
            switch (step) {
                case Step::Empty:
                case Step::Packet:
                    ASSERT_EQ(::send(host, packet.data(), packet.size(), 0),
                              static_cast<ssize_t>(packet.size()))
                        << c.what;
                    break;
                case Step::Close:
                    ::close(std::exchange(host, -1));
                    break;
                case Step::ShutWrite:
                    ASSERT_EQ(::shutdown(host, SHUT_WR), 0);
                    break;
            }
        }
        CountingWaker w;
        std::vector<std::string> reads;
        BytesMut buffer(kMtu);
        for (std::size_t i = 0; i < c.reads.size(); ++i) {
            auto read = (*device)->poll_recv(w.waker, std::span(buffer.data(), buffer.size()));
            if (!read) {
                reads.emplace_back("pending");
            } else if (!*read) {
                reads.emplace_back(
                    read->error() == IoError::other(eof) ? "eof" : read->error().to_string());
            } else {
                reads.push_back(std::to_string(**read));
            }
        }
        EXPECT_EQ(reads, c.reads) << c.what;
        // Nothing woke the reader by itself: a pending read waits for the descriptor.
        io.poll();
        EXPECT_EQ(*w.wakes, 0) << c.what;
        device->reset();
        if (host >= 0) {
            ::close(host);
        }
    }
}

TEST(AsyncDeviceRead, ReadErrorCompletesAndTheNextCallStartsAFreshRead) {
    boost::asio::io_context io;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    // Reading the write end of a pipe fails.
    auto device = AsyncDevice::from_fd(io.get_executor(), fds[1]);
    ASSERT_TRUE(device.has_value());
    tun_device::TunDevicePollHelper poller(*device, kMtu);
    CountingWaker w;
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto received = poller.poll_recv(w.waker, 1);
        ASSERT_TRUE(received.has_value());
        ASSERT_FALSE(received->has_value());
        EXPECT_EQ(received->error().to_string(), "Bad file descriptor (os error 9)");
        EXPECT_FALSE(poller.in_flight());
    }
    device->reset();
    ::close(fds[0]);
}

class PacketInformationTest : public SocketPairTest {
  protected:
    void SetUp() override {
        options_.packet_information = true;
        SocketPairTest::SetUp();
    }
};

TEST_F(PacketInformationTest, HeaderIsStrippedOnReadAndAddedOnWrite) {
    BytesMut framed = {0, 0, 0, AF_INET};
    const BytesMut packet = ipv4_packet(kMtu);
    framed.insert(framed.end(), packet.begin(), packet.end());
    host_send(framed);

    tun_device::TunDevicePollHelper poller(device_, kMtu);
    CountingWaker w;
    auto received = poller.poll_recv(w.waker, 1);
    ASSERT_TRUE(received.has_value() && received->has_value());
    EXPECT_EQ((*received)->packets[0].to_vector(), packet);

    auto written = device_->poll_send(w.waker, packet);
    ASSERT_TRUE(written.has_value() && written->has_value());
    EXPECT_EQ(**written, packet.size());
    const auto out = host_drain();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], framed);
}

// The node-peer side's tunnel writer over a real device.
class TunWriteTest : public SocketPairTest {
  protected:
    void SetUp() override {
        SocketPairTest::SetUp();
        tun_ = std::make_shared<TunDevice>(TunDeviceRef::create(
            device_, tun_device::State(device_, nullptr, nullptr, nullptr, nullptr)));
    }
    void TearDown() override {
        tun_.reset();
        SocketPairTest::TearDown();
    }
    std::shared_ptr<TunDevice> tun_;
};

TEST_F(TunWriteTest, EmptyBatchCompletesAtOnceWithZero) {
    node_peer::TunDevicePollHelper poller(tun_);
    CountingWaker w;
    auto written = poller.poll_send(w.waker, {});
    ASSERT_TRUE(written.has_value() && written->has_value());
    EXPECT_EQ(**written, 0u);
}

TEST_F(TunWriteTest, BatchIsWrittenInOrderOnePacketPerWrite) {
    node_peer::TunDevicePollHelper poller(tun_);
    const std::vector<BytesMut> batch = {ipv4_packet(20, 20, 1), ipv4_packet(kMtu, kMtu, 2),
                                         ipv4_packet(100, 100, 3)};
    CountingWaker w;
    auto written = poller.poll_send(w.waker, batch);
    ASSERT_TRUE(written.has_value() && written->has_value());
    EXPECT_EQ(**written, 3u);
    EXPECT_EQ(host_drain(), batch);
}

TEST_F(TunWriteTest, FailedWriteStopsTheBatchThere) {
    node_peer::TunDevicePollHelper poller(tun_);
    // The middle packet is larger than the socket can ever take in one message.
    const std::vector<BytesMut> batch = {ipv4_packet(60, 60, 1), BytesMut(4 * 1024 * 1024, 2),
                                         ipv4_packet(60, 60, 3)};
    CountingWaker w;
    auto written = poller.poll_send(w.waker, batch);
    ASSERT_TRUE(written.has_value());
    ASSERT_FALSE(written->has_value());
    EXPECT_EQ(written->error().to_string(), "Message too long (os error 90)");
    EXPECT_FALSE(poller.in_flight());
    const auto out = host_drain();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], batch[0]);
}

TEST_F(TunWriteTest, CallWhileAWriteIsPendingKeepsTheWriteInFlight) {
    // Fill the socket so that the next write must wait.
    const BytesMut filler = ipv4_packet(1000, 1000, 9);
    std::size_t queued = 0;
    while (::send(device_->native_handle(), filler.data(), filler.size(), 0) > 0) {
        ++queued;
    }
    ASSERT_EQ(errno, EAGAIN);

    node_peer::TunDevicePollHelper poller(tun_);
    const std::vector<BytesMut> first = {ipv4_packet(40, 40, 1), ipv4_packet(40, 40, 2)};
    const std::vector<BytesMut> second = {ipv4_packet(40, 40, 7)};
    CountingWaker w;
    EXPECT_FALSE(poller.poll_send(w.waker, first).has_value());
    EXPECT_TRUE(poller.in_flight());
    EXPECT_FALSE(poller.poll_send(w.waker, second).has_value());

    const auto drained = host_drain();
    EXPECT_EQ(drained.size(), queued);
    io_.run_one();
    EXPECT_GE(*w.wakes, 1);

    auto written = poller.poll_send(w.waker, second);
    ASSERT_TRUE(written.has_value() && written->has_value());
    EXPECT_EQ(**written, 2u);  // the first batch only
    EXPECT_EQ(host_drain(), first);
}

TEST_F(SocketPairTest, CoroutineSendWaitsForRoomAndWritesTheWholePacket) {
    const BytesMut filler = ipv4_packet(1000, 1000, 9);
    while (::send(device_->native_handle(), filler.data(), filler.size(), 0) > 0) {
    }
    const BytesMut packet = ipv4_packet(300, 300, 5);
    std::optional<Result<std::size_t, IoError>> outcome;
    boost::asio::co_spawn(
        io_, [&]() -> boost::asio::awaitable<void> { outcome = co_await device_->send(packet); },
        boost::asio::detached);
    io_.poll();
    EXPECT_FALSE(outcome.has_value());
    auto drained = host_drain();
    EXPECT_FALSE(drained.empty());
    io_.run();
    ASSERT_TRUE(outcome.has_value() && outcome->has_value());
    EXPECT_EQ(**outcome, packet.size());
    drained = host_drain();
    ASSERT_FALSE(drained.empty());
    EXPECT_EQ(drained.back(), packet);
}

}  // namespace
}  // namespace quorvel::agent

namespace quorvel::agent {
namespace {

TEST(AsyncDeviceWriters, SeveralWritersAtOnceEachPacketArrivesWholeAndInItsWritersOrder) {
    constexpr int kWriters = 4;
    constexpr int kPerWriter = 300;
    constexpr std::size_t kSize = 900;
    boost::asio::thread_pool pool(4);
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
    auto device = AsyncDevice::from_fd(pool.get_executor(), fds[0]);
    ASSERT_TRUE(device.has_value());
    auto failures = std::make_shared<std::atomic<int>>(0);
    for (int w = 0; w < kWriters; ++w) {
        boost::asio::co_spawn(
            pool,
            [dev = *device, w, failures]() -> boost::asio::awaitable<void> {
                for (int i = 0; i < kPerWriter; ++i) {
                    BytesMut packet(kSize, static_cast<std::uint8_t>(i));
                    packet[0] = static_cast<std::uint8_t>(w);
                    packet[1] = static_cast<std::uint8_t>(i >> 8);
                    packet[2] = static_cast<std::uint8_t>(i & 0xff);
                    auto written = co_await dev->send(packet);
                    if (!written || *written != kSize) {
                        ++*failures;
                    }
                }
            },
            boost::asio::detached);
    }
    // The host reads slowly enough at first that the writers meet a full socket.
    std::vector<int> next(kWriters, 0);
    int bad = 0;
    for (int n = 0; n < kWriters * kPerWriter; ++n) {
        BytesMut buffer(4096);
        const ssize_t got = ::recv(fds[1], buffer.data(), buffer.size(), 0);
        ASSERT_EQ(got, static_cast<ssize_t>(kSize));
        const int w = buffer[0];
        const int i = (buffer[1] << 8) | buffer[2];
        ASSERT_LT(w, kWriters);
        if (i != next[w]) {
            ++bad;
        }
        next[w] = i + 1;
        for (std::size_t k = 3; k < kSize; ++k) {
            if (buffer[k] != static_cast<std::uint8_t>(i)) {
                ++bad;
                break;
            }
        }
    }
    pool.join();
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(*failures, 0);
    device->reset();
    ::close(fds[1]);
}

}  // namespace
}  // namespace quorvel::agent
