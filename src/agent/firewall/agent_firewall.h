// The packet path's firewall: for every IPv4 packet it decides which peer may carry it, with two
// two-level longest-prefix tries and no rule evaluation per packet.
//
// - The transmit trie answers, for a packet read from the tunnel, which node peer it goes to:
//   destination network, then source network, then the node peer handle.
// - The receive trie answers, for a packet from a peer, which peer alone may send it: source
//   network, then destination network, then that peer's public key.
//
// Each trie is immutable once published and lives in a snapshot slot that the packet path loads
// once per packet without a lock, while the control path replaces it whole (transmit first, then
// receive; a reader may see the new transmit trie with the old receive trie in between). A reader
// always sees one whole version of a trie; the old version goes when its last reader lets go.
//
// The outer and inner levels match independently: the inner lookup runs only in the inner trie of
// the outer entry that won, so a more specific destination entry that has no entry for a source
// hides a wider destination entry that would have had one.
//
// `Peer` is the node peer handle: copyable (a copy is one more counted handle of the same peer)
// and giving its key through `pk()`.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "p2p/keys.h"
#include "util/ip_packet.h"
#include "util/log.h"
#include "util/prefix_trie.h"
#include "util/snapshot_slot.h"

namespace quorvel::agent {

inline constexpr std::string_view kFirewallTarget = "quorvel_agent::agent::firewall";

template <class Peer>
class BasicAgentFirewall {
  public:
    // Source network, then destination network, then the only peer allowed to send.
    using RxTrie = PrefixTrie<PrefixTrie<p2p::PubKey>>;
    // Destination network, then source network, then the node peer that carries the packet.
    using TxTrie = PrefixTrie<PrefixTrie<Peer>>;

    // Both tries empty: every packet is a miss until the first rebuild.
    BasicAgentFirewall()
        : empty_rx_trie_(std::make_shared<const RxTrie>()),
          empty_tx_trie_(std::make_shared<const TxTrie>()),
          rx_trie_(empty_rx_trie_),
          tx_trie_(empty_tx_trie_) {}

    BasicAgentFirewall(const BasicAgentFirewall&) = delete;
    BasicAgentFirewall& operator=(const BasicAgentFirewall&) = delete;

    // The current version of a trie, kept alive for as long as the caller holds it.
    std::shared_ptr<const RxTrie> load_rx_trie() const { return rx_trie_.load(); }
    std::shared_ptr<const TxTrie> load_tx_trie() const { return tx_trie_.load(); }

    // Publish a new version. Only the rebuild calls these, one rebuild at a time. A slot never
    // holds nothing: null publishes an empty trie.
    void store_rx_trie(std::shared_ptr<const RxTrie> trie) {
        rx_trie_.store(trie ? std::move(trie) : std::make_shared<const RxTrie>());
    }
    void store_tx_trie(std::shared_ptr<const TxTrie> trie) {
        tx_trie_.store(trie ? std::move(trie) : std::make_shared<const TxTrie>());
    }

    // Publishes empty tries without allocating, so that a destructor may do it: the versions
    // replaced go with their last reader, here or elsewhere.
    void clear_tries() noexcept {
        tx_trie_.store(empty_tx_trie_);
        rx_trie_.store(empty_rx_trie_);
    }

    // The transmit lookup for one packet read from the tunnel. On a hit the packet (shared, not
    // copied) joins the batch of the entry's node peer in `batches`, which maps node peers to
    // lists of packets; a peer without a batch yet gets one under a copy of the handle. True when
    // the packet was queued; false when either level has no entry, and then nothing changed and
    // the caller reports the missing route.
    template <class Packet, class BatchMap>
    bool handle_outbound_packet(const Packet& packet, const ip::Ipv4HeaderSlice& header,
                                BatchMap& batches) const;

    // The receive check for one packet from the peer with key `sender`. False when the receive
    // trie has no entry for the packet's source and destination. True otherwise: a copy of the
    // packet has joined `writes` when the entry names `sender`; when it names another peer, the
    // packet is dropped with a warning naming both keys.
    bool handle_inbound_packet(std::span<const uint8_t> packet, const ip::Ipv4HeaderSlice& header,
                               const p2p::PubKey& sender,
                               std::vector<std::vector<uint8_t>>& writes) const;
    // The same for a packet the caller gives up: an accepted packet joins `writes` without a
    // copy. `header` must view `packet`'s bytes, which the move keeps in place.
    bool handle_inbound_packet(std::vector<uint8_t>&& packet, const ip::Ipv4HeaderSlice& header,
                               const p2p::PubKey& sender,
                               std::vector<std::vector<uint8_t>>& writes) const;

  private:
    // Nothing when the receive trie has no entry for the packet's addresses; else whether the
    // entry names `sender` (a refusal is logged here).
    std::optional<bool> check_inbound(const ip::Ipv4HeaderSlice& header,
                                      const p2p::PubKey& sender) const;
    static void log_inbound_accepted(const ip::Ipv4HeaderSlice& header, const p2p::PubKey& sender);

