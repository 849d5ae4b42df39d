#include "util/io_error.h"

#include <cerrno>

#include <gtest/gtest.h>

namespace quorvel {
namespace {

TEST(IoErrorTest, DisplayForms) {
    EXPECT_EQ(IoError::from_errno(ENOENT).to_string(), "No such file or directory (os error 2)");
    EXPECT_EQ(IoError::from_errno(EISDIR).to_string(), "Is a directory (os error 21)");
    EXPECT_EQ(IoError::from_errno(EACCES).os_code(), EACCES);
    EXPECT_EQ(IoError::invalid_utf8().to_string(), "stream did not contain valid UTF-8");
    EXPECT_EQ(IoError::invalid_utf8().os_code(), std::nullopt);
    EXPECT_EQ(fmt::format("{}", IoError::other("x")), "x");
}

}  // namespace
}  // namespace quorvel
