#include "controller/base64url.h"

#include <sodium.h>

namespace quorvel::controller {

namespace {
constexpr int kVariant = sodium_base64_VARIANT_URLSAFE_NO_PADDING;
}

std::string base64url_encode(std::span<const uint8_t> bytes) {
    std::string text(sodium_base64_encoded_len(bytes.size(), kVariant), '\0');
    sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(), kVariant);
    text.resize(text.size() - 1);  // the terminating NUL
    return text;
}

std::optional<std::vector<uint8_t>> base64url_decode(std::string_view text) {
    std::vector<uint8_t> bytes(text.size() * 3 / 4 + 1);
    size_t length = 0;
    // Without an end pointer, libsodium refuses input it did not consume whole.
    if (sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr, &length,
                          nullptr, kVariant) != 0) {
        return std::nullopt;
    }
    bytes.resize(length);
    return bytes;
}

}  // namespace quorvel::controller
