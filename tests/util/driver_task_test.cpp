// Where a woken driver or awaiting coroutine goes on: on the worker that woke it, right after the
// waking handler, rather than on an idle worker that the wake would have to rouse; and a driver
// woken during its own poll, right after that poll, for a bounded number of polls.
#include "util/driver_task.h"

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "support/failing_allocation.h"
#include "util/poll_await.h"
#include "util/runtime.h"

namespace quorvel {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

constexpr int kRounds = 12;

// What the woken side records: the waker it left behind and the threads it went on on.
struct Record {
    std::mutex mutex;
    std::condition_variable cv;
    Waker waker;
    std::vector<std::thread::id> resumed_on;
    // Set while the waking handler has not yet returned.
    bool waking = false;
    int resumed_during_wake = 0;

    void resumed() {
        std::lock_guard lock(mutex);
        resumed_on.push_back(std::this_thread::get_id());
        resumed_during_wake += waking ? 1 : 0;
        cv.notify_all();
    }
    bool wait_for_resumes(std::size_t count) {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, 10s, [&] { return resumed_on.size() >= count; });
    }
};

// Wakes the recorded waker from a handler on one of the runtime's workers, which then stays busy
// for a while: long enough for an idle worker to take a re-poll that was merely posted. Returns
// the waking worker.
std::thread::id wake_from_a_worker(Runtime& runtime, Record& record) {
    std::promise<std::thread::id> waker_thread;
    asio::post(runtime.executor(), [&] {
        Waker waker;
        {
            std::lock_guard lock(record.mutex);
            waker = std::exchange(record.waker, Waker());
            record.waking = true;
        }
        waker.wake();
        std::this_thread::sleep_for(20ms);
        {
            std::lock_guard lock(record.mutex);
            record.waking = false;
        }
        waker_thread.set_value(std::this_thread::get_id());
    });
    return waker_thread.get_future().get();
}

// Returns once every worker of `runtime` has come back to it for more work, so that what each
// was running has ended: the run of a driver task after its poll, the handler in which a coroutine
// parks. It posts one handler per worker, and each holds its worker until all have started. False
// when they did not all start within ten seconds.
bool every_worker_is_free(Runtime& runtime) {
    struct Meeting {
        std::mutex mutex;
        std::condition_variable cv;
        std::size_t arrived = 0;
    };
    auto meeting = std::make_shared<Meeting>();
    const std::size_t workers = runtime.worker_count();
    const auto all_arrived = [meeting, workers] { return meeting->arrived == workers; };
    for (std::size_t i = 0; i < workers; ++i) {
        asio::post(runtime.executor(), [meeting, all_arrived] {
            std::unique_lock lock(meeting->mutex);
            ++meeting->arrived;
            meeting->cv.notify_all();
            meeting->cv.wait_for(lock, 10s, all_arrived);
        });
    }
    std::unique_lock lock(meeting->mutex);
    return meeting->cv.wait_for(lock, 10s, all_arrived);
}

// Pending until released; every poll is recorded.
struct RecordingDriver {
    std::shared_ptr<Record> record;
    Poll<int> poll(const Waker& waker) {
        {
            std::lock_guard lock(record->mutex);
            record->waker = waker;
        }
        record->resumed();
        return std::nullopt;
    }
};

// Runs `kRounds` wakes from workers and checks that each resume ran on the waking worker after
// its handler returned. `resumes_before` is how many resumes happened before the first wake.
void expect_resumes_on_the_waking_worker(Runtime& runtime, Record& record,
                                         std::size_t resumes_before) {
    for (int round = 0; round < kRounds; ++round) {
        // The last poll's run has ended, so that the wake finds the task idle rather than queueing
        // its re-poll from the end of that run.
        ASSERT_TRUE(every_worker_is_free(runtime)) << "round " << round;
        const std::thread::id waker_thread = wake_from_a_worker(runtime, record);
        ASSERT_TRUE(record.wait_for_resumes(resumes_before + round + 1)) << "round " << round;
        std::lock_guard lock(record.mutex);
        EXPECT_EQ(record.resumed_on[resumes_before + round], waker_thread) << "round " << round;
    }
    std::lock_guard lock(record.mutex);
    EXPECT_EQ(record.resumed_during_wake, 0);
}

TEST(DriverTaskWake, RePollWokenFromAWorkerRunsOnThatWorkerAfterItsHandler) {
    auto runtime = Runtime::create(4);
    auto record = std::make_shared<Record>();
    spawn_driver(runtime->executor(), RecordingDriver{record}, [](int) {});
    ASSERT_TRUE(record->wait_for_resumes(1));
    expect_resumes_on_the_waking_worker(*runtime, *record, 1);

    // Woken from a thread of no runtime, the re-poll still runs, on a worker.
    Waker waker;
    {
        std::lock_guard lock(record->mutex);
        waker = std::exchange(record->waker, Waker());
    }
    waker.wake();
    ASSERT_TRUE(record->wait_for_resumes(kRounds + 2));
    {
        std::lock_guard lock(record->mutex);
        EXPECT_NE(record->resumed_on.back(), std::this_thread::get_id());
    }
    // The waker the last poll left owns the task, which owns the record: let go of it once the
    // workers have stopped.
    runtime->stop();
    std::lock_guard lock(record->mutex);
    record->waker = Waker();
}

