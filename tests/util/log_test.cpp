#include "util/log.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quorvel::log {
namespace {

TEST(LogTest, CaptureSeesEventsWithSpansAndFields) {
    ScopedCapture capture;
    {
        SpanGuard outer(Level::Info, "fetch_network_config", {{"network", "file:///x"}});
        QV_LOG_FIELDS(Level::Trace, "quorvel::test", (std::vector<Field>{{"n", "1"}}), "hello {}",
                      42);
    }
    QV_WARN("quorvel::test", "after");
    auto events = capture.sink().events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].message, "hello 42");
    ASSERT_EQ(events[0].spans.size(), 1u);
    EXPECT_EQ(events[0].spans[0].name, "fetch_network_config");
    EXPECT_EQ(format_event(events[0]),
              "TRACE quorvel::test: fetch_network_config{network=file:///x}: hello 42 n=1");
    EXPECT_TRUE(events[1].spans.empty());
    EXPECT_TRUE(capture->contains(Level::Warn, "after"));
    EXPECT_FALSE(capture->contains(Level::Trace, "after"));
}

TEST(LogTest, MinimumLevelFiltersBeforeFormatting) {
    ScopedCapture capture;
    set_min_level(Level::Warn);
    int formatted = 0;
    auto count = [&] { return ++formatted; };
    QV_TRACE("quorvel::test", "{}", count());
    QV_ERROR("quorvel::test", "{}", count());
    EXPECT_EQ(formatted, 1);
    EXPECT_EQ(capture.sink().events().size(), 1u);
}

// Sinks come and go (a test's capture, say) while other threads keep logging.
TEST(LogTest, SinksChangeWhileOtherThreadsLog) {
    ScopedCapture capture;
    std::atomic<bool> done{false};
    std::atomic<int> started{0};
    std::vector<std::thread> loggers;
    for (int t = 0; t < 3; ++t) {
        loggers.emplace_back([&] {
            QV_TRACE("quorvel::test", "busy");
            started.fetch_add(1);
            while (!done.load()) {
                QV_TRACE("quorvel::test", "busy");
            }
        });
    }
    while (started.load() < 3) {
        std::this_thread::yield();
    }
    for (int i = 0; i < 200; ++i) {
        auto extra = std::make_shared<CaptureSink>();
        add_sink(extra);
        remove_sink(extra);
    }
    done.store(true);
    for (auto& t : loggers) {
        t.join();
    }
    EXPECT_GE(capture->count(Level::Trace, "busy"), 3u);
}

// Formats as "counted" and counts how often it was formatted.
struct Counted {
    int* formatted;
};

}  // namespace
}  // namespace quorvel::log

template <>
struct fmt::formatter<quorvel::log::Counted> : fmt::formatter<std::string_view> {
    auto format(const quorvel::log::Counted& c, fmt::format_context& ctx) const {
        ++*c.formatted;
        return fmt::formatter<std::string_view>::format("counted", ctx);
    }
};

namespace quorvel::log {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using TimePoint = std::chrono::steady_clock::time_point;

// Adds up the events that lines stand for: one per line, N per count " (repeated N times)".
size_t events_written(const std::vector<std::string>& lines) {
    size_t total = 0;
    for (const auto& line : lines) {
        const auto at = line.find(" (repeated ");
        total += at == std::string::npos ? 1 : std::stoul(line.substr(at + 11));
    }
    return total;
}

// Replaces the installed sinks and the floor for the test's lifetime.
class ScopedSinks {
  public:
    explicit ScopedSinks(std::vector<std::shared_ptr<Sink>> installed)
        : previous_(sinks()), previous_level_(min_level()) {
        clear_sinks();
        set_min_level(Level::Trace);
        for (auto& sink : installed) {
            add_sink(std::move(sink));
        }
    }
    ~ScopedSinks() {
        clear_sinks();
        set_min_level(previous_level_);
        for (auto& sink : previous_) {
            add_sink(sink);
        }
    }

