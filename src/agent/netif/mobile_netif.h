// This platform's interface hook. The host owns the tunnel interface and applies the addresses
// itself from the network-change report, so the hook changes nothing in the operating system: it
// records each network's desired tunnel address as applied and, the first time it runs while the
// host has handed over a tunnel device, makes the agent's tunnel device and starts its driver.
#pragma once

#include "agent/netif/agent_netif.h"

namespace quorvel::agent {

inline constexpr std::string_view kNetifTarget = "quorvel_agent::agent::netif::mobile";

class MobileAgentNetIf final : public AgentNetif {
  public:
    MobileAgentNetIf() : slot_(nullptr) {}

    boost::asio::awaitable<void> apply_desired_state(std::shared_ptr<AgentInner> inner,
                                                     AgentConfig& config) override;
    const SnapshotSlot<TunDevice>& tun_device() const override { return slot_; }

  private:
    // False when the host handed over a device and none could be made.
    bool initialize_tun_device_if_available(const AgentInner& inner);

    SnapshotSlot<TunDevice> slot_;
};

}  // namespace quorvel::agent
