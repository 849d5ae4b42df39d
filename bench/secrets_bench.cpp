// Cost of hiding the agent's known secrets, which every written log line and every line of the
// status report pays: a written line with 0, 3, 100 and 10,000 secrets known (the same line each
// time); the status report of 1,000 networks whose URLs hold passwords against the same URLs
// holding that text in their query, where it is no secret, also with passwords that share nearly
// all their pieces; the cost per byte of hiding against the length of the one secret known (8
// bytes to 64 KiB), which must stay flat; a text of runs that end like a password ending in stars;
// one addition followed by one written line with 10,000 secrets known; the first index of many long
// secrets or of secrets that are each other's starts (time, peak and kept memory per byte); and a
// 64 KiB line of ordinary text written with 0 and 10,000 secrets known.
// Each benchmark reports the memory the known secrets take per secret.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "agent/config/agent_config.h"
#include "agent/status/status.h"
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

// Passwords that share nearly every piece: 40 random letters of "a" and "b", and one scheme of 60
// bytes followed by a counter of four digits.
std::string two_letter_password(std::mt19937& random) {
    std::string out;
    for (size_t i = 0; i < 40; ++i) {
        out.push_back(random() % 2 == 0 ? 'a' : 'b');
    }
    return out;
}
std::string counted_password(size_t i) {
    return "Acme-Corp-Network-Password-Scheme-2026-Shared-By-Every-Node-" +
           std::to_string(1000 + i);
}

enum class Passwords { Ordinary, TwoLetters, Counted };

// The user information of network `i`'s URL: a user name that many networks share and a
// password of its own.
std::string userinfo(size_t i, std::mt19937& random, Passwords kind = Passwords::Ordinary) {
    const std::string pass = kind == Passwords::TwoLetters ? two_letter_password(random)
                             : kind == Passwords::Counted  ? counted_password(i)
                                                           : password(random);
    return "net-user-" + std::to_string(i % 7) + ":" + pass;
}

// Indexes what is known now, as the first line written after the secrets came would, so that what a
// benchmark times is the search alone.
void index_known() {
    benchmark::DoNotOptimize(secrets::hide("index what is known"));
}

// `count` known secrets as the agent comes to know them: the user information of network URLs
// and their passwords alone, beside a shared secret.
void remember_secrets(size_t count) {
    secrets::forget_all_for_tests();
    std::mt19937 random(7);
    if (count > 0) {
        secrets::remember("Vq3xS0bC9mZ2kL7nP4tR8wY1uE6iO5aD3fG0hJ2kLzX");
    }
    for (size_t i = 0; i + 1 < count; i += 2) {
        secrets::remember_url_userinfo("https://" + userinfo(i, random) + "@h" + std::to_string(i) +
                                       ".example/net");
    }
    index_known();
}

void report_memory(benchmark::State& state, size_t count) {
    if (count > 0) {
        state.counters["bytes_per_secret"] =
            static_cast<double>(secrets::memory_bytes()) / static_cast<double>(count);
    }
}

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

    std::uint64_t bytes() const { return bytes_; }

  private:
    std::vector<std::shared_ptr<log::Sink>> previous_;
    std::shared_ptr<log::LineSink> sink_;
    std::uint64_t bytes_ = 0;
};

// A DEBUG line with fields, written in full each time and so searched each time.
void BM_WrittenLineWithSecretsKnown(benchmark::State& state) {
    const auto count = static_cast<size_t>(state.range(0));
    remember_secrets(count);
    DroppingSink sink;
    const std::string peer = "a46b8c39ca6eb4955d074efe34351e09ec4f39be4e5fe937f6c0166d6ab5b184";
    std::uint32_t n = 0;
    for (auto _ : state) {
        QV_LOG_FIELDS(
            log::Level::Debug, kTarget,
            (std::vector<log::Field>{{"pk", peer}, {"url", "https://ctl.example.com/api"}}),
            "Sending request {} to the controller for network 8a7c5e3f2b1d", ++n);
    }
    report_memory(state, count);
    secrets::forget_all_for_tests();
}
BENCHMARK(BM_WrittenLineWithSecretsKnown)->Arg(0)->Arg(3)->Arg(100)->Arg(10000);

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

// An ERROR line repeated, which the sink only counts: judged before any search, so it costs the
// same whatever is known.
void BM_CollapsedRepeatWithSecretsKnown(benchmark::State& state) {
    const auto count = static_cast<size_t>(state.range(0));
    remember_secrets(count);
    DroppingSink sink;
    const std::string body(512, 'x');
    for (auto _ : state) {
        QV_ERROR(kTarget, "Failed to decode DNS message: unexpected end of input {}", body);
    }
    secrets::forget_all_for_tests();
}
BENCHMARK(BM_CollapsedRepeatWithSecretsKnown)->Arg(0)->Arg(10000);