    // Made with the firewall, for clear_tries to publish.
    const std::shared_ptr<const RxTrie> empty_rx_trie_;
    const std::shared_ptr<const TxTrie> empty_tx_trie_;
    SnapshotSlot<RxTrie> rx_trie_;
    SnapshotSlot<TxTrie> tx_trie_;
};

// The agent's firewall, over its node peer handles (agent/netif/node_peer.h). Declared here
// without that header, which reaches the firewall itself.
class NodePeer;
using AgentFirewall = BasicAgentFirewall<NodePeer>;

namespace firewall_detail {

inline std::vector<log::Field> addr_fields(Ipv4Addr src, Ipv4Addr dst) {
    return {{"src", src.to_string()}, {"dst", dst.to_string()}};
}

}  // namespace firewall_detail

template <class Peer>
template <class Packet, class BatchMap>
bool BasicAgentFirewall<Peer>::handle_outbound_packet(const Packet& packet,
                                                      const ip::Ipv4HeaderSlice& header,
                                                      BatchMap& batches) const {
    using firewall_detail::addr_fields;
    const Ipv4Addr src = header.source_addr();
    const Ipv4Addr dst = header.destination_addr();
    const std::shared_ptr<const TxTrie> tx = tx_trie_.load();

    const auto* dest_entry = tx->lookup_entry(dst);
    if (dest_entry == nullptr) {
        return false;
    }
    QV_LOG_FIELDS(log::Level::Trace, kFirewallTarget, addr_fields(src, dst),
                  "Found dest trie entry with net {}", dest_entry->net);

    const Peer* peer = dest_entry->value.lookup(src);
    if (peer == nullptr) {
        QV_LOG_FIELDS(log::Level::Debug, kFirewallTarget, addr_fields(src, dst),
                      "No outbound route found for source: {} -> {} (source IP not in routing "
                      "table)",
                      src, dst);
        return false;
    }
    QV_TRACE(kFirewallTarget, "Found corresponding source entry: {} -> {}", src, peer->pk());

    auto batch = batches.find(*peer);
    if (batch == batches.end()) {
        batch = batches.try_emplace(*peer).first;
    }
    batch->second.push_back(packet);
    QV_LOG_FIELDS(log::Level::Trace, kFirewallTarget, addr_fields(src, dst),
                  "Successfully forwarded packet to channel: {} -> {}", src, dst);
    return true;
}

template <class Peer>
std::optional<bool> BasicAgentFirewall<Peer>::check_inbound(const ip::Ipv4HeaderSlice& header,
                                                            const p2p::PubKey& sender) const {
    const Ipv4Addr src = header.source_addr();
    const Ipv4Addr dst = header.destination_addr();
    const std::shared_ptr<const RxTrie> rx = rx_trie_.load();

    const auto* inner = rx->lookup(src);
    if (inner == nullptr) {
        return std::nullopt;
    }
    const p2p::PubKey* expected = inner->lookup(dst);
    if (expected == nullptr) {
        return std::nullopt;
    }
    if (*expected != sender) {
        QV_LOG_FIELDS(log::Level::Warn, kFirewallTarget,
                      (std::vector<log::Field>{{"peer", sender.to_string()},
                                               {"expected_peer", expected->to_string()},
                                               {"src", src.to_string()},
                                               {"dst", dst.to_string()}}),
                      "Security violation: packet source mismatch - received from peer {} with "
                      "source IP {} but expected peer {} for this route",
                      sender, src, *expected);
        return false;
    }
    return true;
}

template <class Peer>
void BasicAgentFirewall<Peer>::log_inbound_accepted(const ip::Ipv4HeaderSlice& header,
                                                    const p2p::PubKey& sender) {
    const Ipv4Addr src = header.source_addr();
    const Ipv4Addr dst = header.destination_addr();
    QV_LOG_FIELDS(
        log::Level::Trace, kFirewallTarget,
        (std::vector<log::Field>{
            {"peer", sender.to_string()}, {"src", src.to_string()}, {"dst", dst.to_string()}}),
        "Successfully forwarded packet to TUN device: {} -> {}", src, dst);
}

template <class Peer>
bool BasicAgentFirewall<Peer>::handle_inbound_packet(
    std::span<const uint8_t> packet, const ip::Ipv4HeaderSlice& header, const p2p::PubKey& sender,
    std::vector<std::vector<uint8_t>>& writes) const {
    const auto accepted = check_inbound(header, sender);
    if (!accepted) {
        return false;
    }
    if (*accepted) {
        writes.emplace_back(packet.begin(), packet.end());
        log_inbound_accepted(header, sender);
    }
    return true;
}

template <class Peer>
bool BasicAgentFirewall<Peer>::handle_inbound_packet(
    std::vector<uint8_t>&& packet, const ip::Ipv4HeaderSlice& header, const p2p::PubKey& sender,
    std::vector<std::vector<uint8_t>>& writes) const {
    const auto accepted = check_inbound(header, sender);
    if (!accepted) {
        return false;
    }
    if (*accepted) {
        // Logged first: the header views the packet's bytes, which now move on.
        log_inbound_accepted(header, sender);
        writes.push_back(std::move(packet));
    }
    return true;
}

}  // namespace quorvel::agent
