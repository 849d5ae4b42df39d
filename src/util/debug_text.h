// Debug text forms of values as the system's messages show them, and the one-line form of text
// from outside.
#pragma once

#include <string>
#include <string_view>

namespace quorvel {

// A string in double quotes with `"`, `\`, newline, carriage return, tab and NUL escaped as
// `\"`, `\\`, `\n`, `\r`, `\t`, `\0`, other control characters as `\u{hex}` (lower-case hex,
// no padding), and everything else, non-ASCII included, as it is.
std::string debug_quoted(std::string_view text);

// Text as one line of a log or a report shows it: the control characters (C0, DEL, and the C1
// code points U+0080 to U+009F) escaped as `debug_quoted` escapes them (`\n`, `\r`, `\t`, `\0`,
// `\u{1b}`), everything else, quotes and backslashes included, as it is. So no text from a server,
// a file or a host can add a line or send a terminal a command.
std::string escape_controls(std::string_view text);
void append_escaping_controls(std::string& out, std::string_view text);
// Whether `escape_controls` would change `text`, or may: a C1 lead byte counts whatever follows.
bool holds_controls(std::string_view text);

}  // namespace quorvel
