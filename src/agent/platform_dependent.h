// What the platform hands to the agent's start-up: the host's tunnel device, if it gave one, and
// the listener that reports network changes to the host. Never changes after start.
#pragma once

#include "agent/netif/async_device.h"
#include "agent/network_listener.h"

#include <memory>

namespace quorvel::agent {

struct PlatformDependent {
    std::shared_ptr<AsyncDevice> tun_device;
    // Called from runtime worker threads; must be callable from any thread.
    NetworkListener network_listener;
};

}  // namespace quorvel::agent
