#include "agent/dns/forward.h"

#include "agent/agent_test_util.h"
#include "agent/dns/dns_test_util.h"
#include "agent/dns/mobile_dns.h"
#include "agent/dns/server.h"
#include "agent/netif/device_pair.h"
#include "util/async_test_util.h"
#include "util/log.h"
#include "util/runtime.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <thread>

namespace quorvel::agent {
namespace {

using namespace testing;
using ::quorvel::testing::eventually;

// How the test's name server treats what comes to it over TCP: answers; refuses connections
// (bound, never listening); closes each connection at once, unread; answers with another id; or
// sends a length prefix of 0xFFFF and then nothing, holding the connection open.
enum class Tcp { Answer, Refuse, CloseOnAccept, WrongId, Stall };

struct Behaviour {
    bool silent = false;
    Tcp tcp = Tcp::Answer;
    // UDP answers leave from another port of the same address.
    bool answer_from_other_port = false;
};

// A name server of the test's own on 127.0.0.1, UDP and TCP on one ephemeral port. The first
// label of the question picks the answer: "nx" NXDOMAIN, "refused" REFUSED, "garbage" bytes that
// do not decode, "silent" none, "tc" a truncated one over UDP and the whole one over TCP, "many"
// 30 A records, "stray" first answers to another id, another name and a query; any other name two
// A records, TTL 300. A silent server answers nothing at all; while held (`hold`), UDP queries are
// kept and answered when released.
class Upstream {
  public:
    explicit Upstream(bool silent = false) : Upstream(Behaviour{silent}) {}
    explicit Upstream(Behaviour behaviour) : behaviour_(behaviour) {
        for (int tries = 0; tries < 20 && tcp_ < 0; ++tries) {
            udp_ = bound(SOCK_DGRAM, 0);
            tcp_ = bound(SOCK_STREAM, port_of(udp_));
            if (tcp_ < 0) {
                ::close(udp_);
            }
        }
        // Room for a flood of queries while the thread is not scheduled.
        const int buffer = 1 << 20;
        ::setsockopt(udp_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
        if (behaviour_.tcp != Tcp::Refuse) {
            EXPECT_EQ(::listen(tcp_, 8), 0);
        }
        if (behaviour_.answer_from_other_port) {
            other_udp_ = bound(SOCK_DGRAM, 0);
        }
        thread_ = std::thread([this] { serve(); });
    }
    ~Upstream() {
        const uint64_t one = 1;
        EXPECT_EQ(::write(stop_, &one, sizeof one), 8);
        thread_.join();
        for (int fd : held_connections_) {
            ::close(fd);
        }
        for (int fd : {udp_, tcp_, other_udp_, stop_, release_}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
    dns::SocketAddr addr() const {
        return dns::name_server(boost::asio::ip::make_address("127.0.0.1"), port_of(udp_));
    }
    // "udp name." or "tcp name." per query received, with "+rd" when RD was set and "+edns"
    // when it carried an OPT record; "tcp closed" per connection closed unread.
    std::vector<std::string> seen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    // Holds UDP queries unanswered, or answers the held ones and every later one.
    void hold(bool on) {
        std::lock_guard lock(mutex_);
        holding_ = on;
        const uint64_t one = 1;
        EXPECT_EQ(::write(release_, &one, sizeof one), 8);
    }

  private:
    struct HeldQuery {
        sockaddr_in from;
        std::vector<uint8_t> query;
    };

    static int bound(int type, uint16_t port) {
        const int fd = ::socket(AF_INET, type, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }
    static uint16_t port_of(int fd) {
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        return ntohs(a.sin_port);
    }
    // Where the question of `q` ends.
    static std::size_t question_end(const std::vector<uint8_t>& q) {
        std::size_t end = 12;
        while (end < q.size() && q[end] != 0) {
            end += q[end] + 1u;
        }
        return end + 5;
    }
    void record(const std::vector<uint8_t>& q, bool tcp) {
        const std::size_t end = question_end(q);
        std::lock_guard lock(mutex_);
        seen_.push_back(std::string(tcp ? "tcp " : "udp ") +
                        dns::name_text(std::span(q).subspan(12, end - 16)) +
                        ((q[2] & 1) ? " +rd" : "") + (q[11] != 0 ? " +edns" : ""));
    }
    // The messages that answer `q`, in order.
    std::vector<std::vector<uint8_t>> answer_to(const std::vector<uint8_t>& q, bool tcp) {
        const std::size_t end = question_end(q);
        const std::string label(q.begin() + 13, q.begin() + 13 + q[12]);
        if (behaviour_.silent || label == "silent") {
            return {};
        }
        if (label == "garbage") {
            return {{q[0], q[1], 0x81, 0x80, 0, 1, 0, 5, 0, 0, 0, 0, 3, 'w'}};
        }
        std::vector<uint8_t> out(q.begin(), q.begin() + static_cast<std::ptrdiff_t>(end));
        out[2] = 0x81;
        out[3] = label == "nx" ? 0x83 : label == "refused" ? 0x85 : 0x80;
        const int n = label == "nx" || label == "refused" ? 0 : label == "many" ? 30 : 2;
        out[2] |= (label == "tc" && !tcp) ? 0x02 : 0;
        out[7] = static_cast<uint8_t>(n);
        for (int i = 0; i < n; ++i) {
            out.insert(out.end(), {0xc0, 12, 0, 1, 0, 1, 0, 0, 1, 44, 0, 4, 192, 0, 2});
            out.push_back(static_cast<uint8_t>(i + 1));
        }
        if (label != "stray") {
            return {out};
        }
        std::vector<std::vector<uint8_t>> strays(3, out);
        ++strays[0][1];       // another id
        strays[1][13] = 'x';  // another name
        strays[2][2] = 0x01;  // a query
        strays.push_back(out);
        return strays;
    }
    void answer_udp(const sockaddr_in& to, const std::vector<uint8_t>& q) {
        const int from = behaviour_.answer_from_other_port ? other_udp_ : udp_;
        for (const auto& a : answer_to(q, false)) {
            ::sendto(from, a.data(), a.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                     sizeof to);
        }
    }
    void serve_tcp() {
        const int conn = ::accept(tcp_, nullptr, nullptr);
        if (behaviour_.tcp == Tcp::CloseOnAccept) {
            {
                std::lock_guard lock(mutex_);
                seen_.push_back("tcp closed");
            }
            ::close(conn);
            return;
        }
        uint8_t hdr[2];
        ASSERT_EQ(::recv(conn, hdr, 2, MSG_WAITALL), 2);
        std::vector<uint8_t> q((hdr[0] << 8) | hdr[1]);
        ASSERT_EQ(::recv(conn, q.data(), q.size(), MSG_WAITALL), ssize_t(q.size()));
        record(q, true);
        auto a = answer_to(q, true).back();
        if (behaviour_.tcp == Tcp::Stall) {
            const uint8_t most[2] = {0xff, 0xff};
            ::send(conn, most, 2, MSG_NOSIGNAL);
            held_connections_.push_back(conn);
            return;
        }
        if (behaviour_.tcp == Tcp::WrongId) {
            ++a[1];
        }
        a.insert(a.begin(), {uint8_t(a.size() >> 8), uint8_t(a.size())});
        ::send(conn, a.data(), a.size(), MSG_NOSIGNAL);
        ::close(conn);
    }
    void serve() {
        for (;;) {
            // A socket that never listens is left out: it would show as hung up at once.
            const int tcp = behaviour_.tcp == Tcp::Refuse ? -1 : tcp_;
            pollfd p[4] = {
                {udp_, POLLIN, 0}, {tcp, POLLIN, 0}, {stop_, POLLIN, 0}, {release_, POLLIN, 0}};
            ::poll(p, 4, -1);
            if (p[2].revents != 0) {
                return;
            }
            if (p[3].revents != 0) {
                uint64_t count = 0;
                EXPECT_EQ(::read(release_, &count, sizeof count), 8);
                std::vector<HeldQuery> released;
                {
                    std::lock_guard lock(mutex_);
                    if (!holding_) {
                        released.swap(held_);
                    }
                }
                for (const auto& [from, query] : released) {
                    answer_udp(from, query);
                }
            }
            if (p[0].revents != 0) {
                std::vector<uint8_t> q(4096);
                sockaddr_in from{};
                socklen_t len = sizeof from;
                const auto n = ::recvfrom(udp_, q.data(), q.size(), 0,
                                          reinterpret_cast<sockaddr*>(&from), &len);
                q.resize(static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
                record(q, false);
                std::unique_lock lock(mutex_);
                if (holding_) {
                    held_.push_back({from, std::move(q)});
                } else {
                    lock.unlock();
                    answer_udp(from, q);
                }
            }
            if (p[1].revents != 0) {
                serve_tcp();
            }
        }
    }

    Behaviour behaviour_;
    int udp_ = -1, tcp_ = -1, other_udp_ = -1, stop_ = ::eventfd(0, 0), release_ = ::eventfd(0, 0);
    std::vector<int> held_connections_;  // the serving thread's only
    std::mutex mutex_;
    std::vector<std::string> seen_;
    bool holding_ = false;
    std::vector<HeldQuery> held_;
    std::thread thread_;
};
const dns::ResolverOpts kShort{std::chrono::milliseconds(150), 2};

std::shared_ptr<const dns::Catalog> forwarding_catalog(std::vector<dns::SocketAddr> servers,
                                                       dns::ResolverOpts opts = kShort) {
    auto [server, shutdown_rx] = DnsServerRef::create({std::move(servers), opts});
    AgentConfig config(test_identity());
    add_network(config, "https://example.com/a.toml").desired_state.hostnames = {
        hosts({{Ipv4Addr(10, 1, 0, 1), "alpha"}}), std::nullopt};
    server.with_state([&](server::State& state) { state.update_catalog(config.network); });
    return server.catalog();
}

DnsServerRequest request_for(const QuerySpec& spec, std::shared_ptr<AsyncDevice> tun) {
    DnsServerRequest r;
    r.payload = make_query(spec);
    r.tun = std::move(tun);
    r.src = Ipv4Addr(10, 1, 0, 5);
    r.src_port = 40000;
    r.dst = Ipv4Addr(10, 1, 255, 254);
    r.dst_port = 53;
    return r;
}

// The next reply written into the tunnel within `wait`, with its size.
std::optional<DecodedReply> next_reply(int fd, std::size_t* size = nullptr,
                                       std::chrono::milliseconds wait = std::chrono::seconds(3)) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(wait.count())) != 1) {
        ADD_FAILURE() << "no reply";
        return std::nullopt;
    }
    std::vector<uint8_t> buf(70000);
    buf.resize(
        static_cast<std::size_t>(std::max<ssize_t>(::recv(fd, buf.data(), buf.size(), 0), 0)));
    auto packet = check_reply_packet(buf);
    if (!packet) {
        return std::nullopt;
    }
    if (size != nullptr) {
        *size = packet->message.size();
    }
    return decode_reply(packet->message);
}

TEST(DnsForwardTest, AnswersOtherNamesFromUpstreamByTheCatalogRules) {
    using namespace dns::response_code;
    auto runtime = Runtime::create(2);
    auto pair = make_device_pair(runtime->executor());
    Upstream upstream;
    auto catalog = forwarding_catalog({upstream.addr()});
    struct Case {
        const char* name;
        QuerySpec query;
        uint16_t rcode;
        std::size_t answers;
        std::vector<std::string> seen;
    };
    // What the upstream sees: `n` UDP queries for `name` with RD.
    auto udp = [](const std::string& name, std::size_t n) {
        return std::vector<std::string>(n, "udp " + name + " +rd");
    };
    QuerySpec edns = question("WWW.Example.COM.");
    edns.edns = EdnsSpec{1232, 0, true};
    QuerySpec small = question("many.example.com.");
    small.edns = EdnsSpec{512, 0, false};
    QuerySpec no_rd = question("www.example.com.");
    no_rd.recursion_desired = false;
    const Case cases[] = {
        {"upstream records", edns, kNoError, 2, {"udp WWW.Example.COM. +rd"}},
        {"NXDOMAIN", question("nx.example.com."), kNxDomain, 0, {"udp nx.example.com. +rd"}},
        {"TC asks over TCP",
         question("tc.example."),
         kNoError,
         2,
         {"udp tc.example. +rd", "tcp tc.example. +rd"}},
        // 30 records of 32 bytes do not fit in 512 bytes: some are left out, TC set.
        {"client limit", small, kNoError, 14, {"udp many.example.com. +rd"}},
        {"overlay name", question("alpha.quorvel.internal."), kNoError, 1, {}},
        {"no RD", no_rd, kRefused, 0, {}},
        {"stray datagrams", question("stray.example."), kNoError, 2, udp("stray.example.", 1)},
        {"refused upstream", question("refused.example."), kServFail, 0,
         udp("refused.example.", 2)},
        {"garbage", question("garbage.example."), kServFail, 0, udp("garbage.example.", 2)},
        {"silent", question("silent.example."), kServFail, 0, udp("silent.example.", 2)},
    };
    std::size_t seen_before = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        handle_dns_request(request_for(c.query, pair->device), catalog, runtime->executor());
        std::size_t size = 0;
        auto reply = next_reply(pair->host, &size);
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->rcode, c.rcode);
        EXPECT_TRUE(reply->ra);
        EXPECT_FALSE(reply->aa);
        EXPECT_EQ(reply->id, c.query.id);
        ASSERT_EQ(reply->questions.size(), 1u);
        EXPECT_EQ(reply->questions[0].substr(0, c.query.questions[0].name.size()),
                  c.query.questions[0].name);
        EXPECT_EQ(reply->answers.size(), c.answers);
        EXPECT_EQ(reply->tc, c.query.edns && c.query.edns->size == 512);
        EXPECT_LE(size, c.query.edns ? c.query.edns->size : 4096);
        EXPECT_EQ(reply->edns, c.query.edns.has_value());
        if (reply->edns) {
            EXPECT_EQ(reply->edns_size, c.query.edns->size);
        }
        if (c.answers > 0 && c.rcode == kNoError && c.seen.size() > 0) {
            EXPECT_EQ(reply->answer_ttls[0], 300u);  // as the upstream gave it
            EXPECT_EQ(reply->answers[1].second, Ipv4Addr(192, 0, 2, 2));
        }
        auto seen = upstream.seen();
        EXPECT_EQ(std::vector<std::string>(seen.begin() + seen_before, seen.end()), c.seen);
        seen_before = seen.size();
    }
}

// The query's task hands a lookup off: an overlay query behind a silent one is answered first.
TEST(DnsForwardTest, ServersAreAskedInTurnWithoutHoldingUpOtherQueries) {
    auto runtime = Runtime::create(2);
    auto pair = make_device_pair(runtime->executor());
    Upstream silent(true), answering;
    auto catalog = forwarding_catalog({silent.addr(), answering.addr()}, {kShort.timeout, 3});
    handle_dns_request(request_for(question("www.example."), pair->device), catalog,
                       runtime->executor());
    handle_dns_request(request_for(question("alpha.quorvel.internal."), pair->device), catalog,
                       runtime->executor());
    auto first = next_reply(pair->host);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->questions[0], "alpha.quorvel.internal. A IN");
    auto second = next_reply(pair->host);
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->rcode, dns::response_code::kNoError);
    EXPECT_EQ(second->answers.size(), 2u);
    EXPECT_EQ(silent.seen().size(), 1u);
    EXPECT_EQ(answering.seen().size(), 1u);

