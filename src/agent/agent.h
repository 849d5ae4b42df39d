// The running agent's handle. `Agent::start` binds the P2P node, assembles the shared inner state
// with its hooks, firewall, DNS component and HTTP client, and starts the housekeeping task inside
// a task set and the monitor task that watches it. `shutdown` withdraws what the agent applied;
// releasing the handle only logs: the agent's tasks hold their own handles of the inner state.
#pragma once

#include "agent/config/agent_config.h"
#include "agent/error.h"
#include "agent/inner.h"
#include "agent/platform_dependent.h"
#include "util/result.h"

#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <memory>
#include <string>

namespace quorvel::agent {

inline constexpr std::string_view kAgentTarget = "quorvel_agent::agent";

class Agent {
  public:
    // Runs on the agent's runtime: the agent's tasks are spawned on the awaiting coroutine's
    // executor. `config` is the agent's own copy. Every failure (an unusable environment value,
    // node options the node refuses, a node that does not bind, an HTTP client that cannot be
    // built) returns an error and leaves nothing of the agent running.
    static boost::asio::awaitable<Result<Agent, Error>> start(AgentConfig config,
                                                              std::string config_path,
                                                              PlatformDependent platform);
    // The same with another time between housekeeping passes (tests).
    static boost::asio::awaitable<Result<Agent, Error>> start(
        AgentConfig config, std::string config_path, PlatformDependent platform,
        std::chrono::milliseconds housekeeping_period);

    explicit Agent(std::shared_ptr<AgentInner> inner) : inner_(std::move(inner)) {}
    Agent(Agent&&) noexcept = default;
    Agent& operator=(Agent&&) noexcept = default;
    ~Agent();

    // Cancels the agent's token and, holding the state lock, applies an empty desired state for
    // every network and stops the DNS component. Waits for a running pass to end first. Does not
    // wait for the tasks nor stop the P2P node. A second call is harmless.
    boost::asio::awaitable<void> shutdown() const;

    // Completes once the agent's token is cancelled.
    boost::asio::awaitable<void> cancelled() const;
    p2p::NodeRef node() const { return inner_->node(); }

    const std::shared_ptr<AgentInner>& inner() const { return inner_; }

  private:
    std::shared_ptr<AgentInner> inner_;
};

}  // namespace quorvel::agent
