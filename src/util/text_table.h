// Plain-text tables with fixed-width, left-aligned columns: cells are padded with spaces on the
// right up to their column's width (also in the last column), separated by one space, and each
// line ends with a line feed. A cell wider than its column is written whole and pushes the rest
// of the line to the right.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <string>
#include <string_view>

namespace quorvel {

// Appends `text` followed by spaces up to `width` characters.
void append_padded(std::string& out, std::string_view text, size_t width);

struct TableCell {
    std::string_view text;
    size_t width;
};

// Appends one table line: the padded cells separated by one space, then a line feed.
void append_table_line(std::string& out, std::initializer_list<TableCell> cells);

}  // namespace quorvel