    // Both silent: three attempts in turn, then SERVFAIL.
    handle_dns_request(request_for(question("silent.example."), pair->device), catalog,
                       runtime->executor());
    auto failed = next_reply(pair->host);
    ASSERT_TRUE(failed.has_value());
    EXPECT_EQ(failed->rcode, dns::response_code::kServFail);
    EXPECT_EQ(silent.seen().size(), 3u);
    EXPECT_EQ(answering.seen().size(), 2u);
}

TEST(DnsForwardTest, EveryRebuildLogsItsUpstreamsAndMakesANewForwarder) {
    auto runtime = Runtime::create(1);
    auto pair = make_device_pair(runtime->executor());
    Upstream upstream;
    auto [server, shutdown_rx] = DnsServerRef::create({{upstream.addr()}, kShort});
    AgentConfig config(test_identity());
    auto& network = add_network(config, "https://example.com/a.toml");
    const std::string servers = "[127.0.0.1:" + std::to_string(upstream.addr().port()) + "]";
    std::shared_ptr<const dns::ForwardAuthority> previous;
    for (const char* host : {"alpha", "beta"}) {
        network.desired_state.hostnames = {hosts({{Ipv4Addr(10, 1, 0, 9), host}}), std::nullopt};
        log::ScopedCapture capture;
        server.with_state([&](server::State& state) { state.update_catalog(config.network); });
        EXPECT_TRUE(capture->contains(log::Level::Trace, "Using upstream servers: " + servers));
        EXPECT_TRUE(capture->contains(
            log::Level::Trace,
            "Added ForwardAuthority for root zone with upstream DNS forwarding: " + servers));
        EXPECT_FALSE(capture->contains_substring(log::Level::Trace, "No upstream servers"));
        auto catalog = server.catalog();
        EXPECT_EQ(catalog->zone_count(), 2u);
        EXPECT_NE(catalog->forwarder(), previous);
        previous = catalog->forwarder();
        for (const std::string& name :
             {std::string(host) + ".quorvel.internal.", std::string("www.example.")}) {
            handle_dns_request(request_for(question(name), pair->device), catalog,
                               runtime->executor());
            auto reply = next_reply(pair->host);
            ASSERT_TRUE(reply.has_value());
            EXPECT_EQ(reply->answers.size(), name.starts_with("www") ? 2u : 1u) << name;
        }
    }
    EXPECT_EQ(upstream.seen().size(), 2u);

    auto [plain, rx] = DnsServerRef::create({});
    log::ScopedCapture capture;
    plain.with_state([&](server::State& state) { state.update_catalog(config.network); });
    EXPECT_TRUE(capture->contains(log::Level::Trace, "Using upstream servers: []"));
    EXPECT_TRUE(capture->contains(
        log::Level::Trace,
        "No upstream servers configured, skipping ForwardAuthority for root zone"));
    EXPECT_EQ(plain.catalog()->forwarder(), nullptr);
}

