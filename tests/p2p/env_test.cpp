#include "p2p/env.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace quorvel::p2p::util::system {
namespace {

// Sets "QUORVEL_" + key for the test's duration and restores the absence afterwards.
class ScopedEnv {
  public:
    ScopedEnv(std::string key, std::optional<std::string> value) : name_("QUORVEL_" + key) {
        if (value) {
            setenv(name_.c_str(), value->c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }
    ~ScopedEnv() { unsetenv(name_.c_str()); }

  private:
    std::string name_;
};

TEST(GetEnvTest, MinPowDifficulty) {
    struct Case {
        std::optional<std::string> value;
        uint8_t expected;
    };
    const std::vector<Case> cases = {
        {std::nullopt, 24}, {"+30", 30}, {"30", 30},   {"0", 0},    {"255", 255},
        {"256", 24},        {"-1", 24},  {"+", 24},    {" 30", 24}, {"30 ", 24},
        {"", 24},           {"++3", 24}, {"0x1f", 24}, {"007", 7},  {"3.0", 24},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.value_or("<unset>"));
        ScopedEnv env("MIN_POW_DIFFICULTY", c.value);
        EXPECT_EQ(get_env("MIN_POW_DIFFICULTY", uint8_t{24}), c.expected);
    }
}

TEST(GetEnvTest, UnsignedSixtyFourBits) {
    struct Case {
        std::optional<std::string> value;
        uint64_t expected;
    };
    const std::vector<Case> cases = {
        {std::nullopt, 8192},
        {"18446744073709551615", 18446744073709551615ULL},
        {"+18446744073709551615", 18446744073709551615ULL},
        {"18446744073709551616", 8192},  // one above the largest value
        {"99999999999999999999", 8192},
        {"0", 0},
        {"-0", 8192},
        {"1_000", 8192},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.value_or("<unset>"));
        ScopedEnv env("MAX_PEERS", c.value);
        EXPECT_EQ(get_env("MAX_PEERS", uint64_t{8192}), c.expected);
    }
}

TEST(GetEnvTest, BooleansAreExactlyTrueOrFalse) {
    struct Case {
        std::optional<std::string> value;
        bool default_value;
        bool expected;
    };
    const std::vector<Case> cases = {
        {"true", false, true},      {"false", true, false}, {"TRUE", true, true},
        {"TRUE", false, false},     {"True", false, false}, {"1", false, false},
        {"0", true, true},          {"", false, false},     {" true", false, false},
        {std::nullopt, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value.value_or("<unset>"));
        ScopedEnv env("ARM_MESSAGES", c.value);
        EXPECT_EQ(get_env("ARM_MESSAGES", c.default_value), c.expected);
    }
}

TEST(GetEnvTest, TextIsUnchanged) {
    {
        ScopedEnv env("UDP_ADDRS", std::string("  127.0.0.1 ::1 "));
        EXPECT_EQ(get_env("UDP_ADDRS", ""), "  127.0.0.1 ::1 ");
    }
    {
        ScopedEnv env("UDP_ADDRS", std::string(""));
        EXPECT_EQ(get_env("UDP_ADDRS", "fallback"), "");
    }
    {
        ScopedEnv env("UDP_ADDRS", std::nullopt);
        EXPECT_EQ(get_env("UDP_ADDRS", std::string("fallback")), "fallback");
    }
}

TEST(GetEnvTest, TextThatIsNotUtf8GivesTheDefault) {
    ScopedEnv text("UDP_PORT", std::string("40\xff"));
    EXPECT_EQ(get_env("UDP_PORT", "none"), "none");
    ScopedEnv number("MTU", std::string("\xc0\xb1"));  // an overlong "1"
    EXPECT_EQ(get_env("MTU", uint64_t{1200}), 1200u);
}

TEST(GetEnvTest, ParseUnsignedLimits) {
    EXPECT_EQ(parse_unsigned("65535", 65535), 65535u);
    EXPECT_EQ(parse_unsigned("65536", 65535), std::nullopt);
    EXPECT_EQ(parse_unsigned("+4000", 65535), 4000u);
    EXPECT_EQ(parse_unsigned("  ", 65535), std::nullopt);
}

}  // namespace
}  // namespace quorvel::p2p::util::system
