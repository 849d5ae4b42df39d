#include "util/log.h"

#include <gtest/gtest.h>

#include <atomic>
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

}  // namespace
}  // namespace quorvel::log
