#include "agent/dns/mobile_dns.h"

#include "agent/agent_test_util.h"
#include "agent/dns/dns_test_util.h"
#include "agent/netif/device_pair.h"
#include "util/async_test_util.h"
#include "util/log.h"
#include "util/runtime.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include <poll.h>
#include <sys/socket.h>

namespace quorvel::agent {
namespace {

using namespace testing;
using ::quorvel::testing::eventually;

const Ipv4Addr kClient(10, 1, 0, 5);
const Ipv4Addr kDnsAddr(10, 1, 255, 254);
const Ipv4Addr kAlpha(10, 1, 0, 1);

// One packet from `fd` within `timeout_ms`; nullopt when none came.
std::optional<std::vector<uint8_t>> read_packet(int fd, int timeout_ms = 5000) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) != 1) {
        return std::nullopt;
    }
    std::vector<uint8_t> buf(70000);
    const ssize_t n = ::recv(fd, buf.data(), buf.size(), MSG_DONTWAIT);
    if (n < 0) {
        return std::nullopt;
    }
    buf.resize(static_cast<std::size_t>(n));
    return buf;
}

// A running component with one network 10.1.0.5/16 (DNS address 10.1.255.254) whose host names
// are applied, and a socket pair as the tunnel.
class MobileAgentDnsTest : public ::testing::Test {
  protected:
    MobileAgentDnsTest() : runtime_(Runtime::create(2)), config_(test_identity()) {
        pair_ = make_device_pair(runtime_->executor());
        dns_ = MobileAgentDns::create(runtime_->executor());
        auto& n = add_network(config_, "https://example.com/n.toml");
        n.current_state.ip = {net("10.1.0.5/16"), std::nullopt};
        n.desired_state.hostnames = {hosts({{kAlpha, "alpha"}, {kClient, "me"}}), std::nullopt};
        apply();
    }
    ~MobileAgentDnsTest() override {
        dns_->shutdown();
        dns_.reset();
    }

    void apply() { ASSERT_TRUE(runtime_->block_on(dns_->apply_desired_state(config_))); }

    // Offers the packet to the component as the outbound pass does; true when it was taken.
    bool offer(const std::vector<uint8_t>& packet) {
        auto header = ip::Ipv4HeaderSlice::from_slice(packet);
        EXPECT_TRUE(header.has_value());
        return dns_->handle_outbound_packet(packet, *header, pair_->device);
    }

    // Sends the query from the client's port 40000 and reads the checked reply.
    std::optional<DecodedReply> query(const QuerySpec& spec, Ipv4Addr to = kDnsAddr) {
        if (!offer(query_packet(kClient, 40000, to, make_query(spec)))) {
            ADD_FAILURE() << "query not taken";
            return std::nullopt;
        }
        auto packet = read_packet(pair_->host);
        if (!packet) {
            ADD_FAILURE() << "no reply";
            return std::nullopt;
        }
        auto reply = check_reply_packet(*packet);
        if (!reply) {
            return std::nullopt;
        }
        EXPECT_EQ(reply->src, to);
        EXPECT_EQ(reply->src_port, 53);
        EXPECT_EQ(reply->dst, kClient);
        EXPECT_EQ(reply->dst_port, 40000);
        return decode_reply(reply->message);
    }

    bool nothing_to_read() { return !read_packet(pair_->host, 0).has_value(); }

    std::shared_ptr<Runtime> runtime_;
    AgentConfig config_;
    std::unique_ptr<DevicePair> pair_;
    std::shared_ptr<MobileAgentDns> dns_;
};

TEST_F(MobileAgentDnsTest, AnswersQueriesWrittenIntoTheTunnel) {
    using namespace dns::response_code;
    struct Case {
        const char* name;
        QuerySpec spec;
        uint16_t rcode;
        std::vector<Ipv4Addr> answers;
        bool ra = true;
    };
    QuerySpec no_rd = question("alpha.quorvel.internal.");
    no_rd.recursion_desired = false;
    QuerySpec formerr = question("alpha.quorvel.internal.");
    formerr.questions.push_back({"me.quorvel.internal."});
    QuerySpec badvers = question("alpha.quorvel.internal.");
    badvers.edns = EdnsSpec{1232, 1, false};
    const Case cases[] = {
        {"overlay host", question("alpha.quorvel.internal."), kNoError, {kAlpha}},
        {"NXDOMAIN", question("nobody.quorvel.internal."), kNxDomain, {}},
        {"REFUSED outside the zone", question("example.org."), kRefused, {}, false},
        {"REFUSED without RD", no_rd, kRefused, {}},
        {"FORMERR", formerr, kFormErr, {}, false},
        {"BADVERS", badvers, kBadVers, {}, false},
        {"NODATA for AAAA", question("alpha.quorvel.internal.", 28), kNoError, {}},
    };
    for (const auto& c : cases) {
        auto reply = query(c.spec);
        ASSERT_TRUE(reply.has_value()) << c.name;
        EXPECT_EQ(reply->rcode, c.rcode) << c.name;
        EXPECT_EQ(reply->id, c.spec.id) << c.name;
        EXPECT_TRUE(reply->qr) << c.name;
        EXPECT_FALSE(reply->aa) << c.name;
        EXPECT_EQ(reply->ra, c.ra) << c.name;
        EXPECT_EQ(reply->qdcount, c.spec.questions.size()) << c.name;
        ASSERT_EQ(reply->answers.size(), c.answers.size()) << c.name;
        for (std::size_t i = 0; i < c.answers.size(); ++i) {
            EXPECT_EQ(reply->answers[i].second, c.answers[i]) << c.name;
            EXPECT_EQ(reply->answer_ttls[i], 10u) << c.name;
        }
    }
}

