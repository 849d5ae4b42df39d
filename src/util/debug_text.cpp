#include "util/debug_text.h"

#include "util/unicode.h"

namespace quorvel {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_code_point(std::string& out, unsigned char c) {
    out += "\\u{";
    if (c >= 0x10) {
        out.push_back(kHex[c >> 4]);
    }
    out.push_back(kHex[c & 0xf]);
    out.push_back('}');
}

// A byte that is no part of well-formed UTF-8. Its own form, apart from the code points', says
// that the text held this byte and not the character of that number.
void append_byte(std::string& out, unsigned char c) {
    out += "\\x{";
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 0xf]);
    out.push_back('}');
}

// Whether `c` may need an escape: a byte below 0x20, DEL, any byte of a non-ASCII character, and
// with quoting a quote or a backslash. Comparisons rather than a table look-up, so that a loop over
// bytes can test many at a step; ASCII text is judged by these alone.
template <bool kQuoted>
constexpr bool marked(unsigned char c) {
    const bool control = (c < 0x20) | (c >= 0x7f);
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

// The C1 control characters U+0080 to U+009F: 0xC2 and a second byte up to 0x9F.
bool is_c1_control(std::string_view text, size_t at) {
    return static_cast<unsigned char>(text[at]) == 0xc2 && at + 1 < text.size() &&
           static_cast<unsigned char>(text[at + 1]) <= 0x9f &&
           static_cast<unsigned char>(text[at + 1]) >= 0x80;
}

// The length of the well-formed UTF-8 sequence at `at`, whose byte is 0x80 or above, when it is
// no C1 control, so shown as it is; 0 otherwise.
size_t shown_sequence_length(std::string_view text, size_t at) {
    return is_c1_control(text, at) ? 0 : utf8_sequence_length(text, at);
}

// Where the run of characters shown as they are that starts at `at` with a byte of 0x80 or above
// ends: at an ASCII byte, an ill-formed byte or a C1 control. Text in a script other than Latin
// is mostly such runs, passed over without a look for ASCII between each two characters.
size_t end_of_shown_run(std::string_view text, size_t at) {
    while (at < text.size() && static_cast<unsigned char>(text[at]) >= 0x80) {
        const size_t length = shown_sequence_length(text, at);
        if (length == 0) {
            break;
        }
        at += length;
    }
    return at;
}

// Appends `text` with the marked bytes that need it escaped; the runs of other bytes between them,
// non-ASCII characters included, are copied at once.
template <bool kQuoted>
void append_escaped(std::string& out, std::string_view text) {
    size_t run = 0;
    size_t i = next_marked<kQuoted>(text, 0);
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80) {
            if (const size_t end = end_of_shown_run(text, i); end != i) {
                i = next_marked<kQuoted>(text, end);
                continue;
            }
            out.append(text, run, i - run);
            if (is_c1_control(text, i)) {
                append_code_point(out, static_cast<unsigned char>(text[++i]));
            } else {
                append_byte(out, c);
            }
            run = i + 1;
            i = next_marked<kQuoted>(text, run);
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
        i = next_marked<kQuoted>(text, run);
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

bool needs_escaping(std::string_view text) {
    for (size_t i = next_marked<false>(text, 0); i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            return true;  // C0 or DEL
        }
        const size_t end = end_of_shown_run(text, i);
        if (end == i) {
            return true;
        }
        i = next_marked<false>(text, end);
    }
    return false;
}

std::string escape_controls(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 32);  // room for a few escapes
    append_escaping_controls(out, text);
    return out;
}

}  // namespace quorvel
