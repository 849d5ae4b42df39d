#include "util/canonical_view.h"

#include <algorithm>
#include <cstring>
#include <tuple>

#include "util/hex.h"
#include "util/unicode.h"

namespace quorvel::secrets {

namespace {

// A run of backslashes longer than this reads as nothing before its last ones, so that one
// canonical byte reaches a bounded stretch of the text.
constexpr size_t kLongestBackslashRun = 8;

// The bytes of one step of the reading with the stretches of the text they stand for.
struct Stage {
    std::string bytes;
    std::vector<uint32_t> from;
    std::vector<uint32_t> to;

    void reserve(size_t n) {
        bytes.reserve(n);
        from.reserve(n);
        to.reserve(n);
    }
    void emit(char c, uint32_t f, uint32_t t) {
        bytes.push_back(c);
        from.push_back(f);
        to.push_back(t);
    }
};

// Reads the hex digits of `text` from `at`, at most `most` of them, up to `close` when it is not
// NUL. Returns the value and where the reading ended, or -1 when there is no such number.
std::pair<int64_t, size_t> read_hex(std::string_view text, size_t at, size_t least, size_t most,
                                    char close) {
    int64_t value = 0;
    size_t i = at;
    while (i < text.size() && i - at < most && hex_digit_value(text[i]) >= 0) {
        value = value * 16 + hex_digit_value(text[i]);
        ++i;
    }
    if (i - at < least) {
        return {-1, at};
    }
    if (close != '\0') {
        if (i >= text.size() || text[i] != close) {
            return {-1, at};
        }
        ++i;
    }
    return {value, i};
}

// Appends the UTF-8 form of `cp`, each byte standing for the same stretch; a surrogate gets the
// bytes UTF-8 would give it, which are no UTF-8 and so read as the replacement in the next step.
void emit_code_point(Stage& out, uint32_t cp, uint32_t f, uint32_t t) {
    std::string bytes;
    append_utf8(bytes, cp);
    for (const char byte : bytes) {
        out.emit(byte, f, t);
    }
}

// Percent-escapes read as their bytes.
void read_percent(std::string_view text, Stage& out) {
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        if (text[i] == '%' && i + 2 < text.size() && hex_digit_value(text[i + 1]) >= 0 &&
            hex_digit_value(text[i + 2]) >= 0) {
            out.emit(
                static_cast<char>(hex_digit_value(text[i + 1]) * 16 + hex_digit_value(text[i + 2])),
                static_cast<uint32_t>(i), static_cast<uint32_t>(i + 3));
            i += 3;
        } else {
            out.emit(text[i], static_cast<uint32_t>(i), static_cast<uint32_t>(i + 1));
            ++i;
        }
    }
}

// Bytes named one after another by escapes (`\xc3\xa9`, `\303\251`), held until the run ends:
// read as UTF-8 where they form it, and each other one as the code point of its value.
class EscapedBytes {
  public:
    bool empty() const { return values_.empty(); }
    void add(unsigned char value, uint32_t f, uint32_t t) {
        values_.push_back(static_cast<char>(value));
        from_.push_back(f);
        to_.push_back(t);
    }
    // Appends the run read: a UTF-8 sequence byte for byte, each byte with its own escape, so one
    // canonical byte reaches no further than one escape; any other byte as U+0080 to U+00FF, both
    // of its bytes with its escape. One reading left to right, whatever the run.
    void flush(Stage& out) {
        for (size_t k = 0; k < values_.size();) {
            const size_t length = utf8_sequence_length(values_, k);
            if (length == 0) {
                emit_code_point(out, static_cast<unsigned char>(values_[k]), from_[k], to_[k]);
                ++k;
                continue;
            }
            for (const size_t last = k + length; k < last; ++k) {
                out.emit(values_[k], from_[k], to_[k]);
            }
        }
        values_.clear();
        from_.clear();
        to_.clear();
    }

