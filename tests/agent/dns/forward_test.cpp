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

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <optional>
#include <random>
#include <string_view>
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

// A zone of names that no other test run asks for, such as "3f09a1c4.example.": what a test's
// name servers take as its queries.
std::string fresh_zone() {
    std::random_device random;
    return fmt::format("{:08x}.example.", random());
}

// A query a test's name server takes as one of its test's.
struct OwnQuery {
    std::string name;   // as sent, e.g. "WWW.3f09a1c4.example."
    std::string label;  // the first label, which picks the answer
    bool rd = false;
    bool edns = false;
    std::size_t question_end = 0;  // offset past the question's type and class
};

// `q` read as a well-formed query with one question for a name in `zone` (in any case), and at
// most an OPT record after it; nothing for anything else: datagrams that other programs send to a
// port the test has just bound, queries of other tests, answers.
std::optional<OwnQuery> own_query(std::span<const uint8_t> q, std::string_view zone) {
    const auto u16 = [&](std::size_t at) {
        return static_cast<uint16_t>((q[at] << 8) | q[at + 1]);
    };
    if (q.size() < 12 || (q[2] & 0xf8) != 0 || u16(4) != 1 || u16(6) != 0 || u16(8) != 0 ||
        u16(10) > 1) {
        return std::nullopt;  // a response, another op code, or other counts
    }
    std::size_t end = 12;
    while (end < q.size() && q[end] != 0) {
        if (q[end] > 63 || end - 12 + q[end] + 1 > 254) {
            return std::nullopt;  // a compression pointer, or too long
        }
        end += q[end] + 1u;
    }
    const std::size_t opt = q[11] != 0 ? 11 : 0;  // a root name, type, class, TTL and no data
    if (end == 12 || end + 5 + opt != q.size() ||
        (opt != 0 && (q[end + 5] != 0 || u16(end + 6) != 41))) {
        return std::nullopt;
    }
    OwnQuery own{dns::name_text(q.subspan(12, end + 1 - 12)),
                 std::string(q.begin() + 13, q.begin() + 13 + q[12]), (q[2] & 1) != 0, opt != 0,
                 end + 5};
    const std::string suffix = "." + std::string(zone);
    const auto lower = [](std::string text) {
        std::transform(text.begin(), text.end(), text.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        return text;
    };
    if (!lower(own.name).ends_with(suffix)) {
        return std::nullopt;
    }
    return own;
}

// A name server of the test's own on 127.0.0.1, UDP and TCP on one ephemeral port. It takes only
// queries for names in its zone and ignores whatever else reaches its port. The first label of
// the question picks the answer: "nx" NXDOMAIN, "refused" REFUSED, "garbage" bytes that do not
// decode, "silent" none, "tc" a truncated one over UDP and the whole one over TCP, "many" 30 A
// records, "stray" first answers to another id, another name, a query and bytes that do not
// decode; any other name two A records, TTL 300. A silent server answers nothing at all; while
// held (`hold`), UDP queries are kept and answered when released.
class Upstream {
  public:
    explicit Upstream(Behaviour behaviour = {}, std::string zone = fresh_zone())
        : behaviour_(behaviour), zone_(std::move(zone)) {
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
    const std::string& zone() const { return zone_; }
    // `label` in the zone: "www" gives "www.3f09a1c4.example.".
    std::string name(std::string_view label) const { return std::string(label) + "." + zone_; }
    // "udp name." or "tcp name." per query received, with "+rd" when RD was set and "+edns"
    // when it carried an OPT record; "tcp closed" per connection closed unread.
    std::vector<std::string> seen() {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    // What was seen once there are `count` entries, or after 10 seconds: the serving thread may
    // not have caught up with what the lookups have sent, on a loaded machine.
    std::vector<std::string> await_seen(std::size_t count) {
        std::unique_lock lock(mutex_);
        seen_grew_.wait_for(lock, std::chrono::seconds(10), [&] { return seen_.size() >= count; });
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
        OwnQuery own;
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
    void note(std::string entry) {
        std::lock_guard lock(mutex_);
        seen_.push_back(std::move(entry));
        seen_grew_.notify_all();
    }
    void record(const OwnQuery& own, bool tcp) {
        note(std::string(tcp ? "tcp " : "udp ") + own.name + (own.rd ? " +rd" : "") +
             (own.edns ? " +edns" : ""));
    }
    // The messages that answer `q`, in order.
    std::vector<std::vector<uint8_t>> answer_to(const std::vector<uint8_t>& q, const OwnQuery& own,
                                                bool tcp) {
        const std::string& label = own.label;
        if (behaviour_.silent || label == "silent") {
            return {};
        }
        const std::vector<uint8_t> garbage = {q[0], q[1], 0x81, 0x80, 0, 1, 0,
                                              5,    0,    0,    0,    0, 3, 'w'};
        if (label == "garbage") {
            return {garbage};
        }
        std::vector<uint8_t> out(q.begin(),
                                 q.begin() + static_cast<std::ptrdiff_t>(own.question_end));
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
        // The strays carry other addresses, 198.51.100.x: a lookup that took one shows it.
        const uint8_t other_net[] = {198, 51, 100};
        std::vector<uint8_t> decoy = out;
        for (std::size_t i = 0; i < static_cast<std::size_t>(n); ++i) {
            std::copy(std::begin(other_net), std::end(other_net),
                      decoy.begin() + static_cast<std::ptrdiff_t>(own.question_end + 16 * i + 12));
        }
        std::vector<std::vector<uint8_t>> strays(3, decoy);
        ++strays[0][1];       // another id
        strays[1][13] = 'x';  // another name
        strays[2][2] = 0x01;  // a query
        strays.push_back(garbage);
        strays.push_back(out);
        return strays;
    }
    void answer_udp(const sockaddr_in& to, const std::vector<uint8_t>& q, const OwnQuery& own) {
        const int from = behaviour_.answer_from_other_port ? other_udp_ : udp_;
        for (const auto& a : answer_to(q, own, false)) {
            ::sendto(from, a.data(), a.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                     sizeof to);
        }
    }
    void serve_tcp() {
        const int conn = ::accept(tcp_, nullptr, nullptr);
        if (conn < 0) {
            return;
        }
        if (behaviour_.tcp == Tcp::CloseOnAccept) {
            note("tcp closed");
            ::close(conn);
            return;
        }
        // A connection that never sends its query must not hold up the UDP side.
        const timeval patience{5, 0};
        ::setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
        uint8_t hdr[2];
        std::vector<uint8_t> q;
        if (::recv(conn, hdr, 2, MSG_WAITALL) == 2) {
            q.resize((hdr[0] << 8) | hdr[1]);
            if (::recv(conn, q.data(), q.size(), MSG_WAITALL) != ssize_t(q.size())) {
                q.clear();
            }
        }
        const auto own = own_query(q, zone_);
        if (!own) {
            ::close(conn);
            return;
        }
        record(*own, true);
        auto a = answer_to(q, *own, true).back();
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
    void serve_udp() {
        std::vector<uint8_t> q(4096);
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const auto n =
            ::recvfrom(udp_, q.data(), q.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        q.resize(static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        const auto own = own_query(q, zone_);
        if (!own) {
            return;
        }
        record(*own, false);
        std::unique_lock lock(mutex_);
        if (holding_) {
            held_.push_back({from, std::move(q), *own});
        } else {
            lock.unlock();
            answer_udp(from, q, *own);
        }
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
                for (const auto& [from, query, own] : released) {
                    answer_udp(from, query, own);
                }
            }
            if (p[0].revents != 0) {
                serve_udp();
            }
            if (p[1].revents != 0) {
                serve_tcp();
            }
        }
    }

    Behaviour behaviour_;
    std::string zone_;
    int udp_ = -1, tcp_ = -1, other_udp_ = -1, stop_ = ::eventfd(0, 0), release_ = ::eventfd(0, 0);
    std::vector<int> held_connections_;  // the serving thread's only
    std::mutex mutex_;
    std::condition_variable seen_grew_;
    std::vector<std::string> seen_;
    bool holding_ = false;
    std::vector<HeldQuery> held_;
    std::thread thread_;
};

// Lookups that the upstream answers, or fails at once, wait for nothing else: their time limit
// only has to leave a loaded machine's name server time to answer.
const dns::ResolverOpts kPatient{std::chrono::seconds(10), 2};
// Lookups that wait out their attempts (a silent upstream, answers ignored): what they end with
// does not depend on how soon the name server answers.
const dns::ResolverOpts kShort{std::chrono::milliseconds(150), 2};

std::shared_ptr<const dns::Catalog> forwarding_catalog(std::vector<dns::SocketAddr> servers,
                                                       dns::ResolverOpts opts) {
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
                                       std::chrono::milliseconds wait = std::chrono::seconds(10)) {
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
    struct Case {
        const char* name;
        QuerySpec query;
        dns::ResolverOpts opts;
        uint16_t rcode;
        std::size_t answers;
        std::vector<std::string> seen;
    };
    // What the upstream sees: `n` UDP queries for `name` with RD.
    auto udp = [](const std::string& name, std::size_t n) {
        return std::vector<std::string>(n, "udp " + name + " +rd");
    };
    const auto ask = [&](std::string_view label) { return question(upstream.name(label)); };
    QuerySpec edns = ask("WWW.Example");
    edns.edns = EdnsSpec{1232, 0, true};
    QuerySpec small = ask("many");
    small.edns = EdnsSpec{512, 0, false};
    QuerySpec no_rd = ask("www");
    no_rd.recursion_desired = false;
    const Case cases[] = {
        {"upstream records", edns, kPatient, kNoError, 2, udp(upstream.name("WWW.Example"), 1)},
        {"NXDOMAIN", ask("nx"), kPatient, kNxDomain, 0, udp(upstream.name("nx"), 1)},
        {"TC asks over TCP",
         ask("tc"),
         kPatient,
         kNoError,
         2,
         {"udp " + upstream.name("tc") + " +rd", "tcp " + upstream.name("tc") + " +rd"}},
        // 30 records of 37 bytes (the name's 23 and 14 more) do not fit in 512 bytes: some are
        // left out, TC set.
        {"client limit", small, kPatient, kNoError, 12, udp(upstream.name("many"), 1)},
        {"overlay name", question("alpha.quorvel.internal."), kPatient, kNoError, 1, {}},
        {"no RD", no_rd, kPatient, kRefused, 0, {}},
        // Answers to another id or name, a query and bytes that do not decode are passed over
        // while the attempt waits for its answer.
        {"stray datagrams", ask("stray"), kPatient, kNoError, 2, udp(upstream.name("stray"), 1)},
        {"refused upstream", ask("refused"), kPatient, kServFail, 0,
         udp(upstream.name("refused"), 2)},
        {"garbage", ask("garbage"), kShort, kServFail, 0, udp(upstream.name("garbage"), 2)},
        {"silent", ask("silent"), kShort, kServFail, 0, udp(upstream.name("silent"), 2)},
    };
    std::size_t seen_before = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto catalog = forwarding_catalog({upstream.addr()}, c.opts);
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
        auto seen = upstream.await_seen(seen_before + c.seen.size());
        EXPECT_EQ(std::vector<std::string>(seen.begin() + static_cast<std::ptrdiff_t>(seen_before),
                                           seen.end()),
                  c.seen);
        seen_before = seen.size();
    }
}

// The query's task hands a lookup off: an overlay query behind a silent one is answered first.
TEST(DnsForwardTest, ServersAreAskedInTurnWithoutHoldingUpOtherQueries) {
    auto runtime = Runtime::create(2);
    auto pair = make_device_pair(runtime->executor());
    Upstream silent(Behaviour{.silent = true}), answering({}, silent.zone());
    // The lookup waits out the silent server's whole attempt before it asks the other, which
    // then has as long to answer.
    auto catalog =
        forwarding_catalog({silent.addr(), answering.addr()}, {std::chrono::seconds(3), 3});
    handle_dns_request(request_for(question(silent.name("www")), pair->device), catalog,
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
    EXPECT_EQ(silent.await_seen(1), std::vector<std::string>{"udp " + silent.name("www") + " +rd"});
    EXPECT_EQ(answering.await_seen(1),
              std::vector<std::string>{"udp " + silent.name("www") + " +rd"});

    // Both silent: three attempts in turn, then SERVFAIL. Nothing answers in time here however
    // soon the servers read their queries, so the attempts can be short.
    auto impatient = forwarding_catalog({silent.addr(), answering.addr()}, {kShort.timeout, 3});
    handle_dns_request(request_for(question(silent.name("silent")), pair->device), impatient,
                       runtime->executor());
    auto failed = next_reply(pair->host);
    ASSERT_TRUE(failed.has_value());
    EXPECT_EQ(failed->rcode, dns::response_code::kServFail);
    const std::string asked = "udp " + silent.name("silent") + " +rd";
    EXPECT_EQ(silent.await_seen(3),
              (std::vector<std::string>{"udp " + silent.name("www") + " +rd", asked, asked}));
    EXPECT_EQ(answering.await_seen(2),
              (std::vector<std::string>{"udp " + silent.name("www") + " +rd", asked}));
}

TEST(DnsForwardTest, EveryRebuildLogsItsUpstreamsAndMakesANewForwarder) {
    auto runtime = Runtime::create(1);
    auto pair = make_device_pair(runtime->executor());
    Upstream upstream;
    auto [server, shutdown_rx] = DnsServerRef::create({{upstream.addr()}, kPatient});
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
             {std::string(host) + ".quorvel.internal.", upstream.name("www")}) {
            handle_dns_request(request_for(question(name), pair->device), catalog,
                               runtime->executor());
            auto reply = next_reply(pair->host);
            ASSERT_TRUE(reply.has_value());
            EXPECT_EQ(reply->answers.size(), name.starts_with("www") ? 2u : 1u) << name;
        }
    }
    EXPECT_EQ(upstream.await_seen(2),
              std::vector<std::string>(2, "udp " + upstream.name("www") + " +rd"));

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
    Upstream silent(Behaviour{.silent = true});
    // Long enough that the lookups still wait when the slots are counted.
    const dns::ResolverOpts opts{std::chrono::seconds(2), 1};
    auto [server, shutdown_rx] = DnsServerRef::create({{silent.addr()}, opts});
    server.with_state([](server::State& state) { state.update_catalog(NetworkMap{}); });
    auto [request_tx, request_rx] = unbounded_channel<DnsServerRequest>();
    runtime->spawn([](DnsServerDriver driver) -> boost::asio::awaitable<void> {
        co_await DnsServerDriver::run(std::move(driver));
    }(DnsServerDriver(server, std::move(request_rx), std::move(shutdown_rx))));
    auto dns = std::make_shared<MobileAgentDns>(server, request_tx, 3);
    const auto www = question(silent.name("www"));
    for (int i = 0; i < 5; ++i) {
        auto sent = dns->send(request_for(www, pair->device));
        EXPECT_EQ(sent.has_value(), i < 3) << i;
    }
    EXPECT_EQ(dns->query_limit().in_use(), 3u);
    EXPECT_EQ(silent.await_seen(3),
              std::vector<std::string>(3, "udp " + silent.name("www") + " +rd"));
    for (int i = 0; i < 3; ++i) {
        auto reply = next_reply(pair->host);
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->rcode, dns::response_code::kServFail);
    }
    EXPECT_TRUE(eventually([&] { return dns->query_limit().in_use() == 0; }));
    EXPECT_TRUE(dns->send(request_for(www, pair->device)).has_value());
    dns->shutdown();
}

// Upstreams that misbehave: each lookup ends in SERVFAIL, every attempt made, within the attempts'
// time. The ones whose TCP exchange fails at once run with the real time limit and must answer in
// well under it: a failed exchange ends its attempt instead of waiting for the deadline. The
// others wait out every attempt, and no less.
TEST(DnsForwardTest, HostileUpstreamsFailWithinTheirAttempts) {
    auto runtime = Runtime::create(2);
    auto pair = make_device_pair(runtime->executor());
    const dns::ResolverOpts real{};
    // The truncated answer must come within the attempt for the stalled TCP exchange to follow.
    const dns::ResolverOpts stall{std::chrono::seconds(2), 2};
    struct Case {
        const char* name;
        Behaviour behaviour;
        const char* label;
        dns::ResolverOpts opts;
        bool waits_out;
        std::vector<std::string> seen_per_attempt;  // "udp" and "tcp" for the query's name
    };
    const Case cases[] = {
        {"TCP refused", {.tcp = Tcp::Refuse}, "tc", real, false, {"udp"}},
        {"TCP closed after accept",
         {.tcp = Tcp::CloseOnAccept},
         "tc",
         real,
         false,
         {"udp", "tcp closed"}},
        {"TCP answer to another id", {.tcp = Tcp::WrongId}, "tc", real, false, {"udp", "tcp"}},
        {"TCP length 0xFFFF, then nothing", {.tcp = Tcp::Stall}, "tc", stall, true, {"udp", "tcp"}},
        {"UDP answer from another port",
         {.answer_from_other_port = true},
         "www",
         kShort,
         true,
         {"udp"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Upstream upstream(c.behaviour);
        auto catalog = forwarding_catalog({upstream.addr()}, c.opts);
        const auto all_attempts = c.opts.timeout * static_cast<int>(c.opts.attempts);
        const auto started = std::chrono::steady_clock::now();
        handle_dns_request(request_for(question(upstream.name(c.label)), pair->device), catalog,
                           runtime->executor());
        // Long enough for a lookup that waits out every attempt to show as too slow, not lost.
        auto reply = next_reply(pair->host, nullptr, all_attempts + std::chrono::seconds(5));
        const auto elapsed = std::chrono::steady_clock::now() - started;
        ASSERT_TRUE(reply.has_value());
        EXPECT_EQ(reply->rcode, dns::response_code::kServFail);
        EXPECT_TRUE(reply->answers.empty());
        if (c.waits_out) {
            EXPECT_GE(elapsed, all_attempts);
        } else {
            EXPECT_LT(elapsed, all_attempts / 2);
        }
        std::vector<std::string> seen;
        for (std::size_t i = 0; i < c.opts.attempts; ++i) {
            for (const std::string& what : c.seen_per_attempt) {
                seen.push_back(what == "tcp closed" ? what
                                                    : what + " " + upstream.name(c.label) + " +rd");
            }
        }
        EXPECT_EQ(upstream.await_seen(seen.size()), seen);
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
            handle_dns_request(request_for(question(upstream.name("www")), pair->device),
                               server.catalog(), runtime->executor());
        }
        rebuild();
        for (std::size_t i = 0; i < kExtra; ++i) {
            handle_dns_request(request_for(question(upstream.name("extra")), pair->device),
                               server.catalog(), runtime->executor());
        }
        for (std::size_t i = 0; i < kExtra; ++i) {
            auto reply = next_reply(pair->host);
            ASSERT_TRUE(reply.has_value()) << i;
            EXPECT_EQ(reply->rcode, dns::response_code::kServFail);
            EXPECT_EQ(reply->questions[0], upstream.name("extra") + " A IN");
        }
        EXPECT_EQ(upstream.await_seen(round * kMax).size(), round * kMax);
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
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "udp " + upstream.name("www") + " +rd"),
              static_cast<std::ptrdiff_t>(2 * kMax));
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "udp " + upstream.name("extra") + " +rd"), 0);
}

}  // namespace
}  // namespace quorvel::agent
