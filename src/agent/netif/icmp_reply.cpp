#include "agent/netif/icmp_reply.h"

#include <algorithm>
#include <array>

namespace quorvel::agent {

namespace {

std::vector<uint8_t> create_destination_unreachable(std::span<const uint8_t> packet,
                                                    const ip::Ipv4HeaderSlice& header, uint8_t code,
                                                    std::array<uint8_t, 4> rest) {
    const size_t quote_len = std::min(packet.size(), header.header_len() + ip::kUdpHeaderLen);
    // The quote is at most 68 bytes, far below what the total length field can carry.
    return ip::build_ipv4_icmpv4(header.destination_addr(), header.source_addr(),
                                 ip::kIcmpv4DestinationUnreachable, code, rest,
                                 packet.first(quote_len))
        .value();
}

}  // namespace

std::vector<uint8_t> create_icmp_host_unreachable(std::span<const uint8_t> packet,
                                                  const ip::Ipv4HeaderSlice& header) {
    return create_destination_unreachable(packet, header, ip::kIcmpv4CodeHostUnreachable,
                                          {0, 0, 0, 0});
}

std::vector<uint8_t> create_icmp_fragmentation_needed(std::span<const uint8_t> packet,
                                                      const ip::Ipv4HeaderSlice& header,
                                                      uint16_t mtu) {
    return create_destination_unreachable(
        packet, header, ip::kIcmpv4CodeFragmentationNeeded,
        {0, 0, static_cast<uint8_t>(mtu >> 8), static_cast<uint8_t>(mtu)});
}

}  // namespace quorvel::agent
