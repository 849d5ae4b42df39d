#include "util/blocking.h"

#include "util/async_test_util.h"
#include "util/runtime.h"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace quorvel {
namespace {

using namespace std::chrono_literals;
using quorvel::testing::eventually;

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
    ASSERT_TRUE(again->has_value());
    EXPECT_EQ(again->value(), "ran");
}

// Work that waits until the test lets it through, like a slow or stuck read. Shared with the
// calls' threads, which may outlive a failed test.
class Gate {
  public:
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    // Counts the work and waits for the gate.
    void pass() {
        std::unique_lock lock(mutex_);
        ++arrived_;
        changed_.wait(lock, [&] { return open_; });
    }
    int arrived() const {
        std::lock_guard lock(mutex_);
        return arrived_;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    int arrived_ = 0;
};

// Starts threads as the calls do by default, counting those started and those whose call has
// handed out its outcome; or fails to start one with `failure` while it is set.
class Starts {
  public:
    ThreadStarter starter() {
        return [shared = shared_](std::function<void()> body) {
            {
                std::lock_guard lock(shared->mutex);
                if (shared->failure) {
                    std::rethrow_exception(shared->failure);
                }
            }
            start_detached_thread([shared, body = std::move(body)] {
                body();
                std::lock_guard lock(shared->mutex);
                ++shared->ended;
                shared->changed.notify_all();
            });
            std::lock_guard lock(shared->mutex);
            ++shared->started;
        };
    }
    void fail_with(std::exception_ptr failure) {
        std::lock_guard lock(shared_->mutex);
        shared_->failure = std::move(failure);
    }
    int started() const {
        std::lock_guard lock(shared_->mutex);
        return shared_->started;
    }
    // Waits up to a minute until `count` threads have ended.
    bool ended(int count) const {
        std::unique_lock lock(shared_->mutex);
        return shared_->changed.wait_for(lock, std::chrono::minutes(1),
                                         [&] { return shared_->ended >= count; });
    }

  private:
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        std::exception_ptr failure;
        int started = 0;
        int ended = 0;
    };
    std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

using Outcome = Result<Result<std::string, CallRefusal>, RuntimeError>;

// "value: V", "thrown: TEXT", "timed out", "previous not returned" or "not started: ERROR".
std::string describe(const Outcome& outcome) {
    if (!outcome) {
        return "thrown: " + to_string(outcome.error());
    }
    if (outcome->has_value()) {
        return "value: " + outcome->value();
    }
    const CallRefusal& refusal = outcome->error();
    switch (refusal.reason) {
        case CallRefusal::Reason::TimedOut:
            return "timed out";
        case CallRefusal::Reason::PreviousNotReturned:
            return "previous not returned";
        case CallRefusal::Reason::NotStarted:
            return "not started: " + refusal.error.message();
    }
    return "?";
}

// The outcome of a caller that should end while the gate is shut. One still waiting after a
// minute is let through, so that a wrong outcome fails the test instead of hanging it.
std::string ended_while_shut(std::future<Outcome>& outcome, Gate& gate) {
    if (outcome.wait_for(std::chrono::minutes(1)) != std::future_status::ready) {
        gate.open();
    }
    return describe(outcome.get());
}

// Callers that come while a call of their key runs all wait for it and get its outcome, a copy
// each, or its exception; the work of one caller per key runs, on one thread. Calls of other keys
// run beside it.
TEST(AbandonableCallsTest, CallersOfOneKeyShareTheRunningCall) {
    struct Case {
        std::vector<std::string> keys;  // one caller each, all coming while the calls run
        bool throws;
    };
    const Case cases[] = {
        {{"a", "a"}, false},
        {{"a", "a", "a", "a", "a", "a", "a", "a"}, false},
        {{"a", "b", "a", "b", "a"}, false},
        {{"a", "a", "a"}, true},
    };
    auto runtime = Runtime::create(4);
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.keys) + (c.throws ? " throwing" : ""));
        AbandonableCalls<std::string> calls;
        auto gate = std::make_shared<Gate>();
        Starts starts;
        std::map<std::string, std::size_t> callers;
        std::vector<std::future<Outcome>> outcomes;
        for (const auto& key : c.keys) {
            ++callers[key];
            outcomes.push_back(std::async(std::launch::async, [&, key] {
                return runtime->block_on(calls.run(
                    key,
                    [gate, key, throws = c.throws] {
                        gate->pass();
                        if (throws) {
                            throw std::runtime_error("failed " + key);
                        }
                        return "read " + key;
                    },
                    30s, starts.starter()));
            }));
        }
        for (const auto& [key, count] : callers) {
            EXPECT_TRUE(eventually([&, key = key, count = count] {
                return calls.waiting(key) == count;
            })) << key
                << ": " << calls.waiting(key);
        }
        gate->open();
        for (std::size_t i = 0; i < outcomes.size(); ++i) {
            const auto& key = c.keys[i];
            EXPECT_EQ(describe(outcomes[i].get()),
                      c.throws ? "thrown: failed " + key : "value: read " + key);
        }
        EXPECT_EQ(gate->arrived(), static_cast<int>(callers.size()));
        EXPECT_EQ(starts.started(), static_cast<int>(callers.size()));
        EXPECT_TRUE(starts.ended(static_cast<int>(callers.size())));
        for (const auto& [key, count] : callers) {
            EXPECT_EQ(calls.waiting(key), 0u) << key;
        }
    }
}