  private:
    std::vector<std::shared_ptr<Sink>> previous_;
    Level previous_level_;
};

// A line sink writing into a vector, on a clock the test moves.
struct RecordingSink {
    explicit RecordingSink(LevelFilter level = LevelFilter::Trace)
        : sink(std::make_shared<LineSink>(
              level, [this](std::string_view line) { lines.emplace_back(line); },
              [this] { return now; })) {}
    std::vector<std::string> lines;
    TimePoint now{};
    std::shared_ptr<LineSink> sink;
};

Event event_at(Level level, std::string message, std::vector<Field> fields = {},
               std::vector<SpanRecord> spans = {}) {
    return Event{level, "quorvel::test", std::move(message), std::move(fields), std::move(spans)};
}

TEST(LogLevelTest, ParsesEveryLevelInAnyCaseAndNothingElse) {
    const std::vector<std::pair<std::string, std::optional<LevelFilter>>> cases = {
        {"trace", LevelFilter::Trace},
        {"TRACE", LevelFilter::Trace},
        {"Debug", LevelFilter::Debug},
        {"info", LevelFilter::Info},
        {"iNfO", LevelFilter::Info},
        {"warn", LevelFilter::Warn},
        {"WARN", LevelFilter::Warn},
        {"error", LevelFilter::Error},
        {"Off", LevelFilter::Off},
        {"OFF", LevelFilter::Off},
        {"", std::nullopt},
        {"warning", std::nullopt},
        {" info", std::nullopt},
        {"info ", std::nullopt},
        {"inf", std::nullopt},
        {"2", std::nullopt},
        {"tracex", std::nullopt},
        {"none", std::nullopt},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(parse_level_filter(text), expected) << "'" << text << "'";
    }
}

TEST(LogLevelTest, EnvironmentValueSetsTheSinkLevelOrWarnsAndKeepsTheDefault) {
    struct Case {
        const char* value;
        LevelFilter level;
        bool warns;
    };
    const Case cases[] = {
        {nullptr, LevelFilter::Info, false},  {"", LevelFilter::Info, false},
        {"trace", LevelFilter::Trace, false}, {"DEBUG", LevelFilter::Debug, false},
        {"Info", LevelFilter::Info, false},   {"warn", LevelFilter::Warn, false},
        {"error", LevelFilter::Error, false}, {"off", LevelFilter::Off, false},
        {"verbose", LevelFilter::Info, true}, {"3", LevelFilter::Info, true},
    };
    for (const auto& c : cases) {
        const ConfiguredLevel configured = configured_level(c.value);
        EXPECT_EQ(configured.level, c.level) << (c.value ? c.value : "(unset)");
        EXPECT_EQ(configured.warning.has_value(), c.warns) << (c.value ? c.value : "(unset)");
    }
    EXPECT_EQ(configured_level("verbose").warning,
              "Ignoring QUORVEL_LOG=\"verbose\": expected trace, debug, info, warn, error or "
              "off; writing info and above");
}

// What the stderr sink writes while `body` runs, read back from a file standing in for stderr.
template <class Body>
std::string stderr_of(Body body) {
    std::fflush(stderr);
    FILE* file = std::tmpfile();
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(::fileno(file), STDERR_FILENO);
    body();
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    std::string text;
    std::rewind(file);
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, n);
    }
    std::fclose(file);
    return text;
}

