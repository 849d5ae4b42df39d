#include "util/log.h"

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "util/snapshot_slot.h"

namespace quorvel::log {

namespace {

struct Registry {
    std::mutex mutex;
    std::vector<std::shared_ptr<Sink>> sinks;
    // Snapshot read on every event without taking the mutex.
    SnapshotSlot<std::vector<std::shared_ptr<Sink>>> snapshot{
        std::make_shared<const std::vector<std::shared_ptr<Sink>>>()};

    // The floor set by set_min_level.
    Level min_level = Level::Trace;

    // The least level any installed sink takes, never below the floor; `Off` without sinks.
    // Recomputed whenever the sinks or the floor change; read on every event.
    std::atomic<int> threshold{static_cast<int>(LevelFilter::Off)};

    void publish() {
        int least = static_cast<int>(LevelFilter::Off);
        for (const auto& sink : sinks) {
            least = std::min(least, static_cast<int>(sink->level()));
        }
        threshold.store(std::max(least, static_cast<int>(min_level)), std::memory_order_relaxed);
        snapshot.store(std::make_shared<const std::vector<std::shared_ptr<Sink>>>(sinks));
    }
};

Registry& registry() {
    static Registry r;
    return r;
}

thread_local std::vector<SpanRecord> t_spans;

void append_fields(std::string& out, const std::vector<Field>& fields) {
    for (const auto& f : fields) {
        out += ' ';
        out += f.name;
        out += '=';
        out += f.value;
    }
}

}  // namespace

std::string_view level_name(Level level) {
    switch (level) {
        case Level::Trace:
            return "TRACE";
        case Level::Debug:
            return "DEBUG";
        case Level::Info:
            return "INFO";
        case Level::Warn:
            return "WARN";
        case Level::Error:
            return "ERROR";
    }
    return "UNKNOWN";
}

std::string_view filter_name(LevelFilter filter) {
    switch (filter) {
        case LevelFilter::Trace:
            return "trace";
        case LevelFilter::Debug:
            return "debug";
        case LevelFilter::Info:
            return "info";
        case LevelFilter::Warn:
            return "warn";
        case LevelFilter::Error:
            return "error";
        case LevelFilter::Off:
            return "off";
    }
    return "unknown";
}

std::optional<LevelFilter> parse_level_filter(std::string_view text) {
    constexpr LevelFilter kAll[] = {LevelFilter::Trace, LevelFilter::Debug, LevelFilter::Info,
                                    LevelFilter::Warn,  LevelFilter::Error, LevelFilter::Off};
    for (const LevelFilter filter : kAll) {
        const std::string_view name = filter_name(filter);
        if (std::equal(text.begin(), text.end(), name.begin(), name.end(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) == b;
            })) {
            return filter;
        }
    }
    return std::nullopt;
}

ConfiguredLevel configured_level(const char* value) {
    if (value == nullptr || *value == '\0') {
        return {};
    }
    if (auto parsed = parse_level_filter(value)) {
        return {*parsed, std::nullopt};
    }
    return {kDefaultSinkLevel,
            fmt::format("Ignoring {}=\"{}\": expected trace, debug, info, warn, error or off; "
                        "writing {} and above",
                        kLevelVariable, value, filter_name(kDefaultSinkLevel))};
}

namespace {

// An event's line up to its spans, and the rest.
void append_head(std::string& out, const Event& event) {
    out += level_name(event.level);
    out += ' ';
    out += event.target;
    out += ": ";
}

void append_body(std::string& out, const Event& event) {
    out += event.message;
    append_fields(out, event.fields);
}

}  // namespace

std::string format_event(const Event& event) {
    std::string out;
    append_head(out, event);
    for (const auto& span : event.spans) {
        out += span.name;
        if (!span.fields.empty()) {
            out += '{';
            bool first = true;
            for (const auto& f : span.fields) {
                if (!first) {
                    out += ' ';
                }
                first = false;
                out += f.name;
                out += '=';
                out += f.value;
            }
            out += '}';
        }
        out += ": ";
    }
    append_body(out, event);
    return out;
}

LineSink::LineSink(LevelFilter level, Writer writer, Clock clock,
                   std::chrono::steady_clock::duration interval)
    : Sink(level), writer_(std::move(writer)), clock_(std::move(clock)), interval_(interval) {}

LineSink::~LineSink() {
    flush();
}

void LineSink::write(const Event& event) {
    if (!passes(level(), event.level)) {
        return;
    }
    if (static_cast<int>(event.level) < static_cast<int>(kCollapsedFrom)) {
        const std::string line = format_event(event);
        std::lock_guard lock(mutex_);
        write_repeats_locked();
        writer_(line);
        last_level_.reset();
        last_key_.clear();
        return;
    }
    std::string key;
    append_head(key, event);
    append_body(key, event);
    std::lock_guard lock(mutex_);
    const auto now = clock_();
    if (last_level_ == event.level && key == last_key_) {
        if (now - window_start_ < interval_) {
            ++repeats_;
            return;
        }
        if (repeats_ > 0) {
            // A flood of this line: one count per interval, this one opening the next.
            write_repeats_locked();
            repeats_ = 1;
            window_start_ = now;
            return;
        }
    } else {
        write_repeats_locked();
    }
    writer_(event.spans.empty() ? key : format_event(event));
    last_level_ = event.level;
    last_key_ = std::move(key);
    repeats_ = 0;
    window_start_ = now;
}

