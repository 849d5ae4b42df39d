// Per-packet cost of the firewall's two-level lookup: the outer table finds the entry of the
// packet's destination (or source), the inner table the one of the other address.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "util/prefix_trie.h"

namespace quorvel {
namespace {

// `nodes` hosts in 10.0.0.0/16 plus a handful of routed networks, each outer entry holding the
// local node's /32 as its only inner key, as in an outbound table of the local node.
PrefixTrie<PrefixTrie<uint32_t>> make_two_level(size_t nodes) {
    const Ipv4Net local(Ipv4Addr(10, 0, 0, 1), 32);
    PrefixTrie<PrefixTrie<uint32_t>>::Builder outer;
    for (uint32_t i = 0; i < nodes; ++i) {
        PrefixTrie<uint32_t>::Builder inner;
        inner.insert_or_assign(local, i);
        outer.insert_or_assign(Ipv4Net(Ipv4Addr(0x0a000002u + i), 32), std::move(inner).build());
    }
    for (uint32_t r = 0; r < 8; ++r) {
        PrefixTrie<uint32_t>::Builder inner;
        inner.insert_or_assign(local, 100000 + r);
        outer.insert_or_assign(Ipv4Net(Ipv4Addr(0xac100000u + (r << 16)), 16),
                               std::move(inner).build());
    }
    return std::move(outer).build();
}

void BM_TwoLevelLookup(benchmark::State& state) {
    const size_t nodes = static_cast<size_t>(state.range(0));
    auto trie = make_two_level(nodes);
    std::mt19937 rng(7);
    std::vector<Ipv4Addr> dests(4096);
    for (auto& d : dests) {
        // Mostly hits on node addresses, some on routed networks, some misses.
        switch (rng() % 4) {
            case 0:
                d = Ipv4Addr(0xac100000u + (rng() % (8u << 16)));
                break;
            case 1:
                d = Ipv4Addr(0xc0a80000u + rng() % 65536);
                break;
            default:
                d = Ipv4Addr(0x0a000002u + rng() % nodes);
        }
    }
    const Ipv4Addr src(10, 0, 0, 1);
    size_t i = 0;
    for (auto _ : state) {
        const Ipv4Addr dst = dests[i++ & 4095];
        const uint32_t* peer = nullptr;
        if (const auto* inner = trie.lookup(dst)) {
            peer = inner->lookup(src);
        }
        benchmark::DoNotOptimize(peer);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_TwoLevelLookup)->Arg(100)->Arg(1000)->Arg(10000);

// A single large table of random nested prefixes: the trie path rather than the linear scan.
void BM_RandomPrefixLookup(benchmark::State& state) {
    std::mt19937 rng(11);
    PrefixTrie<uint32_t>::Builder b;
    for (uint32_t i = 0; i < static_cast<uint32_t>(state.range(0)); ++i) {
        uint8_t len = static_cast<uint8_t>(8 + rng() % 25);
        b.insert_or_assign(Ipv4Net(Ipv4Addr(0x0a000000u | (rng() & 0x00ffffffu)), len), i);
    }
    auto trie = std::move(b).build();
    std::vector<Ipv4Addr> probes(4096);
    for (auto& p : probes) {
        p = Ipv4Addr(0x0a000000u | (rng() & 0x00ffffffu));
    }
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(trie.lookup(probes[i++ & 4095]));
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_RandomPrefixLookup)->Arg(8)->Arg(1000)->Arg(100000);

}  // namespace
}  // namespace quorvel