size_t occurrences(const std::string& text, std::string_view needle) {
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

TEST(StderrSinkTest, TakesItsLevelFromTheEnvironmentAndWarnsOnceAboutABadValue) {
    const char* saved = std::getenv(kLevelVariable);
    const std::optional<std::string> previous =
        saved ? std::optional<std::string>(saved) : std::nullopt;
    ::setenv(kLevelVariable, "Error", 1);
    EXPECT_EQ(StderrSink().level(), LevelFilter::Error);
    ::unsetenv(kLevelVariable);
    EXPECT_EQ(StderrSink().level(), LevelFilter::Info);

    ::setenv(kLevelVariable, "loud", 1);
    const std::string written = stderr_of([] {
        StderrSink first;
        EXPECT_EQ(first.level(), LevelFilter::Info);
        StderrSink second;
        first.write(event_at(Level::Debug, "not written"));
        first.write(event_at(Level::Info, "written"));
    });
    EXPECT_EQ(occurrences(written,
                          "[quorvel-agent:default] WARN quorvel_agent::util::log: "
                          "Ignoring QUORVEL_LOG=\"loud\""),
              1u)
        << written;
    EXPECT_EQ(occurrences(written, "INFO quorvel::test: written\n"), 1u) << written;
    EXPECT_EQ(occurrences(written, "not written"), 0u) << written;
    if (previous) {
        ::setenv(kLevelVariable, previous->c_str(), 1);
    } else {
        ::unsetenv(kLevelVariable);
    }
}

// Two threads flood the stderr sink while its own thread waits for counts to fall due; the count
// still pending when the sink goes is written.
TEST(StderrSinkTest, WritesThePendingCountWhenItGoes) {
    const std::string written = stderr_of([] {
        auto sink = std::make_unique<StderrSink>(LevelFilter::Info);
        std::vector<std::thread> writers;
        for (int t = 0; t < 2; ++t) {
            writers.emplace_back([&sink] {
                for (int i = 0; i < 500; ++i) {
                    sink->write(event_at(Level::Error, "Failed to decode DNS message"));
                }
            });
        }
        for (auto& w : writers) {
            w.join();
        }
        sink.reset();
    });
    std::vector<std::string> lines;
    for (size_t at = 0, end = 0; (end = written.find('\n', at)) != std::string::npos;
         at = end + 1) {
        lines.push_back(written.substr(at, end - at));
    }
    EXPECT_EQ(events_written(lines), 1000u) << written;
    EXPECT_EQ(occurrences(written, "ERROR quorvel::test: Failed to decode DNS message"),
              lines.size())
        << written;
}

TEST(LineSinkTest, WritesOnlyEventsAtOrAboveItsLevel) {
    const Level all[] = {Level::Trace, Level::Debug, Level::Info, Level::Warn, Level::Error};
    const std::vector<std::pair<LevelFilter, std::vector<std::string>>> cases = {
        {LevelFilter::Trace, {"TRACE", "DEBUG", "INFO", "WARN", "ERROR"}},
        {LevelFilter::Debug, {"DEBUG", "INFO", "WARN", "ERROR"}},
        {LevelFilter::Info, {"INFO", "WARN", "ERROR"}},
        {LevelFilter::Warn, {"WARN", "ERROR"}},
        {LevelFilter::Error, {"ERROR"}},
        {LevelFilter::Off, {}},
    };
    for (const auto& [filter, expected] : cases) {
        RecordingSink out(filter);
        ScopedSinks installed({out.sink});
        for (const Level level : all) {
            QV_LOG(level, "quorvel::test", "at {}", level_name(level));
        }
        std::vector<std::string> written;
        for (const auto& line : out.lines) {
            written.push_back(line.substr(0, line.find(' ')));
        }
        EXPECT_EQ(written, expected) << filter_name(filter);
    }
}

TEST(LineSinkTest, NothingBelowEverySinkIsBuilt) {
    RecordingSink out(LevelFilter::Info);
    ScopedSinks installed({out.sink});
    EXPECT_FALSE(enabled(Level::Debug));
    EXPECT_TRUE(enabled(Level::Info));

    int formatted = 0;
    int fields_built = 0;
    auto fields = [&] {
        ++fields_built;
        return std::vector<Field>{{"k", "v"}};
    };
    QV_DEBUG("quorvel::test", "{}", Counted{&formatted});
    QV_LOG_FIELDS(Level::Trace, "quorvel::test", fields(), "{}", Counted{&formatted});
    {
        SpanGuard span(Level::Debug, "quiet", [&] { return fields(); });
        QV_INFO("quorvel::test", "{}", Counted{&formatted});
    }
    EXPECT_EQ(formatted, 1);
    EXPECT_EQ(fields_built, 0);
    EXPECT_EQ(out.lines, std::vector<std::string>{"INFO quorvel::test: counted"});

    // A capture at TRACE next to it: events are built for the capture, the line sink still
    // writes only what reaches its level.
    ScopedCapture capture;
    {
        SpanGuard span(Level::Debug, "loud", [&] { return fields(); });
        QV_DEBUG("quorvel::test", "{}", Counted{&formatted});
    }
    EXPECT_EQ(formatted, 2);
    EXPECT_EQ(fields_built, 1);
    ASSERT_EQ(capture->events().size(), 1u);
    EXPECT_EQ(format_event(capture->events()[0]), "DEBUG quorvel::test: loud{k=v}: counted");
    EXPECT_EQ(out.lines.size(), 1u);
}

TEST(LineSinkTest, EnabledFollowsTheLowestInstalledSink) {
    RecordingSink warn(LevelFilter::Warn);
    ScopedSinks installed({warn.sink});
    EXPECT_FALSE(enabled(Level::Info));
    EXPECT_TRUE(enabled(Level::Warn));
    RecordingSink debug(LevelFilter::Debug);
    add_sink(debug.sink);
    EXPECT_TRUE(enabled(Level::Debug));
    EXPECT_FALSE(enabled(Level::Trace));
    set_min_level(Level::Error);
    EXPECT_FALSE(enabled(Level::Warn));
    set_min_level(Level::Trace);
    remove_sink(debug.sink);
    EXPECT_FALSE(enabled(Level::Info));
    clear_sinks();
    EXPECT_FALSE(enabled(Level::Error));
    add_sink(std::make_shared<LineSink>(LevelFilter::Off, [](std::string_view) {}));
    EXPECT_FALSE(enabled(Level::Error));
}

TEST(LineSinkTest, CollapsesRepeatsAndWritesTheirCountWhenTheIntervalEnds) {
    RecordingSink out;
    LineSink& sink = *out.sink;
    const SpanRecord span{Level::Info, "send_response", {{"id", "7"}}};
    auto at = [&](int second) { out.now = TimePoint{} + seconds(second); };
    at(0);
    sink.write(event_at(Level::Error, "bad packet", {}, {span}));
    at(1);
    sink.write(event_at(Level::Error, "bad packet"));
    sink.write(event_at(Level::Error, "bad packet", {}, {span}));
    // Another level, other fields: other lines. DEBUG lines are written every time.
    sink.write(event_at(Level::Warn, "bad packet"));
    sink.write(event_at(Level::Warn, "bad packet", {{"src", "10.0.0.1"}}));
    sink.write(event_at(Level::Debug, "detail"));
    sink.write(event_at(Level::Debug, "detail"));
    sink.write(event_at(Level::Warn, "bad packet", {{"src", "10.0.0.1"}}));
    EXPECT_EQ(out.lines, (std::vector<std::string>{
                             "ERROR quorvel::test: send_response{id=7}: bad packet",
                             "WARN quorvel::test: bad packet",
                             "WARN quorvel::test: bad packet src=10.0.0.1",
                             "DEBUG quorvel::test: detail",
                             "DEBUG quorvel::test: detail",
                         }));
    out.lines.clear();

    at(4);
    EXPECT_EQ(sink.write_due(), TimePoint{} + seconds(5));
    EXPECT_TRUE(out.lines.empty());
    at(5);
    EXPECT_EQ(sink.write_due(), TimePoint{} + seconds(6));
    EXPECT_EQ(out.lines,
              std::vector<std::string>{"ERROR quorvel::test: bad packet (repeated 2 times)"});
    // The next interval of the error counts from its count; the unrepeated WARN is forgotten at
    // the end of its own and written again when it comes back.
    at(6);
    sink.write(event_at(Level::Error, "bad packet"));
    sink.write(event_at(Level::Warn, "bad packet"));
    EXPECT_EQ(sink.write_due(), TimePoint{} + seconds(10));
    at(10);
    sink.write(event_at(Level::Info, "other"));
    EXPECT_EQ(sink.write_due(), std::nullopt);
    EXPECT_EQ(out.lines, (std::vector<std::string>{
                             "ERROR quorvel::test: bad packet (repeated 2 times)",
                             "WARN quorvel::test: bad packet src=10.0.0.1 (repeated 1 time)",
                             "WARN quorvel::test: bad packet",
                             "ERROR quorvel::test: bad packet (repeated 1 time)",
                             "INFO quorvel::test: other",
                         }));
}

TEST(LineSinkTest, AFloodOfOneLineWritesOneCountPerIntervalAndFlushesTheLast) {
    std::vector<std::string> lines;
    {
        RecordingSink out;
        // 12 s of one line every millisecond.
        for (int i = 0; i < 12000; ++i) {
            out.sink->write(event_at(Level::Error, "Failed to decode DNS message"));
            out.now += milliseconds(1);
        }
        out.sink.reset();  // the last count is written when the sink goes
        lines = out.lines;
    }
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "ERROR quorvel::test: Failed to decode DNS message",
                         "ERROR quorvel::test: Failed to decode DNS message (repeated 4999 times)",
                         "ERROR quorvel::test: Failed to decode DNS message (repeated 5000 times)",
                         "ERROR quorvel::test: Failed to decode DNS message (repeated 2000 times)",
                     }));
}

