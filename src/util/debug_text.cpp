#include "util/debug_text.h"

#include <array>

namespace quorvel {

namespace {

// 0xC2 leads the UTF-8 form of U+0080 to U+00BF, among them the C1 control characters.
constexpr unsigned char kC1Lead = 0xc2;

constexpr std::array<bool, 256> attention_table(bool quotes) {
    std::array<bool, 256> table{};
    for (unsigned c = 0; c < 0x20; ++c) {
        table[c] = true;
    }
    table[0x7f] = true;
    table[kC1Lead] = true;
    if (quotes) {
        table['"'] = true;
        table['\\'] = true;
    }
    return table;
}

// The bytes that may need an escape, with and without quoting.
constexpr std::array<bool, 256> kControls = attention_table(false);
constexpr std::array<bool, 256> kQuotedControls = attention_table(true);

void append_code_point(std::string& out, unsigned char c) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\u{";
    if (c >= 0x10) {
        out.push_back(kHex[c >> 4]);
    }
    out.push_back(kHex[c & 0xf]);
    out.push_back('}');
}

// Appends `text` with the bytes `table` marks escaped; runs of other bytes are copied at once.
void append_escaped(std::string& out, std::string_view text, const std::array<bool, 256>& table) {
    size_t run = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (!table[c]) {
            continue;
        }
        if (c == kC1Lead) {
            // U+0080 to U+009F; the rest of the block is printable.
            if (i + 1 == text.size() || static_cast<unsigned char>(text[i + 1]) < 0x80 ||
                static_cast<unsigned char>(text[i + 1]) > 0x9f) {
                continue;
            }
            out.append(text, run, i - run);
            append_code_point(out, static_cast<unsigned char>(text[i + 1]));
            run = ++i + 1;
            continue;
        }
        out.append(text, run, i - run);
        run = i + 1;
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                append_code_point(out, c);
                break;
        }
    }
    out.append(text, run, text.size() - run);
}

}  // namespace

std::string debug_quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    append_escaped(out, text, kQuotedControls);
    out.push_back('"');
    return out;
}

void append_escaping_controls(std::string& out, std::string_view text) {
    append_escaped(out, text, kControls);
}

std::string escape_controls(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    append_escaping_controls(out, text);
    return out;
}

}  // namespace quorvel
