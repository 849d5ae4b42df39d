// The wire format, the node's socket and the peers' send and receive queues.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "node_internal.h"

namespace quorvel::p2p::detail {

namespace wire {

void write_header(uint8_t* out, const Header& header) {
    std::memcpy(out, MARKER.data(), MARKER.size());
    out[4] = static_cast<uint8_t>(header.type);
    std::memcpy(out + 5, header.network.bytes.data(), 4);
    std::memcpy(out + 9, header.sender.as_bytes().data(), KEY_LEN);
    auto pow = static_cast<uint32_t>(header.pow.value());
    out[41] = static_cast<uint8_t>(pow >> 24);
    out[42] = static_cast<uint8_t>(pow >> 16);
    out[43] = static_cast<uint8_t>(pow >> 8);
    out[44] = static_cast<uint8_t>(pow);
    std::memcpy(out + 45, header.recipient.as_bytes().data(), KEY_LEN);
}

std::optional<Header> read_header(std::span<const uint8_t> datagram) {
    if (datagram.size() < HEADER_LEN ||
        std::memcmp(datagram.data(), MARKER.data(), MARKER.size()) != 0) {
        return std::nullopt;
    }
    uint8_t type = datagram[4];
    if (type < static_cast<uint8_t>(Type::App) || type > static_cast<uint8_t>(Type::Ack)) {
        return std::nullopt;
    }
    Header header;
    header.type = static_cast<Type>(type);
    std::memcpy(header.network.bytes.data(), datagram.data() + 5, 4);
    PubKey::Bytes key{};
    std::memcpy(key.data(), datagram.data() + 9, KEY_LEN);
    header.sender = PubKey(key);
    uint32_t pow = (uint32_t{datagram[41]} << 24) | (uint32_t{datagram[42]} << 16) |
                   (uint32_t{datagram[43]} << 8) | uint32_t{datagram[44]};
    header.pow = Pow(static_cast<int32_t>(pow));
    std::memcpy(key.data(), datagram.data() + 45, KEY_LEN);
    header.recipient = PubKey(key);
    return header;
}

}  // namespace wire

uint64_t stamp_of(Instant t) {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count());
}

std::optional<Instant> instant_of(uint64_t stamp) {
    if (stamp > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
        return std::nullopt;
    }
    return Instant(std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(static_cast<int64_t>(stamp))));
}

Transport::Transport(int fd, SocketAddr local, const Identity& id, NetworkId network,
                     std::shared_ptr<testing::TestHooks> hooks, Node::SocketBuffers buffers)
    : fd(fd),
      local(local),
      own_pk(id.pk()),
      own_pow(id.pow()),
      network(network),
      hooks(std::move(hooks)),
      buffers(buffers) {}

Transport::~Transport() {
    ::close(fd);
    if (!released_.exchange(true, std::memory_order_acq_rel)) {
        socket_release->descriptor_closed();
    }
}

void Transport::release_socket() {
    if (released_.load(std::memory_order_acquire)) {
        return;
    }
    if (replace_with_placeholder(fd) && !released_.exchange(true, std::memory_order_acq_rel)) {
        socket_release->descriptor_closed();
    }
}

wire::Header Transport::header(wire::Type type, const PubKey& recipient) const {
    return wire::Header{type, network, own_pk, own_pow, recipient};
}

int Transport::send_to(const SocketAddr& to, std::span<const uint8_t> header,
                       std::span<const uint8_t> body) {
    iovec iov[2];
    iov[0].iov_base = const_cast<uint8_t*>(header.data());
    iov[0].iov_len = header.size();
    iov[1].iov_base = const_cast<uint8_t*>(body.data());
    iov[1].iov_len = body.size();
    msghdr msg{};
    msg.msg_name = const_cast<sockaddr*>(to.data());
    msg.msg_namelen = static_cast<socklen_t>(to.size());
    msg.msg_iov = iov;
    msg.msg_iovlen = body.empty() ? 1 : 2;
    for (;;) {
        if (::sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) {
            return 0;
        }
        if (errno != EINTR) {
            return errno;
        }
    }
}

void Transport::wait_writable(const Waker& waker) {
    std::function<void()> arm;
    {
        std::lock_guard lock(write_mutex_);
        if (!arm_write_) {
            // The node has stopped: nothing would ever wake this waiter, so wake it now.
            arm = [waker] { waker.wake(); };
        } else {
            // A task polled again before the socket drained is already waiting.
            if (std::none_of(write_waiters_.begin(), write_waiters_.end(),
                             [&](const Waker& w) { return w.will_wake(waker); })) {
                write_waiters_.push_back(waker);
            }
            if (!write_armed_) {
                write_armed_ = true;
                arm = arm_write_;
            }
        }
    }
    if (arm) {
        arm();
    }
}

