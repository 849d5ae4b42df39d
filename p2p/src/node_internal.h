// The node's inner parts, shared by the node, its peer handles and its tasks.
//
// Ownership: NodeCore owns the super peers; the application's handles own the peers, which the
// node only looks up, so that a peer and its queue go with its last handle; a peer owns a share
// of the Transport (the
// socket), never of the node, so peer handles kept by the application hold no node alive. The
// asio objects live in IoParts, owned only by the node's two tasks, so that they go away with
// the tasks (or with the io_context) and never outlive their execution context.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include "p2p/node.h"
#include "p2p/node_peer.h"
#include "p2p/testing.h"

namespace quorvel::p2p::detail {

namespace wire {

// Layout of every datagram the node sends:
//   0  marker 1E 3F 50 01
//   4  message type
//   5  network id (4 bytes)
//   9  sender public key (32 bytes)
//  41  sender proof of work (signed 32-bit, big-endian)
//  45  recipient public key (32 bytes)
//  77  body: the application datagram, or for HELLO and ACK an 8-byte time stamp chosen by the
//      HELLO's sender (echoed by the ACK) and the 4-byte short id the sender gives the recipient
inline constexpr std::array<uint8_t, 4> MARKER{0x1e, 0x3f, 0x50, 0x01};
inline constexpr size_t HEADER_LEN = 77;
inline constexpr size_t CONTROL_BODY_LEN = 12;
inline constexpr size_t MAX_UDP_PAYLOAD = 65507;
inline constexpr size_t MAX_APP_LEN = MAX_UDP_PAYLOAD - HEADER_LEN;

enum class Type : uint8_t { App = 1, Hello = 2, Ack = 3 };

struct Header {
    Type type = Type::App;
    NetworkId network;
    PubKey sender;
    Pow pow;
    PubKey recipient;
};

void write_header(uint8_t* out, const Header& header);
// Nothing when the bytes do not start with a header of a known type.
std::optional<Header> read_header(std::span<const uint8_t> datagram);

}  // namespace wire

struct NodeCore;

// Process-wide table of bound nodes by public key: how nodes of one process find each other.
class Directory {
  public:
    static Directory& instance();
    void enter(const PubKey& pk, const std::shared_ptr<NodeCore>& core, SocketAddr addr);
    void leave(const PubKey& pk, const NodeCore* core);
    std::optional<SocketAddr> lookup(const PubKey& pk);
    std::shared_ptr<NodeCore> find(const PubKey& pk);

  private:
    struct Entry {
        std::weak_ptr<NodeCore> core;
        const NodeCore* raw = nullptr;
        SocketAddr addr;
    };
    std::mutex mutex_;
    std::unordered_map<PubKey, Entry> entries_;
};

// Whether the node's socket is closed, that is its address free for another socket: the socket
// has two descriptors, the transport's and the duplicate that the node's tasks wait on, and is
// closed once both are. Each is counted once, by whichever closes it first.
struct SocketRelease {
    // One of the two descriptors is closed.
    void descriptor_closed();
    void wait();
    bool closed();

  private:
    std::mutex mutex_;
    std::condition_variable closed_cv_;
    int open_ = 2;
};

// The node's UDP socket, shared with its peers for sending.
struct Transport {
    Transport(int fd, SocketAddr local, const Identity& id, NetworkId network,
              std::shared_ptr<testing::TestHooks> hooks, Node::SocketBuffers buffers = {});
    // Closes the descriptor, unless `release_socket` has already put a placeholder in its place.
    ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    // 0 or the errno of the failed send; never blocks.
    int send_to(const SocketAddr& to, std::span<const uint8_t> header,
                std::span<const uint8_t> body);
    wire::Header header(wire::Type type, const PubKey& recipient) const;

    // Registers `waker` to be woken when the socket can take more data.
    void wait_writable(const Waker& waker);
    void wake_writers();
    void set_write_arm(std::function<void()> arm);
    void write_wait_done();

    // Closes the socket behind `fd` while peers may still hold the transport: a descriptor that
    // no socket call accepts (a pipe's end) takes the number over in one step, so that a send
    // racing the stop fails with ENOTSOCK instead of reaching a file that a later open() got that
    // number for. Called once the node has stopped; on the node's strand while its receive task
    // may still read, so that no read meets the placeholder. Should no placeholder be had (no
    // descriptor left), the socket closes with the transport's last holder as before.
    void release_socket();

