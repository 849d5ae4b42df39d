#include "util/unicode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

TEST(UnicodeTest, SplitsAtWhiteSpace) {
    struct Case {
        std::string text;
        std::vector<std::string> pieces;
    };
    const Case cases[] = {
        {"", {}},
        {" \t\n\r\v\f", {}},
        {"a", {"a"}},
        {"  a  b\tc\n", {"a", "b", "c"}},
        // NEL, NO-BREAK SPACE, OGHAM SPACE MARK, EN QUAD, LINE SEPARATOR, IDEOGRAPHIC SPACE.
        {"a\u0085b\u00a0c\u1680d\u2000e\u2028f\u3000g", {"a", "b", "c", "d", "e", "f", "g"}},
        // Not White_Space: ZERO WIDTH SPACE, MONGOLIAN VOWEL SEPARATOR, BYTE ORDER MARK.
        {"a\u200bb\u180ec\ufeffd", {"a\u200bb\u180ec\ufeffd"}},
        {"\u00e9t\u00e9 \u4e2d", {"\u00e9t\u00e9", "\u4e2d"}},
        // Ill-formed bytes stay inside their piece.
        {"a\xff b\xe3\x80", {"a\xff", "b\xe3\x80"}},
    };
    for (const auto& c : cases) {
        auto pieces = split_unicode_white_space(c.text);
        EXPECT_EQ(std::vector<std::string>(pieces.begin(), pieces.end()), c.pieces) << c.text;
    }
}

}  // namespace
}  // namespace quorvel
