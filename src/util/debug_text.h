// Debug text forms of values as the system's messages show them, and the one-line form of text
// from outside.
#pragma once

#include <string>
#include <string_view>

namespace quorvel {

// A string in double quotes with `"`, `\`, newline, carriage return, tab and NUL escaped as
// `\"`, `\\`, `\n`, `\r`, `\t`, `\0`, other control characters as `\u{hex}` (lower-case hex, no
// padding), every byte that is no part of well-formed UTF-8 as `\x{hex}` (lower-case hex, always
// two digits), and everything else, non-ASCII characters included, as it is. So the result is
// well-formed UTF-8 whatever the input, and reads back to it.
//
// The control characters are C0, DEL and the C1 code points U+0080 to U+009F, and the invisible
// characters that change how a line displays: the bidirectional controls U+061C, U+200E, U+200F,
// U+202A to U+202E and U+2066 to U+2069, which make a line show in another order than it was
// written in, and the line and paragraph separators U+2028 and U+2029, which break a line in some
// viewers. Other invisible characters, such as the zero-width joiner, are shown as they are: they
// cannot reorder a line.
std::string debug_quoted(std::string_view text);

// Text as one line of a log or a report shows it: the control characters and the bytes that are
// no part of well-formed UTF-8 escaped as `debug_quoted` escapes them (`\n`, `\r`, `\t`, `\0`,
// `\u{1b}`, `\u{9b}`, `\u{202e}`, `\x{9b}`), everything else, quotes and backslashes included, as
// it is. So no text from a server, a file or a host can add a line, send a terminal a command (a
// lone 0x9B is one in an 8-bit locale), make a line show in another order than it was written in,
// or make the log or report other than UTF-8. A value quoted by `debug_quoted` inside a line is
// left as it is: both forms escape the same characters.
//
// Well-formed means as the Unicode standard defines it: no overlong forms, no surrogates, nothing
// past U+10FFFF. Each byte of an ill-formed or truncated sequence is escaped on its own, and what
// follows it is judged afresh.
std::string escape_controls(std::string_view text);
void append_escaping_controls(std::string& out, std::string_view text);
// Whether `escape_controls` would change `text`. Text of printable ASCII alone is judged as fast
// as it is scanned; only bytes of 0x80 and above are decoded.
bool needs_escaping(std::string_view text);

}  // namespace quorvel
