#include "agent/status/duration_text.h"

#include <fmt/format.h>

namespace quorvel::agent {

namespace {

constexpr uint64_t kYearSecs = 31'557'600;  // 365.25 days
constexpr uint64_t kMonthSecs = 2'630'016;  // 30.44 days
constexpr uint64_t kDaySecs = 86'400;

void append_unit(std::string& out, uint64_t value, std::string_view unit, bool plural) {
    if (value == 0) {
        return;
    }
    if (!out.empty()) {
        out += ' ';
    }
    fmt::format_to(std::back_inserter(out), "{}{}", value, unit);
    if (plural && value > 1) {
        out += 's';
    }
}

}  // namespace

std::string format_duration(uint64_t secs, uint32_t subsec_nanos) {
    secs += subsec_nanos / 1'000'000'000;
    subsec_nanos %= 1'000'000'000;
    if (secs == 0 && subsec_nanos == 0) {
        return "0s";
    }
    const uint64_t years = secs / kYearSecs;
    const uint64_t in_year = secs % kYearSecs;
    const uint64_t months = in_year / kMonthSecs;
    const uint64_t in_month = in_year % kMonthSecs;
    const uint64_t days = in_month / kDaySecs;
    const uint64_t in_day = in_month % kDaySecs;

    std::string out;
    append_unit(out, years, "year", true);
    append_unit(out, months, "month", true);
    append_unit(out, days, "day", true);
    append_unit(out, in_day / 3600, "h", false);
    append_unit(out, in_day % 3600 / 60, "m", false);
    append_unit(out, in_day % 60, "s", false);
    append_unit(out, subsec_nanos / 1'000'000, "ms", false);
    append_unit(out, subsec_nanos / 1'000 % 1'000, "us", false);
    append_unit(out, subsec_nanos % 1'000, "ns", false);
    return out;
}

p2p::Instant read_now(const NowFn& now) {
    return now ? now() : p2p::Clock::now();
}

std::string time_ago_in_words(p2p::Instant since, p2p::Instant now) {
    return format_duration(now - since);
}

}  // namespace quorvel::agent
