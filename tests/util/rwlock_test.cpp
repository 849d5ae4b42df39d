#include "util/rwlock.h"

#include "util/async_test_util.h"
#include "util/runtime.h"

#include <gtest/gtest.h>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quorvel {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using namespace boost::asio::experimental::awaitable_operators;

using testing::eventually;
using testing::sleep_for;

TEST(RwLockTest, ReadersShareWritersExclude) {
    auto runtime = Runtime::create(2);
    RwLock<int> lock(7);
    auto result = runtime->block_on([&]() -> asio::awaitable<void> {
        auto r1 = co_await lock.read();
        auto r2 = co_await lock.read();
        EXPECT_EQ(*r1 + *r2, 14);
        EXPECT_EQ(lock.active_readers(), 2u);
        EXPECT_FALSE(lock.try_write().has_value());
        r1.unlock();
        r2.unlock();
        auto w = co_await lock.write();
        *w = 9;
        EXPECT_FALSE(lock.try_read().has_value());
    }());
    ASSERT_TRUE(result.has_value());
    auto r = lock.try_read();
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(**r, 9);
}

// A writer that waits holds back readers that come after it; the queue is served in order.
TEST(RwLockTest, WaitingWriterHoldsBackLaterReaders) {
    auto runtime = Runtime::create(4);
    RwLock<std::vector<std::string>> lock;
    auto first_reader = lock.try_read();
    ASSERT_TRUE(first_reader.has_value());

    std::atomic<bool> writer_done{false};
    runtime->spawn([](RwLock<std::vector<std::string>>* lock,
                      std::atomic<bool>* done) -> asio::awaitable<void> {
        auto w = co_await lock->write();
        w->push_back("writer");
        *done = true;
    }(&lock, &writer_done));
    // Once the writer has queued up behind the reader, a new reader must not overtake it. A
    // reader that comes before the writer has queued may take the lock, and lets it go at once.
    EXPECT_TRUE(eventually([&] { return !lock.try_read().has_value(); }))
        << "a new reader overtook the waiting writer";

    std::atomic<bool> late_reader_done{false};
    runtime->spawn([](RwLock<std::vector<std::string>>* lock,
                      std::atomic<bool>* done) -> asio::awaitable<void> {
        auto r = co_await lock->read();
        EXPECT_EQ(r->size(), 1u) << "late reader ran before the writer";
        *done = true;
    }(&lock, &late_reader_done));
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(writer_done);
    EXPECT_FALSE(late_reader_done);

    first_reader->unlock();
    EXPECT_TRUE(eventually([&] { return writer_done && late_reader_done; }));
}

TEST(RwLockTest, CancelledWaiterLeavesTheQueue) {
    auto runtime = Runtime::create(2);
    RwLock<int> lock(0);
    auto reader = lock.try_read();
    ASSERT_TRUE(reader.has_value());
    // A writer that gives up after 20 ms must not keep holding back readers.
    auto gave_up = runtime->block_on([&]() -> asio::awaitable<bool> {
        auto outcome = co_await (lock.write() || sleep_for(20ms));
        co_return outcome.index() == 1;
    }());
    ASSERT_TRUE(gave_up.has_value());
    EXPECT_TRUE(*gave_up);
    EXPECT_TRUE(lock.try_read().has_value());
    reader->unlock();
    EXPECT_TRUE(lock.try_write().has_value());
}

TEST(RwLockTest, GuardOutlivesTheLockObject) {
    std::optional<RwLock<std::string>::WriteGuard> guard;
    {
        RwLock<std::string> lock("kept");
        guard = lock.try_write();
    }
    ASSERT_TRUE(guard.has_value());
    EXPECT_EQ(**guard, "kept");
}

// Many tasks on many workers: the writer's updates are never seen half done.
TEST(RwLockTest, ConcurrentReadersAndWritersKeepTheInvariant) {
    auto runtime = Runtime::create(4);
    struct Pair {
        long a = 0;
        long b = 0;
    };
    RwLock<Pair> lock;
    std::atomic<int> finished{0};
    std::atomic<int> torn{0};
    constexpr int kWriters = 8;
    constexpr int kReaders = 8;
    constexpr int kRounds = 200;
    for (int i = 0; i < kWriters; ++i) {
        runtime->spawn([](RwLock<Pair>* lock, std::atomic<int>* finished) -> asio::awaitable<void> {
            for (int n = 0; n < kRounds; ++n) {
                auto w = co_await lock->write();
                w->a += 1;
                co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
                w->b += 1;
            }
            ++*finished;
        }(&lock, &finished));
    }
    for (int i = 0; i < kReaders; ++i) {
        runtime->spawn([](RwLock<Pair>* lock, std::atomic<int>* finished,
                          std::atomic<int>* torn) -> asio::awaitable<void> {
            for (int n = 0; n < kRounds; ++n) {
                auto r = co_await lock->read();
                if (r->a != r->b) {
                    ++*torn;
                }
            }
            ++*finished;
        }(&lock, &finished, &torn));
    }
    ASSERT_TRUE(eventually([&] { return finished == kWriters + kReaders; }));
    EXPECT_EQ(torn, 0);
    auto r = lock.try_read();
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ((*r)->a, kWriters * kRounds);
    EXPECT_EQ((*r)->b, kWriters * kRounds);
}

}  // namespace
}  // namespace quorvel
