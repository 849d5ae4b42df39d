#include "util/text_table.h"

namespace quorvel {

void append_padded(std::string& out, std::string_view text, size_t width) {
    out.append(text);
    if (text.size() < width) {
        out.append(width - text.size(), ' ');
    }
}

void append_table_line(std::string& out, std::initializer_list<TableCell> cells) {
    bool first = true;
    for (const TableCell& cell : cells) {
        if (!first) {
            out.push_back(' ');
        }
        first = false;
        append_padded(out, cell.text, cell.width);
    }
    out.push_back('\n');
}

}  // namespace quorvel
