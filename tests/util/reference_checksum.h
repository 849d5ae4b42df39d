// A deliberately plain internet checksum for tests, independent of the one in util/ip_packet.h:
// sums big-endian 16-bit words (an odd last byte as the high half), folds and complements. Over
// data that already holds its correct checksum it gives 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quorvel::testing {

inline uint16_t reference_checksum(std::span<const uint8_t> data) {
    uint32_t sum = 0;
    for (size_t i = 0; i < data.size(); ++i) {
        sum += (i % 2 == 0) ? uint32_t{data[i]} << 8 : data[i];
    }
    while (sum > 0xffff) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

}  // namespace quorvel::testing
