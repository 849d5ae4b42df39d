// The node's cryptographic functions: hashing, message authentication, Ed25519 signatures and the
// agreement keys derived from the signing keys. All of them run on libsodium.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include <fmt/format.h>

#include "p2p/keys.h"
#include "util/result.h"

namespace quorvel::p2p::crypto {

// The library's cryptographic failures.
class Error {
  public:
    enum class Kind {
        SessionKeysIdentical,
        DalekError,
        DecryptFailed,
        AEGISConversionError,
        HexError,
        HMACError,
    };

    explicit Error(Kind kind) : kind_(kind) {}
    explicit Error(HexError hex) : kind_(Kind::HexError), hex_(hex) {}

    Kind kind() const { return kind_; }
    // Present for Kind::HexError.
    const std::optional<p2p::HexError>& hex() const { return hex_; }

    std::string to_string() const;
    // The variant name, with the hex error in parentheses: `HexError(InvalidLength)`.
    std::string debug() const;

    bool operator==(const Error&) const = default;

  private:
    Kind kind_;
    std::optional<p2p::HexError> hex_;
};

using Sha256 = std::array<uint8_t, 32>;
using Signature = std::array<uint8_t, 64>;
using AgreementKey = std::array<uint8_t, 32>;

// Fills `out` from the system's random source.
void random_bytes(std::span<uint8_t> out);

Sha256 sha256(std::span<const uint8_t> message);

// HMAC-SHA-256 with a key of any length (keys longer than the block are hashed first).
Sha256 hmac_sha256(std::span<const uint8_t> key, std::span<const uint8_t> message);

// The Ed25519 public key that belongs to the seed `sk`.
PubKey derive_public_key(const SecKey& sk);

Result<Signature, Error> sign_ed25519(const SecKey& sk, std::span<const uint8_t> message);
bool verify_ed25519(const PubKey& pk, std::span<const uint8_t> message, const Signature& sig);

// Curve25519 agreement keys derived from the Ed25519 signing keys.
Result<AgreementKey, Error> convert_ed25519_sk_to_curve25519_sk(const SecKey& sk);
Result<AgreementKey, Error> convert_ed25519_pk_to_curve25519_pk(const PubKey& pk);

// A receive key and a transmit key shared with one remote node.
class SessionKeys {
  public:
    // Identical keys would let one direction's traffic be replayed as the other's.
    static Result<SessionKeys, Error> create(const AgreementKey& rx, const AgreementKey& tx);
    const AgreementKey& rx() const { return rx_; }
    const AgreementKey& tx() const { return tx_; }

  private:
    SessionKeys(const AgreementKey& rx, const AgreementKey& tx) : rx_(rx), tx_(tx) {}
    AgreementKey rx_;
    AgreementKey tx_;
};

struct KxSessionKeys {
    AgreementKey rx;
    AgreementKey tx;
};

// Both ends derive matching keys: the end with the smaller agreement public key takes the client
// role, so one end's transmit key is the other's receive key.
Result<KxSessionKeys, Error> compute_kx_session_keys(const AgreementKey& own_pk,
                                                     const AgreementKey& own_sk,
                                                     const AgreementKey& remote_pk);

}  // namespace quorvel::p2p::crypto

template <>
struct fmt::formatter<quorvel::p2p::crypto::Error> : fmt::formatter<std::string_view> {
    auto format(const quorvel::p2p::crypto::Error& e, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(e.to_string(), ctx);
    }
};
