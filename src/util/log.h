// Structured logging: events with a level, a target (the module), a message, fields and the stack
// of spans open on the emitting thread. Events go to every installed sink; the default sink writes
// to stderr tagged with the subsystem "quorvel-agent" and the category "default".
//
// Spans are kept per thread. A `SpanGuard` must not be held across a co_await: a coroutine that
// wants its events inside a span enters the span again after each suspension (or passes the span's
// fields on its events).
#pragma once

#include <fmt/format.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::log {

enum class Level { Trace = 0, Debug = 1, Info = 2, Warn = 3, Error = 4 };

std::string_view level_name(Level level);  // "TRACE", "DEBUG", "INFO", "WARN", "ERROR"

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

class Sink {
  public:
    virtual ~Sink() = default;
    virtual void write(const Event& event) = 0;
};

// Writes each event as one line to stderr through spdlog.
class StderrSink : public Sink {
  public:
    StderrSink();
    void write(const Event& event) override;

  private:
    std::shared_ptr<void> logger_;
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

// Formats an event as a single line: "LEVEL target: span{a=1}:inner: message field=value".
std::string format_event(const Event& event);

// Sinks and the minimum level are process-wide. Installing a sink keeps earlier ones.
void add_sink(std::shared_ptr<Sink> sink);
void remove_sink(const std::shared_ptr<Sink>& sink);
void clear_sinks();
void set_min_level(Level level);
Level min_level();
bool enabled(Level level);

void emit(Level level, std::string_view target, std::string message,
          std::vector<Field> fields = {});

// The span stack of the calling thread; for tests and for formatting.
std::vector<SpanRecord> current_spans();

// Enters a span on the calling thread for the guard's lifetime.
class [[nodiscard]] SpanGuard {
  public:
    SpanGuard(Level level, std::string name, std::vector<Field> fields = {});
    ~SpanGuard();
    SpanGuard(const SpanGuard&) = delete;
    SpanGuard& operator=(const SpanGuard&) = delete;
};

// Enters a whole captured span stack (outermost first) on the calling thread for the guard's
// lifetime; a task re-enters the spans current at its creation this way on every run.
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

// Formatting happens only when the level is enabled.
#define QV_LOG(level, target, ...)                                           \
    do {                                                                     \
        if (::quorvel::log::enabled(level)) {                                \
            ::quorvel::log::emit(level, target, ::fmt::format(__VA_ARGS__)); \
        }                                                                    \
    } while (0)
#define QV_LOG_FIELDS(level, target, fields, ...)                                    \
    do {                                                                             \
        if (::quorvel::log::enabled(level)) {                                        \
            ::quorvel::log::emit(level, target, ::fmt::format(__VA_ARGS__), fields); \
        }                                                                            \
    } while (0)
#define QV_TRACE(target, ...) QV_LOG(::quorvel::log::Level::Trace, target, __VA_ARGS__)
#define QV_DEBUG(target, ...) QV_LOG(::quorvel::log::Level::Debug, target, __VA_ARGS__)
#define QV_INFO(target, ...) QV_LOG(::quorvel::log::Level::Info, target, __VA_ARGS__)
#define QV_WARN(target, ...) QV_LOG(::quorvel::log::Level::Warn, target, __VA_ARGS__)
#define QV_ERROR(target, ...) QV_LOG(::quorvel::log::Level::Error, target, __VA_ARGS__)
