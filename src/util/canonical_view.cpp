#include "util/canonical_view.h"

#include <algorithm>
#include <bit>
#include <cctype>
#include <cstring>
#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "util/hex.h"
#include "util/unicode.h"

namespace quorvel::secrets {

namespace {

// A run of backslashes longer than this reads as nothing before its last ones, so that one
// canonical byte reaches a bounded stretch of the text.
constexpr size_t kLongestBackslashRun = 8;

// How many times a text is read over: what one reading decodes may be an escape again (a
// backslash written "&#92;", a "%" written "%25"), read by the next.
constexpr int kMostLayers = 6;

// The bytes that start an escape.
constexpr char kPercent = '%';
constexpr char kBackslash = '\\';
constexpr char kAmpersand = '&';

bool is_escape_start(char c) {
    return c == kPercent || c == kBackslash || c == kAmpersand;
}

// Whether another reading of a text follows this one: what this one leaves for it is read then.
enum class NextReading { kFollows, kNone };

// The escape whose letter stands at `j` cut short before an escape's start: fewer digits than it
// takes, or a braced escape's digits without their "}" ("\\u%30041", "\\x4%31", "\\u{1f51%31}").
struct CutShort {
    size_t next;  // where the escape's start after its digits stands
    bool octal;
    bool braced;
};
std::optional<CutShort> cut_short(std::string_view b, size_t j) {
    const char c = b[j];
    const bool braced = (c == 'u' || c == 'x') && j + 1 < b.size() && b[j + 1] == '{';
    const bool octal = c >= '1' && c <= '3';
    size_t most = 0;
    if (braced) {
        most = c == 'u' ? 6 : 2;
    } else if (c == 'u' || c == 'x' || c == 'U') {
        most = c == 'u' ? 4 : (c == 'x' ? 2 : 8);
    } else if (octal) {
        most = 2;
    }
    const auto is_digit = [octal](char d) {
        return octal ? d >= '0' && d <= '7' : hex_digit_value(d) >= 0;
    };
    const size_t first = j + (braced ? 2 : 1);
    size_t digits = 0;
    while (first + digits < b.size() && digits < most && is_digit(b[first + digits])) {
        ++digits;
    }
    const size_t after = first + digits;
    if ((braced || digits < most) && after < b.size() && is_escape_start(b[after])) {
        return CutShort{after, octal, braced};
    }
    return std::nullopt;
}

// The stretches that `n` bytes of a text from `at` on stand for as they stand, each its own, into
// `from` and `to`.
void positions_as_they_stand(size_t at, size_t n, uint32_t* from, uint32_t* to) {
    // Four positions at a time.
    using Positions = uint32_t __attribute__((vector_size(16)));
    const auto first = static_cast<uint32_t>(at);
    Positions next = Positions{0, 1, 2, 3} + first;
    const Positions one{1, 1, 1, 1};
    const Positions four{4, 4, 4, 4};
    size_t i = 0;
    for (; i + 4 <= n; i += 4, next += four) {
        const Positions after = next + one;
        std::memcpy(from + i, &next, sizeof next);
        std::memcpy(to + i, &after, sizeof after);
    }
    for (; i < n; ++i) {
        from[i] = static_cast<uint32_t>(first + i);
        to[i] = static_cast<uint32_t>(first + i + 1);
    }
}

// The bytes of one reading with the stretches of the text they stand for, and whether the reading
// decoded anything. No reading makes a text longer, so a stage is sized once for what it reads
// and written byte by byte; its storage is kept for the thread's next text.
class Stage {
  public:
    // Empties the stage for a reading of at most `n` bytes.
    void start(size_t n) {
        if (bytes_.size() < n + kSlack) {
            bytes_.resize(n + kSlack);
            from_.resize(n + kSlack);
            to_.resize(n + kSlack);
        }
        size_ = 0;
        decoded_ = false;
    }
    // The text from `offset` on as it stands, each byte standing for itself.
    void start_with(std::string_view text, size_t offset) {
        const size_t n = text.size() - offset;
        start(n);
        std::memcpy(bytes_.data(), text.data() + offset, n);
        positions_as_they_stand(offset, n, from_.data(), to_.data());
        size_ = n;
    }
    // Gives back storage that a long text made large.
    void release_if_large() {
        if (bytes_.size() > kKeptStorage) {
            *this = Stage();
        }
    }

    std::string_view bytes() const { return {bytes_.data(), size_}; }
    uint32_t from(size_t i) const { return from_[i]; }
    // The stretches that `n` bytes from `i` stand for, into `from` and `to`.
    void positions(size_t i, size_t n, uint32_t* from, uint32_t* to) const {
        std::memcpy(from, from_.data() + i, n * sizeof(uint32_t));
        std::memcpy(to, to_.data() + i, n * sizeof(uint32_t));
    }
    uint32_t to(size_t i) const { return to_[i]; }
    bool decoded() const { return decoded_; }
    void note_decoded() { decoded_ = true; }

    // A byte of the reading before, as it stands.
    void copy(const Stage& in, size_t i) { put(in.bytes_[i], in.from_[i], in.to_[i]); }
    // The bytes of the reading before from `begin` up to `end`, as they stand.
    void copy(const Stage& in, size_t begin, size_t end) {
        const size_t n = end - begin;
        if (n <= kShortCopy) {
            // Most stretches between escapes are short: copied a block at a time, past their end
            // into the slack of both stages, rather than by three calls.
            for (size_t k = 0; k < n; k += kSlack) {
                std::memcpy(bytes_.data() + size_ + k, in.bytes_.data() + begin + k, kSlack);
                std::memcpy(from_.data() + size_ + k, in.from_.data() + begin + k,
                            kSlack * sizeof(uint32_t));
                std::memcpy(to_.data() + size_ + k, in.to_.data() + begin + k,
                            kSlack * sizeof(uint32_t));
            }
        } else {
            std::memcpy(bytes_.data() + size_, in.bytes_.data() + begin, n);
            std::memcpy(from_.data() + size_, in.from_.data() + begin, n * sizeof(uint32_t));
            std::memcpy(to_.data() + size_, in.to_.data() + begin, n * sizeof(uint32_t));
        }
        size_ += n;
    }
    // Copies the bytes of the reading before from `at` up to the next `start` of an escape, and
    // returns where that is: the end when there is none.
    size_t copy_up_to(const Stage& in, size_t at, char start) {
        const std::string_view b = in.bytes();
        size_t next = b.find(start, at);
        if (next == std::string_view::npos) {
            next = b.size();
        }
        copy(in, at, next);
        return next;
    }
    // A byte an escape stood for.
    void emit(char c, uint32_t f, uint32_t t) {
        put(c, f, t);
        decoded_ = true;
        if (c == kBackslash && named_backslashes_ != nullptr) {
            named_backslashes_->push_back(f);
        }
    }
    // An escape's start, kept for the next reading to read with what it completes.
    void keep_escape_start(char c, uint32_t f, uint32_t t) {
        put(c, f, t);
        decoded_ = true;
    }
    // Where each backslash that an escape stood for starts in the text, from now on kept in
    // `into` (in the order of the text), or no longer where it is null.
    void keep_named_backslashes(std::vector<uint32_t>* into) { named_backslashes_ = into; }
    // The UTF-8 form of `cp`, each byte standing for the same stretch; a surrogate gets the bytes
    // UTF-8 would give it, which are no UTF-8 and so read as the replacement in the end.
    void emit_code_point(uint32_t cp, uint32_t f, uint32_t t) {
        std::string utf8;
        append_utf8(utf8, cp);
        for (const char byte : utf8) {
            emit(byte, f, t);
        }
    }

  private:
    static constexpr size_t kKeptStorage = 64 * 1024;
    // Storage past the longest reading, which a short copy may write (and read) into: a reading
    // is never longer than the one before, so a copy ending within it ends within the slack.
    static constexpr size_t kSlack = 16;
    static constexpr size_t kShortCopy = 4 * kSlack;

    void put(char c, uint32_t f, uint32_t t) {
        bytes_[size_] = c;
        from_[size_] = f;
        to_[size_] = t;
        ++size_;
    }

