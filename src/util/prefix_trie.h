// An immutable IPv4 longest-prefix table, generic over its value. It is built whole through a
// `PrefixTrie<V>::Builder` and never changed afterwards, so a built table can be shared between
// threads and read without locks; whoever needs other entries builds a new table and swaps it in.
//
// Keys are stored with their host bits cleared: 10.0.0.7/24 and 10.0.0.0/24 are the same key.
//
// Lookups never allocate. A small table (at most `kLinearLimit` entries, the common case for the
// inner tables of the firewall) is scanned linearly, longest prefix first. A larger one is a
// multibit trie with 8-bit strides: each node holds 256 slots, each slot names the longest prefix
// that ends inside this node and covers the slot, plus the child node for the next 8 bits. A
// lookup therefore reads at most four slots.
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
            auto [it, inserted] = index_.try_emplace(key_of(net), entries_.size());
            if (inserted) {
                entries_.push_back(Entry{net.trunc(), std::move(value)});
            } else {
                entries_[it->second].value = std::move(value);
            }
            return inserted;
        }

        // The value under `net`, default-constructed first when the key is new.
        V& operator[](Ipv4Net net) {
            auto [it, inserted] = index_.try_emplace(key_of(net), entries_.size());
            if (inserted) {
                entries_.push_back(Entry{net.trunc(), V{}});
            }
            return entries_[it->second].value;
        }

        V* find(Ipv4Net net) {
            auto it = index_.find(key_of(net));
            return it == index_.end() ? nullptr : &entries_[it->second].value;
        }

        size_t size() const { return entries_.size(); }
        bool empty() const { return entries_.empty(); }

        PrefixTrie build() && {
            index_.clear();
            return PrefixTrie(std::move(entries_));
        }

      private:
        std::vector<Entry> entries_;
        boost::unordered_flat_map<uint64_t, size_t> index_;
    };

    PrefixTrie() = default;

    // The entry of the longest prefix that contains `addr`, or null.
    const Entry* lookup_entry(Ipv4Addr addr) const noexcept {
        const uint32_t a = addr.to_u32();
        if (nodes_.empty()) {
            for (const Linear& l : linear_) {
                if ((a & l.mask) == l.addr) {
                    return &entries_[l.index];
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

    struct Linear {
        uint32_t addr;
        uint32_t mask;
        uint32_t index;
    };

    static uint64_t key_of(Ipv4Net net) {
        const Ipv4Net t = net.trunc();
        return (uint64_t{t.addr().to_u32()} << 8) | t.prefix_len();
    }

    explicit PrefixTrie(std::vector<Entry> entries) : entries_(std::move(entries)) {
        std::sort(entries_.begin(), entries_.end(),
                  [](const Entry& x, const Entry& y) { return x.net < y.net; });
        // Longest prefixes first: the linear scan stops at the first match, and the trie lets a
        // longer prefix overwrite the slots of a shorter one that was expanded into them earlier.
        std::vector<uint32_t> order(entries_.size());
        for (uint32_t i = 0; i < order.size(); ++i) {
            order[i] = i;
        }
        std::stable_sort(order.begin(), order.end(), [this](uint32_t x, uint32_t y) {
            return entries_[x].net.prefix_len() > entries_[y].net.prefix_len();
        });
        if (entries_.size() <= kLinearLimit) {
            linear_.reserve(order.size());
            for (uint32_t i : order) {
                const Ipv4Net& n = entries_[i].net;
                linear_.push_back(Linear{n.addr().to_u32(), n.netmask_u32(), i});
            }
            return;
        }
        nodes_.resize(256);
        for (auto it = order.rbegin(); it != order.rend(); ++it) {
            place(*it);
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
    std::vector<Linear> linear_;
    std::vector<Slot> nodes_;  // 256 slots per node, node 0 is the root
};

}  // namespace quorvel
