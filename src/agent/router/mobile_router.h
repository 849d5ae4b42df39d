// This platform's route hook. The host installs the routes itself from the network-change report
// and the agent cannot forward for other nodes: the hook records every network's desired routes as
// applied, and records forwarding as failed for a network in which this node is a gateway.
#pragma once

#include "agent/router/agent_router.h"

#include <string_view>

namespace quorvel::agent {

inline constexpr std::string_view kRouterTarget = "quorvel_agent::agent::router::mobile";
inline constexpr std::string_view kRouterCommonTarget = "quorvel_agent::agent::router::common";
inline constexpr std::string_view kForwardingUnsupported =
    "We're configured as a gateway. Forwarding is not supported on this platform.";

class MobileAgentRouter final : public AgentRouter {
  public:
    boost::asio::awaitable<void> apply_desired_state(AgentConfig& config) override;
};

// Records the networks' desired forwardings as applied where they are absent or empty, and the
// unsupported-forwarding error (with a warning) where this node is a gateway.
void apply_unsupported_forwarding(AgentConfig& config);

}  // namespace quorvel::agent