void Transport::write_wait_done() {
    {
        std::lock_guard lock(write_mutex_);
        write_armed_ = false;
    }
    wake_writers();
}

void Transport::wake_writers() {
    std::vector<Waker> waiters;
    {
        std::lock_guard lock(write_mutex_);
        waiters.swap(write_waiters_);
    }
    for (const auto& w : waiters) {
        w.wake();
    }
}

void Transport::set_write_arm(std::function<void()> arm) {
    std::lock_guard lock(write_mutex_);
    arm_write_ = std::move(arm);
    write_armed_ = false;
}

namespace {

std::array<uint8_t, wire::HEADER_LEN> make_app_header(const Transport& transport,
                                                      const PubKey& to) {
    std::array<uint8_t, wire::HEADER_LEN> out{};
    wire::write_header(out.data(), transport.header(wire::Type::App, to));
    return out;
}

bool would_block(int err) {
    return err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS;
}

}  // namespace

PeerState::PeerState(PubKey pk, std::shared_ptr<Transport> transport, ShortId rx_short_id,
                     uint64_t hello_timeout_ms, std::optional<SocketAddr> remote)
    : pk(pk),
      transport(std::move(transport)),
      app_header(make_app_header(*this->transport, pk)),
      created_at(Clock::now()),
      rx_short_id(rx_short_id),
      hello_timeout_ms(hello_timeout_ms),
      remote(remote) {}

std::optional<SocketAddr> PeerState::remote_addr() {
    {
        std::lock_guard lock(mutex);
        if (remote) {
            return remote;
        }
    }
    // Not heard from yet: the peer may have bound since this peer was made.
    auto found = Directory::instance().lookup(pk);
    if (found) {
        std::lock_guard lock(mutex);
        if (!remote) {
            remote = found;
        }
        return remote;
    }
    return std::nullopt;
}

Poll<Result<void, SendDatagramError>> PeerState::send(std::span<const uint8_t> payload,
                                                      const Waker* waker) {
    using R = Result<void, SendDatagramError>;
    if (transport->stopped.load(std::memory_order_acquire)) {
        return R(unexpected(SendDatagramError::node_stopped()));
    }
    if (payload.size() > wire::MAX_APP_LEN) {
        return R(unexpected(SendDatagramError::too_large(payload.size(), wire::MAX_APP_LEN)));
    }
    if (transport->hooks && transport->hooks->active()) {
        auto decision = transport->hooks->on_send(pk, payload, waker);
        switch (decision.mode) {
            case testing::TestHooks::SendMode::Fail:
                return R(unexpected(*decision.error));
            case testing::TestHooks::SendMode::Pend:
                if (waker == nullptr) {
                    return R(unexpected(SendDatagramError::io(IoError::from_errno(EAGAIN))));
                }
                return std::nullopt;
            case testing::TestHooks::SendMode::Normal:
                break;
        }
        if (!decision.deliver) {
            app_tx.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
            return R();
        }
    }
    auto to = remote_addr();
    if (!to) {
        return R(unexpected(SendDatagramError::peer_unreachable(pk)));
    }
    int err = transport->send_to(*to, app_header, payload);
    if (err != 0 && would_block(err) && waker != nullptr) {
        // Register before the second try, so that space freed in between is not missed.
        transport->wait_writable(*waker);
        err = transport->send_to(*to, app_header, payload);
        if (err != 0 && would_block(err)) {
            return std::nullopt;
        }
    }
    if (err != 0) {
        return R(unexpected(SendDatagramError::io(IoError::from_errno(err))));
    }
    app_tx.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    return R();
}

bool PeerState::check_pow_locked(Pow pow, uint8_t min_difficulty) {
    if (verified_pow == pow) {
        return true;
    }
    bool ok = pow_meets(pk, pow, min_difficulty);
    pow_status = ok ? PowStatus::Ok : PowStatus::Nok;
    if (ok) {
        verified_pow = pow;
    }
    return ok;
}

PeerState::Receipt PeerState::receive(Pow pow, uint8_t min_difficulty, const SocketAddr& from,
                                      std::span<const uint8_t> body) {
    Waker waker;
    {
        std::lock_guard lock(mutex);
        if (!check_pow_locked(pow, min_difficulty)) {
            return Receipt::PowInvalid;
        }
        remote = from;
        if (inbox.size() >= INBOX_LIMIT) {
            ++dropped;
            return Receipt::InboxFull;
        }
        inbox.emplace_back(body.begin(), body.end());
        waker = std::move(reader);
        reader = Waker();
    }
    app_rx.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    waker.wake();
    return Receipt::Delivered;
}

