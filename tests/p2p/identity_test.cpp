#include "p2p/identity.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "p2p/crypto.h"

namespace quorvel::p2p {
namespace {

// Independent count of the leading zero bits, one bit at a time.
unsigned slow_leading_zeros(const PubKey& pk, Pow pow) {
    std::vector<uint8_t> input(pk.as_bytes().begin(), pk.as_bytes().end());
    auto v = static_cast<uint32_t>(pow.value());
    for (int shift = 24; shift >= 0; shift -= 8) {
        input.push_back(static_cast<uint8_t>(v >> shift));
    }
    auto hash = crypto::sha256(input);
    unsigned n = 0;
    for (unsigned bit = 0; bit < 256; ++bit) {
        if (hash[bit / 8] & (0x80 >> (bit % 8))) {
            break;
        }
        ++n;
    }
    return n;
}

TEST(IdentityTest, GenerateMeetsTheDifficulty) {
    for (uint8_t difficulty : {0, 1, 8, 12, 16}) {
        SCOPED_TRACE(int(difficulty));
        auto id = Identity::generate(difficulty);
        ASSERT_TRUE(id.has_value());
        EXPECT_GE(slow_leading_zeros(id->pk(), id->pow()), difficulty);
        EXPECT_EQ(id->difficulty(), slow_leading_zeros(id->pk(), id->pow()));
        EXPECT_TRUE(pow_meets(id->pk(), id->pow(), difficulty));
        EXPECT_EQ(id->pk(), crypto::derive_public_key(id->sk()));
    }
}

TEST(IdentityTest, NewDerivesThePublicKey) {
    auto id = Identity::generate(4);
    ASSERT_TRUE(id.has_value());
    Identity rebuilt(id->sk(), id->pow());
    EXPECT_EQ(rebuilt, *id);
    Identity other_pow(id->sk(), Pow(id->pow().value() + 1));
    EXPECT_EQ(other_pow.pk(), id->pk());
    EXPECT_EQ(other_pow.pow().value(), id->pow().value() + 1);
}

TEST(IdentityTest, PowDifficultyAgreesWithBitCount) {
    auto pk = crypto::derive_public_key(SecKey::random());
    for (int32_t v : {0, 1, -1, 1000, INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(pow_difficulty(pk, Pow(v)), slow_leading_zeros(pk, Pow(v)));
    }
}

TEST(IdentityTest, CancelledTokenStopsAtOnce) {
    CancellationToken token;
    token.cancel();
    auto id = Identity::generate(255, token);
    ASSERT_FALSE(id.has_value());
    EXPECT_EQ(id.error().kind(), identity::Error::Kind::Cancelled);
    EXPECT_EQ(id.error().to_string(), "identity generation was cancelled");
    EXPECT_EQ(id.error().debug(), "Cancelled");
}

TEST(IdentityTest, CancellingDuringTheSearchStopsIt) {
    CancellationToken token;
    std::thread canceller([token] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        token.cancel();
    });
    // 255 leading zero bits are never found; only the token can end the search.
    auto id = Identity::generate(255, token);
    canceller.join();
    ASSERT_FALSE(id.has_value());
    EXPECT_EQ(id.error().kind(), identity::Error::Kind::Cancelled);
}

}  // namespace
}  // namespace quorvel::p2p
