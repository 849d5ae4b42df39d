// Rebuilding the firewall's tries from the networks' current access rules. Runs only in the task
// that applies desired state, under the agent's state write lock, so rebuilds never overlap.
#pragma once

#include "agent/config/agent_config.h"

#include <memory>

namespace quorvel::agent {

class AgentInner;

// Builds both tries anew from every network whose current state holds an applied tunnel address
// and applied access rules, keeps the node peer of each key that an allowed outbound rule still
// names, creates one for each new such key, and publishes the transmit trie, then the receive
// trie. A key whose node peer cannot be created is left out of the transmit trie, with an error
// in the log.
void update_tries(const std::shared_ptr<AgentInner>& inner, const NetworkMap& networks);

}  // namespace quorvel::agent
