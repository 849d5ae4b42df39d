#include "util/debug_text.h"

namespace quorvel {

namespace {

// 0xC2 leads the UTF-8 form of U+0080 to U+00BF, among them the C1 control characters.
constexpr unsigned char kC1Lead = 0xc2;

void append_code_point(std::string& out, unsigned char c) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += "\\u{";
    if (c >= 0x10) {
        out.push_back(kHex[c >> 4]);
    }
    out.push_back(kHex[c & 0xf]);
    out.push_back('}');
}

// Whether `c` may need an escape: a byte below 0x20, DEL, a C1 lead, and with quoting a quote or a
// backslash. Comparisons rather than a table look-up, so that a loop over bytes can test many at
// a step.
template <bool kQuoted>
constexpr bool marked(unsigned char c) {
    const bool control = (c < 0x20) | (c == 0x7f) | (c == kC1Lead);
    if constexpr (kQuoted) {
        return control | (c == '"') | (c == '\\');
    }
    return control;
}

// Where the first marked byte at or after `from` stands; the size of `text` when there is none.
// Chunks of a fixed size are tested without an early exit, so that the compiler tests many bytes
// at a step: most text holds none, and is passed over and copied whole.
template <bool kQuoted>
size_t next_marked(std::string_view text, size_t from) {
    constexpr size_t kChunk = 32;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    size_t i = from;
    for (; i + kChunk <= text.size(); i += kChunk) {
        unsigned char any = 0;  // a byte, not a bool: what lets the loop test many at a step
        for (size_t j = 0; j < kChunk; ++j) {
            any |= static_cast<unsigned char>(marked<kQuoted>(bytes[i + j]));
        }
        if (any != 0) {
            break;
        }
    }
    for (; i < text.size(); ++i) {
        if (marked<kQuoted>(bytes[i])) {
            return i;
        }
    }
    return text.size();
}

// Appends `text` with the marked bytes escaped; the runs of other bytes between them are copied at
// once.
template <bool kQuoted>
void append_escaped(std::string& out, std::string_view text) {
    size_t run = 0;
    for (size_t i = next_marked<kQuoted>(text, 0); i < text.size();
         i = next_marked<kQuoted>(text, i + 1)) {
        const auto c = static_cast<unsigned char>(text[i]);
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
    append_escaped<true>(out, text);
    out.push_back('"');
    return out;
}

void append_escaping_controls(std::string& out, std::string_view text) {
    append_escaped<false>(out, text);
}

bool holds_controls(std::string_view text) {
    return next_marked<false>(text, 0) < text.size();
}

std::string escape_controls(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 32);  // room for a few escapes
    append_escaping_controls(out, text);
    return out;
}

}  // namespace quorvel
