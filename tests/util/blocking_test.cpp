#include "util/blocking.h"

#include "util/runtime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

namespace quorvel {
namespace {

using namespace std::chrono_literals;

// The call runs on a thread that is no runtime worker, its value or exception comes back to the
// awaiting coroutine, and a runtime released while a call runs leaves that call to finish alone.
TEST(RunBlockingTest, RunsOffTheWorkersAndHandsBackValuesAndExceptions) {
    auto runtime = Runtime::create(1);
    auto value = runtime->block_on(run_blocking(
        [] { return std::string(Runtime::on_worker_thread() ? "worker" : "elsewhere"); }));
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(*value, "elsewhere");

    auto thrown = runtime->block_on([]() -> boost::asio::awaitable<std::string> {
        try {
            co_return co_await run_blocking(
                []() -> std::string { throw std::runtime_error("boom"); });
        } catch (const std::runtime_error& e) {
            co_return e.what();
        }
    }());
    ASSERT_TRUE(thrown.has_value());
    EXPECT_EQ(*thrown, "boom");

    std::promise<void> release;
    std::atomic<bool> finished{false};
    runtime->spawn(
        [](std::shared_future<void> gate, std::atomic<bool>* done) -> boost::asio::awaitable<void> {
            auto wait = [gate, done] {
                gate.wait();
                done->store(true);
                return 0;
            };
            co_await run_blocking(std::move(wait));
        }(release.get_future().share(), &finished));
    std::this_thread::sleep_for(20ms);
    runtime.reset();
    release.set_value();
    for (int i = 0; i < 5000 && !finished.load(); ++i) {
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_TRUE(finished.load());
}

}  // namespace
}  // namespace quorvel