void LineSink::flush() {
    std::lock_guard lock(mutex_);
    write_repeats_locked();
}

void LineSink::write_repeats_locked() {
    if (repeats_ == 0) {
        return;
    }
    writer_(fmt::format("{} (last message repeated {} {})", last_key_, repeats_,
                        repeats_ == 1 ? "time" : "times"));
    repeats_ = 0;
}

namespace {

LineSink::Writer stderr_writer() {
    auto logger = std::make_shared<spdlog::logger>(
        std::string(kSubsystem), std::make_shared<spdlog::sinks::stderr_sink_mt>());
    logger->set_pattern(fmt::format("%Y-%m-%dT%H:%M:%S.%fZ [{}:{}] %v", kSubsystem, kCategory),
                        spdlog::pattern_time_type::utc);
    logger->set_level(spdlog::level::trace);
    return [logger = std::move(logger)](std::string_view line) {
        logger->log(spdlog::level::info, "{}", line);
    };
}

}  // namespace

StderrSink::StderrSink() : StderrSink(configured_level(std::getenv(kLevelVariable))) {}

StderrSink::StderrSink(LevelFilter level) : LineSink(level, stderr_writer()) {}

StderrSink::StderrSink(const ConfiguredLevel& configured) : StderrSink(configured.level) {
    static std::atomic<bool> warned{false};
    if (configured.warning && !warned.exchange(true)) {
        write(Event{Level::Warn, std::string(kLogTarget), *configured.warning, {}, {}});
    }
}

void CaptureSink::write(const Event& event) {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
}

std::vector<Event> CaptureSink::events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

bool CaptureSink::contains(Level level, std::string_view message) const {
    return count(level, message) > 0;
}

bool CaptureSink::contains_substring(Level level, std::string_view needle) const {
    std::lock_guard lock(mutex_);
    return std::any_of(events_.begin(), events_.end(), [&](const Event& e) {
        return e.level == level && e.message.find(needle) != std::string::npos;
    });
}

size_t CaptureSink::count(Level level, std::string_view message) const {
    std::lock_guard lock(mutex_);
    return static_cast<size_t>(std::count_if(events_.begin(), events_.end(), [&](const Event& e) {
        return e.level == level && e.message == message;
    }));
}

void CaptureSink::clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
}

void add_sink(std::shared_ptr<Sink> sink) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.sinks.push_back(std::move(sink));
    r.publish();
}

void remove_sink(const std::shared_ptr<Sink>& sink) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.sinks.erase(std::remove(r.sinks.begin(), r.sinks.end(), sink), r.sinks.end());
    r.publish();
}

void clear_sinks() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.sinks.clear();
    r.publish();
}

std::vector<std::shared_ptr<Sink>> sinks() {
    return *registry().snapshot.load();
}

void set_min_level(Level level) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.min_level = level;
    r.publish();
}

Level min_level() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return r.min_level;
}

bool enabled(Level level) {
    return static_cast<int>(level) >= registry().threshold.load(std::memory_order_relaxed);
}

void emit(Level level, std::string_view target, std::string message, std::vector<Field> fields) {
    if (!enabled(level)) {
        return;
    }
    auto sinks = registry().snapshot.load();
    std::optional<Event> event;
    for (const auto& sink : *sinks) {
        if (!passes(sink->level(), level)) {
            continue;
        }
        if (!event) {
            event.emplace(
                Event{level, std::string(target), std::move(message), std::move(fields), t_spans});
        }
        sink->write(*event);
    }
}

std::vector<SpanRecord> current_spans() {
    return t_spans;
}

SpanGuard::SpanGuard(Level level, std::string name, std::vector<Field> fields)
    : entered_(enabled(level)) {
    if (entered_) {
        enter(level, std::move(name), std::move(fields));
    }
}

void SpanGuard::enter(Level level, std::string name, std::vector<Field> fields) {
    t_spans.push_back(SpanRecord{level, std::move(name), std::move(fields)});
}

SpanGuard::~SpanGuard() {
    if (entered_) {
        t_spans.pop_back();
    }
}

ScopedSpans::ScopedSpans(const std::vector<SpanRecord>& spans) : count_(spans.size()) {
    t_spans.insert(t_spans.end(), spans.begin(), spans.end());
}

ScopedSpans::~ScopedSpans() {
    t_spans.erase(t_spans.end() - static_cast<std::ptrdiff_t>(count_), t_spans.end());
}

ScopedCapture::ScopedCapture()
    : sink_(std::make_shared<CaptureSink>()), previous_level_(min_level()) {
    set_min_level(Level::Trace);
    add_sink(sink_);
}

ScopedCapture::~ScopedCapture() {
    remove_sink(sink_);
    set_min_level(previous_level_);
}

}  // namespace quorvel::log
