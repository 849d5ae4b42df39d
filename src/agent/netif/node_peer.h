// The agent's side of one remote peer of the overlay: the handle `NodePeer`, keyed by the peer's
// public key, and the inbound half of the packet path behind it (a driver task that carries the
// peer's packets into the tunnel while any handle besides its own exists).
//
// The firewall's transmit trie keeps `NodePeer` copies; the outbound driver sends to a peer
// through them. Two `NodePeer` values are equal when they share their inner object or else when
// their keys are equal.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "agent/firewall/agent_firewall.h"
#include "agent/netif/packet_half.h"
#include "util/bytes.h"
#include "util/io_error.h"
#include "util/poll.h"
#include "util/result.h"

#include "p2p/keys.h"
#include "p2p/node.h"
#include "p2p/node_peer.h"

namespace quorvel::agent {

class NodePeerInner;
class TunDevice;

// A counted handle of a node peer's inner object. Copying adds 1 to the count kept in the state;
// releasing subtracts 1 (never below 0), and the release that brings it to 0 wakes the parked
// driver so that it runs its last pass.
class NodePeerRef {
  public:
    explicit NodePeerRef(std::shared_ptr<NodePeerInner> inner);
    NodePeerRef(const NodePeerRef& other);
    NodePeerRef(NodePeerRef&& other) noexcept;
    NodePeerRef& operator=(const NodePeerRef& other);
    NodePeerRef& operator=(NodePeerRef&& other) noexcept;
    ~NodePeerRef();

    NodePeerInner& inner() const { return ref_.inner(); }
    // Same inner object, or else equal peer keys.
    friend bool operator==(const NodePeerRef& a, const NodePeerRef& b);

  private:
    packet_half::CountedRef<NodePeerInner> ref_;
};

// What a node peer takes from its agent when it is made. The node peer keeps these parts
// themselves, never the agent's inner state: a pass that held the last reference to that state
// would run its destructor under the peer's lock.
struct NodePeerSetup {
    // Whose receive trie decides which of the peer's packets enter the tunnel.
    std::shared_ptr<AgentFirewall> firewall;
    // The interface hook's tunnel-device slot, loaded once: a node peer made while it is empty
    // never writes into the tunnel.
    std::shared_ptr<TunDevice> tun_device;
    // The agent's interface MTU.
    std::uint16_t mtu = 0;
    // Where the driver task runs.
    boost::asio::any_io_executor executor;
};

class NodePeerDriver {
  public:
    explicit NodePeerDriver(NodePeerRef ref) : ref_(std::move(ref)) {}
    // Polled only by its task.
    Poll<Result<void, IoError>> poll(const Waker& waker);

  private:
    NodePeerRef ref_;
};

class NodePeer {
  public:
    // Contacts the peer through `node` (loading nothing else of the agent: `setup` carries what
    // the agent provides) and starts the peer's driver task on `setup.executor` inside the spans
    // current on the calling thread. A refusal of the P2P node is an I/O error of the generic
    // kind with the P2P error's text; then nothing is made and no task started.
    static Result<NodePeer, IoError> create(const p2p::Node& node, const p2p::PubKey& pk,
                                            const NodePeerSetup& setup);

    explicit NodePeer(NodePeerRef ref) : ref_(std::move(ref)) {}

    const p2p::PubKey& pk() const;
    // The P2P library's handle of the peer, for batch sends and statistics.
    const p2p::NodePeer& p2p_peer() const;
    // The number of handles besides the first; for tests and diagnostics.
    std::uint64_t ref_count() const;
    // Hash of the peer key, consistent with equality.
    std::size_t hash() const;

    const NodePeerRef& handle() const { return ref_; }
    friend bool operator==(const NodePeer& a, const NodePeer& b) { return a.ref_ == b.ref_; }

  private:
    NodePeerRef ref_;
};

struct NodePeerHash {
    std::size_t operator()(const NodePeer& peer) const { return peer.hash(); }
};

namespace node_peer {

inline constexpr std::string_view kTarget = "quorvel_agent::agent::netif::node_peer";

// Datagrams read from the peer: the first `count` slots hold one datagram each, the rest are
// empty.
struct ReceivedDatagrams {
    std::size_t count = 0;
    std::vector<p2p::DatagramBuffer> slots;
};

// Reads the peer's datagrams. While a read is in flight a call's slot count is ignored and the
// call reports the in-flight read.
class NodePeerPoller {
  public:
    virtual ~NodePeerPoller() = default;
    virtual Poll<ReceivedDatagrams> poll_recv(const Waker& waker, std::size_t slots) = 0;
};

// One read into a fresh list of `slots` empty buffers, started at its first poll.
class PeerReadFuture {
  public:
    PeerReadFuture(p2p::NodePeer peer, std::size_t slots) : peer_(std::move(peer)), slots_(slots) {}
    Poll<ReceivedDatagrams> poll(const Waker& waker);