  private:
    std::string values_;
    std::vector<uint32_t> from_;
    std::vector<uint32_t> to_;
};

bool is_octal(char c) {
    return c >= '0' && c <= '7';
}

// Backslash escapes read as what they stand for, however many times they were escaped over.
void read_backslashes(const Stage& in, Stage& out) {
    const std::string_view b = in.bytes;
    const size_t n = b.size();
    out.reserve(n);
    EscapedBytes bytes;
    for (size_t i = 0; i < n;) {
        if (b[i] != '\\') {
            if (!bytes.empty()) {
                bytes.flush(out);
            }
            out.emit(b[i], in.from[i], in.to[i]);
            ++i;
            continue;
        }
        size_t j = i;
        while (j < n && b[j] == '\\') {
            ++j;
        }
        if (j == n) {
            break;  // backslashes at the end stand for nothing yet
        }
        const size_t first = std::max(i, j - std::min(j, kLongestBackslashRun));
        const uint32_t f = in.from[first];
        const char c = b[j];
        // A byte: "x" and two hex digits, or three octal digits from \100 to \377.
        if (c == 'x' && j + 1 < n && b[j + 1] != '{') {
            if (const auto [value, after] = read_hex(b, j + 1, 2, 2, '\0'); value >= 0) {
                bytes.add(static_cast<unsigned char>(value), f, in.to[after - 1]);
                i = after;
                continue;
            }
        } else if (c >= '1' && c <= '3' && j + 2 < n && is_octal(b[j + 1]) && is_octal(b[j + 2])) {
            const int value = (c - '0') * 64 + (b[j + 1] - '0') * 8 + (b[j + 2] - '0');
            bytes.add(static_cast<unsigned char>(value), f, in.to[j + 2]);
            i = j + 3;
            continue;
        }
        if (!bytes.empty()) {
            bytes.flush(out);
        }
        size_t end = j + 1;
        if (c == 'U') {
            const auto [value, after] = read_hex(b, j + 1, 8, 8, '\0');
            if (value >= 0 && value <= 0x10ffff && (value < 0xd800 || value >= 0xe000)) {
                emit_code_point(out, static_cast<uint32_t>(value), f, in.to[after - 1]);
                i = after;
                continue;
            }
        }
        if (c == 'u' || c == 'x') {
            const bool braced = j + 1 < n && b[j + 1] == '{';
            auto [value, after] = braced ? read_hex(b, j + 2, 1, c == 'u' ? 6 : 2, '}')
                                         : (c == 'u' ? read_hex(b, j + 1, 4, 4, '\0')
                                                     : std::pair<int64_t, size_t>{-1, j});
            if (value >= 0 && c == 'x') {
                // The debug form's byte, which is no part of UTF-8 as the text held it.
                out.emit(static_cast<char>(value), f, in.to[after - 1]);
                i = after;
                continue;
            }
            if (value >= 0 && value <= 0x10ffff) {
                end = after;
                if (!braced && value >= 0xd800 && value < 0xdc00) {
                    // A high surrogate joins the low one of a pair.
                    size_t k = end;
                    while (k < n && b[k] == '\\' && k - end < kLongestBackslashRun) {
                        ++k;
                    }
                    if (k > end && k < n && b[k] == 'u') {
                        auto [low, low_end] = read_hex(b, k + 1, 4, 4, '\0');
                        if (low >= 0xdc00 && low < 0xe000) {
                            value = 0x10000 + ((value - 0xd800) << 10) + (low - 0xdc00);
                            end = low_end;
                        }
                    }
                }
                emit_code_point(out, static_cast<uint32_t>(value), f, in.to[end - 1]);
                i = end;
                continue;
            }
        }
        char read = c;
        switch (c) {
            case 'n':
                read = '\n';
                break;
            case 'r':
                read = '\r';
                break;
            case 't':
                read = '\t';
                break;
            case '0':
                read = '\0';
                break;
            case 'b':
                read = '\b';
                break;
            case 'f':
                read = '\f';
                break;
            default:
                break;
        }
        out.emit(read, f, in.to[j]);
        i = end;
    }
    if (!bytes.empty()) {
        bytes.flush(out);
    }
}

// The character reference whose name or number starts at `at`, just past its "&": its code point
// and where it ends, or -1 when none starts there or it names no character.
std::pair<int64_t, size_t> read_reference(std::string_view b, size_t at) {
    const std::pair<int64_t, size_t> none{-1, at};
    if (at >= b.size()) {
        return none;
    }
    if (b[at] == '#') {
        const bool hex = at + 1 < b.size() && (b[at + 1] | 0x20) == 'x';
        int64_t value = -1;
        size_t after = at;
        if (hex) {
            std::tie(value, after) = read_hex(b, at + 2, 1, 6, ';');
        } else {
            size_t k = at + 1;
            value = 0;
            while (k < b.size() && k - (at + 1) < 7 && b[k] >= '0' && b[k] <= '9') {
                value = value * 10 + (b[k] - '0');
                ++k;
            }
            if (k == at + 1 || k >= b.size() || b[k] != ';') {
                return none;
            }
            after = k + 1;
        }
        if (value < 0 || value > 0x10ffff || (value >= 0xd800 && value < 0xe000)) {
            return none;
        }
        return {value, after};
    }
    static constexpr std::pair<std::string_view, char> kNamed[] = {
        {"amp;", '&'}, {"lt;", '<'}, {"gt;", '>'}, {"quot;", '"'}, {"apos;", '\''}};
    for (const auto& [name, read] : kNamed) {
        if (b.substr(at, name.size()) == name) {
            return {read, at + name.size()};
        }
    }
    return none;
}

// Character references read as the characters they name, however many times the "&" that starts
// them was escaped over ("&amp;amp;lt;").
void read_references(const Stage& in, Stage& out) {
    const std::string_view b = in.bytes;
    const size_t n = b.size();
    out.reserve(n);
    // Where each piece of a chain starts: its "&", then each reference in it.
    std::vector<size_t> starts;
    for (size_t i = 0; i < n;) {
        if (b[i] != '&') {
            out.emit(b[i], in.from[i], in.to[i]);
            ++i;
            continue;
        }
        // A chain: "&" and references, each of them but the last reading as "&".
        starts.assign(1, i);
        int64_t value = -1;
        size_t end = i + 1;
        for (size_t at = i + 1;;) {
            const auto [read, after] = read_reference(b, at);
            if (read < 0) {
                break;
            }
            starts.push_back(at);
            value = read;
            end = after;
            if (read != '&') {
                break;
            }
            at = after;
        }
        const uint32_t to = in.to[end - 1];
        const auto reaches = [&](size_t piece) {
            return to - in.from[starts[piece]] <= kLongestCanonicalReach;
        };
        size_t kept = starts.size() - 1;
        if (kept == 0 || !reaches(kept)) {
            // No reference, or one whose own characters stand for too long a stretch: the "&"
            // stands for itself, and what follows it is read on.
            out.emit('&', in.from[i], in.to[i]);
            ++i;
            continue;
        }
        // The earliest piece from which the chain reaches no further than one canonical byte
        // may; the pieces before it read as nothing.
        while (kept > 0 && reaches(kept - 1)) {
            --kept;
        }
        emit_code_point(out, static_cast<uint32_t>(value), in.from[starts[kept]], to);
        i = end;
    }
}

// A blank for "+", and one replacement for each run of bytes that are not UTF-8 and of U+FFFD.
void read_characters(const Stage& in, CanonicalView& out) {
    const std::string_view b = in.bytes;
    const size_t n = b.size();
    out.bytes.reserve(n);
    out.from.reserve(n);
    out.to.reserve(n);
    bool replacing = false;
    for (size_t i = 0; i < n;) {
        const auto c = static_cast<unsigned char>(b[i]);
        if (c < 0x80) {
            out.bytes.push_back(c == '+' ? ' ' : static_cast<char>(c));
            out.from.push_back(in.from[i]);
            out.to.push_back(in.to[i]);
            replacing = false;
            ++i;
            continue;
        }
        const size_t length = utf8_sequence_length(b, i);
        if (length == 0 || (length == 3 && b.substr(i, 3) == "\xef\xbf\xbd")) {
            const size_t last = i + std::max<size_t>(length, 1) - 1;
            if (replacing) {
                out.to.back() = in.to[last];
            } else {
                out.bytes.push_back(kReplacement);
                out.from.push_back(in.from[i]);
                out.to.push_back(in.to[last]);
                replacing = true;
            }
            i = last + 1;
            continue;
        }
        for (size_t k = 0; k < length; ++k) {
            out.bytes.push_back(b[i + k]);
            out.from.push_back(in.from[i + k]);
            out.to.push_back(in.to[i + k]);
        }
        replacing = false;
        i += length;
    }
}

}  // namespace

