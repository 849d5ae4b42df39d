#include "util/prefix_trie.h"

#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

namespace quorvel {
namespace {

Ipv4Net net(const char* text) {
    auto n = Ipv4Net::parse(text);
    EXPECT_TRUE(n.has_value()) << text;
    return n.value_or(Ipv4Net{});
}

Ipv4Addr addr(const char* text) {
    auto a = Ipv4Addr::parse(text);
    EXPECT_TRUE(a.has_value()) << text;
    return a.value_or(Ipv4Addr{});
}

PrefixTrie<int> build(const std::vector<std::pair<const char*, int>>& entries) {
    PrefixTrie<int>::Builder b;
    for (const auto& [text, value] : entries) {
        b.insert_or_assign(net(text), value);
    }
    return std::move(b).build();
}

std::optional<int> lookup(const PrefixTrie<int>& trie, const char* a) {
    const int* v = trie.lookup(addr(a));
    return v == nullptr ? std::nullopt : std::optional<int>(*v);
}

TEST(PrefixTrieTest, EmptyTableFindsNothing) {
    PrefixTrie<int> trie;
    EXPECT_TRUE(trie.empty());
    EXPECT_EQ(trie.lookup(addr("10.0.0.1")), nullptr);
    EXPECT_EQ(trie.get(net("0.0.0.0/0")), nullptr);
    auto built = PrefixTrie<int>::Builder{}.build();
    EXPECT_EQ(built.size(), 0u);
    EXPECT_EQ(built.lookup(addr("0.0.0.0")), nullptr);
}

// The same cases run against a small table (linear scan) and, padded with unrelated entries, a
// large one (the trie), so both search paths must agree on the most specific entry.
TEST(PrefixTrieTest, LongestPrefixWinsInSmallAndLargeTables) {
    std::vector<std::pair<const char*, int>> base = {
        {"0.0.0.0/0", 0},    {"10.0.0.0/8", 8},     {"10.1.0.0/16", 16},
        {"10.1.2.0/24", 24}, {"10.1.2.128/25", 25}, {"10.1.2.3/32", 32},
    };
    const struct {
        const char* addr;
        int expected;
    } cases[] = {
        {"10.1.2.3", 32}, {"10.1.2.4", 24}, {"10.1.2.200", 25},     {"10.1.3.1", 16},
        {"10.2.0.1", 8},  {"11.0.0.1", 0},  {"255.255.255.255", 0}, {"0.0.0.0", 0},
    };
    std::vector<std::pair<const char*, int>> padded = base;
    const char* pads[] = {"192.168.0.0/16", "192.168.1.0/24", "172.16.0.0/12",  "172.16.5.5/32",
                          "100.64.0.0/10",  "203.0.113.0/24", "198.51.100.7/32"};
    for (const char* p : pads) {
        padded.emplace_back(p, -1);
    }
    for (const std::vector<std::pair<const char*, int>>* entries : {&base, &padded}) {
        PrefixTrie<int> trie = build(*entries);
        ASSERT_EQ(trie.size(), entries->size());
        for (const auto& c : cases) {
            EXPECT_EQ(lookup(trie, c.addr), c.expected) << c.addr << " in " << entries->size();
        }
    }
    PrefixTrie<int> without_default = build({{"10.0.0.0/8", 8}, {"10.1.0.0/16", 16}});
    EXPECT_EQ(lookup(without_default, "11.0.0.1"), std::nullopt);
}

TEST(PrefixTrieTest, KeysLoseTheirHostBitsAndLaterValuesReplaceEarlierOnes) {
    PrefixTrie<int>::Builder b;
    EXPECT_TRUE(b.insert_or_assign(net("10.0.0.7/24"), 1));
    EXPECT_FALSE(b.insert_or_assign(net("10.0.0.0/24"), 2));
    EXPECT_TRUE(b.insert_or_assign(net("10.0.0.0/25"), 3));
    b[net("10.0.1.0/24")] += 5;
    b[net("10.0.1.9/24")] += 5;
    ASSERT_NE(b.find(net("10.0.1.0/24")), nullptr);
    EXPECT_EQ(*b.find(net("10.0.1.0/24")), 10);
    EXPECT_EQ(b.find(net("10.0.2.0/24")), nullptr);
    EXPECT_EQ(b.size(), 3u);
    PrefixTrie<int> trie = std::move(b).build();
    ASSERT_NE(trie.get(net("10.0.0.99/24")), nullptr);
    EXPECT_EQ(*trie.get(net("10.0.0.0/24")), 2);
    EXPECT_EQ(trie.get(net("10.0.0.0/23")), nullptr);
    std::vector<std::string> keys;
    for (const auto& e : trie) {
        keys.push_back(e.net.to_string());
    }
    EXPECT_EQ(keys, (std::vector<std::string>{"10.0.0.0/24", "10.0.0.0/25", "10.0.1.0/24"}));
}

TEST(PrefixTrieTest, FromEntriesOrdersKeysAndKeepsTheLastOfEqualOnes) {
    for (size_t pad : {0u, 20u}) {
        std::vector<PrefixTrie<int>::Entry> entries = {{net("10.0.1.0/24"), 1},
                                                       {net("10.0.0.7/24"), 2},
                                                       {net("10.0.0.0/24"), 3},
                                                       {net("10.0.0.0/16"), 4},
                                                       {net("10.0.1.0/24"), 5}};
        for (size_t i = 0; i < pad; ++i) {
            entries.push_back({Ipv4Net(Ipv4Addr(0xc0a80000u + (static_cast<uint32_t>(i) << 8)), 24),
                               100 + static_cast<int>(i)});
        }
        auto trie = PrefixTrie<int>::from_entries(entries);
        ASSERT_EQ(trie.size(), 3 + pad);
        EXPECT_EQ(trie.begin()->net, net("10.0.0.0/16"));
        EXPECT_EQ(*trie.get(net("10.0.0.0/24")), 3);
        EXPECT_EQ(*trie.get(net("10.0.1.0/24")), 5);
        EXPECT_EQ(lookup(trie, "10.0.0.200"), 3);
        EXPECT_EQ(lookup(trie, "10.0.9.1"), 4);
        if (pad > 0) {
            EXPECT_EQ(lookup(trie, "192.168.19.1"), 119);
        }
    }
}

TEST(PrefixTrieTest, EqualityIgnoresInsertionOrder) {
    PrefixTrie<int> a = build({{"10.0.0.0/8", 1}, {"10.0.0.1/32", 2}});
    PrefixTrie<int> b = build({{"10.0.0.1/32", 2}, {"10.0.0.0/8", 1}});
    PrefixTrie<int> c = build({{"10.0.0.1/32", 3}, {"10.0.0.0/8", 1}});
    EXPECT_EQ(a, b);
    EXPECT_FALSE(a == c);
}

TEST(PrefixTrieTest, NestedTablesSearchOnlyTheMostSpecificOuterEntry) {
    PrefixTrie<PrefixTrie<int>>::Builder outer;
    outer[net("10.1.0.0/16")] = build({{"0.0.0.0/0", 1}});
    outer[net("10.1.2.0/24")] = build({{"192.168.0.0/16", 2}});
    auto trie = std::move(outer).build();
    const PrefixTrie<int>* inner = trie.lookup(addr("10.1.2.3"));
    ASSERT_NE(inner, nullptr);
    // The /24 hides the /16: a source outside its inner table finds nothing.
    EXPECT_EQ(inner->lookup(addr("8.8.8.8")), nullptr);
    EXPECT_EQ(lookup(*inner, "192.168.4.4"), 2);
    EXPECT_EQ(lookup(*trie.lookup(addr("10.1.9.9")), "8.8.8.8"), 1);
}

// Differential test: the table against a linear scan over the same prefixes, with addresses drawn
// from a few clusters so that prefixes nest and overlap at every length.
TEST(PrefixTrieTest, AgreesWithLinearScanOnRandomPrefixes) {
    std::mt19937 rng(20261207);
    const uint32_t clusters[] = {0x0a000000, 0x0a010000, 0xc0a80000, 0x64400000, 0x00000000};
    auto random_addr = [&] {
        uint32_t base = clusters[rng() % std::size(clusters)];
        uint32_t bits = rng() % 25;
        uint32_t offset = bits == 0 ? 0 : static_cast<uint32_t>(rng()) & ((1u << bits) - 1);
        return Ipv4Addr(base + offset);
    };
    for (size_t count : {1u, 5u, 8u, 9u, 40u, 600u, 4000u}) {
        std::vector<std::pair<Ipv4Net, int>> entries;
        PrefixTrie<int>::Builder b;
        for (size_t i = 0; i < count; ++i) {
            uint8_t len = static_cast<uint8_t>(rng() % 4 == 0 ? 32 : rng() % 33);
            Ipv4Net n = Ipv4Net(random_addr(), len);
            int value = static_cast<int>(i);
            b.insert_or_assign(n, value);
            bool replaced = false;
            for (auto& e : entries) {
                if (e.first == n.trunc()) {
                    e.second = value;
                    replaced = true;
                }
            }
            if (!replaced) {
                entries.emplace_back(n.trunc(), value);
            }
        }
        PrefixTrie<int> trie = std::move(b).build();
        ASSERT_EQ(trie.size(), entries.size());
        for (int probe = 0; probe < 5000; ++probe) {
            Ipv4Addr a = probe % 2 == 0 ? random_addr() : Ipv4Addr(static_cast<uint32_t>(rng()));
            std::optional<std::pair<Ipv4Net, int>> best;
            for (const auto& e : entries) {
                if (e.first.contains(a) &&
                    (!best || e.first.prefix_len() > best->first.prefix_len())) {
                    best = e;
                }
            }
            const auto* found = trie.lookup_entry(a);
            if (!best) {
                ASSERT_EQ(found, nullptr) << a.to_string() << " count " << count;
            } else {
                ASSERT_NE(found, nullptr) << a.to_string() << " count " << count;
                ASSERT_EQ(found->net, best->first) << a.to_string() << " count " << count;
                ASSERT_EQ(found->value, best->second);
            }
        }
        for (const auto& [n, v] : entries) {
            ASSERT_NE(trie.get(n), nullptr);
            EXPECT_EQ(*trie.get(n), v);
        }
    }
}

}  // namespace
}  // namespace quorvel