// A caller waits for a call within its own wait, counted from when it came; a call whose starter
// stopped waiting holds its key back only from callers that come after that; and a call that has
// returned frees its key for a fresh run.
TEST(AbandonableCallsTest, EachCallerWaitsWithinItsOwnTimeout) {
    struct Case {
        const char* name;
        std::chrono::milliseconds first;   // the wait of the caller that starts the call
        std::chrono::milliseconds second;  // the wait of the caller that comes next
        bool second_after_first_ended;     // else it comes while the first still waits
        std::string first_outcome;
        std::string second_outcome;
    };
    const Case cases[] = {
        {"the joining caller's wait ends first", 30s, 50ms, false, "value: read", "timed out"},
        {"the joining caller outwaits the starter", 1s, 30s, false, "timed out", "value: read"},
        {"a caller comes after the starter stopped waiting", 100ms, 30s, true, "timed out",
         "previous not returned"},
    };
    auto runtime = Runtime::create(4);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AbandonableCalls<std::string> calls;
        auto gate = std::make_shared<Gate>();
        Starts starts;
        auto call = [&](std::chrono::milliseconds timeout) {
            return runtime->block_on(calls.run(
                "key",
                [gate] {
                    gate->pass();
                    return std::string("read");
                },
                timeout, starts.starter()));
        };
        auto first = std::async(std::launch::async, [&] { return call(c.first); });
        // A thread is counted once the call is in place for the callers after it.
        ASSERT_TRUE(eventually([&] { return starts.started() == 1; }));
        std::optional<std::string> first_outcome;
        if (c.second_after_first_ended) {
            first_outcome = ended_while_shut(first, *gate);
        }
        auto second = std::async(std::launch::async, [&] { return call(c.second); });
        if (!c.second_after_first_ended) {
            EXPECT_TRUE(eventually([&] { return calls.waiting("key") == 2; }));
        }
        // A caller that ends without the call's outcome does so while the call still runs.
        std::optional<std::string> second_outcome;
        if (c.second_outcome != "value: read") {
            second_outcome = ended_while_shut(second, *gate);
        }
        if (!first_outcome && c.first_outcome != "value: read") {
            first_outcome = ended_while_shut(first, *gate);
        }
        EXPECT_EQ(starts.started(), 1);
        gate->open();
        EXPECT_EQ(first_outcome ? *first_outcome : describe(first.get()), c.first_outcome);
        EXPECT_EQ(second_outcome ? *second_outcome : describe(second.get()), c.second_outcome);
        EXPECT_EQ(gate->arrived(), 1);
        EXPECT_TRUE(starts.ended(1));

        // The outcome went to the callers waiting then, and to nobody after: the next call runs.
        EXPECT_EQ(describe(call(30s)), "value: read");
        EXPECT_EQ(gate->arrived(), 2);
        EXPECT_EQ(starts.started(), 2);
    }
}

// A call whose thread cannot be started fails with what starting it threw, without running its
// work, and leaves its key free: the next call runs.
TEST(AbandonableCallsTest, ACallWhoseThreadDoesNotStartFailsAndFreesItsKey) {
    struct Case {
        std::exception_ptr failure;
        std::string outcome;
    };
    const Case cases[] = {
        {std::make_exception_ptr(std::system_error(EAGAIN, std::generic_category())),
         "not started: " + std::generic_category().message(EAGAIN)},
        {std::make_exception_ptr(std::system_error(ENOMEM, std::system_category(), "thread")),
         "not started: " + std::system_category().message(ENOMEM)},
        // Anything else comes to the caller as it was thrown.
        {std::make_exception_ptr(std::bad_alloc()), "thrown: std::bad_alloc"},
    };
    auto runtime = Runtime::create(2);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.outcome);
        AbandonableCalls<std::string> calls;
        auto gate = std::make_shared<Gate>();
        gate->open();
        Starts starts;
        auto call = [&] {
            return runtime->block_on(calls.run(
                "key",
                [gate] {
                    gate->pass();
                    return std::string("read");
                },
                30s, starts.starter()));
        };
        starts.fail_with(c.failure);
        EXPECT_EQ(describe(call()), c.outcome);
        // Not refused as behind a call that has not returned: none was registered.
        EXPECT_EQ(describe(call()), c.outcome);
        EXPECT_EQ(gate->arrived(), 0);
        EXPECT_EQ(starts.started(), 0);
        starts.fail_with(nullptr);
        EXPECT_EQ(describe(call()), "value: read");
        EXPECT_EQ(gate->arrived(), 1);
        EXPECT_TRUE(starts.ended(1));
    }
}

// The outcome of a call whose waiters are all gone, cancelled with their runtime or ended by
// their own waits, is dropped on the call's thread without touching them.
TEST(AbandonableCallsTest, AnOutcomeForWaitersThatAreGoneIsDropped) {
    AbandonableCalls<std::string> calls;
    auto gate = std::make_shared<Gate>();
    Starts starts;
    auto work = [gate] {
        gate->pass();
        return std::string(4096, 'x');
    };
    auto runtime = Runtime::create(2);
    auto ended = std::make_shared<std::atomic<int>>(0);
    for (int i = 0; i < 3; ++i) {
        boost::asio::co_spawn(
            runtime->executor(),
            [&calls, work, starts = starts.starter(), ended]() -> boost::asio::awaitable<void> {
                auto outcome = co_await calls.run("key", work, 30s, starts);
                ++*ended;
            },
            boost::asio::detached);
    }
    ASSERT_TRUE(eventually([&] { return calls.waiting("key") == 3; }));
    EXPECT_EQ(describe(runtime->block_on(calls.run("key", work, 10ms, starts.starter()))),
              "timed out");
    EXPECT_EQ(calls.waiting("key"), 3u);
    runtime.reset();
    EXPECT_EQ(calls.waiting("key"), 0u);
    EXPECT_EQ(ended->load(), 0);
    gate->open();
    EXPECT_TRUE(starts.ended(1));
    EXPECT_EQ(gate->arrived(), 1);
    EXPECT_EQ(starts.started(), 1);
}

}  // namespace
}  // namespace quorvel