// Lookups waiting on a silent upstream hold their slots: the limit holds, and the slots come
// back with the SERVFAIL replies.
TEST(DnsForwardTest, SilentUpstreamKeepsTheQueryLimit) {
    auto runtime = Runtime::create(2);
    auto pair = make_device_pair(runtime->executor());
    Upstream silent(true);
    auto [server, shutdown_rx] =
        DnsServerRef::create({{silent.addr()}, {std::chrono::milliseconds(400), 1}});
    server.with_state([](server::State& state) { state.update_catalog(NetworkMap{}); });
    auto [request_tx, request_rx] = unbounded_channel<DnsServerRequest>();
    runtime->spawn([](DnsServerDriver driver) -> boost::asio::awaitable<void> {
        co_await DnsServerDriver::run(std::move(driver));
    }(DnsServerDriver(server, std::move(request_rx), std::move(shutdown_rx))));
    auto dns = std::make_shared<MobileAgentDns>(server, request_tx, 3);
    for (int i = 0; i < 5; ++i) {
        auto sent = dns->send(request_for(question("www.example."), pair->device));
        EXPECT_EQ(sent.has_value(), i < 3) << i;
    }
    EXPECT_TRUE(eventually([&] { return silent.seen().size() == 3; }));
    EXPECT_EQ(dns->query_limit().in_use(), 3u);
    for (int i = 0; i < 3; ++i) {
        auto reply = next_reply(pair->host);
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->rcode, dns::response_code::kServFail);
    }
    EXPECT_TRUE(eventually([&] { return dns->query_limit().in_use() == 0; }));
    EXPECT_TRUE(dns->send(request_for(question("www.example."), pair->device)).has_value());
    dns->shutdown();
}

