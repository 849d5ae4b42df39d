#include "util/log.h"

#include <gtest/gtest.h>

#include "support/failing_allocation.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quorvel::log::testing {
// A value whose formatting throws, as formatting does when it cannot allocate.
struct Unformattable {};
}  // namespace quorvel::log::testing

template <>
struct fmt::formatter<quorvel::log::testing::Unformattable> : fmt::formatter<std::string_view> {
    auto format(const quorvel::log::testing::Unformattable&, fmt::format_context&) const
        -> fmt::format_context::iterator {
        throw std::bad_alloc();
    }
};

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

// A sink that throws on every event, as one that cannot allocate its line does.
class ThrowingSink : public Sink {
  public:
    void write(const Event&) override { throw std::bad_alloc(); }
};

std::vector<Field> fields_that_throw() {
    throw std::bad_alloc();
}

// A line that throws on the way is dropped, silently; the caller goes on, and the lines after it
// are written as before. A sink that throws loses the line only for itself.
TEST(LogTest, ALineThatThrowsIsDroppedAndTheCallerGoesOn) {
    struct Case {
        const char* name;
        void (*log)();
        bool captured;  // whether the capture sink still gets the line
    };
    const std::vector<Case> cases = {
        {"formatting throws", [] { QV_INFO("quorvel::test", "line {}", testing::Unformattable{}); },
         false},
        {"its fields throw",
         [] { QV_LOG_FIELDS(Level::Info, "quorvel::test", fields_that_throw(), "line"); }, false},
        {"another sink throws", [] { QV_INFO("quorvel::test", "line"); }, true},
    };
    for (const auto& c : cases) {
        ScopedCapture capture;
        auto throwing = std::make_shared<ThrowingSink>();
        add_sink(throwing);
        SpanGuard span(Level::Info, "around", {});
        EXPECT_NO_THROW(c.log()) << c.name;
        QV_INFO("quorvel::test", "after");
        remove_sink(throwing);
        EXPECT_EQ(capture->contains(Level::Info, "line"), c.captured) << c.name;
        EXPECT_TRUE(capture->contains(Level::Info, "after")) << c.name;
        EXPECT_EQ(current_spans().size(), 1u) << c.name;
    }
}

// Every allocation of a line in a span failing in turn: the line is dropped or written whole, no
// exception reaches the caller, and the thread's spans are as they were.
TEST(LogTest, ALineWithoutMemoryIsDroppedAndTheSpansStay) {
    if (!test::FailingAllocation::available()) {
        GTEST_SKIP() << "the sanitizer's allocator cannot be made to fail";
    }
    ScopedCapture capture;
    SpanGuard outer(Level::Info, "outer_span_with_a_long_name", {{"field", "value"}});
    const std::string value(100, 'v');
    bool refused = true;
    std::size_t written = 0;
    for (std::size_t fail_at = 1; refused && fail_at < 1000; ++fail_at) {
        {
            test::FailingAllocation failing(fail_at);
            EXPECT_NO_THROW({
                SpanGuard inner(Level::Info, "inner_span_with_a_long_name", [&] {
                    return std::vector<Field>{{"value", value}};
                });
                QV_LOG_FIELDS(Level::Info, "quorvel::test", (std::vector<Field>{{"v", value}}),
                              "line {}", value);
            }) << "allocation "
               << fail_at;
            refused = failing.refused();
        }
        const auto spans = current_spans();
        ASSERT_EQ(spans.size(), 1u) << "allocation " << fail_at;
        EXPECT_EQ(spans[0].name, "outer_span_with_a_long_name");
        const auto events = capture.sink().events();
        if (events.size() > written) {
            ASSERT_EQ(events.size(), written + 1) << "allocation " << fail_at;
            EXPECT_EQ(events.back().message, "line " + value);
            written = events.size();
        }
    }
    EXPECT_FALSE(refused) << "still allocating after 1000";
    EXPECT_GE(written, 1u);  // at least the line that no failure touched
}

