// Structured logging: events with a level, a target (the module), a message, fields and the stack
// of spans open on the emitting thread. Events go to every installed sink; the default sink writes
// to stderr tagged with the subsystem "quorvel-agent" and the category "default".
//
// Every sink has a level of its own: it is handed the events at or above it. An event below the
// level of every installed sink costs one atomic load at the call site; its message, fields and
// spans are never built. The stderr sink writes INFO and above unless the environment variable
// QUORVEL_LOG says otherwise, and collapses repeats of one line (see `LineSink`).
//
// Logging never throws into its caller: a line or span that cannot be built or written (memory ran
// out, a formatter or a sink threw) is left out, and a thread's first line allocates nothing for
// the thread's span stack, so it cannot end the process when memory has run out.
//
// Spans are kept per thread. A `SpanGuard` must not be held across a co_await: a coroutine that
// wants its events inside a span enters the span again after each suspension (or passes the span's
// fields on its events).
#pragma once

#include <fmt/format.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

namespace quorvel::log {

enum class Level { Trace = 0, Debug = 1, Info = 2, Warn = 3, Error = 4 };

std::string_view level_name(Level level);  // "TRACE", "DEBUG", "INFO", "WARN", "ERROR"

// The least level a sink writes; `Off` writes nothing.
enum class LevelFilter { Trace = 0, Debug = 1, Info = 2, Warn = 3, Error = 4, Off = 5 };

constexpr bool passes(LevelFilter filter, Level level) {
    return static_cast<int>(level) >= static_cast<int>(filter);
}

std::string_view filter_name(LevelFilter filter);  // "trace" .. "error", "off"

// "trace", "debug", "info", "warn", "error" or "off" in any case, with no other characters;
// nothing for anything else.
std::optional<LevelFilter> parse_level_filter(std::string_view text);

// The variable that sets the stderr sink's level, and the level it writes without it.
inline constexpr const char* kLevelVariable = "QUORVEL_LOG";
inline constexpr LevelFilter kDefaultSinkLevel = LevelFilter::Info;

struct ConfiguredLevel {
    LevelFilter level = kDefaultSinkLevel;
    // Set when the value was not a level: the text of the warning to log; the default applies.
    std::optional<std::string> warning;
};

// The sink level a value of QUORVEL_LOG asks for; `value` is null when the variable is unset.
// An unset or empty variable gives the default without a warning.
ConfiguredLevel configured_level(const char* value);

struct Field {
    std::string name;
    std::string value;
};

struct SpanRecord {
    Level level;
    std::string name;
    std::vector<Field> fields;
};

struct Event {
    Level level;
    std::string target;
    std::string message;
    std::vector<Field> fields;
    std::vector<SpanRecord> spans;  // outermost first
};

inline constexpr std::string_view kSubsystem = "quorvel-agent";
inline constexpr std::string_view kCategory = "default";
inline constexpr std::string_view kLogTarget = "quorvel_agent::util::log";

class Sink {
  public:
    explicit Sink(LevelFilter level = LevelFilter::Trace) : level_(level) {}
    virtual ~Sink() = default;
    // The sink is handed only events at or above this level.
    LevelFilter level() const { return level_; }
    virtual void write(const Event& event) = 0;
    // Writes what the sink holds back; called for the installed sinks when the process exits.
    virtual void flush() {}

  private:
    const LevelFilter level_;
};

// Writes each event at or above its level as one line (see `format_event`) and keeps floods of
// lines at INFO and above bounded:
// - Repeats are collapsed. A line (its level, target, message and fields; the spans around it may
//   differ) is written the first time; when it comes again within `interval` of that, it is
//   counted instead. Once the interval has passed, the count is written as the line followed by
//   " (repeated N times)" and a new interval of counting begins; a line not repeated within its
//   interval is written again the next time it comes. The sink remembers the last
//   `kRecentLines` lines; the count of one it forgets is written then. So a flood of a few
//   different lines, even interleaved, writes each once and then one count each per interval.
// - At most `kLinesPerInterval` new INFO lines and as many new WARN lines are written per
//   interval; further ones are dropped and, when the interval ends, their number is written as
//   "Dropped N lines of a flood" at their level, one line per level. The budgets are separate
//   so that a flood at one level (a warning anyone can provoke, say) hides nothing at the other.
//   ERROR lines are never dropped: only their repeats are collapsed.
// Repeats and floods are judged on the line as the event gave it, before its texts are shown
// (`make_shown`), so a line the sink only counts or drops costs no search for secrets.
// Counts fall due as time passes but are written by the next event, by `write_due` (the stderr
// sink calls it from a thread of its own) or by `flush`; destroying the sink flushes it, and so
// does the process's exit while the sink is installed.
// DEBUG and TRACE lines, written only when asked for, are written every time.
class LineSink : public Sink {
  public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Clock = std::function<TimePoint()>;
    using Writer = std::function<void(std::string_view line)>;

