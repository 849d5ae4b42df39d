// Rebuilding the firewall's tries from the networks' current access rules. Runs only in the task
// that applies desired state, under the agent's state write lock, so rebuilds never overlap.
#pragma once

#include "agent/config/agent_config.h"

#include <memory>
#include <optional>
#include <unordered_map>

namespace quorvel::agent {

class AgentInner;

// The firewall's step of desired-state application: copies each network's desired access rules
// into its current state where they differ and then, when some network's rules changed or some
// network's applied tunnel address differs from `ips_before` (the addresses as applied before
// this application), rebuilds the tries once.
void apply_firewall_desired_state(
    const std::shared_ptr<AgentInner>& inner, NetworkMap& networks,
    const std::unordered_map<Url, std::optional<Ipv4Net>>& ips_before);

// Builds both tries anew from every network whose current state holds an applied tunnel address
// and applied access rules, keeps the node peer of each key that an allowed outbound rule still
// names, creates one for each new such key, and publishes the transmit trie, then the receive
// trie.
//
// A network one of whose peers cannot be made (the P2P node refused the key) contributes no
// entry at all, and its current access rules are left unapplied with the error: they then differ
// from the desired ones, so the next application rebuilds and tries the key again. Until then the
// network's packets find no route rather than a partial one.
void update_tries(const std::shared_ptr<AgentInner>& inner, NetworkMap& networks);

}  // namespace quorvel::agent
