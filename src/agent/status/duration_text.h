// Durations as the status report writes them: every non-zero unit from years down to
// nanoseconds, largest first, separated by single spaces ("1day 1h 1m 1s 1ns", "2years 3months",
// "30s"), and "0s" for zero. A year is 365.25 days and a month 30.44 days; only years, months and
// days take a plural "s". Nothing is rounded away.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "p2p/stats.h"

namespace quorvel::agent {

std::string format_duration(uint64_t secs, uint32_t subsec_nanos);

// A negative duration is written as zero.
template <class Rep, class Period>
std::string format_duration(std::chrono::duration<Rep, Period> d) {
    if (d <= d.zero()) {
        return format_duration(0, 0);
    }
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(d);
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(d - secs);
    return format_duration(static_cast<uint64_t>(secs.count()),
                           static_cast<uint32_t>(nanos.count()));
}

// Where the status report reads the current monotonic instant; tests pin it. An empty function
// reads the steady clock.
using NowFn = std::function<p2p::Instant()>;
p2p::Instant read_now(const NowFn& now);

// The time from `since` to `now`, zero when `since` lies ahead; callers add " ago" themselves.
std::string time_ago_in_words(p2p::Instant since, p2p::Instant now);

}  // namespace quorvel::agent
