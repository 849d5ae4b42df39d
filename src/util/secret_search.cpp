#include "util/secret_search.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <unordered_map>

#include "util/hex.h"
#include "util/unicode.h"

namespace quorvel::secrets {

namespace {

// A run of backslashes longer than this reads as nothing before its last ones, so that one
// canonical byte reaches a bounded stretch of the text.
constexpr size_t kLongestBackslashRun = 8;

// Patterns longer than this are checked with their failure function; shorter ones are compared.
constexpr size_t kComparedUpTo = 32;

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

// Appends the UTF-8 form of `cp`; a surrogate gets the bytes UTF-8 would give it, which are no
// UTF-8 and so read as the replacement in the next step.
void emit_code_point(Stage& out, uint32_t cp, uint32_t f, uint32_t t) {
    if (cp < 0x80) {
        out.emit(static_cast<char>(cp), f, t);
    } else if (cp < 0x800) {
        out.emit(static_cast<char>(0xc0 | (cp >> 6)), f, t);
        out.emit(static_cast<char>(0x80 | (cp & 0x3f)), f, t);
    } else if (cp < 0x10000) {
        out.emit(static_cast<char>(0xe0 | (cp >> 12)), f, t);
        out.emit(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)), f, t);
        out.emit(static_cast<char>(0x80 | (cp & 0x3f)), f, t);
    } else {
        out.emit(static_cast<char>(0xf0 | (cp >> 18)), f, t);
        out.emit(static_cast<char>(0x80 | ((cp >> 12) & 0x3f)), f, t);
        out.emit(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)), f, t);
        out.emit(static_cast<char>(0x80 | (cp & 0x3f)), f, t);
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

