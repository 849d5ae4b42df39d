// Test controls of a node: capture what it sends, make its sends pend or fail, refuse to initiate
// chosen keys, and inject datagrams as if a peer had sent them. A node without controls in use
// pays one relaxed atomic load per send for them.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "p2p/keys.h"
#include "p2p/peer_errors.h"
#include "p2p/stats.h"
#include "util/poll.h"

namespace quorvel::p2p::testing {

struct SentDatagram {
    PubKey to;
    std::vector<uint8_t> payload;
};

class TestHooks {
  public:
    // Records every application datagram sent; with `deliver` false they go nowhere else.
    void capture_sends(bool deliver = true);
    std::vector<SentDatagram> sent() const;
    void clear_sent();

    // Sends stay pending until `release_sends`; `send_datagram` fails with "would block" meanwhile.
    void pend_sends();
    // Every send fails with `error` until `release_sends`.
    void fail_sends(SendDatagramError error);
    // Back to normal sending; wakes the sends that were held.
    void release_sends();

    void refuse_initiate(const PubKey& pk);
    void allow_initiate(const PubKey& pk);

    // Queues `datagram` for the node's peer `from` as if it had arrived from it. False when the
    // node has no such peer or has stopped.
    bool inject(const PubKey& from, std::span<const uint8_t> datagram);

    // Makes the node report `stats` for its peer or super peer `pk` instead of what it measured,
    // until `unpin_stats`; so that a status report can be checked against known values.
    void pin_node_peer_stats(const PubKey& pk, NodePeerStats stats);
    void pin_super_peer_stats(const PubKey& pk, SuperPeerStats stats);
    void unpin_stats();

    // Used by the node.
    std::optional<NodePeerStats> pinned_node_peer_stats(const PubKey& pk) const;
    std::optional<SuperPeerStats> pinned_super_peer_stats(const PubKey& pk) const;
    enum class SendMode { Normal, Pend, Fail };
    struct SendDecision {
        SendMode mode = SendMode::Normal;
        std::optional<SendDatagramError> error;
        bool deliver = true;
    };
    bool active() const { return active_.load(std::memory_order_relaxed); }
    // Applies the hooks to one datagram; registers `waker` (when given) while sends are held.
    SendDecision on_send(const PubKey& to, std::span<const uint8_t> payload, const Waker* waker);
    bool initiate_refused(const PubKey& pk) const;
    void set_injector(std::function<bool(const PubKey&, std::span<const uint8_t>)> injector);

  private:
    void update_active();

    mutable std::mutex mutex_;
    std::atomic<bool> active_{false};
    bool capture_ = false;
    bool deliver_ = true;
    std::vector<SentDatagram> sent_;
    SendMode mode_ = SendMode::Normal;
    std::optional<SendDatagramError> fail_error_;
    std::vector<Waker> held_;
    std::set<PubKey> refused_;
    std::function<bool(const PubKey&, std::span<const uint8_t>)> injector_;
    std::map<PubKey, NodePeerStats> pinned_node_peers_;
    std::map<PubKey, SuperPeerStats> pinned_super_peers_;
};

// The controls of the node bound with `node_pk` in this process; created on first use. Controls
// asked for before the node binds are taken over by it when it binds.
std::shared_ptr<TestHooks> hooks_for(const PubKey& node_pk);
// Forgets controls kept for a node that is not bound.
void forget_hooks(const PubKey& node_pk);

}  // namespace quorvel::p2p::testing
