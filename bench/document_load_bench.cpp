// Cost of loading a network document by its number of nodes, with random node keys and with keys
// crafted to agree in all but their last bytes. Keys index the node map, so both must load in the
// same linear time: the time per node stays flat across sizes and between the two key sets.
#include <benchmark/benchmark.h>

#include <fmt/format.h>

#include <random>
#include <string>

#include "network/config/network_config.h"

namespace quorvel::network {
namespace {

std::string document(uint32_t nodes, bool crafted) {
    std::mt19937_64 random(42);
    std::string text = "network = \"10.0.0.0/8\"\n";
    text.reserve(static_cast<size_t>(nodes) * 140);
    for (uint32_t i = 0; i < nodes; ++i) {
        p2p::PubKey::Bytes bytes{};
        if (crafted) {
            // One fixed prefix; the index only in the last four bytes.
            bytes.fill(0xab);
            for (size_t b = 0; b < 4; ++b) {
                bytes[bytes.size() - 1 - b] = static_cast<uint8_t>(i >> (8 * b));
            }
        } else {
            for (auto& byte : bytes) {
                byte = static_cast<uint8_t>(random());
            }
        }
        const uint32_t host = i + 1;
        text += fmt::format("[[node]]\npk = \"{}\"\nip = \"10.{}.{}.{}\"\nhostname = \"n{}\"\n",
                            p2p::PubKey(bytes).to_string(), (host >> 16) & 0xff, (host >> 8) & 0xff,
                            host & 0xff, i);
    }
    return text;
}

void BM_LoadDocument(benchmark::State& state) {
    const auto nodes = static_cast<uint32_t>(state.range(0));
    const std::string text = document(nodes, state.range(1) != 0);
    for (auto _ : state) {
        auto config = NetworkConfig::try_from(text);
        if (!config || config->nodes.size() != nodes) {
            state.SkipWithError(config ? "nodes went missing" : config.error().to_string().c_str());
            break;
        }
        benchmark::DoNotOptimize(config);
    }
    state.SetLabel(state.range(1) != 0 ? "crafted keys" : "random keys");
    // Seconds per node, shown with an SI prefix.
    state.counters["per_node"] = benchmark::Counter(
        static_cast<double>(nodes),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_LoadDocument)
    ->ArgsProduct({{1000, 10000, 100000}, {0, 1}})
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quorvel::network
