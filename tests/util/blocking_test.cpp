#include "util/blocking.h"

#include "util/runtime.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace quorvel {
namespace {

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

}  // namespace
}  // namespace quorvel
