#include "agent/firewall/firewall_rebuild.h"

#include "agent/inner.h"
#include "util/log.h"

#include <boost/unordered/unordered_flat_map.hpp>

namespace quorvel::agent {

namespace {

using log::Field;
using log::Level;

}  // namespace

void update_tries(const std::shared_ptr<AgentInner>& inner, const NetworkMap& networks) {
    QV_TRACE(kFirewallTarget, "Rebuild tries");
    AgentFirewall& firewall = *inner->firewall();

    const auto old_tx = firewall.load_tx_trie();
    boost::unordered_flat_map<p2p::PubKey, NodePeer, std::hash<p2p::PubKey>> peers;
    for (const auto& dest : *old_tx) {
        for (const auto& source : dest.value) {
            peers.try_emplace(source.value.pk(), source.value);
        }
    }

    const NodePeerSetup setup{inner->netif()->load_tun_device(), inner->mtu(), inner->executor()};
    // Keys whose node peer could not be made in this rebuild: tried once, then left out.
    boost::unordered_flat_map<p2p::PubKey, bool, std::hash<p2p::PubKey>> refused;

    AgentFirewall::TxTrie::Builder tx;
    AgentFirewall::RxTrie::Builder rx;
    for (const auto& [url, network] : networks) {
        const std::string& network_text = url.to_string();
        const auto& state = network.current_state;
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

        for (const auto& dest : tries.outbound) {
            QV_LOG_FIELDS(Level::Trace, kFirewallTarget,
                          (std::vector<Field>{{"dest_net", dest.net.to_string()}}),
                          "Building TX trie for dest network");
            PrefixTrie<NodePeer>::Builder inner_trie;
            for (const auto& source : dest.value) {
                const p2p::PubKey& key = source.value;
                auto found = peers.find(key);
                if (found == peers.end()) {
                    if (refused.contains(key)) {
                        continue;
                    }
                    auto created = NodePeer::create(*inner->node(), key, inner, setup);
                    if (!created) {
                        QV_ERROR(kFirewallTarget,
                                 "Failed to create node peer {}: {}; its routes are left out", key,
                                 created.error());
                        refused.emplace(key, true);
                        continue;
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
            // A later network's entry for the same destination replaces the earlier one whole.
            tx.insert_or_assign(dest.net, std::move(inner_trie).build());
        }

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
            rx.insert_or_assign(source.net, std::move(inner_trie).build());
        }
    }

    QV_TRACE(kFirewallTarget, "Tries rebuilt successfully.");
    firewall.store_tx_trie(std::make_shared<const AgentFirewall::TxTrie>(std::move(tx).build()));
    firewall.store_rx_trie(std::make_shared<const AgentFirewall::RxTrie>(std::move(rx).build()));
}

}  // namespace quorvel::agent
