#include "p2p/node.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>
#include <bit>
#include <cerrno>
#include <cstring>
#include <variant>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include "node_internal.h"
#include "p2p/identity.h"
#include "util/log.h"

namespace quorvel::p2p {

namespace testing {
std::shared_ptr<TestHooks> hooks_for_binding(const PubKey& node_pk);
}

namespace asio = boost::asio;
using asio::ip::address;

namespace {

constexpr const char* kTarget = "quorvel_p2p::node";
// Datagrams read per wake of the receive task before it yields to other tasks.
constexpr int kReceiveBudget = 64;
// The shortest pause between two housekeeping passes, whatever the options say: each pass greets
// every peer, and a pass after a zero pause would follow the last without end.
constexpr std::chrono::milliseconds kMinHousekeepingPause{10};

}  // namespace

namespace util::net {

Result<Addrs, IoError> get_addrs() {
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) {
        return unexpected(IoError::from_errno(errno));
    }
    Addrs out;
    for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
        if (it->ifa_addr == nullptr) {
            continue;
        }
        if (it->ifa_addr->sa_family == AF_INET) {
            auto* sin = reinterpret_cast<sockaddr_in*>(it->ifa_addr);
            out[it->ifa_name].push_back(asio::ip::address_v4(ntohl(sin->sin_addr.s_addr)));
        } else if (it->ifa_addr->sa_family == AF_INET6) {
            auto* sin6 = reinterpret_cast<sockaddr_in6*>(it->ifa_addr);
            asio::ip::address_v6::bytes_type bytes;
            std::memcpy(bytes.data(), sin6->sin6_addr.s6_addr, bytes.size());
            out[it->ifa_name].push_back(asio::ip::address_v6(bytes, sin6->sin6_scope_id));
        }
    }
    ::freeifaddrs(list);
    return out;
}

}  // namespace util::net

namespace detail {

Directory& Directory::instance() {
    // Never destroyed: nodes still running on runtime workers look peers up while the process's
    // static destructors run (exit() with nodes bound).
    static Directory& d = *new Directory;
    return d;
}

void Directory::enter(const PubKey& pk, const std::shared_ptr<NodeCore>& core, SocketAddr addr) {
    std::lock_guard lock(mutex_);
    entries_[pk] = Entry{core, core.get(), addr};
}

void Directory::leave(const PubKey& pk, const NodeCore* core) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(pk);
    if (it != entries_.end() && it->second.raw == core) {
        entries_.erase(it);
    }
}

std::optional<SocketAddr> Directory::lookup(const PubKey& pk) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(pk);
    if (it == entries_.end()) {
        return std::nullopt;
    }
    return it->second.addr;
}

std::shared_ptr<NodeCore> Directory::find(const PubKey& pk) {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(pk);
    return it == entries_.end() ? nullptr : it->second.core.lock();
}

void SocketRelease::descriptor_closed() {
    std::lock_guard lock(mutex_);
    if (open_ > 0 && --open_ == 0) {
        closed_cv_.notify_all();
    }
}

void SocketRelease::wait() {
    std::unique_lock lock(mutex_);
    closed_cv_.wait(lock, [this] { return open_ == 0; });
}

bool SocketRelease::closed() {
    std::lock_guard lock(mutex_);
    return open_ == 0;
}

IoParts::IoParts(asio::any_io_executor executor, int fd,
                 std::shared_ptr<SocketRelease> socket_release)
    : strand(asio::make_strand(executor)),
      socket(strand, fd),
      timer(strand),
      socket_release(std::move(socket_release)) {}

IoParts::~IoParts() {
    close_socket();
}

void IoParts::close_socket() {
    if (socket_closed_) {
        return;
    }
    socket_closed_ = true;
    boost::system::error_code ignored;
    socket.close(ignored);
    if (!duplicate_released_) {
        socket_release->descriptor_closed();
    }
}

void IoParts::release_duplicate_now() noexcept {
    if (socket_closed_ || duplicate_released_) {
        return;
    }
    if (replace_with_placeholder(socket.native_handle())) {
        duplicate_released_ = true;
        socket_release->descriptor_closed();
    }
}

bool replace_with_placeholder(int fd) noexcept {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return false;
    }
    int replaced;
    do {
        replaced = ::dup3(ends[0], fd, O_CLOEXEC);
    } while (replaced < 0 && errno == EINTR);
    ::close(ends[0]);
    ::close(ends[1]);
    return replaced >= 0;
}