    static constexpr std::chrono::steady_clock::duration kRepeatInterval = std::chrono::seconds(5);
    static constexpr Level kCollapsedFrom = Level::Info;
    static constexpr std::size_t kRecentLines = 32;
    static constexpr std::size_t kLinesPerInterval = 100;  // per level below `kNeverDropped`
    static constexpr Level kNeverDropped = Level::Error;

    LineSink(LevelFilter level, Writer writer, Clock clock = std::chrono::steady_clock::now,
             std::chrono::steady_clock::duration interval = kRepeatInterval);
    ~LineSink() override;
    LineSink(const LineSink&) = delete;
    LineSink& operator=(const LineSink&) = delete;

    void write(const Event& event) override;
    // Writes the counts whose interval has ended; returns when the next pending one falls due.
    std::optional<TimePoint> write_due();
    // Writes every pending count now.
    void flush() override;

  private:
    struct Recent {
        std::size_t hash;   // of `line`
        std::string line;   // without its spans, as the event gave it: what a repeat is judged by
        std::string shown;  // the same as written (`format_event`), for its count
        TimePoint since;    // when the line or its last count was written
        std::uint64_t repeats;
    };
    // The new lines of one level written and dropped in the current interval.
    struct Budget {
        std::size_t used = 0;
        std::uint64_t dropped = 0;
    };

    // The budget of a level from `kCollapsedFrom` up; none for `kNeverDropped` and above.
    Budget* budget_for(Level level);

    void write_due_locked(TimePoint now);
    void write_repeats_locked(Recent& recent);
    void write_dropped_locked();
    std::optional<TimePoint> next_due_locked() const;

  protected:
    // Called, with the sink's lock held, when a count begins that will fall due.
    virtual void count_started() {}

  private:
    std::mutex mutex_;
    Writer writer_;
    Clock clock_;
    std::chrono::steady_clock::duration interval_;
    std::vector<Recent> recent_;  // oldest first
    TimePoint budget_since_{};
    std::array<Budget,
               static_cast<std::size_t>(kNeverDropped) - static_cast<std::size_t>(kCollapsedFrom)>
        budgets_{};
};

// Writes lines to stderr through spdlog, each with a UTC time stamp and the tags
// "[quorvel-agent:default]". Its level comes from QUORVEL_LOG; a value that is not a level is
// warned about once (as a WARN line of this sink) and the default applies. A thread of its own
// writes counts as they fall due.
class StderrSink : public LineSink {
  public:
    StderrSink();
    explicit StderrSink(LevelFilter level);
    ~StderrSink() override;

  private:
    explicit StderrSink(const ConfiguredLevel& configured);
    void count_started() override;
    void write_counts();

    std::mutex counting_mutex_;
    std::condition_variable counting_changed_;
    bool counting_ = false;
    bool stopping_ = false;
    std::thread counter_;
};

// Keeps every event in memory; for tests.
class CaptureSink : public Sink {
  public:
    void write(const Event& event) override;
    std::vector<Event> events() const;
    // True when an event at `level` has exactly this message.
    bool contains(Level level, std::string_view message) const;
    // True when an event at `level` has a message containing `needle`.
    bool contains_substring(Level level, std::string_view needle) const;
    size_t count(Level level, std::string_view message) const;
    void clear();