TEST(LineSinkTest, InterleavedFloodsOfAFewLinesStayBounded) {
    RecordingSink out;
    const std::string kinds[] = {"header section incomplete", "Label length overflow",
                                 "Invalid compression pointer"};
    for (int i = 0; i < 12000; ++i) {
        out.sink->write(event_at(Level::Error, "Failed to decode DNS message: " + kinds[i % 3]));
        out.now += milliseconds(1);
    }
    out.sink->flush();
    // Each line once, then at most one count per line and interval (12 s: two ends and the flush).
    ASSERT_GE(out.lines.size(), 3u);
    EXPECT_LE(out.lines.size(), 3u + 3u * 3u);
    for (int k = 0; k < 3; ++k) {
        EXPECT_EQ(out.lines[k], "ERROR quorvel::test: Failed to decode DNS message: " + kinds[k]);
    }
    EXPECT_EQ(events_written(out.lines), 12000u);
}

TEST(LineSinkTest, DropsNewLinesBeyondTheBudgetAndSaysHowMany) {
    RecordingSink out;
    for (int i = 0; i < 1000; ++i) {
        out.sink->write(event_at(Level::Warn, "Security violation from 10.0." + std::to_string(i)));
        out.now += milliseconds(1);
    }
    EXPECT_EQ(out.lines.size(), LineSink::kLinesPerInterval);
    EXPECT_EQ(out.lines.back(), "WARN quorvel::test: Security violation from 10.0.99");
    EXPECT_EQ(out.sink->write_due(), TimePoint{} + seconds(5));
    out.now = TimePoint{} + seconds(5);
    out.sink->write(event_at(Level::Warn, "after the flood"));
    ASSERT_EQ(out.lines.size(), LineSink::kLinesPerInterval + 2);
    EXPECT_EQ(out.lines[LineSink::kLinesPerInterval],
              "WARN quorvel_agent::util::log: Dropped 900 lines of a flood");
    EXPECT_EQ(out.lines.back(), "WARN quorvel::test: after the flood");
}

