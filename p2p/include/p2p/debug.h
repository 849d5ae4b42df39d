// Debug text forms shared by the library's values: quoted strings and characters with the
// escapes the agent's logs and reports expect.
#pragma once

#include <string>
#include <string_view>

namespace quorvel::p2p::debug {

// "text" with \", \\, \n, \r, \t, \0 escaped and other control characters as \u{hex}.
std::string quoted(std::string_view text);
// 'c' with the same escapes (and \' in place of \"); bytes above 0x7f as \u{hex}.
std::string char_literal(char c);

}  // namespace quorvel::p2p::debug
