#include "controller_api/auth.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvel::controller_api::utils {
namespace {

std::vector<uint8_t> from_hex(std::string_view hex) {
    std::vector<uint8_t> out;
    for (size_t i = 0; i < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

Bytes16 filled(uint8_t byte) {
    Bytes16 out;
    out.fill(byte);
    return out;
}

// The example of controller_api/README.md, byte for byte.
TEST(SignatureMessageTest, LinkMessageHasTheDocumentedLayout) {
    const std::string expected_hex =
        "71756f7276656c2d6e6f64652d6c696e6b2d763100"
        "0000000000000002706b"
        "000000000000000161"
        "0000000000000000"
        "0000000000000000"
        "0000000000000000"
        "01010101010101010101010101010101"
        "0000000000000000";
    EXPECT_EQ(link_signature_message_bytes("pk", "a", "", "", "", filled(0x01), ""),
              from_hex(expected_hex));
}

TEST(SignatureMessageTest, DeviceAuthMessageHasTheDocumentedLayout) {
    Bytes16 nonce;
    for (size_t i = 0; i < nonce.size(); ++i) {
        nonce[i] = static_cast<uint8_t>(0xf0 + i);
    }
    const std::string expected_hex =
        "71756f7276656c2d6465766963652d617574682d763100"  // "quorvel-device-auth-v1\0"
        "0000000000000003616263"                          // "abc"
        "0000000000000009"
        "3132332d3435362d37"                // "123-456-7"
        "0000000000000000"                  // empty issued_at
        "a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0a0"  // challenge_id
        "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff"  // nonce
        "00000000000000026970";             // "ip"
    EXPECT_EQ(
        device_auth_signature_message_bytes("abc", "123-456-7", "", filled(0xa0), nonce, "ip"),
        from_hex(expected_hex));
}

// Moving bytes from one text to its neighbour, or swapping the 16-byte values, must change
// the message: otherwise a signature would cover two different answers.
TEST(SignatureMessageTest, DifferentFieldListsNeverShareBytes) {
    const Bytes16 id = filled(1);
    const Bytes16 other = filled(2);
    const std::vector<std::vector<uint8_t>> link = {
        link_signature_message_bytes("ab", "c", "d", "e", "f", id, ""),
        link_signature_message_bytes("a", "bc", "d", "e", "f", id, ""),
        link_signature_message_bytes("ab", "", "cd", "e", "f", id, ""),
        link_signature_message_bytes("ab", "c", "d", "e", "f", id, "g"),
        link_signature_message_bytes("ab", "c", "d", "e", "fg", id, ""),
        link_signature_message_bytes("ab", "c", "d", "e", "f", other, ""),
        link_signature_message_bytes("ab", "c", "d", "ef", "", id, ""),
    };
    const std::vector<std::vector<uint8_t>> device = {
        device_auth_signature_message_bytes("ab", "c", "d", id, other, ""),
        device_auth_signature_message_bytes("a", "bc", "d", id, other, ""),
        device_auth_signature_message_bytes("ab", "c", "d", other, id, ""),
        device_auth_signature_message_bytes("ab", "c", "d", id, other, "e"),
        device_auth_signature_message_bytes("ab", "cd", "", id, other, ""),
    };
    std::vector<std::vector<uint8_t>> all = link;
    all.insert(all.end(), device.begin(), device.end());
    for (size_t i = 0; i < all.size(); ++i) {
        for (size_t j = i + 1; j < all.size(); ++j) {
            EXPECT_NE(all[i], all[j]) << i << " and " << j;
        }
    }
}

TEST(SignatureMessageTest, TextsAreTakenAsTheirBytes) {
    // A zero byte and non-ASCII text inside a field are kept as they are, behind their length.
    const std::string with_zero("a\0b", 3);
    const auto message = link_signature_message_bytes(with_zero, "\xc3\xa9", "", "", "", {}, "");
    const auto expected = from_hex(
        "71756f7276656c2d6e6f64652d6c696e6b2d763100"
        "0000000000000003610062"
        "0000000000000002c3a9"
        "000000000000000000000000000000000000000000000000"
        "00000000000000000000000000000000"
        "0000000000000000");
    EXPECT_EQ(message, expected);
}

}  // namespace
}  // namespace quorvel::controller_api::utils
