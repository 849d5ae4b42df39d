#include "util/secret_search.h"

#include <boost/unordered/unordered_flat_map.hpp>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <numeric>
#include <stdexcept>

#include "util/in_parts.h"

namespace quorvel::secrets {

namespace {

// The bits set in `x`, counted in a few steps: a build for any x86-64 may lack the processor's own
// instruction, and the library call that then stands for `std::popcount` costs more than these.
uint32_t bits_set(uint64_t x) {
    x = x - ((x >> 1) & 0x5555555555555555ULL);
    x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
    x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fULL;
    return static_cast<uint32_t>((x * 0x0101010101010101ULL) >> 56);
}

uint32_t key_at(const char* at) {
    uint32_t key;
    std::memcpy(&key, at, sizeof key);
    return key;
}

uint64_t start_key_at(const char* at) {
    uint64_t key;
    std::memcpy(&key, at, sizeof key);
    return key;
}

unsigned bits_for(size_t count) {
    unsigned bits = 0;
    while ((size_t{1} << bits) < count) {
        ++bits;
    }
    return bits;
}

// The eight bytes of `text` from `d` on, as one number that orders as they do, and how many of
// them the text holds: what `sort_unique` splits texts by.
struct Chunk {
    uint64_t bytes;
    size_t held;
    auto operator<=>(const Chunk&) const = default;
};
Chunk chunk_at(std::string_view text, size_t d) {
    const size_t held = d < text.size() ? std::min<size_t>(8, text.size() - d) : 0;
    uint64_t bytes = 0;
    if (held == 8) {
        std::memcpy(&bytes, text.data() + d, sizeof bytes);
        if constexpr (std::endian::native == std::endian::little) {
            bytes = __builtin_bswap64(bytes);
        }
        return Chunk{bytes, held};
    }
    for (size_t k = 0; k < held; ++k) {
        bytes |= uint64_t{static_cast<unsigned char>(text[d + k])} << (56 - 8 * k);
    }
    return Chunk{bytes, held};
}

// Sorts `texts` by their bytes and drops the repeated ones. Each range is split three ways on the
// eight bytes at one depth (before, equal, after), so a byte that texts share is read about once
// per text that holds it rather than once per comparison: texts that share long starts, each
// other's starts say, cost their length rather than their length times a logarithm.
void sort_unique(std::vector<std::string_view>& texts) {
    struct Range {
        size_t begin;
        size_t end;
        size_t depth;  // the texts of the range share their first `depth` bytes
    };
    constexpr size_t kFewTexts = 12;  // sorted by insertion
    std::vector<Range> todo{{0, texts.size(), 0}};
    while (!todo.empty()) {
        auto [begin, end, d] = todo.back();
        todo.pop_back();
        while (end - begin > 1) {
            if (end - begin < kFewTexts) {
                for (size_t i = begin + 1; i < end; ++i) {
                    for (size_t j = i; j > begin && texts[j].substr(d) < texts[j - 1].substr(d);
                         --j) {
                        std::swap(texts[j], texts[j - 1]);
                    }
                }
                break;
            }
            const Chunk pivot = chunk_at(texts[begin + (end - begin) / 2], d);
            size_t less = begin;
            size_t more = end;
            for (size_t i = begin; i < more;) {
                const Chunk c = chunk_at(texts[i], d);
                if (c < pivot) {
                    std::swap(texts[less++], texts[i++]);
                } else if (pivot < c) {
                    std::swap(texts[i], texts[--more]);
                } else {
                    ++i;
                }
            }
            todo.push_back({begin, less, d});
            todo.push_back({more, end, d});
            if (pivot.held < 8) {
                break;  // the texts that end within these bytes: all the same
            }
            begin = less;
            end = more;
            d += 8;
        }
    }
    texts.erase(std::unique(texts.begin(), texts.end()), texts.end());
}

// How many bytes `a` and `b` start with alike, compared eight at a time.
size_t shared_start(std::string_view a, std::string_view b) {
    const size_t most = std::min(a.size(), b.size());
    size_t same = 0;
    for (uint64_t x, y; same + 8 <= most; same += 8) {
        std::memcpy(&x, a.data() + same, sizeof x);
        std::memcpy(&y, b.data() + same, sizeof y);
        if (x != y) {
            break;
        }
    }
    while (same < most && a[same] == b[same]) {
        ++same;
    }
    return same;
}

constexpr uint32_t kUnset = UINT32_MAX;

}  // namespace

// What the build keeps while it computes the failure links, and drops once they are.
struct PatternIndex::Trie {
    std::vector<uint32_t> start_parent;  // the parent of each start, in order
    // The length of the longest text that ends at a state with an output.
    boost::unordered_flat_map<uint32_t, uint32_t> lengths;
    // A filter of the keys of the states of `kShallowDepth` bytes, probed once per state: each key
    // sets two bits of one word, so that a probe reads one word and a key not filed passes rarely.
    std::vector<uint64_t> four_filter;
    unsigned four_shift = 63;
    const uint64_t* four_word(uint64_t key) const {
        return &four_filter[(key * kFilterHashes[0]) >> four_shift];
    }
    static uint64_t four_mask(uint64_t key) {
        const uint64_t hash = key * kFilterHashes[0];
        return uint64_t{1} << ((hash >> 20) & 63) | uint64_t{1} << ((hash >> 26) & 63);
    }
    void file_four(uint64_t key) {
        four_filter[(key * kFilterHashes[0]) >> four_shift] |= four_mask(key);
    }
    bool four_may_hold(uint64_t key) const {
        return (*four_word(key) & four_mask(key)) == four_mask(key);
    }
};

namespace {

// The last `length` bytes of a text, up to 4, of which `last` holds the last byte lowest.
uint64_t shallow_key(uint32_t last, uint32_t length) {
    const uint32_t mask = length >= 4 ? UINT32_MAX : (uint32_t{1} << (8 * length)) - 1;
    return uint64_t{length} << 32 | (last & mask);
}

}  // namespace

PatternIndex::PatternIndex(const std::vector<std::string_view>& patterns) {
    std::vector<std::string_view> texts;
    texts.reserve(patterns.size());
    for (const std::string_view p : patterns) {
        if (p.size() >= kShortestPattern) {
            texts.push_back(p);
        }
    }
    if (texts.empty()) {
        return;
    }
    sort_unique(texts);
    shortest_ = SIZE_MAX;
    for (const std::string_view text : texts) {
        shortest_ = std::min(shortest_, text.size());
        longest_ = std::max(longest_, text.size());
    }
    build_filter(texts);
    Trie trie = build_trie(texts);
    build_failure_links(trie);
}

void PatternIndex::build_filter(const std::vector<std::string_view>& texts) {
    // Every occurrence of a text of `length` bytes holds a multiple of `step` within its first
    // `step` bytes, at which its four bytes stand wholly inside it: each text is filed under the
    // keys at its first `step` offsets, so that an occurrence a probe finds starts at most
    // `step - 1` bytes before the probe.
    step_ = std::min<size_t>(8, shortest_ - kShortestPattern + 1);
    // Sized for every key filed, distinct or not: counting the distinct ones would cost more than
    // the build of the rest.
    filter_.start(texts.size() * step_, kFilterKeyBits);
    for (const std::string_view text : texts) {
        for (size_t o = 0; o < step_; ++o) {
            filter_.add(key_at(text.data() + o), kFilterHashes);
        }
    }
    // Four bytes that a text holds are common in text of the same kind (letters and digits, or
    // base64), where a large set holds most of them: where every text holds eight, a probe that
    // passes is asked of the eight bytes from each place an occurrence it finds may start, each
    // text filed under its first eight.
    if (shortest_ < kStartKey) {
        return;
    }
    start_filter_.start(texts.size(), kStartKeyBits);
    for (const std::string_view text : texts) {
        start_filter_.add(start_key_at(text.data()), kStartHashes);
    }
}

void PatternIndex::KeyFilter::start(size_t keys, size_t bits_per_key) {
    const unsigned bits = std::max(12U, bits_for(keys * bits_per_key));
    shift_ = 64 - bits;
    words_.assign((size_t{1} << bits) / 64, 0);
}

bool PatternIndex::may_start_near(const char* data, size_t n, size_t i) const {
    if (start_filter_.empty()) {
        return true;
    }
    const size_t last = std::min(i, n - kStartKey);
    for (size_t at = i - std::min(i, step_ - 1); at <= last; ++at) {
        if (start_filter_.passes(start_key_at(data + at), kStartHashes)) {
            return true;
        }
    }
    return false;
}

namespace {

// Files each (key, state) pair, keys non-zero, in an open-addressing table of twice as many slots
// (at least 16), probed from `(key * hash) >> shift`; returns the shift.
unsigned fill_open_table(const std::vector<std::pair<uint64_t, uint32_t>>& pairs, uint64_t hash,
                         std::vector<uint64_t>& keys, std::vector<uint32_t>& states) {
    const unsigned bits = std::max(4U, bits_for(pairs.size() * 2));
    const unsigned shift = 64 - bits;
    keys.assign(size_t{1} << bits, 0);
    states.assign(size_t{1} << bits, 0);
    for (const auto& [key, state] : pairs) {
        size_t at = (key * hash) >> shift;
        while (keys[at] != 0) {
            at = (at + 1) & (keys.size() - 1);
        }
        keys[at] = key;
        states[at] = state;
    }
    return shift;
}

}  // namespace

PatternIndex::Trie PatternIndex::build_trie(const std::vector<std::string_view>& texts) {
    // With the texts sorted, the states a text adds past what it shares with the one before come
    // next in the order of a depth-first walk, and a state's first child is the state after it.
    // Counted first, so that each array is allocated once at its size.
    size_t states = 1;
    std::string_view previous;
    for (const std::string_view text : texts) {
        states += text.size() - shared_start(previous, text);
        previous = text;
    }
    // States are numbered in 32 bits, the last number marking a link not done yet.
    if (states >= kUnset) {
        throw std::length_error("too many states for a pattern index");
    }
    const size_t words = (states + 63) / 64;
    label_.reserve(states);
    blocks_.reserve(words);
    more_.assign(words, 0);
    output_.assign(words, 0);
    root_.assign(256, 0);

    Trie trie;
    // About 32 bits for each text, of which at most one has a state of `kShallowDepth` bytes: a
    // probe of a key of none passes rarely.
    const unsigned four_bits = std::max(12U, bits_for(texts.size() * 32));
    trie.four_shift = 64 - (four_bits - 6);
    trie.four_filter.assign((size_t{1} << four_bits) / 64, 0);
    std::vector<std::pair<uint64_t, uint32_t>> shallow;  // the states of 2 to 4 bytes
    std::vector<std::pair<uint64_t, uint32_t>> more;     // children other than the first
    const auto add_state = [&](uint32_t from, unsigned char c, uint32_t depth) {
        const auto state = static_cast<uint32_t>(label_.size());
        if (state % 64 == 0) {
            blocks_.push_back(Block{0, depth, static_cast<uint32_t>(start_depth_.size())});
        }
        label_.push_back(c);
        // A first child is the state after its parent, which has no other child yet.
        if (from == 0 || from + 1 != state) {
            blocks_.back().starts |= uint64_t{1} << (state % 64);
            start_depth_.push_back(depth);
            trie.start_parent.push_back(from);
            if (from == 0) {
                root_[c] = state;
            } else if (state != 0) {
                more_[from / 64] |= uint64_t{1} << (from % 64);
                more.emplace_back((uint64_t{from} << 8 | c) + 1, state);
            }
        }
        return state;
    };
    // The rest of a text after a state it added, `depth` bytes deep: each the first child of the
    // one before, its bytes copied at once, and a block begun at each multiple of 64.
    const auto add_chain = [&](std::string_view rest, uint32_t depth) {
        const auto first = static_cast<uint32_t>(label_.size());
        const auto rank = static_cast<uint32_t>(start_depth_.size());
        for (size_t state = (first + 63) / 64 * 64; state < first + rest.size(); state += 64) {
            blocks_.push_back(Block{0, static_cast<uint32_t>(depth + 1 + (state - first)), rank});
        }
        const auto* bytes = reinterpret_cast<const uint8_t*>(rest.data());
        label_.insert(label_.end(), bytes, bytes + rest.size());
    };
    add_state(0, 0, 0);  // the root, a start of its own
    std::vector<uint32_t> path{0};
    previous = {};
    for (const std::string_view text : texts) {
        const size_t shared = shared_start(previous, text);
        path.resize(shared + 1);
        uint32_t last = 0;  // the last bytes of the text up to `d`
        for (size_t d = 0; d < std::min<size_t>(shared, kShallowDepth); ++d) {
            last = last << 8 | static_cast<unsigned char>(text[d]);
        }
        // The first state the text adds, which may start a chain, and those of up to
        // `kShallowDepth` bytes, which are filed by their bytes, one at a time.
        const size_t one_by_one =
            std::min(text.size(), std::max<size_t>(shared + 1, kShallowDepth));
        for (size_t d = shared; d < one_by_one; ++d) {
            const auto c = static_cast<unsigned char>(text[d]);
            const auto depth = static_cast<uint32_t>(d + 1);
            path.push_back(add_state(path[d], c, depth));
            last = last << 8 | c;
            if (depth >= 2 && depth <= kShallowDepth) {
                const uint64_t key = shallow_key(last, depth);
                shallow.emplace_back(key, path.back());
                if (depth == kShallowDepth) {
                    trie.file_four(key);
                }
            }
        }
        add_chain(text.substr(one_by_one), static_cast<uint32_t>(one_by_one));
        path.resize(text.size() + 1);
        std::iota(path.begin() + static_cast<ptrdiff_t>(one_by_one) + 1, path.end(),
                  path[one_by_one] + 1);
        const uint32_t end = path.back();
        output_[end / 64] |= uint64_t{1} << (end % 64);
        trie.lengths.emplace(end, static_cast<uint32_t>(text.size()));
        previous = text;
    }

    more_shift_ = fill_open_table(more, kMoreHash, more_keys_, more_children_);
    shallow_shift_ = fill_open_table(shallow, kMoreHash, shallow_keys_, shallow_states_);
    return trie;
}

// Both run for nearly every state of the build: inlined.
inline uint32_t PatternIndex::shallow_end(const Trie& trie, uint32_t last, uint32_t depth) const {
    if (depth <= kShallowDepth) {
        return 0;
    }
    const uint64_t key = shallow_key(last, kShallowDepth);
    return trie.four_may_hold(key) ? shallow_state(key) : 0;
}

inline void PatternIndex::prefetch_shallow_end(const Trie& trie, uint32_t x, uint32_t end) const {
    // The probe of a state a few ahead is started from its last labels: along a chain, its last
    // bytes.
    constexpr uint32_t kProbeAhead = 16;
    static_assert(kProbeAhead >= kShallowDepth);
    if (x + kProbeAhead < end) {
        uint32_t ahead_last;
        std::memcpy(&ahead_last, label_.data() + x + kProbeAhead - 3, sizeof ahead_last);
        if constexpr (std::endian::native == std::endian::little) {
            ahead_last = __builtin_bswap32(ahead_last);
        }
        __builtin_prefetch(trie.four_word(shallow_key(ahead_last, kShallowDepth)));
    }
}

void PatternIndex::build_failure_links(Trie& trie) {
    // The failure link of a state: the longest proper suffix of its text that is a state too. The
    // links less than `kShallowDepth` bytes deep are kept as 0: the search finds them again from
    // the last bytes it read, and the build needs none of them. The states are taken in their
    // order, which walks each chain byte by byte. Where the link of a state's parent is less than
    // `kShallowDepth` bytes deep, which is most of a chain of random bytes, the state's own link
    // is at most `kShallowDepth` deep, and it is kept only when it is that deep: a probe of the
    // state's last bytes in a small filter says so, nearly always that it is not (for a large set,
    // made for every state beforehand, on a few threads). Otherwise the link follows the links
    // from its parent's (mostly to the state after it, along another chain); a link that needs a
    // state not done yet (one later in the order, always of a shorter text) does that one first,
    // on a stack, which never holds more states than the longest text has bytes. Each state is
    // done once, and the links its walk follows telescope along each text: linear in the texts'
    // length.
    const size_t states = label_.size();
    const size_t words = (states + 63) / 64;
    linked_.assign(words, 0);
    link_runs_.assign(words, 0);
    link_rank_.assign(words, 0);
    // The links are kept in the order of their states, as the walk below comes to them
    // (`keep_link`): the states before `cursor` are done and kept. A link that the walk needs
    // ahead of that order is marked done in `early`, and held in `ahead` until the walk comes to
    // it where it is at least `kShallowDepth` deep, which few of them are.
    std::vector<uint64_t> early(words, 0);
    std::vector<uint64_t> early_deep(words, 0);  // those held in `ahead`
    boost::unordered_flat_map<uint32_t, Link> ahead;
    uint32_t cursor = 1;
    Link cursor_link;
    bool cursor_done = false;
    const auto done = [&](uint32_t state) {
        return state < cursor || bit(early, state) || (state == cursor && cursor_done);
    };
    uint32_t kept_before = 0;  // the link kept for the state before the cursor
    const auto keep_link = [&](uint32_t state, uint32_t to) {
        const size_t word = state / 64;
        if (state % 64 == 0) {
            link_rank_[word] = static_cast<uint32_t>(run_links_.size());
        }
        if (to != 0) {
            linked_[word] |= uint64_t{1} << (state % 64);
            if (state % 64 == 0 || kept_before == 0 || kept_before + 1 != to) {
                link_runs_[word] |= uint64_t{1} << (state % 64);
                run_links_.push_back(to);
            }
        }
        kept_before = to;
    };
    const auto parent = [&](uint32_t state) { return parent_in(trie, state); };
    const auto last_bytes = [&](uint32_t state) { return last_bytes_in(trie, state); };
    // A link less than `kShallowDepth` deep: a text shorter than any indexed one, so with no
    // output, and the links that follow from it are no deeper than `kShallowDepth`.
    static_assert(kShallowDepth <= kShortestPattern);
    constexpr Link kShallow{0, 0};
    // The states whose link, where it is no deeper than `kShallowDepth`, is that deep: found
    // beforehand for a large set, else probed here as the states come.
    const std::vector<uint64_t> ending_in_shallow = ending_in_shallow_states(trie);
    const bool probed_before = !ending_in_shallow.empty();
    if (probed_before) {
        decltype(trie.four_filter)().swap(trie.four_filter);
    }
    // The link of `state`, of `depth` bytes ending in `last`, when it is no deeper than
    // `kShallowDepth`: the state of its last `kShallowDepth` bytes, if there is one.
    const auto shallow_of = [&](uint32_t state, uint32_t last, uint32_t depth) {
        if (!probed_before) {
            const uint32_t to = shallow_end(trie, last, depth);
            return to != 0 ? Link{to, kShallowDepth} : kShallow;
        }
        return bit(ending_in_shallow, state)
                   ? Link{shallow_state(shallow_key(last, kShallowDepth)), kShallowDepth}
                   : kShallow;
    };
    // The links done last, by state: what the states after them, mostly their children, read
    // next, without looking up a link's depth far away in the trie.
    struct Done {
        uint32_t state = kUnset;
        Link link;
    };
    std::array<Done, 1024> recent{};
    const auto link_of = [&](uint32_t state) {
        if (const Done& done = recent[state % recent.size()]; done.state == state) {
            return done.link;
        }
        if (state == cursor) {
            return cursor_link;
        }
        if (state > cursor) {
            const auto it = ahead.find(state);
            return it == ahead.end() ? kShallow : it->second;
        }
        const uint32_t to = link(state);
        return to == 0 ? kShallow : Link{to, depth(to)};
    };
    // A state whose link ends an indexed text ends it too (rare: kept out of `settle`, which runs
    // for every state).
    const auto inherit_output = [&](uint32_t state, uint32_t link) {
        output_[state / 64] |= uint64_t{1} << (state % 64);
        trie.lengths.emplace(state, trie.lengths.at(link));
    };
    // Inlined: it runs for every state, and a call would pass the link through memory.
    const auto settle = [&](uint32_t state, Link link) __attribute__((always_inline)) {
        if (link.depth < kShallowDepth) {
            link = kShallow;
        }
        if (state == cursor) {
            cursor_link = link;
            cursor_done = true;
        } else {
            early[state / 64] |= uint64_t{1} << (state % 64);
            if (link.state != 0) {
                early_deep[state / 64] |= uint64_t{1} << (state % 64);
                ahead.emplace(state, link);
            }
        }
        recent[state % recent.size()] = Done{state, link};
        // A link shorter than every indexed text ends none, which is most of them: its output is
        // not read, from far away in memory.
        if (link.depth >= shortest_ && bit(output_, link.state) && !bit(output_, state)) {
            inherit_output(state, link.state);
        }
    };
    // Walks the links from `from`, the link of the parent of a state reached by `c`. Stops at
    // the state's link; where the walk needs a state not done yet (`needs`), to go on from `from`
    // once it is; or where the links are less than `kShallowDepth` deep (`shallow`), the state's
    // own then found from its last bytes.
    struct Walk {
        Link link;
        Link from;
        uint32_t needs;
        bool shallow;
    };
    const auto walk = [&](Link from, unsigned char c) {
        while (from.depth >= kShallowDepth) {
            if (const uint32_t to = child(from.state, c); to != 0) {
                // Its output is read, so it is done first.
                if (!done(to)) {
                    return Walk{kShallow, from, to, false};
                }
                return Walk{Link{to, from.depth + 1}, from, kUnset, false};
            }
            if (!done(from.state)) {
                return Walk{kShallow, from, from.state, false};
            }
            from = link_of(from.state);
        }
        return Walk{kShallow, from, kUnset, true};
    };
    struct Pending {
        uint32_t state;
        Link from;  // where its walk stands along its parent's failure links
        bool started;
    };
    std::vector<Pending> pending;
    // Does `state` and, first, whatever its link needs; returns its link.
    const auto settle_deep = [&](uint32_t state) {
        Link result = kShallow;
        pending.push_back({state, kShallow, false});
        while (!pending.empty()) {
            const Pending top = pending.back();
            const uint32_t x = top.state;
            if (done(x)) {
                pending.pop_back();
                continue;
            }
            const uint32_t p = parent(x);
            if (p == 0) {
                settle(x, kShallow);
                pending.pop_back();
                continue;
            }
            Link from = top.from;
            if (!top.started) {
                if (!done(p)) {
                    pending.push_back({p, kShallow, false});
                    continue;
                }
                from = link_of(p);
            }
            const Walk w = walk(from, label_[x]);
            if (w.needs != kUnset) {
                pending.back().from = w.from;
                pending.back().started = true;
                pending.push_back({w.needs, kShallow, false});
                continue;
            }
            const Link link = w.shallow ? shallow_of(x, last_bytes(x), depth(x)) : w.link;
            settle(x, link);
            pending.pop_back();
            if (x == state) {
                result = link;
            }
        }
        return result;
    };

    Link before = kShallow;  // the link of the state before
    uint32_t last = 0;       // the last bytes of the text of the state before
    uint32_t depth_x = 0;    // the depth of the state before, then of this one
    size_t start = 1;        // the next start after the root
    keep_link(0, 0);
    for (uint32_t x = 1; x < states; ++x) {
        if (!probed_before) {
            prefetch_shallow_end(trie, x, states);
        }
        Link from = before;  // the parent's link
        uint32_t parent_last = last;
        uint32_t p = x - 1;
        if (is_start(x)) {
            p = trie.start_parent[start];
            depth_x = start_depth_[start] - 1;
            ++start;
            parent_last = p == 0 ? 0 : last_bytes(p);
            from = p == 0 ? kShallow : link_of(p);
        }
        ++depth_x;
        const unsigned char c = label_[x];
        last = parent_last << 8 | c;
        if (bit(early, x)) {
            before = kShallow;
            if (bit(early_deep, x)) {
                const auto it = ahead.find(x);
                before = it->second;
                ahead.erase(it);
            }
        } else if (p == 0) {
            before = kShallow;
            settle(x, before);
        } else if (from.depth < kShallowDepth) {
            before = shallow_of(x, last, depth_x);
            settle(x, before);
        } else if (has_first_child(from.state) && label_[from.state + 1] == c &&
                   (done(from.state + 1) || link_of(from.state).depth < kShallowDepth)) {
            // The link is the state after the parent's, as along a password within its user
            // information. Where that one is not done yet, as when the password's own chain comes
            // later, its link follows from the same last bytes, the parent's being shallow.
            before = Link{from.state + 1, from.depth + 1};
            if (!done(before.state)) {
                settle(before.state, shallow_of(before.state, last, before.depth));
            }
            settle(x, before);
        } else if (const Walk w = walk(from, c); w.needs == kUnset) {
            before = w.shallow ? shallow_of(x, last, depth_x) : w.link;
            settle(x, before);
        } else {
            before = settle_deep(x);
        }
        keep_link(x, before.state);
        cursor = x + 1;
        cursor_done = false;
    }
    decltype(early)().swap(early);
    decltype(early_deep)().swap(early_deep);
    // More than a run for every four states (a set whose links are short and many) costs about
    // as much as a link per state, and a slower search: it keeps those instead.
    if (run_links_.size() * 4 > states) {
        std::vector<uint32_t> links(states);
        for (uint32_t state = 0; state < states; ++state) {
            links[state] = link(state);
        }
        links_ = std::move(links);
        decltype(linked_)().swap(linked_);
        decltype(link_runs_)().swap(link_runs_);
        decltype(link_rank_)().swap(link_rank_);
        decltype(run_links_)().swap(run_links_);
    }

    outputs_.assign(trie.lengths.begin(), trie.lengths.end());
    std::sort(outputs_.begin(), outputs_.end());
    // A plain state has its first child alone and no output.
    plain_.assign(output_.size(), 0);
    for (size_t w = 0; w < plain_.size(); ++w) {
        uint64_t next_starts = blocks_[w].starts >> 1;
        if (w + 1 < blocks_.size()) {
            next_starts |= blocks_[w + 1].starts << 63;
        } else {
            next_starts |= ~uint64_t{0} << ((states - 1) % 64);  // the last state has no child
        }
        plain_[w] = ~next_starts & ~more_[w] & ~output_[w];
    }
}

uint32_t PatternIndex::parent_in(const Trie& trie, uint32_t state) const {
    return is_start(state) ? trie.start_parent[start_rank(state)] : state - 1;
}

uint32_t PatternIndex::last_bytes_in(const Trie& trie, uint32_t state) const {
    uint32_t last = 0;
    for (unsigned shift = 0; shift < 32 && state != 0; shift += 8, state = parent_in(trie, state)) {
        last |= uint32_t{label_[state]} << shift;
    }
    return last;
}

std::vector<uint64_t> PatternIndex::ending_in_shallow_states(const Trie& trie) const {
    // Each state's last bytes are probed in the filter of the states of `kShallowDepth` bytes,
    // at a place they choose: for a large set, memory that is rarely at hand. The states are
    // taken in stretches of whole words of the bits, on threads of their own, and in each, the
    // probe of a state a few ahead is started early, from its last labels (along a chain, its
    // last bytes).
    const size_t states = label_.size();
    const size_t parts = parts_for(states, kStatesForThreads, kMostThreads);
    if (parts == 1) {
        return {};
    }
    const size_t words = (states + 63) / 64;
    std::vector<uint64_t> bits(words, 0);
    run_in_parts(parts, [&](size_t k) noexcept {
        const auto begin = static_cast<uint32_t>(std::max<size_t>(1, words * k / parts * 64));
        const auto end = static_cast<uint32_t>(std::min(states, words * (k + 1) / parts * 64));
        if (begin >= end) {
            return;
        }
        uint32_t last = last_bytes_in(trie, begin);
        uint32_t depth_x = depth(begin);
        size_t start = start_rank(begin) + (is_start(begin) ? 1 : 0);  // the next start
        for (uint32_t x = begin;;) {
            prefetch_shallow_end(trie, x, end);
            if (shallow_end(trie, last, depth_x) != 0) {
                bits[x / 64] |= uint64_t{1} << (x % 64);
            }
            if (++x == end) {
                break;
            }
            if (is_start(x)) {
                const uint32_t p = trie.start_parent[start];
                depth_x = start_depth_[start];
                ++start;
                last = (p == 0 ? 0 : last_bytes_in(trie, p)) << 8 | label_[x];
            } else {
                last = last << 8 | label_[x];
                ++depth_x;
            }
        }
    });
    return bits;
}

uint32_t PatternIndex::start_rank(uint32_t state) const {
    const Block& block = blocks_[state >> kBlockBits];
    const uint64_t before = block.starts & ((uint64_t{1} << (state & 63)) - 1);
    return block.rank + bits_set(before);
}

uint32_t PatternIndex::depth(uint32_t state) const {
    const Block& block = blocks_[state >> kBlockBits];
    const unsigned offset = state & 63;
    const uint64_t up_to = block.starts & (~uint64_t{0} >> (63 - offset));
    if (up_to == 0) {
        return block.depth + offset;
    }
    const auto last_start = static_cast<unsigned>(63 - std::countl_zero(up_to));
    return start_depth_[block.rank + bits_set(up_to) - 1] + (offset - last_start);
}

unsigned PatternIndex::plain_run(uint32_t state) const {
    const size_t word = state >> kBlockBits;
    const unsigned offset = state & 63;
    uint64_t bits = plain_[word] >> offset;
    if (offset != 0 && word + 1 < plain_.size()) {
        bits |= plain_[word + 1] << (64 - offset);
    }
    return static_cast<unsigned>(std::countr_one(bits));
}

uint32_t PatternIndex::child(uint32_t state, unsigned char c) const {
    if (state == 0) {
        return root_[c];
    }
    if (has_first_child(state) && label_[state + 1] == c) {
        return state + 1;
    }
    if (!bit(more_, state)) {
        return 0;
    }
    const uint64_t key = (uint64_t{state} << 8 | c) + 1;
    for (size_t at = (key * kMoreHash) >> more_shift_;; at = (at + 1) & (more_keys_.size() - 1)) {
        if (more_keys_[at] == key) {
            return more_children_[at];
        }
        if (more_keys_[at] == 0) {
            return 0;
        }
    }
}

uint32_t PatternIndex::run_link(uint32_t state) const {
    const size_t word = state >> kBlockBits;
    const unsigned offset = state & 63;
    if (((linked_[word] >> offset) & 1) == 0) {
        return 0;
    }
    // The first state of its block with a link starts a run, so the run it stands in starts in
    // this block.
    const uint64_t up_to = link_runs_[word] & (~uint64_t{0} >> (63 - offset));
    const auto run_start = static_cast<unsigned>(63 - std::countl_zero(up_to));
    return run_links_[link_rank_[word] + bits_set(up_to) - 1] + (offset - run_start);
}

uint32_t PatternIndex::shallow_state(uint64_t key) const {
    for (size_t at = (key * kMoreHash) >> shallow_shift_;;
         at = (at + 1) & (shallow_keys_.size() - 1)) {
        if (shallow_keys_[at] == key) {
            return shallow_states_[at];
        }
        if (shallow_keys_[at] == 0) {
            return 0;
        }
    }
}

uint32_t PatternIndex::next(uint32_t state, uint32_t depth, unsigned char c,
                            const char* end) const {
    for (;;) {
        if (const uint32_t to = child(state, c); to != 0 || state == 0) {
            return to;
        }
        const uint32_t to = link(state);
        if (to == 0) {
            break;
        }
        state = to;
        depth = this->depth(state);
    }
    // The state's link, not kept, is less than `kShallowDepth` bytes deep: the state after it is
    // the longest of the last bytes read and `c` that is a state, at most `kShallowDepth` of them.
    const uint32_t before = std::min(depth - 1, kShallowDepth - 1);
    uint32_t last = c;
    for (uint32_t k = 1; k <= before; ++k) {
        last |= uint32_t{static_cast<unsigned char>(end[-static_cast<ptrdiff_t>(k)])} << (8 * k);
    }
    for (uint32_t length = before + 1; length >= 2; --length) {
        if (const uint32_t to = shallow_state(shallow_key(last, length)); to != 0) {
            return to;
        }
    }
    return root_[c];
}

uint32_t PatternIndex::output_of(uint32_t state) const {
    const auto it =
        std::lower_bound(outputs_.begin(), outputs_.end(), std::pair<uint32_t, uint32_t>{state, 0});
    return it->second;
}

void PatternIndex::find(std::string_view text,
                        std::vector<std::pair<size_t, size_t>>& found) const {
    const size_t n = text.size();
    if (empty() || n < shortest_) {
        return;
    }
    const size_t first_found = found.size();
    const auto record = [&](size_t begin, size_t end) {
        while (found.size() > first_found && begin < found.back().second) {
            begin = std::min(begin, found.back().first);
            end = std::max(end, found.back().second);
            found.pop_back();
        }
        found.emplace_back(begin, end);
    };
    const char* const data = text.data();
    size_t read = 0;  // the automaton has read the text up to here
    uint32_t state = 0;
    uint32_t depth_now = 0;  // the state's depth, looked up only after a failure link
    // Held apart from the members, as `KeyFilter::View` says.
    const KeyFilter::View filter = filter_.view();
    const size_t step = step_;
    // A probe finds occurrences that start at most `step - 1` bytes before it: those after the
    // last from which the shortest text may still end in the text find none.
    for (size_t i = 0; i + shortest_ < n + step; i += step) {
        // The probes that no key passes, which are nearly all of them, cost no more than this:
        // the first hash's bit turns most away.
        const uint32_t key = key_at(data + i);
        if (!filter.holds(key, kFilterHashes[0]) || !filter_.passes(key, kFilterHashes)) {
            continue;
        }
        if (!may_start_near(data, n, i)) {
            continue;
        }
        // An occurrence that this probe finds starts no earlier than `step_ - 1` bytes before it.
        if (const size_t begin = i - std::min(i, step_ - 1); begin > read) {
            read = begin;
            state = 0;
            depth_now = 0;
        }
        // The automaton reads on while what it has read may still be the start of an occurrence
        // that starts at the probe or before: while its state's text starts there.
        while (read < n && read - depth_now <= i) {
            // Along a chain of plain states, which is most of a long secret, the text is compared
            // with the chain's labels as they stand, eight bytes at a step.
            size_t run = 0;
            while (bit(plain_, state + run)) {
                const size_t plain = plain_run(static_cast<uint32_t>(state + run));
                const size_t limit = std::min(plain, n - read - run);
                const uint8_t* const label = label_.data() + state + run + 1;
                const char* const at = data + read + run;
                size_t same = 0;
                for (uint64_t l, t; same + 8 <= limit; same += 8) {
                    std::memcpy(&l, label + same, sizeof l);
                    std::memcpy(&t, at + same, sizeof t);
                    if (l != t) {
                        break;
                    }
                }
                while (same < limit && label[same] == static_cast<unsigned char>(at[same])) {
                    ++same;
                }
                run += same;
                if (same < 64) {
                    break;
                }
            }
            if (run > 0) {
                state += static_cast<uint32_t>(run);
                depth_now += static_cast<uint32_t>(run);
                read += run;
            } else {
                const auto c = static_cast<unsigned char>(data[read]);
                if (const uint32_t to = child(state, c); to != 0) {
                    state = to;
                    ++depth_now;
                } else {
                    state = next(state, depth_now, c, data + read);
                    depth_now = depth(state);
                }
                ++read;
            }
            if (bit(output_, state)) {
                record(read - output_of(state), read);
            }
        }
    }
}

size_t PatternIndex::unfinished_at_end(std::string_view text) const {
    const size_t n = text.size();
    if (empty()) {
        return n;
    }
    for (size_t t = n - std::min(n, longest_ - 1); t < n; ++t) {
        uint32_t state = 0;
        size_t j = t;
        for (; j < n; ++j) {
            state = child(state, static_cast<unsigned char>(text[j]));
            if (state == 0) {
                break;
            }
        }
        if (j == n && (has_first_child(state) || bit(more_, state))) {
            return t;
        }
    }
    return n;
}

size_t PatternIndex::memory_bytes() const {
    const auto bytes = [](const auto& v) { return v.capacity() * sizeof v[0]; };
    return sizeof *this + filter_.memory_bytes() + start_filter_.memory_bytes() + bytes(root_) +
           bytes(label_) + bytes(blocks_) + bytes(start_depth_) + bytes(more_) + bytes(output_) +
           bytes(plain_) + bytes(linked_) + bytes(link_runs_) + bytes(link_rank_) +
           bytes(run_links_) + bytes(links_) + bytes(shallow_keys_) + bytes(shallow_states_) +
           bytes(more_keys_) + bytes(more_children_) + bytes(outputs_);
}

}  // namespace quorvel::secrets