NodeCore::NodeCore(NodeOpts opts, CancellationToken token, std::shared_ptr<Transport> transport,
                   std::set<SocketAddr> local_addrs,
                   std::function<Result<util::net::Addrs, IoError>()> get_addrs)
    : opts(std::move(opts)),
      token(std::move(token)),
      transport(std::move(transport)),
      get_addrs(std::move(get_addrs)),
      local_addrs(std::move(local_addrs)) {}

NodeCore::~NodeCore() {
    // Normally done on stop; a core released without one still leaves nothing behind.
    on_stop();
}

void NodeCore::on_stop() noexcept {
    if (transport->stopped.exchange(true, std::memory_order_acq_rel)) {
        return;
    }
    Directory::instance().leave(transport->own_pk, this);
    transport->set_write_arm(nullptr);
    // Waking needs memory (a task to schedule, a list of peers): should it run out, the tasks
    // left asleep end with the runtime instead, and the socket still closes below.
    try {
        transport->wake_writers();
        drop_readers();
    } catch (...) {
    }
    close_socket_soon();
}

void NodeCore::drop_readers() {
    std::vector<std::shared_ptr<PeerState>> live;
    {
        std::lock_guard lock(mutex);
        for (const auto& [pk, entry] : peers) {
            if (auto peer = entry.lock()) {
                live.push_back(std::move(peer));
            }
        }
    }
    // Reads never complete on a stopped node; their wakers would only keep their tasks alive.
    for (auto& peer : live) {
        std::lock_guard lock(peer->mutex);
        peer->reader = Waker();
    }
}

void NodeCore::close_socket_soon() noexcept {
    // The socket closes now rather than with the last holder of its parts (a task that has yet to
    // run to its end, a peer handle kept by the application), so that its address is free again
    // soon after the stop: on the strand, between two steps of the receive task.
    std::shared_ptr<IoParts> parts = io.lock();
    if (!parts) {
        // The tasks are gone, and their duplicate with them: no read is left to race.
        transport->release_socket();
        return;
    }
    try {
        asio::post(parts->strand, [parts, transport = transport] {
            parts->close_socket();
            parts->timer.cancel();
            transport->release_socket();
        });
    } catch (...) {
        // No memory for the close on the strand: placeholders close both descriptors' socket at
        // once. A read racing this gets an error and ends its task, which the stop ends anyway.
        parts->release_duplicate_now();
        transport->release_socket();
    }
}

std::shared_ptr<PeerState> NodeCore::find_peer(const PubKey& pk) {
    std::lock_guard lock(mutex);
    auto it = peers.find(pk);
    return it == peers.end() ? nullptr : it->second.lock();
}

SuperPeerRef NodeCore::find_super_peer(const PubKey& pk) {
    std::lock_guard lock(mutex);
    auto it = super_peers.find(pk);
    return it == super_peers.end() ? nullptr : it->second;
}

Result<NodePeer, InitiateError> NodeCore::find_or_make_peer(const PubKey& pk) {
    if (transport->stopped.load(std::memory_order_acquire)) {
        return unexpected(InitiateError::node_stopped());
    }
    if (pk == transport->own_pk) {
        return unexpected(InitiateError::send_to_self());
    }
    if (transport->hooks && transport->hooks->initiate_refused(pk)) {
        return unexpected(InitiateError::refused(pk));
    }
    std::optional<SocketAddr> remote = Directory::instance().lookup(pk);
    std::lock_guard lock(mutex);
    if (auto it = peers.find(pk); it != peers.end()) {
        if (auto peer = it->second.lock()) {
            return NodePeer(NodePeerRef(std::move(peer)));
        }
        peers.erase(it);
    }
    if (opts.max_peers != 0 && peers.size() >= opts.max_peers) {
        // Only peers that still have a handle count.
        std::erase_if(peers, [](const auto& entry) { return entry.second.expired(); });
        if (peers.size() >= opts.max_peers) {
            return unexpected(InitiateError::capacity_exceeded(opts.max_peers));
        }
    }
    ShortId rx_id;
    crypto::random_bytes(rx_id.bytes);
    auto peer = std::make_shared<PeerState>(
        pk, transport, rx_id, static_cast<uint64_t>(opts.hello_timeout.count()), remote);
    peers.emplace(pk, peer);
    QV_TRACE(kTarget, "Initiated peer {}", pk);
    return NodePeer(NodePeerRef(std::move(peer)));
}