    std::string bytes_;
    std::vector<uint32_t> from_;
    std::vector<uint32_t> to_;
    size_t size_ = 0;
    bool decoded_ = false;
    std::vector<uint32_t>* named_backslashes_ = nullptr;
};

// What a cursor read: the value its text names and where that text ends.
struct Reading {
    uint32_t value;
    size_t end;
};

// Whether zeros before the digits of a number count among them or are passed over.
enum class LeadingZeros { kCounted, kSkipped };

// Hex digits of `b` from `at`: at least `least` and at most `most` of them, past any leading
// zeros when they are `kSkipped`.
std::optional<Reading> hex_number(std::string_view b, size_t at, size_t least, size_t most,
                                  LeadingZeros zeros = LeadingZeros::kCounted) {
    size_t i = at;
    if (zeros == LeadingZeros::kSkipped) {
        while (i < b.size() && b[i] == '0' && i + 1 < b.size() && hex_digit_value(b[i + 1]) >= 0) {
            ++i;
        }
    }
    const size_t digits = i;
    uint32_t value = 0;
    while (i < b.size() && i - digits < most && hex_digit_value(b[i]) >= 0) {
        value = value * 16 + static_cast<uint32_t>(hex_digit_value(b[i]));
        ++i;
    }
    if (i - at < least) {
        return std::nullopt;
    }
    return Reading{value, i};
}

// "%" and two hex digits in either case, at `at`.
std::optional<Reading> percent_escape(std::string_view b, size_t at) {
    if (at + 2 >= b.size() || b[at] != kPercent || hex_digit_value(b[at + 1]) < 0 ||
        hex_digit_value(b[at + 2]) < 0) {
        return std::nullopt;
    }
    return Reading{
        static_cast<uint32_t>(hex_digit_value(b[at + 1]) * 16 + hex_digit_value(b[at + 2])),
        at + 3};
}

bool is_octal(char c) {
    return c >= '0' && c <= '7';
}

bool names_a_character(uint32_t cp) {
    return cp <= 0x10ffff && (cp < 0xd800 || cp >= 0xe000);
}

// What a backslash escape names.
enum class Escaped {
    kByte,       // a byte of a run read as UTF-8 where it forms it: "\xc3", "\303"
    kRawByte,    // the debug form's byte that is no part of UTF-8: "\x{ff}"
    kCodePoint,  // "\u00e9", "\u{e9}", "\U0001F511", a surrogate pair
    kCharacter,  // "\n" and the like, and any other character as itself
};

struct EscapeReading {
    Escaped kind;
    uint32_t value;
    size_t end;
};

// The escape whose letter stands at `j`, just past its backslashes.
EscapeReading backslash_escape(std::string_view b, size_t j) {
    const size_t n = b.size();
    const char c = b[j];
    if (c == 'x' && j + 1 < n && b[j + 1] != '{') {
        if (const auto r = hex_number(b, j + 1, 2, 2); r && r->end == j + 3) {
            return {Escaped::kByte, r->value, r->end};
        }
    } else if (c >= '1' && c <= '3' && j + 2 < n && is_octal(b[j + 1]) && is_octal(b[j + 2])) {
        const auto value =
            static_cast<uint32_t>((c - '0') * 64 + (b[j + 1] - '0') * 8 + (b[j + 2] - '0'));
        return {Escaped::kByte, value, j + 3};
    }
    if (c == 'U') {
        if (const auto r = hex_number(b, j + 1, 8, 8); r && names_a_character(r->value)) {
            return {Escaped::kCodePoint, r->value, r->end};
        }
    }
    const bool braced = j + 1 < n && b[j + 1] == '{';
    if (c == 'x' && braced) {
        if (const auto r = hex_number(b, j + 2, 1, 2); r && r->end < n && b[r->end] == '}') {
            return {Escaped::kRawByte, r->value, r->end + 1};
        }
    }
    if (c == 'u' && braced) {
        if (const auto r = hex_number(b, j + 2, 1, 6);
            r && r->end < n && b[r->end] == '}' && r->value <= 0x10ffff) {
            return {Escaped::kCodePoint, r->value, r->end + 1};
        }
    }
    if (c == 'u' && !braced) {
        if (const auto r = hex_number(b, j + 1, 4, 4)) {
            EscapeReading read{Escaped::kCodePoint, r->value, r->end};
            if (r->value >= 0xd800 && r->value < 0xdc00) {
                // A high surrogate joins the low one of a pair.
                size_t k = r->end;
                while (k < n && b[k] == kBackslash && k - r->end < kLongestBackslashRun) {
                    ++k;
                }
                if (k > r->end && k < n && b[k] == 'u') {
                    if (const auto low = hex_number(b, k + 1, 4, 4);
                        low && low->value >= 0xdc00 && low->value < 0xe000) {
                        read.value = 0x10000 + ((r->value - 0xd800) << 10) + (low->value - 0xdc00);
                        read.end = low->end;
                    }
                }
            }
            return read;
        }
    }
    static constexpr std::pair<char, char> kControls[] = {{'n', '\n'}, {'r', '\r'}, {'t', '\t'},
                                                          {'0', '\0'}, {'b', '\b'}, {'f', '\f'}};
    char read = c;
    for (const auto& [letter, control] : kControls) {
        if (c == letter) {
            read = control;
        }
    }
    return {Escaped::kCharacter, static_cast<unsigned char>(read), j + 1};
}

// Whether the backslashes that the reading before named stood for quote some in the text: those
// runs read otherwise (`read_backslashes`).
enum class NamedBefore { kNone, kSome };

// Whether the escape whose letter stands at `j` may be one that an escape after its digits is
// still to complete: its letter is a percent escape's start ("\\%6e"), or it is cut short before
// an escape's start. Such an escape is left to the next reading. A backslash escape after it
// completes it only where it may read as one more digit, as the "}" of a braced one, or as an
// escape's start, as the text it was written of holds it: one read now as anything else leaves it
// as it stands ("\\30\\xe9" reads as "30" and "\u00e9"), unless the reading before named
// backslashes, which may read otherwise here. A backslash before a reference escapes its "&", as
// JSON's "\\\u0026" reads.
bool completed_later(std::string_view b, size_t j, NamedBefore named = NamedBefore::kSome) {
    if (b[j] == kPercent) {
        return true;
    }
    const auto cut = cut_short(b, j);
    if (!cut) {
        return false;
    }
    if (b[cut->next] != kBackslash || named == NamedBefore::kSome) {
        return true;
    }
    size_t k = cut->next;
    while (k < b.size() && b[k] == kBackslash) {
        ++k;
    }
    if (k == b.size() || is_escape_start(b[k]) || cut_short(b, k)) {
        return true;  // that escape may wait itself, or read as a reference
    }
    const EscapeReading r = backslash_escape(b, k);
    if (r.value >= 0x80) {
        return false;
    }
    const auto c = static_cast<char>(r.value);
    return (cut->octal ? c >= '0' && c <= '7' : hex_digit_value(c) >= 0) ||
           (cut->braced && c == '}') || is_escape_start(c);
}

// Whether what stands at `at` may read as a digit in a later reading: a backslash escape, or a
// "%" before what may read as a percent escape's two digits (hex digits, or escapes of them). A
// "%" before anything else is none: that an HTML encoder wrote one of its references without the
// ";" ("&#92&#37;" read as "&#92%") does not keep the reference from being read, and neither does
// a "%" whose digits can never come ("&#0%fu", "&#0%%JJ"): a reference that waited for them would
// wait to the last reading, which reads no backslash it names as an escape again.
bool may_read_as_more_digits(std::string_view b, size_t at) {
    if (at >= b.size()) {
        return false;
    }
    if (b[at] == kBackslash) {
        return true;
    }
    // An escape that a later reading may read as a hex digit.
    const auto escape_at = [&](size_t k) {
        return k < b.size() && (b[k] == kPercent || b[k] == kBackslash || b[k] == kAmpersand);
    };
    if (b[at] != kPercent || at + 1 >= b.size()) {
        return false;
    }
    if (hex_digit_value(b[at + 1]) < 0) {
        // A percent-escape that the next reading reads as a digit, or a backslash escape.
        return (b[at + 1] == kPercent && percent_escape(b, at + 1).has_value()) ||
               b[at + 1] == kBackslash;
    }
    return (at + 2 < b.size() && hex_digit_value(b[at + 2]) >= 0) || escape_at(at + 2);
}

// The character reference whose name or number starts at `at`, just past its "&": numeric ones
// with any number of leading zeros and with or without their ";", as HTML readers take them.
// `waits` tells a numeric one without its ";" that a percent or backslash escape after it may
// make longer ("&#0%360;"): it is left for the next reading, and read as it stands by the last.
std::optional<Reading> character_reference(std::string_view b, size_t at, NextReading next,
                                           bool& waits) {
    if (at >= b.size()) {
        return std::nullopt;
    }
    if (b[at] == '#') {
        std::optional<Reading> number;
        if (at + 1 < b.size() && (b[at + 1] | 0x20) == 'x') {
            number = hex_number(b, at + 2, 1, 6, LeadingZeros::kSkipped);
            if (number && number->end < b.size() && hex_digit_value(b[number->end]) >= 0) {
                return std::nullopt;  // more digits than a code point has
            }
        } else {
            size_t k = at + 1;
            while (k < b.size() && b[k] == '0' && k + 1 < b.size() && b[k + 1] >= '0' &&
                   b[k + 1] <= '9') {
                ++k;
            }
            const size_t digits = k;
            uint32_t value = 0;
            while (k < b.size() && k - digits < 7 && b[k] >= '0' && b[k] <= '9') {
                value = value * 10 + static_cast<uint32_t>(b[k] - '0');
                ++k;
            }
            if (k == at + 1 || (k < b.size() && b[k] >= '0' && b[k] <= '9')) {
                return std::nullopt;
            }
            number = Reading{value, k};
        }
        if (!number || !names_a_character(number->value)) {
            return std::nullopt;
        }
        if (number->end < b.size() && b[number->end] == ';') {
            ++number->end;
        } else if (next == NextReading::kFollows && may_read_as_more_digits(b, number->end)) {
            // A percent or backslash escape after it may read as more of it ("&#0%360;"): it is
            // read once that is. A reference after it is the next one.
            waits = true;
            return std::nullopt;
        }
        return number;
    }
    static constexpr std::pair<std::string_view, char> kNamed[] = {
        {"amp;", '&'}, {"lt;", '<'}, {"gt;", '>'}, {"quot;", '"'}, {"apos;", '\''}};
    for (const auto& [name, read] : kNamed) {
        if (b.substr(at, name.size()) == name) {
            return Reading{static_cast<uint32_t>(static_cast<unsigned char>(read)),
                           at + name.size()};
        }
    }
    return std::nullopt;
}

// Percent-escapes read as their bytes.
void read_percent(const Stage& in, Stage& out) {
    const std::string_view b = in.bytes();
    out.start(b.size());
    for (size_t i = 0; (i = out.copy_up_to(in, i, kPercent)) < b.size();) {
        if (const auto r = percent_escape(b, i)) {
            out.emit(static_cast<char>(r->value), in.from(i), in.to(r->end - 1));
            i = r->end;
        } else {
            out.copy(in, i);
            ++i;
        }
    }
}

// Bytes named one after another by escapes (`\xc3\xa9`, `\303\251`), held until the run ends:
// read as UTF-8 where they form it, and each other one as the code point of its value.
class EscapedBytes {
  public:
    bool empty() const { return values_.empty(); }
    // A byte named by the escape at `begin` of the reading before, with its backslashes.
    void add(unsigned char value, uint32_t f, uint32_t t, size_t begin) {
        values_.push_back(static_cast<char>(value));
        from_.push_back(f);
        to_.push_back(t);
        begins_.push_back(begin);
    }
    // Appends the run read, but for a UTF-8 sequence begun at its end, whose escapes are left as
    // they stand (up to `end` of the reading before) for the next reading: an encoder escaped its
    // other bytes once more ("\\xc3%5Cxa9"), and what follows reads as them then. Returns
    // whether it left such a sequence.
    [[nodiscard]] bool flush_but_begun_sequence(const Stage& in, size_t end, Stage& out) {
        const size_t begun = begun_at_end();
        if (begun == 0) {
            flush(out);
            return false;
        }
        const size_t begin = begins_[values_.size() - begun];
        for (std::vector<uint32_t>* v : {&from_, &to_}) {
            v->resize(v->size() - begun);
        }
        values_.resize(values_.size() - begun);
        flush(out);
        out.copy(in, begin, end);
        out.note_decoded();
        return true;
    }
    // Appends the run read: a UTF-8 sequence byte for byte, each byte with its own escape, so one
    // canonical byte reaches no further than one escape; any other byte as U+0080 to U+00FF, both
    // of its bytes with its escape. One reading left to right, whatever the run.
    void flush(Stage& out) {
        for (size_t k = 0; k < values_.size();) {
            const size_t length = utf8_sequence_length(values_, k);
            if (length == 0) {
                out.emit_code_point(static_cast<unsigned char>(values_[k]), from_[k], to_[k]);
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
        begins_.clear();
    }

  private:
    // How many of the last bytes begin a UTF-8 sequence that the run ends too soon for; 0 when
    // none does.
    size_t begun_at_end() const {
        const size_t n = values_.size();
        for (size_t back = 1; back <= 3 && back <= n; ++back) {
            const auto c = static_cast<unsigned char>(values_[n - back]);
            if ((c & 0xc0) == 0x80) {
                continue;
            }
            const size_t length = c >= 0xf0 && c <= 0xf4 ? 4 : c >= 0xe0 ? 3 : c >= 0xc2 ? 2 : 0;
            return length > back && c < 0xf5 ? back : 0;
        }
        return 0;
    }

    std::string values_;
    std::vector<uint32_t> from_;
    std::vector<uint32_t> to_;
    std::vector<size_t> begins_;
};

// Whether a percent escape or a character reference stands close enough before `at` that the
// next reading may read it as the backslash escape of a byte that begins a UTF-8 sequence
// ("%5C360\\237" reads as "\\360\\237" then): a byte escape at `at` that continues such a
// sequence waits for that reading.
bool may_become_escape_before(std::string_view b, size_t at) {
    const size_t from = at - std::min(at, kLongestCanonicalReach);
    return b.substr(from, at - from).find_first_of("%&") != std::string_view::npos;
}

// Whether what an escape names continues a character begun before it: a byte that continues a
// UTF-8 sequence, or the low half of a surrogate pair.
bool continues_a_character(const EscapeReading& r) {
    return (r.kind == Escaped::kByte && (r.value & 0xc0) == 0x80) ||
           (r.kind == Escaped::kCodePoint && r.value >= 0xdc00 && r.value < 0xe000);
}

// Whether `r` names the high half of a surrogate pair whose low half, after it, the next reading
// may complete ("\\uD83D\\uDD%31%31") or read ("\\uD83D%5CuDD11"): the pair is read whole then.
bool low_half_completed_later(std::string_view b, const EscapeReading& r) {
    if (r.kind != Escaped::kCodePoint || r.value < 0xd800 || r.value >= 0xdc00) {
        return false;
    }
    if (r.end < b.size() && (b[r.end] == kPercent || b[r.end] == kAmpersand)) {
        return true;
    }
    size_t k = r.end;
    while (k < b.size() && b[k] == kBackslash && k - r.end < kLongestBackslashRun) {
        ++k;
    }
    // The escape after the backslashes may be the low half, its letter written as an escape too
    // ("\\uD83D\\%75DD11").
    return k > r.end && k < b.size() &&
           ((b[k] == 'u' && completed_later(b, k)) || is_escape_start(b[k]));
}

// Where the backslashes that backslash escapes stood for start in the text (`Stage::from`), in the
// order of the text: those the reading before named, and those this one names.
struct NamedBackslashes {
    std::vector<uint32_t> before;
    std::vector<uint32_t> now;

    // Gives back storage that a text with many of them made large.
    void release_if_large() {
        constexpr size_t kKept = 4096;
        if (before.capacity() > kKept || now.capacity() > kKept) {
            *this = NamedBackslashes();
        }
    }
};

// Backslash escapes read as what they stand for, however many times they were escaped over.
// A backslash that an escape of the reading before stood for ("\\x5c") is a byte of the text that
// encoder quoted: before an escape that this reading finds (one an encoder after it escaped once
// more, "\\x5c%255Cx66"), it joins no run with that escape's backslashes, but escapes what that
// escape reads as, in the next reading ("\\f").
void read_backslashes(const Stage& in, Stage& out, NextReading next, NamedBackslashes& named) {
    const std::string_view b = in.bytes();
    const size_t n = b.size();
    out.start(n);
    named.now.clear();
    out.keep_named_backslashes(&named.now);
    size_t named_at = 0;
    // Whether the backslash at `k` is one an escape of the reading before stood for; asked in the
    // order of the text.
    const auto named_before = [&](size_t k) {
        const uint32_t f = in.from(k);
        while (named_at < named.before.size() && named.before[named_at] < f) {
            ++named_at;
        }
        return named_at < named.before.size() && named.before[named_at] == f;
    };
    EscapedBytes bytes;
    // Whether the last backslash escape before `i` is one the next reading completes, or begins a
    // UTF-8 sequence left for it: the bytes that continue a UTF-8 sequence after it, and the low
    // half of a surrogate pair, wait for that reading too ("\\%78C3\\xa9" reads as
    // "\\xC3\\xa9" then, "\\360%5C237\\224" as "\\360\\237\\224").
    bool continuation_waits = false;
    // Ends the run of escaped bytes before `at`, where what follows may be an escape the next
    // reading reads: a UTF-8 sequence begun at its end is left for that reading.
    const auto end_run_before_escape = [&](size_t at) {
        if (next == NextReading::kNone) {
            bytes.flush(out);
        } else if (bytes.flush_but_begun_sequence(in, at, out)) {
            continuation_waits = true;
        }
    };
    for (size_t i = 0; i < n;) {
        if (b[i] != kBackslash) {
            if (!bytes.empty()) {
                if (is_escape_start(b[i])) {
                    end_run_before_escape(i);
                } else {
                    bytes.flush(out);
                }
            }
            i = out.copy_up_to(in, i, kBackslash);
            continue;
        }
        size_t j = i;
        while (j < n && b[j] == kBackslash) {
            ++j;
        }
        if (j == n) {
            out.note_decoded();
            break;  // backslashes at the end stand for nothing yet
        }
        if (!named.before.empty()) {
            size_t quoted = i;
            while (quoted < j && named_before(quoted)) {
                ++quoted;
            }
            if (quoted > i && quoted < j) {
                if (!bytes.empty()) {
                    bytes.flush(out);
                }
                out.copy(in, i, quoted);
                i = quoted;
                continue;
            }
        }
        const uint32_t f = in.from(std::max(i, j - std::min(j, kLongestBackslashRun)));
        if (next == NextReading::kFollows &&
            completed_later(b, j, named.before.empty() ? NamedBefore::kNone : NamedBefore::kSome)) {
            // One backslash for the run, as any run reads, before what the next reading
            // completes. The last reading waits for none: what it leaves stands as read
            // ("\\u" before a byte escape that waited up to it reads as "u").
            if (!bytes.empty()) {
                end_run_before_escape(i);
            }
            out.keep_escape_start(kBackslash, f, in.to(j - 1));
            continuation_waits = true;
            i = j;
            continue;
        }
        const EscapeReading r = backslash_escape(b, j);
        const uint32_t t = in.to(r.end - 1);
        const bool waits =
            next == NextReading::kFollows && bytes.empty() &&
            ((continues_a_character(r) && (continuation_waits || may_become_escape_before(b, i))) ||
             low_half_completed_later(b, r));
        if (waits) {
            out.copy(in, i, r.end);
            out.note_decoded();
            i = r.end;
            continue;
        }
        continuation_waits = false;
        if (r.kind == Escaped::kByte) {
            bytes.add(static_cast<unsigned char>(r.value), f, t, i);
            i = r.end;
            continue;
        }
        if (!bytes.empty()) {
            bytes.flush(out);
        }
        switch (r.kind) {
            case Escaped::kRawByte:
            case Escaped::kCharacter:
                out.emit(static_cast<char>(r.value), f, t);
                break;
            case Escaped::kCodePoint:
            case Escaped::kByte:
                out.emit_code_point(r.value, f, t);
                break;
        }
        i = r.end;
    }
    if (!bytes.empty()) {
        bytes.flush(out);
    }
    out.keep_named_backslashes(nullptr);
}

// Whether `c` may stand in what a later reading makes a numeric reference of: a digit or letter,
// its "#", or a percent-escape of one.
bool in_reference_run(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '#' || c == kPercent;
}

// Whether a percent-escape that the next reading reads stands in the run that ends
// (`Side::kBefore`) or starts (`Side::kAfter`) at `at`, of digits, letters, "#", "%" and `also`,
// within `kLongestCanonicalReach` bytes.
bool run_holds_escape_read_later(std::string_view b, size_t at, Side side, char also) {
    for (size_t n = 0; n < kLongestCanonicalReach; ++n) {
        if (side == Side::kBefore ? n >= at : at + n >= b.size()) {
            return false;
        }
        const size_t k = side == Side::kBefore ? at - 1 - n : at + n;
        const char c = b[k];
        if (c == kPercent && percent_escape(b, k)) {
            return true;
        }
        if (!in_reference_run(c) && c != also) {
            return false;
        }
    }
    return false;
}

// Whether the reference whose "&" stands at `at` comes right after a run of digits, letters and
// percent-escapes that the next reading reads ("&#003%37&#X3b;", "&#%58003b&#92;",
// "%26%23x0025&#X5c;"): that run may become a reference, or more digits of one, that what this
// one reads as would then join ("%;" read as "%" alone, ";\\9" as U+03B9), so this one waits for
// that reading too. A backslash escape before it is no such run: the reading that left it waits
// for what the references read as.
bool follows_escapes_read_later(std::string_view b, size_t at) {
    return run_holds_escape_read_later(b, at, Side::kBefore, kBackslash);
}

// Whether a percent-escape that the next reading reads stands in the run of digits, letters, "#"
// and "&" from `at`, just past a reference, to the next ";": a reference that the run ends, which
// the reference before it begins or goes on with ("&#38;&#35;%36%35&#%359;" read once from
// "&#38;&#35;65&#59;" written as percent-escapes twice over, whose "&#35;" begins "&#65;"). An
// HTML reader reads such a run's references in one pass, so that what they read as joins, and
// that reference waits for the run to be whole. A ";" ends the run, as it ends a reference.
bool precedes_escapes_read_later(std::string_view b, size_t at) {
    return run_holds_escape_read_later(b, at, Side::kAfter, kAmpersand);
}

// Where the run of digits, letters and percent-escapes of a reference that waits, from just past
// its "&" at `at`, ends: a reference there joins it once read, and waits with it. None
// (`SIZE_MAX`) where the run ends in an escape begun, a backslash or a "%" without its two
// digits ("&#0%4&#37;"): that escape waits for what the reference after it reads as, so that
// one is read now.
size_t end_of_waiting_reference(std::string_view b, size_t at) {
    // A reference whole with its ";" reads as what the run after it goes on with, in the next
    // reading ("&#38;&#35;" then "000125" as "&#000125", "&amp;amp;#125" as "}"): a reference at
    // that run's end waits too, so that what it reads as ends that one as it stands, not as a ";"
    // it would read as now.
    size_t k = at;
    for (size_t run = at;; run = ++k) {
        while (k < b.size() && in_reference_run(b[k])) {
            ++k;
        }
        if (k == run || k == b.size() || b[k] != ';') {
            break;
        }
    }
    const bool escape_begun = (k < b.size() && b[k] == kBackslash) ||
                              (k > at && b[k - 1] == kPercent) ||
                              (k - at >= 2 && b[k - 2] == kPercent);
    return escape_begun ? SIZE_MAX : k;
}

// Character references read as the characters they name, however many times the "&" that starts
// them was escaped over ("&amp;amp;lt;"). One left for the next reading makes sure there is one.
void read_references(const Stage& in, Stage& out, NextReading next) {
    const std::string_view b = in.bytes();
    const size_t n = b.size();
    out.start(n);
    // Where each piece of a chain starts: its "&", then each reference in it.
    std::vector<size_t> starts;
    // Where a reference right after one that waits would stand: it waits too ("&#xE9&#0059"
    // left for the next reading reads as "\xc3\xa9;" there, not as "&#xE9;").
    size_t after_waiting = SIZE_MAX;
    for (size_t i = 0; i < n;) {
        if (b[i] != kAmpersand) {
            i = out.copy_up_to(in, i, kAmpersand);
            continue;
        }
        const auto wait = [&] {
            out.note_decoded();
            out.copy(in, i);
            after_waiting = end_of_waiting_reference(b, i + 1);
            ++i;
        };
        if (next == NextReading::kFollows &&
            (i == after_waiting || follows_escapes_read_later(b, i))) {
            wait();
            continue;
        }
        // A chain: "&" and references, each of them but the last reading as "&".
        starts.assign(1, i);
        uint32_t value = 0;
        size_t end = i + 1;
        for (size_t at = i + 1;;) {
            bool waits = false;
            const auto r = character_reference(b, at, next, waits);
            if (waits) {
                out.note_decoded();
                after_waiting = end_of_waiting_reference(b, at);
            }
            if (!r) {
                break;
            }
            starts.push_back(at);
            value = r->value;
            end = r->end;
            if (r->value != static_cast<unsigned char>(kAmpersand)) {
                break;
            }
            at = r->end;
        }
        const uint32_t to = in.to(end - 1);
        const auto reaches = [&](size_t piece) {
            return to - in.from(starts[piece]) <= kLongestCanonicalReach;
        };
        size_t kept = starts.size() - 1;
        if (kept == 0 || (kept > 1 && !reaches(kept))) {
            // No reference, or a chain whose last reference stands for too long a stretch: the "&"
            // stands for itself, and what follows it is read on. A reference on its own is read
            // however many leading zeros it has.
            out.copy(in, i);
            ++i;
            continue;
        }
        // One that reads as what may begin or go on with a reference ("&", "#", a digit or a
        // letter; not a ";", which ends one, nor a "%", which begins a percent-escape that the
        // next reading reads as it is) waits for the run after it, where that holds an escape the
        // next reading reads.
        if (next == NextReading::kFollows && value < 0x80 &&
            (std::isalnum(static_cast<int>(value)) != 0 || value == '#' || value == kAmpersand) &&
            precedes_escapes_read_later(b, end)) {
            wait();
            continue;
        }
        // The earliest piece from which the chain reaches no further than one canonical byte
        // may; the pieces before it read as nothing.
        if (kept == 1) {
            kept = 0;
        }
        while (kept > 0 && reaches(kept - 1)) {
            --kept;
        }
        out.emit_code_point(value, in.from(starts[kept]), to);
        i = end;
    }
}

// A character of base64 text as the canonical view reads it, where "+" reads as a blank.
bool is_base64_character(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == ' ' ||
           c == '/' || c == '-' || c == '_';
}

// The length of the line break (LF or CRLF) at `i` that stands between two characters of base64
// text, which writers wrap at a fixed width; 0 where there is none.
size_t base64_line_break(std::string_view b, size_t i) {
    const size_t length =
        b[i] == '\n' ? 1 : (b[i] == '\r' && i + 1 < b.size() && b[i + 1] == '\n' ? 2 : 0);
    if (length == 0 || i == 0 || i + length >= b.size()) {
        return 0;
    }
    return is_base64_character(b[i - 1]) && is_base64_character(b[i + length]) ? length : 0;
}

// Sixteen bytes of a text at a time, for the scans that most texts pass through whole.
using Vector = unsigned char __attribute__((vector_size(16)));

// A bit for each lane of `hit` that is set (all ones), the first lane lowest.
inline uint32_t set_lanes(Vector hit) {
#if defined(__SSE2__)
    return static_cast<uint32_t>(_mm_movemask_epi8(reinterpret_cast<__m128i>(hit)));
#else
    using Words = uint64_t __attribute__((vector_size(16)));
    const Words words = reinterpret_cast<Words>(hit);
    // The top bit of each byte, gathered into the word's top byte.
    const auto gathered = [](uint64_t word) {
        return static_cast<uint32_t>(((word & 0x8080808080808080ULL) * 0x0002040810204081ULL) >>
                                     56);
    };
    return gathered(words[0]) | gathered(words[1]) << 8;
#endif
}

// The first set lane of the first `n` of `hit`, or `n` when none is.
inline size_t first_set(Vector hit, size_t n) {
    const uint32_t lanes = set_lanes(hit) & ((uint32_t{1} << n) - 1);
    return lanes == 0 ? n : static_cast<size_t>(__builtin_ctz(lanes));
}

// The `n` bytes at `p`, fewer than a vector holds, in the first lanes of one, the others zero:
// loaded as words, where a copy into a vector would have the load wait for the copy's stores.
inline Vector short_load(const char* p, size_t n) {
    if constexpr (std::endian::native != std::endian::little) {
        Vector b{};
        std::memcpy(&b, p, n);
        return b;
    }
    uint64_t low = 0;
    uint64_t high = 0;
    if (n >= 8) {
        // Two words that overlap: the second's bytes past the first's, shifted down into place.
        std::memcpy(&low, p, sizeof low);
        if (n > 8) {
            std::memcpy(&high, p + n - 8, sizeof high);
            high >>= 8 * (16 - n);
        }
    } else if (n >= 4) {
        uint32_t first;
        std::memcpy(&first, p, sizeof first);
        low = first;
        if (n > 4) {
            uint32_t last;
            std::memcpy(&last, p + n - 4, sizeof last);
            low |= uint64_t{last >> (8 * (8 - n))} << 32;
        }
    } else {
        for (size_t k = 0; k < n; ++k) {
            low |= uint64_t{static_cast<unsigned char>(p[k])} << (8 * k);
        }
    }
    using Words = uint64_t __attribute__((vector_size(16)));
    return reinterpret_cast<Vector>(Words{low, high});
}

// Where the first byte of `text` from `at` on stands for which `matches` holds, sixteen bytes at
// a time; the text's size when none does.
template <typename Matches>
inline __attribute__((always_inline)) size_t find_byte(std::string_view text, size_t at,
                                                       Matches matches) {
    // Four vectors at a step, tested at once: most texts hold none of the bytes sought.
    constexpr size_t kBlock = 4 * sizeof(Vector);
    for (; at + kBlock <= text.size(); at += kBlock) {
        Vector b[4];
        std::memcpy(b, text.data() + at, sizeof b);
        if (set_lanes((Vector)(matches(b[0]) | matches(b[1]) | matches(b[2]) | matches(b[3]))) !=
            0) {
            break;
        }
    }
    for (; at + sizeof(Vector) <= text.size(); at += sizeof(Vector)) {
        Vector b;
        std::memcpy(&b, text.data() + at, sizeof b);
        if (const size_t lane = first_set(matches(b), sizeof b); lane < sizeof b) {
            return at + lane;
        }
    }
    if (at == text.size()) {
        return at;
    }
    if (text.size() >= sizeof(Vector)) {
        // The last sixteen bytes, of which those before `at` were tested already: one load, where
        // a copy of the rest into a vector would have the load wait for the copy's stores.
        const size_t last = text.size() - sizeof(Vector);
        Vector b;
        std::memcpy(&b, text.data() + last, sizeof b);
        const uint32_t lanes = set_lanes(matches(b)) >> (at - last);
        return lanes == 0 ? text.size() : at + static_cast<size_t>(__builtin_ctz(lanes));
    }
    const size_t rest = text.size() - at;
    return at + first_set(matches(short_load(text.data() + at, rest)), rest);
}

constexpr auto escape_starts = [](Vector b) -> Vector {
    return (Vector)((b == kPercent) | (b == kBackslash) | (b == kAmpersand));
};

// The bytes that may read as other than themselves in the last step.
constexpr auto read_otherwise = [](Vector b) -> Vector {
    return (Vector)((b == '+') | (b == '\n') | (b == '\r') | (b >= 0x80));
};

// A text from its start as it stands, as a `CharacterWriter` reads it: each byte stands for itself.
struct AsItStands {
    std::string_view text;

    std::string_view bytes() const { return text; }
    uint32_t from(size_t i) const { return static_cast<uint32_t>(i); }
    uint32_t to(size_t i) const { return static_cast<uint32_t>(i + 1); }
    void positions(size_t i, size_t n, uint32_t* from, uint32_t* to) const {
        positions_as_they_stand(i, n, from, to);
    }
};

// What the last step of a reading writes the view with.
class CharacterWriter {
  public:
    // For a view of at most `n` bytes. No step makes a text longer: the view is sized for the
    // whole and cut to what was written.
    CharacterWriter(CanonicalView& out, size_t n) : out_(out) {
        out.bytes.resize(n);
        out.from.resize(n);
        out.to.resize(n);
    }
    ~CharacterWriter() {
        out_.bytes.resize(written_);
        out_.from.resize(written_);
        out_.to.resize(written_);
    }
    CharacterWriter(const CharacterWriter&) = delete;
    CharacterWriter& operator=(const CharacterWriter&) = delete;

    // A blank for "+", nothing for a line break inside base64 text, and one replacement for each
    // run of bytes that are not UTF-8 and of U+FFFD, from what `in` holds. A text read in two
    // pieces reads as one where the first ends in ASCII.
    template <typename Source>
    void read(const Source& in) {
        const std::string_view b = in.bytes();
        const size_t n = b.size();
        char* const bytes = out_.bytes.data();
        uint32_t* const from = out_.from.data();
        uint32_t* const to = out_.to.data();
        const auto put = [&](char c, uint32_t begin, uint32_t end) {
            bytes[written_] = c;
            from[written_] = begin;
            to[written_] = end;
            ++written_;
        };
        bool replacing = false;
        for (size_t i = 0; i < n;) {
            if (const size_t end = find_byte(b, i, read_otherwise); end > i) {
                std::memcpy(bytes + written_, b.data() + i, end - i);
                in.positions(i, end - i, from + written_, to + written_);
                written_ += end - i;
                replacing = false;
                i = end;
                continue;
            }
            const auto c = static_cast<unsigned char>(b[i]);
            if (c < 0x80) {
                put(c == '+' ? ' ' : static_cast<char>(c), in.from(i), in.to(i));
                replacing = false;
                ++i;
                continue;
            }
            const size_t length = utf8_sequence_length(b, i);
            if (length == 0 || (length == 3 && b.substr(i, 3) == "\xef\xbf\xbd")) {
                const size_t last = i + std::max<size_t>(length, 1) - 1;
                if (replacing) {
                    to[written_ - 1] = in.to(last);
                } else {
                    put(kReplacement, in.from(i), in.to(last));
                    replacing = true;
                }
                i = last + 1;
                continue;
            }
            for (size_t k = 0; k < length; ++k) {
                put(b[i + k], in.from(i + k), in.to(i + k));
            }
            replacing = false;
            i += length;
        }
    }

  private:
    CanonicalView& out_;
    size_t written_ = 0;
};

bool holds_escape_start(std::string_view bytes) {
    return find_byte(bytes, 0, escape_starts) < bytes.size();
}

// The stages a thread reads its texts with: the text, then each step of a reading.
struct Stages {
    Stage text;
    Stage percent;
    Stage escapes;
    Stage references;
    NamedBackslashes named;

    void release_if_large() {
        for (Stage* stage : {&text, &percent, &escapes, &references}) {
            stage->release_if_large();
        }
        named.release_if_large();
    }
};

// One reading of every escape in `stages.text`: percent-escapes, then backslash escapes, then
// references. Returns the stage that holds what it read, and whether it decoded anything.
// From `first` on: a reading of a text that an encoder wrote starts where that encoder's escapes
// are read.
std::pair<Stage*, bool> read_layer(Stages& stages, ReadingStep first, NextReading next) {
    if (first == ReadingStep::kReferences) {
        read_references(stages.text, stages.references, next);
        return {&stages.references, stages.references.decoded()};
    }
    const Stage* percent = &stages.text;
    bool decoded = false;
    if (first == ReadingStep::kPercentEscapes) {
        read_percent(stages.text, stages.percent);
        percent = &stages.percent;
        decoded = stages.percent.decoded();
    }
    read_backslashes(*percent, stages.escapes, next, stages.named);
    decoded = decoded || stages.escapes.decoded();
    if (stages.escapes.bytes().find(kAmpersand) == std::string_view::npos) {
        return {&stages.escapes, decoded};
    }
    read_references(stages.escapes, stages.references, next);
    return {&stages.references, decoded || stages.references.decoded()};
}

}  // namespace

bool may_differ_from_canonical(std::string_view text) {
    return find_byte(text, 0, [](Vector b) { return escape_starts(b) | read_otherwise(b); }) <
           text.size();
}

void canonical_view(std::string_view text, CanonicalView& out, ReadingStep first) {
    // Every reading reads the text before its first escape start as it stands: no escape looks
    // back past its start for more than escapes. The readings start there, or before the bytes
    // that are not ASCII just before it, which what an escape reads as may join into a character.
    size_t read_from = find_byte(text, 0, escape_starts);
    while (read_from > 0 && static_cast<unsigned char>(text[read_from - 1]) >= 0x80) {
        --read_from;
    }
    thread_local Stages stages;
    stages.text.start_with(text, read_from);
    stages.named.before.clear();
    stages.named.now.clear();
    Stage* read = &stages.text;
    for (int layer = 0; layer < kMostLayers && !read->bytes().empty(); ++layer) {
        const auto [next, decoded] =
            read_layer(stages, layer == 0 ? first : ReadingStep::kPercentEscapes,
                       layer + 1 < kMostLayers ? NextReading::kFollows : NextReading::kNone);
        read = next;
        const bool whole_layer = layer > 0 || first == ReadingStep::kPercentEscapes;
        if ((!decoded && whole_layer) || !holds_escape_start(next->bytes()) ||
            layer + 1 == kMostLayers) {
            break;
        }
        std::swap(stages.text, *next);
        std::swap(stages.named.before, stages.named.now);
        read = &stages.text;
    }
    CharacterWriter view(out, read_from + read->bytes().size());
    view.read(AsItStands{text.substr(0, read_from)});
    view.read(*read);
    stages.release_if_large();
}

bool without_base64_line_breaks(const CanonicalView& view, CanonicalView& out) {
    const std::string_view b = view.bytes;
    size_t i = b.find('\n');
    while (i != std::string_view::npos &&
           base64_line_break(b, i - (i > 0 && b[i - 1] == '\r')) == 0) {
        i = b.find('\n', i + 1);
    }
    if (i == std::string_view::npos) {
        return false;
    }
    out.bytes.clear();
    out.from.clear();
    out.to.clear();
    for (size_t k = 0; k < b.size();) {
        if (const size_t wrap = base64_line_break(b, k); wrap != 0) {
            k += wrap;
            continue;
        }
        out.bytes.push_back(b[k]);
        out.from.push_back(view.from[k]);
        out.to.push_back(view.to[k]);
        ++k;
    }
    return true;
}

size_t backslash_written_at(std::string_view text, size_t at, Side side) {
    const bool before = side == Side::kBefore;
    const size_t most = std::min(kLongestWrittenBackslash, before ? at : text.size() - at);
    if (most == 0 || (!before && !is_escape_start(text[at]))) {
        return 0;
    }
    // A backslash as it stands, where nothing after it could make it a longer escape, or
    // percent-encoded: as most are written, told without reading.
    if (before ? text[at - 1] == kBackslash
               : text[at] == kBackslash &&
                     (at + 1 == text.size() || text[at + 1] == kBackslash ||
                      std::isalnum(static_cast<unsigned char>(text[at + 1])) == 0)) {
        return 1;
    }
    if (const auto escape = most >= 3 ? percent_escape(text, before ? at - 3 : at) : std::nullopt;
        escape && escape->value == static_cast<unsigned char>(kBackslash)) {
        return 3;
    }
    // A text reads as backslashes when, before a character that no escape takes in with more, it
    // and that character read as that character alone.
    constexpr char kEscaped = 'z';
    std::string piece;
    const auto reads_as_backslashes = [&](size_t length) {
        const size_t begin = before ? at - length : at;
        if (!is_escape_start(text[begin])) {
            return false;
        }
        piece.assign(text.substr(begin, length));
        piece += kEscaped;
        return canonical(piece) == std::string_view(&kEscaped, 1);
    };
    size_t length = 1;
    while (length <= most && !reads_as_backslashes(length)) {
        ++length;
    }
    if (length > most) {
        return 0;
    }
    // The shortest, taken on while a few bytes more still read so: a reference's ";", plain or
    // percent-encoded, goes with it.
    constexpr size_t kTakenOn = 3;
    for (bool longer = true; longer;) {
        longer = false;
        for (size_t more = 1; more <= kTakenOn && length + more <= most; ++more) {
            if (reads_as_backslashes(length + more)) {
                length += more;
                longer = true;
                break;
            }
        }
    }
    return length;
}

CanonicalView canonical_view(std::string_view text) {
    CanonicalView out;
    canonical_view(text, out);
    return out;
}

namespace {

// The escapes begun before a form that may take in its first bytes: those that read as a digit,
// or as what a digit may stand in, from the form's first bytes ("%41", "&#x34;", "\\u{33}")...
constexpr std::string_view kEscapesOfDigits[] = {"%", "&#", "&#x", "\\u00", "\\u{", "\\x"};
// ...the others, which wait for a digit or a "#": one of each escape of a fixed number of digits
// for each number of them it may take ("\\U000" takes five)...
constexpr std::string_view kEscapesBegun[] = {"\\",  "%4",   "&",      "&#0",    "&#x1",
                                              "\\u", "\\u0", "\\u{41", "\\x4",   "\\x{4",
                                              "\\U", "\\U0", "\\U00",  "\\U000", "\\U0001"};
// ...and a reference without its ";" inside one begun, which takes a ";" that the form starts with.
constexpr std::string_view kReferenceInOneBegun = "&#x&#x41";
// What an escape listed here that waits for digits may take besides a hex digit: an escape of one,
// what ends it (";", "}"), or what makes it a braced or a hex one ("{", "x", "X"). A backslash and
// "&" alone wait for no digit.
constexpr std::string_view kTakenBesideDigits = "%\\&;{}xX";
bool may_take(std::string_view escape, char next) {
    return escape == "\\" || escape == "&" || hex_digit_value(next) >= 0 ||
           kTakenBesideDigits.find(next) != std::string_view::npos;
}
// The most escapes before a form, each waiting for what the next reads as, that are read with it.
constexpr size_t kLongestEscapeChain = 3;

// What may follow a form to complete an escape begun at its end.
constexpr std::string_view kTextsAfter[] = {"0",    "a",     ";",   "n",   "41",  "0041", "lt;",
                                            "#49;", "u0041", "x41", "&#x", "%41", "\\n",  "{"};
// The most bytes after a UTF-8 sequence's first that a character an escape begins may take in.
constexpr size_t kLongestUtf8Continuation = 3;
// How much of a form's ends is read to tell what an escape beside it takes: more than the
// longest escape.
constexpr size_t kEdgeWindow = 48;
// How far from a form's end an escape that what follows may complete can begin ("\\U0001F51",
// "&#x10FFF").
constexpr size_t kLongestEscapeBegun = 12;

// The canonical view of `first` and `second` joined, in storage the thread keeps for its next
// call: a form's edges are read beside dozens of escapes, each a short text.
const CanonicalView& view_of_joined(std::string_view first, std::string_view second) {
    thread_local std::string joined;
    thread_local CanonicalView view;
    joined.assign(first);
    joined += second;
    canonical_view(joined, view);
    return view;
}

// What an escape ending in `before` takes of a form whose first bytes are `head`: how many bytes at
// the start of its canonical form (`alone`), and what the two read as from the escape on.
struct TakenAtStart {
    size_t taken;
    std::string reading;
};

std::optional<TakenAtStart> taken_at_start(std::string_view before, std::string_view head,
                                           const CanonicalView& alone) {
    const CanonicalView& beside = view_of_joined(before, head);
    if (beside.bytes.ends_with(alone.bytes)) {
        return std::nullopt;
    }
    // The bytes the escape reads as, then those of the form alone.
    size_t escape = 0;
    while (escape < beside.bytes.size() && beside.to[escape] <= before.size()) {
        ++escape;
    }
    size_t inside = escape;
    while (inside < beside.bytes.size() && beside.from[inside] < before.size()) {
        ++inside;
    }
    if (inside == escape) {
        // The escape takes no byte of the form, but the character it reads as may end in the
        // form's first bytes (in copies in a row, one's "%cD" and the next one's "%AD" read as
        // U+036D): the form is taken up to where the two read alike again, below, and what they
        // read as starts with that character.
        const auto continues = [&](size_t i) {
            return (static_cast<unsigned char>(beside.bytes[i]) & 0xc0) == 0x80;
        };
        if (inside == beside.bytes.size() || !continues(inside)) {
            return std::nullopt;
        }
        while (escape > 0 && continues(escape)) {
            --escape;
        }
    }
    // What the escape reads as may join the bytes after it into one character (a byte "%d3"
    // names before the form's own "%a3", which alone reads as the replacement): those bytes are
    // taken too, up to where the two read alike again.
    const std::string_view after = std::string_view(beside.bytes).substr(inside);
    for (size_t taken_too = 0; taken_too <= kLongestUtf8Continuation && taken_too <= after.size();
         ++taken_too) {
        const size_t rest = after.size() - taken_too;
        if (rest <= alone.bytes.size() && alone.bytes.ends_with(after.substr(taken_too))) {
            return TakenAtStart{alone.bytes.size() - rest, beside.bytes.substr(escape)};
        }
    }
    return std::nullopt;
}

// `head` with each of its escape starts and each ";" written as a character reference ("&#37;"
// for "%"), as an encoder that writes every such byte so quotes it; empty when it holds none. A
// numeric reference before the form ends at such a reference, where a bare "%" or "\\" after its
// digits keeps it waiting for more of them, and a bare ";" would end it with the form's own:
// "&#0" before "33333&#37;" reads the five digits as one character, before "33333%" as itself,
// and before "33&#59;3" as "!" and ";".
std::string escape_starts_referenced(std::string_view head) {
    if (head.find_first_of("%\\&;") == std::string_view::npos) {
        return {};
    }
    std::string referenced;
    referenced.reserve(head.size() + head.size() / 2);
    for (const char c : head) {
        if (is_escape_start(c) || c == ';') {
            referenced += "&#";
            referenced += std::to_string(static_cast<unsigned char>(c));
            referenced += ';';
        } else {
            referenced += c;
        }
    }
    return referenced;
}

bool begins_numeric_reference(std::string_view before) {
    return before.find("&#") != std::string_view::npos;
}

// How many bytes at the end of `form`'s canonical form an escape begun in it takes in with
// `after`; 0 when it takes none.
size_t taken_at_end(std::string_view tail, const CanonicalView& alone, std::string_view after) {
    const CanonicalView& beside = view_of_joined(tail, after);
    if (beside.bytes.starts_with(alone.bytes)) {
        return 0;
    }
    // The bytes both read alike, up to where the escape that takes in what follows begins: an
    // escape that waits for what follows reads otherwise than at the end ("\\U" alone reads as
    // "U", before "&#x" as itself).
    size_t inside = 0;
    while (inside < beside.bytes.size() && beside.to[inside] <= tail.size()) {
        ++inside;
    }
    const size_t alike = static_cast<size_t>(
        std::mismatch(alone.bytes.begin(), alone.bytes.end(), beside.bytes.begin(),
                      beside.bytes.begin() + static_cast<ptrdiff_t>(inside))
            .first -
        alone.bytes.begin());
    return alone.bytes.size() - alike;
}

// Whether an escape begun before a form may take in its first byte as more than itself: a hex
// digit (of "%", "&#x", "\\u"), a digit (of "&#"), an escape letter, the start of a named
// reference, what begins or ends a braced escape ("{", "}"), what ends a reference (";"), or an
// escape of its own, whose reading an escape waiting before it reads with it.
bool may_be_taken_at_start(char first) {
    return hex_digit_value(first) >= 0 ||
           std::string_view("nrtuxUXlgq#;{}\\%&").find(first) != std::string_view::npos;
}

// How many bytes at the end of a canonical form escapes that what follows completes may take, one
// more with each reading: a run of escape starts, and up to two hex digits after it, which what
// follows may make an escape whose reading the start before it takes in again ("%%%%" before
// "4141" reads as "%%", U+00A4 and "1"). At least the digits and one escape start; none when
// there is no such run.
struct ChainedAtEnd {
    size_t least = 1;
    size_t most = 0;
};

ChainedAtEnd chained_at_end(std::string_view reading) {
    size_t end = reading.size();
    for (size_t digits = 0; digits < 2 && end > 0 && hex_digit_value(reading[end - 1]) >= 0;
         ++digits) {
        --end;
    }
    size_t run = end;
    while (run > 0 && is_escape_start(reading[run - 1]) && end - run < kMostLayers) {
        --run;
    }
    if (run == end) {
        return {};
    }
    return {reading.size() - end + 1, reading.size() - run};
}

void add_once_size(std::vector<size_t>& sizes, size_t size) {
    if (std::find(sizes.begin(), sizes.end(), size) == sizes.end()) {
        sizes.push_back(size);
    }
}

void add_once(std::vector<std::string>& readings, std::string reading) {
    if (std::find(readings.begin(), readings.end(), reading) == readings.end()) {
        readings.push_back(std::move(reading));
    }
}

// How many bytes at the start of `form`'s canonical form each escape begun before it may take in,
// into `at_start`; with a short form, what the two read as into `readings.beside_escapes`.
void add_taken_at_start(std::string_view form, std::vector<size_t>& at_start,
                        EdgeReadings& readings) {
    const std::string_view head = form.substr(0, kEdgeWindow);
    const CanonicalView alone = canonical_view(head);
    // The form as an encoder wrote its escape starts, where that reads as the form does.
    std::string referenced = escape_starts_referenced(head);
    std::optional<CanonicalView> referenced_alone;
    if (!referenced.empty()) {
        referenced_alone = canonical_view(referenced);
        if (referenced_alone->bytes != alone.bytes) {
            referenced_alone.reset();
        }
    }
    // Takes in what the escape `before` takes of the form. Returns what the two read as from
    // the escape on, where an escape before them may take its first byte.
    // What the escape leaves is known whatever the escape's own digits were; a short form is
    // known whole beside the escape too, where what is left is too short.
    const auto add = [&](TakenAtStart& taken) {
        add_once_size(at_start, taken.taken);
        if (head.size() == form.size() && taken.reading.size() >= kShortestEscapeReading) {
            add_once(readings.beside_escapes, std::move(taken.reading));
        }
    };
    const auto take = [&](std::string_view before) -> std::optional<std::string> {
        auto taken = taken_at_start(before, head, alone);
        // A numeric reference takes otherwise where the form's escape starts and ";" were written
        // as references: both are known.
        if (referenced_alone && begins_numeric_reference(before)) {
            if (auto referenced_taken = taken_at_start(before, referenced, *referenced_alone)) {
                if (!taken) {
                    taken = std::move(referenced_taken);
                } else if (referenced_taken->taken != taken->taken) {
                    add(*referenced_taken);
                }
            }
        }
        if (!taken) {
            return std::nullopt;
        }
        std::optional<std::string> may_be_taken;
        if (!taken->reading.empty() && may_be_taken_at_start(taken->reading.front())) {
            may_be_taken = taken->reading;
        }
        add(*taken);
        return may_be_taken;
    };
    // A reference inside one begun, and the form's own end, which begins the escape that takes
    // the start of a copy right after it.
    take(kReferenceInOneBegun);
    take(form.substr(form.size() - std::min(form.size(), kLongestEscapeBegun)));
    // The escapes of others, and chains of escapes before one, each waiting for what the one
    // after it reads as, where that may be taken: it takes more of the form ("\\u\\u0033"
    // and "3aa" read as U+33AA, "%&#X31;" and "3" as U+0013, "&#x\\u00\\u00" and "333a" as
    // U+3AAA, "&#\\" and "x3333335" as U+51617). Chains that read alike with the form go on as
    // one.
    struct Chain {
        std::string escapes;
        std::string reading;
    };
    std::vector<Chain> chains;
    // `first` before `escapes` (none, or a chain), whose reading starts with `next`: not read
    // where it can take nothing of that.
    const auto add_chain = [&](std::vector<Chain>& to, std::string_view first,
                               std::string_view escapes, char next) {
        if (!may_take(first, next)) {
            return;
        }
        std::string joined(first);
        joined += escapes;
        std::optional<std::string> reading = take(joined);
        if (reading && std::ranges::find(to, *reading, &Chain::reading) == to.end()) {
            to.push_back(Chain{std::move(joined), std::move(*reading)});
        }
    };
    for (const std::string_view escape : kEscapesOfDigits) {
        add_chain(chains, escape, {}, head.front());
    }
    for (const std::string_view escape : kEscapesBegun) {
        add_chain(chains, escape, {}, head.front());
    }
    for (size_t length = 2; length <= kLongestEscapeChain && !chains.empty(); ++length) {
        std::vector<Chain> longer;
        for (const Chain& chain : chains) {
            const auto before_chain = [&](std::string_view first) {
                add_chain(longer, first, chain.escapes, chain.reading.front());
            };
            std::ranges::for_each(kEscapesOfDigits, before_chain);
            std::ranges::for_each(kEscapesBegun, before_chain);
        }
        chains = std::move(longer);
    }
}

}  // namespace

EdgeReadings edge_readings(std::string_view form) {
    EdgeReadings readings;
    if (form.empty()) {
        return readings;
    }
    // Most forms start with no byte an escape before them could take, and end with no escape
    // begun: those need no reading beside anything.
    // A short form is known whole beside each escape, the escape's reading first; a longer one by
    // what the escape leaves of it, found behind an escape.
    std::vector<size_t> at_start{0};
    if (may_be_taken_at_start(form.front())) {
        add_taken_at_start(form, at_start, readings);
    }
    std::vector<size_t> at_end{0};
    const std::string_view tail = form.substr(form.size() - std::min(form.size(), kEdgeWindow));
    if (tail.substr(tail.size() - std::min<size_t>(tail.size(), kLongestEscapeBegun))
            .find_first_of("%\\&") != std::string_view::npos) {
        const CanonicalView alone = canonical_view(tail);
        // What others write after it, and the form's own start, which a copy right after it
        // brings.
        std::vector<std::string_view> afters(std::begin(kTextsAfter), std::end(kTextsAfter));
        afters.push_back(form.substr(0, kLongestEscapeBegun));
        for (const std::string_view after : afters) {
            if (const size_t taken = taken_at_end(tail, alone, after); taken != 0) {
                add_once_size(at_end, taken);
            }
        }
        const ChainedAtEnd chained = chained_at_end(alone.bytes);
        for (size_t taken = chained.least; taken <= chained.most; ++taken) {
            add_once_size(at_end, taken);
        }
    }
    // Beside an escape at each end, as copies of a form in a row read.
    for (const size_t end : at_end) {
        for (size_t i = 0, n = readings.beside_escapes.size(); end != 0 && i < n; ++i) {
            const std::string& beside = readings.beside_escapes[i];
            if (beside.size() >= end + kShortestEscapeReading) {
                add_once(readings.beside_escapes, beside.substr(0, beside.size() - end));
            }
        }
    }
    if (at_start.size() == 1 && at_end.size() == 1) {
        return readings;
    }
    const std::string whole = canonical(form);
    for (const size_t start : at_start) {
        for (const size_t end : at_end) {
            if ((start == 0 && end == 0) || start + end + kShortestEdgeReading > whole.size()) {
                continue;
            }
            std::string piece = whole.substr(start, whole.size() - start - end);
            add_once(start == 0 ? readings.ends_taken : readings.starts_taken, std::move(piece));
        }
    }
    return readings;
}

std::string canonical(std::string_view text, ReadingStep first) {
    if (!may_differ_from_canonical(text)) {
        return std::string(text);
    }
    CanonicalView out;
    canonical_view(text, out, first);
    return std::move(out.bytes);
}

}  // namespace quorvel::secrets