bool may_differ_from_canonical(std::string_view text) {
    // Sixteen bytes at a step, compared as one vector with each byte that may differ.
    using Bytes = unsigned char __attribute__((vector_size(16)));
    const char* at = text.data();
    const char* const end = at + text.size();
    for (; end - at >= 16; at += 16) {
        Bytes b;
        std::memcpy(&b, at, sizeof b);
        const Bytes hit = (b == '%') | (b == '+') | (b == '\\') | (b == '&') | (b >= 0x80);
        uint64_t halves[2];
        std::memcpy(halves, &hit, sizeof halves);
        if ((halves[0] | halves[1]) != 0) {
            return true;
        }
    }
    for (; at < end; ++at) {
        const auto c = static_cast<unsigned char>(*at);
        if (c == '%' || c == '+' || c == '\\' || c == '&' || c >= 0x80) {
            return true;
        }
    }
    return false;
}

CanonicalView canonical_view(std::string_view text) {
    Stage percent;
    read_percent(text, percent);
    Stage escapes;
    read_backslashes(percent, escapes);
    CanonicalView out;
    if (escapes.bytes.find('&') == std::string::npos) {
        read_characters(escapes, out);
        return out;
    }
    Stage references;
    read_references(escapes, references);
    read_characters(references, out);
    return out;
}

std::string canonical(std::string_view text) {
    if (!may_differ_from_canonical(text)) {
        return std::string(text);
    }
    return canonical_view(text).bytes;
}

}  // namespace quorvel::secrets
