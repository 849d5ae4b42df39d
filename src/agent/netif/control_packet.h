// Recognises the overlay's own control-plane datagrams, which the packet path never forwards in
// either direction: IPv4/UDP packets whose UDP payload starts with a fixed 4-byte marker.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace quorvel::agent {

inline constexpr std::array<uint8_t, 4> kQuorvelControlMarker = {0x1e, 0x3f, 0x50, 0x01};

// True when `packet` is IPv4 with a header length field of at least 5, carries UDP, and at least
// four payload bytes follow the UDP header, starting with the marker. Nothing else is examined
// (total length, checksums, fragmentation, ports), so a non-first fragment whose bytes happen to
// sit there counts too. Runs on every packet: reads at most the bytes it needs after checking the
// length, and allocates nothing.
bool is_quorvel_control_packet(std::span<const uint8_t> packet);

}  // namespace quorvel::agent
