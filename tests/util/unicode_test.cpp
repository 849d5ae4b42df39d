#include "util/unicode.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

TEST(UnicodeTest, LowerCasesLikeTheRootLocale) {
    struct Case {
        const char* text;
        const char* lower;
    };
    const Case cases[] = {
        {"", ""},
        {"Web-01", "web-01"},
        {"ABC xyz_.", "abc xyz_."},
        {"ÄÖÜ", "äöü"},
        // Kelvin sign becomes a plain k.
        {"\xe2\x84\xaa", "k"},
        // Capital I with dot above becomes i and a combining dot: one character grows to two.
        {"\xc4\xb0", "i\xcc\x87"},
        {"ΣΑΣ", "σας"},
        // Invalid UTF-8 turns into the replacement character.
        {"A\xff", "a\xef\xbf\xbd"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(unicode_to_lower(c.text), c.lower) << c.text;
    }
}

}  // namespace
}  // namespace quorvel
