#include "p2p/keys.h"

#include <sodium.h>

#include "p2p/crypto.h"
#include "util/debug_text.h"
#include "util/hex.h"

namespace quorvel::p2p {

namespace {

// A character in single quotes with the escapes of a quoted string; bytes that are not ASCII
// stand alone here, so they are written as their code.
std::string char_literal(char c) {
    auto u = static_cast<unsigned char>(c);
    if (u >= 0x80) {
        return fmt::format("'\\u{{{:x}}}'", u);
    }
    if (c == '"') {
        return "'\"'";
    }
    if (c == '\'') {
        return "'\\''";
    }
    std::string quoted = debug_quoted(std::string_view(&c, 1));
    // The quoted form with its double quotes swapped for single ones.
    quoted.front() = '\'';
    quoted.back() = '\'';
    return quoted;
}

}  // namespace

size_t PubKey::hash() const noexcept {
    static const auto key = [] {
        std::array<uint8_t, crypto_shorthash_KEYBYTES> k{};
        crypto::random_bytes(k);
        return k;
    }();
    static_assert(crypto_shorthash_BYTES == sizeof(uint64_t));
    uint64_t out = 0;
    crypto_shorthash(reinterpret_cast<unsigned char*>(&out), bytes_.data(), bytes_.size(),
                     key.data());
    return static_cast<size_t>(out);
}

std::string HexError::to_string() const {
    switch (kind) {
        case Kind::InvalidLength:
            return fmt::format("invalid hex length: expected {} characters, got {}", expected,
                               length);
        case Kind::InvalidCharacter:
            return fmt::format("invalid hex character {} at position {}", char_literal(character),
                               index);
    }
    return "invalid hex text";
}

std::string HexError::debug() const {
    if (kind == Kind::InvalidLength) {
        return "InvalidLength";
    }
    return fmt::format("InvalidCharacter {{ c: {}, index: {} }}", char_literal(character), index);
}

std::string to_hex(std::span<const uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out(bytes.size() * 2, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 0x0f];
    }
    return out;
}

Result<void, HexError> from_hex(std::string_view text, std::span<uint8_t> out) {
    if (text.size() != out.size() * 2) {
        return unexpected(HexError::invalid_length(text.size(), out.size() * 2));
    }
    for (size_t i = 0; i < out.size(); ++i) {
        int hi = hex_digit_value(text[2 * i]);
        if (hi < 0) {
            return unexpected(HexError::invalid_character(text[2 * i], 2 * i));
        }
        int lo = hex_digit_value(text[2 * i + 1]);
        if (lo < 0) {
            return unexpected(HexError::invalid_character(text[2 * i + 1], 2 * i + 1));
        }
        out[i] = static_cast<uint8_t>((hi << 4) | lo);
    }
    return {};
}

Result<PubKey, HexError> PubKey::parse(std::string_view text) {
    Bytes bytes{};
    if (auto r = from_hex(text, bytes); !r) {
        return unexpected(r.error());
    }
    return PubKey(bytes);
}

uint16_t PubKey::udp_port() const {
    unsigned prefix = (unsigned{bytes_[0]} << 8) | bytes_[1];
    return static_cast<uint16_t>(10000 + prefix % 20000);
}

Result<SecKey, HexError> SecKey::parse(std::string_view text) {
    Bytes bytes{};
    if (auto r = from_hex(text, bytes); !r) {
        return unexpected(r.error());
    }
    return SecKey(bytes);
}

SecKey SecKey::random() {
    Bytes bytes{};
    crypto::random_bytes(bytes);
    return SecKey(bytes);
}

}  // namespace quorvel::p2p
