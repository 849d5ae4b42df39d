// The ICMPv4 Destination Unreachable replies that the packet path synthesises: Host Unreachable
// for an outbound packet without a route, Fragmentation Needed for an inbound packet larger than
// the interface MTU that forbids fragmentation.
//
// A reply comes from the offending packet's destination and goes to its source, so that it looks
// as if the host the packet was meant for had answered. It quotes the offending packet's IPv4
// header with options and the first 8 bytes after it (fewer when the packet is shorter): at most
// 68 bytes, so a reply is at most 96 bytes. Pure functions: no state, no logging.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "util/ip_packet.h"

namespace quorvel::agent {

// `header` must be the parsed header of `packet`.
std::vector<uint8_t> create_icmp_host_unreachable(std::span<const uint8_t> packet,
                                                  const ip::Ipv4HeaderSlice& header);

// Announces `mtu` as the next-hop MTU (RFC 1191).
std::vector<uint8_t> create_icmp_fragmentation_needed(std::span<const uint8_t> packet,
                                                      const ip::Ipv4HeaderSlice& header,
                                                      uint16_t mtu);

}  // namespace quorvel::agent