bool PeerState::deliver(std::vector<uint8_t> datagram) {
    Waker waker;
    {
        std::lock_guard lock(mutex);
        if (inbox.size() >= INBOX_LIMIT) {
            ++dropped;
            return false;
        }
        inbox.push_back(std::move(datagram));
        waker = std::move(reader);
        reader = Waker();
    }
    app_rx.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    waker.wake();
    return true;
}

}  // namespace quorvel::p2p::detail

namespace quorvel::p2p {

namespace {

Poll<size_t> read_into(detail::PeerState& peer, const Waker& waker,
                       std::span<DatagramBuffer> bufs) {
    if (bufs.empty()) {
        return size_t{0};
    }
    std::lock_guard lock(peer.mutex);
    if (peer.inbox.empty()) {
        peer.reader = waker;
        return std::nullopt;
    }
    size_t n = std::min(bufs.size(), peer.inbox.size());
    for (size_t i = 0; i < n; ++i) {
        bufs[i] = std::move(peer.inbox.front());
        peer.inbox.pop_front();
    }
    return n;
}

std::optional<Instant> instant_from(Instant::rep rep) {
    if (rep == detail::PeerState::NEVER) {
        return std::nullopt;
    }
    return Instant(Instant::duration(rep));
}

}  // namespace

const PubKey& NodePeer::pk() const {
    return ref_.state()->pk;
}

Poll<size_t> NodePeer::poll_read_datagrams(const Waker& waker,
                                           std::span<DatagramBuffer> bufs) const {
    return read_into(*ref_.state(), waker, bufs);
}

Result<void, SendDatagramError> NodePeer::send_datagram(std::span<const uint8_t> datagram) const {
    // Without a waker the send never pends.
    return *ref_.state()->send(datagram, nullptr);
}

NodePeerStats NodePeer::stats() const {
    auto& peer = *ref_.state();
    if (peer.transport->hooks) {
        if (auto pinned = peer.transport->hooks->pinned_node_peer_stats(peer.pk)) {
            return std::move(*pinned);
        }
    }
    NodePeerStats stats;
    stats.created_at = peer.created_at;
    stats.app_tx = instant_from(peer.app_tx.load(std::memory_order_relaxed));
    stats.app_rx = instant_from(peer.app_rx.load(std::memory_order_relaxed));
    stats.rx_short_id = peer.rx_short_id;
    std::lock_guard lock(peer.mutex);
    stats.pow_status = peer.pow_status;
    stats.tx_short_id = peer.tx_short_id;
    // Version 2 of the protocol is the one with the HELLO and ACK exchange; a peer that handed
    // over its short id in it has shown that it speaks it.
    stats.protocol_v2_supported = peer.tx_short_id.has_value();
    if (peer.remote) {
        PeerPathKey key{peer.transport->local, *peer.remote};
        stats.direct_path_order.push_back(key);
        stats.direct_paths.emplace(key, peer.path);
        stats.reachable = peer.path.is_reachable(Clock::now(), peer.hello_timeout_ms);
    }
    return stats;
}

ReadDatagrams::ReadDatagrams(NodePeerRef peer, std::vector<DatagramBuffer> buffers)
    : peer_(peer.state()), buffers_(std::move(buffers)) {}

ReadDatagrams::~ReadDatagrams() {
    if (peer_ && registered_) {
        // Leave no waker of an abandoned read behind: it may keep its task alive.
        std::lock_guard lock(peer_->mutex);
        if (peer_->reader.will_wake(registered_)) {
            peer_->reader = Waker();
        }
    }
}

Poll<size_t> ReadDatagrams::poll(const Waker& waker) {
    auto result = read_into(*peer_, waker, buffers_);
    registered_ = result ? Waker() : waker;
    return result;
}

SendDatagrams::SendDatagrams(NodePeerRef peer, std::vector<Bytes> datagrams)
    : peer_(peer.state()), datagrams_(std::move(datagrams)) {}

SendDatagrams::~SendDatagrams() = default;

Poll<Result<void, SendDatagramError>> SendDatagrams::poll(const Waker& waker) {
    while (next_ < datagrams_.size()) {
        auto r = peer_->send(datagrams_[next_].span(), &waker);
        if (!r) {
            return std::nullopt;
        }
        if (!r->has_value()) {
            return r;
        }
        // A datagram the node took is released at once.
        datagrams_[next_] = Bytes();
        ++next_;
    }
    return Result<void, SendDatagramError>();
}

}  // namespace quorvel::p2p
