#include "util/channel.h"

#include "support/failing_allocation.h"
#include "util/async_test_util.h"
#include "util/runtime.h"

#include <gtest/gtest.h>

#include <boost/asio/experimental/awaitable_operators.hpp>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace quorvel {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using namespace boost::asio::experimental::awaitable_operators;
using testing::sleep_for;

TEST(UnboundedChannelTest, DeliversInOrderAndEndsWhenSendersAreGone) {
    auto runtime = Runtime::create(2);
    auto [tx, rx] = unbounded_channel<int>();
    auto tx2 = tx;
    ASSERT_TRUE(tx.send(1).has_value());
    ASSERT_TRUE(tx2.send(2).has_value());
    { auto dropped = std::move(tx); }
    ASSERT_TRUE(tx2.send(3).has_value());
    tx2 = UnboundedSender<int>();
    auto received = runtime->block_on([&rx]() -> asio::awaitable<std::vector<int>> {
        std::vector<int> values;
        while (auto value = co_await rx.recv()) {
            values.push_back(*value);
        }
        co_return values;
    }());
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(*received, (std::vector<int>{1, 2, 3}));
    auto again = rx.try_recv();
    ASSERT_FALSE(again.has_value());
    EXPECT_EQ(again.error(), TryRecvError::Disconnected);
}

TEST(UnboundedChannelTest, SendFailsWithTheValueOnceTheReceiverIsGone) {
    auto [tx, rx] = unbounded_channel<std::unique_ptr<std::string>>();
    EXPECT_FALSE(tx.is_closed());
    { auto gone = std::move(rx); }
    EXPECT_TRUE(tx.is_closed());
    auto result = tx.send(std::make_unique<std::string>("back"));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(*result.error().value, "back");
}

TEST(UnboundedChannelTest, ParkedReceiverWakesOnSendFromAHostThread) {
    auto runtime = Runtime::create(2);
    auto [tx, rx] = unbounded_channel<std::string>();
    std::thread sender([tx = tx] {
        std::this_thread::sleep_for(30ms);
        (void)tx.send("from host");
    });
    auto value = runtime->block_on(rx.recv());
    sender.join();
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->value_or(""), "from host");
}

// The last sender dropped on a host thread whose allocation fails: waking the parked receiver
// may find no memory, and a destructor must not throw for it. Whatever count fails, the process
// goes on and the receive ends, either with its end-of-stream or with its coroutine unwound.
TEST(UnboundedChannelTest, DroppingTheLastSenderWithoutMemoryEndsTheReceiveNotTheProcess) {
    if (!test::FailingAllocation::available()) {
        GTEST_SKIP() << "the sanitizer's allocator cannot be made to fail";
    }
    auto runtime = Runtime::create(2);
    bool refused = true;
    int refused_while_parked = 0;
    for (std::size_t fail_at = 1; refused && fail_at < 100; ++fail_at) {
        auto [tx, rx] = unbounded_channel<int>();
        struct Ended {
            std::shared_ptr<std::atomic<int>> ends = std::make_shared<std::atomic<int>>(0);
            ~Ended() { ends->fetch_add(1); }
        };
        auto ends = std::make_shared<std::atomic<int>>(0);
        auto parked = std::make_shared<std::atomic<bool>>(false);
        runtime->spawn([](UnboundedReceiver<int> rx, std::shared_ptr<std::atomic<int>> ends,
                          std::shared_ptr<std::atomic<bool>> parked) -> asio::awaitable<void> {
            Ended ended{ends};
            parked->store(true);
            auto value = co_await rx.recv();
            EXPECT_FALSE(value.has_value());
        }(std::move(rx), ends, parked));
        ASSERT_TRUE(testing::eventually([&] { return parked->load(); }));
        std::this_thread::sleep_for(5ms);  // into the receive's wait, most often
        {
            test::FailingAllocation failing(fail_at);
            { auto dropped = std::move(tx); }
            refused = failing.refused();
        }
        ASSERT_TRUE(testing::eventually([&] { return ends->load() == 1; }))
            << "allocation " << fail_at << ": the receive neither ended nor was unwound";
        refused_while_parked += refused ? 1 : 0;
    }
    EXPECT_FALSE(refused) << "the drop still allocates after 100 counts";
    EXPECT_GT(refused_while_parked, 0);
}

// A receive abandoned by a select must not swallow a value that arrives later.
TEST(UnboundedChannelTest, CancelledReceiveLosesNothing) {
    auto runtime = Runtime::create(2);
    auto [tx, rx] = unbounded_channel<int>();
    auto first = runtime->block_on([&rx]() -> asio::awaitable<int> {
        auto outcome = co_await (rx.recv() || sleep_for(10ms));
        co_return static_cast<int>(outcome.index());
    }());
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(*first, 1);
    ASSERT_TRUE(tx.send(42).has_value());
    auto value = runtime->block_on(rx.recv());
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->value_or(0), 42);
}

