#include "util/json_read.h"

#include <gtest/gtest.h>

#include <string>

#include "util/secrets.h"

namespace quorvel {
namespace {

std::string library_message(const std::string& text) {
    try {
        [[maybe_unused]] const auto parsed = nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& e) {
        return e.what();
    }
    return "";
}

// The library's message quotes what it read last, which may be the whole document: the error keeps
// its first kilobyte, cut before the start of a known secret, and masks what it keeps.
TEST(JsonReadTest, ParserMessagesAreBoundedBeforeTheyAreMasked) {
    secrets::forget_all_for_tests();
    secrets::remember("hunter2-secret");
    const std::string unterminated = "[\"" + std::string(4 * 1024 * 1024, 'x');
    const std::string raw = library_message(unterminated);
    ASSERT_GT(raw.size(), 4u * 1024 * 1024);
    struct Case {
        const char* name;
        std::string text;
        std::string message;
    };
    const Case cases[] = {
        {"a short document", "[1,", ""},
        {"a huge string", unterminated,
         raw.substr(0, 1024) + "... [" + std::to_string(raw.size() - 1024) + " bytes left out]"},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_json(c.text);
        ASSERT_FALSE(parsed) << c.name;
        const std::string expected = c.message.empty() ? library_message(c.text) : c.message;
        EXPECT_EQ(parsed.error().message(), expected) << c.name;
    }

    // Where the kept kilobyte ends inside a known secret, none of it is kept; a URL within the
    // kilobyte shows no password.
    const std::string head = library_message("[\"https://u:pw@h/ ");
    const size_t quote = head.find("last read: '") + 12;
    ASSERT_NE(quote, std::string::npos + 12);
    const std::string filler(1024 - quote - 30, 'f');
    const auto parsed =
        parse_json("[\"https://u:pw@h/ " + filler + "hunter2-secret" + std::string(5000, 'z'));
    ASSERT_FALSE(parsed);
    const std::string& message = parsed.error().message();
    EXPECT_EQ(message.find("hunt"), std::string::npos) << message;
    EXPECT_EQ(message.find("u:pw"), std::string::npos) << message;
    EXPECT_NE(message.find("https://****:****@h/ " + filler + "... ["), std::string::npos)
        << message;
    secrets::forget_all_for_tests();
}

// A found string is outside text: bounded, then masked, and a URL whose password the cut would
// split from its "@" is left out whole, written percent-encoded or not.
TEST(JsonReadTest, FoundStringsAreBoundedThenMasked) {
    secrets::forget_all_for_tests();
    const std::string encoded = "https%3A%2F%2Fu%3Ahunter2pw%40h%2Fx";
    const struct {
        nlohmann::json value;
        std::string message;
    } cases[] = {
        {"see https://u:pw@h/x",
         "invalid type: string \"see https://****:****@h/x\", expected u16"},
        {std::string(1000, 'v') + " " + encoded + " " + std::string(100, 'w'),
         "invalid type: string \"" + std::string(1000, 'v') + " ... [" +
             std::to_string(encoded.size() + 101) + " bytes left out]\", expected u16"},
        {std::string(1010, 'v') + " https://u:hunter2pw@h/x" + std::string(100, 'w'),
         "invalid type: string \"" + std::string(1010, 'v') + " ... [" + std::to_string(123) +
             " bytes left out]\", expected u16"},
    };
    for (const auto& c : cases) {
        auto read = json_read::read_integer<uint16_t>(c.value);
        ASSERT_FALSE(read);
        EXPECT_EQ(read.error().message(), c.message);
    }
}

TEST(JsonReadTest, FoundStringsAreBounded) {
    const struct {
        nlohmann::json value;
        std::string message;
    } cases[] = {
        {std::string(1024, 'v'),
         "invalid type: string \"" + std::string(1024, 'v') + "\", expected u16"},
        {std::string(3000, 'v'), "invalid type: string \"" + std::string(1024, 'v') +
                                     "... [1976 bytes left out]\", expected u16"},
        {std::string(1023, 'v') + "\n\n", "invalid type: string \"" + std::string(1023, 'v') +
                                              "\\n... [1 bytes left out]\", expected u16"},
    };
    for (const auto& c : cases) {
        auto read = json_read::read_integer<uint16_t>(c.value);
        ASSERT_FALSE(read);
        EXPECT_EQ(read.error().message(), c.message);
    }
}

}  // namespace
}  // namespace quorvel
