// A node's identity: its secret key, the public key derived from it and the proof of work that
// makes the public key costly to mint. The proof-of-work rule: the difficulty met by (key, pow) is
// the number of leading zero bits of SHA-256(public key || pow as 4 bytes, big-endian).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "p2p/keys.h"
#include "util/cancellation_token.h"
#include "util/result.h"

namespace quorvel::p2p {

namespace identity {

class Error {
  public:
    enum class Kind { Cancelled };
    explicit Error(Kind kind) : kind_(kind) {}
    Kind kind() const { return kind_; }
    std::string to_string() const;
    std::string debug() const;
    bool operator==(const Error&) const = default;

  private:
    Kind kind_;
};

}  // namespace identity

// The number of leading zero bits of the proof-of-work hash of (`pk`, `pow`), 0 to 256.
unsigned pow_difficulty(const PubKey& pk, Pow pow);
inline bool pow_meets(const PubKey& pk, Pow pow, uint8_t difficulty) {
    return pow_difficulty(pk, pow) >= difficulty;
}

class Identity {
  public:
    // Derives the public key from `sk`; the proof of work is taken as given, not checked.
    Identity(SecKey sk, Pow pow);

    // Draws fresh keys and searches proof-of-work values until one meets `difficulty`. Blocks the
    // calling thread and can take long (about 2^difficulty hashes); from difficulty 16 up, up to
    // three helper threads search too and are joined before it returns. It checks `cancel` every
    // few thousand hashes and gives up with `Cancelled` once it fires.
    static Result<Identity, identity::Error> generate(
        uint8_t difficulty, std::optional<CancellationToken> cancel = std::nullopt);

    const SecKey& sk() const { return sk_; }
    const PubKey& pk() const { return pk_; }
    Pow pow() const { return pow_; }
    unsigned difficulty() const { return pow_difficulty(pk_, pow_); }

    bool operator==(const Identity&) const = default;

  private:
    Identity(SecKey sk, PubKey pk, Pow pow) : sk_(sk), pk_(pk), pow_(pow) {}
    SecKey sk_;
    PubKey pk_;
    Pow pow_;
};

}  // namespace quorvel::p2p

template <>
struct fmt::formatter<quorvel::p2p::identity::Error> : fmt::formatter<std::string_view> {
    auto format(const quorvel::p2p::identity::Error& e, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(e.to_string(), ctx);
    }
};
