#include "agent/monitor.h"

#include "util/async_test_util.h"
#include "util/log.h"
#include "util/runtime.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace quorvel::agent {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

asio::awaitable<void> return_at_once() {
    co_return;
}

asio::awaitable<void> fail() {
    throw std::runtime_error("pass exploded");
    co_return;
}

// Like the housekeeping runner: ends normally once the token is cancelled.
asio::awaitable<void> run_until_cancelled(CancellationToken token) {
    co_await token.cancelled();
}

TEST(MonitorTest, TaskEndingWhileTokenIsLiveCancelsTheToken) {
    auto runtime = Runtime::create(2);
    log::ScopedCapture capture;
    CancellationToken token;
    TaskSet<void> tasks;
    tasks.spawn(runtime->executor(), return_at_once());
    ASSERT_TRUE(runtime->block_on(monitor_tasks(std::move(tasks), token)).has_value());
    EXPECT_TRUE(token.is_cancelled());
    EXPECT_EQ(capture->count(log::Level::Trace, "Task prematurely finished. Cancel token."), 1u);
    EXPECT_EQ(capture->count(log::Level::Trace, "Monitoring task cancelled."), 1u);
}

TEST(MonitorTest, TaskEndingAfterCancellationEndsTheMonitorQuietly) {
    auto runtime = Runtime::create(2);
    log::ScopedCapture capture;
    CancellationToken token;
    TaskSet<void> tasks;
    tasks.spawn(runtime->executor(), run_until_cancelled(token));
    std::thread canceller([token] {
        std::this_thread::sleep_for(20ms);
        token.cancel();
    });
    ASSERT_TRUE(runtime->block_on(monitor_tasks(std::move(tasks), token)).has_value());
    canceller.join();
    EXPECT_FALSE(capture->contains(log::Level::Trace, "Task prematurely finished. Cancel token."));
    EXPECT_EQ(capture->count(log::Level::Trace, "Monitoring task cancelled."), 1u);
}

TEST(MonitorTest, FailedTaskIsReportedAndCancelsTheToken) {
    auto runtime = Runtime::create(2);
    log::ScopedCapture capture;
    CancellationToken token;
    TaskSet<void> tasks;
    tasks.spawn(runtime->executor(), fail());
    ASSERT_TRUE(runtime->block_on(monitor_tasks(std::move(tasks), token)).has_value());
    EXPECT_TRUE(token.is_cancelled());
    EXPECT_TRUE(capture->contains(
        log::Level::Error,
        "Task failed. Cancel token: task 1 panicked with message \"pass exploded\""));
    EXPECT_EQ(capture->count(log::Level::Trace, "Monitoring task cancelled."), 1u);
}

}  // namespace
}  // namespace quorvel::agent