// A wake from a host thread queues the re-poll, which allocates. When that allocation fails the
// wake must not throw (destructors wake), and the task is then ended rather than left scheduled
// for a run that never comes: later wakes do nothing.
TEST(DriverTaskWake, WakeThatFindsNoMemoryEndsTheTaskWithoutThrowing) {
    if (!test::FailingAllocation::available()) {
        GTEST_SKIP() << "the sanitizer's allocator cannot be made to fail";
    }
    auto runtime = Runtime::create(2);
    int refused_wakes = 0;
    bool refused = true;
    for (std::size_t fail_at = 1; refused && fail_at < 50; ++fail_at) {
        auto record = std::make_shared<Record>();
        auto task = spawn_driver(runtime->executor(), RecordingDriver{record}, [](int) {});
        ASSERT_TRUE(record->wait_for_resumes(1));
        ASSERT_TRUE(every_worker_is_free(*runtime));
        Waker waker;
        {
            std::lock_guard lock(record->mutex);
            waker = std::exchange(record->waker, Waker());
        }
        {
            test::FailingAllocation failing(fail_at);
            EXPECT_NO_THROW(waker.wake()) << "allocation " << fail_at;
            refused = failing.refused();
        }
        if (refused) {
            ++refused_wakes;
            // Ended: the driver, and with it its hold on the record, is released.
            ASSERT_TRUE(record->wait_for_resumes(1));
            waker.wake();
            EXPECT_TRUE(every_worker_is_free(*runtime));
            std::lock_guard lock(record->mutex);
            EXPECT_EQ(record->resumed_on.size(), 1u) << "allocation " << fail_at;
        } else {
            ASSERT_TRUE(record->wait_for_resumes(2)) << "allocation " << fail_at;
        }
        std::lock_guard lock(record->mutex);
        record->waker = Waker();
    }
    EXPECT_FALSE(refused) << "the wake still allocates after 50 counts";
    EXPECT_GT(refused_wakes, 0);
}

TEST(PollAwaitWake, CoroutineWokenFromAWorkerGoesOnOnThatWorkerAfterItsHandler) {
    auto runtime = Runtime::create(4);
    auto record = std::make_shared<Record>();
    runtime->spawn([](std::shared_ptr<Record> record) -> asio::awaitable<void> {
        for (int round = 0; round < kRounds; ++round) {
            bool polled = false;
            // Pending at its first poll, ready at the next.
            co_await poll_await([&](const Waker& waker) -> Poll<int> {
                if (polled) {
                    return 0;
                }
                polled = true;
                std::lock_guard lock(record->mutex);
                record->waker = waker;
                record->cv.notify_all();
                return std::nullopt;
            });
            record->resumed();
        }
    }(record));
    for (int round = 0; round < kRounds; ++round) {
        {
            // The coroutine has parked once it has left a fresh waker.
            std::unique_lock lock(record->mutex);
            ASSERT_TRUE(record->cv.wait_for(lock, 10s, [&] {
                return static_cast<bool>(record->waker) &&
                       record->resumed_on.size() == static_cast<std::size_t>(round);
            }));
        }
        // The coroutine has got from its poll to its suspension.
        ASSERT_TRUE(every_worker_is_free(*runtime)) << "round " << round;
        const std::thread::id waker_thread = wake_from_a_worker(*runtime, *record);
        ASSERT_TRUE(record->wait_for_resumes(round + 1));
        std::lock_guard lock(record->mutex);
        EXPECT_EQ(record->resumed_on[round], waker_thread) << "round " << round;
    }
    std::lock_guard lock(record->mutex);
    EXPECT_EQ(record->resumed_during_wake, 0);
}

// Wakes itself (twice: the second wake folds into the first) in each of its polls until its
// last, when it is ready with the number of polls.
struct SelfWakingDriver {
    int last_poll;
    std::shared_ptr<int> polls;
    Poll<int> poll(const Waker& waker) {
        if (++*polls == last_poll) {
            return *polls;
        }
        waker.wake();
        waker.wake();
        return std::nullopt;
    }
};

// A driver woken during its poll is polled again in the same run up to its polls per run; the
// re-poll after that waits behind work queued before it. With one poll per run (the default)
// every re-poll is queued.
TEST(DriverTaskRepoll, WokenDuringItsPollItIsPolledAgainInTheSameRunUpToTheLimit) {
    for (const int per_run : {1, 3, kPollsPerRun}) {
        SCOPED_TRACE(per_run);
        asio::io_context io;
        auto polls = std::make_shared<int>(0);
        std::optional<int> output;
        const int last_poll = 2 * per_run + 1;
        spawn_driver(
            io.get_executor(), SelfWakingDriver{last_poll, polls}, [&](int n) { output = n; },
            per_run);
        // Queued behind the first run; the re-poll that run queues comes after it.
        std::optional<int> polls_seen_by_other_work;
        asio::post(io, [&] { polls_seen_by_other_work = *polls; });

        ASSERT_EQ(io.run_one(), 1u);
        EXPECT_EQ(*polls, per_run);
        ASSERT_EQ(io.run_one(), 1u);
        EXPECT_EQ(polls_seen_by_other_work, per_run);
        ASSERT_EQ(io.run_one(), 1u);
        EXPECT_EQ(*polls, 2 * per_run);
        EXPECT_FALSE(output);
        ASSERT_EQ(io.run_one(), 1u);
        EXPECT_EQ(output, last_poll);
        // Ready at its last poll, the task queues nothing more.
        EXPECT_EQ(io.poll(), 0u);
        EXPECT_EQ(*polls, last_poll);
    }
}

}  // namespace
}  // namespace quorvel
