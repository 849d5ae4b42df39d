// The network list handed to the host: a malloc'ed array of exactly `count` `NetworkInfo` records
// whose strings are malloc'ed too. The host holds the address of the first record and nothing
// else. Every list handed out is entered in a registry (address -> count, under a lock) until it
// is released, so the accessors and the release check an address and an index against the
// registry and never touch memory the address does not lead to: a host-built array, a freed list
// or an address inside a list is simply unknown.
#pragma once

#include "network/network.h"

#include <quorvel/agent.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace quorvel::ffi {

class NetworkList {
  public:
    // One record per network, in the given order; a network whose URL text holds a NUL byte is
    // left out, a name that holds one becomes NULL. Nothing when memory runs out (allocated with
    // allocate_for_host, ffi_common.h), with nothing left allocated.
    static std::optional<NetworkList> build(
        const std::vector<const network::Network*>& networks) noexcept;
    // Takes back a list that `release` handed out and removes it from the registry; an empty
    // list for any other address.
    static NetworkList adopt(const NetworkInfo* records);
    // A copy of record `index` of a handed-out list that is not released yet; nothing for a null
    // or unknown address or an index outside the list.
    static std::optional<NetworkInfo> entry(const NetworkInfo* records, int32_t index);

    NetworkList(NetworkList&& other) noexcept;
    NetworkList& operator=(NetworkList&&) = delete;
    ~NetworkList();

    std::size_t size() const { return count_; }
    // Registers the records and hands them to the host; null for an empty list (nothing stays
    // allocated). Should registering throw, the list keeps its records.
    NetworkInfo* release();

  private:
    NetworkList(NetworkInfo* records, std::size_t count) : records_(records), count_(count) {}

    NetworkInfo* records_ = nullptr;
    std::size_t count_ = 0;
};

}  // namespace quorvel::ffi
