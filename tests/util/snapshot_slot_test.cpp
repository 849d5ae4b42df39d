#include "util/snapshot_slot.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace quorvel {
namespace {

// Each version holds its number in every element, so a torn or freed version shows as a mix.
struct Version {
    explicit Version(int n) : values(64, n) {}
    std::vector<int> values;
};

TEST(SnapshotSlotTest, LoadSeesTheLastStoreAndOldVersionsLiveWhileHeld) {
    SnapshotSlot<Version> slot(std::make_shared<const Version>(1));
    auto first = slot.load();
    EXPECT_EQ(first->values[0], 1);

    std::weak_ptr<const Version> watch = first;
    slot.store(std::make_shared<const Version>(2));
    EXPECT_EQ(slot.load()->values[0], 2);
    EXPECT_EQ(first->values[0], 1);
    EXPECT_FALSE(watch.expired());
    first.reset();
    EXPECT_TRUE(watch.expired());

    auto old = slot.exchange(std::make_shared<const Version>(3));
    EXPECT_EQ(old->values[0], 2);
    EXPECT_EQ(slot.load()->values[0], 3);
}

TEST(SnapshotSlotTest, ReadersSeeWholeVersionsInOrderWhileAWriterReplacesThem) {
    constexpr int kVersions = 2000;
    SnapshotSlot<Version> slot(std::make_shared<const Version>(0));
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::atomic<int> started{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < 4; ++r) {
        readers.emplace_back([&] {
            int last = 0;
            started.fetch_add(1);
            while (!done.load(std::memory_order_relaxed)) {
                auto v = slot.load();
                const int n = v->values.front();
                for (int x : v->values) {
                    if (x != n) {
                        failures.fetch_add(1);
                    }
                }
                if (n < last) {
                    failures.fetch_add(1);
                }
                last = n;
            }
        });
    }
    while (started.load() < 4) {
        std::this_thread::yield();
    }
    for (int n = 1; n <= kVersions; ++n) {
        slot.store(std::make_shared<const Version>(n));
    }
    done.store(true);
    for (auto& t : readers) {
        t.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(slot.load()->values.back(), kVersions);
}

}  // namespace
}  // namespace quorvel