// Spans nested deeper than a thread keeps in place, entered one by one and as a captured stack,
// on a thread of their own that then ends: every event sees them all, outermost first, and
// leaving them restores the stack.
TEST(LogTest, DeepSpansKeepTheirOrder) {
    constexpr std::size_t kDepth = 20;
    ScopedCapture capture;
    std::thread([&] {
        std::vector<std::optional<SpanGuard>> guards(kDepth);
        for (std::size_t i = 0; i < kDepth; ++i) {
            guards[i].emplace(Level::Info, "g" + std::to_string(i));
        }
        const auto entered = current_spans();
        {
            ScopedSpans again(entered);
            QV_INFO("quorvel::test", "doubled");
        }
        for (std::size_t i = kDepth; i-- > 0;) {
            guards[i].reset();
            EXPECT_EQ(current_spans().size(), i);
        }
        QV_INFO("quorvel::test", "none");
    }).join();
    const auto events = capture.sink().events();
    ASSERT_EQ(events.size(), 2u);
    ASSERT_EQ(events[0].spans.size(), 2 * kDepth);
    for (std::size_t i = 0; i < 2 * kDepth; ++i) {
        EXPECT_EQ(events[0].spans[i].name, "g" + std::to_string(i % kDepth));
    }
    EXPECT_TRUE(events[1].spans.empty());
}

using std::chrono::milliseconds;
using std::chrono::seconds;
using TimePoint = LineSink::TimePoint;

// Installs only `sink`, with the minimum level at TRACE, for the guard's lifetime.
class ScopedSink {
  public:
    explicit ScopedSink(std::shared_ptr<Sink> sink) : previous_(sinks()), level_(min_level()) {
        clear_sinks();
        set_min_level(Level::Trace);
        add_sink(std::move(sink));
    }
    ~ScopedSink() {
        clear_sinks();
        set_min_level(level_);
        for (auto& sink : previous_) {
            add_sink(sink);
        }
    }

  private:
    std::vector<std::shared_ptr<Sink>> previous_;
    Level level_;
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

// The events that lines stand for: one per line, N per count " (repeated N times)".
size_t events_in(const std::vector<std::string>& lines) {
    size_t total = 0;
    for (const auto& line : lines) {
        const auto at = line.find(" (repeated ");
        total += at == std::string::npos ? 1 : std::stoul(line.substr(at + 11));
    }
    return total;
}

TEST(LogLevelTest, EnvironmentValueSetsTheSinkLevelOrWarnsAndKeepsTheDefault) {
    const std::vector<std::pair<const char*, std::optional<LevelFilter>>> cases = {
        {nullptr, LevelFilter::Info},  {"", LevelFilter::Info},     {"trace", LevelFilter::Trace},
        {"DEBUG", LevelFilter::Debug}, {"Info", LevelFilter::Info}, {"wArN", LevelFilter::Warn},
        {"error", LevelFilter::Error}, {"OFF", LevelFilter::Off},   {" info", std::nullopt},
        {"warning", std::nullopt},     {"inf", std::nullopt},       {"3", std::nullopt},
    };
    for (const auto& [value, level] : cases) {
        const ConfiguredLevel configured = configured_level(value);
        EXPECT_EQ(configured.level, level.value_or(LevelFilter::Info)) << (value ? value : "unset");
        EXPECT_EQ(configured.warning.has_value(), !level) << (value ? value : "unset");
    }
    EXPECT_EQ(configured_level("loud").warning,
              "Ignoring QUORVEL_LOG=\"loud\": expected trace, debug, info, warn, error or off; "
              "writing info and above");
    // The value is quoted with its control characters escaped: the warning stays one line.
    EXPECT_NE(configured_level("a\nb").warning->find("QUORVEL_LOG=\"a\\nb\""), std::string::npos);
}

// The lines the stderr sink writes while `body` runs, read back from a file standing in for stderr.
template <class Body>
std::vector<std::string> stderr_lines(Body body) {
    std::fflush(stderr);
    FILE* file = std::tmpfile();
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(::fileno(file), STDERR_FILENO);
    body();
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    std::rewind(file);
    std::vector<std::string> lines;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
        std::string line(buffer);
        // Past the time stamp and the tags.
        lines.push_back(line.substr(line.find("] ") + 2, line.size() - line.find("] ") - 3));
    }
    std::fclose(file);
    return lines;
}