Result<NodePeer, InitiateError> NodeCore::initiate(const PubKey& pk) {
    auto peer = find_or_make_peer(pk);
    if (peer) {
        // A new path is greeted at once, as the super peers' are at binding, rather than after up
        // to a whole housekeeping interval in which its traffic flows with no ACK to show for it.
        greet(*peer->ref().state(), Clock::now(), /*first_only=*/true);
    }
    return peer;
}

bool NodeCore::inject(const PubKey& from, std::span<const uint8_t> datagram) {
    if (transport->stopped.load(std::memory_order_acquire)) {
        return false;
    }
    auto peer = find_peer(from);
    return peer && peer->deliver(std::vector<uint8_t>(datagram.begin(), datagram.end()));
}

void NodeCore::send_control(wire::Type type, const PubKey& to, const SocketAddr& addr,
                            uint64_t stamp, ShortId short_id) {
    std::array<uint8_t, wire::HEADER_LEN> header{};
    wire::write_header(header.data(), transport->header(type, to));
    std::array<uint8_t, wire::CONTROL_BODY_LEN> body{};
    for (int i = 0; i < 8; ++i) {
        body[static_cast<size_t>(i)] = static_cast<uint8_t>(stamp >> (56 - 8 * i));
    }
    std::memcpy(body.data() + 8, short_id.bytes.data(), 4);
    if (int err = transport->send_to(addr, header, body); err != 0) {
        QV_DEBUG(kTarget, "Failed to send control message to {}: {}", socket_addr_to_string(addr),
                 IoError::from_errno(err));
    }
}

bool NodeCore::pow_acceptable(PeerState* peer, const wire::Header& header) {
    if (peer == nullptr) {
        return pow_meets(header.sender, header.pow, opts.min_pow_difficulty);
    }
    std::lock_guard lock(peer->mutex);
    return peer->check_pow_locked(header.pow, opts.min_pow_difficulty);
}

PowWarnings::Decision PowWarnings::note(const PubKey& sender, Instant now) {
    std::lock_guard lock(mutex_);
    Decision decision{close_locked(now), false};
    if (reported_.contains(sender)) {
        return decision;
    }
    if (reported_.size() >= POW_WARNED_LIMIT) {
        reported_.clear();
    }
    reported_.insert(sender);
    if (!interval_start_) {
        interval_start_ = now;
    }
    if (warned_ < POW_WARNINGS_PER_INTERVAL) {
        ++warned_;
        decision.warn_sender = true;
    } else {
        ++unwarned_;
    }
    return decision;
}

size_t PowWarnings::close_if_over(Instant now) {
    std::lock_guard lock(mutex_);
    return close_locked(now);
}

size_t PowWarnings::close_locked(Instant now) {
    if (!interval_start_ || now - *interval_start_ < POW_WARNING_INTERVAL) {
        return 0;
    }
    interval_start_.reset();
    warned_ = 0;
    return std::exchange(unwarned_, 0);
}

size_t PowWarnings::remembered() const {
    std::lock_guard lock(mutex_);
    return reported_.size();
}

void NodeCore::log_pow_summary(size_t unwarned) {
    if (unwarned != 0) {
        QV_WARN(kTarget, "Ignoring {} more peers whose proof of work is below the required {}",
                unwarned, opts.min_pow_difficulty);
    }
}

void NodeCore::warn_pow_below_minimum(const wire::Header& header, Instant now) {
    const PowWarnings::Decision decision = pow_warnings.note(header.sender, now);
    log_pow_summary(decision.unwarned_before);
    if (decision.warn_sender) {
        QV_WARN(kTarget,
                "Ignoring peer {}: its proof of work has difficulty {}, below the required {}",
                header.sender, pow_difficulty(header.sender, header.pow), opts.min_pow_difficulty);
    }
}

