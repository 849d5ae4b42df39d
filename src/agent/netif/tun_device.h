// The tunnel-device half of the packet path (tunnel to peers), one per agent: the agent's handle
// `TunDevice` on the host's tunnel device, the shared inner object with the outbound state, the
// counted handle `TunDeviceRef`, the driver `TunDeviceDriver` and the two pollers of the state.
//
// Releasing handles never wakes the driver: after the last handle besides its own is gone it
// ends at its next poll, which comes when the tunnel or a pending send becomes ready.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/unordered/unordered_flat_map.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "agent/firewall/agent_firewall.h"
#include "agent/netif/async_device.h"
#include "agent/netif/node_peer.h"
#include "agent/netif/packet_half.h"
#include "util/bytes.h"
#include "util/io_error.h"
#include "util/poll.h"
#include "util/result.h"

namespace quorvel::agent {

class AgentDns;
class TunDeviceInner;

// Packets read by one receive: only the first `count` entries are packets.
struct ReceivedPackets {
    std::size_t count = 0;
    std::vector<Bytes> packets;
};

namespace tun_device {

inline constexpr std::string_view kTarget = "quorvel_agent::agent::netif::tun_device";

// Batches of packets per peer, as the outbound pass collects and parks them.
using BatchMap = boost::unordered_flat_map<NodePeer, std::vector<Bytes>, NodePeerHash>;

// Reads the tunnel. A ready success carries exactly one packet and the count 1, whatever count
// was asked for.
class TunDevicePoller {
  public:
    virtual ~TunDevicePoller() = default;
    virtual Poll<Result<ReceivedPackets, IoError>> poll_recv(const Waker& waker,
                                                             std::size_t count) = 0;
};

// Sends a batch to one peer. While a send is in flight a call's own peer and batch are released
// unused and the call reports the in-flight send's outcome.
class NodePeerPoller {
  public:
    virtual ~NodePeerPoller() = default;
    virtual Poll<Result<void, IoError>> poll_send(const Waker& waker, NodePeer peer,
                                                  std::vector<Bytes> datagrams) = 0;
    // Gives up the send in flight, if any, with its peer and the datagrams not yet taken.
    virtual void abandon() {}
};

// One read of one packet into a fresh buffer of the read size. A packet whose IPv4 total length
// exceeds the bytes read was cut by the read buffer; it is dropped and the next packet read, so
// that a cut packet is never forwarded.
class TunReadFuture {
  public:
    TunReadFuture(std::shared_ptr<AsyncDevice> device, std::uint16_t read_size)
        : device_(std::move(device)), read_size_(read_size) {}
    Poll<Result<ReceivedPackets, IoError>> poll(const Waker& waker);

    // How many cut packets one poll drops before it yields to other tasks.
    static constexpr int kMaxDropsPerPoll = 32;

  private:
    std::shared_ptr<AsyncDevice> device_;
    std::uint16_t read_size_;
    BytesMut buffer_;
};

struct MakeTunRead {
    std::shared_ptr<AsyncDevice> device;
    std::uint16_t read_size;
    TunReadFuture operator()() const { return TunReadFuture(device, read_size); }
};

class TunDevicePollHelper final : public TunDevicePoller {
  public:
    TunDevicePollHelper(std::shared_ptr<AsyncDevice> device, std::uint16_t read_size)
        : helper_(MakeTunRead{std::move(device), read_size}) {}
    Poll<Result<ReceivedPackets, IoError>> poll_recv(const Waker& waker,
                                                     std::size_t count) override;
    bool in_flight() const { return helper_.in_flight(); }

  private:
    PollHelper<TunReadFuture, MakeTunRead> helper_;
};

// One batch send to one peer, started at its first poll and polled inside a trace span naming the
// peer. A P2P send error becomes an I/O error of the generic kind with the P2P error's text.
class PeerSendFuture {
  public:
    PeerSendFuture(NodePeer peer, std::vector<Bytes> datagrams)
        : peer_(std::move(peer)), datagrams_(std::move(datagrams)) {}
    Poll<Result<void, IoError>> poll(const Waker& waker);

  private:
    std::optional<NodePeer> peer_;
    std::vector<Bytes> datagrams_;
    std::optional<p2p::SendDatagrams> send_;
};

struct MakePeerSend {
    PeerSendFuture operator()(NodePeer peer, std::vector<Bytes> datagrams) const {
        return PeerSendFuture(std::move(peer), std::move(datagrams));
    }
};

// One send in flight for all peers of the state.
class NodePeerPollHelper final : public NodePeerPoller {
  public:
    NodePeerPollHelper() : helper_(std::in_place, MakePeerSend{}) {}
    Poll<Result<void, IoError>> poll_send(const Waker& waker, NodePeer peer,
                                          std::vector<Bytes> datagrams) override;
    void abandon() override { helper_.emplace(MakePeerSend{}); }
    bool in_flight() const { return helper_->in_flight(); }