  private:
    mutable std::mutex mutex_;
    std::vector<Event> events_;
};

// Formats an event as a single line: "LEVEL target: span{a=1}:inner: message field=value", shown
// as every text a person reads is (`make_shown`): the agent's own secrets that any text in it
// (message, fields, spans, target) quotes are hidden, then its control characters and the bytes
// that are not UTF-8 are escaped, so an event is one line of UTF-8 whoever wrote its text. Sinks
// that write lines use it; the capture sink keeps events as they were emitted.
std::string format_event(const Event& event);

// Sinks and the minimum level are process-wide. Installing a sink keeps earlier ones. The minimum
// level is a floor under every sink's own level (tests lower it to TRACE).
void add_sink(std::shared_ptr<Sink> sink);
void remove_sink(const std::shared_ptr<Sink>& sink);
void clear_sinks();
std::vector<std::shared_ptr<Sink>> sinks();
void set_min_level(Level level);
Level min_level();
namespace detail {
// The least level any installed sink takes, never below the minimum level; `LevelFilter::Off`
// without sinks. Written whenever the sinks or the minimum level change.
extern std::atomic<int> g_threshold;
}  // namespace detail

// True when some installed sink takes events at `level`: one relaxed atomic load.
inline bool enabled(Level level) {
    return static_cast<int>(level) >= detail::g_threshold.load(std::memory_order_relaxed);
}

// Hands the event to every sink that takes its level. Never throws: an event that cannot be built
// is dropped, and a sink that throws loses it while the others still get it.
void emit(Level level, std::string_view target, std::string message,
          std::vector<Field> fields = {}) noexcept;

// The span stack of the calling thread; for tests and for formatting.
std::vector<SpanRecord> current_spans();

// Enters a span on the calling thread for the guard's lifetime. A span below the level of every
// sink is not entered, nor is one that cannot be stored (memory ran out). To keep a disabled span
// from building its fields at all, pass a callable that returns them; it runs only when the span is
// entered.
class [[nodiscard]] SpanGuard {
  public:
    SpanGuard(Level level, std::string name, std::vector<Field> fields = {});
    template <class MakeFields>
    requires std::is_invocable_r_v<std::vector<Field>, MakeFields&> SpanGuard(
        Level level, std::string_view name, MakeFields&& make_fields)
        : entered_(enabled(level) && enter_with(level, name, make_fields)) {}
    ~SpanGuard();
    SpanGuard(const SpanGuard&) = delete;
    SpanGuard& operator=(const SpanGuard&) = delete;

  private:
    // Whether the span was entered: one that cannot be (memory ran out) is left out, so a span
    // never throws into its caller.
    static bool enter(Level level, std::string name, std::vector<Field> fields) noexcept;
    template <class MakeFields>
    static bool enter_with(Level level, std::string_view name, MakeFields& make_fields) noexcept {
        try {
            return enter(level, std::string(name), make_fields());
        } catch (...) {
            return false;
        }
    }
    bool entered_;
};

// Enters a whole captured span stack (outermost first) on the calling thread for the guard's
// lifetime; a task re-enters the spans current at its creation this way on every run. All or
// none: when memory runs out on the way, none of them is entered.
class [[nodiscard]] ScopedSpans {
  public:
    explicit ScopedSpans(const std::vector<SpanRecord>& spans);
    ~ScopedSpans();
    ScopedSpans(const ScopedSpans&) = delete;
    ScopedSpans& operator=(const ScopedSpans&) = delete;

  private:
    size_t count_;
};

// Installs a capture sink for the lifetime of the guard (tests).
class ScopedCapture {
  public:
    ScopedCapture();
    ~ScopedCapture();
    CaptureSink& sink() { return *sink_; }
    const CaptureSink* operator->() const { return sink_.get(); }

  private:
    std::shared_ptr<CaptureSink> sink_;
    Level previous_level_;
};

}  // namespace quorvel::log

// Formatting happens only when the level is enabled. A line that cannot be built or written (memory
// ran out, a formatter or a sink threw) is dropped: logging never throws into its caller, so a log
// line in a destructor or after a change is made cannot undo the caller's work.
// A line whose message or fields cannot be built (memory ran out, a formatter threw) is dropped:
// there is nowhere to report it. The call site tests the level first, so a line below it builds
// nothing. The handler is written out here rather than in a function taking the message's builder,
// so that the arguments are read where they stand (a structured binding among them too).
#define QV_LOG(level, target, ...)                                               \
    do {                                                                         \
        if (::quorvel::log::enabled(level)) {                                    \
            try {                                                                \
                ::quorvel::log::emit(level, target, ::fmt::format(__VA_ARGS__)); \
            } catch (...) {                                                      \
            }                                                                    \
        }                                                                        \
    } while (0)
#define QV_LOG_FIELDS(level, target, fields, ...)                                        \
    do {                                                                                 \
        if (::quorvel::log::enabled(level)) {                                            \
            try {                                                                        \
                ::quorvel::log::emit(level, target, ::fmt::format(__VA_ARGS__), fields); \
            } catch (...) {                                                              \
            }                                                                            \
        }                                                                                \
    } while (0)
#define QV_TRACE(target, ...) QV_LOG(::quorvel::log::Level::Trace, target, __VA_ARGS__)
#define QV_DEBUG(target, ...) QV_LOG(::quorvel::log::Level::Debug, target, __VA_ARGS__)
#define QV_INFO(target, ...) QV_LOG(::quorvel::log::Level::Info, target, __VA_ARGS__)
#define QV_WARN(target, ...) QV_LOG(::quorvel::log::Level::Warn, target, __VA_ARGS__)
#define QV_ERROR(target, ...) QV_LOG(::quorvel::log::Level::Error, target, __VA_ARGS__)
