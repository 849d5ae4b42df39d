// Debug text forms of values as the system's messages show them.
#pragma once

#include <string>
#include <string_view>

namespace quorvel {

// A string in double quotes with `"`, `\`, newline, carriage return, tab and NUL escaped as
// `\"`, `\\`, `\n`, `\r`, `\t`, `\0`, other control characters as `\u{hex}` (lower-case hex,
// no padding), and everything else, non-ASCII included, as it is.
std::string debug_quoted(std::string_view text);

}  // namespace quorvel
