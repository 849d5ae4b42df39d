// The network list handed to the host: one malloc'ed block holding a small header (a marker and
// the number of records) followed by the `NetworkInfo` records, whose strings are malloc'ed too.
// The host holds the address of the first record; the header lets the accessors check indexes
// and lets the release free exactly what was allocated, whatever count the host passes.
#pragma once

#include "network/network.h"

#include <quorvel/agent.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvel::ffi {

class NetworkList {
  public:
    // One record per network, in the given order; a network whose URL text holds a NUL byte is
    // left out, a name that holds one becomes NULL.
    static NetworkList build(const std::vector<const network::Network*>& networks);
    // Takes over a list that `release` handed out.
    static NetworkList adopt(NetworkInfo* records);
    // Record `index` of a handed-out list; null for a null list, an index outside it, or an
    // address that is not the start of such a list.
    static const NetworkInfo* entry(const NetworkInfo* records, int32_t index);

    NetworkList(NetworkList&& other) noexcept : block_(other.block_) { other.block_ = nullptr; }
    NetworkList& operator=(NetworkList&&) = delete;
    ~NetworkList();

    std::size_t size() const;
    // Hands the records to the host; null for an empty list (nothing stays allocated).
    NetworkInfo* release();

  private:
    struct alignas(alignof(std::max_align_t)) Header {
        std::uint64_t marker;
        std::size_t count;
    };
    static constexpr std::uint64_t kMarker = 0x71766e6574696e66;  // "qvnetinf"

    explicit NetworkList(Header* block) : block_(block) {}
    static Header* header_of(const NetworkInfo* records);
    NetworkInfo* records() const;

    Header* block_ = nullptr;
};

}  // namespace quorvel::ffi
