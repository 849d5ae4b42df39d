#include "agent/router/mobile_router.h"

#include "agent/agent_test_util.h"
#include "util/log.h"
#include "util/runtime.h"

#include <gtest/gtest.h>

namespace quorvel::agent {
namespace {

using namespace testing;

constexpr std::string_view kRouterLine =
    "We're running on a mobile platform where the network listener handles route updates. "
    "Therefore, we just assume everything is fine and hope for the best! \U0001F91E";

void apply(AgentConfig& config) {
    auto runtime = Runtime::create(1);
    MobileAgentRouter router;
    ASSERT_TRUE(runtime->block_on(router.apply_desired_state(config)).has_value());
}

TEST(MobileAgentRouterTest, CopiesRoutesAndRefusesForwarding) {
    log::ScopedCapture capture;
    AgentConfig config(test_identity());
    auto& plain = add_network(config, "https://example.com/plain.toml");
    plain.desired_state.routes = {routes_to("10.9.0.0/16", "10.1.0.3"), std::nullopt};
    plain.desired_state.forwardings = {network::EffectiveForwardingList{}, std::nullopt};
    auto& absent = add_network(config, "https://example.com/absent.toml");
    absent.desired_state.routes = {std::nullopt, "desired error is copied too"};
    absent.current_state.forwardings = {forwarding_for("10.7.0.0/16"), std::nullopt};
    auto& gateway = add_network(config, "https://example.com/gateway.toml");
    gateway.desired_state.routes = {routes_to("10.8.0.0/16", "10.2.0.1"), std::nullopt};
    gateway.desired_state.forwardings = {forwarding_for("10.8.0.0/16"), std::nullopt};
    gateway.disabled = true;  // the hook does not look at the flag

    apply(config);

    EXPECT_EQ(plain.current_state.routes, plain.desired_state.routes);
    EXPECT_EQ(plain.current_state.forwardings, plain.desired_state.forwardings);
    EXPECT_EQ(absent.current_state.routes, absent.desired_state.routes);
    EXPECT_TRUE(absent.current_state.forwardings.is_empty());
    EXPECT_EQ(gateway.current_state.routes, gateway.desired_state.routes);
    EXPECT_EQ(gateway.current_state.forwardings,
              (network::AppliedStatus<network::EffectiveForwardingList>{
                  std::nullopt, std::string(kForwardingUnsupported)}));
    EXPECT_EQ(kForwardingUnsupported.size(), 76u);
    EXPECT_EQ(capture->count(log::Level::Warn, kForwardingUnsupported), 1u);
    EXPECT_EQ(capture->count(log::Level::Trace, kRouterLine), 1u);

    // One warning per gateway network at every application.
    add_network(config, "https://example.com/gateway2.toml").desired_state.forwardings = {
        forwarding_for("10.6.0.0/16"), std::nullopt};
    apply(config);
    EXPECT_EQ(capture->count(log::Level::Warn, kForwardingUnsupported), 3u);
}

TEST(MobileAgentRouterTest, EmptyMapLogsOnlyTheTraceLine) {
    log::ScopedCapture capture;
    AgentConfig config(test_identity());
    apply(config);
    auto events = capture->events();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].message, kRouterLine);
}

}  // namespace
}  // namespace quorvel::agent
