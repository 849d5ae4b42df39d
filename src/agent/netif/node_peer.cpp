#include "agent/netif/node_peer.h"

#include "agent/netif/tun_device.h"

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

namespace node_peer {

State::State(p2p::PubKey pk, std::weak_ptr<AgentInner> agent_inner,
             std::unique_ptr<TunDevicePoller> tun_poller, std::uint16_t mtu)
    : agent_inner(std::move(agent_inner)), pk(pk), tun_poller(std::move(tun_poller)), mtu(mtu) {}

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
