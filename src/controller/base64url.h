// The controller protocol's base64: the URL-safe alphabet ("-" and "_") without padding. Decoding
// is strict: "=", a length that leaves a single character over, non-zero trailing bits and any
// character outside the alphabet are refused.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::controller {

std::string base64url_encode(std::span<const uint8_t> bytes);
std::optional<std::vector<uint8_t>> base64url_decode(std::string_view text);

}  // namespace quorvel::controller
