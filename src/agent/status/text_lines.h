// How the status report nests one rendered text inside another: line by line, each line behind a
// prefix of spaces.
#pragma once

#include <string>
#include <string_view>

namespace quorvel::agent {

// Appends every line of `text` as `prefix` + line + line feed. Lines end at line feeds; a carriage
// return right before a line feed goes with it, a final line feed adds no empty line, and an
// empty line in the middle is written as the prefix alone.
void append_lines(std::string& out, std::string_view text, std::string_view prefix);

// The same with each line shown as a person is shown a text (`append_shown`): the agent's own
// secrets hidden and control characters escaped, so a nested text adds exactly its own lines,
// whatever a value inside it held.
void append_shown_lines(std::string& out, std::string_view text, std::string_view prefix);

}  // namespace quorvel::agent
