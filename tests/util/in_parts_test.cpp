// Work split into parts runs each part once, the first on the caller's thread, and returns only
// once every part has ended.
#include "util/in_parts.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace quorvel {
namespace {

TEST(InPartsTest, RunsEachPartOnceAndReturnsWhenAllHaveEnded) {
    for (const size_t parts : {1, 2, 3, 8}) {
        SCOPED_TRACE(parts);
        std::vector<std::atomic<int>> runs(parts);
        std::vector<std::thread::id> threads(parts);
        run_in_parts(parts, [&](size_t k) noexcept {
            // The last parts take longest: a return before they end would leave them uncounted.
            std::this_thread::sleep_for(std::chrono::milliseconds(k * 5));
            threads[k] = std::this_thread::get_id();
            runs[k].fetch_add(1);
        });
        for (size_t k = 0; k < parts; ++k) {
            EXPECT_EQ(runs[k].load(), 1) << k;
        }
        EXPECT_EQ(threads[0], std::this_thread::get_id());
    }
}

TEST(InPartsTest, SplitsOnlyWorkWorthAThread) {
    const struct {
        size_t amount;
        size_t least;
        size_t most;
        bool one;
    } cases[] = {
        {0, 256, 4, true},
        {255, 256, 4, true},
        {256, 256, 4, false},
        {1 << 20, 256, 1, true},
    };
    for (const auto& c : cases) {
        const size_t parts = parts_for(c.amount, c.least, c.most);
        EXPECT_GE(parts, 1u);
        EXPECT_LE(parts, c.most);
        if (c.one) {
            EXPECT_EQ(parts, 1u) << c.amount;
        } else {
            EXPECT_EQ(parts,
                      std::min<size_t>(c.most, std::max(1u, std::thread::hardware_concurrency())))
                << c.amount;
        }
    }
}

}  // namespace
}  // namespace quorvel