// The level from the environment, a bad value warned about once, and two threads flooding the
// sink while its own thread waits for counts to fall due: every event is in a line or a count,
// the last count written as the sink goes.
TEST(StderrSinkTest, TakesItsLevelFromTheEnvironmentAndCountsEveryEvent) {
    ::setenv(kLevelVariable, "Error", 1);
    EXPECT_EQ(StderrSink().level(), LevelFilter::Error);
    ::setenv(kLevelVariable, "loud", 1);
    const auto lines = stderr_lines([] {
        auto sink = std::make_unique<StderrSink>();
        EXPECT_EQ(StderrSink().level(), LevelFilter::Info);
        sink->write(event_at(Level::Debug, "not written"));
        std::vector<std::thread> writers;
        for (int t = 0; t < 2; ++t) {
            writers.emplace_back([&sink] {
                for (int i = 0; i < 500; ++i) {
                    sink->write(event_at(Level::Error, i % 7 == 0 ? "rare" : "often"));
                }
            });
        }
        for (auto& w : writers) {
            w.join();
        }
    });
    ::unsetenv(kLevelVariable);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "WARN quorvel_agent::util::log: " + *configured_level("loud").warning);
    EXPECT_LE(lines.size(), 5u);
    EXPECT_EQ(events_in(lines), 1001u);
}

// Each sink level alone, then with a capture at TRACE beside it: what is enabled, what is built
// and what the line sink writes.
TEST(LineSinkTest, NothingBelowEverySinkIsBuilt) {
    const Level all[] = {Level::Trace, Level::Debug, Level::Info, Level::Warn, Level::Error};
    for (const LevelFilter filter : {LevelFilter::Trace, LevelFilter::Debug, LevelFilter::Info,
                                     LevelFilter::Warn, LevelFilter::Error, LevelFilter::Off}) {
        for (const bool capturing : {false, true}) {
            RecordingSink out(filter);
            ScopedSink installed(out.sink);
            std::optional<ScopedCapture> capture;
            if (capturing) {
                capture.emplace();
            }
            for (const Level level : all) {
                int formatted = 0;
                auto count = [&] { return ++formatted; };
                int fields_built = 0;
                auto fields = [&] {
                    ++fields_built;
                    return std::vector<Field>{{"k", "v"}};
                };
                SpanGuard span(level, "span", fields);
                QV_LOG_FIELDS(level, "quorvel::test", fields(), "counted {}", count());
                const bool taken = capturing || passes(filter, level);
                EXPECT_EQ(enabled(level), taken);
                EXPECT_EQ(formatted, taken ? 1 : 0);
                EXPECT_EQ(fields_built, taken ? 2 : 0);
                if (passes(filter, level)) {
                    ASSERT_FALSE(out.lines.empty());
                    EXPECT_EQ(out.lines.back(),
                              fmt::format("{} quorvel::test: span{{k=v}}: counted 1 k=v",
                                          level_name(level)));
                }
            }
            EXPECT_EQ(out.lines.size(),
                      filter == LevelFilter::Off ? 0u : 5u - static_cast<size_t>(filter));
        }
    }
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
    at(4);
    EXPECT_EQ(sink.write_due(), TimePoint{} + seconds(5));
    at(5);
    EXPECT_EQ(sink.write_due(), TimePoint{} + seconds(6));
    // The error counts again from its count; the unrepeated WARN is forgotten at the end of its
    // interval and written again when it comes back.
    at(6);
    sink.write(event_at(Level::Error, "bad packet"));
    sink.write(event_at(Level::Warn, "bad packet"));
    EXPECT_EQ(sink.write_due(), TimePoint{} + seconds(10));
    at(10);
    sink.write(event_at(Level::Info, "other"));
    EXPECT_EQ(sink.write_due(), std::nullopt);
    EXPECT_EQ(out.lines, (std::vector<std::string>{
                             "ERROR quorvel::test: send_response{id=7}: bad packet",
                             "WARN quorvel::test: bad packet",
                             "WARN quorvel::test: bad packet src=10.0.0.1",
                             "DEBUG quorvel::test: detail",
                             "DEBUG quorvel::test: detail",
                             "ERROR quorvel::test: bad packet (repeated 2 times)",
                             "WARN quorvel::test: bad packet src=10.0.0.1 (repeated 1 time)",
                             "WARN quorvel::test: bad packet",
                             "ERROR quorvel::test: bad packet (repeated 1 time)",
                             "INFO quorvel::test: other",
                         }));
}

