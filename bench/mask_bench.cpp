// Cost of hiding the credentials of the URLs in a text: an error as a library writes it, a
// controller's answer of 64 KiB without an "@", one word of 64 KiB that is all URLs and "@"s, and
// answers of 64 KiB and 2 MiB made of short words holding an "@" ("a@b "), which must cost the
// same per byte. And taking 16 MiB of "u:p@ " words in as outside text, as an invalid host name
// of a network document is: cut to the bound, then masked (`outside_text`), against the order it
// replaced, masked whole, then cut.
#include <benchmark/benchmark.h>

#include <string>

#include "util/shown_text.h"
#include "util/url.h"

namespace quorvel {
namespace {

void BM_MaskCredentialsLibraryError(benchmark::State& state) {
    const std::string text =
        "error sending request for url (https://ctl.example.com/api/v1/networks): Unsupported "
        "proxy syntax in 'http://proxy-user:s3cret@[bad'";
    for (auto _ : state) {
        benchmark::DoNotOptimize(mask_credentials(text));
    }
}
BENCHMARK(BM_MaskCredentialsLibraryError);

void BM_MaskCredentialsLongBody(benchmark::State& state) {
    std::string text;
    while (text.size() < static_cast<size_t>(state.range(0))) {
        switch (state.range(1)) {
            case 0:
                text += "denied: no such network, see https://docs.example/a?b=c ";
                break;
            case 1:
                text += "x://h/@";
                break;
            default:
                text += "a@b ";
                break;
        }
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(mask_credentials(text));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_MaskCredentialsLongBody)
    ->Args({64 << 10, 0})
    ->Args({16 << 10, 1})
    ->Args({64 << 10, 1})
    ->Args({64 << 10, 2})
    ->Args({2 << 20, 2})
    ->Args({2 << 20, 1});

std::string words_of_16_mib() {
    std::string text;
    text.reserve((16 << 20) + 8);
    while (text.size() < (16 << 20)) {
        text += "u:p@ ";
    }
    return text;
}

void BM_OutsideText16MiB(benchmark::State& state) {
    const std::string text = words_of_16_mib();
    for (auto _ : state) {
        benchmark::DoNotOptimize(outside_text(text));
    }
}
BENCHMARK(BM_OutsideText16MiB)->Unit(benchmark::kMicrosecond);

void BM_MaskThenBound16MiB(benchmark::State& state) {
    const std::string text = words_of_16_mib();
    for (auto _ : state) {
        benchmark::DoNotOptimize(bound_outside_text(mask_credentials(text)));
    }
}
BENCHMARK(BM_MaskThenBound16MiB)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quorvel
