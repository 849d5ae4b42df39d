#include "util/text_table.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

TEST(TextTableTest, PadsOnTheRightAndNeverCuts) {
    const struct {
        std::string_view text;
        size_t width;
        std::string expected;
    } cases[] = {
        {"IN", 4, "IN  "},         {"", 3, "   "}, {"ALLOW", 5, "ALLOW"},
        {"toolong", 3, "toolong"}, {"x", 0, "x"},
    };
    for (const auto& c : cases) {
        std::string out = ">";
        append_padded(out, c.text, c.width);
        EXPECT_EQ(out, ">" + c.expected) << c.text;
    }
}

TEST(TextTableTest, LinesSeparateCellsByOneSpaceAndKeepTrailingFill) {
    std::string out;
    append_table_line(out, {{"a", 3}, {"bb", 2}, {"c", 4}});
    append_table_line(out, {{"wider", 3}, {"x", 2}, {"", 4}});
    EXPECT_EQ(out,
              "a   bb c   \n"
              "wider x      \n");
}

}  // namespace
}  // namespace quorvel
