#include "agent/status/duration_text.h"

#include "agent/status/text_lines.h"

#include <gtest/gtest.h>

namespace quorvel::agent {
namespace {

using namespace std::chrono_literals;
using std::chrono::nanoseconds;

TEST(DurationTextTest, WritesEveryNonZeroUnitLargestFirst) {
    constexpr uint64_t kYear = 31'557'600;
    constexpr uint64_t kMonth = 2'630'016;
    const struct {
        uint64_t secs;
        uint32_t nanos;
        const char* text;
    } cases[] = {
        {0, 0, "0s"},
        {0, 1, "1ns"},
        {30, 0, "30s"},
        {60, 0, "1m"},
        {0, 1'500'000, "1ms 500us"},
        {0, 999'999'999, "999ms 999us 999ns"},
        {90'061, 1, "1day 1h 1m 1s 1ns"},
        {172'800, 0, "2days"},
        {kMonth - 1, 0, "30days 10h 33m 35s"},
        {kMonth, 0, "1month"},
        {kYear, 0, "1year"},
        {2 * kYear + 3 * kMonth + 86'400, 0, "2years 3months 1day"},
        // Nanoseconds beyond one second carry into the seconds.
        {1, 2'000'000'003, "3s 3ns"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(format_duration(c.secs, c.nanos), c.text) << c.secs << "s " << c.nanos << "ns";
    }
}

TEST(DurationTextTest, ChronoDurationsAndElapsedTimes) {
    EXPECT_EQ(format_duration(std::chrono::milliseconds(30000)), "30s");
    EXPECT_EQ(format_duration(std::chrono::milliseconds(60000)), "1m");
    EXPECT_EQ(format_duration(45s + 1ns), "45s 1ns");
    EXPECT_EQ(format_duration(-5s), "0s");
    // The largest capped millisecond option still renders, without wrapping.
    EXPECT_EQ(format_duration(std::chrono::milliseconds(9'223'372'036'854)),
              "292years 3months 7days 16h 6m 28s 854ms");

    const p2p::Instant then(1000h);
    EXPECT_EQ(time_ago_in_words(then, then + 90'061s + 1ns), "1day 1h 1m 1s 1ns");
    // A time stamp ahead of the clock reads as no time at all.
    EXPECT_EQ(time_ago_in_words(then + 1s, then), "0s");
}

TEST(TextLinesTest, NestsTextLineByLine) {
    const struct {
        const char* text;
        const char* nested;
    } cases[] = {
        {"", ""},
        {"a", "> a\n"},
        {"a\n", "> a\n"},
        {"a\nb", "> a\n> b\n"},
        {"a\r\nb\r\n", "> a\n> b\n"},
        {"a\n\nb\n", "> a\n> \n> b\n"},
        {"\n", "> \n"},
        // Only a carriage return before a line feed ends a line.
        {"a\rb", "> a\rb\n"},
        {"a\r", "> a\r\n"},
    };
    for (const auto& c : cases) {
        std::string out = "head\n";
        append_lines(out, c.text, "> ");
        EXPECT_EQ(out, std::string("head\n") + c.nested) << c.text;
    }
}

}  // namespace
}  // namespace quorvel::agent
