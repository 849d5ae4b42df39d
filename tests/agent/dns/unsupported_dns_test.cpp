#include "agent/dns/unsupported_dns.h"

#include "agent/agent_test_util.h"
#include "util/log.h"
#include "util/runtime.h"

#include <gtest/gtest.h>

namespace quorvel::agent {
namespace {

using namespace testing;

TEST(UnsupportedPlatformAgentDnsTest, RecordsTheReasonForEveryNetwork) {
    log::ScopedCapture capture;
    auto runtime = Runtime::create(1);
    AgentConfig config(test_identity());
    auto& enabled = add_network(config, "https://example.com/a.toml");
    network::HostnameList hosts;
    hosts.hosts.emplace(*Ipv4Addr::parse("10.1.0.1"), "alpha");
    enabled.current_state.hostnames = {hosts, std::nullopt};
    auto& disabled = add_network(config, "https://example.com/b.toml");
    disabled.disabled = true;

    UnsupportedPlatformAgentDns dns("no resolver here");
    ASSERT_TRUE(runtime->block_on(dns.apply_desired_state(config)).has_value());
    const network::AppliedStatus<network::HostnameList> expected{std::nullopt, "no resolver here"};
    EXPECT_EQ(enabled.current_state.hostnames, expected);
    EXPECT_EQ(disabled.current_state.hostnames, expected);
    EXPECT_EQ(capture->count(log::Level::Trace,
                             "DNS is not supported on this platform: no resolver here"),
              1u);

    EXPECT_FALSE(dns.is_server_ip(*Ipv4Addr::parse("10.1.0.254")));
    EXPECT_FALSE(dns.server_ip().has_value());
    auto sent = dns.send(DnsServerRequest{});
    ASSERT_FALSE(sent.has_value());
    EXPECT_EQ(sent.error(), "Failed to send DNS request");
    dns.shutdown();
    dns.shutdown();
}

TEST(UnsupportedPlatformAgentDnsTest, EmptyMapLogsOnlyTheTraceLine) {
    log::ScopedCapture capture;
    auto runtime = Runtime::create(1);
    AgentConfig config(test_identity());
    UnsupportedPlatformAgentDns dns("reason");
    ASSERT_TRUE(runtime->block_on(dns.apply_desired_state(config)).has_value());
    EXPECT_EQ(capture->events().size(), 1u);
}

}  // namespace
}  // namespace quorvel::agent