void NodeCore::handle_datagram(std::span<const uint8_t> datagram, const SocketAddr& from,
                               Instant now) {
    auto header = wire::read_header(datagram);
    if (!header) {
        QV_TRACE(kTarget, "Dropping undecodable datagram from {}", socket_addr_to_string(from));
        return;
    }
    if (header->network != transport->network || header->recipient != transport->own_pk ||
        header->sender == transport->own_pk) {
        QV_TRACE(kTarget, "Dropping datagram not meant for this node from {}",
                 socket_addr_to_string(from));
        return;
    }
    std::span<const uint8_t> body = datagram.subspan(wire::HEADER_LEN);
    auto peer = find_peer(header->sender);
    if (header->type == wire::Type::App) {
        if (!peer) {
            QV_TRACE(kTarget, "Dropping datagram from unknown peer {}", header->sender);
            return;
        }
        switch (peer->receive(header->pow, opts.min_pow_difficulty, from, body)) {
            case PeerState::Receipt::Delivered:
                break;
            case PeerState::Receipt::PowInvalid:
                warn_pow_below_minimum(*header, now);
                QV_DEBUG(kTarget, "Dropping datagram from {}: proof of work below difficulty {}",
                         header->sender, opts.min_pow_difficulty);
                break;
            case PeerState::Receipt::InboxFull:
                QV_TRACE(kTarget, "Inbox of peer {} is full; dropping datagram", header->sender);
                break;
        }
        return;
    }
    if (!pow_acceptable(peer.get(), *header)) {
        warn_pow_below_minimum(*header, now);
        QV_DEBUG(kTarget, "Dropping control message from {}: proof of work below difficulty {}",
                 header->sender, opts.min_pow_difficulty);
        return;
    }
    if (body.size() < wire::CONTROL_BODY_LEN) {
        return;
    }
    uint64_t stamp = 0;
    for (int i = 0; i < 8; ++i) {
        stamp = (stamp << 8) | body[static_cast<size_t>(i)];
    }
    ShortId their_id;
    std::memcpy(their_id.bytes.data(), body.data() + 8, 4);
    if (header->type == wire::Type::Hello) {
        ShortId our_id;
        if (peer) {
            std::lock_guard lock(peer->mutex);
            peer->remote = from;
            peer->tx_short_id = their_id;
            our_id = peer->rx_short_id;
        }
        send_control(wire::Type::Ack, header->sender, from, stamp, our_id);
        if (peer) {
            // The peer may have been made before the sender had an address to greet.
            greet(*peer, now, /*first_only=*/true);
        }
        return;
    }
    // An ACK echoes the stamp of our HELLO; one from the future, or one that no instant gives,
    // is not ours.
    const std::optional<Instant> echoed = instant_of(stamp);
    if (!echoed || *echoed > now) {
        QV_TRACE(kTarget, "Dropping ACK with a time stamp this node never sent from {}",
                 header->sender);
        return;
    }
    const Instant sent = *echoed;
    if (auto super_peer = find_super_peer(header->sender)) {
        super_peer->record_ack(transport->local, from, sent, now);
    }
    if (peer) {
        std::lock_guard lock(peer->mutex);
        peer->remote = from;
        peer->tx_short_id = their_id;
        peer->path.record_ack(sent, now);
    }
}

void NodeCore::housekeeping_pass(Instant now) {
    // A flood that stopped still gets its count written.
    log_pow_summary(pow_warnings.close_if_over(now));
    bool no_local_addrs;
    {
        std::lock_guard lock(mutex);
        no_local_addrs = local_addrs.empty();
    }
    if (no_local_addrs && get_addrs) {
        if (auto addrs = get_addrs()) {
            auto found = Node::local_addrs_for_socket(*addrs, transport->local);
            std::lock_guard lock(mutex);
            local_addrs = std::move(found);
        }
    }
    std::vector<SuperPeerRef> supers;
    std::vector<std::shared_ptr<PeerState>> known;
    {
        std::lock_guard lock(mutex);
        for (const auto& pk : super_peer_order) {
            supers.push_back(super_peers.at(pk));
        }
        std::erase_if(peers, [&](const auto& entry) {
            auto peer = entry.second.lock();
            if (!peer) {
                return true;
            }
            known.push_back(std::move(peer));
            return false;
        });
    }
    uint64_t stamp = stamp_of(now);
    for (const auto& sp : supers) {
        auto resolved = sp->resolved_addrs();
        if (!resolved) {
            continue;
        }
        for (const auto& addr : *resolved) {
            sp->record_hello(transport->local, addr, now);
            send_control(wire::Type::Hello, sp->url().pk(), addr, stamp, ShortId{});
        }
    }
    for (const auto& peer : known) {
        greet(*peer, now, /*first_only=*/false);
    }
}

