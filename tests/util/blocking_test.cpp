#include "util/blocking.h"

#include "util/runtime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>

namespace quorvel {
namespace {

using namespace std::chrono_literals;

// The call runs on a thread that is no runtime worker; its value or exception comes back to the
// awaiting coroutine.
TEST(RunBlockingTest, RunsOffTheWorkersAndHandsBackValuesAndExceptions) {
    auto runtime = Runtime::create(1);
    auto value = runtime->block_on(run_blocking(
        [] { return std::string(Runtime::on_worker_thread() ? "worker" : "elsewhere"); }));
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(*value, "elsewhere");

    auto thrown =
        runtime->block_on(run_blocking([]() -> std::string { throw std::runtime_error("boom"); }));
    ASSERT_FALSE(thrown.has_value());
    EXPECT_EQ(to_string(thrown.error()), "boom");
}

// A call that throws is rethrown, not taken for one that outlasted its wait (the wait is long
// enough that the timer cannot win on any machine), and frees its key like one that returned.
TEST(AbandonableCallsTest, AFailedCallIsRethrownAndFreesItsKey) {
    auto runtime = Runtime::create(2);
    AbandonableCalls<std::string> calls;
    auto thrown = runtime->block_on(calls.run(
        "key", []() -> std::string { throw std::runtime_error("boom"); }, 30s));
    ASSERT_FALSE(thrown.has_value());
    EXPECT_EQ(to_string(thrown.error()), "boom");
    auto again = runtime->block_on(calls.run(
        "key", [] { return std::string("ran"); }, 30s));
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(*again, std::optional<std::string>("ran"));
}

}  // namespace
}  // namespace quorvel