  private:
    std::optional<PollHelper<PeerSendFuture, MakePeerSend>> helper_;
};

// A pass ends with `keep_going` once this many batch sends of it have succeeded.
inline constexpr std::size_t kSendBudget = 24;
// Reads one pass makes at most before it yields with `keep_going`, so that a host flooding
// packets that never count toward the budget (unroutable, undecodable, looped back) cannot hold
// the driver and its lock.
inline constexpr std::size_t kMaxReadsPerPass = 256;

// The outbound state, behind the inner object's mutex.
class State {
  public:
    State(std::shared_ptr<AsyncDevice> tun, std::unique_ptr<TunDevicePoller> tun_poller,
          std::unique_ptr<NodePeerPoller> send_poller, std::shared_ptr<AgentFirewall> firewall,
          std::shared_ptr<AgentDns> dns);

    // One pass of outbound packet work; success carries `keep_going`.
    Result<bool, IoError> drive_transmit(const Waker& waker);

    std::uint64_t ref_count = 0;
    std::shared_ptr<AsyncDevice> tun;
    std::unique_ptr<TunDevicePoller> tun_poller;
    std::unique_ptr<NodePeerPoller> send_poller;
    std::shared_ptr<AgentFirewall> firewall;
    // Batches whose send was still pending when the last pass ended.
    std::optional<BatchMap> pending_batches;
    std::shared_ptr<AgentDns> dns;

  private:
    // The packet steps for one packet read; a routed packet joins its peer's batch.
    void handle_packet(const Waker& waker, const Bytes& packet, BatchMap& batches);
};

}  // namespace tun_device

class TunDeviceInner {
  public:
    TunDeviceInner(std::shared_ptr<AsyncDevice> device, tun_device::State state)
        : device(std::move(device)), state(std::move(state)) {}

    const std::shared_ptr<AsyncDevice> device;
    std::mutex mutex;
    tun_device::State state;
};

// A counted handle of the tunnel-device half. Releasing one subtracts 1 from the count (never
// below 0) and wakes nothing.
class TunDeviceRef {
  public:
    // Makes the inner object with the count at 0 and returns the first handle.
    static TunDeviceRef create(std::shared_ptr<AsyncDevice> device, tun_device::State state);
    explicit TunDeviceRef(std::shared_ptr<TunDeviceInner> inner) : ref_(std::move(inner)) {}

    TunDeviceInner& inner() const { return ref_.inner(); }

  private:
    packet_half::CountedRef<TunDeviceInner> ref_;
};

class TunDeviceDriver {
  public:
    explicit TunDeviceDriver(TunDeviceRef ref) : ref_(std::move(ref)) {}
    // Polled only by its task.
    Poll<Result<void, IoError>> poll(const Waker& waker);

  private:
    TunDeviceRef ref_;
};

// The agent's handle on the outbound half. Kept behind a shared pointer by the interface hook;
// node peers' tunnel writers share it.
class TunDevice {
  public:
    // Builds the outbound half over the host's device, reading packets of up to `mtu` bytes, and
    // spawns its driver task on `executor` inside the spans current on the calling thread.
    static std::shared_ptr<TunDevice> create(const boost::asio::any_io_executor& executor,
                                             std::shared_ptr<AsyncDevice> device,
                                             std::shared_ptr<AgentFirewall> firewall,
                                             std::shared_ptr<AgentDns> dns, std::uint16_t mtu);

    explicit TunDevice(TunDeviceRef ref) : ref_(std::move(ref)) {}

    // Writes one whole packet to the host's device with one write, without taking the state
    // lock; ready with the bytes written.
    Poll<Result<std::size_t, IoError>> poll_send(const Waker& waker,
                                                 std::span<const std::uint8_t> packet) const;
    boost::asio::awaitable<Result<std::size_t, IoError>> send(
        std::span<const std::uint8_t> packet) const;

    const std::shared_ptr<AsyncDevice>& device() const { return ref_.inner().device; }
    const TunDeviceRef& handle() const { return ref_; }

    // Drops the batches parked behind a pending send and that send itself. A parked batch keeps
    // its node peer, the node peer keeps this device for its writes and the device keeps the
    // state with the batch: the agent breaks that circle when it shuts down and when it goes,
    // once its tries (which could park new batches) are empty.
    void drop_parked_sends() const;

  private:
    TunDeviceRef ref_;
};

}  // namespace quorvel::agent
