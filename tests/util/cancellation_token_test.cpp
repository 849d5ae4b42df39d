#include "util/cancellation_token.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace quorvel {
namespace {

TEST(CancellationTokenTest, CopiesShareStateAndCallbacksRunOnce) {
    CancellationToken token;
    CancellationToken copy = token;
    int calls = 0;
    auto reg = token.on_cancel([&] { ++calls; });
    EXPECT_FALSE(copy.is_cancelled());
    copy.cancel();
    copy.cancel();
    EXPECT_TRUE(token.is_cancelled());
    EXPECT_EQ(calls, 1);
    int late = 0;
    auto late_reg = token.on_cancel([&] { ++late; });
    EXPECT_EQ(late, 1);
}

TEST(CancellationTokenTest, DroppedRegistrationDoesNotRun) {
    CancellationToken token;
    int calls = 0;
    {
        auto reg = token.on_cancel([&] { ++calls; });
    }
    token.cancel();
    EXPECT_EQ(calls, 0);
}

TEST(CancellationTokenTest, ChildFollowsParentOnly) {
    CancellationToken parent;
    auto child = parent.child_token();
    auto other = parent.child_token();
    child.cancel();
    EXPECT_FALSE(parent.is_cancelled());
    EXPECT_FALSE(other.is_cancelled());
    parent.cancel();
    EXPECT_TRUE(other.is_cancelled());
}

TEST(CancellationTokenTest, ConcurrentCancelAndRegisterRunEachCallbackOnce) {
    for (int round = 0; round < 50; ++round) {
        CancellationToken token;
        std::atomic<int> calls{0};
        std::vector<CancellationToken::Registration> regs(8);
        std::vector<std::thread> threads;
        for (int i = 0; i < 8; ++i) {
            threads.emplace_back([&, i] { regs[i] = token.on_cancel([&] { ++calls; }); });
        }
        threads.emplace_back([&] { token.cancel(); });
        for (auto& t : threads) {
            t.join();
        }
        EXPECT_EQ(calls.load(), 8);
    }
}

}  // namespace
}  // namespace quorvel
