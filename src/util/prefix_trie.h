// An immutable IPv4 longest-prefix table, generic over its value. It is built whole through a
// `PrefixTrie<V>::Builder` and never changed afterwards, so a built table can be shared between
// threads and read without locks; whoever needs other entries builds a new table and swaps it in.
//
// Keys are stored with their host bits cleared: 10.0.0.7/24 and 10.0.0.0/24 are the same key.
//
// Lookups never allocate. A small table (at most `kLinearLimit` entries, the common case for the
// inner tables of the firewall) is scanned linearly, longest prefix first, and costs a single
// allocation. A larger one is a multibit trie with 8-bit strides: each node holds 256 slots, each
// slot names the longest prefix that ends inside this node and covers the slot, plus the child
// node for the next 8 bits. A lookup therefore reads at most four slots.
#pragma once

#include <boost/unordered/unordered_flat_map.hpp>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "util/ipv4.h"

namespace quorvel {

template <class V>
class PrefixTrie {
  public:
    struct Entry {
        Ipv4Net net;  // host bits cleared
        V value;

        bool operator==(const Entry&) const = default;
    };

    // Tables with up to this many entries are searched by a linear scan instead of the trie.
    static constexpr size_t kLinearLimit = 8;

    class Builder {
      public:
        // Inserts `value` under `net`, replacing an earlier value. True when the key was new.
        bool insert_or_assign(Ipv4Net net, V value) {
            if (V* existing = find(net)) {
                *existing = std::move(value);
                return false;
            }
            add(net, std::move(value));
            return true;
        }

        // The value under `net`, default-constructed first when the key is new.
        V& operator[](Ipv4Net net) {
            if (V* existing = find(net)) {
                return *existing;
            }
            return add(net, V{});
        }

        V* find(Ipv4Net net) {
            const Ipv4Net key = net.trunc();
            if (index_.empty()) {
                for (Entry& e : entries_) {
                    if (e.net == key) {
                        return &e.value;
                    }
                }
                return nullptr;
            }
            auto it = index_.find(key_of(key));
            return it == index_.end() ? nullptr : &entries_[it->second].value;
        }

        size_t size() const { return entries_.size(); }
        bool empty() const { return entries_.empty(); }

        PrefixTrie build() && {
            index_.clear();
            return from_entries(std::move(entries_));
        }

      private:
        V& add(Ipv4Net net, V value) {
            entries_.push_back(Entry{net.trunc(), std::move(value)});
            // Small builders search their few entries; an index pays off only beyond that.
            if (entries_.size() > kLinearLimit) {
                if (index_.empty()) {
                    for (size_t i = 0; i + 1 < entries_.size(); ++i) {
                        index_.emplace(key_of(entries_[i].net), i);
                    }
                }
                index_.emplace(key_of(entries_.back().net), entries_.size() - 1);
            }
            return entries_.back().value;
        }

        std::vector<Entry> entries_;
        boost::unordered_flat_map<uint64_t, size_t> index_;
    };

    // A table of these entries, in any order; of entries with the same key (host bits cleared) the
    // last one wins. Entries already in ascending order of address, then prefix length, are taken
    // without sorting.
    static PrefixTrie from_entries(std::vector<Entry> entries) {
        return PrefixTrie(std::move(entries));
    }

    PrefixTrie() = default;

    // The entry of the longest prefix that contains `addr`, or null.
    const Entry* lookup_entry(Ipv4Addr addr) const noexcept {
        const uint32_t a = addr.to_u32();
        if (nodes_.empty()) {
            // Longest prefix first, so the first match is the answer.
            for (size_t i = 0; i < entries_.size(); ++i) {
                const Entry& e = entries_[scan_[i]];
                if (e.net.contains(addr)) {
                    return &e;
                }
            }
            return nullptr;
        }
        uint32_t best = kNone;
        uint32_t node = 0;
        for (int shift = 24; shift >= 0; shift -= 8) {
            const Slot& slot = nodes_[(size_t{node} << 8) | ((a >> shift) & 0xffu)];
            if (slot.value != kNone) {
                best = slot.value;
            }
            if (slot.child == 0) {
                break;
            }
            node = slot.child;
        }
        return best == kNone ? nullptr : &entries_[best];
    }

    // The value of the longest prefix that contains `addr`, or null.
    const V* lookup(Ipv4Addr addr) const noexcept {
        const Entry* e = lookup_entry(addr);
        return e == nullptr ? nullptr : &e->value;
    }

