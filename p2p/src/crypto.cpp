#include "p2p/crypto.h"

#include <sodium.h>

#include <cstdlib>
#include <cstring>

namespace quorvel::p2p::crypto {

namespace {

// libsodium must be initialised once before use; a failure leaves no safe way to go on.
void ensure_sodium() {
    static const bool ready = [] {
        if (sodium_init() < 0) {
            std::abort();
        }
        return true;
    }();
    (void)ready;
}

// libsodium declares its pointers non-null even for zero lengths.
const uint8_t* data_of(std::span<const uint8_t> bytes) {
    static const uint8_t kEmpty = 0;
    return bytes.empty() ? &kEmpty : bytes.data();
}

}  // namespace

std::string Error::to_string() const {
    switch (kind_) {
        case Kind::SessionKeysIdentical:
            return "session keys are identical";
        case Kind::DalekError:
            return "Ed25519 key operation failed";
        case Kind::DecryptFailed:
            return "decryption failed";
        case Kind::AEGISConversionError:
            return "key conversion failed";
        case Kind::HexError:
            return "hex decoding failed: " + (hex_ ? hex_->to_string() : std::string());
        case Kind::HMACError:
            return "HMAC computation failed";
    }
    return "crypto error";
}

std::string Error::debug() const {
    switch (kind_) {
        case Kind::SessionKeysIdentical:
            return "SessionKeysIdentical";
        case Kind::DalekError:
            return "DalekError";
        case Kind::DecryptFailed:
            return "DecryptFailed";
        case Kind::AEGISConversionError:
            return "AEGISConversionError";
        case Kind::HexError:
            return "HexError(" + (hex_ ? hex_->debug() : std::string()) + ")";
        case Kind::HMACError:
            return "HMACError";
    }
    return "Unknown";
}

void random_bytes(std::span<uint8_t> out) {
    ensure_sodium();
    randombytes_buf(out.data(), out.size());
}

Sha256 sha256(std::span<const uint8_t> message) {
    ensure_sodium();
    Sha256 out{};
    crypto_hash_sha256(out.data(), data_of(message), message.size());
    return out;
}

Sha256 hmac_sha256(std::span<const uint8_t> key, std::span<const uint8_t> message) {
    ensure_sodium();
    crypto_auth_hmacsha256_state state;
    crypto_auth_hmacsha256_init(&state, data_of(key), key.size());
    crypto_auth_hmacsha256_update(&state, data_of(message), message.size());
    Sha256 out{};
    crypto_auth_hmacsha256_final(&state, out.data());
    sodium_memzero(&state, sizeof state);
    return out;
}

namespace {

struct Ed25519Pair {
    std::array<uint8_t, crypto_sign_PUBLICKEYBYTES> pk;
    std::array<uint8_t, crypto_sign_SECRETKEYBYTES> sk;
};

Ed25519Pair expand(const SecKey& seed) {
    ensure_sodium();
    Ed25519Pair pair{};
    crypto_sign_seed_keypair(pair.pk.data(), pair.sk.data(), seed.as_bytes().data());
    return pair;
}

}  // namespace

PubKey derive_public_key(const SecKey& sk) {
    Ed25519Pair pair = expand(sk);
    sodium_memzero(pair.sk.data(), pair.sk.size());
    return PubKey(pair.pk);
}

Result<Signature, Error> sign_ed25519(const SecKey& sk, std::span<const uint8_t> message) {
    Ed25519Pair pair = expand(sk);
    Signature sig{};
    int rc =
        crypto_sign_detached(sig.data(), nullptr, data_of(message), message.size(), pair.sk.data());
    sodium_memzero(pair.sk.data(), pair.sk.size());
    if (rc != 0) {
        return unexpected(Error(Error::Kind::DalekError));
    }
    return sig;
}

bool verify_ed25519(const PubKey& pk, std::span<const uint8_t> message, const Signature& sig) {
    ensure_sodium();
    return crypto_sign_verify_detached(sig.data(), data_of(message), message.size(),
                                       pk.as_bytes().data()) == 0;
}

Result<AgreementKey, Error> convert_ed25519_sk_to_curve25519_sk(const SecKey& sk) {
    Ed25519Pair pair = expand(sk);
    AgreementKey out{};
    int rc = crypto_sign_ed25519_sk_to_curve25519(out.data(), pair.sk.data());
    sodium_memzero(pair.sk.data(), pair.sk.size());
    if (rc != 0) {
        return unexpected(Error(Error::Kind::AEGISConversionError));
    }
    return out;
}

Result<AgreementKey, Error> convert_ed25519_pk_to_curve25519_pk(const PubKey& pk) {
    ensure_sodium();
    AgreementKey out{};
    // Fails for byte strings that are not a point of the curve (keys from untrusted text).
    if (crypto_sign_ed25519_pk_to_curve25519(out.data(), pk.as_bytes().data()) != 0) {
        return unexpected(Error(Error::Kind::AEGISConversionError));
    }
    return out;
}

Result<SessionKeys, Error> SessionKeys::create(const AgreementKey& rx, const AgreementKey& tx) {
    if (sodium_memcmp(rx.data(), tx.data(), rx.size()) == 0) {
        return unexpected(Error(Error::Kind::SessionKeysIdentical));
    }
    return SessionKeys(rx, tx);
}

Result<KxSessionKeys, Error> compute_kx_session_keys(const AgreementKey& own_pk,
                                                     const AgreementKey& own_sk,
                                                     const AgreementKey& remote_pk) {
    ensure_sodium();
    KxSessionKeys keys{};
    bool client = std::memcmp(own_pk.data(), remote_pk.data(), own_pk.size()) < 0;
    int rc = client ? crypto_kx_client_session_keys(keys.rx.data(), keys.tx.data(), own_pk.data(),
                                                    own_sk.data(), remote_pk.data())
                    : crypto_kx_server_session_keys(keys.rx.data(), keys.tx.data(), own_pk.data(),
                                                    own_sk.data(), remote_pk.data());
    if (rc != 0) {
        return unexpected(Error(Error::Kind::DalekError));
    }
    return keys;
}

}  // namespace quorvel::p2p::crypto
