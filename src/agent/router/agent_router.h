// The route hook: how desired-state application brings each network's routes and forwardings to
// the platform.
#pragma once

#include <boost/asio/awaitable.hpp>

namespace quorvel::agent {

struct AgentConfig;

class AgentRouter {
  public:
    virtual ~AgentRouter() = default;
    // Brings every network's current routes and forwardings up to the desired ones. Runs on a
    // runtime worker under the agent's state write lock.
    virtual boost::asio::awaitable<void> apply_desired_state(AgentConfig& config) = 0;
};

}  // namespace quorvel::agent
