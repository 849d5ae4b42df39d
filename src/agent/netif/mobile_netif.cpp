#include "agent/netif/mobile_netif.h"

#include "agent/inner.h"
#include "util/log.h"

namespace quorvel::agent {

bool MobileAgentNetIf::initialize_tun_device_if_available(const AgentInner& inner) {
    if (slot_.load()) {
        return true;
    }
    const auto& host_device = inner.platform_dependent()->tun_device;
    if (!host_device) {
        return true;
    }
    QV_TRACE(kNetifTarget, "Start TUN device runner (initialization)");
    auto device = TunDevice::create(inner.executor(), host_device, inner.firewall(), inner.dns(),
                                    inner.mtu());
    if (!device) {
        return false;
    }
    slot_.store(std::move(device));
    return true;
}

boost::asio::awaitable<void> MobileAgentNetIf::apply_desired_state(
    std::shared_ptr<AgentInner> inner, AgentConfig& config) {
    if (!initialize_tun_device_if_available(*inner)) {
        // Stands only until the copy below: every network's address is then recorded as applied.
        for (auto& [url, network] : config.network) {
            network.current_state.ip = {std::nullopt, "Failed to create TUN device tasks"};
        }
    }
    QV_TRACE(kNetifTarget,
             "We're running on a mobile platform where the network listener handles TUN address "
             "updates. Therefore, we just assume everything is fine and hope for the best! "
             "\U0001F91E");
    for (auto& [url, network] : config.network) {
        network.current_state.ip = network.desired_state.ip;
    }
    inner.reset();
    co_return;
}

}  // namespace quorvel::agent