// Backslash escapes read as what they stand for, however many times they were escaped over.
void read_backslashes(const Stage& in, Stage& out) {
    const std::string_view b = in.bytes;
    const size_t n = b.size();
    out.reserve(n);
    for (size_t i = 0; i < n;) {
        if (b[i] != '\\') {
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
        size_t end = j + 1;
        if (c == 'u' || c == 'x') {
            const bool braced = j + 1 < n && b[j + 1] == '{';
            auto [value, after] = braced ? read_hex(b, j + 2, 1, c == 'u' ? 6 : 2, '}')
                                         : (c == 'u' ? read_hex(b, j + 1, 4, 4, '\0')
                                                     : std::pair<int64_t, size_t>{-1, j});
            if (value >= 0 && c == 'x') {
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

uint32_t key_at(const char* at) {
    uint32_t key;
    std::memcpy(&key, at, sizeof key);
    return key;
}

// How many bytes `a` and `b` share from their start, up to `most`: eight at a step.
size_t common_prefix(const char* a, const char* b, size_t most) {
    size_t i = 0;
    for (; i + 8 <= most; i += 8) {
        uint64_t x;
        uint64_t y;
        std::memcpy(&x, a + i, sizeof x);
        std::memcpy(&y, b + i, sizeof y);
        if (x != y) {
            const uint64_t differ = x ^ y;
            const int bits = std::endian::native == std::endian::little ? std::countr_zero(differ)
                                                                        : std::countl_zero(differ);
            return i + static_cast<size_t>(bits) / 8;
        }
    }
    while (i < most && a[i] == b[i]) {
        ++i;
    }
    return i;
}

unsigned bits_for(size_t count) {
    unsigned bits = 0;
    while ((size_t{1} << bits) < count) {
        ++bits;
    }
    return bits;
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
        const Bytes hit = (b == '%') | (b == '+') | (b == '\\') | (b >= 0x80);
        uint64_t halves[2];
        std::memcpy(halves, &hit, sizeof halves);
        if ((halves[0] | halves[1]) != 0) {
            return true;
        }
    }
    for (; at < end; ++at) {
        const auto c = static_cast<unsigned char>(*at);
        if (c == '%' || c == '+' || c == '\\' || c >= 0x80) {
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
    read_characters(escapes, out);
    return out;
}

std::string canonical(std::string_view text) {
    return canonical_view(text).bytes;
}

PatternIndex::PatternIndex(const std::vector<std::string_view>& patterns) {
    size_t total = 0;
    shortest_ = SIZE_MAX;
    for (const std::string_view p : patterns) {
        if (p.size() >= kShortestPattern) {
            total += p.size();
            shortest_ = std::min(shortest_, p.size());
            longest_ = std::max(longest_, p.size());
        }
    }
    if (longest_ == 0) {
        shortest_ = 0;
        return;
    }
    // Every occurrence of a text of `length` bytes holds a multiple of `step` at which its four
    // bytes stand wholly inside it, at one offset of any `step` consecutive ones it has.
    step_ = std::min<size_t>(8, shortest_ - kShortestPattern + 1);
    bytes_.reserve(total);
    std::unordered_map<uint32_t, uint32_t> filed;
    std::vector<std::pair<uint32_t, Entry>> keyed;
    std::vector<uint32_t> keys;
    std::vector<uint32_t> counts;
    for (const std::string_view text : patterns) {
        if (text.size() < kShortestPattern) {
            continue;
        }
        const auto id = static_cast<uint32_t>(patterns_.size());
        Pattern p{static_cast<uint32_t>(bytes_.size()), static_cast<uint32_t>(text.size())};
        bytes_.append(text);
        if (text.size() > kComparedUpTo) {
            p.failure = static_cast<uint32_t>(failure_.size());
            failure_.resize(failure_.size() + text.size(), 0);
            uint32_t* f = failure_.data() + p.failure;
            for (size_t k = 1, border = 0; k < text.size(); ++k) {
                while (border > 0 && text[k] != text[border]) {
                    border = f[border - 1];
                }
                if (text[k] == text[border]) {
                    ++border;
                }
                f[k] = static_cast<uint32_t>(border);
            }
        }
        patterns_.push_back(p);
        // The window of `step_` offsets whose four bytes were filed least often so far.
        const size_t offsets = text.size() - kShortestPattern + 1;
        keys.resize(offsets);
        counts.resize(offsets);
        for (size_t o = 0; o < offsets; ++o) {
            keys[o] = key_at(text.data() + o);
            const auto it = filed.find(keys[o]);
            counts[o] = it == filed.end() ? 0 : it->second;
        }
        uint64_t sum = 0;
        for (size_t o = 0; o < step_; ++o) {
            sum += counts[o];
        }
        uint64_t best_sum = sum;
        size_t best = 0;
        for (size_t a = 1; a + step_ <= offsets; ++a) {
            sum += counts[a + step_ - 1];
            sum -= counts[a - 1];
            if (sum < best_sum) {
                best_sum = sum;
                best = a;
            }
        }
        for (size_t o = best; o < best + step_; ++o) {
            ++filed[keys[o]];
            keyed.push_back({keys[o], Entry{id, static_cast<uint32_t>(o)}});
        }
    }
    // Grouped by key; within a key by pattern, and each pattern's offsets from the last, so that
    // a probe meets the starts of one pattern in the order of the text.
    std::sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
        if (a.first != b.first) {
            return a.first < b.first;
        }
        if (a.second.pattern != b.second.pattern) {
            return a.second.pattern < b.second.pattern;
        }
        return a.second.offset > b.second.offset;
    });
    const size_t unique = filed.size();
    const unsigned slot_bits = std::max(4U, bits_for(unique * 2));
    slot_shift_ = 64 - slot_bits;
    slots_.assign(size_t{1} << slot_bits, Slot{});
    const unsigned filter_bits = std::max(12U, bits_for(unique * 16));
    filter_shift_ = 64 - filter_bits;
    filter_.assign((size_t{1} << filter_bits) / 64, 0);
    entries_.reserve(keyed.size());
    for (size_t k = 0; k < keyed.size();) {
        const uint32_t key = keyed[k].first;
        const auto first = static_cast<uint32_t>(entries_.size());
        while (k < keyed.size() && keyed[k].first == key) {
            entries_.push_back(keyed[k].second);
            ++k;
        }
        size_t at = (key * kSlotHash) >> slot_shift_;
        while (slots_[at].count != 0) {
            at = (at + 1) & (slots_.size() - 1);
        }
        slots_[at] = Slot{key, first, static_cast<uint32_t>(entries_.size() - first)};
        const size_t bit = (key * kFilterHash) >> filter_shift_;
        filter_[bit / 64] |= uint64_t{1} << (bit % 64);
    }
    sorted_.resize(patterns_.size());
    for (uint32_t i = 0; i < sorted_.size(); ++i) {
        sorted_[i] = i;
    }
    std::sort(sorted_.begin(), sorted_.end(), [this](uint32_t a, uint32_t b) {
        return text_of(patterns_[a]) < text_of(patterns_[b]);
    });
}

const PatternIndex::Slot* PatternIndex::slot_of(uint32_t key) const {
    for (size_t at = (key * kSlotHash) >> slot_shift_;; at = (at + 1) & (slots_.size() - 1)) {
        const Slot& slot = slots_[at];
        if (slot.count == 0) {
            return nullptr;
        }
        if (slot.key == key) {
            return &slot;
        }
    }
}

void PatternIndex::find(std::string_view text,
                        std::vector<std::pair<size_t, size_t>>& found) const {
    const size_t n = text.size();
    if (patterns_.empty() || n < shortest_) {
        return;
    }
    std::vector<Next> next;
    const char* const data = text.data();
    const uint64_t* const filter = filter_.data();
    const unsigned shift = filter_shift_;
    const size_t step = step_;
    const size_t last = n - kShortestPattern;
    for (size_t i = 0; i <= last; i += step) {
        // The probes that no key passes, which are nearly all of them, in a loop of their own.
        const uint32_t key = key_at(data + i);
        const size_t bit = (key * kFilterHash) >> shift;
        if (((filter[bit / 64] >> (bit % 64)) & 1) != 0) {
            check_candidates(text, i, key, next, found);
        }
    }
}

void PatternIndex::check_candidates(std::string_view text, size_t i, uint32_t key,
                                    std::vector<Next>& next,
                                    std::vector<std::pair<size_t, size_t>>& found) const {
    const Slot* slot = slot_of(key);
    if (slot == nullptr) {
        return;
    }
    const size_t n = text.size();
    const char* const data = text.data();
    for (uint32_t k = slot->first; k < slot->first + slot->count; ++k) {
        const Entry& entry = entries_[k];
        if (entry.offset > i) {
            continue;
        }
        const size_t start = i - entry.offset;
        const Pattern& p = patterns_[entry.pattern];
        if (start + p.length > n) {
            continue;
        }
        const char* const pattern = bytes_.data() + p.offset;
        if (p.length <= kComparedUpTo) {
            if (std::memcmp(data + start, pattern, p.length) == 0) {
                found.emplace_back(start, start + p.length);
            }
            continue;
        }
        auto it = std::find_if(next.begin(), next.end(),
                               [&](const Next& r) { return r.pattern == entry.pattern; });
        if (it == next.end()) {
            next.push_back(Next{entry.pattern, 0, 0});
            it = next.end() - 1;
        }
        // The places the failure function lets an occurrence start at, from the last one
        // checked up to this candidate: each step forgets known bytes, which only a
        // comparison brings, so the steps of a search add up to the length of the text.
        const uint32_t* const f = failure_.data() + p.failure;
        while (it->start < start && it->known > 0) {
            it->start += it->known - f[it->known - 1];
            it->known = f[it->known - 1];
        }
        if (it->start > start) {
            continue;
        }
        size_t matched = it->start == start ? it->known : 0;
        matched += common_prefix(data + start + matched, pattern + matched, p.length - matched);
        if (matched == p.length) {
            found.emplace_back(start, start + p.length);
        }
        if (matched == 0) {
            *it = Next{entry.pattern, start + 1, 0};
        } else {
            *it = Next{entry.pattern, start + matched - f[matched - 1], f[matched - 1]};
        }
    }
}

size_t PatternIndex::unfinished_at_end(std::string_view text) const {
    if (patterns_.empty()) {
        return text.size();
    }
    const size_t n = text.size();
    for (size_t t = n - std::min(n, longest_ - 1); t < n; ++t) {
        const std::string_view rest = text.substr(t);
        auto it = std::lower_bound(
            sorted_.begin(), sorted_.end(), rest,
            [this](uint32_t id, std::string_view r) { return text_of(patterns_[id]) < r; });
        // The patterns that start with `rest` follow one another from the first not less than it.
        for (; it != sorted_.end() && text_of(patterns_[*it]).starts_with(rest); ++it) {
            if (patterns_[*it].length > rest.size()) {
                return t;
            }
        }
    }
    return n;
}

size_t PatternIndex::memory_bytes() const {
    return sizeof *this + bytes_.capacity() + patterns_.capacity() * sizeof(Pattern) +
           failure_.capacity() * sizeof(uint32_t) + entries_.capacity() * sizeof(Entry) +
           slots_.capacity() * sizeof(Slot) + filter_.capacity() * sizeof(uint64_t) +
           sorted_.capacity() * sizeof(uint32_t);
}

}  // namespace quorvel::secrets
