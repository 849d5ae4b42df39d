// Unicode text operations.
#pragma once

#include <cstddef>
#include <cstdint>
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

// The length of the well-formed UTF-8 sequence that starts at `at` (1 for an ASCII byte), or 0
// where none does: a stray continuation byte, an overlong form, a surrogate, a value past U+10FFFF
// or a sequence cut short. The second byte's range per lead byte is what rules out overlong forms
// (C0, C1, E0 80..9F, F0 80..8F), surrogates (ED A0..BF) and values past U+10FFFF (F4 90..BF,
// F5..FF). Inline: escaping judges every non-ASCII character of a log line with it.
inline size_t utf8_sequence_length(std::string_view text, size_t at) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char lead = bytes[at];
    if (lead < 0x80) {
        return 1;
    }
    if (lead < 0xc2 || lead > 0xf4) {
        return 0;
    }
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    size_t length = 4;
    if (lead < 0xe0) {
        length = 2;
    } else if (lead < 0xf0) {
        length = 3;
        low = lead == 0xe0 ? 0xa0 : 0x80;
        high = lead == 0xed ? 0x9f : 0xbf;
    } else {
        low = lead == 0xf0 ? 0x90 : 0x80;
        high = lead == 0xf4 ? 0x8f : 0xbf;
    }
    if (text.size() - at < length || bytes[at + 1] < low || bytes[at + 1] > high) {
        return 0;
    }
    for (size_t k = 2; k < length; ++k) {
        if ((bytes[at + k] & 0xc0) != 0x80) {
            return 0;
        }
    }
    return length;
}

// Appends the UTF-8 bytes of `code_point` (up to U+10FFFF). A surrogate gets the bytes the scheme
// would give it, which are no well-formed UTF-8.
inline void append_utf8(std::string& out, uint32_t code_point) {
    if (code_point < 0x80) {
        out.push_back(static_cast<char>(code_point));
    } else if (code_point < 0x800) {
        out.push_back(static_cast<char>(0xc0 | (code_point >> 6)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3f)));
    } else if (code_point < 0x10000) {
        out.push_back(static_cast<char>(0xe0 | (code_point >> 12)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3f)));
    } else {
        out.push_back(static_cast<char>(0xf0 | (code_point >> 18)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3f)));
        out.push_back(static_cast<char>(0x80 | (code_point & 0x3f)));
    }
}

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool is_valid_utf8(std::string_view text);

}  // namespace quorvel