TEST_F(MobileAgentDnsTest, SmallEdnsLimitTruncatesWithTc) {
    for (int i = 0; i < 40; ++i) {
        auto& n = add_network(config_, "https://example.com/x" + std::to_string(i) + ".toml");
        n.desired_state.hostnames = {
            hosts({{Ipv4Addr(10, 7, 0, static_cast<uint8_t>(i + 1)), "crowd"}}), std::nullopt};
    }
    apply();
    QuerySpec spec;
    spec.questions = {{"crowd.quorvel.internal."}};
    spec.edns = EdnsSpec{512, 0, false};
    auto reply = query(spec);
    ASSERT_TRUE(reply.has_value());
    EXPECT_TRUE(reply->tc);
    EXPECT_EQ(reply->rcode, 0);
    EXPECT_GT(reply->answers.size(), 0u);
    EXPECT_LT(reply->answers.size(), 40u);
    EXPECT_EQ(reply->ancount, reply->answers.size());
    EXPECT_TRUE(reply->edns);

    spec.edns = EdnsSpec{4096, 0, false};
    reply = query(spec);
    ASSERT_TRUE(reply.has_value());
    EXPECT_FALSE(reply->tc);
    EXPECT_EQ(reply->answers.size(), 40u);
}

TEST_F(MobileAgentDnsTest, UndecodableQueriesAndResponsesGetNoReply) {
    log::ScopedCapture capture;
    EXPECT_TRUE(offer(query_packet(kClient, 40000, kDnsAddr, {0x12, 0x34, 0x01})));
    ASSERT_TRUE(eventually(
        [&] { return capture->contains(log::Level::Trace, "DNS packet processing completed"); }));
    EXPECT_TRUE(capture->contains_substring(log::Level::Error, "Failed to decode DNS message: "));
    EXPECT_TRUE(nothing_to_read());

    QuerySpec response;
    response.response = true;
    EXPECT_TRUE(offer(query_packet(kClient, 40000, kDnsAddr, make_query(response))));
    ASSERT_TRUE(eventually([&] {
        return capture->contains(log::Level::Trace,
                                 "Dropping DNS response message to prevent reflection attacks");
    }));
    EXPECT_TRUE(nothing_to_read());

    // The server still answers afterwards.
    auto reply = query(QuerySpec{});
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->rcode, 0);
}

TEST_F(MobileAgentDnsTest, QueryLogLines) {
    log::ScopedCapture capture;
    QuerySpec spec;
    spec.id = 77;
    spec.edns = EdnsSpec{1232, 0, true};
    ASSERT_TRUE(query(spec).has_value());
    ASSERT_TRUE(eventually(
        [&] { return capture->contains(log::Level::Trace, "DNS packet processing completed"); }));
    EXPECT_TRUE(capture->contains(log::Level::Trace,
                                  "Got potential DNS request: 10.1.0.5 -> 10.1.255.254"));
    EXPECT_TRUE(
        capture->contains(log::Level::Trace, "Received DNS packet from 10.1.0.5:40000 (51 bytes)"));
    EXPECT_TRUE(
        capture->contains(log::Level::Debug,
                          "request:77 src:UDP://10.1.0.5#40000 type:Query dnssec:true QUERY "
                          "qflags:RD"));
    EXPECT_TRUE(capture->contains(log::Level::Debug, "query:alpha.quorvel.internal.:A:IN"));
    EXPECT_TRUE(capture->contains(log::Level::Trace, "Starting DNS response encoding for ID: 77"));
    EXPECT_TRUE(
        capture->contains(log::Level::Trace, "setting response max size: 1232 for protocol: Udp"));
    for (const auto& e : capture->events()) {
        if (e.message == "sending response") {
            ASSERT_EQ(e.spans.size(), 1u);
            EXPECT_EQ(e.spans[0].name, "send_response");
            EXPECT_EQ(e.fields[1].value, "No Error");
        }
        if (e.message == "Parsed DNS message details") {
            ASSERT_EQ(e.fields.size(), 4u);
            EXPECT_EQ(e.fields[3].value, "true");
        }
    }
}