void NodeCore::greet(PeerState& peer, Instant now, bool first_only) {
    auto addr = peer.remote_addr();
    if (!addr) {
        return;
    }
    {
        std::lock_guard lock(peer.mutex);
        // A path that has had a HELLO keeps one pending or has had its ACK.
        if (first_only && (peer.path.unanswered_hello_since || peer.path.last_ack_time)) {
            return;
        }
        peer.path.record_hello(now);
    }
    send_control(wire::Type::Hello, peer.pk, *addr, stamp_of(now), peer.rx_short_id);
}

namespace {

asio::awaitable<void> receive_task(std::shared_ptr<NodeCore> core, std::shared_ptr<IoParts> io) {
    std::vector<uint8_t> buffer(65536);
    while (!core->token.is_cancelled()) {
        boost::system::error_code ec;
        co_await io->socket.async_wait(asio::posix::descriptor_base::wait_read,
                                       asio::redirect_error(asio::use_awaitable, ec));
        if (ec || core->token.is_cancelled()) {
            break;
        }
        for (int i = 0; i < kReceiveBudget; ++i) {
            sockaddr_storage from{};
            socklen_t from_len = sizeof from;
            ssize_t n = ::recvfrom(core->transport->fd, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &from_len);
            if (n < 0) {
                int err = errno;
                if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR || err == ECONNREFUSED) {
                    break;
                }
                QV_ERROR(kTarget, "I/O error: {}", IoError::from_errno(err));
                co_return;
            }
            SocketAddr sender;
            if (from_len <= sender.capacity()) {
                std::memcpy(sender.data(), &from, from_len);
                sender.resize(from_len);
            }
            core->handle_datagram(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)),
                                  sender, Clock::now());
        }
    }
}

asio::awaitable<void> housekeeping_task(std::shared_ptr<NodeCore> core,
                                        std::shared_ptr<IoParts> io) {
    while (!core->token.is_cancelled()) {
        core->housekeeping_pass(Clock::now());
        io->timer.expires_after(std::max(core->opts.housekeeping_interval, kMinHousekeepingPause));
        boost::system::error_code ec;
        co_await io->timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    }
}

struct FdGuard {
    int fd = -1;
    ~FdGuard() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    int release() { return std::exchange(fd, -1); }
};

asio::awaitable<Result<std::vector<SocketAddr>, IoError>> resolve_literal(std::string host,
                                                                          uint16_t port) {
    std::vector<SocketAddr> out;
    if (host == "localhost") {
        out.emplace_back(asio::ip::address_v4::loopback(), port);
        out.emplace_back(asio::ip::address_v6::loopback(), port);
        co_return out;
    }
    boost::system::error_code ec;
    address addr = asio::ip::make_address(host, ec);
    if (ec) {
        co_return unexpected(
            IoError::other("only IP addresses and localhost can be resolved here"));
    }
    out.emplace_back(addr, port);
    co_return out;
}

// The look-up of `host`, or nothing once `limit` has passed. Both run on `strand`.
asio::awaitable<std::variant<Result<std::vector<SocketAddr>, IoError>, std::monostate>>
resolve_within(BindHooks::Resolver resolve, std::string host, uint16_t port,
               asio::strand<asio::any_io_executor> strand, std::chrono::milliseconds limit) {
    using asio::experimental::awaitable_operators::operator||;
    asio::steady_timer timer(strand, limit);
    co_return co_await (resolve(std::move(host), port) || timer.async_wait(asio::use_awaitable));
}

}  // namespace

}  // namespace detail

Node::Node(std::shared_ptr<detail::NodeCore> core) : core_(std::move(core)) {}

Node::~Node() {
    stop();
}

void Node::stop() {
    try {
        core_->token.cancel();
    } catch (...) {
        // A callback of the token failed (memory ran out) and the ones after it were dropped;
        // the node's own stop, which may have been among them, runs below.
    }
    core_->on_stop();
}

Node::SocketClosed Node::socket_closed() const {
    return SocketClosed(core_->transport->socket_release);
}

void Node::SocketClosed::wait() const {
    release_->wait();
}

