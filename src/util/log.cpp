#include "util/log.h"

#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <type_traits>

#include "util/debug_text.h"
#include "util/shown_text.h"
#include "util/snapshot_slot.h"

namespace quorvel::log {

namespace detail {
constinit std::atomic<int> g_threshold{static_cast<int>(LevelFilter::Off)};
}  // namespace detail

namespace {

struct Registry {
    std::mutex mutex;
    std::vector<std::shared_ptr<Sink>> sinks;
    // Snapshot read on every event without taking the mutex.
    SnapshotSlot<std::vector<std::shared_ptr<Sink>>> snapshot{
        std::make_shared<const std::vector<std::shared_ptr<Sink>>>()};

    // The floor set by set_min_level.
    Level min_level = Level::Trace;

    // Replaces the sinks and the floor. The new snapshot is built before anything changes, so a
    // failure (memory ran out) leaves logging as it was.
    void replace(std::vector<std::shared_ptr<Sink>> next_sinks, Level next_min_level) {
        auto next_snapshot = std::make_shared<const std::vector<std::shared_ptr<Sink>>>(next_sinks);
        int least = static_cast<int>(LevelFilter::Off);
        for (const auto& sink : next_sinks) {
            least = std::min(least, static_cast<int>(sink->level()));
        }
        sinks.swap(next_sinks);
        min_level = next_min_level;
        detail::g_threshold.store(std::max(least, static_cast<int>(min_level)),
                                  std::memory_order_relaxed);
        snapshot.store(std::move(next_snapshot));
    }
};

void flush_sinks();

// Never destroyed: runtime workers may still log while the process's static destructors run
// (exit() called with agents running), so the sinks must outlive them. Their pending counts are
// written at exit instead.
Registry& registry() {
    static Registry& r = *[] {
        auto* made = new Registry;
        std::atexit(flush_sinks);
        return made;
    }();
    return r;
}

void flush_sinks() {
    for (const auto& sink : *registry().snapshot.load()) {
        sink->flush();
    }
}

// The spans open on one thread, outermost first. A thread-local with a destructor would have the
// C library register that destructor, which allocates, on the thread's first use; when that
// allocation fails the library ends the process. So the stack is trivially destructible: its
// first `kInline` records live in place, deeper ones in a heap vector that is freed as soon as the
// stack is that shallow again. Records are destroyed as their spans close, so a thread that ends
// with no span open (every guard is scoped) leaves nothing behind.
class SpanStack {
  public:
    static constexpr std::size_t kInline = 8;

    constexpr SpanStack() = default;

    std::size_t size() const { return size_; }

    // Strong guarantee: on an exception the stack is as it was.
    void push(SpanRecord record) {
        if (size_ < kInline) {
            new (slot(size_)) SpanRecord(std::move(record));
        } else {
            if (deeper_ == nullptr) {
                deeper_ = new std::vector<SpanRecord>;
            }
            try {
                deeper_->push_back(std::move(record));
            } catch (...) {
                release_deeper_if_empty();
                throw;
            }
        }
        ++size_;
    }

    void pop() {
        --size_;
        if (size_ < kInline) {
            std::destroy_at(slot(size_));
        } else {
            deeper_->pop_back();
            release_deeper_if_empty();
        }
    }

    const SpanRecord& operator[](std::size_t index) const {
        return index < kInline ? *slot(index) : (*deeper_)[index - kInline];
    }

    std::vector<SpanRecord> copy() const {
        std::vector<SpanRecord> spans;
        spans.reserve(size_);
        for (std::size_t index = 0; index < size_; ++index) {
            spans.push_back((*this)[index]);
        }
        return spans;
    }

  private:
    SpanRecord* slot(std::size_t index) {
        return std::launder(reinterpret_cast<SpanRecord*>(inline_) + index);
    }
    const SpanRecord* slot(std::size_t index) const {
        return std::launder(reinterpret_cast<const SpanRecord*>(inline_) + index);
    }
    void release_deeper_if_empty() {
        if (deeper_->empty()) {
            delete deeper_;
            deeper_ = nullptr;
        }
    }

