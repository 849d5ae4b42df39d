#include "agent/netif/control_packet.h"

#include <algorithm>

#include "util/ip_packet.h"

namespace quorvel::agent {

bool is_quorvel_control_packet(std::span<const uint8_t> packet) {
    if (packet.size() < ip::kIpv4MinHeaderLen) {
        return false;
    }
    const uint8_t version = packet[0] >> 4;
    const size_t ihl = packet[0] & 0x0f;
    if (version != 4 || ihl < 5) {
        return false;
    }
    const size_t header_len = ihl * 4;
    if (packet.size() < header_len || packet[9] != ip::kProtocolUdp) {
        return false;
    }
    const size_t marker_at = header_len + ip::kUdpHeaderLen;
    if (packet.size() < marker_at + kQuorvelControlMarker.size()) {
        return false;
    }
    return std::equal(kQuorvelControlMarker.begin(), kQuorvelControlMarker.end(),
                      packet.begin() + static_cast<std::ptrdiff_t>(marker_at));
}

}  // namespace quorvel::agent