// Upstreams that misbehave: each lookup ends in SERVFAIL, every attempt made, within the attempts'
// time. The ones whose TCP exchange fails at once run with the real time limit and must answer in
// well under it: a failed exchange ends its attempt instead of waiting for the deadline.
TEST(DnsForwardTest, HostileUpstreamsFailWithinTheirAttempts) {
    using std::chrono::milliseconds;
    auto runtime = Runtime::create(2);
    auto pair = make_device_pair(runtime->executor());
    const dns::ResolverOpts real{};
    struct Case {
        const char* name;
        Behaviour behaviour;
        const char* query;
        dns::ResolverOpts opts;
        std::vector<std::string> seen_per_attempt;
    };
    const Case cases[] = {
        {"TCP refused", {.tcp = Tcp::Refuse}, "tc.example.", real, {"udp tc.example. +rd"}},
        {"TCP closed after accept",
         {.tcp = Tcp::CloseOnAccept},
         "tc.example.",
         real,
         {"udp tc.example. +rd", "tcp closed"}},
        {"TCP answer to another id",
         {.tcp = Tcp::WrongId},
         "tc.example.",
         real,
         {"udp tc.example. +rd", "tcp tc.example. +rd"}},
        {"TCP length 0xFFFF, then nothing",
         {.tcp = Tcp::Stall},
         "tc.example.",
         kShort,
         {"udp tc.example. +rd", "tcp tc.example. +rd"}},
        {"UDP answer from another port",
         {.answer_from_other_port = true},
         "www.example.",
         kShort,
         {"udp www.example. +rd"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Upstream upstream(c.behaviour);
        auto catalog = forwarding_catalog({upstream.addr()}, c.opts);
        const auto all_attempts = c.opts.timeout * static_cast<int>(c.opts.attempts);
        const auto started = std::chrono::steady_clock::now();
        handle_dns_request(request_for(question(c.query), pair->device), catalog,
                           runtime->executor());
        // Long enough for a lookup that waits out every attempt to show as too slow, not lost.
        auto reply = next_reply(pair->host, nullptr, all_attempts + std::chrono::seconds(5));
        const auto elapsed = std::chrono::steady_clock::now() - started;
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->rcode, dns::response_code::kServFail);
        EXPECT_TRUE(reply->answers.empty());
        EXPECT_LT(elapsed, real.timeout * static_cast<int>(real.attempts) / 2);
        std::vector<std::string> seen;
        for (std::size_t i = 0; i < c.opts.attempts; ++i) {
            seen.insert(seen.end(), c.seen_per_attempt.begin(), c.seen_per_attempt.end());
        }
        EXPECT_TRUE(eventually([&] { return upstream.seen().size() >= seen.size(); }));
        EXPECT_EQ(upstream.seen(), seen);
    }
}

std::size_t open_descriptors() {
    return static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                      std::filesystem::directory_iterator{}));
}

