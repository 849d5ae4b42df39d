// Unicode text operations.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

// The full Unicode lower-case form of UTF-8 text, without language-specific rules (so one
// character may become several, as U+0130 does). Invalid UTF-8 sequences become U+FFFD.
std::string unicode_to_lower(std::string_view text);

// The pieces of `text` between runs of characters with the Unicode White_Space property (so
// U+3000 separates as a space does). Ill-formed sequences belong to the pieces.
std::vector<std::string_view> split_unicode_white_space(std::string_view text);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool is_valid_utf8(std::string_view text);

}  // namespace quorvel
