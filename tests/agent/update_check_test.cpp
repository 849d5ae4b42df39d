#include "agent/update_check.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvel::agent {
namespace {

struct Case {
    std::string candidate;
    std::string current;
    bool newer;
};

void expect_cases(const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        EXPECT_EQ(is_newer_version(c.candidate, c.current), c.newer)
            << '"' << c.candidate << "\" against \"" << c.current << '"';
    }
}

TEST(IsNewerVersionTest, ComparesSemanticVersionsByPrecedence) {
    expect_cases({
        {"1.10.0", "1.9.0", true},
        {"1.9.0", "1.10.0", false},
        {"1.0.0", "1.0.0-beta.1", true},
        {"1.0.0-beta.1", "1.0.0", false},
        {"1.0.0-beta.10", "1.0.0-beta.9", true},
        {"1.0.0-alpha.1", "1.0.0-alpha", true},
        {"1.0.0-beta.7", "1.0.0-alpha.1", true},
        {"1.0.0-beta.7", "1.0.0-beta.7", false},
        {"1.0.0+2", "1.0.0+1", true},
        {"1.0.0+1", "1.0.0+2", false},
        {"1.0.0+1", "1.0.0", true},
        {"1.0.0", "1.0.0+1", false},
        {"1.0.0+01", "1.0.0+1", true},
        {"2.0.0", "1.99.99", true},
        {"0.0.1", "0.0.0", true},
    });
}

TEST(IsNewerVersionTest, ComparesBytesWhenEitherTextIsNoVersion) {
    expect_cases({
        // The letter v is above every digit.
        {"v1.2.0", "1.1.0", true},
        {"1.1.0", "v1.2.0", false},
        // Neither parses: the fourth byte decides, whatever the releases are.
        {"v1.2.0", "v1.10.0", true},
        {"v1.10.0", "v1.2.0", false},
        {"1.2", "1.1.0", true},
        {"1.1.0", "1.2", false},
        {"1.0", "1.0.0", false},
        {"1.0.0", "1.0", true},
        // Blanks make a text no version: " 1.0.0" starts with a byte below every digit.
        {" 2.0.0", "1.0.0", false},
        {"1.0.0 ", "1.0.0", true},
        {"1.0.0", "1.0.0 ", false},
        // A leading zero refuses the version, and the digit 0 is below the digit 1.
        {"01.0.0", "1.0.0", false},
        {"1.0.0", "01.0.0", true},
        // Bytes compare unsigned: a non-ASCII byte is above every ASCII one.
        {"\xc3\xa9", "z", true},
        {"z", "\xc3\xa9", false},
        {"", "1.0.0", false},
        {"1.0.0", "", true},
        {"", "", false},
        {"v1", "v1", false},
        {"1.0.0 ", "1.0.0 ", false},
    });
}

}  // namespace
}  // namespace quorvel::agent
