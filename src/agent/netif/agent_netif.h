// The interface hook: how desired-state application brings each network's tunnel address to the
// platform's network interface, and where the packet path finds the agent's tunnel device.
#pragma once

#include "agent/netif/tun_device.h"
#include "util/snapshot_slot.h"

#include <boost/asio/awaitable.hpp>

#include <memory>

namespace quorvel::agent {

struct AgentConfig;
class AgentInner;

class AgentNetif {
  public:
    virtual ~AgentNetif() = default;

    // Brings every network's current tunnel address up to the desired one. Runs on a runtime
    // worker under the agent's state write lock. `inner` is a reference of its own, released when
    // the operation ends.
    virtual boost::asio::awaitable<void> apply_desired_state(std::shared_ptr<AgentInner> inner,
                                                             AgentConfig& config) = 0;

    // The slot that holds the agent's tunnel device once the hook has made it (empty before). The
    // slot itself, so that a reader sees a device made later.
    virtual const SnapshotSlot<TunDevice>& tun_device() const = 0;

    // The device in the slot now, or null. The device is used only through its const operations;
    // the non-const handle is what node peers keep.
    std::shared_ptr<TunDevice> load_tun_device() const {
        return std::const_pointer_cast<TunDevice>(tun_device().load());
    }
};

}  // namespace quorvel::agent
