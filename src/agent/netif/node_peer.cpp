#include "agent/netif/node_peer.h"

#include "agent/netif/tun_device.h"
#include "util/driver_task.h"

namespace quorvel::agent {

NodePeerRef::NodePeerRef(std::shared_ptr<NodePeerInner> inner) : ref_(std::move(inner)) {}
NodePeerRef::NodePeerRef(const NodePeerRef& other) = default;
NodePeerRef::NodePeerRef(NodePeerRef&& other) noexcept = default;
NodePeerRef& NodePeerRef::operator=(const NodePeerRef& other) {
    ref_ = other.ref_;
    return *this;
}
NodePeerRef& NodePeerRef::operator=(NodePeerRef&& other) noexcept {
    ref_ = std::move(other.ref_);
    return *this;
}
NodePeerRef::~NodePeerRef() = default;

bool operator==(const NodePeerRef& a, const NodePeerRef& b) {
    return a.ref_.shared() == b.ref_.shared() || a.inner().pk == b.inner().pk;
}

const p2p::PubKey& NodePeer::pk() const {
    return ref_.inner().pk;
}

std::uint64_t NodePeer::ref_count() const {
    auto& inner = ref_.inner();
    std::lock_guard lock(inner.mutex);
    return inner.state.ref_count;
}

std::size_t NodePeer::hash() const {
    return std::hash<p2p::PubKey>()(pk());
}

const p2p::NodePeer& NodePeer::p2p_peer() const {
    return ref_.inner().p2p_peer;
}

Result<NodePeer, IoError> NodePeer::create(const p2p::Node& node, const p2p::PubKey& pk,
                                           const NodePeerSetup& setup) {
    auto p2p_peer = node.initiate(pk);
    if (!p2p_peer) {
        return unexpected(IoError::other(p2p_peer.error().to_string()));
    }
    auto recv_poller = std::make_unique<node_peer::NodePeerPollHelper>(*p2p_peer);
    std::unique_ptr<node_peer::TunDevicePoller> tun_poller;
    if (setup.tun_device) {
        tun_poller = std::make_unique<node_peer::TunDevicePollHelper>(setup.tun_device);
    }
    node_peer::State state(*p2p_peer, std::move(recv_poller), setup.firewall, pk,
                           std::move(tun_poller), setup.mtu);
    NodePeer peer(
        NodePeerRef(std::make_shared<NodePeerInner>(std::move(*p2p_peer), pk, std::move(state))));
    spawn_driver(setup.executor, NodePeerDriver(peer.ref_), [](Result<void, IoError> outcome) {
        packet_half::log_driver_end(node_peer::kTarget, outcome);
    });
    return peer;
}

Poll<Result<void, IoError>> NodePeerDriver::poll(const Waker& waker) {
    static constexpr packet_half::DriverTexts kTexts{
        node_peer::kTarget,     "NodePeerDriver poll",    "NodePeerDriver keep_going = ",
        "NodePeerDriver ready", "NodePeerDriver pending",
    };
    return packet_half::poll_driver(ref_.inner(), waker, kTexts);
}

namespace node_peer {

State::State(p2p::NodePeer p2p_peer, std::unique_ptr<NodePeerPoller> recv_poller,
             std::shared_ptr<AgentFirewall> firewall, p2p::PubKey pk,
             std::unique_ptr<TunDevicePoller> tun_poller, std::uint16_t mtu)
    : p2p_peer(std::move(p2p_peer)),
      recv_poller(std::move(recv_poller)),
      firewall(std::move(firewall)),
      pk(pk),
      tun_poller(std::move(tun_poller)),
      mtu(mtu) {}

Poll<ReceivedDatagrams> PeerReadFuture::poll(const Waker& waker) {
    if (!read_) {
        read_.emplace(peer_->read_datagrams(std::vector<p2p::DatagramBuffer>(slots_)));
    }
    auto count = read_->poll(waker);
    if (!count) {
        return std::nullopt;
    }
    ReceivedDatagrams received{*count, read_->take_buffers()};
    read_.reset();
    peer_.reset();
    return received;
}

Poll<ReceivedDatagrams> NodePeerPollHelper::poll_recv(const Waker& waker, std::size_t slots) {
    return helper_.poll(waker, slots);
}

Poll<Result<std::size_t, IoError>> TunWriteFuture::poll(const Waker& waker) {
    while (next_ < packets_.size()) {
        auto written = tun_->poll_send(waker, packets_[next_]);
        if (!written) {
            return std::nullopt;
        }
        if (!*written) {
            packets_.clear();
            return Result<std::size_t, IoError>(unexpected(std::move(*written).error()));
        }
        BytesMut().swap(packets_[next_]);
        ++next_;
    }
    return Result<std::size_t, IoError>(next_);
}

Poll<Result<std::size_t, IoError>> TunDevicePollHelper::poll_send(const Waker& waker,
                                                                  std::vector<BytesMut> packets) {
    return helper_.poll(waker, std::move(packets));
}

}  // namespace node_peer

}  // namespace quorvel::agent
