// Where a cut of outside text falls when a known secret stands across it in a form that no fixed
// window around the cut holds: a long run of backslashes or of bytes that are not UTF-8 inside it
// or beside it, a chain of forms that overlap one another. The cut moves before all that hiding
// the whole text would mask.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/sanitizers.h"
#include "util/canonical_view.h"
#include "util/secrets.h"
#include "util/shown_text.h"

namespace quorvel::secrets {
namespace {

std::string left_out(size_t count) {
    return "... [" + std::to_string(count) + " bytes left out]";
}

std::string run(size_t count, std::string_view piece) {
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        out += piece;
    }
    return out;
}

class CutBeforeSecretsTest : public ::testing::Test {
  protected:
    void SetUp() override { forget_all_for_tests(); }
    void TearDown() override { forget_all_for_tests(); }
};

// A form stretched far past the cut, behind it or on both sides, and a chain of forms overlapping
// one another, move the cut to their start.
TEST_F(CutBeforeSecretsTest, ACutMovesBeforeAFormHoweverFarItReaches) {
    remember("GHJKmpqsRSTVwyz");  // any run of backslashes before its "R" reads as escaping it
    remember("RSTVwyzLMNP");      // starts where the one before ends
    remember("\\LMNPqrst");       // a backslash at its start: hidden with every one before it
    remember("wxyzGHJK\\");       // and at its end: hidden with every one after it
    remember("QRSTv\xffWYZkm");   // a byte that is not UTF-8: any run of them reads as one
    remember("abcdefghab");       // overlaps its own copies
    const std::string pad(1000, 'a');
    const std::string tail = " and more";
    const struct {
        const char* name;
        std::string text;
        size_t cut;
        bool complete;
        size_t kept;
    } cases[] = {
        {"backslashes inside", pad + "GHJKmpqs" + run(20000, "\\") + "RSTVwyz" + tail, 1024, true,
         1000},
        {"encoded backslashes inside", pad + "GHJKmpqs" + run(7000, "%5C") + "RSTVwyz" + tail, 1024,
         true, 1000},
        {"cut after the run", pad + "GHJKmpqs" + run(20000, "\\") + "RSTVwyz" + tail, 21010, true,
         1000},
        {"bad bytes inside", pad + "QRSTv" + run(20000, "\xff") + "WYZkm" + tail, 1024, true, 1000},
        {"U+FFFD and bad bytes inside", pad + "QRSTv" + run(3000, "\xc0\xef\xbf\xbd\x80") + "WYZkm",
         1024, true, 1000},
        {"backslashes before", pad + " " + run(20000, "\\") + "LMNPqrst" + tail, 1024, true, 1001},
        {"backslashes after", pad + "wxyzGHJK" + run(20000, "\\") + tail, 1024, true, 1000},
        {"cut short by a library inside the run", "quoting GHJKmpqs" + run(20000, "\\"), 20016,
         false, 8},
        {"two stretched forms sharing a part",
         "zz GHJKmpqs" + run(9000, "\\") + "RSTVwyz" + run(9000, "\\") + "LMNP zz", 18010, true, 3},
        {"the second form only", "zz GHJKmpqs RSTVwyz" + run(9000, "\\") + "LMNP zz", 9000, true,
         12},
        {"3000 copies, the cut in the last", run(100, "z") + run(3000, "abcdefgh") + "ab zz", 24100,
         true, 100},
        // Runs that only look like a stretched form: the text goes on otherwise.
        {"backslashes ending in no secret", pad + "GHJKmpqs" + run(20000, "\\") + "RSTVxx", 1024,
         true, 1024},
        {"bad bytes ending in no secret", pad + "QRSTv" + run(20000, "\xff") + "WYZ" + tail, 1024,
         true, 1024},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(cut_before_secrets(c.text, c.cut, c.complete), c.kept) << c.name;
    }
    // Taken in as outside text, the kilobyte keeps what stands before the form.
    const std::string stretched = pad + " GHJKmpqs" + run(30000, "\\") + "RSTVwyz";
    EXPECT_EQ(bound_outside_text(stretched), pad + " " + left_out(30015));
    EXPECT_EQ(outside_text(stretched), pad + " " + left_out(30015));
    EXPECT_EQ(outside_text(pad + " QRSTv" + run(30000, "\xfe") + "WYZkm"),
              pad + " " + left_out(30010));
}

// Copies of an encoded secret in a row that hiding finds one reading at a time, each mask letting
// the next copy read as itself (an escape that began in the copy before takes no part of it): a
// cut inside any copy moves before what hiding masks of it, as it does before the first.
TEST_F(CutBeforeSecretsTest, ACutMovesBeforeCopiesThatOnlyALaterReadingFinds) {
    const struct {
        const char* secret;
        const char* before;
        const char* copy;
        size_t copies;
        const char* after;
    } cases[] = {
        // Each copy's first bytes read with the backslash before them ("\\xaf"), which a mask
        // ends: one copy after another is found.
        {"xaf\\q\\", "", "xaf&#92;q&#92;", 3, "%"},
        {"xaf\\q\\", "y", "xaf&#92;q&#92;", 6, "%"},
        {"&#ux\\2\\", "&#", "%26#ux%5C2%5C", 5, "x"},
        {"&a\\3#x\\3", "%", "%26a%5C3#x%5C3", 4, "x"},
        {"%b&;1\\uf\\a", "y", "%25b%26;1%5Cuf%5Ca", 3, ""},
        {"\\a&;b\\u\\3", "x", "%5Ca%26;b%5Cu%5C3", 5, "x"},
        {"1\\23#\\", "", "1%5C23#%5C", 3, "&#"},
    };
    for (const auto& c : cases) {
        forget_all_for_tests();
        remember(c.secret);
        const std::string text = c.before + run(c.copies, c.copy) + c.after;
        const std::string hidden = hide(text);
        const size_t masked =
            hidden.size() - std::string_view(c.before).size() - std::string_view(c.after).size();
        ASSERT_EQ(hidden, c.before + run(masked / kMask.size(), kMask) + c.after) << c.secret;
        // Kept and hidden, the text shows what stood before the copies and masks alone, the
        // cut moving back no further than to the copies.
        const size_t first = std::string_view(c.before).size();
        const size_t length = std::string_view(c.copy).size();
        for (size_t cut = first; cut < first + c.copies * length; ++cut) {
            const size_t kept = cut_before_secrets(text, cut, true);
            const std::string shown = hide(text.substr(0, kept));
            const size_t masks = (shown.size() - std::min(shown.size(), first)) / kMask.size();
            EXPECT_EQ(shown, c.before + run(masks, kMask)) << c.secret << ", cut " << cut;
            EXPECT_GE(kept, first) << c.secret << ", cut " << cut;
        }
    }
}

// A secret quoted over and over, each copy joined to the next by a word the cut may not split,
// with a long password known that makes any window around the cut as long as the text: the cut
// walks back to the start of the first, through a secret and a word in turn.
TEST_F(CutBeforeSecretsTest, ACutWalksBackThroughSecretsAndWordsAlike) {
    std::mt19937 random(7);
    std::string long_password;
    for (size_t i = 0; i < 64 * 1024; ++i) {
        long_password.push_back(static_cast<char>('A' + random() % 26));
    }
    remember(long_password);
    remember("@b c");
    const std::string body = run(50000, "c:@b ");
    EXPECT_EQ(bound_outside_text(body), left_out(body.size()));
    EXPECT_EQ(outside_text(body), left_out(body.size()));
    // A blank that no secret holds stops it.
    EXPECT_EQ(bound_outside_text(std::string(1000, 'z') + " " + body),
              std::string(1000, 'z') + " " + left_out(body.size()));
}

// Texts and secrets drawn at random, with long runs of backslashes and of bytes that are not
// UTF-8, percent-escapes and JSON escapes: a cut lands where it would with the whole text read,
// and no stretch that hiding the whole masks stands across it. The filler never reads as a letter
// a secret holds, and hiding the whole text hides every copy: so the kept part, hidden, shows none.
constexpr std::string_view kSecretLetters = "GHJKLMNPQRSTVWYZ";

bool shows_secret_letter(std::string_view text) {
    return canonical(hide(text)).find_first_of(kSecretLetters) != std::string::npos;
}

TEST_F(CutBeforeSecretsTest, WhatACutKeepsShowsNothingThatHidingTheWholeWouldMask) {
    std::mt19937 random(20261209);
    const auto below = [&](size_t n) { return random() % n; };
    // Now and then far longer than any window around a cut.
    const auto length = [&] { return below(3) == 0 ? 1 + below(8) : 1000 + below(20000); };
    const std::string_view fillers[] = {"ghijk", "lmo pqs", " ", "%67", "%7a", "vwyz", "\xc0"};
    // As many cuts inside copies as rounds at least, so that the cases drawn reach them.
    const int kRounds = quorvel::testing::random_cases(200);
    int cuts_inside_copies = 0;
    for (int round = 0; round < kRounds; ++round) {
        forget_all_for_tests();
        std::vector<std::string> secrets(1 + below(3));
        for (std::string& secret : secrets) {
            while (secret.size() < 6 + below(6)) {
                secret.push_back(kSecretLetters[below(kSecretLetters.size())]);
            }
            const char* const marks[] = {"", "\\", "\xff"};
            const size_t at[] = {0, secret.size() / 2, secret.size()};
            secret.insert(at[below(3)], marks[below(3)]);
            remember(secret);
        }
        std::string text;
        std::vector<std::pair<size_t, size_t>> copies;
        for (size_t pieces = 4 + below(20); pieces > 0; --pieces) {
            if (below(3) != 0) {
                const std::string_view filler = fillers[below(std::size(fillers))];
                text += filler.size() == 1 && filler != " " ? run(length(), filler) : filler;
                text += below(3) == 0 ? run(length(), "\\") : "";
                continue;
            }
            // A copy as an encoder might write it, its backslashes and bad bytes stretched.
            const size_t start = text.size();
            const size_t how = below(3);
            for (const unsigned char c : secrets[below(secrets.size())]) {
                static constexpr char kHex[] = "0123456789ABCDEF";
                const std::string escaped{kHex[c >> 4], kHex[c & 0xf]};
                text += c == '\\'   ? run(length(), below(3) == 0 ? "%5C" : "\\")
                        : c == 0xff ? run(length(), below(2) == 0 ? "\xff" : "\xef\xbf\xbd")
                        : how == 1  ? "%" + escaped
                        : how == 2  ? "\\u00" + escaped
                                    : std::string(1, static_cast<char>(c));
            }
            copies.emplace_back(start, text.size());
        }
        ASSERT_FALSE(shows_secret_letter(text)) << "round " << round;
        std::vector<size_t> cuts = {text.size() / 2, std::min<size_t>(text.size(), 1024)};
        for (const auto& [start, end] : copies) {
            cuts.push_back(start + 1 + below(end - start - 1));
        }
        // What hiding the whole text masks (its first reading), found with all of it read.
        const MaskedStretches whole(text, text.size(), true);
        for (const size_t cut : cuts) {
            const size_t kept = cut_before_secrets(text, cut, true);
            EXPECT_EQ(kept, whole.cut_before(cut)) << "round " << round << ", cut at " << cut;
            for (const auto& [start, end] : whole.stretches()) {
                EXPECT_FALSE(start < kept && kept < end) << "round " << round << ", cut " << cut;
            }
            EXPECT_FALSE(shows_secret_letter(text.substr(0, kept)))
                << "round " << round << ", cut at " << cut << ", kept " << kept;
            for (const auto& [start, end] : copies) {
                cuts_inside_copies += start < cut && cut < end ? 1 : 0;
            }
        }
        if (text.size() > kOutsideTextBound) {
            const std::string once = outside_text(text);
            EXPECT_FALSE(shows_secret_letter(once)) << "round " << round;
            EXPECT_EQ(outside_text(once), once) << "round " << round;
        }
    }
    EXPECT_GT(cuts_inside_copies, kRounds);
}

}  // namespace
}  // namespace quorvel::secrets
