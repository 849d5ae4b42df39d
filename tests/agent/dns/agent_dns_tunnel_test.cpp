// The whole road of a DNS query through a running agent: written into the host's tunnel, read by
// the tunnel-device driver, found without a route by the firewall, taken by the DNS component and
// answered back into the tunnel.
#include "agent/agent.h"

#include "agent/agent_test_util.h"
#include "agent/dns/dns_test_util.h"
#include "util/async_test_util.h"
#include "util/runtime.h"
#include "util/temp_dir.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quorvel::agent {
namespace {

using namespace testing;
using namespace std::chrono_literals;

const Ipv4Addr kClient(10, 1, 0, 5);
const Ipv4Addr kDnsAddr(10, 1, 255, 254);

std::optional<std::vector<uint8_t>> read_packet(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 5000) != 1) {
        return std::nullopt;
    }
    std::vector<uint8_t> buf(4096);
    const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n <= 0) {
        return std::nullopt;
    }
    buf.resize(static_cast<std::size_t>(n));
    return buf;
}

TEST(AgentDnsTunnelTest, QueriesThroughTheTunnelAreAnswered) {
    quorvel::testing::TempDir dir;
    auto runtime = Runtime::create(2);
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
    const int host = fds[1];
    auto device = AsyncDevice::from_fd(runtime->executor(), fds[0]);
    ASSERT_TRUE(device.has_value());

    auto started =
        runtime->block_on(Agent::start(AgentConfig(test_identity()), dir.file("config.toml"),
                                       PlatformDependent{*device, [](NetworkChange) {}}, 10s));
    ASSERT_TRUE(started.has_value() && started->has_value());
    Agent agent = std::move(started->value());
    ASSERT_TRUE(
        quorvel::testing::eventually([&] { return agent.inner()->completed_passes() >= 1; }));
    auto applied =
        runtime->block_on([](std::shared_ptr<AgentInner> inner) -> boost::asio::awaitable<void> {
            auto state = co_await inner->state().write();
            auto& n = add_network(state->config, "https://example.com/n.toml");
            n.desired_state.ip = {net("10.1.0.5/16"), std::nullopt};
            n.desired_state.hostnames = {hosts({{Ipv4Addr(10, 1, 0, 1), "alpha"}}), std::nullopt};
            co_await AgentInner::apply_desired_state(inner, *state);
        }(agent.inner()));
    ASSERT_TRUE(applied.has_value());

    const auto query = query_packet(kClient, 40000, kDnsAddr, make_query(QuerySpec{}));
    ASSERT_EQ(::send(host, query.data(), query.size(), 0), static_cast<ssize_t>(query.size()));
    auto packet = read_packet(host);
    ASSERT_TRUE(packet.has_value());
    auto reply = check_reply_packet(*packet);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->src, kDnsAddr);
    EXPECT_EQ(reply->src_port, 53);
    EXPECT_EQ(reply->dst, kClient);
    EXPECT_EQ(reply->dst_port, 40000);
    auto decoded = decode_reply(reply->message);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(decoded->rcode, 0);
    ASSERT_EQ(decoded->answers.size(), 1u);
    EXPECT_EQ(decoded->answers[0].second, Ipv4Addr(10, 1, 0, 1));

    // Another port of the DNS address is not the server's: the packet path answers with ICMP
    // Host Unreachable instead.
    const auto other = query_packet(kClient, 40000, kDnsAddr, make_query(QuerySpec{}), 5353);
    ASSERT_EQ(::send(host, other.data(), other.size(), 0), static_cast<ssize_t>(other.size()));
    packet = read_packet(host);
    ASSERT_TRUE(packet.has_value());
    ASSERT_GE(packet->size(), 28u);
    EXPECT_EQ((*packet)[9], 1);   // ICMP
    EXPECT_EQ((*packet)[20], 3);  // destination unreachable
    EXPECT_EQ((*packet)[21], 1);  // host unreachable

    ASSERT_TRUE(runtime->block_on(agent.shutdown()).has_value());
    ::close(host);
}

}  // namespace
}  // namespace quorvel::agent
