#include "agent/firewall/firewall_rebuild.h"

#include "agent/inner.h"
#include "util/log.h"
#include "util/url.h"

#include <boost/unordered/unordered_flat_map.hpp>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorvel::agent {

namespace {

using log::Field;
using log::Level;

using PeerMap = boost::unordered_flat_map<p2p::PubKey, NodePeer, std::hash<p2p::PubKey>>;

// One network's share of the new tries, kept apart until every peer it names exists.
struct NetworkEntries {
    std::vector<std::pair<Ipv4Net, PrefixTrie<NodePeer>>> tx;
    std::vector<std::pair<Ipv4Net, PrefixTrie<p2p::PubKey>>> rx;
};

// The outbound entries of one network, creating the node peers it names that `peers` lacks. The
// text of the first refusal when a peer cannot be made; the peers made before it stay in `peers`.
std::optional<std::string> build_tx_entries(const network::RoutingTries& tries, AgentInner& inner,
                                            const NodePeerSetup& setup, PeerMap& peers,
                                            NetworkEntries& out) {
    for (const auto& dest : tries.outbound) {
        QV_LOG_FIELDS(Level::Trace, kFirewallTarget,
                      (std::vector<Field>{{"dest_net", dest.net.to_string()}}),
                      "Building TX trie for dest network");
        PrefixTrie<NodePeer>::Builder inner_trie;
        for (const auto& source : dest.value) {
            const p2p::PubKey& key = source.value;
            auto found = peers.find(key);
            if (found == peers.end()) {
                auto created = NodePeer::create(*inner.node(), key, setup);
                if (!created) {
                    return fmt::format("Failed to create node peer {}: {}", key, created.error());
                }
                found = peers.emplace(key, std::move(*created)).first;
            }
            inner_trie.insert_or_assign(source.net, found->second);
            QV_LOG_FIELDS(Level::Trace, kFirewallTarget,
                          (std::vector<Field>{{"dest_net", dest.net.to_string()},
                                              {"source_net", source.net.to_string()},
                                              {"peer", key.to_string()}}),
                          "Added TX route: {} -> {} via peer {}", source.net, dest.net, key);
        }
        // An empty inner trie would hide every wider destination entry; it adds nothing else.
        if (!inner_trie.empty()) {
            out.tx.emplace_back(dest.net, std::move(inner_trie).build());
        }
    }
    return std::nullopt;
}

void build_rx_entries(const network::RoutingTries& tries, NetworkEntries& out) {
    for (const auto& source : tries.inbound) {
        QV_LOG_FIELDS(Level::Trace, kFirewallTarget,
                      (std::vector<Field>{{"source_net", source.net.to_string()}}),
                      "Building RX trie for source network");
        PrefixTrie<p2p::PubKey>::Builder inner_trie;
        for (const auto& dest : source.value) {
            inner_trie.insert_or_assign(dest.net, dest.value);
            QV_LOG_FIELDS(Level::Trace, kFirewallTarget,
                          (std::vector<Field>{{"source_net", source.net.to_string()},
                                              {"dest_net", dest.net.to_string()},
                                              {"peer", dest.value.to_string()}}),
                          "Added RX route: {} -> {} from peer {} to TUN device", source.net,
                          dest.net, dest.value);
        }
        if (!inner_trie.empty()) {
            out.rx.emplace_back(source.net, std::move(inner_trie).build());
        }
    }
}

}  // namespace

void apply_firewall_desired_state(
    const std::shared_ptr<AgentInner>& inner, NetworkMap& networks,
    const std::unordered_map<Url, std::optional<Ipv4Net>>& ips_before) {
    bool changed = false;
    for (auto& [url, network] : networks) {
        auto& current = network.current_state.access_rules;
        const auto& desired = network.desired_state.access_rules;
        if (current != desired) {
            QV_TRACE(kFirewallTarget, "Access rules change: current=\n{}; desired=\n{}",
                     current.to_string(), desired.to_string());
            current = desired;
            changed = true;
        }
    }
    // A network whose address became applied (or was withdrawn) in this application changes
    // which rules the tries hold, even when no rule list changed.
    for (const auto& [url, network] : networks) {
        auto before = ips_before.find(url);
        if (before == ips_before.end() || before->second != network.current_state.ip.applied) {
            changed = true;
        }
    }
    if (changed) {
        update_tries(inner, networks);
    }
}

void update_tries(const std::shared_ptr<AgentInner>& inner, NetworkMap& networks) {
    QV_TRACE(kFirewallTarget, "Rebuild tries");
    AgentFirewall& firewall = *inner->firewall();

    const auto old_tx = firewall.load_tx_trie();
    PeerMap peers;
    for (const auto& dest : *old_tx) {
        for (const auto& source : dest.value) {
            peers.try_emplace(source.value.pk(), source.value);
        }
    }

    const NodePeerSetup setup{inner->firewall(), inner->netif()->load_tun_device(), inner->mtu(),
                              inner->executor()};

    AgentFirewall::TxTrie::Builder tx;
    AgentFirewall::RxTrie::Builder rx;
    for (auto& [url, network] : networks) {
        const std::string network_text = mask_url(url);
        auto& state = network.current_state;
        if (!state.ip.applied) {
            QV_LOG_FIELDS(Level::Trace, kFirewallTarget,
                          (std::vector<Field>{{"network", network_text}}),
                          "Skipping network: no TUN device available (IP not applied). No routing "
                          "entries will be created.");
            continue;
        }
        if (!state.access_rules.applied) {
            QV_LOG_FIELDS(Level::Trace, kFirewallTarget,
                          (std::vector<Field>{{"network", network_text}}),
                          "No access rules available for network");
            continue;
        }
        const network::RoutingTries tries = state.access_rules.applied->routing_tries();
        QV_LOG_FIELDS(Level::Trace, kFirewallTarget,
                      (std::vector<Field>{{"network", network_text}}),
                      "Processing access rules for network");

        NetworkEntries entries;
        if (auto refused = build_tx_entries(tries, *inner, setup, peers, entries)) {
            QV_LOG_FIELDS(
                Level::Error, kFirewallTarget, (std::vector<Field>{{"network", network_text}}),
                "{}; the network's access rules stay unapplied until the next pass", *refused);
            state.access_rules = {std::nullopt, std::move(*refused)};
            continue;
        }
        build_rx_entries(tries, entries);
        // A later network's entry for the same key replaces the earlier one whole.
        for (auto& [net, trie] : entries.tx) {
            tx.insert_or_assign(net, std::move(trie));
        }
        for (auto& [net, trie] : entries.rx) {
            rx.insert_or_assign(net, std::move(trie));
        }
    }

    QV_TRACE(kFirewallTarget, "Tries rebuilt successfully.");
    firewall.store_tx_trie(std::make_shared<const AgentFirewall::TxTrie>(std::move(tx).build()));
    firewall.store_rx_trie(std::make_shared<const AgentFirewall::RxTrie>(std::move(rx).build()));
}

}  // namespace quorvel::agent