TEST(LineSinkTest, ALineItForgetsHasItsCountWritten) {
    RecordingSink out;
    for (size_t i = 0; i <= LineSink::kRecentLines; ++i) {
        out.sink->write(event_at(Level::Info, "line " + std::to_string(i)));
        out.sink->write(event_at(Level::Info, "line " + std::to_string(i)));
    }
    // The first line was forgotten to make room for the last, its count written on the way.
    ASSERT_EQ(out.lines.size(), LineSink::kRecentLines + 2);
    EXPECT_EQ(out.lines[LineSink::kRecentLines], "INFO quorvel::test: line 32");
    EXPECT_EQ(out.lines.back(), "INFO quorvel::test: line 0 (repeated 1 time)");
    out.sink->flush();
    EXPECT_EQ(out.lines.size(), 2 * (LineSink::kRecentLines + 1));
    EXPECT_EQ(events_written(out.lines), 2 * (LineSink::kRecentLines + 1));
}

TEST(LineSinkTest, FlushWritesAPendingCountOnce) {
    RecordingSink out;
    out.sink->write(event_at(Level::Info, "x"));
    out.sink->flush();
    out.sink->write(event_at(Level::Info, "x"));
    out.sink->write(event_at(Level::Info, "x"));
    out.sink->flush();
    out.sink->flush();
    out.sink->write(event_at(Level::Info, "x"));
    EXPECT_EQ(out.lines, (std::vector<std::string>{
                             "INFO quorvel::test: x",
                             "INFO quorvel::test: x (repeated 2 times)",
                         }));
}

// Threads writing two alternating lines and one line of their own: every event is either a
// written line or counted in a summary.
TEST(LineSinkTest, CountsEveryEventFromConcurrentWriters) {
    std::mutex mutex;
    std::vector<std::string> lines;
    auto sink = std::make_shared<LineSink>(LevelFilter::Trace, [&](std::string_view line) {
        std::lock_guard lock(mutex);
        lines.emplace_back(line);
    });
    constexpr int kThreads = 4;
    constexpr int kEach = 2000;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&sink, t] {
            for (int i = 0; i < kEach; ++i) {
                sink->write(event_at(Level::Warn, i % 50 == 0 ? "rare" : "flood"));
            }
            sink->write(event_at(Level::Warn, "thread " + std::to_string(t)));
        });
    }
    for (auto& w : writers) {
        w.join();
    }
    sink.reset();
    EXPECT_EQ(events_written(lines), size_t{kThreads * (kEach + 1)});
}

}  // namespace
}  // namespace quorvel::log
