// The search behind the known secrets: the canonical view reads back what encoders write and
// points each of its bytes at the text it came from; the index finds exactly what a plain search
// for each of its texts finds, whatever they repeat and however many share their bytes.
#include "util/secret_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace quorvel::secrets {
namespace {

TEST(CanonicalViewTest, ReadsBackWhatEncodersWrite) {
    const std::string r(1, kReplacement);
    const struct {
        std::string text;
        std::string canonical;
    } cases[] = {
        {"plain text", "plain text"},
        // Percent-escapes in either case of hex; a "%" that starts none stands for itself.
        {"a%2Fb%2fc%5cd%5C", "a/b/cd"},
        {"100% sure %4 %zz %", "100% sure %4 %zz %"},
        {"a+b%2Bc", "a b c"},
        // JSON's and the debug form's escapes, escaped any number of times over.
        {R"(\"q\" \\ \/ \n\r\t\0\b\f)", std::string("\"q\"  / \n\r\t") + '\0' + "\b\f"},
        {R"(\\\"x\\\\\\\"y)", "\"x\"y"},
        {R"(\u00e9 \u00E9 \u{e9} \\u00e9)", "\xc3\xa9 \xc3\xa9 \xc3\xa9 \xc3\xa9"},
        {R"(\ud83d\ude00 \uD83D\\uDE00)", "\xf0\x9f\x98\x80 \xf0\x9f\x98\x80"},
        {R"(\x{ff}\x{41})", r + "A"},
        {R"(\u12 \u{} \x{zz} \q)", "u12 u{} x{zz} q"},
        {"trailing\\\\", "trailing"},
        // Percent-encoded escapes read as the escapes they encode.
        {"%5C%22x%5c%5Cu00e9", "\"x\xc3\xa9"},
        // Bytes that are not UTF-8 and U+FFFD read as one replacement per run.
        {"a\xff\xfe"
         "b\xef\xbf\xbd\xef\xbf\xbd"
         "c\xed\xa0\x80"
         "d",
         "a" + r + "b" + r + "c" + r + "d"},
        {"a%FF%fe\xef\xbf\xbd"
         "b",
         "a" + r + "b"},
        {R"(\ud800x)", r + "x"},  // a lone surrogate
        {"caf\xc3\xa9", "caf\xc3\xa9"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(canonical(c.text), c.canonical) << c.text;
    }
}

TEST(CanonicalViewTest, EachByteNamesTheStretchItCameFrom) {
    const std::string text = "a%41\\\"b\\u00e9\xff\xfe+";
    const CanonicalView view = canonical_view(text);
    ASSERT_EQ(view.bytes, "aA\"b\xc3\xa9" + std::string(1, kReplacement) + " ");
    const std::vector<std::pair<uint32_t, uint32_t>> expected = {
        {0, 1}, {1, 4}, {4, 6}, {6, 7}, {7, 13}, {7, 13}, {13, 15}, {15, 16}};
    ASSERT_EQ(view.from.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(view.from[i], expected[i].first) << i;
        EXPECT_EQ(view.to[i], expected[i].second) << i;
    }
    // A long run of backslashes reaches only its last ones.
    const CanonicalView run = canonical_view(std::string(100, '\\') + "n");
    ASSERT_EQ(run.bytes, "\n");
    EXPECT_EQ(run.to[0] - run.from[0], 9u);
}

TEST(CanonicalViewTest, TellsWhichTextsMayDiffer) {
    for (const std::string text : {"a%b", "a+b", "a\\b", "caf\xc3\xa9", "\xff"}) {
        EXPECT_TRUE(may_differ_from_canonical(text)) << text;
    }
    EXPECT_FALSE(may_differ_from_canonical("GET /api/v1 200 ok: {\"a\":1}"));
}

// Every occurrence a plain search finds at each position, for each text.
std::set<std::pair<size_t, size_t>> plain_search(const std::vector<std::string>& patterns,
                                                 std::string_view text) {
    std::set<std::pair<size_t, size_t>> found;
    for (const std::string& p : patterns) {
        for (size_t at = text.find(p); at != std::string_view::npos; at = text.find(p, at + 1)) {
            found.emplace(at, at + p.size());
        }
    }
    return found;
}

std::set<std::pair<size_t, size_t>> indexed_search(const PatternIndex& index,
                                                   std::string_view text) {
    std::vector<std::pair<size_t, size_t>> found;
    index.find(text, found);
    return {found.begin(), found.end()};
}

size_t plain_unfinished(const std::vector<std::string>& patterns, std::string_view text) {
    for (size_t t = 0; t < text.size(); ++t) {
        for (const std::string& p : patterns) {
            if (p.size() > text.size() - t && p.starts_with(text.substr(t))) {
                return t;
            }
        }
    }
    return text.size();
}

// Random texts over few letters, so that texts share many of their four-byte pieces, repeat
// themselves and overlap; some long enough to be checked by their failure function, some as
// short as the index takes. The index finds exactly what a plain search does.
TEST(PatternIndexTest, FindsWhatAPlainSearchFinds) {
    std::mt19937 random(20261208);
    auto word = [&](size_t length, int letters) {
        std::string out;
        for (size_t i = 0; i < length; ++i) {
            out.push_back(static_cast<char>('a' + random() % letters));
        }
        return out;
    };
    for (int round = 0; round < 300; ++round) {
        const int letters = 2 + round % 3;
        std::set<std::string> unique;
        const size_t count = 1 + random() % (round % 10 == 0 ? 200 : 8);
        while (unique.size() < count) {
            const size_t length = round % 4 == 0 ? 4 + random() % 80 : 4 + random() % 12;
            unique.insert(word(length, letters));
        }
        const std::vector<std::string> patterns(unique.begin(), unique.end());
        std::vector<std::string_view> views(patterns.begin(), patterns.end());
        const PatternIndex index(views);
        for (int t = 0; t < 5; ++t) {
            std::string text = word(random() % 300, letters);
            // Plant some texts whole, some cut short at the end.
            for (int k = 0; k < 3; ++k) {
                const std::string& p = patterns[random() % patterns.size()];
                text.insert(random() % (text.size() + 1), p);
            }
            text += patterns[random() % patterns.size()].substr(0, 1 + random() % 3);
            ASSERT_EQ(indexed_search(index, text), plain_search(patterns, text))
                << "round " << round << ": " << text;
            ASSERT_EQ(index.unfinished_at_end(text), plain_unfinished(patterns, text))
                << "round " << round << ": " << text;
        }
    }
}

TEST(PatternIndexTest, HoldsLongSelfRepeatingTextsAndSharedStarts) {
    std::vector<std::string> patterns = {std::string(64 * 1024, 'a') + "b",
                                         std::string(40 * 1024, 'a') + "!b", "abab", "bababa"};
    // Many texts that share their first bytes, as user names of many URLs do.
    for (int i = 0; i < 1000; ++i) {
        patterns.push_back("ctl-user:pass-" + std::to_string(i * 7919));
    }
    std::vector<std::string_view> views(patterns.begin(), patterns.end());
    const PatternIndex index(views);
    EXPECT_EQ(index.longest(), 64 * 1024 + 1u);
    const std::string texts[] = {
        std::string(256 * 1024, 'a'),
        std::string(100 * 1024, 'a') + "b" + std::string(50 * 1024, 'a') + "!b",
        "x ctl-user:pass-0 ctl-user:pass-7919 ctl-user:pass-79190 ababababa ctl-user:pass-",
    };
    for (const std::string& text : texts) {
        EXPECT_EQ(indexed_search(index, text), plain_search(patterns, text)) << text.size();
    }
    EXPECT_EQ(index.unfinished_at_end("x ctl-user:pa"), 2u);
    EXPECT_EQ(index.unfinished_at_end("nothing"), 7u);
    EXPECT_TRUE(PatternIndex({}).empty());
    EXPECT_TRUE(PatternIndex({"abc"}).empty());  // shorter than the index takes
}

}  // namespace
}  // namespace quorvel::secrets
