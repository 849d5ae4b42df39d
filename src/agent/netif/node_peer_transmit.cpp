// The inbound pass: the peer's datagrams, through the cheap tests and the receive trie, into the
// tunnel.
#include "agent/netif/control_packet.h"
#include "agent/netif/icmp_reply.h"
#include "agent/netif/node_peer.h"
#include "util/ip_packet.h"
#include "util/log.h"

namespace quorvel::agent::node_peer {

namespace {

using log::Field;
using log::Level;

std::vector<Field> pk_field(const p2p::PubKey& pk) {
    return {{"pk", pk.to_string()}};
}

std::vector<Field> pk_error_fields(const p2p::PubKey& pk, std::string error) {
    return {{"pk", pk.to_string()}, {"error", std::move(error)}};
}

std::vector<Field> peer_addr_fields(const p2p::PubKey& pk, Ipv4Addr src, Ipv4Addr dst) {
    return {{"peer", pk.to_string()}, {"src", src.to_string()}, {"dst", dst.to_string()}};
}

}  // namespace

Result<bool, IoError> State::drive_transmit(const Waker& waker) {
    QV_TRACE(kTarget, "Drive transmit.");

    if (!tun_poller) {
        // Made before the agent had a tunnel device: what arrives can only be dropped.
        auto received = recv_poller->poll_recv(waker, kReadSlots);
        if (!received) {
            QV_TRACE(kTarget, "Recv pending");
            return false;
        }
        if (received->count > 0) {
            QV_LOG_FIELDS(Level::Warn, kTarget,
                          (std::vector<Field>{{"pk", pk.to_string()},
                                              {"dropped_count", std::to_string(received->count)}}),
                          "No TUN device available, dropping {} received datagram(s). Messages "
                          "cannot be forwarded.",
                          received->count);
        }
        return false;
    }

    // A write left in flight by the last pass is polled before anything is read.
    bool resume_write = std::exchange(pending_writes, false);
    std::size_t written = 0;
    for (std::size_t reads = 0;;) {
        std::vector<BytesMut> batch;
        if (!resume_write) {
            if (reads == kMaxReadsPerPass) {
                return true;
            }
            ++reads;
            auto received = recv_poller->poll_recv(waker, kReadSlots);
            if (!received) {
                QV_TRACE(kTarget, "Recv pending");
                return false;
            }
            QV_TRACE(kTarget, "Recv ready. Got {} datagrams.", received->count);
            for (std::size_t i = 0; i < received->count && i < received->slots.size(); ++i) {
                handle_datagram(received->slots[i], batch);
                p2p::DatagramBuffer().swap(received->slots[i]);
            }
        }
        resume_write = false;

        // Offered after every read, an empty batch too. While a write is in flight the poller
        // discards what it is given and reports that write, which carries the parked batch.
        auto sent = tun_poller->poll_send(waker, std::move(batch));
        if (!sent) {
            QV_TRACE(kTarget, "Send pending, buffering datagram.");
            pending_writes = true;
            return false;
        }
        if (*sent) {
            QV_LOG_FIELDS(Level::Trace, kTarget, pk_field(pk),
                          "Successfully forwarded packet to TUN device.");
            written += **sent;
        } else {
            QV_LOG_FIELDS(Level::Warn, kTarget, pk_error_fields(pk, sent->error().to_string()),
                          "Failed to forward packet to TUN device: {}", sent->error());
        }
        if (written > kWriteBudget) {
            return true;
        }
    }
}

void State::handle_datagram(p2p::DatagramBuffer& datagram, std::vector<BytesMut>& writes) {
    const auto header = ip::Ipv4HeaderSlice::from_slice(datagram);
    if (!header) {
        if (header.error().kind == ip::Ipv4HeaderError::Kind::UnexpectedVersion) {
            QV_LOG_FIELDS(Level::Debug, kTarget, pk_field(pk),
                          "Received IPv6 packet (IPv6 is not supported, packet dropped)");
        } else {
            QV_LOG_FIELDS(Level::Debug, kTarget, pk_error_fields(pk, header.error().to_string()),
                          "Failed to decode IP packet: {}", header.error());
        }
        return;
    }
    const Ipv4Addr src = header->source_addr();
    const Ipv4Addr dst = header->destination_addr();
    const std::size_t len = datagram.size();
    QV_LOG_FIELDS(Level::Trace, kTarget,
                  (std::vector<Field>{{"pk", pk.to_string()},
                                      {"src", src.to_string()},
                                      {"dst", dst.to_string()},
                                      {"payload_len", std::to_string(len)}}),
                  "Received packet from Quorvel.");

    if (len > mtu && header->dont_fragment()) {
        QV_LOG_FIELDS(Level::Trace, kTarget,
                      (std::vector<Field>{{"peer", pk.to_string()},
                                          {"src", src.to_string()},
                                          {"dst", dst.to_string()},
                                          {"packet_size", std::to_string(len)},
                                          {"mtu", std::to_string(mtu)}}),
                      "Packet size {} bytes exceeds MTU {} bytes with Don't Fragment flag set, "
                      "sending ICMP Fragmentation Needed",
                      len, mtu);
        const auto reply = create_icmp_fragmentation_needed(datagram, *header, mtu);
        auto sent = p2p_peer.send_datagram(reply);
        if (sent) {
            QV_LOG_FIELDS(Level::Trace, kTarget, pk_field(pk),
                          "Successfully sent ICMP Fragmentation Needed response to peer");
        } else {
            QV_LOG_FIELDS(Level::Warn, kTarget, pk_error_fields(pk, sent.error().to_string()),
                          "Failed to send ICMP Fragmentation Needed response to peer: {}",
                          sent.error().to_string());
        }
        return;
    }

    if (is_quorvel_control_packet(datagram)) {
        QV_LOG_FIELDS(Level::Trace, kTarget, peer_addr_fields(pk, src, dst),
                      "Dropping Quorvel control plane packet: {} -> {} (control traffic filtered)",
                      src, dst);
        return;
    }

    if (!firewall || !firewall->handle_inbound_packet(std::move(datagram), *header, pk, writes)) {
        QV_LOG_FIELDS(Level::Debug, kTarget, pk_field(pk),
                      "No inbound route found for destination (missing destination route in "
                      "routing table).");
    }
}

}  // namespace quorvel::agent::node_peer