TEST_F(MobileAgentDnsTest, TakesOnlyPacketsForItsAddresses) {
    // Port 5353, another address, and TCP are not for the server.
    EXPECT_FALSE(offer(query_packet(kClient, 40000, kDnsAddr, make_query({}), 5353)));
    EXPECT_FALSE(offer(query_packet(kClient, 40000, Ipv4Addr(10, 1, 255, 253), make_query({}))));
    auto tcp = query_packet(kClient, 40000, kDnsAddr, make_query({}));
    tcp[9] = 6;
    EXPECT_FALSE(offer(tcp));
    EXPECT_TRUE(nothing_to_read());
}

TEST_F(MobileAgentDnsTest, AddressesFollowTheNetworks) {
    EXPECT_EQ(dns_->server_ip(), kDnsAddr);
    EXPECT_TRUE(dns_->is_server_ip(kDnsAddr));
    // A second network adds its address; the first network's stays the one reported.
    add_network(config_, "https://example.com/m.toml").current_state.ip = {net("10.2.0.7/24"),
                                                                           std::nullopt};
    apply();
    EXPECT_TRUE(dns_->is_server_ip(Ipv4Addr(10, 2, 0, 254)));
    EXPECT_TRUE(dns_->is_server_ip(kDnsAddr));
    auto reply = query(QuerySpec{}, Ipv4Addr(10, 2, 0, 254));
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->answers.size(), 1u);

    log::ScopedCapture capture;
    config_.network.clear();
    apply();
    EXPECT_FALSE(dns_->server_ip().has_value());
    EXPECT_FALSE(dns_->is_server_ip(kDnsAddr));
    EXPECT_TRUE(capture->contains_substring(
        log::Level::Trace, "Removing DNS server because current IP is not in desired state: "));
}

TEST_F(MobileAgentDnsTest, ShutdownStopsTheServerAndIsIdempotent) {
    auto tx = dns_->send_channel();
    dns_->shutdown();
    dns_->shutdown();
    ASSERT_TRUE(eventually([&] { return tx.is_closed(); }));
    // Still taken (the packet was meant for the server), but nothing answers.
    EXPECT_TRUE(offer(query_packet(kClient, 40000, kDnsAddr, make_query({}))));
    EXPECT_TRUE(nothing_to_read());
    // The addresses stay as they were.
    EXPECT_EQ(dns_->server_ip(), kDnsAddr);
    EXPECT_TRUE(dns_->is_server_ip(kDnsAddr));
}

TEST(MobileAgentDnsLifecycleTest, FreshComponentServesNoAddressAndReleaseStopsTheDriver) {
    auto runtime = Runtime::create(1);
    auto dns = MobileAgentDns::create(runtime->executor());
    EXPECT_FALSE(dns->server_ip().has_value());
    EXPECT_FALSE(dns->is_server_ip(Ipv4Addr(10, 1, 255, 254)));
    EXPECT_FALSE(dns->is_server_ip(Ipv4Addr(0, 0, 0, 0)));
    auto tx = dns->send_channel();
    ASSERT_FALSE(tx.is_closed());
    dns.reset();
    EXPECT_TRUE(eventually([&] { return tx.is_closed(); }));
}

// Queued and running queries are bounded; past the bound new ones are dropped with one warning
// per run of drops, and a slot comes back when its query ends.
TEST(MobileAgentDnsLifecycleTest, QueriesBeyondTheLimitAreDropped) {
    boost::asio::io_context context;  // not run yet: queries stay queued
    auto dns = MobileAgentDns::create(context.get_executor(), 3);
    log::ScopedCapture capture;
    auto request = [] {
        DnsServerRequest r;
        r.payload = {0xde, 0xad};  // undecodable: answered by nothing
        r.src = kClient;
        r.src_port = 1000;
        r.dst = kDnsAddr;
        r.dst_port = 53;
        return r;
    };
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(dns->send(request()).has_value());
    }
    EXPECT_EQ(dns->query_limit().in_use(), 3u);
    auto dropped = dns->send(request());
    ASSERT_FALSE(dropped.has_value());
    EXPECT_EQ(dropped.error(), "Failed to send DNS request");
    EXPECT_FALSE(dns->send(request()).has_value());
    EXPECT_EQ(capture->count(log::Level::Warn,
                             "Dropping DNS query from 10.1.0.5:1000: 3 queries are already queued "
                             "or running"),
              1u);
    EXPECT_EQ(dns->query_limit().in_use(), 3u);

    // The driver takes them and their tasks end: every slot comes back. Run until then, for as
    // long as a loaded machine takes to get through the queue.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (dns->query_limit().in_use() > 0 && std::chrono::steady_clock::now() < deadline) {
        context.run_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(capture->count(log::Level::Trace, "DNS packet processing completed"), 3u);
    EXPECT_EQ(dns->query_limit().in_use(), 0u);
    EXPECT_TRUE(dns->send(request()).has_value());
    dns->shutdown();
    dns.reset();
    context.run_for(std::chrono::milliseconds(50));
}

}  // namespace
}  // namespace quorvel::agent
