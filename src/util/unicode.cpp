#include "util/unicode.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf8.h>
#include <unicode/utypes.h>

#include <algorithm>
#include <limits>
#include <vector>

namespace quorvel {

namespace {

bool is_ascii(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

std::string unicode_to_lower(std::string_view text) {
    if (is_ascii(text)) {
        std::string out(text);
        for (char& c : out) {
            if (c >= 'A' && c <= 'Z') {
                c = static_cast<char>(c - 'A' + 'a');
            }
        }
        return out;
    }
    if (text.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max() / 4)) {
        return std::string(text);
    }
    const auto length = static_cast<int32_t>(text.size());

    // UTF-8 to UTF-16: never more code units than bytes.
    std::vector<UChar> wide(text.size() + 1);
    int32_t wide_len = 0;
    UErrorCode status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(wide.data(), static_cast<int32_t>(wide.size()), &wide_len, text.data(),
                         length, 0xFFFD, nullptr, &status);
    if (U_FAILURE(status)) {
        return std::string(text);
    }

    // Lower-casing may lengthen the text: ask ICU for the size first.
    status = U_ZERO_ERROR;
    const int32_t needed = u_strToLower(nullptr, 0, wide.data(), wide_len, "", &status);
    if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status)) {
        return std::string(text);
    }
    std::vector<UChar> lower(static_cast<size_t>(needed) + 1);
    status = U_ZERO_ERROR;
    u_strToLower(lower.data(), static_cast<int32_t>(lower.size()), wide.data(), wide_len, "",
                 &status);
    if (U_FAILURE(status)) {
        return std::string(text);
    }
    lower.resize(static_cast<size_t>(needed));

    std::string out(lower.size() * 3, '\0');
    int32_t out_len = 0;
    status = U_ZERO_ERROR;
    u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &out_len, lower.data(),
                static_cast<int32_t>(lower.size()), &status);
    if (U_FAILURE(status)) {
        return std::string(text);
    }
    out.resize(static_cast<size_t>(out_len));
    return out;
}

bool is_valid_utf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const size_t length = utf8_sequence_length(text, i);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

std::vector<std::string_view> split_unicode_white_space(std::string_view text) {
    std::vector<std::string_view> pieces;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(
        std::min<size_t>(text.size(), static_cast<size_t>(std::numeric_limits<int32_t>::max())));
    int32_t start = 0;
    int32_t i = 0;
    while (i < length) {
        const int32_t at = i;
        UChar32 c = 0;
        U8_NEXT(bytes, i, length, c);
        if (c >= 0 && u_isUWhiteSpace(c)) {
            if (at > start) {
                pieces.push_back(
                    text.substr(static_cast<size_t>(start), static_cast<size_t>(at - start)));
            }
            start = i;
        }
    }
    if (start < length) {
        pieces.push_back(text.substr(static_cast<size_t>(start)));
    }
    return pieces;
}

}  // namespace quorvel
