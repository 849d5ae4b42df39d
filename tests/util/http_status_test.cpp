#include "util/http_status.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

TEST(HttpStatusTest, TextForms) {
    struct Case {
        uint16_t code;
        const char* text;
    };
    const Case cases[] = {
        {200, "200 OK"},
        {203, "203 Non Authoritative Information"},
        {401, "401 Unauthorized"},
        {404, "404 Not Found"},
        {418, "418 I'm a teapot"},
        {425, "425 Too Early"},
        {500, "500 Internal Server Error"},
        {511, "511 Network Authentication Required"},
        {299, "299 <unknown status code>"},
        {599, "599 <unknown status code>"},
        {999, "999 <unknown status code>"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(http_status_text(c.code), c.text);
    }
    EXPECT_EQ(http_reason_phrase(304), "Not Modified");
    EXPECT_EQ(http_reason_phrase(499), std::nullopt);
}

TEST(HttpStatusTest, SuccessRange) {
    EXPECT_FALSE(http_status_is_success(199));
    EXPECT_TRUE(http_status_is_success(200));
    EXPECT_TRUE(http_status_is_success(299));
    EXPECT_FALSE(http_status_is_success(300));
}

}  // namespace
}  // namespace quorvel