bool Node::SocketClosed::closed() const {
    return release_->closed();
}

const NodeOpts& Node::opts() const {
    return core_->opts;
}
const PubKey& Node::pk() const {
    return core_->opts.id.pk();
}
SocketAddr Node::local_addr() const {
    return core_->transport->local;
}
Node::SocketBuffers Node::socket_buffers() const {
    return core_->transport->buffers;
}
const CancellationToken& Node::cancellation_token() const {
    return core_->token;
}

std::set<SocketAddr> Node::local_addrs() const {
    std::lock_guard lock(core_->mutex);
    return core_->local_addrs;
}

Result<NodePeer, InitiateError> Node::initiate(const PubKey& pk) const {
    return core_->initiate(pk);
}

std::optional<PubKey> Node::default_route() const {
    std::lock_guard lock(core_->mutex);
    return core_->default_route;
}

std::vector<std::pair<PubKey, SuperPeerRef>> Node::super_peers() const {
    std::lock_guard lock(core_->mutex);
    std::vector<std::pair<PubKey, SuperPeerRef>> out;
    for (const auto& pk : core_->super_peer_order) {
        out.emplace_back(pk, core_->super_peers.at(pk));
    }
    return out;
}

namespace {

// Asks for `request` bytes of one socket buffer; a refusal keeps the system's default. Returns
// the size the system reports afterwards.
int size_socket_buffer(int fd, int option, int request) {
    if (request > 0) {
        (void)::setsockopt(fd, SOL_SOCKET, option, &request, sizeof request);
    }
    int got = 0;
    socklen_t len = sizeof got;
    if (::getsockopt(fd, SOL_SOCKET, option, &got, &len) != 0) {
        return 0;
    }
    return got;
}

}  // namespace

Result<Node::BoundSocket, node::Error> Node::bind_udp_socket(const std::vector<address>& udp_addrs,
                                                             uint16_t port, int buffer_request) {
    address bind_addr =
        udp_addrs.empty() ? address(asio::ip::address_v4::loopback()) : udp_addrs.front();
    SocketAddr endpoint(bind_addr, port);
    int fd = ::socket(bind_addr.is_v4() ? AF_INET : AF_INET6,
                      SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return unexpected(node::Error::bind_error(IoError::from_errno(errno), port));
    }
    detail::FdGuard guard{fd};
    if (::bind(fd, endpoint.data(), static_cast<socklen_t>(endpoint.size())) != 0) {
        return unexpected(node::Error::bind_error(IoError::from_errno(errno), port));
    }
    SocketAddr bound;
    socklen_t len = static_cast<socklen_t>(bound.capacity());
    if (::getsockname(fd, bound.data(), &len) != 0) {
        return unexpected(node::Error::udp_local_addr_error(IoError::from_errno(errno)));
    }
    bound.resize(len);
    SocketBuffers buffers{size_socket_buffer(fd, SO_RCVBUF, buffer_request),
                          size_socket_buffer(fd, SO_SNDBUF, buffer_request)};
    return BoundSocket{guard.release(), bound, buffers};
}

std::set<SocketAddr> Node::local_addrs_for_socket(const util::net::Addrs& addrs,
                                                  const SocketAddr& bound) {
    std::set<SocketAddr> out;
    const address& bound_addr = bound.address();
    for (const auto& [name, list] : addrs) {
        for (const auto& a : list) {
            if (a.is_v4() != bound_addr.is_v4()) {
                continue;
            }
            // A socket bound to one address is reached only there.
            if (!bound_addr.is_unspecified() && a != bound_addr) {
                continue;
            }
            out.emplace(a, bound.port());
        }
    }
    return out;
}

std::set<SocketAddr> Node::resolved_addrs_for_socket(const std::vector<SocketAddr>& resolved,
                                                     const SocketAddr& bound) {
    std::set<SocketAddr> out;
    for (const auto& a : resolved) {
        if (a.address().is_v4() == bound.address().is_v4()) {
            out.insert(a);
        }
    }
    return out;
}

asio::awaitable<Result<NodeRef, node::Error>> Node::bind(NodeOpts opts, BindHooks hooks) {
    auto executor = co_await asio::this_coro::executor;
    co_return co_await bind(asio::any_io_executor(executor), std::move(opts), std::move(hooks));
}

