#include "agent/dns/server.h"

#include "agent/dns/dns_test_util.h"
#include "agent/dns/response_handle.h"
#include "agent/netif/device_pair.h"
#include "util/async_test_util.h"
#include "util/log.h"
#include "util/runtime.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

namespace quorvel::agent {
namespace {

using namespace testing;

const Ipv4Addr kClient(10, 1, 0, 5);
const Ipv4Addr kDnsAddr(10, 1, 255, 254);

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
}

TEST(DnsServerRefTest, ReleaseThatLeavesTheCountAtZeroStopsTheDriver) {
    auto runtime = Runtime::create(1);
    {
        auto [server, shutdown_rx] = DnsServerRef::create({});
        EXPECT_EQ(server.with_state([](server::State& s) { return s.handle_count; }), 0u);
        {
            DnsServerRef clone(server);
            EXPECT_EQ(server.with_state([](server::State& s) { return s.handle_count; }), 1u);
            DnsServerRef clone2(server);
            EXPECT_EQ(server.with_state([](server::State& s) { return s.handle_count; }), 2u);
        }
        // 2 -> 1 keeps the channel; 1 -> 0 closes it.
        EXPECT_EQ(server.with_state([](server::State& s) { return s.shutdown_tx.has_value(); }),
                  false);
        auto got = shutdown_rx.try_recv();
        ASSERT_FALSE(got.has_value());
        EXPECT_EQ(got.error(), TryRecvError::Disconnected);
    }
    {
        // The last handle at count 0 closes the channel too.
        auto [server, shutdown_rx] = DnsServerRef::create({});
        auto moved = std::make_unique<DnsServerRef>(std::move(server));
        EXPECT_EQ(shutdown_rx.try_recv().error(), TryRecvError::Empty);
        moved.reset();
        EXPECT_EQ(shutdown_rx.try_recv().error(), TryRecvError::Disconnected);
    }
    {
        // A catalog handle taken before a rebuild stays the old catalog.
        auto [server, shutdown_rx] = DnsServerRef::create({});
        auto before = server.catalog();
        EXPECT_EQ(before->zone_count(), 0u);
        server.with_state([](server::State& s) { s.update_catalog(NetworkMap{}); });
        EXPECT_EQ(before->zone_count(), 0u);
        EXPECT_EQ(server.catalog()->zone_count(), 1u);
    }
}

struct DriverParts {
    DnsServerRef server;
    OneshotSender<Unit> shutdown_tx;
    UnboundedSender<DnsServerRequest> request_tx;
    std::optional<DnsServerDriver> driver;
};

DriverParts make_driver() {
    auto [server, shutdown_rx] = DnsServerRef::create({});
    auto [request_tx, request_rx] = unbounded_channel<DnsServerRequest>();
    auto tx = server.with_state([](server::State& s) {
        auto taken = std::move(*s.shutdown_tx);
        s.shutdown_tx.reset();
        return taken;
    });
    DriverParts parts{std::move(server), std::move(tx), std::move(request_tx), std::nullopt};
    parts.driver.emplace(DnsServerRef(parts.server), std::move(request_rx), std::move(shutdown_rx));
    return parts;
}

DnsServerRequest query_request(std::shared_ptr<AsyncDevice> tun) {
    DnsServerRequest r;
    r.payload = make_query(QuerySpec{});
    r.tun = std::move(tun);
    r.src = kClient;
    r.src_port = 40000;
    r.dst = kDnsAddr;
    r.dst_port = 53;
    return r;
}

TEST(DnsServerDriverTest, ShutdownWinsOverAQueuedRequest) {
    auto runtime = Runtime::create(2);
    auto pair = make_device_pair(runtime->executor());
    auto parts = make_driver();
    ASSERT_TRUE(parts.request_tx.send(query_request(pair->device)).has_value());
    ASSERT_TRUE(std::move(parts.shutdown_tx).send(Unit{}).has_value());
    auto result = runtime->block_on(DnsServerDriver::run(std::move(*parts.driver)));
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->has_value());
    EXPECT_FALSE(readable(pair->host));
    // The queued request went with the driver.
    EXPECT_TRUE(parts.request_tx.is_closed());
}

