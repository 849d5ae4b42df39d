#include "util/semver.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace quorvel::semver {
namespace {

TEST(SemverTest, ReadsEachPart) {
    struct Case {
        const char* text;
        uint64_t major, minor, patch;
        const char* pre;
        const char* build;
    };
    const Case cases[] = {
        {"0.0.0", 0, 0, 0, "", ""},
        {"1.2.3", 1, 2, 3, "", ""},
        {"10.20.30", 10, 20, 30, "", ""},
        {"18446744073709551615.0.1", UINT64_MAX, 0, 1, "", ""},
        {"1.0.0-alpha", 1, 0, 0, "alpha", ""},
        {"1.0.0-alpha.1", 1, 0, 0, "alpha.1", ""},
        {"1.0.0-0.3.7", 1, 0, 0, "0.3.7", ""},
        {"1.0.0-x-y-z.--", 1, 0, 0, "x-y-z.--", ""},
        {"1.0.0-0a.00b", 1, 0, 0, "0a.00b", ""},
        {"1.0.0+001", 1, 0, 0, "", "001"},
        {"1.0.0-beta+exp.sha.5114f85", 1, 0, 0, "beta", "exp.sha.5114f85"},
        {"1.0.0+21AF26D3----117B344092BD", 1, 0, 0, "", "21AF26D3----117B344092BD"},
        {"1.0.0-99999999999999999999999", 1, 0, 0, "99999999999999999999999", ""},
    };
    for (const auto& c : cases) {
        auto version = Version::parse(c.text);
        ASSERT_TRUE(version) << c.text << ": " << version.error().to_string();
        EXPECT_EQ(version->major, c.major) << c.text;
        EXPECT_EQ(version->minor, c.minor) << c.text;
        EXPECT_EQ(version->patch, c.patch) << c.text;
        EXPECT_EQ(version->pre, c.pre) << c.text;
        EXPECT_EQ(version->build, c.build) << c.text;
    }
}

TEST(SemverTest, RefusesMalformedTextsWithTheirMessages) {
    struct Case {
        std::string text;
        const char* message;
    };
    const Case cases[] = {
        {"", "empty string, expected a semver version"},
        {"1", "unexpected end of input while parsing major version number"},
        {"1.2", "unexpected end of input while parsing minor version number"},
        {"1.2.", "unexpected end of input while parsing patch version number"},
        {"01.2.3", "invalid leading zero in major version number"},
        {"1.02.3", "invalid leading zero in minor version number"},
        {"1.2.00", "invalid leading zero in patch version number"},
        {"1.2.3-01", "invalid leading zero in pre-release identifier"},
        {"1.2.3-alpha.007", "invalid leading zero in pre-release identifier"},
        {"18446744073709551616.0.0", "value of major version number exceeds u64::MAX"},
        {"1.99999999999999999999.0", "value of minor version number exceeds u64::MAX"},
        {"1.2.3-", "empty identifier segment in pre-release identifier"},
        {"1.2.3-a..b", "empty identifier segment in pre-release identifier"},
        {"1.2.3-a.", "empty identifier segment in pre-release identifier"},
        {"1.2.3-.a", "empty identifier segment in pre-release identifier"},
        {"1.2.3-+b", "empty identifier segment in pre-release identifier"},
        {"1.2.3-\xc3\xa9", "empty identifier segment in pre-release identifier"},
        {"1.2.3+", "empty identifier segment in build metadata"},
        {"1.2.3+a..b", "empty identifier segment in build metadata"},
        {"v1.2.3", "unexpected character 'v' while parsing major version number"},
        {" 1.2.3", "unexpected character ' ' while parsing major version number"},
        {"1..3", "unexpected character '.' while parsing minor version number"},
        {"1.2.x", "unexpected character 'x' while parsing patch version number"},
        {"1x2.3", "unexpected character 'x' after major version number"},
        {"1.2-3", "unexpected character '-' after minor version number"},
        {"1.2.3 ", "unexpected character ' ' after patch version number"},
        {"1.2.3\n", "unexpected character '\\n' after patch version number"},
        {std::string("1.2.3\0", 6), "unexpected character '\\0' after patch version number"},
        {"1.2.3'", "unexpected character '\\'' after patch version number"},
        {"1.2.3\"", "unexpected character '\"' after patch version number"},
        {"1.2.3.4", "unexpected character '.' after patch version number"},
        {"1.2.3-a\xc3\xa9", "unexpected character '\xc3\xa9' after pre-release identifier"},
        {"1.2.3-a_b", "unexpected character '_' after pre-release identifier"},
        {"1.2.3+a+b", "unexpected character '+' after build metadata"},
        {"1.2.3+b-c_d", "unexpected character '_' after build metadata"},
    };
    for (const auto& c : cases) {
        auto version = Version::parse(c.text);
        ASSERT_FALSE(version) << c.text;
        EXPECT_EQ(version.error().to_string(), c.message) << c.text;
    }
}

// Each version is below every later one and equal only to itself.
void expect_ascending(const std::vector<std::string>& texts) {
    std::vector<Version> versions;
    for (const auto& text : texts) {
        auto version = Version::parse(text);
        ASSERT_TRUE(version) << text;
        versions.push_back(*version);
    }
    for (size_t i = 0; i < versions.size(); ++i) {
        for (size_t j = 0; j < versions.size(); ++j) {
            EXPECT_EQ(versions[i] <=> versions[j], i <=> j) << texts[i] << " vs " << texts[j];
            EXPECT_EQ(versions[i] == versions[j], i == j) << texts[i] << " vs " << texts[j];
        }
    }
}

TEST(SemverTest, OrdersByPrecedence) {
    expect_ascending({
        "0.0.0",
        "0.0.1",
        "0.1.0",
        "0.9.9",
        "0.10.0",
        "1.0.0-0",
        "1.0.0-1",
        "1.0.0-2",
        "1.0.0-10",
        "1.0.0-99999999999999999999",
        "1.0.0-A",
        "1.0.0-a",
        "1.0.0-alpha",
        "1.0.0-alpha.1",
        "1.0.0-alpha.beta",
        "1.0.0-beta",
        "1.0.0-beta.2",
        "1.0.0-beta.7",
        "1.0.0-beta.11",
        "1.0.0-rc.1",
        "1.0.0",
        "1.0.1",
        "1.1.0",
        "1.9.0",
        "1.10.0",
        "2.0.0",
        "18446744073709551615.0.0",
    });
}

TEST(SemverTest, BuildMetadataTakesPartAfterEverythingElse) {
    expect_ascending({
        "1.0.0-rc.1+zzz",
        "1.0.0",
        "1.0.0+0",
        "1.0.0+00",
        "1.0.0+1",
        "1.0.0+01",
        "1.0.0+2",
        "1.0.0+10",
        "1.0.0+10.0",
        "1.0.0+A",
        "1.0.0+a",
        "1.0.0+a.0",
        "1.0.0+a.b",
        "1.0.0+b",
        "1.0.1-0+z",
    });
}

// Versions drawn from small alphabets, so that equal parts and shared prefixes are common: the
// order must be a total order that agrees with equality.
TEST(SemverTest, OrderIsTotalOverRandomVersions) {
    std::mt19937 random(20261207);
    const char* numbers[] = {"0", "1", "2", "10"};
    const char* identifiers[] = {"0", "1", "01", "9", "10", "a", "A", "a-1", "beta", "-"};
    auto pick = [&](const auto& list) { return std::string(list[random() % std::size(list)]); };
    auto dotted = [&](bool pre) {
        std::string text;
        const size_t count = 1 + random() % 3;
        for (size_t i = 0; i < count; ++i) {
            std::string id = pick(identifiers);
            if (pre && id == "01") {
                id = "1";  // leading zeros only in build metadata
            }
            text += (i > 0 ? "." : "") + id;
        }
        return text;
    };
    std::vector<std::string> texts;
    std::vector<Version> versions;
    while (versions.size() < 70) {
        std::string text = pick(numbers) + "." + pick(numbers) + "." + pick(numbers);
        if (random() % 2 == 0) {
            text += "-" + dotted(true);
        }
        if (random() % 2 == 0) {
            text += "+" + dotted(false);
        }
        auto version = Version::parse(text);
        ASSERT_TRUE(version) << text << ": " << version.error().to_string();
        texts.push_back(text);
        versions.push_back(*version);
    }
    for (size_t i = 0; i < versions.size(); ++i) {
        for (size_t j = 0; j < versions.size(); ++j) {
            const auto ij = versions[i] <=> versions[j];
            EXPECT_EQ(ij, 0 <=> (versions[j] <=> versions[i])) << texts[i] << " vs " << texts[j];
            EXPECT_EQ(ij == 0, texts[i] == texts[j]) << texts[i] << " vs " << texts[j];
            for (size_t k = 0; k < versions.size(); ++k) {
                if (ij <= 0 && versions[j] <= versions[k]) {
                    EXPECT_LE(versions[i], versions[k])
                        << texts[i] << " <= " << texts[j] << " <= " << texts[k];
                }
            }
        }
    }
}

}  // namespace
}  // namespace quorvel::semver
