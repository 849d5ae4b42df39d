#include "agent/netif/tun_device.h"

#include "util/driver_task.h"
#include "util/log.h"

namespace quorvel::agent {

namespace tun_device {

namespace {

constexpr packet_half::DriverTexts kDriverTexts{
    kTarget,
    "TunDeviceDriver poll called",
    "TunDeviceDriver keep_going = ",
    "TunDeviceDriver ready",
    "TunDeviceDriver pending",
};

// The IPv4 total length of a packet, when the packet is IPv4 and long enough to carry it.
std::optional<std::size_t> ipv4_total_length(std::span<const std::uint8_t> packet) {
    if (packet.size() < 4 || (packet[0] >> 4) != 4) {
        return std::nullopt;
    }
    return (static_cast<std::size_t>(packet[2]) << 8) | packet[3];
}

}  // namespace

Poll<Result<ReceivedPackets, IoError>> TunReadFuture::poll(const Waker& waker) {
    for (int dropped = 0;;) {
        if (buffer_.size() != read_size_) {
            buffer_.resize(read_size_);
        }
        auto read = device_->poll_recv(waker, buffer_);
        if (!read) {
            return std::nullopt;
        }
        if (!*read) {
            return Result<ReceivedPackets, IoError>(unexpected(std::move(*read).error()));
        }
        const std::size_t n = **read;
        const auto total = ipv4_total_length(std::span(buffer_.data(), n));
        if (total && *total > n) {
            QV_DEBUG(kTarget,
                     "Dropping packet cut short by the read: IPv4 total length {} exceeds the {} "
                     "bytes read",
                     *total, n);
            if (++dropped == kMaxDropsPerPoll) {
                waker.wake();
                return std::nullopt;
            }
            continue;
        }
        buffer_.resize(n);
        ReceivedPackets received;
        received.count = 1;
        received.packets.emplace_back(std::move(buffer_));
        buffer_ = BytesMut();
        return Result<ReceivedPackets, IoError>(std::move(received));
    }
}

Poll<Result<ReceivedPackets, IoError>> TunDevicePollHelper::poll_recv(const Waker& waker,
                                                                      std::size_t /*count*/) {
    return helper_.poll(waker);
}

Poll<Result<void, IoError>> PeerSendFuture::poll(const Waker& waker) {
    std::optional<log::SpanGuard> span;
    if (log::enabled(log::Level::Trace)) {
        span.emplace(log::Level::Trace, "node_peer",
                     std::vector<log::Field>{{"pk", peer_->pk().to_string()}});
    }
    if (!send_) {
        send_.emplace(peer_->p2p_peer().send_datagrams_wait(std::move(datagrams_)));
    }
    auto sent = send_->poll(waker);
    if (!sent) {
        return std::nullopt;
    }
    Result<void, IoError> outcome;
    if (!*sent) {
        outcome = unexpected(IoError::other(sent->error().to_string()));
    }
    span.reset();
    send_.reset();
    peer_.reset();
    return outcome;
}

Poll<Result<void, IoError>> NodePeerPollHelper::poll_send(const Waker& waker, NodePeer peer,
                                                          std::vector<Bytes> datagrams) {
    return helper_->poll(waker, std::move(peer), std::move(datagrams));
}

State::State(std::shared_ptr<AsyncDevice> tun, std::unique_ptr<TunDevicePoller> tun_poller,
             std::unique_ptr<NodePeerPoller> send_poller, std::shared_ptr<AgentFirewall> firewall,
             std::shared_ptr<AgentDns> dns)
    : tun(std::move(tun)),
      tun_poller(std::move(tun_poller)),
      send_poller(std::move(send_poller)),
      firewall(std::move(firewall)),
      dns(std::move(dns)) {}

}  // namespace tun_device

TunDeviceRef TunDeviceRef::create(std::shared_ptr<AsyncDevice> device, tun_device::State state) {
    return TunDeviceRef(std::make_shared<TunDeviceInner>(std::move(device), std::move(state)));
}

Poll<Result<void, IoError>> TunDeviceDriver::poll(const Waker& waker) {
    return packet_half::poll_driver(ref_.inner(), waker, tun_device::kDriverTexts);
}

std::shared_ptr<TunDevice> TunDevice::create(const boost::asio::any_io_executor& executor,
                                             std::shared_ptr<AsyncDevice> device,
                                             std::shared_ptr<AgentFirewall> firewall,
                                             std::shared_ptr<AgentDns> dns, std::uint16_t mtu) {
    tun_device::State state(device, std::make_unique<tun_device::TunDevicePollHelper>(device, mtu),
                            std::make_unique<tun_device::NodePeerPollHelper>(), std::move(firewall),
                            std::move(dns));
    auto tun = std::make_shared<TunDevice>(TunDeviceRef::create(device, std::move(state)));
    spawn_driver(
        executor, TunDeviceDriver(tun->ref_),
        [](Result<void, IoError> outcome) {
            // The task fails with the error; it is reported here, confined to this task.
            packet_half::log_driver_end(tun_device::kTarget, outcome);
        },
        // The reader keeps its worker through several passes while the tunnel has packets: the
        // kernel drops what arrives at a full transmit queue.
        kPollsPerRun);
    return tun;
}

Poll<Result<std::size_t, IoError>> TunDevice::poll_send(
    const Waker& waker, std::span<const std::uint8_t> packet) const {
    return device()->poll_send(waker, packet);
}

void TunDevice::drop_parked_sends() const {
    auto& inner = ref_.inner();
    // The peers go after the lock: one of them may be the last handle of a peer that keeps this
    // device.
    packet_half::HoldReleases hold;
    std::lock_guard lock(inner.mutex);
    inner.state.pending_batches.reset();
    inner.state.send_poller->abandon();
}

boost::asio::awaitable<Result<std::size_t, IoError>> TunDevice::send(
    std::span<const std::uint8_t> packet) const {
    return device()->send(packet);
}

}  // namespace quorvel::agent