    const int fd;
    const SocketAddr local;
    const PubKey own_pk;
    const Pow own_pow;
    const NetworkId network;
    const std::shared_ptr<testing::TestHooks> hooks;
    const Node::SocketBuffers buffers;
    std::atomic<bool> stopped{false};
    const std::shared_ptr<SocketRelease> socket_release = std::make_shared<SocketRelease>();

  private:
    std::atomic<bool> released_{false};
    std::mutex write_mutex_;
    std::vector<Waker> write_waiters_;
    std::function<void()> arm_write_;
    bool write_armed_ = false;
};

struct PeerState {
    PeerState(PubKey pk, std::shared_ptr<Transport> transport, ShortId rx_short_id,
              uint64_t hello_timeout_ms, std::optional<SocketAddr> remote);

    static constexpr size_t INBOX_LIMIT = 1024;
    static constexpr Instant::rep NEVER = std::numeric_limits<Instant::rep>::min();

    const PubKey pk;
    const std::shared_ptr<Transport> transport;
    const std::array<uint8_t, wire::HEADER_LEN> app_header;
    const Instant created_at;
    const ShortId rx_short_id;
    const uint64_t hello_timeout_ms;
    std::atomic<Instant::rep> app_tx{NEVER};
    std::atomic<Instant::rep> app_rx{NEVER};

    std::mutex mutex;
    std::deque<std::vector<uint8_t>> inbox;
    Waker reader;
    std::optional<SocketAddr> remote;
    PeerPath path;
    PowStatus pow_status = PowStatus::Unknw;
    std::optional<Pow> verified_pow;
    std::optional<ShortId> tx_short_id;
    uint64_t dropped = 0;

    // Sends one application datagram; with a waker, a full socket makes it pending.
    Poll<Result<void, SendDatagramError>> send(std::span<const uint8_t> payload,
                                               const Waker* waker);
    // Queues a received datagram for the reader; false when the inbox is full.
    bool deliver(std::vector<uint8_t> datagram);

    enum class Receipt { Delivered, PowInvalid, InboxFull };
    // The receive path of one application datagram under a single lock: the sender's proof of
    // work (checked once per value), its address, and the queueing.
    Receipt receive(Pow pow, uint8_t min_difficulty, const SocketAddr& from,
                    std::span<const uint8_t> body);
    // Checks the proof of work and records the outcome; the caller holds `mutex`.
    bool check_pow_locked(Pow pow, uint8_t min_difficulty);
    std::optional<SocketAddr> remote_addr();
};

struct IoParts {
    IoParts(boost::asio::any_io_executor executor, int fd,
            std::shared_ptr<SocketRelease> socket_release);
    ~IoParts();
    IoParts(const IoParts&) = delete;
    IoParts& operator=(const IoParts&) = delete;

    // Closes the duplicate, which ends the waits on it; on the strand. Counted once in
    // `socket_release`, here, in the destructor or in `release_duplicate_now`.
    void close_socket();
    // For a stop that cannot post the close to the strand (memory ran out): a placeholder
    // (replace_with_placeholder) takes the duplicate's number at once, off the strand, so that
    // the socket is closed all the same; the number itself is closed with the parts. Allocates
    // nothing. Only while nothing else can close the duplicate: its caller holds the parts, and
    // no close was posted.
    void release_duplicate_now() noexcept;

    boost::asio::strand<boost::asio::any_io_executor> strand;
    boost::asio::posix::stream_descriptor socket;  // a duplicate of the transport's descriptor
    boost::asio::steady_timer timer;
    const std::shared_ptr<SocketRelease> socket_release;

