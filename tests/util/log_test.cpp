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

TEST(LineSinkTest, CollapsesRepeatsAndWritesTheirCount) {
    RecordingSink out;
    LineSink& sink = *out.sink;
    const SpanRecord span{Level::Info, "send_response", {{"id", "7"}}};
    sink.write(event_at(Level::Error, "bad packet", {}, {span}));
    out.now += seconds(1);
    sink.write(event_at(Level::Error, "bad packet"));
    out.now += seconds(1);
    sink.write(event_at(Level::Error, "bad packet", {}, {span}));
    // Another level, other fields: other lines, each ending the run before it.
    sink.write(event_at(Level::Warn, "bad packet"));
    sink.write(event_at(Level::Warn, "bad packet", {{"src", "10.0.0.1"}}));
    sink.write(event_at(Level::Warn, "bad packet", {{"src", "10.0.0.1"}}));
    sink.write(event_at(Level::Warn, "bad packet", {{"src", "10.0.0.2"}}));
    // The same line long after, with no repeat in between: written again.
    out.now += seconds(6);
    sink.write(event_at(Level::Warn, "bad packet", {{"src", "10.0.0.2"}}));
    // DEBUG and TRACE lines are written every time, and end a run like any other line.
    sink.write(event_at(Level::Warn, "bad packet", {{"src", "10.0.0.2"}}));
    sink.write(event_at(Level::Debug, "detail"));
    sink.write(event_at(Level::Debug, "detail"));
    sink.write(event_at(Level::Warn, "bad packet", {{"src", "10.0.0.2"}}));
    EXPECT_EQ(out.lines,
              (std::vector<std::string>{
                  "ERROR quorvel::test: send_response{id=7}: bad packet",
                  "ERROR quorvel::test: bad packet (last message repeated 2 times)",
                  "WARN quorvel::test: bad packet",
                  "WARN quorvel::test: bad packet src=10.0.0.1",
                  "WARN quorvel::test: bad packet src=10.0.0.1 (last message repeated 1 time)",
                  "WARN quorvel::test: bad packet src=10.0.0.2",
                  "WARN quorvel::test: bad packet src=10.0.0.2",
                  "WARN quorvel::test: bad packet src=10.0.0.2 (last message repeated 1 time)",
                  "DEBUG quorvel::test: detail",
                  "DEBUG quorvel::test: detail",
                  "WARN quorvel::test: bad packet src=10.0.0.2",
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
                         "ERROR quorvel::test: Failed to decode DNS message (last message "
                         "repeated 4999 times)",
                         "ERROR quorvel::test: Failed to decode DNS message (last message "
                         "repeated 5000 times)",
                         "ERROR quorvel::test: Failed to decode DNS message (last message "
                         "repeated 2000 times)",
                     }));
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
                             "INFO quorvel::test: x (last message repeated 2 times)",
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
    size_t total = 0;
    for (const auto& line : lines) {
        const auto at = line.find(" (last message repeated ");
        total += at == std::string::npos ? 1 : std::stoul(line.substr(at + 24));
    }
    EXPECT_EQ(total, size_t{kThreads * (kEach + 1)});
}

}  // namespace
}  // namespace quorvel::log