TEST(DnsServerDriverTest, EndsWhenTheShutdownSenderGoes) {
    auto runtime = Runtime::create(1);
    auto parts = make_driver();
    { auto gone = std::move(parts.shutdown_tx); }
    auto result = runtime->block_on(DnsServerDriver::run(std::move(*parts.driver)));
    ASSERT_TRUE(result.has_value());
    EXPECT_TRUE(result->has_value());
}

TEST(DnsServerDriverTest, ClosedRequestChannelIsAnError) {
    auto runtime = Runtime::create(1);
    auto parts = make_driver();
    { auto gone = std::move(parts.request_tx); }
    auto result = runtime->block_on(DnsServerDriver::run(std::move(*parts.driver)));
    ASSERT_TRUE(result.has_value());
    ASSERT_FALSE(result->has_value());
    EXPECT_EQ(result->error().to_string(), "DNS server receiver channel was closed");
}

TEST(DnsServerDriverTest, AnswersEachRequestUntilShutdown) {
    auto runtime = Runtime::create(2);
    auto pair = make_device_pair(runtime->executor());
    auto parts = make_driver();
    std::atomic<bool> done{false};
    runtime->spawn(
        [](DnsServerDriver driver, std::atomic<bool>& done) -> boost::asio::awaitable<void> {
            auto result = co_await DnsServerDriver::run(std::move(driver));
            EXPECT_TRUE(result.has_value());
            done = true;
        }(std::move(*parts.driver), done));
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(parts.request_tx.send(query_request(pair->device)).has_value());
    }
    // The catalog is empty: every query is refused.
    for (int i = 0; i < 5; ++i) {
        pollfd p{pair->host, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 5000), 1);
        std::vector<uint8_t> buf(2048);
        const auto n = ::recv(pair->host, buf.data(), buf.size(), 0);
        ASSERT_GT(n, 0);
        buf.resize(static_cast<std::size_t>(n));
        auto reply = check_reply_packet(buf);
        ASSERT_TRUE(reply.has_value());
        auto decoded = decode_reply(reply->message);
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(decoded->rcode, dns::response_code::kRefused);
    }
    ASSERT_TRUE(std::move(parts.shutdown_tx).send(Unit{}).has_value());
    for (int i = 0; i < 5000 && !done; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(done);
}

TEST(DnsResponseHandleTest, RefusesIpv6AfterEncoding) {
    auto runtime = Runtime::create(1);
    auto pair = make_device_pair(runtime->executor());
    const dns::SocketAddr v4(boost::asio::ip::make_address("10.1.255.254"), 53);
    const dns::SocketAddr v6(boost::asio::ip::make_address("fd00::1"), 53);
    struct Case {
        dns::SocketAddr src, dst;
        const char* error;
    };
    for (const Case& c :
         {Case{v6, v6, "src: Only IPv4 supported"}, Case{v4, v6, "dst: Only IPv4 supported"}}) {
        log::ScopedCapture capture;
        dns::ResponseHandle handle(c.src, c.dst, pair->device, runtime->executor());
        dns::MessageResponse response;
        response.header.id = 9;
        response.header.response = true;
        auto result = handle.send_response(std::move(response));
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().to_string(), c.error);
        EXPECT_TRUE(capture->contains(log::Level::Debug, "sending response"));
        EXPECT_FALSE(readable(pair->host));
    }
}