// 12 s of a flood, one event a millisecond: of one line, of three interleaved, of ever new lines.
TEST(LineSinkTest, FloodsWriteABoundedNumberOfLines) {
    struct Case {
        Level level;
        int kinds;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {Level::Error,
         1,
         {"ERROR quorvel::test: flood 0", "ERROR quorvel::test: flood 0 (repeated 4999 times)",
          "ERROR quorvel::test: flood 0 (repeated 5000 times)",
          "ERROR quorvel::test: flood 0 (repeated 2000 times)"}},
        {Level::Error, 3, {}},
        {Level::Warn, 12000, {}},
        {Level::Info, 12000, {}},
        {Level::Error, 12000, {}},
    };
    for (const auto& [level, kinds, expected] : cases) {
        SCOPED_TRACE(fmt::format("{} x{}", level_name(level), kinds));
        RecordingSink out;
        for (int i = 0; i < 12000; ++i) {
            out.sink->write(event_at(level, "flood " + std::to_string(i % kinds)));
            out.now += milliseconds(1);
        }
        out.sink.reset();  // the last counts are written when the sink goes
        if (!expected.empty()) {
            EXPECT_EQ(out.lines, expected);
        } else if (kinds == 3) {
            EXPECT_LE(out.lines.size(), 3u * 4u);  // each once, then a count per interval
            EXPECT_EQ(events_in(out.lines), 12000u);
        } else if (level == Level::Error) {
            ASSERT_EQ(out.lines.size(), 12000u);
            EXPECT_EQ(out.lines.back(), "ERROR quorvel::test: flood 11999");
        } else {
            // The budget's new lines in each of three intervals, and what was dropped in each.
            EXPECT_EQ(out.lines.size(), 3 * (LineSink::kLinesPerInterval + 1));
            EXPECT_EQ(out.lines[LineSink::kLinesPerInterval],
                      fmt::format("{} quorvel_agent::util::log: Dropped 4900 lines of a flood",
                                  level_name(level)));
            EXPECT_EQ(out.lines.back(),
                      fmt::format("{} quorvel_agent::util::log: Dropped 1900 lines of a flood",
                                  level_name(level)));
        }
    }
}