    alignas(SpanRecord) std::byte inline_[kInline * sizeof(SpanRecord)]{};
    std::size_t size_ = 0;
    std::vector<SpanRecord>* deeper_ = nullptr;
};
static_assert(std::is_trivially_destructible_v<SpanStack>);

constinit thread_local SpanStack t_spans;

// " a=1 b=2", or "a=1 b=2" without the leading blank.
void append_fields(std::string& out, const std::vector<Field>& fields, bool leading_blank = true) {
    for (const auto& f : fields) {
        if (leading_blank) {
            out += ' ';
        }
        leading_blank = true;
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
    constexpr std::string_view kNames[] = {"trace", "debug", "info", "warn", "error", "off"};
    return kNames[static_cast<int>(filter)];
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
    // Quoted by our own escaping: a formatting library's debug specifier may be refused by
    // another copy of the library that the process loaded first.
    std::string warning = "Ignoring ";
    warning += kLevelVariable;
    warning += '=';
    // A value of any length from the environment: bounded and masked as outside text is.
    warning += debug_quoted(outside_text(value));
    warning += ": expected trace, debug, info, warn, error or off; writing ";
    warning += filter_name(kDefaultSinkLevel);
    warning += " and above";
    return {kDefaultSinkLevel, std::move(warning)};
}

namespace {

size_t fields_size(const std::vector<Field>& fields) {
    size_t size = 0;
    for (const auto& field : fields) {
        size += 2 + field.name.size() + field.value.size();
    }
    return size;
}

// Room for an event's line, spans aside, when nothing in it is escaped: one allocation a line.
size_t line_size(const Event& event) {
    return 8 + event.target.size() + event.message.size() + fields_size(event.fields);
}

// Whoever wrote the texts of a line (message, fields, spans, target), it quotes none of the
// agent's own secrets, stays one line and sends a terminal no command (`make_shown`). The line's
// own parts are printable and hold no secret, so showing the whole line shows exactly its texts,
// copying nothing when, as almost always, there is nothing to hide or escape.
void show_line(std::string& line) {
    make_shown(line);
}

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
    size_t size = line_size(event);
    for (const auto& span : event.spans) {
        size += 4 + span.name.size() + fields_size(span.fields);
    }
    out.reserve(size);
    append_head(out, event);
    for (const auto& span : event.spans) {
        out += span.name;
        if (!span.fields.empty()) {
            out += '{';
            append_fields(out, span.fields, false);
            out += '}';
        }
        out += ": ";
    }
    append_body(out, event);
    show_line(out);
    return out;
}

LineSink::LineSink(LevelFilter level, Writer writer, Clock clock,
                   std::chrono::steady_clock::duration interval)
    : Sink(level), writer_(std::move(writer)), clock_(std::move(clock)), interval_(interval) {
    recent_.reserve(kRecentLines);
    budget_since_ = clock_();
}

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
        writer_(line);
        return;
    }
    // Judged as the event gave it: a repeat or a line of a flood is counted before any search.
    std::string line;
    line.reserve(line_size(event));
    append_head(line, event);
    append_body(line, event);
    const std::size_t hash = std::hash<std::string>{}(line);
    std::lock_guard lock(mutex_);
    const TimePoint now = clock_();
    write_due_locked(now);
    for (auto& recent : recent_) {
        if (recent.hash == hash && recent.line == line) {
            if (recent.repeats++ == 0) {
                count_started();
            }
            return;
        }
    }
    if (Budget* budget = budget_for(event.level)) {
        if (budget->used == kLinesPerInterval) {
            if (budget->dropped++ == 0) {
                count_started();
            }
            return;
        }
        ++budget->used;
    }
    std::string shown = line;
    show_line(shown);
    writer_(event.spans.empty() ? shown : format_event(event));
    if (recent_.size() == kRecentLines) {
        write_repeats_locked(recent_.front());
        recent_.erase(recent_.begin());
    }
    recent_.push_back(Recent{hash, std::move(line), std::move(shown), now, 0});
}

std::optional<LineSink::TimePoint> LineSink::write_due() {
    std::lock_guard lock(mutex_);
    write_due_locked(clock_());
    return next_due_locked();
}

void LineSink::flush() {
    std::lock_guard lock(mutex_);
    for (auto& recent : recent_) {
        write_repeats_locked(recent);
    }
    write_dropped_locked();
}

void LineSink::write_due_locked(TimePoint now) {
    if (now - budget_since_ >= interval_) {
        write_dropped_locked();
        budget_since_ = now;
        for (auto& budget : budgets_) {
            budget.used = 0;
        }
    }
    std::erase_if(recent_, [&](Recent& recent) {
        if (now - recent.since < interval_) {
            return false;
        }
        if (recent.repeats == 0) {
            return true;  // not repeated: written afresh when it comes again
        }
        write_repeats_locked(recent);
        recent.since = now;
        return false;
    });
}

void LineSink::write_repeats_locked(Recent& recent) {
    if (recent.repeats == 0) {
        return;
    }
    writer_(fmt::format("{} (repeated {} {})", recent.shown, recent.repeats,
                        recent.repeats == 1 ? "time" : "times"));
    recent.repeats = 0;
}

LineSink::Budget* LineSink::budget_for(Level level) {
    const auto index = static_cast<std::size_t>(level) - static_cast<std::size_t>(kCollapsedFrom);
    return index < budgets_.size() ? &budgets_[index] : nullptr;
}

void LineSink::write_dropped_locked() {
    for (std::size_t index = 0; index < budgets_.size(); ++index) {
        Budget& budget = budgets_[index];
        if (budget.dropped == 0) {
            continue;
        }
        // At the level of what was dropped, so the reader knows which lines are missing.
        const auto level = static_cast<Level>(static_cast<std::size_t>(kCollapsedFrom) + index);
        std::string line;
        append_head(line, Event{level, std::string(kLogTarget), {}, {}, {}});
        line += fmt::format("Dropped {} {} of a flood", budget.dropped,
                            budget.dropped == 1 ? "line" : "lines");
        writer_(line);
        budget.dropped = 0;
    }
}

std::optional<LineSink::TimePoint> LineSink::next_due_locked() const {
    std::optional<TimePoint> due;
    auto consider = [&](TimePoint at) {
        if (!due || at < *due) {
            due = at;
        }
    };
    if (std::any_of(budgets_.begin(), budgets_.end(),
                    [](const Budget& budget) { return budget.dropped > 0; })) {
        consider(budget_since_ + interval_);
    }
    for (const auto& recent : recent_) {
        if (recent.repeats > 0) {
            consider(recent.since + interval_);
        }
    }
    return due;
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

StderrSink::StderrSink(LevelFilter level) : LineSink(level, stderr_writer()) {
    counter_ = std::thread([this] { write_counts(); });
}

StderrSink::StderrSink(const ConfiguredLevel& configured) : StderrSink(configured.level) {
    static std::atomic<bool> warned{false};
    if (configured.warning && !warned.exchange(true)) {
        write(Event{Level::Warn, std::string(kLogTarget), *configured.warning, {}, {}});
    }
}

StderrSink::~StderrSink() {
    {
        std::lock_guard lock(counting_mutex_);
        stopping_ = true;
    }
    counting_changed_.notify_one();
    counter_.join();
}

void StderrSink::count_started() {
    {
        std::lock_guard lock(counting_mutex_);
        counting_ = true;
    }
    counting_changed_.notify_one();
}

void StderrSink::write_counts() {
    std::unique_lock lock(counting_mutex_);
    while (!stopping_) {
        counting_ = false;
        // The sink's lock is taken before ours by writers: never hold ours while taking it.
        lock.unlock();
        const auto due = write_due();
        lock.lock();
        auto woken = [this] { return stopping_ || counting_; };
        if (due) {
            counting_changed_.wait_until(lock, *due, woken);
        } else {
            counting_changed_.wait(lock, woken);
        }
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
    std::vector<std::shared_ptr<Sink>> next;
    next.reserve(r.sinks.size() + 1);
    next = r.sinks;
    next.push_back(std::move(sink));
    r.replace(std::move(next), r.min_level);
}

void remove_sink(const std::shared_ptr<Sink>& sink) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::vector<std::shared_ptr<Sink>> next = r.sinks;
    std::erase(next, sink);
    r.replace(std::move(next), r.min_level);
}

void clear_sinks() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.replace({}, r.min_level);
}

std::vector<std::shared_ptr<Sink>> sinks() {
    return *registry().snapshot.load();
}

void set_min_level(Level level) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    r.replace(r.sinks, level);
}