// The report of 1,000 networks: with their passwords in the URLs' user information (secrets, so
// every line of the report is searched for 2,000 of them), or the same text in their query (no
// secret known); to tell the search from the masking of the URLs' user information, with the
// passwords in the URLs but none of them known; and with known passwords that share nearly all
// their pieces (3: two letters, 4: a scheme and a counter).
void BM_StatusReportOfManyNetworks(benchmark::State& state) {
    const bool passwords = state.range(0) != 0;
    const bool known = state.range(0) != 0 && state.range(0) != 2;
    const Passwords kind = state.range(0) == 3   ? Passwords::TwoLetters
                           : state.range(0) == 4 ? Passwords::Counted
                                                 : Passwords::Ordinary;
    secrets::forget_all_for_tests();
    agent::AgentConfig config(p2p::Identity(p2p::SecKey::random(), p2p::Pow(0)));
    std::mt19937 random(11);
    for (size_t i = 0; i < 1000; ++i) {
        const std::string info = userinfo(i, random, kind);
        const std::string text =
            passwords ? "https://" + info + "@h" + std::to_string(i) + ".example/net"
                      : "https://h" + std::to_string(i) + ".example/net?login=" + info;
        const auto url = Url::parse(text);
        config.network.insert_or_assign(*url, network::Network(*url));
    }
    if (known) {
        config.remember_secrets();
        index_known();
    }
    auto status = agent::Status::from_config(config, "/tmp/quorvel-bench.toml");
    status->agent_status = agent::AgentStatus::CONNECTED;
    for (const auto& [url, network] : config.network) {
        status->networks.insert_or_assign(url, agent::NetworkStatus(network));
    }
    size_t bytes = 0;
    for (auto _ : state) {
        const std::string report = status->to_string_with_secrets(false);
        bytes += report.size();
        benchmark::DoNotOptimize(report.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    report_memory(state, known ? 2000 : 0);
    secrets::forget_all_for_tests();
}
BENCHMARK(BM_StatusReportOfManyNetworks)
    ->Arg(0)
    ->Arg(1)
    ->Arg(2)
    ->Arg(3)
    ->Arg(4)
    ->Unit(benchmark::kMicrosecond);

// 64 KiB of log text holding the one secret known once, its length from 8 bytes to 64 KiB.
void BM_HideCostPerByteAgainstSecretLength(benchmark::State& state) {
    secrets::forget_all_for_tests();
    const auto length = static_cast<size_t>(state.range(0));
    std::mt19937 random(3);
    std::string secret;
    while (secret.size() < length) {
        secret += password(random);
    }
    secret.resize(length);
    secrets::remember(secret);
    index_known();
    std::string text;
    while (text.size() < 64 * 1024) {
        text += "2026-12-08T22:14:57.123456Z INFO quorvel_agent::agent: Housekeeping pass done ";
    }
    text.insert(text.size() / 2, secret);
    for (auto _ : state) {
        benchmark::DoNotOptimize(secrets::hide(text));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    report_memory(state, 1);
    secrets::forget_all_for_tests();
}
BENCHMARK(BM_HideCostPerByteAgainstSecretLength)
    ->Arg(8)
    ->Arg(64)
    ->Arg(1024)
    ->Arg(16 * 1024)
    ->Arg(64 * 1024);

// 4 KiB of text made of the pieces that 1,000 known passwords share, none of them whole: random
// letters "a" and "b" with passwords of those letters known (argument 0), or the scheme with
// counters past those known (argument 1); and, to compare, an ordinary log text (argument 2).
void BM_HideTextOfSharedPieces(benchmark::State& state) {
    secrets::forget_all_for_tests();
    std::mt19937 random(17);
    for (size_t i = 0; i < 1000; ++i) {
        secrets::remember(state.range(0) == 0 ? two_letter_password(random) : counted_password(i));
    }
    index_known();
    std::string text;
    while (text.size() < 4096) {
        if (state.range(0) == 0) {
            text.push_back(random() % 2 == 0 ? 'a' : 'b');
        } else if (state.range(0) == 1) {
            text += counted_password(5000 + text.size()) + " ";
        } else {
            text += "2026-12-08T22:14:57.123456Z INFO quorvel_agent::agent: Housekeeping pass ";
        }
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(secrets::hide(text));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    secrets::forget_all_for_tests();
}
BENCHMARK(BM_HideTextOfSharedPieces)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

// A path of runs of 20 "a" and "***", 16 KiB to 1 MiB long, hidden with "a***" known (argument
// 1), which ends each run, or with another password that ends in stars (argument 0). Each mask
// leaves a stretch that takes in part of it for the next reading: the time per byte stays flat.
void BM_HidePasswordEndingInStars(benchmark::State& state) {
    secrets::forget_all_for_tests();
    secrets::remember(state.range(1) != 0 ? "a***" : "zq7***");
    index_known();
    std::string text;
    while (text.size() < static_cast<size_t>(state.range(0))) {
        text += std::string(20, 'a') + "***/";
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(secrets::hide(text));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    secrets::forget_all_for_tests();
}
BENCHMARK(BM_HidePasswordEndingInStars)
    ->Args({16 * 1024, 0})
    ->Args({16 * 1024, 1})
    ->Args({64 * 1024, 0})
    ->Args({64 * 1024, 1})
    ->Args({1024 * 1024, 1})
    ->Unit(benchmark::kMicrosecond);

// One network URL more, then one written line, with 10,000 secrets known before.
void BM_AdditionThenLineWithSecretsKnown(benchmark::State& state) {
    const auto count = static_cast<size_t>(state.range(0));
    remember_secrets(count);
    DroppingSink sink;
    std::mt19937 random(5);
    size_t i = count;
    for (auto _ : state) {
        secrets::remember_url_userinfo("https://" + userinfo(i, random) + "@n" + std::to_string(i) +
                                       ".example/net");
        QV_DEBUG(kTarget, "Joined network {}", i);
        ++i;
    }
    secrets::forget_all_for_tests();
}
BENCHMARK(BM_AdditionThenLineWithSecretsKnown)->Arg(10000)->Unit(benchmark::kMicrosecond);

// The process's resident memory now and at its peak since `reset_peak_memory`, from
// /proc/self/status; 0 where the system does not tell.
size_t status_bytes(std::string_view field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with(field)) {
            return std::stoull(line.substr(field.size())) * 1024;
        }
    }
    return 0;
}
// Hands what the allocator holds free back to the system, so that the resident memory counts what
// is in use, and starts the peak afresh from there.
void reset_peak_memory() {
    malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
}

// Times the first hide after the secrets came, which indexes them all, and reports it per byte of
// secret with the peak resident memory it took and what the known secrets keep.
void time_first_index(benchmark::State& state, size_t secret_bytes) {
    reset_peak_memory();
    const size_t before = status_bytes("VmRSS:");
    const auto start = std::chrono::steady_clock::now();
    index_known();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    state.SetIterationTime(took.count());
    const size_t peak = status_bytes("VmHWM:");
    const auto bytes = static_cast<double>(secret_bytes);
    state.counters["ns_per_byte"] = took.count() * 1e9 / bytes;
    state.counters["peak_per_byte"] = static_cast<double>(peak - std::min(peak, before)) / bytes;
    state.counters["kept_per_byte"] = static_cast<double>(secrets::memory_bytes()) / bytes;
}

// The first index of N network URLs whose passwords are 1 KiB long: time per byte of password,
// which must stay flat from 1,000 to 10,000 of them.
void BM_FirstIndexOfLongPasswords(benchmark::State& state) {
    const auto count = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        secrets::forget_all_for_tests();
        std::mt19937 random(23);
        for (size_t i = 0; i < count; ++i) {
            std::string pass;
            while (pass.size() < 1024) {
                pass += password(random);
            }
            pass.resize(1024);
            secrets::remember_url_userinfo("https://net-user-" + std::to_string(i % 7) + ":" +
                                           pass + "@h" + std::to_string(i) + ".example/net");
        }
        time_first_index(state, count * 1024);
    }
    secrets::forget_all_for_tests();
}
BENCHMARK(BM_FirstIndexOfLongPasswords)
    ->Arg(1000)
    ->Arg(10000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// The first index of 4,000 network URLs whose passwords are each other's starts: "a" 4 to 4,003
// times; per byte of password, at most what ordinary ones cost.
void BM_FirstIndexOfNestedSecrets(benchmark::State& state) {
    const auto count = static_cast<size_t>(state.range(0));
    for (auto _ : state) {
        secrets::forget_all_for_tests();
        size_t bytes = 0;
        for (size_t length = 4; length < 4 + count; ++length) {
            secrets::remember_url_userinfo("https://net-user:" + std::string(length, 'a') + "@h" +
                                           std::to_string(length) + ".example/net");
            bytes += length;
        }
        time_first_index(state, bytes);
    }
    secrets::forget_all_for_tests();
}
BENCHMARK(BM_FirstIndexOfNestedSecrets)
    ->Arg(4000)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

// A written line of 64 KiB of ordinary log text, with 0 and 10,000 secrets known: at most a few
// times as much with them as without.
void BM_LongPlainLineWithSecretsKnown(benchmark::State& state) {
    const auto count = static_cast<size_t>(state.range(0));
    remember_secrets(count);
    DroppingSink sink;
    std::string text;
    for (size_t i = 0; text.size() < 64 * 1024; ++i) {
        text += "2026-12-08T22:14:" + std::to_string(10 + i % 50) + "." + std::to_string(i * 7919) +
                "Z INFO quorvel_agent::agent: Housekeeping pass " + std::to_string(i) + " done, " +
                std::to_string(i % 13) + " peers, route 10.7." + std::to_string(i % 256) +
                ".0/24; ";
    }
    text.resize(64 * 1024);
    for (auto _ : state) {
        QV_DEBUG(kTarget, "Dump {}", text);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
    secrets::forget_all_for_tests();
}
BENCHMARK(BM_LongPlainLineWithSecretsKnown)->Arg(0)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quorvel
