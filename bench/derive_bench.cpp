// Cost of deriving a node's lists and tries from a network document, by network size. The number
// of rules grows linearly with the number of nodes (a fixed set of routes, two of them through
// the local node), so the time per rule should stay flat as the network grows.
#include <benchmark/benchmark.h>

#include <fmt/format.h>

#include <string>

#include "network/config/effective.h"
#include "network/config/network_config.h"

namespace quorvel::network {
namespace {

p2p::PubKey bench_key(uint32_t n) {
    p2p::PubKey::Bytes bytes{};
    // Spread the index over the leading bytes, which the key hash reads.
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] =
            static_cast<uint8_t>((n * 2654435761u) >> ((i % 4) * 8)) ^ static_cast<uint8_t>(i);
    }
    bytes[30] = static_cast<uint8_t>(n >> 8);
    bytes[31] = static_cast<uint8_t>(n);
    return p2p::PubKey(bytes);
}

// `nodes` nodes in 10.0.0.0/16, eight groups, five policies, twenty routes: sixteen through other
// nodes (half of them limited to groups) and four through the local node (index 0).
NetworkConfig make_network(uint32_t nodes) {
    NetworkConfig doc;
    doc.network = Ipv4Net(Ipv4Addr(10, 0, 0, 0), 16);
    doc.nodes.reserve(nodes);
    for (uint32_t i = 0; i < nodes; ++i) {
        NetworkNode node;
        node.pk = bench_key(i);
        node.ip = Ipv4Addr(0x0a000001u + i);
        node.hostname = fmt::format("node-{}", i);
        node.groups.insert(fmt::format("g{}", i % 8));
        if (i % 3 == 0) {
            node.groups.insert("ops");
        }
        doc.nodes.emplace(node.pk, std::move(node));
    }
    for (uint32_t r = 0; r < 20; ++r) {
        NetworkRoute route;
        route.dest = Ipv4Net(Ipv4Addr(0xac100000u + (r << 12)), 20);
        route.gw = r < 4 ? bench_key(0) : bench_key(1 + r % (nodes - 1));
        if (r % 2 == 1) {
            route.groups = {fmt::format("g{}", r % 8), "ops"};
        }
        doc.routes.emplace(route.dest, std::move(route));
    }
    doc.policies.insert({{"g0"}, {"g1", "g2"}});
    doc.policies.insert({{"g3"}, {"g4"}});
    doc.policies.insert({{"ops"}, {"ALL"}});
    doc.policies.insert({{"g5", "g6"}, {"g7"}});
    doc.policies.insert({{"g2"}, {"g0"}});
    return doc;
}

void BM_DeriveAll(benchmark::State& state) {
    const NetworkConfig doc = make_network(static_cast<uint32_t>(state.range(0)));
    const p2p::PubKey local = bench_key(0);
    size_t rules = 0;
    for (auto _ : state) {
        auto access = doc.effective_access_rule_list(local);
        auto routes = doc.effective_routing_list(local);
        auto forwardings = doc.effective_forwarding_list(local);
        auto hosts = doc.hostnames(local);
        RoutingTries tries = access->routing_tries();
        rules = access->size();
        benchmark::DoNotOptimize(routes);
        benchmark::DoNotOptimize(forwardings);
        benchmark::DoNotOptimize(hosts);
        benchmark::DoNotOptimize(tries);
    }
    state.counters["rules"] = static_cast<double>(rules);
    // Seconds per derived rule, shown with an SI prefix ("180n" is 180 ns).
    state.counters["per_rule"] = benchmark::Counter(
        static_cast<double>(rules),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_DeriveAll)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

// The steps one by one, at the largest size.
void BM_AccessRules(benchmark::State& state) {
    const NetworkConfig doc = make_network(static_cast<uint32_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(doc.effective_access_rule_list(bench_key(0)));
    }
}
BENCHMARK(BM_AccessRules)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_RoutingTries(benchmark::State& state) {
    const NetworkConfig doc = make_network(static_cast<uint32_t>(state.range(0)));
    const EffectiveAccessRuleList rules = doc.effective_access_rule_list(bench_key(0)).value();
    for (auto _ : state) {
        benchmark::DoNotOptimize(rules.routing_tries());
    }
}
BENCHMARK(BM_RoutingTries)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

void BM_Hostnames(benchmark::State& state) {
    const NetworkConfig doc = make_network(static_cast<uint32_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(doc.hostnames(bench_key(0)));
    }
}
BENCHMARK(BM_Hostnames)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quorvel::network
