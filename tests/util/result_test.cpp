#include "util/result.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace quorvel {
namespace {

Result<int, std::string> half(int v) {
    if (v % 2 != 0) {
        return unexpected(std::string("odd"));
    }
    return v / 2;
}

TEST(ResultTest, ValueAndErrorPaths) {
    auto ok = half(4);
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ(*ok, 2);
    auto err = half(3);
    ASSERT_FALSE(err);
    EXPECT_EQ(err.error(), "odd");
    EXPECT_EQ(err.value_or(-1), -1);
    EXPECT_THROW((void)err.value(), BadResultAccess);
}

TEST(ResultTest, SameValueAndErrorTypeStayDistinct) {
    Result<std::string, std::string> value = std::string("v");
    Result<std::string, std::string> error = unexpected(std::string("e"));
    EXPECT_TRUE(value.has_value());
    EXPECT_FALSE(error.has_value());
    EXPECT_EQ(error.error(), "e");
}

TEST(ResultTest, MoveOnlyValuesAndVoid) {
    Result<std::unique_ptr<int>, int> p = std::make_unique<int>(7);
    auto owned = std::move(p).value();
    EXPECT_EQ(*owned, 7);
    Result<void, std::string> done;
    EXPECT_TRUE(done);
    Result<void, std::string> failed = unexpected(std::string("no"));
    EXPECT_EQ(failed.error(), "no");
}

}  // namespace
}  // namespace quorvel
