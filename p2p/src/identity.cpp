#include "p2p/identity.h"

#include <bit>
#include <cstring>

#include "p2p/crypto.h"

namespace quorvel::p2p {

std::string identity::Error::to_string() const {
    return "identity generation was cancelled";
}

std::string identity::Error::debug() const {
    return "Cancelled";
}

namespace {

unsigned leading_zero_bits(const crypto::Sha256& hash) {
    unsigned bits = 0;
    for (uint8_t byte : hash) {
        if (byte != 0) {
            return bits + static_cast<unsigned>(std::countl_zero(byte));
        }
        bits += 8;
    }
    return bits;
}

void put_pow(uint8_t* out, uint32_t pow) {
    out[0] = static_cast<uint8_t>(pow >> 24);
    out[1] = static_cast<uint8_t>(pow >> 16);
    out[2] = static_cast<uint8_t>(pow >> 8);
    out[3] = static_cast<uint8_t>(pow);
}

constexpr uint32_t kCancelCheckInterval = 4096;

}  // namespace

unsigned pow_difficulty(const PubKey& pk, Pow pow) {
    std::array<uint8_t, KEY_LEN + 4> input{};
    std::memcpy(input.data(), pk.as_bytes().data(), KEY_LEN);
    put_pow(input.data() + KEY_LEN, static_cast<uint32_t>(pow.value()));
    return leading_zero_bits(crypto::sha256(input));
}

Identity::Identity(SecKey sk, Pow pow) : sk_(sk), pk_(crypto::derive_public_key(sk)), pow_(pow) {}

Result<Identity, identity::Error> Identity::generate(uint8_t difficulty,
                                                     std::optional<CancellationToken> cancel) {
    std::array<uint8_t, KEY_LEN + 4> input{};
    for (;;) {
        SecKey sk = SecKey::random();
        PubKey pk = crypto::derive_public_key(sk);
        std::memcpy(input.data(), pk.as_bytes().data(), KEY_LEN);
        // Every 32-bit value is tried for this key before a new key is drawn.
        uint32_t pow = 0;
        do {
            if (pow % kCancelCheckInterval == 0 && cancel && cancel->is_cancelled()) {
                return unexpected(identity::Error(identity::Error::Kind::Cancelled));
            }
            put_pow(input.data() + KEY_LEN, pow);
            if (leading_zero_bits(crypto::sha256(input)) >= difficulty) {
                return Identity(sk, pk, Pow(static_cast<int32_t>(pow)));
            }
            ++pow;
        } while (pow != 0);
    }
}

}  // namespace quorvel::p2p