asio::awaitable<Result<NodeRef, node::Error>> Node::bind(asio::any_io_executor executor,
                                                         NodeOpts opts, BindHooks hooks) {
    using asio::experimental::awaitable_operators::operator||;
    using E = node::Error;

    // 1. Agreement keys.
    std::optional<crypto::AgreementKey> agreement_sk;
    std::optional<crypto::AgreementKey> agreement_pk;
    if (opts.arm_messages) {
        auto sk = crypto::convert_ed25519_sk_to_curve25519_sk(opts.id.sk());
        if (!sk) {
            co_return unexpected(E::crypto_error(sk.error()));
        }
        auto pk = crypto::convert_ed25519_pk_to_curve25519_pk(opts.id.pk());
        if (!pk) {
            co_return unexpected(E::crypto_error(pk.error()));
        }
        agreement_sk = *sk;
        agreement_pk = *pk;
    }
    // 2. The peer table's size must be usable as a power-of-two capacity.
    if (opts.max_peers != 0 && !std::has_single_bit(opts.max_peers)) {
        co_return unexpected(E::bind_parse_error(
            fmt::format("max_peers must be 0 or a power of two, got {}", opts.max_peers)));
    }
    // 3.
    uint16_t port = opts.effective_udp_port();
    QV_TRACE(kTarget, "UDP port: {}", port);
    // 4.
    CancellationToken token;
    // 5.
    if (opts.super_peers.empty()) {
        co_return unexpected(E(E::Kind::NoSuperPeers));
    }
    for (const auto& sp : opts.super_peers) {
        if (sp.network_id() != opts.network_id()) {
            co_return unexpected(
                E::super_peer_network_id_mismatch(opts.network_id(), sp.network_id()));
        }
    }
    // 7.
    if (!executor) {
        co_return unexpected(E(E::Kind::NoAsyncRuntimeFound));
    }
    // 8.
    auto socket = bind_udp_socket(opts.udp_addrs, port);
    if (!socket) {
        co_return unexpected(socket.error());
    }
    detail::FdGuard fd_guard{socket->fd};
    // 9.
    auto get_addrs = hooks.get_addrs ? hooks.get_addrs : [] { return util::net::get_addrs(); };
    util::net::Addrs addrs;
    if (auto found = get_addrs()) {
        addrs = std::move(*found);
    } else {
        std::vector<log::Field> fields{{"error", found.error().to_string()}};
        QV_LOG_FIELDS(log::Level::Warn, kTarget, fields,
                      "Failed to enumerate local interfaces during startup; continuing without "
                      "local addrs and retrying via housekeeping");
    }
    std::set<SocketAddr> local_addrs = local_addrs_for_socket(addrs, socket->addr);
    // 10.
    auto test_hooks = testing::hooks_for_binding(opts.id.pk());
    auto resolve = hooks.resolve ? hooks.resolve : detail::resolve_literal;
    std::unordered_map<PubKey, SuperPeerRef> super_peers;
    std::vector<PubKey> order;
    for (const auto& url : opts.super_peers) {
        std::optional<crypto::SessionKeys> session_keys;
        if (opts.arm_messages) {
            if (!agreement_pk) {
                co_return unexpected(E(E::Kind::AgreementPkNotPresent));
            }
            if (!agreement_sk) {
                co_return unexpected(E(E::Kind::AgreementSkNotPresent));
            }
            auto their_pk = crypto::convert_ed25519_pk_to_curve25519_pk(url.pk());
            if (!their_pk) {
                co_return unexpected(E::crypto_error(their_pk.error()));
            }
            auto kx = crypto::compute_kx_session_keys(*agreement_pk, *agreement_sk, *their_pk);
            if (!kx) {
                co_return unexpected(E::crypto_error(kx.error()));
            }
            auto keys = crypto::SessionKeys::create(kx->rx, kx->tx);
            if (!keys) {
                co_return unexpected(E::crypto_error(keys.error()));
            }
            session_keys = *keys;
        }
        QV_TRACE(kTarget, "Resolve hostname {}", url.addr());
        std::optional<std::set<SocketAddr>> resolved;
        // The racing pair cancels its loser from the winner's completion; on a runtime with
        // several threads that is safe only when both run on one strand.
        auto strand = asio::make_strand(executor);
        auto outcome = co_await asio::co_spawn(
            strand,
            detail::resolve_within(resolve, url.host(), url.port(), strand, hooks.resolve_timeout),
            asio::use_awaitable);
        if (outcome.index() == 0) {
            auto& found = std::get<0>(outcome);
            if (found) {
                std::string list;
                for (const auto& a : *found) {
                    list += (list.empty() ? "" : ", ") + socket_addr_to_string(a);
                }
                QV_TRACE(kTarget, "Resolved hostname {} to {{{}}}", url.addr(), list);
                resolved = resolved_addrs_for_socket(*found, socket->addr);
            } else {
                QV_WARN(kTarget, "Failed to resolve hostname {}: {}", url.addr(), found.error());
            }
        } else {
            QV_WARN(kTarget, "Timeout of {} ms exceeded while attempting to resolve hostname {}",
                    hooks.resolve_timeout.count(), url.addr());
        }
        auto record = std::make_shared<SuperPeer>(
            url, std::move(session_keys), std::move(resolved), local_addrs,
            static_cast<uint64_t>(opts.hello_timeout.count()), test_hooks);
        if (super_peers.insert_or_assign(url.pk(), std::move(record)).second) {
            order.push_back(url.pk());
        }
    }
    // 11.
    QV_INFO(kTarget, "UDP socket buffers: receive {} bytes, send {} bytes (asked for {} each)",
            socket->buffers.receive, socket->buffers.send, SOCKET_BUFFER_REQUEST);
    auto transport = std::make_shared<detail::Transport>(
        fd_guard.release(), socket->addr, opts.id, opts.network_id(), test_hooks, socket->buffers);
    PubKey first_super_peer = opts.super_peers.front().pk();
    auto core = std::make_shared<detail::NodeCore>(std::move(opts), token, transport,
                                                   std::move(local_addrs), get_addrs);
    core->super_peers = std::move(super_peers);
    core->super_peer_order = std::move(order);
    core->default_route = first_super_peer;

    int io_fd = ::fcntl(transport->fd, F_DUPFD_CLOEXEC, 0);
    if (io_fd < 0) {
        co_return unexpected(E::bind_error(IoError::from_errno(errno), port));
    }
    auto io = std::make_shared<detail::IoParts>(executor, io_fd, transport->socket_release);
    core->io = io;
    std::weak_ptr<detail::IoParts> weak_io = io;
    transport->set_write_arm([weak_io, weak_transport = std::weak_ptr(transport)] {
        auto parts = weak_io.lock();
        if (!parts) {
            return;
        }
        asio::post(parts->strand, [parts, weak_transport] {
            parts->socket.async_wait(asio::posix::descriptor_base::wait_write,
                                     [weak_transport](boost::system::error_code) {
                                         if (auto t = weak_transport.lock()) {
                                             t->write_wait_done();
                                         }
                                     });
        });
    });
    std::weak_ptr<detail::NodeCore> weak_core = core;
    test_hooks->set_injector([weak_core](const PubKey& from, std::span<const uint8_t> data) {
        auto c = weak_core.lock();
        return c && c->inject(from, data);
    });
    core->stop_registration = token.on_cancel([weak_core] {
        if (auto c = weak_core.lock()) {
            c->on_stop();
        }
    });
    detail::Directory::instance().enter(core->opts.id.pk(), core, [&] {
        SocketAddr reach = transport->local;
        if (reach.address().is_unspecified()) {
            reach.address(reach.address().is_v4() ? address(asio::ip::address_v4::loopback())
                                                  : address(asio::ip::address_v6::loopback()));
        }
        return reach;
    }());
    // 12. The tasks run on the node's strand; the node's token ends them.
    // A task that fails ends alone, with its error logged; it never takes the runtime down.
    auto log_failure = [](std::exception_ptr failure) {
        if (!failure) {
            return;
        }
        try {
            std::rethrow_exception(failure);
        } catch (const std::exception& e) {
            QV_ERROR(kTarget, "I/O error: {}", e.what());
        } catch (...) {
            QV_ERROR(kTarget, "I/O error: unknown failure");
        }
    };
    asio::co_spawn(io->strand, detail::receive_task(core, io), log_failure);
    asio::co_spawn(io->strand, detail::housekeeping_task(core, io), log_failure);
    // 13.
    co_return std::make_shared<Node>(std::move(core));
}

}  // namespace quorvel::p2p
