#include "util/uuid.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

TEST(UuidTest, ReadsTheTextForms) {
    const char* forms[] = {
        "67e55044-10b1-426f-9247-bb680e5fe0c8",
        "67E55044-10B1-426F-9247-BB680E5FE0C8",
        "67e5504410b1426f9247bb680e5fe0c8",
        "{67e55044-10b1-426f-9247-bb680e5fe0c8}",
    };
    for (const char* text : forms) {
        auto id = parse_uuid(text);
        ASSERT_TRUE(id) << text;
        EXPECT_EQ(uuid_to_string(*id), "67e55044-10b1-426f-9247-bb680e5fe0c8") << text;
    }
}

TEST(UuidTest, ReportsFailuresWithThePrefix) {
    const char* bad[] = {"", "67e55044", "67e55044-10b1-426f-9247-bb680e5fe0cz",
                         "67e55044-10b1-426f-9247-bb680e5fe0c8aa", "not a uuid"};
    for (const char* text : bad) {
        auto id = parse_uuid(text);
        ASSERT_FALSE(id) << text;
        EXPECT_EQ(id.error().rfind("UUID parsing failed: ", 0), 0u) << id.error();
        EXPECT_GT(id.error().size(), std::string_view("UUID parsing failed: ").size());
    }
}

}  // namespace
}  // namespace quorvel
