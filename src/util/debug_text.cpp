#include "util/debug_text.h"

#include <bit>
#include <cstdint>

#include "util/unicode.h"

namespace quorvel {

namespace {

constexpr char kHex[] = "0123456789abcdef";

void append_code_point(std::string& out, char32_t code_point) {
    char form[12] = {'\\', 'u', '{'};
    size_t size = 3;
    int shift = 20;  // no code point needs more than six digits
    while (shift > 0 && (code_point >> shift) == 0) {
        shift -= 4;
    }
    for (; shift >= 0; shift -= 4) {
        form[size++] = kHex[(code_point >> shift) & 0xf];
    }
    form[size++] = '}';
    out.append(form, size);
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

struct CodePointRange {
    char32_t first;
    char32_t last;
};

// The well-formed characters above ASCII that are written as their code point: the C1 controls,
// and the invisible characters that change how a line displays. The bidirectional controls (the
// Arabic letter mark, the left-to-right and right-to-left marks, embeddings, overrides and
// isolates) let a text make a line show in another order than it was written in; the line and
// paragraph separators break a line in some viewers.
constexpr CodePointRange kEscapedAboveAscii[] = {
    {0x0080, 0x009f},  // C1 controls
    {0x061c, 0x061c},  // ARABIC LETTER MARK
    {0x200e, 0x200f},  // LEFT-TO-RIGHT MARK, RIGHT-TO-LEFT MARK
    {0x2028, 0x2029},  // LINE SEPARATOR, PARAGRAPH SEPARATOR
    {0x202a, 0x202e},  // embeddings, POP DIRECTIONAL FORMATTING, overrides
    {0x2066, 0x2069},  // isolates, POP DIRECTIONAL ISOLATE
};

// The characters of `kEscapedAboveAscii` among the 64 code points from `block` on (a block shares
// all bytes of its UTF-8 but the last), as bits by the last byte's low six bits.
constexpr uint64_t escaped_in_block(char32_t block) {
    uint64_t bits = 0;
    for (const CodePointRange& range : kEscapedAboveAscii) {
        for (char32_t c = range.first; c <= range.last; ++c) {
            if (c >= block && c < block + 64) {
                bits |= uint64_t{1} << (c - block);
            }
        }
    }
    return bits;
}

// The blocks that hold them, each told by the bytes that lead its UTF-8.
constexpr char32_t kC1Block = 0x0080;               // C2 80..BF
constexpr char32_t kArabicBlock = 0x0600;           // D8 80..BF
constexpr char32_t kPunctuationBlock = 0x2000;      // E2 80 80..BF
constexpr char32_t kPunctuationHighBlock = 0x2040;  // E2 81 80..BF
constexpr unsigned char kC1Lead = 0xc2;
constexpr unsigned char kArabicLead = 0xd8;
constexpr unsigned char kPunctuationLead = 0xe2;
constexpr unsigned char kPunctuationSecond = 0x80;  // and 0x81 for the high block
constexpr uint64_t kEscapedC1 = escaped_in_block(kC1Block);
constexpr uint64_t kEscapedArabic = escaped_in_block(kArabicBlock);
constexpr uint64_t kEscapedPunctuation[] = {escaped_in_block(kPunctuationBlock),
                                            escaped_in_block(kPunctuationHighBlock)};

constexpr size_t escaped_count() {
    size_t count = 0;
    for (const CodePointRange& range : kEscapedAboveAscii) {
        count += range.last - range.first + 1;
    }
    return count;
}
static_assert(std::popcount(kEscapedC1) + std::popcount(kEscapedArabic) +
                      std::popcount(kEscapedPunctuation[0]) +
                      std::popcount(kEscapedPunctuation[1]) ==
                  escaped_count(),
              "every character escaped above ASCII lies in a block that escaped_code_point reads");

// The lead bytes of those blocks, as bits by their low six bits (the lead byte of a well-formed
// character of two bytes or more is 0xC2 or above).
constexpr uint64_t kEscapedLeads = uint64_t{1} << (kC1Lead & 0x3f) |
                                   uint64_t{1} << (kArabicLead & 0x3f) |
                                   uint64_t{1} << (kPunctuationLead & 0x3f);

// The code point of the well-formed character of `length` bytes at `bytes` when it is written as
// its code point; 0 when it is shown as it is. Three lead bytes start such a character; any other
// is passed after one look at a bit. Inline: the loop over non-ASCII text calls it for every
// character.
[[gnu::always_inline]] inline char32_t escaped_code_point(const unsigned char* bytes,
                                                          size_t length) {
    if (((kEscapedLeads >> (bytes[0] & 0x3f)) & 1) == 0) {
        return 0;
    }
    uint64_t escaped = 0;
    char32_t block = 0;
    if (bytes[0] == kPunctuationLead) {
        const unsigned high = bytes[1] - kPunctuationSecond;
        if (high > 1) {
            return 0;
        }
        escaped = kEscapedPunctuation[high];
        block = high == 0 ? kPunctuationBlock : kPunctuationHighBlock;
    } else if (bytes[0] == kC1Lead) {
        escaped = kEscapedC1;
        block = kC1Block;
    } else if (bytes[0] == kArabicLead) {
        escaped = kEscapedArabic;
        block = kArabicBlock;
    } else {
        return 0;
    }
    const unsigned offset = bytes[length - 1] & 0x3f;
    return (escaped >> offset) & 1 ? block + offset : 0;
}

// Where the run of characters shown as they are that starts at `at` with a byte of 0x80 or above
// ends: at an ASCII byte, an ill-formed byte or a character written as its code point. Text in a
// script other than Latin is mostly such runs, passed over without a look for ASCII between each
// two characters.
size_t end_of_shown_run(std::string_view text, size_t at) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    while (at < text.size() && bytes[at] >= 0x80) {
        const size_t length = utf8_sequence_length(text, at);
        if (length == 0 || escaped_code_point(bytes + at, length) != 0) {
            break;
        }
        at += length;
    }
    return at;
}

// Appends the escaped form of what stands at `at`, a byte of 0x80 or above that ends a run of
// characters shown as they are, and returns where what follows it starts.
size_t append_escaped_non_ascii(std::string& out, std::string_view text, size_t at) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const size_t length = utf8_sequence_length(text, at);
    if (length == 0) {
        append_byte(out, bytes[at]);
        return at + 1;
    }
    append_code_point(out, escaped_code_point(bytes + at, length));
    return at + length;
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
            run = append_escaped_non_ascii(out, text, i);
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
