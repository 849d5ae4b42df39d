// Hiding is idempotent: a text already hidden, hidden again, stays as it is, whatever stands
// beside its masks (copies of a secret in a row, stars, escapes at a secret's edges). The log hides
// a line that may quote a value the status report hid before, so a second hiding that ate more of
// the text, or found a secret in a mask and its neighbours, would show a different text each time.
#include "util/secrets.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::secrets {
namespace {

// Passwords whose edges read as escapes with what stands beside them: starting with an escape
// letter or hex digits or a reference's name, ending in a backslash, "%4", "&" or "&#".
constexpr std::string_view kEscapeSecrets[] = {
    "nKq7Wz3Rx\\",
    "n\xc3\xa9"
    "bula-Vx7Qm2Rz",
    "4e\xc3\xa9-Kq8Wz3Tn",
    "Zr8Kw2Qm%254",
    "lt;Kw8Zq2Rm",
    "Jn4Tx7Wq&",
    "Bq6Rz3Mv&#",
    "Wd7Zp3Lx%2B%5Ckqrs%2541%3Ct",
    "\\\\pass-word\\",
    "u00e9Rk5Tq\\",
    "60;Wq\xc3\xa9"
    "8Zk3Tn",
    "3c;Hv\xc3\xa9"
    "5Xp9Lm",
    "\\3\\3Kq7Wz3Rx-Vx7Qm2Rz-Rt6Ym2Kp-Wn3Jc8Qs-Hm6Vr2Kt-Tz5Wq8Lx-Pq8Zx4",
    "Mv7Rq2Zk-Tn4Wx8Lp%%%%",
};
// A password that ends in stars, like the mask.
constexpr std::string_view kStarSecret = "a***";

class HideIdempotenceTest : public ::testing::Test {
  protected:
    void SetUp() override { forget_all_for_tests(); }
    void TearDown() override { forget_all_for_tests(); }