    // The value stored under exactly this prefix (host bits ignored), or null.
    const V* get(Ipv4Net net) const noexcept {
        const Ipv4Net key = net.trunc();
        auto it = std::lower_bound(entries_.begin(), entries_.end(), key,
                                   [](const Entry& e, const Ipv4Net& k) { return e.net < k; });
        return it != entries_.end() && it->net == key ? &it->value : nullptr;
    }

    size_t size() const noexcept { return entries_.size(); }
    bool empty() const noexcept { return entries_.empty(); }

    // Entries in ascending order of address, then prefix length.
    auto begin() const noexcept { return entries_.begin(); }
    auto end() const noexcept { return entries_.end(); }

    bool operator==(const PrefixTrie& other) const { return entries_ == other.entries_; }

  private:
    static constexpr uint32_t kNone = UINT32_MAX;

    struct Slot {
        uint32_t value = kNone;  // index into entries_
        uint32_t child = 0;      // node index; 0 is the root, which is never a child
    };

    static uint64_t key_of(Ipv4Net net) {
        const Ipv4Net t = net.trunc();
        return (uint64_t{t.addr().to_u32()} << 8) | t.prefix_len();
    }

    explicit PrefixTrie(std::vector<Entry> entries) : entries_(std::move(entries)) {
        bool ordered = true;
        for (size_t i = 0; i < entries_.size(); ++i) {
            entries_[i].net = entries_[i].net.trunc();
            ordered = ordered && (i == 0 || entries_[i - 1].net < entries_[i].net);
        }
        if (!ordered) {
            std::stable_sort(entries_.begin(), entries_.end(),
                             [](const Entry& x, const Entry& y) { return x.net < y.net; });
            // Keep the last of each run of equal keys.
            size_t out = 0;
            for (size_t i = 0; i < entries_.size(); ++i) {
                if (i + 1 < entries_.size() && entries_[i + 1].net == entries_[i].net) {
                    continue;
                }
                if (out != i) {
                    entries_[out] = std::move(entries_[i]);
                }
                ++out;
            }
            entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(out), entries_.end());
        }
        if (entries_.size() <= kLinearLimit) {
            for (uint8_t i = 0; i < entries_.size(); ++i) {
                scan_[i] = i;
            }
            std::stable_sort(scan_.begin(), scan_.begin() + entries_.size(),
                             [this](uint8_t x, uint8_t y) {
                                 return entries_[x].net.prefix_len() > entries_[y].net.prefix_len();
                             });
            return;
        }
        // Shortest prefixes first (a counting sort over the 33 lengths), so that a longer prefix
        // overwrites the slots of a shorter one expanded into them earlier.
        std::array<uint32_t, 34> start{};
        for (const Entry& e : entries_) {
            ++start[e.net.prefix_len() + 1u];
        }
        for (size_t len = 1; len < start.size(); ++len) {
            start[len] += start[len - 1];
        }
        std::vector<uint32_t> order(entries_.size());
        for (uint32_t i = 0; i < entries_.size(); ++i) {
            order[start[entries_[i].net.prefix_len()]++] = i;
        }
        nodes_.resize(256);
        for (uint32_t i : order) {
            place(i);
        }
    }

    // Expands the prefix of entry `i` into the slots of the node at its depth, creating the path
    // of nodes above it on the way.
    void place(uint32_t i) {
        const uint32_t a = entries_[i].net.addr().to_u32();
        const unsigned len = entries_[i].net.prefix_len();
        const unsigned depth = len == 0 ? 0 : (len - 1) / 8;
        uint32_t node = 0;
        for (unsigned d = 0; d < depth; ++d) {
            const size_t slot_index = (size_t{node} << 8) | ((a >> (24 - 8 * d)) & 0xffu);
            uint32_t child = nodes_[slot_index].child;
            if (child == 0) {
                child = static_cast<uint32_t>(nodes_.size() >> 8);
                nodes_.resize(nodes_.size() + 256);
                nodes_[slot_index].child = child;
            }
            node = child;
        }
        const unsigned bits_here = len - 8 * depth;  // 0 to 8 bits of the prefix in this node
        const uint32_t first = (a >> (24 - 8 * depth)) & 0xffu;
        const uint32_t count = 1u << (8 - bits_here);
        for (uint32_t s = first; s < first + count; ++s) {
            nodes_[(size_t{node} << 8) | s].value = i;
        }
    }

    std::vector<Entry> entries_;
    std::vector<Slot> nodes_;  // 256 slots per node, node 0 is the root
    // Small tables: entry indices by descending prefix length.
    std::array<uint8_t, kLinearLimit> scan_{};
};

}  // namespace quorvel
