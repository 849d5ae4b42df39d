#include "p2p/debug.h"

#include <fmt/format.h>

namespace quorvel::p2p::debug {

namespace {

void append_escaped(std::string& out, unsigned char c, char quote) {
    switch (c) {
        case '\\':
            out += "\\\\";
            return;
        case '\n':
            out += "\\n";
            return;
        case '\r':
            out += "\\r";
            return;
        case '\t':
            out += "\\t";
            return;
        case '\0':
            out += "\\0";
            return;
        default:
            break;
    }
    if (c == static_cast<unsigned char>(quote)) {
        out += '\\';
        out += quote;
    } else if (c < 0x20 || c == 0x7f) {
        out += fmt::format("\\u{{{:x}}}", c);
    } else {
        out += static_cast<char>(c);
    }
}

}  // namespace

std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        append_escaped(out, static_cast<unsigned char>(c), '"');
    }
    out += '"';
    return out;
}

std::string char_literal(char c) {
    auto u = static_cast<unsigned char>(c);
    std::string out = "'";
    if (u >= 0x80) {
        out += fmt::format("\\u{{{:x}}}", u);
    } else {
        append_escaped(out, u, '\'');
    }
    out += '\'';
    return out;
}

}  // namespace quorvel::p2p::debug
