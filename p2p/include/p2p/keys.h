// The node's key material and proof-of-work value. Keys travel as text in configuration files and
// headers: 64 lower-case hexadecimal digits (upper-case digits are accepted when parsing).
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "util/result.h"

namespace quorvel::p2p {

inline constexpr size_t KEY_LEN = 32;

// Why a hexadecimal text was refused.
struct HexError {
    enum class Kind { InvalidLength, InvalidCharacter };
    Kind kind = Kind::InvalidLength;
    size_t length = 0;    // InvalidLength: the length that was given
    size_t expected = 0;  // InvalidLength: the length that was wanted
    char character = 0;   // InvalidCharacter: the offending byte
    size_t index = 0;     // InvalidCharacter: its position

    static HexError invalid_length(size_t length, size_t expected) {
        return {Kind::InvalidLength, length, expected, 0, 0};
    }
    static HexError invalid_character(char c, size_t index) {
        return {Kind::InvalidCharacter, 0, 0, c, index};
    }
    std::string to_string() const;
    // `InvalidLength` or `InvalidCharacter { c: 'g', index: 5 }`.
    std::string debug() const;
    bool operator==(const HexError&) const = default;
};

// Lower-case hexadecimal form of `bytes`.
std::string to_hex(std::span<const uint8_t> bytes);
// Decodes exactly `out.size()` bytes from 2 * out.size() hexadecimal digits.
Result<void, HexError> from_hex(std::string_view text, std::span<uint8_t> out);

// A node's Ed25519 public key; it names the node everywhere in the overlay.
class PubKey {
  public:
    using Bytes = std::array<uint8_t, KEY_LEN>;

    constexpr PubKey() = default;
    constexpr explicit PubKey(const Bytes& bytes) : bytes_(bytes) {}
    static Result<PubKey, HexError> parse(std::string_view text);

    const Bytes& as_bytes() const { return bytes_; }
    std::string to_string() const { return to_hex(bytes_); }
    // The UDP port a node binds when its options name none: 10000 to 29999, below the usual
    // ephemeral range so that it rarely collides with outgoing sockets.
    uint16_t udp_port() const;
    // A hash of all 32 bytes under a key chosen at random per process: keys come from documents
    // and peers, and keys crafted to agree in some bytes must not pile up in one bucket.
    size_t hash() const noexcept;

    auto operator<=>(const PubKey&) const = default;

  private:
    Bytes bytes_{};
};

// The 32-byte Ed25519 seed from which a node's signing key pair is derived.
class SecKey {
  public:
    using Bytes = std::array<uint8_t, KEY_LEN>;

    SecKey() = default;
    explicit SecKey(const Bytes& bytes) : bytes_(bytes) {}
    static Result<SecKey, HexError> parse(std::string_view text);
    static SecKey random();

    const Bytes& as_bytes() const { return bytes_; }
    std::string to_string() const { return to_hex(bytes_); }

    bool operator==(const SecKey&) const = default;

  private:
    Bytes bytes_{};
};

// The proof-of-work value found for a public key; stored as a signed 32-bit integer.
class Pow {
  public:
    constexpr Pow() = default;
    constexpr explicit Pow(int32_t value) : value_(value) {}
    constexpr int32_t value() const { return value_; }
    constexpr explicit operator int32_t() const { return value_; }
    std::string to_string() const { return std::to_string(value_); }

    constexpr auto operator<=>(const Pow&) const = default;

  private:
    int32_t value_ = 0;
};

}  // namespace quorvel::p2p

template <>
struct std::hash<quorvel::p2p::PubKey> {
    size_t operator()(const quorvel::p2p::PubKey& k) const noexcept { return k.hash(); }
};

template <>
struct fmt::formatter<quorvel::p2p::PubKey> : fmt::formatter<std::string_view> {
    auto format(const quorvel::p2p::PubKey& k, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(k.to_string(), ctx);
    }
};

template <>
struct fmt::formatter<quorvel::p2p::SecKey> : fmt::formatter<std::string_view> {
    auto format(const quorvel::p2p::SecKey& k, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(k.to_string(), ctx);
    }
};

template <>
struct fmt::formatter<quorvel::p2p::Pow> : fmt::formatter<int32_t> {
    auto format(const quorvel::p2p::Pow& p, format_context& ctx) const {
        return fmt::formatter<int32_t>::format(p.value(), ctx);
    }
};

template <>
struct fmt::formatter<quorvel::p2p::HexError> : fmt::formatter<std::string_view> {
    auto format(const quorvel::p2p::HexError& e, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(e.to_string(), ctx);
    }
};