// Floods at several levels within one interval: a level's flood never costs another level's
// lines, ERROR lines are never dropped, and every event is in a line, a count or a summary of its
// own level.
TEST(LineSinkTest, EachLevelHasAFloodBudgetOfItsOwnAndErrorsHaveNone) {
    struct Flood {
        Level level;
        int events;
        int kinds;  // different lines, taken in turn
    };
    struct Case {
        const char* name;
        std::vector<Flood> floods;  // in this order
        // Lines written at INFO, WARN and ERROR (counts included, summaries not).
        std::array<size_t, 3> lines;
        std::vector<std::string> summaries;
    };
    const std::string dropped = " quorvel_agent::util::log: Dropped ";
    const std::vector<Case> cases = {
        {"warnings then an error",
         {{Level::Warn, 200, 200}, {Level::Error, 1, 1}},
         {0, 100, 1},
         {"WARN" + dropped + "100 lines of a flood"}},
        {"information then a warning",
         {{Level::Info, 200, 200}, {Level::Warn, 1, 1}},
         {100, 1, 0},
         {"INFO" + dropped + "100 lines of a flood"}},
        {"warnings then information",
         {{Level::Warn, 200, 200}, {Level::Info, 1, 1}},
         {1, 100, 0},
         {"WARN" + dropped + "100 lines of a flood"}},
        {"different errors", {{Level::Error, 500, 500}}, {0, 0, 500}, {}},
        {"one error repeated", {{Level::Error, 200, 1}}, {0, 0, 2}, {}},
        {"both budgets spent, one line over each",
         {{Level::Info, 101, 101}, {Level::Warn, 101, 101}, {Level::Error, 3, 1}},
         {100, 100, 2},
         {"INFO" + dropped + "1 line of a flood", "WARN" + dropped + "1 line of a flood"}},
        {"levels taking turns",
         {{Level::Warn, 150, 150},
          {Level::Info, 130, 130},
          {Level::Warn, 7, 7},
          {Level::Info, 5, 5},
          {Level::Error, 40, 40}},
         {100, 100, 40},
         {"INFO" + dropped + "35 lines of a flood", "WARN" + dropped + "57 lines of a flood"}},
    };
    const Level levels[] = {Level::Info, Level::Warn, Level::Error};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingSink out;
        std::array<size_t, 3> sent{};
        int block = 0;
        for (const auto& flood : c.floods) {
            for (int i = 0; i < flood.events; ++i) {
                out.sink->write(
                    event_at(flood.level, fmt::format("{}.{}", block, i % flood.kinds)));
                out.now += milliseconds(1);
            }
            sent[static_cast<size_t>(flood.level) - static_cast<size_t>(Level::Info)] +=
                static_cast<size_t>(flood.events);
            ++block;
        }
        ASSERT_LT(out.now - TimePoint{}, LineSink::kRepeatInterval);
        out.now = TimePoint{} + LineSink::kRepeatInterval;
        out.sink->write_due();
        out.sink->flush();

        std::vector<std::string> summaries;
        for (size_t l = 0; l < 3; ++l) {
            const std::string head = fmt::format("{} quorvel::test: ", level_name(levels[l]));
            const std::string summary = std::string(level_name(levels[l])) + dropped;
            std::vector<std::string> at_level;
            size_t dropped_at_level = 0;
            for (const auto& line : out.lines) {
                if (line.starts_with(head)) {
                    at_level.push_back(line);
                } else if (line.starts_with(summary)) {
                    summaries.push_back(line);
                    dropped_at_level += std::stoul(line.substr(summary.size()));
                }
            }
            EXPECT_EQ(at_level.size(), c.lines[l]) << level_name(levels[l]);
            EXPECT_EQ(events_in(at_level) + dropped_at_level, sent[l]) << level_name(levels[l]);
        }
        EXPECT_EQ(summaries, c.summaries);
        // The last event of each case is one its level had room for.
        const Flood& last = c.floods.back();
        EXPECT_EQ(std::count(out.lines.begin(), out.lines.end(),
                             fmt::format("{} quorvel::test: {}.{}", level_name(last.level),
                                         c.floods.size() - 1, (last.events - 1) % last.kinds)),
                  1);
    }
}

TEST(LineSinkTest, ALineItForgetsHasItsCountWritten) {
    RecordingSink out;
    for (size_t i = 0; i <= LineSink::kRecentLines; ++i) {
        out.sink->write(event_at(Level::Info, "line " + std::to_string(i)));
        out.sink->write(event_at(Level::Info, "line " + std::to_string(i)));
    }
    ASSERT_EQ(out.lines.size(), LineSink::kRecentLines + 2);
    EXPECT_EQ(out.lines.back(), "INFO quorvel::test: line 0 (repeated 1 time)");
    out.sink->flush();
    out.sink->flush();
    EXPECT_EQ(out.lines.size(), 2 * (LineSink::kRecentLines + 1));
    EXPECT_EQ(events_in(out.lines), 2 * (LineSink::kRecentLines + 1));
}

// Texts from outside as the log must show them: on one line, with no byte a terminal acts on.
struct HostileText {
    const char* what;
    std::string text;
    std::string shown;
};

const std::vector<HostileText>& hostile_texts() {
    static const std::vector<HostileText> texts = {
        {"a forged line",
         "denied\n2026-01-01T00:00:00.000000Z [quorvel-agent:default] ERROR forged",
         "denied\\n2026-01-01T00:00:00.000000Z [quorvel-agent:default] ERROR forged"},
        {"carriage returns", "a\r\nb\rc", "a\\r\\nb\\rc"},
        {"clearing the screen", "\x1b[2J", "\\u{1b}[2J"},
        {"a window title", "\x1b]0;title\x07", "\\u{1b}]0;title\\u{7}"},
        {"tab, NUL and DEL", std::string("a\tb\0c\x7f", 6), "a\\tb\\0c\\u{7f}"},
        {"C1 controls",
         "x\xc2\x9b"
         "31m\xc2\x85y\xc2\x80",
         "x\\u{9b}31m\\u{85}y\\u{80}"},
        {"printable text stays, a stray byte is escaped", "\xc3\xa9 \xc2\xa0 \"q\" \\n \xc2",
         "\xc3\xa9 \xc2\xa0 \"q\" \\n \\x{c2}"},
    };
    return texts;
}

