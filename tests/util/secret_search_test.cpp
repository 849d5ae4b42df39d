// The index behind the known secrets covers exactly what a plain search for each of its texts
// covers, whatever they repeat and however many share their bytes.
#include "util/secret_search.h"
#include "support/sanitizers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace quorvel::secrets {
namespace {

using Stretches = std::vector<std::pair<size_t, size_t>>;

// The stretches that the occurrences a plain search finds at each position, for each text, cover:
// in order, those that overlap joined.
Stretches plain_search(const std::vector<std::string>& patterns, std::string_view text) {
    std::set<std::pair<size_t, size_t>> found;
    for (const std::string& p : patterns) {
        for (size_t at = text.find(p); at != std::string_view::npos; at = text.find(p, at + 1)) {
            found.emplace(at, at + p.size());
        }
    }
    Stretches joined;
    for (const auto& [begin, end] : found) {
        if (!joined.empty() && begin < joined.back().second) {
            joined.back().second = std::max(joined.back().second, end);
        } else {
            joined.emplace_back(begin, end);
        }
    }
    return joined;
}

Stretches indexed_search(const PatternIndex& index, std::string_view text) {
    Stretches found{{0, 0}};  // what the caller found before stays as it was
    index.find(text, found);
    EXPECT_EQ(found.front(), std::make_pair(size_t{0}, size_t{0}));
    return {found.begin() + 1, found.end()};
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
// short as the index takes. The index covers exactly what a plain search does.
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

// Sets that share nearly every piece: every four bytes of a text over two letters is in all of
// them, the texts of a scheme and a counter share all but their ends, and texts that are each
// other's starts end at every byte of a run. Each byte is read a bounded number of times, so the
// search covers what a plain search does at any size of the set.
TEST(PatternIndexTest, CoversWhatAPlainSearchDoesForSetsThatShareTheirPieces) {
    std::mt19937 random(48);
    auto word = [&](size_t length) {
        std::string out;
        for (size_t i = 0; i < length; ++i) {
            out.push_back(random() % 2 == 0 ? 'a' : 'b');
        }
        return out;
    };
    std::vector<std::string> two_letters;
    for (int i = 0; i < 1000; ++i) {
        two_letters.push_back(word(40));
    }
    std::vector<std::string> counters;
    const std::string scheme = "corp-" + std::string(55, 'x');
    for (int i = 0; i < 1000; ++i) {
        counters.push_back(scheme + std::to_string(1000 + i * 7));
    }
    std::vector<std::string> runs;
    for (size_t length = 4; length <= 300; ++length) {
        runs.push_back(std::string(length - 1, 'a') + (length % 2 == 0 ? "a" : "*"));
    }
    const struct {
        const std::vector<std::string>& patterns;
        std::string text;
    } cases[] = {
        {two_letters, word(20000)},
        {two_letters, two_letters[3] + word(5) + two_letters[999] + two_letters[500]},
        {counters, "x" + counters[0] + scheme + "99 " + counters[999] + scheme + counters[1]},
        {runs, std::string(5000, 'a') + "*" + std::string(20, 'a') + "***"},
    };
    for (const auto& c : cases) {
        const std::vector<std::string_view> views(c.patterns.begin(), c.patterns.end());
        const PatternIndex index(views);
        EXPECT_EQ(indexed_search(index, c.text), plain_search(c.patterns, c.text))
            << c.text.substr(0, 80);
    }
}

// Sets of every shape the index lays out differently: texts that are each other's starts, that
// share long starts or ends, whose failure links lead into chains laid out after their own, over
// every byte value, and chains that cross the index's blocks of 64 states. Each is searched in
// texts of planted, cut, altered and joined texts among random bytes of the same alphabet.
TEST(PatternIndexTest, MatchesAPlainSearchOverSetsOfEveryShape) {
    std::mt19937 random(91);
    const auto word = [&](size_t length, std::string_view alphabet) {
        std::string out;
        for (size_t i = 0; i < length; ++i) {
            out.push_back(alphabet[random() % alphabet.size()]);
        }
        return out;
    };
    const std::string every_byte = [] {
        std::string bytes;
        for (int b = 0; b < 256; ++b) {
            bytes.push_back(static_cast<char>(b));
        }
        return bytes;
    }();
    const std::string lowest_and_highest{'\0', '\xff', '\x01', 'a'};
    using Set = std::vector<std::string>;
    const struct {
        const char* name;
        std::string alphabet;
        std::function<Set()> make;
    } cases[] = {
        {"each other's starts", "ab*",
         [&] {
             Set set;
             for (size_t length = 4; length <= 300; ++length) {
                 set.push_back(std::string(length, 'a'));
             }
             set.push_back(std::string(70, 'a') + "***");
             return set;
         }},
        {"long shared starts", "abc",
         [&] {
             Set set;
             const std::string start = "user:" + word(120, "abc");
             for (int i = 0; i < 60; ++i) {
                 set.push_back(start.substr(0, random() % start.size()) +
                               word(1 + random() % 90, "abc"));
             }
             return set;
         }},
        {"long shared ends", "abc",
         [&] {
             Set set;
             const std::string end = word(150, "abc") + ":tail";
             for (int i = 0; i < 60; ++i) {
                 set.push_back(word(1 + random() % 20, "abc") + end.substr(random() % end.size()));
             }
             return set;
         }},
        {"links into chains laid out later", "abxyz",
         [&] {
             Set set;
             for (int i = 0; i < 40; ++i) {
                 const std::string tail = word(5 + random() % 100, "xyz");
                 set.push_back(tail);
                 set.push_back("a" + tail);
                 set.push_back("ab" + tail.substr(0, tail.size() / 2));
             }
             return set;
         }},
        // Links of 2 to 6 bytes at the end of a text and each state after it: around the depth
        // below which the index keeps no link and the search finds it from the bytes it read.
        {"links about as deep as the last bytes read", "abcdefgh",
         [&] {
             Set set;
             for (int i = 0; i < 30; ++i) {
                 const std::string start = word(12, "abcdefgh");
                 set.push_back(start);
                 for (const size_t shared : {2, 3, 4, 5, 6}) {
                     set.push_back(word(8, "abcdefgh") + start.substr(0, shared));
                     set.push_back(word(8, "abcdefgh") + start.substr(0, shared) + "hh");
                 }
             }
             return set;
         }},
        {"every byte value", every_byte,
         [&] {
             Set set;
             for (int i = 0; i < 200; ++i) {
                 set.push_back(word(4 + random() % 40, every_byte));
             }
             return set;
         }},
        {"chains across blocks", "ab",
         [&] {
             Set set;
             const std::string start = word(200, "ab");
             for (const size_t shared : {62, 63, 64, 65, 127, 128, 129}) {
                 set.push_back(start.substr(0, shared) + word(1 + random() % 100, "ab"));
                 set.push_back(start.substr(0, shared));
             }
             return set;
         }},
        // Texts of eight bytes or a few more over few letters: every probe's four bytes are
        // filed, and only the first eight bytes of the texts where an occurrence may start tell
        // one apart, down to the shortest text that bound holds.
        {"texts of eight bytes and a few more", "abcd",
         [&] {
             Set set;
             for (int i = 0; i < 80; ++i) {
                 set.push_back(word(8 + random() % 4, "abcd"));
             }
             return set;
         }},
        // More states than the build takes on one thread: the states' last bytes are probed in
        // stretches on threads of their own, links lead across the stretches' ends, and texts
        // over few letters share most of their four-byte pieces.
        {"a set linked on threads", "uxyz:",
         [&] {
             Set set;
             for (int i = 0; i < 560; ++i) {
                 const std::string inner = word(1000, "xyz");
                 set.push_back(inner);
                 set.push_back("u:" + inner);
             }
             return set;
         }},
        {"no text at all", "abc", [] { return Set{}; }},
        // Texts shorter than the index takes are left out, whatever else the set holds.
        {"texts of one to three bytes", "abc",
         [&] {
             Set set{"a", "b", "ab", "abc", "cba"};
             for (int i = 0; i < 20; ++i) {
                 set.push_back(word(4 + random() % 6, "abc"));
             }
             return set;
         }},
        {"each other's starts and ends", "abc",
         [&] {
             Set set;
             const std::string whole = word(300, "abc");
             for (int i = 0; i < 40; ++i) {
                 set.push_back(whole.substr(0, 4 + random() % 296));
                 set.push_back(whole.substr(random() % 296));
             }
             return set;
         }},
        // The lowest and highest bytes, which the index's keys and labels hold as any other.
        {"bytes 0x00 and 0xFF", lowest_and_highest,
         [&] {
             Set set{std::string(4, '\0'), std::string(4, '\xff'), std::string(9, '\0') + "\xff"};
             for (int i = 0; i < 60; ++i) {
                 set.push_back(word(4 + random() % 30, lowest_and_highest));
             }
             return set;
         }},
        // Long texts each held whole in another after a few bytes, as a password in its user
        // information: runs of links that lead along another chain across blocks of 64 states,
        // that chain laid out before or after, and both ends altered in the text searched.
        {"texts held whole in others", "uxyz:",
         [&] {
             Set set;
             for (int i = 0; i < 12; ++i) {
                 const std::string inner = word(100 + random() % 200, "xyz");
                 set.push_back(inner);
                 set.push_back((i % 2 == 0 ? "u:" : "zz:") + inner);
             }
             return set;
         }},
        // Texts of random letters that share their first 1,000 bytes: long chains whose links
        // are shallow, off a start shared by all, as the many forms of one long password.
        {"long shared starts of random bytes", every_byte,
         [&] {
             Set set;
             const std::string start = word(1000, every_byte);
             for (int i = 0; i < 30; ++i) {
                 set.push_back(start.substr(0, 990 + random() % 10) +
                               word(random() % 200, every_byte));
             }
             set.push_back(start);
             return set;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Set patterns = c.make();
        const std::vector<std::string_view> views(patterns.begin(), patterns.end());
        const PatternIndex index(views);
        Set taken;
        std::copy_if(patterns.begin(), patterns.end(), std::back_inserter(taken),
                     [](const std::string& p) { return p.size() >= kShortestPattern; });
        EXPECT_EQ(index.empty(), taken.empty());
        const Set& planted = patterns.empty() ? Set{c.alphabet} : patterns;
        for (int t = 0; t < quorvel::testing::random_cases(40); ++t) {
            std::string text;
            while (text.size() < 2000) {
                const std::string& p = planted[random() % planted.size()];
                switch (random() % 5) {
                    case 0:
                        text += word(random() % 50, c.alphabet);
                        break;
                    case 1:
                        text += p;
                        break;
                    case 2:
                        text += p.substr(0, random() % p.size());
                        break;
                    case 3: {
                        std::string altered = p;
                        altered[random() % altered.size()] =
                            c.alphabet[random() % c.alphabet.size()];
                        text += altered;
                        break;
                    }
                    default:
                        text += p.substr(random() % p.size());
                        break;
                }
            }
            ASSERT_EQ(indexed_search(index, text), plain_search(taken, text)) << t;
            // A short text that ends with a whole one, where the last probes stand.
            const std::string ending =
                word(random() % 9, c.alphabet) + planted[random() % planted.size()];
            ASSERT_EQ(indexed_search(index, ending), plain_search(taken, ending)) << t;
            const std::string end =
                text.substr(0, 1000) + planted[random() % planted.size()].substr(0, 3);
            ASSERT_EQ(index.unfinished_at_end(end), plain_unfinished(taken, end)) << t;
        }
    }
}

}  // namespace
}  // namespace quorvel::secrets