TEST(UnboundedChannelTest, ManyProducersOneConsumer) {
    auto runtime = Runtime::create(4);
    auto [tx, rx] = unbounded_channel<int>();
    constexpr int kProducers = 8;
    constexpr int kEach = 500;
    for (int p = 0; p < kProducers; ++p) {
        runtime->spawn([](UnboundedSender<int> tx) -> asio::awaitable<void> {
            for (int i = 0; i < kEach; ++i) {
                (void)tx.send(1);
                if (i % 50 == 0) {
                    co_await sleep_for(0ms);
                }
            }
        }(tx));
    }
    tx = UnboundedSender<int>();
    auto total = runtime->block_on([&rx]() -> asio::awaitable<long> {
        long sum = 0;
        while (auto value = co_await rx.recv()) {
            sum += *value;
        }
        co_return sum;
    }());
    ASSERT_TRUE(total.has_value());
    EXPECT_EQ(*total, kProducers * kEach);
}

TEST(OneshotChannelTest, CarriesOneValue) {
    auto runtime = Runtime::create(2);
    auto [tx, rx] = oneshot_channel<std::string>();
    std::thread sender([tx = std::move(tx)]() mutable {
        std::this_thread::sleep_for(20ms);
        ASSERT_TRUE(std::move(tx).send("stop").has_value());
    });
    auto value = runtime->block_on(rx.recv());
    sender.join();
    ASSERT_TRUE(value.has_value());
    ASSERT_TRUE(value->has_value());
    EXPECT_EQ(**value, "stop");
}

TEST(OneshotChannelTest, DroppedSenderClosesAndDroppedReceiverRefuses) {
    auto runtime = Runtime::create(1);
    {
        auto [tx, rx] = oneshot_channel<int>();
        auto empty = rx.try_recv();
        ASSERT_FALSE(empty.has_value());
        EXPECT_EQ(empty.error(), TryRecvError::Empty);
        { auto gone = std::move(tx); }
        auto value = runtime->block_on(rx.recv());
        ASSERT_TRUE(value.has_value());
        ASSERT_FALSE(value->has_value());
        EXPECT_EQ(value->error(), OneshotRecvError::Closed);
    }
    {
        auto [tx, rx] = oneshot_channel<int>();
        { auto gone = std::move(rx); }
        EXPECT_TRUE(tx.is_closed());
        auto sent = std::move(tx).send(5);
        ASSERT_FALSE(sent.has_value());
        EXPECT_EQ(sent.error().value, 5);
    }
}

struct Tracked {
    std::shared_ptr<int> marker;
};

// Releasing the runtime while a receiver is parked destroys the receiver's task; the channel
// itself may outlive the runtime.
TEST(UnboundedChannelTest, ChannelOutlivesARuntimeWithAParkedReceiver) {
    auto [tx, rx] = unbounded_channel<Tracked>();
    auto marker = std::make_shared<int>(1);
    std::atomic<bool> parked{false};
    {
        auto runtime = Runtime::create(2);
        runtime->spawn(
            [](UnboundedReceiver<Tracked> rx, std::atomic<bool>* parked) -> asio::awaitable<void> {
                *parked = true;
                (void)co_await rx.recv();
            }(std::move(rx), &parked));
        ASSERT_TRUE(testing::eventually([&] { return parked.load(); }));
        std::this_thread::sleep_for(10ms);
    }
    // The receiver went with its task.
    EXPECT_TRUE(tx.is_closed());
    EXPECT_FALSE(tx.send(Tracked{marker}).has_value());
    EXPECT_EQ(marker.use_count(), 1);
}

// Each task waits on one channel and holds the only sender of the other. Releasing the runtime
// destroys both tasks; the first to go drops its sender and so wakes the other's abandoned wait,
// which must not reach into the channel service that is shutting down.
TEST(UnboundedChannelTest, TasksDestroyedWithTheRuntimeWakeEachOther) {
    auto [tx_a, rx_a] = unbounded_channel<int>();
    auto [tx_b, rx_b] = unbounded_channel<int>();
    std::atomic<int> parked{0};
    auto waiter = [](UnboundedReceiver<int> rx, UnboundedSender<int> other,
                     std::atomic<int>* parked) -> asio::awaitable<void> {
        ++*parked;
        (void)co_await rx.recv();
        (void)other.send(1);
    };
    {
        auto runtime = Runtime::create(2);
        runtime->spawn(waiter(std::move(rx_a), std::move(tx_b), &parked));
        runtime->spawn(waiter(std::move(rx_b), std::move(tx_a), &parked));
        ASSERT_TRUE(testing::eventually([&] { return parked.load() == 2; }));
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(parked.load(), 2);
}

}  // namespace
}  // namespace quorvel