  private:
    std::optional<p2p::NodePeer> peer_;
    std::size_t slots_;
    std::optional<p2p::ReadDatagrams> read_;
};

struct MakePeerRead {
    p2p::NodePeer peer;
    PeerReadFuture operator()(std::size_t slots) const { return PeerReadFuture(peer, slots); }
};

class NodePeerPollHelper final : public NodePeerPoller {
  public:
    explicit NodePeerPollHelper(p2p::NodePeer peer) : helper_(MakePeerRead{std::move(peer)}) {}
    Poll<ReceivedDatagrams> poll_recv(const Waker& waker, std::size_t slots) override;
    bool in_flight() const { return helper_.in_flight(); }

  private:
    PollHelper<PeerReadFuture, MakePeerRead> helper_;
};

// Writes a batch of packets into the tunnel. While a write is in flight a call's own list is
// released unwritten and the call reports the in-flight write's outcome. Ready with the number
// of packets written.
class TunDevicePoller {
  public:
    virtual ~TunDevicePoller() = default;
    virtual Poll<Result<std::size_t, IoError>> poll_send(const Waker& waker,
                                                         std::vector<BytesMut> packets) = 0;
};

// Writes the packets one device write each, in order, and stops at the first failing one: the
// packets after it are released unwritten.
class TunWriteFuture {
  public:
    TunWriteFuture(std::shared_ptr<TunDevice> tun, std::vector<BytesMut> packets)
        : tun_(std::move(tun)), packets_(std::move(packets)) {}
    Poll<Result<std::size_t, IoError>> poll(const Waker& waker);

  private:
    std::shared_ptr<TunDevice> tun_;
    std::vector<BytesMut> packets_;
    std::size_t next_ = 0;
};

struct MakeTunWrite {
    std::shared_ptr<TunDevice> tun;
    TunWriteFuture operator()(std::vector<BytesMut> packets) const {
        return TunWriteFuture(tun, std::move(packets));
    }
};

class TunDevicePollHelper final : public TunDevicePoller {
  public:
    explicit TunDevicePollHelper(std::shared_ptr<TunDevice> tun)
        : helper_(MakeTunWrite{std::move(tun)}) {}
    Poll<Result<std::size_t, IoError>> poll_send(const Waker& waker,
                                                 std::vector<BytesMut> packets) override;
    bool in_flight() const { return helper_.in_flight(); }

  private:
    PollHelper<TunWriteFuture, MakeTunWrite> helper_;
};

// Slots given to every read of the peer's datagrams.
inline constexpr std::size_t kReadSlots = 138;
// A pass ends with `keep_going` once more than this many packets of it reached the tunnel.
inline constexpr std::size_t kWriteBudget = 23;
// Reads one pass makes at most before it yields with `keep_going`, so that a peer flooding
// datagrams that never reach the tunnel (refused, undecodable) cannot hold the driver. Each read
// takes up to `kReadSlots` datagrams, so the cap lies far above the write budget.
inline constexpr std::size_t kMaxReadsPerPass = 32;

// The inbound state of one peer, behind the inner object's mutex.
class State {
  public:
    State(p2p::NodePeer p2p_peer, std::unique_ptr<NodePeerPoller> recv_poller,
          std::shared_ptr<AgentFirewall> firewall, p2p::PubKey pk,
          std::unique_ptr<TunDevicePoller> tun_poller, std::uint16_t mtu);

    // One pass of inbound packet work; success carries `keep_going`. Never fails: every problem
    // drops the packet or batch concerned with a log event.
    Result<bool, IoError> drive_transmit(const Waker& waker);

    // True while the tunnel write of a batch is still in flight in `tun_poller` after a pass
    // ended. The batch itself stays with that write, which the next pass polls before it reads,
    // so the packets are neither copied nor written twice.
    bool pending_writes = false;
    // The peer's P2P handle; inbound ICMP replies go back to the peer through it.
    p2p::NodePeer p2p_peer;
    std::unique_ptr<NodePeerPoller> recv_poller;
    std::shared_ptr<AgentFirewall> firewall;
    std::uint64_t ref_count = 0;
    p2p::PubKey pk;
    // Present exactly when the agent had a tunnel device when the node peer was made.
    std::unique_ptr<TunDevicePoller> tun_poller;
    // The driver's waker, parked by its last poll that ended waiting.
    Waker driver_waker;
    std::uint16_t mtu;

  private:
    // The packet steps for one datagram; accepted packets join `writes`.
    // The datagram itself joins `writes` when accepted, without a copy.
    void handle_datagram(p2p::DatagramBuffer& datagram, std::vector<BytesMut>& writes);
};

}  // namespace node_peer

class NodePeerInner {
  public:
    NodePeerInner(p2p::NodePeer p2p_peer, p2p::PubKey pk, node_peer::State state)
        : p2p_peer(std::move(p2p_peer)), pk(pk), state(std::move(state)) {}

    // Used by outbound batch sends and the status report, beside the state's own copy.
    const p2p::NodePeer p2p_peer;
    const p2p::PubKey pk;
    std::mutex mutex;
    node_peer::State state;

    // Inner objects compare by peer key alone.
    friend bool operator==(const NodePeerInner& a, const NodePeerInner& b) { return a.pk == b.pk; }
};

}  // namespace quorvel::agent
