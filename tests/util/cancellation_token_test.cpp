#include "util/cancellation_token.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
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

// Callbacks that throw, wherever they stand among the others: every callback runs once (children
// are cancelled too) and the first exception thrown reaches the canceller.
TEST(CancellationTokenTest, EveryCallbackRunsWhenSomeThrow) {
    struct Case {
        const char* name;
        std::vector<const char*> throwers;  // per callback, in order: what it throws, or null
        std::string reported;
    };
    const std::vector<Case> cases = {
        {"first throws", {"a", nullptr, nullptr}, "a"},
        {"middle throws", {nullptr, "b", nullptr}, "b"},
        {"last throws", {nullptr, nullptr, "c"}, "c"},
        {"two throw", {"d", nullptr, "e"}, "d"},
    };
    for (const auto& c : cases) {
        CancellationToken token;
        CancellationToken child = token.child_token();
        std::vector<int> runs(c.throwers.size(), 0);
        std::vector<CancellationToken::Registration> registrations;
        for (std::size_t i = 0; i < c.throwers.size(); ++i) {
            registrations.push_back(token.on_cancel([&runs, i, what = c.throwers[i]] {
                ++runs[i];
                if (what != nullptr) {
                    throw std::runtime_error(what);
                }
            }));
        }
        std::string reported;
        try {
            token.cancel();
        } catch (const std::runtime_error& error) {
            reported = error.what();
        }
        EXPECT_EQ(reported, c.reported) << c.name;
        EXPECT_EQ(runs, std::vector<int>(c.throwers.size(), 1)) << c.name;
        EXPECT_TRUE(child.is_cancelled()) << c.name;
        EXPECT_NO_THROW(token.cancel()) << c.name;  // nothing runs twice
    }
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
