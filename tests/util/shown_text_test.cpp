#include "util/shown_text.h"

#include <gtest/gtest.h>

#include <string>

#include "util/secrets.h"
#include "util/url.h"

namespace quorvel {
namespace {

std::string bytes(size_t count, char c = 'a') {
    return std::string(count, c);
}

std::string left_out(size_t count) {
    return "... [" + std::to_string(count) + " bytes left out]";
}

TEST(ShownTextTest, OutsideTextIsBoundedOnACharacterBoundary) {
    static_assert(kOutsideTextBound == 1024);
    // No secret of another test may start with the filler.
    secrets::forget_all_for_tests();
    const std::string two = "\xc3\xa9";           // é
    const std::string three = "\xe2\x82\xac";     // €
    const std::string four = "\xf0\x9f\x98\x80";  // 😀
    const struct {
        const char* name;
        std::string text;
        std::string bounded;
    } cases[] = {
        {"empty", "", ""},
        {"below the bound", bytes(1023), bytes(1023)},
        {"at the bound", bytes(1024), bytes(1024)},
        {"a character ending at the bound", bytes(1022) + two, bytes(1022) + two},
        {"one byte above", bytes(1025), bytes(1024) + left_out(1)},
        {"far above", bytes(4 * 1024 * 1024), bytes(1024) + left_out(4 * 1024 * 1024 - 1024)},
        {"a character ending at the cut", bytes(1022) + two + "bc",
         bytes(1022) + two + left_out(2)},
        {"a character starting at the cut", bytes(1024) + two, bytes(1024) + left_out(2)},
        {"2 bytes, 1 kept", bytes(1023) + two + "b", bytes(1023) + left_out(3)},
        {"3 bytes, 1 kept", bytes(1023) + three + "b", bytes(1023) + left_out(4)},
        {"3 bytes, 2 kept", bytes(1022) + three + "b", bytes(1022) + left_out(4)},
        {"4 bytes, 1 kept", bytes(1023) + four + "b", bytes(1023) + left_out(5)},
        {"4 bytes, 2 kept", bytes(1022) + four + "b", bytes(1022) + left_out(5)},
        {"4 bytes, 3 kept", bytes(1021) + four + "b", bytes(1021) + left_out(5)},
        {"4 bytes, all kept", bytes(1020) + four + "b", bytes(1020) + four + left_out(1)},
        {"only multi-byte characters",
         [&] {
             std::string text;
             for (int i = 0; i < 400; ++i) {
                 text += three;
             }
             return text;
         }(),
         [&] {
             std::string text;
             for (int i = 0; i < 341; ++i) {
                 text += three;
             }
             return text + left_out(1200 - 1023);
         }()},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bound_outside_text(c.text), c.bounded) << c.name;
    }
}

// A cut inside a known secret keeps none of it: the start of a password is as secret as the whole.
TEST(ShownTextTest, BoundKeepsNoStartOfAKnownSecret) {
    secrets::forget_all_for_tests();
    secrets::remember("hunter2-secret");
    secrets::remember("p@ss word");
    const struct {
        const char* name;
        std::string text;
        std::string bounded;
    } cases[] = {
        {"four bytes of it kept", bytes(1020) + "hunter2-secret" + bytes(10, 'z'),
         bytes(1020) + left_out(24)},
        {"one byte of it kept", bytes(1023) + "hunter2-secret", bytes(1023) + left_out(14)},
        {"all but its last byte kept", bytes(1011) + "hunter2-secret", bytes(1011) + left_out(14)},
        // Whole within the bound it stays, for the pipeline to hide.
        {"kept whole", bytes(1010) + "hunter2-secret" + "zz",
         bytes(1010) + "hunter2-secret" + left_out(2)},
        {"its percent-encoded form", bytes(1018) + "p%40ss%20word" + "zz",
         bytes(1018) + left_out(15)},
        {"its decoded form", bytes(1020) + "p@ss word", bytes(1020) + left_out(9)},
        {"only what could start it", bytes(1020) + "hunx" + bytes(10),
         bytes(1020) + "hunx" + left_out(10)},
        {"a secret after a multi-byte character", bytes(1018) + "\xc3\xa9" + "hunter2-secret",
         bytes(1018) + "\xc3\xa9" + left_out(14)},
        {"within the bound nothing is cut", bytes(1000) + "hunt", bytes(1000) + "hunt"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bound_outside_text(c.text), c.bounded) << c.name;
    }
    secrets::forget_all_for_tests();
    EXPECT_EQ(bound_outside_text(bytes(1020) + "hunter2-secret"),
              bytes(1020) + "hunt" + left_out(10));
}

// A cut moves back until nothing at its end could start a secret: a secret repeating its own start
// brings another start to light, and so may a cut back to a word that a blank inside a secret
// begins.
TEST(ShownTextTest, BoundCutsUntilNoStartOfASecretRemains) {
    secrets::forget_all_for_tests();
    secrets::remember("abab");
    secrets::remember("pass word");
    const struct {
        const char* name;
        std::string text;
        std::string bounded;
    } cases[] = {
        {"a secret repeating its start", bytes(1019, 'x') + "ababab" + bytes(20, 'y'),
         bytes(1019, 'x') + left_out(26)},
        {"a word cut inside a secret", bytes(1010, 'x') + " pass word:" + bytes(20, 'z') + "@h",
         bytes(1010, 'x') + " " + left_out(32)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bound_outside_text(c.text), c.bounded) << c.name;
    }
    secrets::forget_all_for_tests();
}

// A cut that would part a password nobody knows from the "@" that shows where it ends drops the
// whole word: masking could no longer tell it from a host. A text bounded twice still says how
// much of the first text was left out.
TEST(ShownTextTest, BoundKeepsNoStartOfAnUnknownPasswordAndCountsEarlierCuts) {
    secrets::forget_all_for_tests();
    const struct {
        const char* name;
        std::string text;
        std::string bounded;
    } cases[] = {
        {"a URL's password cut before its @",
         bytes(1000) + " https://u:pass" + bytes(30, 'w') + "@h/",
         bytes(1000) + " " + left_out(47)},
        {"an address cut before its @", bytes(1015) + " u:passwords@h",
         bytes(1015) + " " + left_out(13)},
        {"a URL cut after its @", bytes(1000) + " https://u:p@h/" + bytes(30, 'x'),
         bytes(1000) + " https://u:p@h/" + bytes(9, 'x') + left_out(21)},
        {"a word without a colon", bytes(1020) + " abcdefg@h", bytes(1020) + " abc" + left_out(6)},
        {"a word with a colon and no @", bytes(1020) + " a:bcdefgh",
         bytes(1020) + " a:b" + left_out(6)},
        {"a word that is all of the text", "https://u:" + bytes(2000, 'p') + "@h", left_out(2012)},
        {"bounded twice", "error: " + bytes(1024) + left_out(5000),
         "error: " + bytes(1017) + left_out(5007)},
        {"a note that looks like one but is not", bytes(1100) + "... [x bytes left out]",
         bytes(1024) + left_out(98)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bound_outside_text(c.text), c.bounded) << c.name;
    }
    // Bounding a bounded text changes nothing.
    const std::string once = bound_outside_text(bytes(5000));
    EXPECT_EQ(bound_outside_text(once), once);
}

// A URL nobody knows, written as it is or percent-encoded into another text, with the cut falling
// on every byte of it: what is kept and masked shows no piece of its password nor its user name,
// whether the colon, the slashes and the "@" are encoded or not, in either case of hex.
TEST(ShownTextTest, OutsideTextShowsNoPieceOfAPasswordAcrossTheCutInAnyEncoding) {
    secrets::forget_all_for_tests();
    const std::string password = "hunter2password";
    const std::string forms[] = {
        "https://user:" + password + "@host/x",
        "https%3A%2F%2Fuser%3A" + password + "%40host%2Fx",
        "https%3a%2f%2fuser%3a" + password + "%40host%2fx",
        "https%3A//user%3A" + password + "%40host/x",
        "https%3A%2F%2Fuser%3A" + password + "@host%2Fx",
        "?next=https%3A%2F%2Fuser%3A" + password + "%40host",
    };
    for (const std::string& form : forms) {
        // From a URL wholly past the bound to one that ends before it.
        for (size_t start = 1024 - form.size() - 8; start <= 1026; ++start) {
            const std::string text = bytes(start - 1) + " " + form + " " + bytes(2000, 'z');
            const std::string out = outside_text(text);
            SCOPED_TRACE(form + " from " + std::to_string(start) + ": " + out.substr(950));
            for (size_t piece = 0; piece + 4 <= password.size(); ++piece) {
                EXPECT_EQ(out.find(password.substr(piece, 4)), std::string::npos);
            }
            EXPECT_EQ(out.find("user"), std::string::npos);
            EXPECT_LE(out.size(), 1024 + left_out(text.size()).size());
            EXPECT_EQ(outside_text(out), out);
        }
    }
}

// Where the cut falls and what it counts: the word that the cut would split between what could
// begin user information and what could end it goes whole, with an encoding that the cut splits
// counted on the side that would read it whole; a word that could not hold any is cut inside.
TEST(ShownTextTest, OutsideTextCutsBeforeAWordThatCouldHoldUserInformation) {
    secrets::forget_all_for_tests();
    const std::string encoded = "https%3A%2F%2Fuser%3Ahunter2password%40host%2Fx";
    const std::string long_rest(20000, 'x');
    const struct {
        const char* name;
        std::string text;
        std::string kept;
    } cases[] = {
        {"the encoded URL of the issue", bytes(989) + " " + encoded,
         bytes(989) + " " + left_out(encoded.size())},
        {"with lower-case hex", bytes(989) + " https%3a%2f%2fuser%3ahunter2password%40host%2fx",
         bytes(989) + " " + left_out(encoded.size())},
        {"an address encoded", bytes(1015) + " u%3Apwpw%40h", bytes(1015) + " " + left_out(12)},
        {"the cut inside %40", bytes(1015) + " u%3Apw%40h/x", bytes(1015) + " " + left_out(12)},
        {"the cut inside %3A", bytes(1021) + " x%3Apw@h", bytes(1021) + " " + left_out(8)},
        {"an @ kept and another one after the cut", bytes(1010) + " https://u:p@ss@host/x",
         bytes(1010) + " " + left_out(21)},
        {"an encoded colon and no @", bytes(1020) + " a%3Abcdefgh",
         bytes(1020) + " a%3" + left_out(8)},
        {"an @ and no colon", bytes(1020) + " abc%40defgh", bytes(1020) + " abc" + left_out(8)},
        {"a word past the lookahead, its @ kept", "https://u:p@h/" + long_rest,
         "https://****:****@h/" + bytes(1004, 'x') + left_out(20014 - 1018)},
        {"a word past the lookahead, its password open", "https://u:" + long_rest + "@h",
         left_out(20012)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(outside_text(c.text), c.kept) << c.name;
    }
}

// A mask may be longer than what it hides: what is kept shrinks until its masked form fits the
// bound, so that taking the text in again, or a text bounded before, changes nothing, and the
// count of bytes left out is of the text as it came.
TEST(ShownTextTest, OutsideTextTakenInTwiceIsTheSame) {
    secrets::forget_all_for_tests();
    std::string growing;
    while (growing.size() < 1500) {
        growing += "u:p@ ";
    }
    const std::string grown = outside_text(growing);
    const size_t note = grown.rfind("... [");
    ASSERT_NE(note, std::string::npos) << grown;
    EXPECT_LE(note, 1024u);
    EXPECT_TRUE(grown.starts_with("****:****@ ****:****@ "));
    EXPECT_EQ(grown.find("u:p@"), std::string::npos);

    std::string within;
    while (within.size() < 1000) {
        within += "u:p@ ";
    }
    const std::string texts[] = {
        bytes(5000),
        growing,
        within,
        bytes(989) + " https%3A%2F%2Fuser%3Ahunter2password%40host%2Fx",
        "see https://u:secret@h/x " + bytes(3000, 'b'),
        "error: " + bytes(1024) + left_out(5000),
        "https://u:p@h/" + bytes(20000, 'x'),
    };
    for (const std::string& text : texts) {
        const std::string once = outside_text(text);
        EXPECT_EQ(outside_text(once), once) << once;
        EXPECT_EQ(mask_credentials(once), once) << once;
        EXPECT_EQ(bound_outside_text(once), once) << once;
    }
    // A text within the bound is only masked; one bounded before keeps its first count.
    EXPECT_EQ(outside_text("see https://u:secret@h/x"), "see https://****:****@h/x");
    EXPECT_EQ(outside_text(bytes(5000)), bytes(1024) + left_out(3976));
    EXPECT_EQ(outside_text("error: " + bytes(1024) + left_out(5000)),
              "error: " + bytes(1017) + left_out(5007));
}

// A text meant as one URL is masked as a URL value: a user name without a scheme or a colon is
// hidden too, and a cut that an "@" follows keeps nothing before it.
TEST(ShownTextTest, OutsideUrlTextMasksAsAUrlValue) {
    secrets::forget_all_for_tests();
    const struct {
        const char* name;
        std::string text;
        std::string kept;
    } cases[] = {
        {"a user name alone", "s3cr/et@h/x", "****:****@h/x"},
        {"a URL", "https://u:pw@h/x", "https://****:****@h/x"},
        {"a long user name", "https//" + bytes(1500, 'u') + "@h", left_out(1509)},
        {"an @ encoded after the cut", "u%3A" + bytes(1500, 'p') + "%40h", left_out(1508)},
        {"no @ after the cut", "https://u:pw@h/" + bytes(1500, 'p'),
         "https://****:****@h/" + bytes(1024 - 20, 'p') + left_out(1515 - 1019)},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(outside_url_text(c.text), c.kept) << c.name;
    }
}

}  // namespace
}  // namespace quorvel
