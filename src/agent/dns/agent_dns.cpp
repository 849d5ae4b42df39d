#include "agent/dns/agent_dns.h"

#include "util/log.h"

namespace quorvel::agent {

namespace {

constexpr uint8_t kUdpProtocol = 17;
constexpr uint16_t kDnsPort = 53;
constexpr std::size_t kUdpHeaderLen = 8;

uint16_t read_be16(const uint8_t* bytes) {
    return static_cast<uint16_t>((static_cast<uint16_t>(bytes[0]) << 8) | bytes[1]);
}

}  // namespace

Result<void, std::string> AgentDns::send(DnsServerRequest request) const {
    if (!send_channel().send(std::move(request))) {
        return unexpected(std::string("Failed to send DNS request"));
    }
    return {};
}

bool AgentDns::handle_outbound_packet(std::span<const uint8_t> packet,
                                      const ip::Ipv4HeaderSlice& header,
                                      std::shared_ptr<AsyncDevice> tun) const {
    if (header.protocol() != kUdpProtocol || !is_server_ip(header.destination_addr())) {
        return false;
    }
    const std::size_t header_len = header.header_len();
    if (packet.size() < header_len || packet.size() - header_len < kUdpHeaderLen) {
        return false;
    }
    const auto udp = packet.subspan(header_len);
    if (read_be16(udp.data() + 2) != kDnsPort) {
        return false;
    }
    QV_TRACE(kDnsTarget, "Got potential DNS request: {} -> {}", header.source_addr(),
             header.destination_addr());
    DnsServerRequest request;
    request.payload.assign(udp.begin() + kUdpHeaderLen, udp.end());
    request.tun = std::move(tun);
    request.src = header.source_addr();
    request.dst = header.destination_addr();
    request.src_port = read_be16(udp.data());
    request.dst_port = kDnsPort;
    // A refused query is dropped silently: the packet was still meant for the server.
    (void)send(std::move(request));
    return true;
}

}  // namespace quorvel::agent
