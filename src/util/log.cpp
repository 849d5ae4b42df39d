#include "util/log.h"

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <algorithm>

#include "util/snapshot_slot.h"

namespace quorvel::log {

namespace {

struct Registry {
    std::mutex mutex;
    std::vector<std::shared_ptr<Sink>> sinks;
    // Snapshot read on every event without taking the mutex.
    SnapshotSlot<std::vector<std::shared_ptr<Sink>>> snapshot{
        std::make_shared<const std::vector<std::shared_ptr<Sink>>>()};

    std::atomic<size_t> count{0};

    void publish() {
        count.store(sinks.size());
        snapshot.store(std::make_shared<const std::vector<std::shared_ptr<Sink>>>(sinks));
    }
};

Registry& registry() {
    static Registry r;
    return r;
}

std::atomic<int> g_min_level{static_cast<int>(Level::Trace)};

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

std::string format_event(const Event& event) {
    std::string out;
    out += level_name(event.level);
    out += ' ';
    out += event.target;
    out += ": ";
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
    out += event.message;
    append_fields(out, event.fields);
    return out;
}

StderrSink::StderrSink() {
    auto logger = std::make_shared<spdlog::logger>(
        std::string(kSubsystem), std::make_shared<spdlog::sinks::stderr_sink_mt>());
    logger->set_pattern(fmt::format("%Y-%m-%dT%H:%M:%S.%fZ [{}:{}] %v", kSubsystem, kCategory),
                        spdlog::pattern_time_type::utc);
    logger->set_level(spdlog::level::trace);
    logger_ = logger;
}

void StderrSink::write(const Event& event) {
    auto* logger = static_cast<spdlog::logger*>(logger_.get());
    logger->log(spdlog::level::info, "{}", format_event(event));
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

void set_min_level(Level level) {
    g_min_level.store(static_cast<int>(level));
}

Level min_level() {
    return static_cast<Level>(g_min_level.load());
}

bool enabled(Level level) {
    if (static_cast<int>(level) < g_min_level.load(std::memory_order_relaxed)) {
        return false;
    }
    return registry().count.load(std::memory_order_relaxed) != 0;
}

void emit(Level level, std::string_view target, std::string message, std::vector<Field> fields) {
    auto sinks = registry().snapshot.load();
    if (sinks->empty() || static_cast<int>(level) < g_min_level.load(std::memory_order_relaxed)) {
        return;
    }
    Event event{level, std::string(target), std::move(message), std::move(fields), t_spans};
    for (const auto& sink : *sinks) {
        sink->write(event);
    }
}

std::vector<SpanRecord> current_spans() {
    return t_spans;
}

SpanGuard::SpanGuard(Level level, std::string name, std::vector<Field> fields) {
    t_spans.push_back(SpanRecord{level, std::move(name), std::move(fields)});
}

SpanGuard::~SpanGuard() {
    t_spans.pop_back();
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
