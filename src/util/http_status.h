// HTTP status codes in the text form the agent prints them: "404 Not Found", or
// "599 <unknown status code>" for a code without a standard reason phrase.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel {

// The standard reason phrase of `code`, or absent when the code has none.
std::optional<std::string_view> http_reason_phrase(uint16_t code);

// "{code} {reason}", or "{code} <unknown status code>".
std::string http_status_text(uint16_t code);

// 200 to 299.
constexpr bool http_status_is_success(uint16_t code) {
    return code >= 200 && code <= 299;
}

}  // namespace quorvel
