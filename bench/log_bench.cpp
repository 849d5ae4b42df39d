// Cost of a log call on the packet path: an event below the sink's level (one level check, nothing
// built), a repeat the sink counts, a flood of ever new lines (the first ones of each interval
// written to a writer that drops them, the rest counted as dropped), and lines written every time
// (DEBUG lines, which are never collapsed) with plain text, with the agent's secrets known, and
// with text holding line breaks and escape sequences.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "util/log.h"
#include "util/secrets.h"

namespace quorvel::log {
namespace {

constexpr std::string_view kTarget = "quorvel_agent::bench";

// Installs one line sink at `level` that drops what it writes, in place of any other sink.
class BenchSink {
  public:
    explicit BenchSink(LevelFilter level)
        : previous_(sinks()),
          sink_(std::make_shared<LineSink>(
              level, [this](std::string_view line) { bytes_ += line.size(); })) {
        clear_sinks();
        add_sink(sink_);
    }
    ~BenchSink() {
        clear_sinks();
        for (auto& sink : previous_) {
            add_sink(sink);
        }
    }
    std::uint64_t bytes() const { return bytes_; }

  private:
    std::vector<std::shared_ptr<Sink>> previous_;
    std::shared_ptr<LineSink> sink_;
    std::uint64_t bytes_ = 0;
};

void BM_LogBelowSinkLevel(benchmark::State& state) {
    BenchSink sink(LevelFilter::Info);
    const std::string peer = "a46b8c39ca6eb4955d074efe34351e09ec4f39be4e5fe937f6c0166d6ab5b184";
    std::uint32_t n = 0;
    for (auto _ : state) {
        QV_LOG_FIELDS(Level::Trace, kTarget, (std::vector<Field>{{"pk", peer}}),
                      "Received {} bytes from peer {}", ++n, peer);
        QV_DEBUG(kTarget, "Forwarding packet {} to the tunnel", n);
    }
    benchmark::DoNotOptimize(n);
    state.counters["bytes_written"] = static_cast<double>(sink.bytes());
}
BENCHMARK(BM_LogBelowSinkLevel);

void BM_LogCollapsedRepeat(benchmark::State& state) {
    BenchSink sink(LevelFilter::Info);
    for (auto _ : state) {
        QV_ERROR(kTarget, "Failed to decode DNS message: {}", "unexpected end of input");
    }
    state.counters["bytes_written"] = static_cast<double>(sink.bytes());
}
BENCHMARK(BM_LogCollapsedRepeat);

void BM_LogFloodOfNewLines(benchmark::State& state) {
    BenchSink sink(LevelFilter::Info);
    std::uint32_t n = 0;
    for (auto _ : state) {
        QV_WARN(kTarget, "Dropping packet {} with no route", ++n);
    }
    state.counters["bytes_written"] = static_cast<double>(sink.bytes());
}
BENCHMARK(BM_LogFloodOfNewLines);

// A DEBUG line with fields, written in full each time: the cost of formatting one line, with no
// secret known and with three (a shared secret, a controller URL's and a proxy's user
// information), which every line is searched for.
void BM_LogWrittenLine(benchmark::State& state) {
    secrets::forget_all_for_tests();
    const std::string_view known[] = {"Vq3xS0bC9mZ2kL7nP4tR8wY1uE6iO5aD3fG0hJ2kLzX",
                                      "ctl-user:Ctl-Pass-2024", "proxy:pa secret"};
    for (int64_t i = 0; i < state.range(0); ++i) {
        secrets::remember(known[i]);
    }
    BenchSink sink(LevelFilter::Debug);
    const std::string peer = "a46b8c39ca6eb4955d074efe34351e09ec4f39be4e5fe937f6c0166d6ab5b184";
    std::uint32_t n = 0;
    for (auto _ : state) {
        QV_LOG_FIELDS(Level::Debug, kTarget,
                      (std::vector<Field>{{"pk", peer}, {"url", "https://ctl.example.com/api"}}),
                      "Sending request {} to the controller for network 8a7c5e3f2b1d", ++n);
    }
    state.counters["bytes_written"] = static_cast<double>(sink.bytes());
    secrets::forget_all_for_tests();
}
BENCHMARK(BM_LogWrittenLine)->Arg(0)->Arg(3);

// The same with a message from outside that holds line breaks and an escape sequence.
void BM_LogWrittenLineWithControls(benchmark::State& state) {
    BenchSink sink(LevelFilter::Debug);
    const std::string body = "denied\n2026-01-01T00:00:00.000000Z ERROR forged\x1b[2J\r\n";
    std::uint32_t n = 0;
    for (auto _ : state) {
        QV_DEBUG(kTarget, "Request {} failed: status 401 Unauthorized, body: {}", ++n, body);
    }
    state.counters["bytes_written"] = static_cast<double>(sink.bytes());
}
BENCHMARK(BM_LogWrittenLineWithControls);

}  // namespace
}  // namespace quorvel::log
