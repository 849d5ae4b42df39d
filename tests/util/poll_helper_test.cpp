#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "util/poll.h"

namespace quorvel {
namespace {

// A read that completes when the test says so, yielding as many slots as it was made with.
struct Gate {
    bool open = false;
    int made = 0;
    Waker waiting;
};

struct SlotsFuture {
    std::shared_ptr<Gate> gate;
    std::size_t slots;
    Poll<std::vector<int>> poll(const Waker& waker) {
        if (!gate->open) {
            gate->waiting = waker;
            return std::nullopt;
        }
        return std::vector<int>(slots, 0);
    }
};

struct MakeSlots {
    std::shared_ptr<Gate> gate;
    SlotsFuture operator()(std::size_t slots) const {
        ++gate->made;
        return SlotsFuture{gate, slots};
    }
};

TEST(PollHelper, CallWhileInFlightPollsTheInFlightOperationAndDropsItsArguments) {
    auto gate = std::make_shared<Gate>();
    PollHelper<SlotsFuture, MakeSlots> helper(MakeSlots{gate});
    Waker first([] {});
    Waker second([] {});

    EXPECT_FALSE(helper.poll(first, std::size_t{8}).has_value());
    EXPECT_TRUE(helper.in_flight());
    EXPECT_FALSE(helper.poll(second, std::size_t{16}).has_value());
    EXPECT_EQ(gate->made, 1);
    EXPECT_TRUE(gate->waiting.will_wake(second));  // the latest call's waker is registered

    gate->open = true;
    auto ready = helper.poll(second, std::size_t{16});
    ASSERT_TRUE(ready.has_value());
    EXPECT_EQ(ready->size(), 8u);  // the in-flight read's own slot count
    EXPECT_FALSE(helper.in_flight());

    ready = helper.poll(second, std::size_t{16});  // idle again: a fresh operation
    ASSERT_TRUE(ready.has_value());
    EXPECT_EQ(ready->size(), 16u);
    EXPECT_EQ(gate->made, 2);
}

TEST(Waker, TargetWakersCompareByTarget) {
    struct Target final : WakeTarget {
        mutable int wakes = 0;
        void wake() const override { ++wakes; }
    };
    auto target = std::make_shared<Target>();
    const Waker a(std::static_pointer_cast<const WakeTarget>(target));
    const Waker b(std::static_pointer_cast<const WakeTarget>(target));
    const Waker other([] {});
    EXPECT_TRUE(a.will_wake(b));
    EXPECT_FALSE(a.will_wake(other));
    a.wake();
    b.wake();
    EXPECT_EQ(target->wakes, 2);
}

}  // namespace
}  // namespace quorvel
