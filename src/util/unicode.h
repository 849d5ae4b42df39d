// Unicode text operations.
#pragma once

#include <string>
#include <string_view>

namespace quorvel {

// The full Unicode lower-case form of UTF-8 text, without language-specific rules (so one
// character may become several, as U+0130 does). Invalid UTF-8 sequences become U+FFFD.
std::string unicode_to_lower(std::string_view text);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool is_valid_utf8(std::string_view text);

}  // namespace quorvel