Level min_level() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    return r.min_level;
}

void emit(Level level, std::string_view target, std::string message,
          std::vector<Field> fields) noexcept {
    if (!enabled(level)) {
        return;
    }
    try {
        auto sinks = registry().snapshot.load();
        std::optional<Event> event;
        for (const auto& sink : *sinks) {
            if (!passes(sink->level(), level)) {
                continue;
            }
            if (!event) {
                event.emplace(Event{level, std::string(target), std::move(message),
                                    std::move(fields), t_spans.copy()});
            }
            try {
                sink->write(*event);
            } catch (...) {
                // This sink loses the line; the others still get it.
            }
        }
    } catch (...) {
        // The event could not be built (memory ran out): dropped.
    }
}

std::vector<SpanRecord> current_spans() {
    return t_spans.copy();
}

SpanGuard::SpanGuard(Level level, std::string name, std::vector<Field> fields)
    : entered_(enabled(level) && enter(level, std::move(name), std::move(fields))) {}

bool SpanGuard::enter(Level level, std::string name, std::vector<Field> fields) noexcept {
    try {
        t_spans.push(SpanRecord{level, std::move(name), std::move(fields)});
        return true;
    } catch (...) {
        return false;  // left out, like a span below every sink's level
    }
}

SpanGuard::~SpanGuard() {
    if (entered_) {
        t_spans.pop();
    }
}

ScopedSpans::ScopedSpans(const std::vector<SpanRecord>& spans) : count_(0) {
    try {
        for (const auto& span : spans) {
            t_spans.push(span);
            ++count_;
        }
    } catch (...) {
        // All or none: the spans entered so far are left again.
        for (; count_ > 0; --count_) {
            t_spans.pop();
        }
    }
}

ScopedSpans::~ScopedSpans() {
    for (; count_ > 0; --count_) {
        t_spans.pop();
    }
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
