// What the host must give its tunnel interface, and the listener through which the agent tells it.
#pragma once

#include "util/ipv4.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorvel::agent {

struct NetworkChange {
    std::optional<std::vector<Ipv4Net>> ips;     // the networks' tunnel addresses
    std::optional<std::vector<Ipv4Net>> routes;  // routes to install through the tunnel
    std::optional<Ipv4Addr> dns_server;

    bool operator==(const NetworkChange&) const = default;

    // `NetworkChange { ips: Some([10.0.0.1/24]), routes: None, dns_server: Some(10.0.0.254) }`
    std::string debug() const;
};

// Called from runtime worker threads, one call at a time per agent, while the agent's state lock
// is held: it must not call back into the agent's blocking functions.
using NetworkListener = std::function<void(NetworkChange)>;

}  // namespace quorvel::agent
