// The application's handle of one remote peer of the node: datagrams in and out, and statistics.
//
// A `NodePeer` holds one counted `NodePeerRef`; copies reach the same peer, and releasing one
// leaves the others usable. The operations never block: a read or a send that cannot finish yet
// registers the caller's waker and returns pending; the caller polls again once woken. Every
// operation may be abandoned unfinished (drop the op object, or stop polling).
//
// Threads: any thread may use any handle. Reads of one peer expect a single reader: a new
// registration replaces the waker of the previous one.
#pragma once

#include <memory>
#include <span>
#include <vector>

#include "p2p/keys.h"
#include "p2p/peer_errors.h"
#include "p2p/stats.h"
#include "util/bytes.h"
#include "util/poll.h"
#include "util/result.h"

namespace quorvel::p2p {

namespace detail {
struct PeerState;
}

// A buffer a read fills with one datagram.
using DatagramBuffer = std::vector<uint8_t>;

class NodePeerRef {
  public:
    explicit NodePeerRef(std::shared_ptr<detail::PeerState> state) : state_(std::move(state)) {}
    const std::shared_ptr<detail::PeerState>& state() const { return state_; }
    bool operator==(const NodePeerRef& other) const { return state_ == other.state_; }

  private:
    std::shared_ptr<detail::PeerState> state_;
};

// A read in flight over a list of buffers that it owns.
class ReadDatagrams {
  public:
    ReadDatagrams(NodePeerRef peer, std::vector<DatagramBuffer> buffers);
    ReadDatagrams(ReadDatagrams&&) noexcept = default;
    ReadDatagrams& operator=(ReadDatagrams&&) noexcept = default;
    ~ReadDatagrams();

    // Ready with the number of leading buffers filled, one datagram each.
    Poll<size_t> poll(const Waker& waker);
    std::vector<DatagramBuffer>& buffers() { return buffers_; }
    std::vector<DatagramBuffer> take_buffers() { return std::move(buffers_); }

  private:
    std::shared_ptr<detail::PeerState> peer_;
    std::vector<DatagramBuffer> buffers_;
    Waker registered_;
};

// A send of a list of datagrams in flight. Dropping it abandons the datagrams not yet taken.
class SendDatagrams {
  public:
    SendDatagrams(NodePeerRef peer, std::vector<Bytes> datagrams);
    SendDatagrams(SendDatagrams&&) noexcept = default;
    SendDatagrams& operator=(SendDatagrams&&) noexcept = default;
    ~SendDatagrams();

    // Ready with success once the node took every datagram of the list, or with the first error
    // (the datagrams after the failing one are not sent).
    Poll<Result<void, SendDatagramError>> poll(const Waker& waker);
    // How many datagrams of the list the node has taken so far.
    size_t sent() const { return next_; }

  private:
    std::shared_ptr<detail::PeerState> peer_;
    std::vector<Bytes> datagrams_;
    size_t next_ = 0;
    Waker registered_;
};

class NodePeer {
  public:
    explicit NodePeer(NodePeerRef ref) : ref_(std::move(ref)) {}

    const PubKey& pk() const;
    const NodePeerRef& ref() const { return ref_; }

    // Moves up to bufs.size() received datagrams into the leading buffers (one each, replacing
    // their contents) and returns how many; pending with the waker registered when none is queued.
    Poll<size_t> poll_read_datagrams(const Waker& waker, std::span<DatagramBuffer> bufs) const;
    // The same as an op that owns its buffers.
    ReadDatagrams read_datagrams(std::vector<DatagramBuffer> bufs) const {
        return ReadDatagrams(ref_, std::move(bufs));
    }

    // Hands the whole list to the node; see SendDatagrams.
    SendDatagrams send_datagrams_wait(std::vector<Bytes> datagrams) const {
        return SendDatagrams(ref_, std::move(datagrams));
    }

    // Sends one datagram now; a full socket buffer is an error here, not a wait.
    Result<void, SendDatagramError> send_datagram(std::span<const uint8_t> datagram) const;

    NodePeerStats stats() const;

    // Copies reach the same peer; two handles are equal when they share the peer's state.
    bool operator==(const NodePeer& other) const { return ref_ == other.ref_; }

  private:
    NodePeerRef ref_;
};

}  // namespace quorvel::p2p
