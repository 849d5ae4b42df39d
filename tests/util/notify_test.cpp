#include "util/notify.h"

#include "util/async_test_util.h"
#include "util/runtime.h"

#include <gtest/gtest.h>

#include <boost/asio/experimental/awaitable_operators.hpp>

#include <atomic>

namespace quorvel {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using namespace boost::asio::experimental::awaitable_operators;
using testing::eventually;
using testing::sleep_for;

TEST(NotifyTest, NewNotifyHasNoWaiterAndNoPermit) {
    Notify notify;
    EXPECT_EQ(notify.waiters(), 0u);
    EXPECT_FALSE(notify.has_permit());
}

TEST(NotifyTest, NotifyOneWithoutWaiterStoresOnePermit) {
    auto runtime = Runtime::create(1);
    Notify notify;
    notify.notify_one();
    notify.notify_one();
    EXPECT_TRUE(notify.has_permit());
    EXPECT_TRUE(runtime->block_on(notify.notified()).has_value());
    EXPECT_FALSE(notify.has_permit());
}

TEST(NotifyTest, NotifyWaitersWakesAllAndStoresNothing) {
    auto runtime = Runtime::create(2);
    Notify notify;
    std::atomic<int> woken{0};
    for (int i = 0; i < 3; ++i) {
        runtime->spawn([](Notify* notify, std::atomic<int>* woken) -> asio::awaitable<void> {
            co_await notify->notified();
            ++*woken;
        }(&notify, &woken));
    }
    ASSERT_TRUE(eventually([&] { return notify.waiters() == 3; }));
    notify.notify_waiters();
    EXPECT_TRUE(eventually([&] { return woken == 3; }));
    EXPECT_FALSE(notify.has_permit());
}

TEST(NotifyTest, CancelledWaiterDoesNotSwallowANotification) {
    auto runtime = Runtime::create(2);
    Notify notify;
    auto gave_up = runtime->block_on([&notify]() -> asio::awaitable<bool> {
        auto outcome = co_await (notify.notified() || sleep_for(10ms));
        co_return outcome.index() == 1;
    }());
    ASSERT_TRUE(gave_up.has_value());
    EXPECT_TRUE(*gave_up);
    EXPECT_EQ(notify.waiters(), 0u);
    notify.notify_one();
    EXPECT_TRUE(runtime->block_on(notify.notified()).has_value());
}

}  // namespace
}  // namespace quorvel