  private:
    bool socket_closed_ = false;
    // A placeholder has closed the socket and was counted already.
    bool duplicate_released_ = false;
};

// Puts a descriptor that no socket call accepts (a pipe's end) in the place of `fd` in one step:
// the socket behind `fd` is closed (once no other descriptor holds it), while a call racing that
// gets an error rather than a file that a later open() got the number for. False, with `fd` left
// as it was, when no pipe could be had. Allocates nothing.
bool replace_with_placeholder(int fd) noexcept;

// Which senders whose proof of work is below the node's minimum get a warning of their own. Anyone
// can send with made-up keys, so a line per key would let a stranger flood the log: each key is
// reported once, by a line of its own while an interval's budget lasts, otherwise in the count
// that the node writes once that interval is over. Safe to call from any thread.
class PowWarnings {
  public:
    static constexpr size_t POW_WARNINGS_PER_INTERVAL = 5;
    static constexpr std::chrono::seconds POW_WARNING_INTERVAL{5};
    // Keys already reported are forgotten all at once when this many are kept, so that a stream
    // of made-up keys costs bounded memory.
    static constexpr size_t POW_WARNED_LIMIT = 1024;

    struct Decision {
        // Senders of an interval over at `now` that had no line of their own, 0 for none; their
        // count belongs before anything about this sender.
        size_t unwarned_before = 0;
        bool warn_sender = false;
    };
    Decision note(const PubKey& sender, Instant now);
    // Closes the interval when it is over at `now`: the count of its senders without a line of
    // their own, 0 for none.
    size_t close_if_over(Instant now);
    size_t remembered() const;

  private:
    size_t close_locked(Instant now);

    mutable std::mutex mutex_;
    std::unordered_set<PubKey> reported_;
    // Starts with the first sender reported after the last interval closed.
    std::optional<Instant> interval_start_;
    size_t warned_ = 0;
    size_t unwarned_ = 0;
};

struct NodeCore : std::enable_shared_from_this<NodeCore> {
    NodeCore(NodeOpts opts, CancellationToken token, std::shared_ptr<Transport> transport,
             std::set<SocketAddr> local_addrs,
             std::function<Result<util::net::Addrs, IoError>()> get_addrs);
    ~NodeCore();

    const NodeOpts opts;
    const CancellationToken token;
    const std::shared_ptr<Transport> transport;
    const std::function<Result<util::net::Addrs, IoError>()> get_addrs;
    CancellationToken::Registration stop_registration;
    std::weak_ptr<IoParts> io;

    mutable std::mutex mutex;
    std::set<SocketAddr> local_addrs;
    // Entries of released peers linger until the next look-up of their key or a full table.
    std::unordered_map<PubKey, std::weak_ptr<PeerState>> peers;
    std::unordered_map<PubKey, SuperPeerRef> super_peers;
    std::vector<PubKey> super_peer_order;
    std::optional<PubKey> default_route;

    PowWarnings pow_warnings;

    Result<NodePeer, InitiateError> initiate(const PubKey& pk);
    void handle_datagram(std::span<const uint8_t> datagram, const SocketAddr& from, Instant now);
    void housekeeping_pass(Instant now);
    // Runs once, when the node's token fires (or directly, should the token's callbacks fail).
    // Never fails to close the socket: what allocates around the close is only tried.
    void on_stop() noexcept;
    // The steps of the stop: waking the readers' tasks no longer held, and closing the socket.
    void drop_readers();
    void close_socket_soon() noexcept;
    bool inject(const PubKey& from, std::span<const uint8_t> datagram);

  private:
    Result<NodePeer, InitiateError> find_or_make_peer(const PubKey& pk);
    // Sends a HELLO on the peer's direct path when it has an address; with `first_only`, only
    // when the path has never had one.
    void greet(PeerState& peer, Instant now, bool first_only);
    void send_control(wire::Type type, const PubKey& to, const SocketAddr& addr, uint64_t stamp,
                      ShortId short_id);
    std::shared_ptr<PeerState> find_peer(const PubKey& pk);
    SuperPeerRef find_super_peer(const PubKey& pk);
    bool pow_acceptable(PeerState* peer, const wire::Header& header);
    // A WARN with the difficulty seen and the one required, the first time a sender falls short,
    // while the interval's budget of such lines lasts.
    void warn_pow_below_minimum(const wire::Header& header, Instant now);
    // The count of the senders of a closed interval that had no warning of their own.
    void log_pow_summary(size_t unwarned);
};

uint64_t stamp_of(Instant t);
// Nothing for a stamp that no instant of this node's clock gives (2^63 and above).
std::optional<Instant> instant_of(uint64_t stamp);

}  // namespace quorvel::p2p::detail
