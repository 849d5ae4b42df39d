// Cost of taking in outside text (`outside_text`) where it enters an error: cut to a kilobyte,
// the cut moved back before every known secret and every word that could hold user information
// that it would split, then masked. A 1 MiB and a 16 MiB body of "c:@b " repeated, with a 1 MiB
// password and "@b c" known, walk the cut back to the start through a secret and a word in turn;
// a 64 KiB body of ordinary log text with 0 and 10,000 ordinary secrets known. Whatever the
// secrets, taking a text in should cost a few passes over what it reads to find the cut.
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "util/secrets.h"
#include "util/shown_text.h"

namespace quorvel {
namespace {

// A password as a person or a generator picks one: 12 to 20 letters, digits and signs.
std::string ordinary_password(std::mt19937& random) {
    constexpr std::string_view kChars =
        "abcdefghijkmnopqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789-_.!";
    std::string out;
    for (size_t length = 12 + random() % 9; out.size() < length;) {
        out.push_back(kChars[random() % kChars.size()]);
    }
    return out;
}

// Indexes what is known now, as the first line written after the secrets came would, so that what
// a benchmark times is the taking in alone.
void index_known() {
    benchmark::DoNotOptimize(secrets::hide("index what is known"));
}

// A body of `mib` MiB of "c:@b " repeated, with a password of 1 MiB and "@b c" known: each copy
// of "@b c" stands across the cut that the word before it gives, so the cut walks back to the
// start, and the long password makes any window around the cut as long as the body.
void BM_OutsideTextWalkingBackPastALongPassword(benchmark::State& state) {
    const auto mib = static_cast<size_t>(state.range(0));
    secrets::forget_all_for_tests();
    std::mt19937 random(11);
    std::string password;
    for (size_t i = 0; i < 1024 * 1024; ++i) {
        password.push_back(static_cast<char>('A' + random() % 26));
    }
    secrets::remember(password);
    secrets::remember("@b c");
    index_known();
    std::string body;
    body.reserve(mib * 1024 * 1024 + 5);
    while (body.size() < mib * 1024 * 1024) {
        body += "c:@b ";
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(outside_text(body));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * body.size()));
    secrets::forget_all_for_tests();
}
BENCHMARK(BM_OutsideTextWalkingBackPastALongPassword)
    ->Arg(1)
    ->Arg(16)
    ->Unit(benchmark::kMillisecond);

// A 64 KiB body of ordinary log text, with 0 and 10,000 ordinary secrets known (network URLs'
// user information and their passwords).
void BM_OutsideTextOfAnOrdinaryBody(benchmark::State& state) {
    const auto count = static_cast<size_t>(state.range(0));
    secrets::forget_all_for_tests();
    std::mt19937 random(7);
    for (size_t i = 0; i + 1 < count; i += 2) {
        secrets::remember_url_userinfo("https://net-user-" + std::to_string(i % 7) + ":" +
                                       ordinary_password(random) + "@h" + std::to_string(i) +
                                       ".example/net");
    }
    index_known();
    std::string body;
    for (size_t i = 0; body.size() < 64 * 1024; ++i) {
        body += "2026-12-08T22:14:" + std::to_string(10 + i % 50) + "." + std::to_string(i * 7919) +
                "Z INFO quorvel_agent::agent: Housekeeping pass " + std::to_string(i) + " done, " +
                std::to_string(i % 13) + " peers, route 10.7." + std::to_string(i % 256) +
                ".0/24; ";
    }
    body.resize(64 * 1024);
    for (auto _ : state) {
        benchmark::DoNotOptimize(outside_text(body));
    }
    secrets::forget_all_for_tests();
}
BENCHMARK(BM_OutsideTextOfAnOrdinaryBody)->Arg(0)->Arg(10000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quorvel