// No byte below 0x20 but the line feeds that end lines, no DEL and no C1 control.
bool only_printable_lines(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size(); ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if ((c < 0x20 && c != '\n') || c == 0x7f ||
            (c == 0xc2 && i + 1 < bytes.size() && static_cast<unsigned char>(bytes[i + 1]) < 0xa0 &&
             static_cast<unsigned char>(bytes[i + 1]) >= 0x80)) {
            return false;
        }
    }
    return true;
}

// Whoever wrote a text, an event is one line: the control characters of its message, fields, span
// names and span fields are escaped at every level, in a count of repeats too.
TEST(LineSinkTest, TextFromOutsideNeverAddsALineNorAControlCharacter) {
    for (const Level level : {Level::Trace, Level::Debug, Level::Info, Level::Warn, Level::Error}) {
        RecordingSink out;
        ScopedSink scoped(out.sink);
        for (const auto& c : hostile_texts()) {
            SpanGuard span(Level::Trace, "fetch " + c.text, {{"url", c.text}});
            emit(level, "quorvel::test", "got " + c.text, {{"body", c.text}});
            emit(level, "quorvel::test", "got " + c.text, {{"body", c.text}});
        }
        out.now += LineSink::kRepeatInterval;
        out.sink->flush();
        const bool collapsed = level >= LineSink::kCollapsedFrom;
        ASSERT_EQ(out.lines.size(), hostile_texts().size() * 2) << level_name(level);
        for (size_t i = 0; i < hostile_texts().size(); ++i) {
            const auto& c = hostile_texts()[i];
            const std::string body = fmt::format("got {} body={}", c.shown, c.shown);
            const std::string line = fmt::format("{} quorvel::test: fetch {}{{url={}}}: {}",
                                                 level_name(level), c.shown, c.shown, body);
            if (collapsed) {
                EXPECT_EQ(out.lines[i], line) << c.what;
                EXPECT_EQ(
                    out.lines[hostile_texts().size() + i],
                    fmt::format("{} quorvel::test: {} (repeated 1 time)", level_name(level), body))
                    << c.what;
            } else {
                EXPECT_EQ(out.lines[2 * i], line) << c.what;
                EXPECT_EQ(out.lines[2 * i + 1], line) << c.what;
            }
        }
        for (const auto& line : out.lines) {
            EXPECT_EQ(line.find('\n'), std::string::npos) << line;
            EXPECT_TRUE(only_printable_lines(line)) << line;
        }
    }
}

// The same through the stderr sink: its file holds one line per event and nothing a terminal acts
// on.
TEST(StderrSinkTest, WritesOneLinePerEventWhateverItsText) {
    std::string written;
    std::fflush(stderr);
    FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    const int saved = ::dup(STDERR_FILENO);
    ::dup2(::fileno(file), STDERR_FILENO);
    {
        StderrSink sink(LevelFilter::Trace);
        for (const Level level : {Level::Debug, Level::Error}) {
            for (const auto& c : hostile_texts()) {
                sink.write(event_at(level, c.text, {{c.text, c.text}}, {{level, c.text, {}}}));
            }
        }
    }
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
    std::rewind(file);
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        written.append(buffer, n);
    }
    std::fclose(file);
    EXPECT_EQ(static_cast<size_t>(std::count(written.begin(), written.end(), '\n')),
              2 * hostile_texts().size())
        << written;
    EXPECT_TRUE(only_printable_lines(written)) << written;
    EXPECT_NE(written.find("ERROR quorvel::test: denied\\n2026-01-01T00:00:00.000000Z"),
              std::string::npos)
        << written;
}

}  // namespace
}  // namespace quorvel::log
