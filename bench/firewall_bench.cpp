// Per-packet cost of the firewall's checks with logging off: the transmit lookup for a routed
// packet and for one without a route, and the receive check of an accepted packet (which copies
// it once into the write list).
#include <benchmark/benchmark.h>

#include <boost/unordered/unordered_flat_map.hpp>

#include <memory>
#include <vector>

#include "agent/firewall/agent_firewall.h"

namespace quorvel::agent {
namespace {

struct BenchPeer {
    p2p::PubKey key;
    const p2p::PubKey& pk() const { return key; }
    bool operator==(const BenchPeer& other) const { return key == other.key; }
};

struct BenchPeerHash {
    size_t operator()(const BenchPeer& p) const { return std::hash<p2p::PubKey>{}(p.key); }
};

p2p::PubKey key_of(uint32_t i) {
    p2p::PubKey::Bytes bytes{};
    for (size_t b = 0; b < 4; ++b) {
        bytes[b] = static_cast<uint8_t>(i >> (8 * b));
    }
    return p2p::PubKey(bytes);
}

// `peers` nodes at 10.0.0.2 and up, each reachable from the local node 10.0.0.1 and allowed to
// send to it.
void fill(BasicAgentFirewall<BenchPeer>& firewall, uint32_t peers) {
    const Ipv4Net local(Ipv4Addr(10, 0, 0, 1), 32);
    BasicAgentFirewall<BenchPeer>::TxTrie::Builder tx;
    BasicAgentFirewall<BenchPeer>::RxTrie::Builder rx;
    for (uint32_t i = 0; i < peers; ++i) {
        const Ipv4Net peer_net(Ipv4Addr(0x0a000002u + i), 32);
        PrefixTrie<BenchPeer>::Builder tx_inner;
        tx_inner.insert_or_assign(local, BenchPeer{key_of(i)});
        tx.insert_or_assign(peer_net, std::move(tx_inner).build());
        PrefixTrie<p2p::PubKey>::Builder rx_inner;
        rx_inner.insert_or_assign(local, key_of(i));
        rx.insert_or_assign(peer_net, std::move(rx_inner).build());
    }
    firewall.store_tx_trie(
        std::make_shared<const BasicAgentFirewall<BenchPeer>::TxTrie>(std::move(tx).build()));
    firewall.store_rx_trie(
        std::make_shared<const BasicAgentFirewall<BenchPeer>::RxTrie>(std::move(rx).build()));
}

std::vector<uint8_t> packet(Ipv4Addr src, Ipv4Addr dst, size_t len) {
    std::vector<uint8_t> p(len, 0);
    p[0] = 0x45;
    p[9] = 17;
    src.to_bytes(&p[12]);
    dst.to_bytes(&p[16]);
    return p;
}

// A firewall with `peers` rules and one 1280-byte packet towards `dst`, ready for the outbound
// check.
struct OutboundSetup {
    OutboundSetup(uint32_t peers, Ipv4Addr dst)
        : bytes(packet(Ipv4Addr(10, 0, 0, 1), dst, 1280)),
          shared(std::make_shared<const std::vector<uint8_t>>(bytes)),
          header(ip::Ipv4HeaderSlice::from_slice(bytes).value()) {
        fill(firewall, peers);
    }

    BasicAgentFirewall<BenchPeer> firewall;
    std::vector<uint8_t> bytes;
    std::shared_ptr<const std::vector<uint8_t>> shared;
    ip::Ipv4HeaderSlice header;
    boost::unordered_flat_map<BenchPeer, std::vector<std::shared_ptr<const std::vector<uint8_t>>>,
                              BenchPeerHash>
        batches;
};

void BM_OutboundHit(benchmark::State& state) {
    OutboundSetup setup(static_cast<uint32_t>(state.range(0)), Ipv4Addr(10, 0, 0, 9));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            setup.firewall.handle_outbound_packet(setup.shared, setup.header, setup.batches));
        setup.batches.begin()->second.clear();
    }
}
BENCHMARK(BM_OutboundHit)->Arg(10)->Arg(1000);

void BM_OutboundMiss(benchmark::State& state) {
    OutboundSetup setup(static_cast<uint32_t>(state.range(0)), Ipv4Addr(192, 168, 1, 1));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            setup.firewall.handle_outbound_packet(setup.shared, setup.header, setup.batches));
    }
}
BENCHMARK(BM_OutboundMiss)->Arg(10)->Arg(1000);

void BM_InboundAccept(benchmark::State& state) {
    BasicAgentFirewall<BenchPeer> firewall;
    fill(firewall, static_cast<uint32_t>(state.range(0)));
    const auto bytes = packet(Ipv4Addr(10, 0, 0, 9), Ipv4Addr(10, 0, 0, 1), 1280);
    const auto header = ip::Ipv4HeaderSlice::from_slice(bytes).value();
    const p2p::PubKey sender = key_of(7);
    std::vector<std::vector<uint8_t>> writes;
    for (auto _ : state) {
        benchmark::DoNotOptimize(firewall.handle_inbound_packet(bytes, header, sender, writes));
        writes.clear();
    }
}
BENCHMARK(BM_InboundAccept)->Arg(10)->Arg(1000);

}  // namespace
}  // namespace quorvel::agent