TEST(DnsResponseHandleTest, OversizedMessageAndFailingTunnelAreErrors) {
    auto runtime = Runtime::create(1);
    auto pair = make_device_pair(runtime->executor());
    const dns::SocketAddr src(boost::asio::ip::make_address("10.1.255.254"), 53);
    const dns::SocketAddr dst(boost::asio::ip::make_address("10.1.0.5"), 40000);

    // 4100 records under a 65535-byte limit encode, but no IPv4 packet can carry them.
    const std::vector<Ipv4Addr> many(4100, Ipv4Addr(10, 1, 0, 1));
    dns::MessageResponse big;
    big.header.response = true;
    big.queries = {1, 'a', 0, 0, 1, 0, 1};
    big.query_count = 1;
    big.answers = many;
    big.edns = dns::Edns{65535, 0, false};
    dns::ResponseHandle handle(src, dst, pair->device, runtime->executor());
    auto result = handle.send_response(std::move(big));
    ASSERT_FALSE(result.has_value());
    // 4094 records fit with the OPT record: 12 + 7 + 4094 * 16 + 11 bytes.
    EXPECT_EQ(result.error().to_string(),
              "payload of 65534 bytes exceeds the maximum of 65507 bytes");
    EXPECT_FALSE(readable(pair->host));

    // The host's end is gone: the write fails and the error comes back as it is.
    ::close(pair->host);
    pair->host = -1;
    dns::MessageResponse small;
    small.header.response = true;
    result = dns::ResponseHandle(src, dst, pair->device, runtime->executor())
                 .send_response(std::move(small));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().os_code(), EPIPE);
}

TEST(DnsQueryTaskTest, SeveralQuestionsAreEachLoggedBeforeTheCatalogAnswers) {
    auto runtime = Runtime::create(1);
    auto pair = make_device_pair(runtime->executor());
    auto [server, shutdown_rx] = DnsServerRef::create({});
    QuerySpec spec;
    spec.questions = {{"a.quorvel.internal."}, {"b.example.", 28}};
    auto request = query_request(pair->device);
    request.payload = make_query(spec);
    log::ScopedCapture capture;
    handle_dns_request(std::move(request), server.catalog(), runtime->executor());
    std::vector<std::string> lines;
    for (const auto& e : capture->events()) {
        if (e.message.starts_with("query:") || e.message == "Handling DNS request with catalog" ||
            e.message == "sending response") {
            lines.push_back(e.message);
        }
    }
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "query:a.quorvel.internal.:A:IN", "query:b.example.:AAAA:IN",
                         "Handling DNS request with catalog", "sending response"}));
    ASSERT_TRUE(readable(pair->host));
}

// A reply the tunnel cannot take yet is written once there is room, without holding up the
// queries behind it.
TEST(DnsQueryTaskTest, ReplyToAFullTunnelIsWrittenOnceThereIsRoom) {
    auto runtime = Runtime::create(2);
    auto pair = make_device_pair(runtime->executor());
    auto [server, shutdown_rx] = DnsServerRef::create({});
    const std::vector<uint8_t> filler(1000, 0xee);
    int filled = 0;
    while (::send(pair->device->native_handle(), filler.data(), filler.size(), MSG_DONTWAIT) > 0) {
        ++filled;
    }
    ASSERT_GT(filled, 0);
    // The first query counts against a limit until its reply is out.
    auto limit = std::make_shared<QueryLimit>(10);
    ASSERT_TRUE(limit->try_acquire());
    auto first = query_request(pair->device);
    first.permit = QueryPermit(limit);
    handle_dns_request(std::move(first), server.catalog(), runtime->executor());
    EXPECT_EQ(limit->in_use(), 1u);
    auto second = query_request(pair->device);
    second.src_port = 40001;
    handle_dns_request(std::move(second), server.catalog(), runtime->executor());
    // Both returned although neither reply could be written; the replies come after the filler.
    std::vector<uint16_t> reply_ports;
    std::vector<uint8_t> buf(2048);
    for (int i = 0; i < filled + 2; ++i) {
        pollfd p{pair->host, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 5000), 1) << i;
        const auto n = ::recv(pair->host, buf.data(), buf.size(), 0);
        ASSERT_GT(n, 0);
        if (i < filled) {
            EXPECT_EQ(n, 1000);
            continue;
        }
        auto reply = check_reply_packet(std::vector<uint8_t>(buf.begin(), buf.begin() + n));
        ASSERT_TRUE(reply.has_value());
        reply_ports.push_back(reply->dst_port);
    }
    std::sort(reply_ports.begin(), reply_ports.end());
    EXPECT_EQ(reply_ports, (std::vector<uint16_t>{40000, 40001}));
    EXPECT_TRUE(::quorvel::testing::eventually([&] { return limit->in_use() == 0; }));
}

}  // namespace
}  // namespace quorvel::agent
