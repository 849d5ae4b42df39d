#include "p2p/keys.h"

#include <gtest/gtest.h>

#include <set>
#include <unordered_set>

namespace quorvel::p2p {
namespace {

const std::string kKeyText = "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a";

TEST(KeysTest, PubKeyTextRoundTrips) {
    auto pk = PubKey::parse(kKeyText);
    ASSERT_TRUE(pk.has_value()) << pk.error().to_string();
    EXPECT_EQ(pk->as_bytes()[0], 0xd7);
    EXPECT_EQ(pk->as_bytes()[31], 0x1a);
    EXPECT_EQ(pk->to_string(), kKeyText);
    EXPECT_EQ(fmt::format("{}", *pk), kKeyText);
    auto again = PubKey::parse(pk->to_string());
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(*again, *pk);
}

TEST(KeysTest, UpperCaseDigitsAreAcceptedAndWrittenLowerCase) {
    std::string upper = kKeyText;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    auto pk = PubKey::parse(upper);
    ASSERT_TRUE(pk.has_value());
    EXPECT_EQ(pk->to_string(), kKeyText);
}

TEST(KeysTest, SecKeyTextRoundTrips) {
    SecKey sk = SecKey::random();
    auto parsed = SecKey::parse(sk.to_string());
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(*parsed, sk);
    EXPECT_EQ(sk.to_string().size(), 64u);
}

TEST(KeysTest, BadKeyTextIsRejectedWithMessage) {
    struct Case {
        std::string text;
        std::string message;
        std::string debug;
    };
    const std::vector<Case> cases = {
        {"", "invalid hex length: expected 64 characters, got 0", "InvalidLength"},
        {kKeyText.substr(0, 63), "invalid hex length: expected 64 characters, got 63",
         "InvalidLength"},
        {kKeyText + "00", "invalid hex length: expected 64 characters, got 66", "InvalidLength"},
        {"g" + kKeyText.substr(1), "invalid hex character 'g' at position 0",
         "InvalidCharacter { c: 'g', index: 0 }"},
        {kKeyText.substr(0, 63) + " ", "invalid hex character ' ' at position 63",
         "InvalidCharacter { c: ' ', index: 63 }"},
        {kKeyText.substr(0, 10) + "\n" + kKeyText.substr(11),
         "invalid hex character '\\n' at position 10", "InvalidCharacter { c: '\\n', index: 10 }"},
        {kKeyText.substr(0, 5) + "\xc3" + kKeyText.substr(6),
         "invalid hex character '\\u{c3}' at position 5",
         "InvalidCharacter { c: '\\u{c3}', index: 5 }"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto pk = PubKey::parse(c.text);
        ASSERT_FALSE(pk.has_value());
        EXPECT_EQ(pk.error().to_string(), c.message);
        EXPECT_EQ(pk.error().debug(), c.debug);
        auto sk = SecKey::parse(c.text);
        ASSERT_FALSE(sk.has_value());
        EXPECT_EQ(sk.error(), pk.error());
    }
}

TEST(KeysTest, PubKeyOrderIsByteWise) {
    PubKey::Bytes a{}, b{}, c{};
    a[31] = 0xff;
    b[0] = 0x01;
    c[0] = 0x80;
    std::set<PubKey> sorted = {PubKey(c), PubKey(a), PubKey(b)};
    std::vector<PubKey> order(sorted.begin(), sorted.end());
    EXPECT_EQ(order, (std::vector<PubKey>{PubKey(a), PubKey(b), PubKey(c)}));
    EXPECT_NE(PubKey(a), PubKey(b));
    EXPECT_EQ(PubKey(a), PubKey(a));
}

TEST(KeysTest, HashSeparatesKeys) {
    std::unordered_set<PubKey> keys;
    for (int i = 0; i < 64; ++i) {
        PubKey::Bytes bytes{};
        bytes[static_cast<size_t>(i % 32)] = static_cast<uint8_t>(i + 1);
        keys.insert(PubKey(bytes));
    }
    EXPECT_EQ(keys.size(), 64u);
}

// Keys from a document that agree everywhere but in one byte, at each position in turn, must not
// share a hash, or loading them piles every key into one bucket.
TEST(KeysTest, HashReadsEveryByte) {
    for (size_t position = 0; position < KEY_LEN; ++position) {
        std::set<size_t> hashes;
        for (int value = 0; value < 256; ++value) {
            PubKey::Bytes bytes;
            bytes.fill(0xab);
            bytes[position] = static_cast<uint8_t>(value);
            hashes.insert(std::hash<PubKey>{}(PubKey(bytes)));
        }
        EXPECT_EQ(hashes.size(), 256u) << "byte " << position;
    }
    PubKey::Bytes bytes;
    bytes.fill(7);
    EXPECT_EQ(PubKey(bytes).hash(), std::hash<PubKey>{}(PubKey(bytes)));
}

TEST(KeysTest, UdpPortIsDerivedFromTheKey) {
    PubKey::Bytes bytes{};
    EXPECT_EQ(PubKey(bytes).udp_port(), 10000);
    bytes[0] = 0xff;
    bytes[1] = 0xff;  // 65535 % 20000 = 5535
    EXPECT_EQ(PubKey(bytes).udp_port(), 15535);
    bytes[0] = 0x4e;
    bytes[1] = 0x1f;  // 19999
    EXPECT_EQ(PubKey(bytes).udp_port(), 29999);
    bytes[31] = 0x42;  // later bytes play no part
    EXPECT_EQ(PubKey(bytes).udp_port(), 29999);
}

TEST(KeysTest, PowConvertsLosslessly) {
    for (int32_t v : {0, 1, -1, INT32_MIN, INT32_MAX, 123456}) {
        Pow pow(v);
        EXPECT_EQ(static_cast<int32_t>(pow), v);
        EXPECT_EQ(pow.value(), v);
        EXPECT_EQ(pow.to_string(), std::to_string(v));
    }
}

}  // namespace
}  // namespace quorvel::p2p
