// The outbound pass: packets read from the tunnel, through the cheap tests and the transmit trie,
// in batches to their peers; packets without a route go to the DNS component or get an ICMP
// Host Unreachable back in the tunnel.
#include "agent/dns/agent_dns.h"
#include "agent/netif/control_packet.h"
#include "agent/netif/icmp_reply.h"
#include "agent/netif/tun_device.h"
#include "util/ip_packet.h"
#include "util/log.h"

namespace quorvel::agent::tun_device {

namespace {

using log::Field;
using log::Level;

std::vector<Field> addr_fields(Ipv4Addr src, Ipv4Addr dst) {
    return {{"src", src.to_string()}, {"dst", dst.to_string()}};
}

}  // namespace

Result<bool, IoError> State::drive_transmit(const Waker& waker) {
    QV_TRACE(kTarget, "Drive transmit.");
    std::optional<BatchMap> parked = std::exchange(pending_batches, std::nullopt);
    std::size_t sends = 0;
    // One map for every read of the pass: the send step empties it and keeps its storage.
    BatchMap batches;
    for (std::size_t reads = 0;;) {
        if (parked) {
            batches = std::move(*parked);
            parked.reset();
        } else {
            if (reads == kMaxReadsPerPass) {
                return true;
            }
            ++reads;
            auto received = tun_poller->poll_recv(waker, 1);
            if (!received) {
                QV_TRACE(kTarget, "Recv pending");
                return false;
            }
            if (!*received) {
                QV_TRACE(kTarget, "Recv error: {}", received->error());
                return unexpected(std::move(*received).error());
            }
            ReceivedPackets& packets = **received;
            QV_TRACE(kTarget, "Recv ready. Got {} datagrams.", packets.count);
            for (std::size_t i = 0; i < packets.count && i < packets.packets.size(); ++i) {
                handle_packet(waker, packets.packets[i], batches);
            }
        }

        BatchMap unsent;
        while (!batches.empty()) {
            auto entry = batches.begin();
            // The copies go to the send; the map keeps its own in case the send must wait.
            auto sent = send_poller->poll_send(waker, entry->first, entry->second);
            if (!sent) {
                QV_TRACE(kTarget, "Send pending, buffering datagram.");
                unsent.insert_or_assign(entry->first, std::move(entry->second));
            } else if (*sent) {
                QV_TRACE(kTarget, "Successfully forwarded packet to Quorvel.");
                ++sends;
            } else {
                QV_LOG_FIELDS(Level::Error, kTarget,
                              (std::vector<Field>{{"error", sent->error().to_string()}}),
                              "Failed to send packet: {}", sent->error());
            }
            batches.erase(entry);
        }
        if (!unsent.empty()) {
            pending_batches = std::move(unsent);
            return false;
        }
        if (sends >= kSendBudget) {
            return true;
        }
    }
}

void State::handle_packet(const Waker& waker, const Bytes& packet, BatchMap& batches) {
    const auto header = ip::Ipv4HeaderSlice::from_slice(packet.span());
    if (!header) {
        if (header.error().kind == ip::Ipv4HeaderError::Kind::UnexpectedVersion) {
            QV_DEBUG(kTarget, "Received IPv6 packet (IPv6 is not supported, packet dropped)");
        } else {
            QV_LOG_FIELDS(Level::Debug, kTarget,
                          (std::vector<Field>{{"error", header.error().to_string()}}),
                          "Failed to decode IP packet: {}", header.error());
        }
        return;
    }
    const Ipv4Addr src = header->source_addr();
    const Ipv4Addr dst = header->destination_addr();
    QV_LOG_FIELDS(Level::Trace, kTarget,
                  (std::vector<Field>{{"src", src.to_string()},
                                      {"dst", dst.to_string()},
                                      {"payload_len", std::to_string(packet.size())}}),
                  "Received packet from TUN device.");

    if (is_quorvel_control_packet(packet.span())) {
        QV_LOG_FIELDS(Level::Trace, kTarget, addr_fields(src, dst),
                      "Dropping Quorvel control plane packet: {} -> {} (control traffic filtered)",
                      src, dst);
        return;
    }

    if (src == dst) {
        QV_LOG_FIELDS(Level::Trace, kTarget, addr_fields(src, dst),
                      "Loopback packet detected: {} -> {}, sending directly back to TUN device",
                      src, dst);
        // Whatever the write returns, the packet is done.
        (void)tun->poll_send(waker, packet.span());
        return;
    }

    if (firewall && firewall->handle_outbound_packet(packet, *header, batches)) {
        return;
    }

    if (dns && dns->handle_outbound_packet(packet.span(), *header, tun)) {
        return;
    }
    QV_LOG_FIELDS(Level::Debug, kTarget, addr_fields(src, dst),
                  "No outbound route found for destination: {} -> {} (missing destination route "
                  "in routing table), sending ICMP Destination Unreachable (Host Unreachable)",
                  src, dst);
    const auto reply = create_icmp_host_unreachable(packet.span(), *header);
    auto written = tun->poll_send(waker, reply);
    if (!written) {
        QV_LOG_FIELDS(Level::Trace, kTarget, addr_fields(src, dst),
                      "TUN device pending while sending ICMP Destination Unreachable response; "
                      "ICMP response dropped");
    } else if (*written) {
        QV_LOG_FIELDS(Level::Trace, kTarget, addr_fields(src, dst),
                      "Sent ICMP Destination Unreachable (Host Unreachable) response");
    } else {
        QV_LOG_FIELDS(Level::Debug, kTarget,
                      (std::vector<Field>{{"error", written->error().to_string()},
                                          {"src", src.to_string()},
                                          {"dst", dst.to_string()}}),
                      "Failed to send ICMP Destination Unreachable (Host Unreachable) response: {}",
                      written->error());
    }
}

}  // namespace quorvel::agent::tun_device
