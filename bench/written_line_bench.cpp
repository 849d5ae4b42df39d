// Cost of a written log line whose text may read otherwise in the canonical view, with secrets
// known: a line holding "+", "%2F" and a JSON escape against the same line without them (which
// skips the canonical view), at 3 and 10,000 secrets, and at none for the cost of the line alone;
// and a 64 KiB line of ordinary text at 0 and 10,000 secrets, which must cost per byte about what a
// short line does.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "util/log.h"
#include "util/secrets.h"

namespace quorvel {
namespace {

constexpr std::string_view kTarget = "quorvel_agent::bench";

// A password as a person or a generator picks one: 12 to 20 letters, digits and signs.
std::string password(std::mt19937& random) {
    constexpr std::string_view kChars =
        "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789-_.!";
    std::string out;
    const size_t length = 12 + random() % 9;
    for (size_t i = 0; i < length; ++i) {
        out.push_back(kChars[random() % kChars.size()]);
    }
    return out;
}

// `count` known secrets as the agent comes to know them: a shared secret, then the user
// information of network URLs and their passwords alone. The index is built before timing.
void remember_secrets(size_t count) {
    secrets::forget_all_for_tests();
    std::mt19937 random(7);
    if (count > 0) {
        secrets::remember("Vq3xS0bC9mZ2kL7nP4tR8wY1uE6iO5aD3fG0hJ2kLzX");
    }
    for (size_t i = 0; i + 1 < count; i += 2) {
        secrets::remember_url_userinfo("https://net-user-" + std::to_string(i % 7) + ":" +
                                       password(random) + "@h" + std::to_string(i) +
                                       ".example/net");
    }
    benchmark::DoNotOptimize(secrets::hide("index what is known"));
}

// Stands in for the stderr sink: lines are formatted, hidden and shown, then only counted.
class DroppingSink {
  public:
    DroppingSink()
        : previous_(log::sinks()),
          sink_(std::make_shared<log::LineSink>(
              log::LevelFilter::Debug, [this](std::string_view line) { bytes_ += line.size(); })) {
        log::clear_sinks();
        log::add_sink(sink_);
    }
    ~DroppingSink() {
        log::clear_sinks();
        for (auto& sink : previous_) {
            log::add_sink(sink);
        }
    }
    DroppingSink(const DroppingSink&) = delete;
    DroppingSink& operator=(const DroppingSink&) = delete;

    std::uint64_t bytes() const { return bytes_; }

  private:
    std::vector<std::shared_ptr<log::Sink>> previous_;
    std::shared_ptr<log::LineSink> sink_;
    std::uint64_t bytes_ = 0;
};

enum class LineKind : int64_t { Plain = 0, Escaped = 1 };

// A DEBUG line quoting a controller's answer, written in full each time: with "+", "%2F", `\"`
// and `\u00e9` in it (argument 0 = 1), or the same line with plain characters in their place.
void BM_WrittenLineWithEscapes(benchmark::State& state) {
    const auto kind = static_cast<LineKind>(state.range(0));
    const auto count = static_cast<size_t>(state.range(1));
    remember_secrets(count);
    const std::string answer =
        kind == LineKind::Escaped
            ? R"({"error":"no route for /api%2Fv1+nodes: \"caf\u00e9\" refused"})"
            : R"({"error":"no route for /api-v1-nodes: 'cafe-' refused"})";
    DroppingSink sink;
    std::uint32_t n = 0;
    for (auto _ : state) {
        QV_DEBUG(kTarget, "Controller answered request {}: {}", ++n, answer);
    }
    state.SetBytesProcessed(static_cast<int64_t>(sink.bytes()));
    secrets::forget_all_for_tests();
}
BENCHMARK(BM_WrittenLineWithEscapes)
    ->ArgNames({"escaped", "secrets"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 3})
    ->Args({1, 3})
    ->Args({0, 10000})
    ->Args({1, 10000});

// A DEBUG line of 64 KiB of ordinary log text.
void BM_WrittenLongLine(benchmark::State& state) {
    const auto count = static_cast<size_t>(state.range(0));
    remember_secrets(count);
    std::string text;
    while (text.size() < 64 * 1024) {
        text += "2026-12-08T22:14:57.123456Z INFO quorvel_agent::agent: Housekeeping pass done ";
    }
    text.resize(64 * 1024);
    DroppingSink sink;
    std::uint32_t n = 0;
    for (auto _ : state) {
        QV_DEBUG(kTarget, "Collected text {}: {}", ++n, text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(sink.bytes()));
    secrets::forget_all_for_tests();
}
BENCHMARK(BM_WrittenLongLine)
    ->ArgNames({"secrets"})
    ->Arg(0)
    ->Arg(10000)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quorvel