// Each lookup waiting upstream holds a socket, so only kMaxForwardsInFlight of them wait at once,
// whatever catalog they came through; the queries past that get SERVFAIL at once, and the slots
// come back as the lookups end.
TEST(DnsForwardTest, LookupsWaitingUpstreamAreCapped) {
    constexpr std::size_t kMax = dns::kMaxForwardsInFlight;
    constexpr std::size_t kExtra = 40;
    auto runtime = Runtime::create(2);
    auto pair = make_device_pair(runtime->executor());
    Upstream upstream;
    // Nothing times out in this test: the held lookups end when the upstream answers.
    auto [server, shutdown_rx] =
        DnsServerRef::create({{upstream.addr()}, {std::chrono::seconds(60), 1}});
    const auto rebuild = [&] {
        server.with_state([](server::State& state) { state.update_catalog(NetworkMap{}); });
    };
    rebuild();
    auto slots = server.with_state([](server::State& state) { return state.forward_slots; });
    for (std::size_t round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        upstream.hold(true);
        const std::size_t descriptors = open_descriptors();
        for (std::size_t i = 0; i < kMax; ++i) {
            handle_dns_request(request_for(question("www.example."), pair->device),
                               server.catalog(), runtime->executor());
        }
        rebuild();
        for (std::size_t i = 0; i < kExtra; ++i) {
            handle_dns_request(request_for(question("extra.example."), pair->device),
                               server.catalog(), runtime->executor());
        }
        for (std::size_t i = 0; i < kExtra; ++i) {
            auto reply = next_reply(pair->host);
            ASSERT_TRUE(reply.has_value()) << i;
            EXPECT_EQ(reply->rcode, dns::response_code::kServFail);
            EXPECT_EQ(reply->questions[0], "extra.example. A IN");
        }
        EXPECT_TRUE(eventually([&] { return upstream.seen().size() == round * kMax; }));
        EXPECT_EQ(slots->in_use(), kMax);
        // One socket per waiting lookup, and a few to spare for whatever else the process does.
        EXPECT_LE(open_descriptors(), descriptors + kMax + 8);

        upstream.hold(false);
        for (std::size_t i = 0; i < kMax; ++i) {
            auto reply = next_reply(pair->host);
            ASSERT_TRUE(reply.has_value()) << i;
            EXPECT_EQ(reply->rcode, dns::response_code::kNoError);
            EXPECT_EQ(reply->answers.size(), 2u);
        }
        EXPECT_TRUE(eventually([&] { return slots->in_use() == 0; }));
    }
    auto seen = upstream.seen();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "udp www.example. +rd"),
              static_cast<std::ptrdiff_t>(2 * kMax));
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "udp extra.example. +rd"), 0);
}

}  // namespace
}  // namespace quorvel::agent