    static void remember_escape_secrets() {
        for (const std::string_view secret : kEscapeSecrets) {
            remember(secret);
        }
    }
};

std::string repeated(std::string_view text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

// Texts that place masks where a second reading could see more.
std::vector<std::string> tricky_texts() {
    std::vector<std::string> texts = {
        // Copies in a row: JSON-escaped, plain, percent-encoded.
        R"({"p":"nKq7Wz3Rx\\nKq7Wz3Rx\\"})",
        "nKq7Wz3Rx\\nKq7Wz3Rx\\nKq7Wz3Rx\\",
        "nKq7Wz3Rx%5CnKq7Wz3Rx%5c",
        "lt;Kw8Zq2Rmlt;Kw8Zq2Rm&lt;Kw8Zq2Rm",
        "Jn4Tx7Wq&Jn4Tx7Wq&amp;lt;",
        // Stars beside secrets and masks.
        "aaa***",
        "a***a***a***",
        "****a***",
        "a*****",
        "****nKq7Wz3Rx\\\\****",
        "*nKq7Wz3Rx\\**",
        // Escapes at a secret's edges.
        R"(C:\\n\u00e9bula-Vx7Qm2Rz)",
        "C:\\n&#xe9;bula-Vx7Qm2Rz",
        R"(100%4e\u00e9-Kq8Wz3Tn)",
        "100%4e\xc3\xa9-Kq8Wz3Tn",
        "Zr8Kw2Qm%41",
        R"(\u005ar8Kw2Qm%41)",
        "a&lt;Kw8Zq2Rm",
        R"(a&\u006ct;Kw8Zq2Rm)",
        "Bq6Rz3Mv&#60;",
        "Wd7Zp3Lx+&#92;kqrs%41<t",
        R"(Wd7Zp3Lx+\x5ckqrs%41<t)",
        "Wd7Zp3Lx%2B&#x5c;kqrs%2541%3Ct",
        R"(\\\\\\\\\\\\\\\\\\pass-word\\\\)",
        "%5C%5cpass-word%5C%5C%5C",
        "\\\\pass-word\\\\\\pass-word\\",
        "&amp;&amp;&amp;lt;Kw8Zq2Rm",
        "\\****\\",
        // Neighbours that read as one escape with a secret's first character, in a row.
        R"(&#60;Wq\u00e98Zk3Tn&#60;Wq\u00e98Zk3Tn)",
        "&#60;Wq\xc3\xa9"
        "8Zk3Tn&#x3c;Hv\xc3\xa9"
        "5Xp9Lm",
        R"(&#x3c;Hv\u00e95Xp9Lm&#x3c;Hv\u00e95Xp9Lm)",
        R"(100%4e\u00e9-Kq8Wz3Tn100%4e\u00e9-Kq8Wz3Tn)",
        R"(C:\\n\u00e9bula-Vx7Qm2RzC:\\n\u00e9bula-Vx7Qm2Rz)",
        R"(&#\u0036)",
        // An escape that reads as the first byte of a secret's canonical form and takes in more.
        R"(C:\x\\\\3\\\\3Kq7Wz3Rx-Vx7Qm2Rz-Rt6Ym2Kp-Wn3Jc8Qs-Hm6Vr2Kt-Tz5Wq8Lx-Pq8Zx4)",
        // A run of escape starts at a secret's end that what follows reads in, one by one.
        "Mv7Rq2Zk-Tn4Wx8Lp%%%%4141",
        "%****%4",
    };
    for (int copies = 1; copies <= 6; ++copies) {
        texts.push_back(repeated(R"(nKq7Wz3Rx\\)", copies));
        texts.push_back(repeated("nKq7Wz3Rx\\", copies));
        texts.push_back(repeated("a***", copies));
        texts.push_back(repeated(R"(u00e9Rk5Tq\\)", copies));
    }
    return texts;
}

// How many of `texts` hiding twice shows otherwise than hiding once, and the first `most` of them.
struct NotIdempotent {
    size_t count = 0;
    std::vector<std::string> first;
};

NotIdempotent not_idempotent(const std::vector<std::string>& texts, size_t most) {
    NotIdempotent found;
    for (const std::string& text : texts) {
        const std::string once = hide(text);
        const std::string twice = hide(once);
        if (twice == once) {
            continue;
        }
        ++found.count;
        if (found.first.size() < most) {
            found.first.push_back("[" + text + "] once [" + once + "] twice [" + twice + "]");
        }
    }
    return found;
}

// Texts of 1 to 16 pieces drawn from the pieces secrets and escapes are made of, with a fixed seed.
std::vector<std::string> random_texts(size_t count) {
    static constexpr std::string_view kPieces[] = {
        "\\",
        "\\\\",
        "%",
        "%5c",
        "%5C",
        "%25",
        "%4",
        "1",
        "e",
        "n",
        "x",
        "u",
        "&",
        "&amp;",
        "&#",
        "&#x",
        ";",
        "lt;",
        "60;",
        "5c;",
        "*",
        "***",
        "****",
        "a",
        "+",
        "\xc3\xa9",
        "\xff",
        "u00e9",
        "x5c",
        "134",
        "4e",
        "nKq7Wz3Rx",
        "Kq7",
        "bula",
        "-Vx7Qm2Rz",
        "Zr8Kw2Qm",
        "Kw8Zq2Rm",
        "Jn4Tx7Wq",
        "Bq6Rz3Mv",
        "Wd7Zp3Lx",
        "kqrs",
        "<t",
        "pass-word",
        "a***",
        " ",
        "Rk5Tq",
        "Wq\xc3\xa9"
        "8Zk3Tn",
        "3c;",
        "Hv",
    };
    std::mt19937 random(20261209);
    std::uniform_int_distribution<size_t> length(1, 16);
    std::uniform_int_distribution<size_t> pick(0, std::size(kPieces) - 1);
    std::vector<std::string> texts;
    texts.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        std::string text;
        for (size_t n = length(random); n > 0; --n) {
            text += kPieces[pick(random)];
        }
        texts.push_back(std::move(text));
    }
    return texts;
}

std::string listed(const std::vector<std::string>& texts) {
    std::string out;
    for (const std::string& text : texts) {
        out += "\n  " + text;
    }
    return out;
}

TEST_F(HideIdempotenceTest, TrickyTextsHiddenTwiceShowAsHiddenOnce) {
    remember_escape_secrets();
    remember(kStarSecret);
    const std::vector<std::string> texts = tricky_texts();
    for (const std::string& text : texts) {
        const std::string once = hide(text);
        EXPECT_EQ(hide(once), once) << "text: " << text;
    }
}

TEST_F(HideIdempotenceTest, RandomTextsOfEscapesHiddenTwiceShowAsHiddenOnce) {
    remember_escape_secrets();
    const NotIdempotent found = not_idempotent(random_texts(5000), 20);
    EXPECT_EQ(found.count, 0u) << "the first of them:" << listed(found.first);
}

TEST_F(HideIdempotenceTest, RandomTextsHiddenTwiceShowAsHiddenOnceWithAPasswordOfStars) {
    remember_escape_secrets();
    remember(kStarSecret);
    const NotIdempotent found = not_idempotent(random_texts(5000), 20);
    EXPECT_EQ(found.count, 0u) << "the first of them:" << listed(found.first);
}

// What an encoder wrote of a secret, read back whole: the bytes of one character escaped over a
// different number of times; a secret that starts with a run of backslashes, which an encoder
// doubled, found as it stands where an escape before it reads the canonical view otherwise; and
// a secret's last backslashes, however an encoder wrote each.
TEST(HideWholeTest, ShowsNoPartOfWhatAnEncoderWrote) {
    const std::string backslashes(10, '\\');
    const std::string doubled(40, '\\');
    const struct {
        std::string secret;
        std::string text;
        std::string shown;
    } cases[] = {
        {"Kq8Wz3Tn\xf0\x9f\x94\x91\xf0\x9f\x94\x91Rt6Ym2Kp",
         R"(Kq8Wz3Tn\360\237\224\221\360%255C237\224%255c221Rt6Ym2Kp)", "****"},
        {"Kq8Wz3Tn\xf0\x9f\x94\x91\xf0\x9f\x94\x91Rt6Ym2Kp",
         R"(Kq8Wz3Tn\xf0\x9f\x94\x91%255cxf0\x9f%255cx94\x91Rt6Ym2Kp)", "****"},
        {backslashes + "XE7Kq8Wz3Tn-Rt6Ym2", "&#" + doubled + "XE7Kq8Wz3Tn-Rt6Ym2", "&#****"},
        {backslashes + "XE7Kq8Wz3Tn-Rt6Ym2", "a&#" + doubled + "XE7Kq8Wz3Tn-Rt6Ym2 b", "a&#**** b"},
        {backslashes + "XE7Kq8Wz3Tn-Rt6Ym2", "&#x" + doubled + "XE7Kq8Wz3Tn-Rt6Ym2", "&#x****"},
        // A run of backslashes at a secret's end, each written otherwise, is hidden whole.
        {"Kq8Wz3Tn-Rt6Ym2Kp" + std::string(6, '\\'), R"( Kq8Wz3Tn-Rt6Ym2Kp&#92;&#92;\\&#92;&#92; )",
         " **** "},
        {"Kq8Wz3Tn-Rt6Ym2Kp" + std::string(4, '\\'),
         R"( Kq8Wz3Tn-Rt6Ym2Kp&#x5C;&#0092;%26%2392%3B\x5c )", " **** "},
    };
    for (const auto& c : cases) {
        forget_all_for_tests();
        remember(c.secret);
        EXPECT_EQ(hide(c.text), c.shown) << c.text;
    }
    forget_all_for_tests();
}

}  // namespace
}  // namespace quorvel::secrets
