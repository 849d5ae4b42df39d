#include "p2p/crypto.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvel::p2p::crypto {
namespace {

std::vector<uint8_t> bytes_of(std::string_view text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<uint8_t> repeat(uint8_t byte, size_t n) {
    return std::vector<uint8_t>(n, byte);
}

TEST(CryptoTest, HmacSha256MatchesRfc4231) {
    struct Case {
        std::string name;
        std::vector<uint8_t> key;
        std::vector<uint8_t> data;
        std::string tag_hex;  // test case 5 gives only the first 128 bits
    };
    std::vector<uint8_t> key4;
    for (uint8_t i = 1; i <= 25; ++i) {
        key4.push_back(i);
    }
    const std::vector<Case> cases = {
        {"1", repeat(0x0b, 20), bytes_of("Hi There"),
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"2", bytes_of("Jefe"), bytes_of("what do ya want for nothing?"),
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {"3", repeat(0xaa, 20), repeat(0xdd, 50),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {"4", key4, repeat(0xcd, 50),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {"5", repeat(0x0c, 20), bytes_of("Test With Truncation"),
         "a3b6167473100ee06e0c796c2955552b"},
        {"6", repeat(0xaa, 131), bytes_of("Test Using Larger Than Block-Size Key - Hash Key First"),
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {"7", repeat(0xaa, 131),
         bytes_of("This is a test using a larger than block-size key and a larger than block-size "
                  "data. The key needs to be hashed before being used by the HMAC algorithm."),
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("RFC 4231 test case " + c.name);
        Sha256 tag = hmac_sha256(c.key, c.data);
        EXPECT_EQ(to_hex(tag).substr(0, c.tag_hex.size()), c.tag_hex);
    }
}

TEST(CryptoTest, HmacWithEmptyKeyAndMessage) {
    // HMAC-SHA-256("", "") as published with common test suites.
    EXPECT_EQ(to_hex(hmac_sha256({}, {})),
              "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
}

TEST(CryptoTest, Sha256OfAbc) {
    EXPECT_EQ(to_hex(sha256(bytes_of("abc"))),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(CryptoTest, Ed25519MatchesRfc8032TestOne) {
    auto sk = SecKey::parse("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
    ASSERT_TRUE(sk.has_value());
    EXPECT_EQ(derive_public_key(*sk).to_string(),
              "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
    auto sig = sign_ed25519(*sk, {});
    ASSERT_TRUE(sig.has_value());
    EXPECT_EQ(to_hex(*sig),
              "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e"
              "39701cf9b46bd25bf5f0595bbe24655141438e7a100b");
    EXPECT_TRUE(verify_ed25519(derive_public_key(*sk), {}, *sig));
}

TEST(CryptoTest, SignatureCoversTheMessageAndKey) {
    SecKey sk = SecKey::random();
    auto msg = bytes_of("node metrics");
    auto sig = sign_ed25519(sk, msg);
    ASSERT_TRUE(sig.has_value());
    EXPECT_TRUE(verify_ed25519(derive_public_key(sk), msg, *sig));
    auto other = bytes_of("node metricS");
    EXPECT_FALSE(verify_ed25519(derive_public_key(sk), other, *sig));
    EXPECT_FALSE(verify_ed25519(derive_public_key(SecKey::random()), msg, *sig));
}

TEST(CryptoTest, KeyExchangeGivesMatchingSessionKeys) {
    SecKey a = SecKey::random();
    SecKey b = SecKey::random();
    auto a_sk = convert_ed25519_sk_to_curve25519_sk(a);
    auto a_pk = convert_ed25519_pk_to_curve25519_pk(derive_public_key(a));
    auto b_sk = convert_ed25519_sk_to_curve25519_sk(b);
    auto b_pk = convert_ed25519_pk_to_curve25519_pk(derive_public_key(b));
    ASSERT_TRUE(a_sk && a_pk && b_sk && b_pk);
    auto ab = compute_kx_session_keys(*a_pk, *a_sk, *b_pk);
    auto ba = compute_kx_session_keys(*b_pk, *b_sk, *a_pk);
    ASSERT_TRUE(ab && ba);
    EXPECT_EQ(ab->tx, ba->rx);
    EXPECT_EQ(ab->rx, ba->tx);
    EXPECT_TRUE(SessionKeys::create(ab->rx, ab->tx).has_value());
}

TEST(CryptoTest, IdenticalSessionKeysAreRefused) {
    AgreementKey k{};
    k[3] = 7;
    auto keys = SessionKeys::create(k, k);
    ASSERT_FALSE(keys.has_value());
    EXPECT_EQ(keys.error().kind(), Error::Kind::SessionKeysIdentical);
    EXPECT_EQ(keys.error().debug(), "SessionKeysIdentical");
}

TEST(CryptoTest, ConvertingANonPointFails) {
    // y = 2 is not the encoding of a curve point.
    PubKey::Bytes bytes{};
    bytes[0] = 2;
    auto converted = convert_ed25519_pk_to_curve25519_pk(PubKey(bytes));
    ASSERT_FALSE(converted.has_value());
    EXPECT_EQ(converted.error().kind(), Error::Kind::AEGISConversionError);
}

TEST(CryptoTest, ErrorDebugForms) {
    EXPECT_EQ(Error(Error::Kind::DalekError).debug(), "DalekError");
    EXPECT_EQ(Error(Error::Kind::DecryptFailed).debug(), "DecryptFailed");
    EXPECT_EQ(Error(Error::Kind::AEGISConversionError).debug(), "AEGISConversionError");
    EXPECT_EQ(Error(Error::Kind::HMACError).debug(), "HMACError");
    EXPECT_EQ(Error(HexError::invalid_length(3, 64)).debug(), "HexError(InvalidLength)");
    EXPECT_EQ(Error(HexError::invalid_character('x', 2)).debug(),
              "HexError(InvalidCharacter { c: 'x', index: 2 })");
    EXPECT_EQ(Error(HexError::invalid_character('x', 2)).to_string(),
              "hex decoding failed: invalid hex character 'x' at position 2");
}

}  // namespace
}  // namespace quorvel::p2p::crypto
