#include "agent/router/mobile_router.h"

#include "agent/config/agent_config.h"
#include "util/log.h"

namespace quorvel::agent {

void apply_unsupported_forwarding(AgentConfig& config) {
    for (auto& [url, network] : config.network) {
        const auto& desired = network.desired_state.forwardings;
        if (!desired.applied || desired.applied->empty()) {
            network.current_state.forwardings = desired;
            continue;
        }
        QV_WARN(kRouterCommonTarget, "{}", kForwardingUnsupported);
        network.current_state.forwardings = {std::nullopt, std::string(kForwardingUnsupported)};
    }
}

boost::asio::awaitable<void> MobileAgentRouter::apply_desired_state(AgentConfig& config) {
    QV_TRACE(kRouterTarget,
             "We're running on a mobile platform where the network listener handles route "
             "updates. Therefore, we just assume everything is fine and hope for the best! "
             "\U0001F91E");
    for (auto& [url, network] : config.network) {
        network.current_state.routes = network.desired_state.routes;
    }
    apply_unsupported_forwarding(config);
    co_return;
}

}  // namespace quorvel::agent
