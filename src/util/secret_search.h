// Finding many known texts at once inside any text: the engine behind the agent's known secrets
// (`secrets.h`). Two views of a text are searched: the text as it stands, and its canonical view
// (`canonical_view.h`). A known text is indexed by its own forms and by its canonical form, so a
// form an encoder wrote is found in the canonical view, while the plain view finds a form standing
// where the canonical reading of its neighbours would have taken a piece of it (a secret starting
// with "n" behind a backslash).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/canonical_view.h"

namespace quorvel::secrets {

// The shortest text the index finds: its probes read four bytes.
inline constexpr size_t kShortestPattern = 4;

// A set of texts, each at least `kShortestPattern` bytes, indexed for a search whose cost per byte
// of the text searched is bounded whatever the texts are: their number, their length, or how much
// they share. Two parts:
// - A filter probes the text every `step` bytes (up to 8, fewer when a text is shorter than 11
//   bytes) with four of its bytes: each text is filed under the four bytes at each of its first
//   `step` offsets, so that every occurrence starts with a probe that passes. Nearly all probes
//   of ordinary text pass no key, and cost a load and a shift.
// - An automaton over every text (a trie with failure links) reads on from a probe that passed:
//   from as far back as an occurrence starting there may start, for as long as what it has read
//   may still be such an occurrence. Each byte of the text is read by it at most once, carrying on
//   where the last reading ended when they meet, and each byte read costs a bounded number of
//   steps on average.
// The build takes time about linear in the texts' total length, their sort and the automaton's
// failure links included, and keeps about two bytes per state of the trie: its label, a few bits,
// and the failure links that are deep enough to keep, once per run of them.
// Immutable once built; any number of threads may search it.
class PatternIndex {
  public:
    explicit PatternIndex(const std::vector<std::string_view>& patterns);

    // Appends the stretches [begin, end) of `text` that occurrences of indexed texts cover, in
    // order, occurrences that overlap joined into one: two side by side stay two.
    void find(std::string_view text, std::vector<std::pair<size_t, size_t>>& found) const;

    // The earliest position from which the rest of `text` is the start of an indexed text (its
    // whole being longer than that rest); `text.size()` when there is none. It walks the trie from
    // each position of the last `longest() - 1` bytes, so it is meant for short texts.
    size_t unfinished_at_end(std::string_view text) const;

    bool empty() const { return longest_ == 0; }
    size_t longest() const { return longest_; }
    // The bytes the index holds, for the memory a known secret costs.
    size_t memory_bytes() const;

  private:
    // The automaton's states are numbered in the order of a depth-first walk of the trie, so that
    // the first child of a state, where it has one, is the next state. A chain of single children,
    // which is most of a set of secrets, so costs its bytes, its failure links and a few bits per
    // state: a state's depth and whether it has its first child are read from where the chain it
    // stands in starts (`Block`), and the rest are bits.
    struct Block {        // 64 states, from a multiple of 64
        uint64_t starts;  // the states that are no first child of the one before them
        uint32_t depth;   // of the block's first state
        uint32_t rank;    // the starts in the blocks before: where `start_depth_` goes on
    };
    static constexpr unsigned kBlockBits = 6;

    static bool bit(const std::vector<uint64_t>& bits, size_t state) {
        return ((bits[state >> kBlockBits] >> (state & 63)) & 1) != 0;
    }
    bool is_start(size_t state) const {
        return ((blocks_[state >> kBlockBits].starts >> (state & 63)) & 1) != 0;
    }
    bool has_first_child(uint32_t state) const {
        return state + 1 < label_.size() && !is_start(state + 1);
    }
    // The length of the state's text, in full.
    uint32_t depth(uint32_t state) const;
    // The number of starts before `state`.
    uint32_t start_rank(uint32_t state) const;
    // How many of the states from `state` on have their first child alone and no output: the
    // states along which a search compares the text with the labels as they stand (at most 64).
    unsigned plain_run(uint32_t state) const;

    uint32_t child(uint32_t state, unsigned char c) const;
    // The state's failure link where it is at least `kShallowDepth` bytes deep; 0 where less.
    uint32_t link(uint32_t state) const { return links_.empty() ? run_link(state) : links_[state]; }
    // The same, read from the runs of links.
    uint32_t run_link(uint32_t state) const;
    // The state after reading `c` in `state`, whose text ends at `end` (where `c` stands) in the
    // text searched and is `depth` bytes long. The failure links less than `kShallowDepth` bytes
    // deep are not kept: the state they lead to is found from the last bytes read, in
    // `shallow_states_`.
    uint32_t next(uint32_t state, uint32_t depth, unsigned char c, const char* end) const;
    // A failure link less deep than this is not kept: it is found again from the last bytes of a
    // text alone.
    static constexpr uint32_t kShallowDepth = 4;
    // A failure link, with its depth.
    struct Link {
        uint32_t state;
        uint32_t depth;
    };
    // The state of the last `length` bytes of a text, by `shallow_key`; 0 when there is none.
    uint32_t shallow_state(uint64_t key) const;
    // The length of the longest indexed text that ends at `state`, which has an output.
    uint32_t output_of(uint32_t state) const;
    // Keys filed at a bit for each of a few hashes: a key not filed passes rarely.
    class KeyFilter {
      public:
        // What a search reads the filter with, held apart from it: a store of the search might
        // change the filter's members as far as the compiler knows, and they would be loaded
        // again at each probe.
        struct View {
            const uint64_t* words;
            unsigned shift;
            bool holds(uint64_t key, uint64_t hash) const {
                const size_t bit = (key * hash) >> shift;
                return ((words[bit / 64] >> (bit % 64)) & 1) != 0;
            }
        };
        // Empties the filter, sized for `keys` keys at `bits_per_key` bits each.
        void start(size_t keys, size_t bits_per_key);
        void add(uint64_t key, std::span<const uint64_t> hashes) {
            for (const uint64_t hash : hashes) {
                const size_t bit = (key * hash) >> shift_;
                words_[bit / 64] |= uint64_t{1} << (bit % 64);
            }
        }
        bool passes(uint64_t key, std::span<const uint64_t> hashes) const {
            const View view = this->view();
            return std::all_of(hashes.begin(), hashes.end(),
                               [&](uint64_t hash) { return view.holds(key, hash); });
        }
        View view() const { return {words_.data(), shift_}; }
        bool empty() const { return words_.empty(); }
        size_t memory_bytes() const { return words_.capacity() * sizeof words_[0]; }

      private:
        std::vector<uint64_t> words_;
        unsigned shift_ = 63;
    };

    // The bits a key sets in the filter, of three hashes: a probe of a key not filed passes far
    // more rarely than with one bit of a filter of the same size, and the first bit alone turns
    // most of them away.
    static constexpr uint64_t kFilterHashes[] = {0xc2b2ae3d27d4eb4fULL, 0x165667b19e3779f9ULL,
                                                 0x27d4eb2f165667c5ULL};
    static constexpr uint64_t kMoreHash = 0x9e3779b97f4a7c15ULL;
    // The first eight bytes of each text, filed at two bits each, where every text holds them:
    // asked of each place an occurrence that a probe which passed finds may start.
    static constexpr size_t kStartKey = 8;
    static constexpr size_t kStartKeyBits = 32;
    static constexpr size_t kFilterKeyBits = 16;
    static constexpr uint64_t kStartHashes[] = {0xd6e8feb86659fd93ULL, 0xa0761d6478bd642fULL};
    // Whether an indexed text may start at one of the places at most `step_ - 1` bytes before `i`
    // in the text of `n` bytes at `data` where eight bytes stand.
    bool may_start_near(const char* data, size_t n, size_t i) const;

    // The phases of the build (see the constructor).
    void build_filter(const std::vector<std::string_view>& texts);
    struct Trie;
    Trie build_trie(const std::vector<std::string_view>& texts);
    void build_failure_links(Trie& trie);
    // What the build reads of the trie: a state's parent, and the last bytes of its text, the last
    // lowest.
    uint32_t parent_in(const Trie& trie, uint32_t state) const;
    uint32_t last_bytes_in(const Trie& trie, uint32_t state) const;
    // The state of the last `kShallowDepth` bytes, `last`, of a text of `depth` bytes, where the
    // text is longer than that and there is one; else 0. The probe of state `x + 16`, below
    // `end`, is started ahead of it.
    uint32_t shallow_end(const Trie& trie, uint32_t last, uint32_t depth) const;
    void prefetch_shallow_end(const Trie& trie, uint32_t x, uint32_t end) const;
    // For a set of `kStatesForThreads` states or more, a bit for each state whose `shallow_end`
    // is a state: where its link is no deeper than `kShallowDepth`, it leads there. For a smaller
    // set, nothing: the build probes each state as it comes to it.
    std::vector<uint64_t> ending_in_shallow_states(const Trie& trie) const;
    // A set of this many states or more has them probed on a few threads.
    static constexpr size_t kStatesForThreads = size_t{1} << 20;
    static constexpr size_t kMostThreads = 4;

    KeyFilter filter_;
    KeyFilter start_filter_;  // empty where some text is shorter than `kStartKey`
    size_t step_ = 1;
    size_t shortest_ = 0;
    size_t longest_ = 0;

    std::vector<uint32_t> root_;  // the root's child for each byte; 0 for none
    std::vector<uint8_t> label_;  // the byte that leads into each state
    std::vector<Block> blocks_;
    std::vector<uint32_t> start_depth_;  // the depth of each start, in order
    std::vector<uint64_t> more_;         // a bit per state: children other than the first
    std::vector<uint64_t> output_;       // a bit per state: an indexed text ends there
    std::vector<uint64_t> plain_;        // a bit per state: see `plain_run`
    // The failure links at least `kShallowDepth` bytes deep. Most come in runs that lead along a
    // chain as their own states do (the states of a password within its user information lead to
    // the password's own), so a link is kept once per run: a bit per state says which have one,
    // another which start a run (or are the first with one in their block of 64), and a run's
    // later states lead to the states after its first one's link.
    std::vector<uint64_t> linked_;
    std::vector<uint64_t> link_runs_;
    std::vector<uint32_t> link_rank_;  // for each block of 64 states, the runs before it
    std::vector<uint32_t> run_links_;  // the link of each run's first state
    // Each state's link, 0 where it is less than `kShallowDepth` deep, kept whole instead where
    // the runs are short (sets that share nearly every piece): one load on the search's failure
    // path rather than four, for a set whose links cost little memory either way.
    std::vector<uint32_t> links_;
    // The states of 2 to `kShallowDepth` bytes, by `shallow_key`, in open addressing.
    std::vector<uint64_t> shallow_keys_;
    std::vector<uint32_t> shallow_states_;
    unsigned shallow_shift_ = 63;
    // Children other than the first, by (state << 8 | byte) + 1, in open addressing.
    std::vector<uint64_t> more_keys_;
    std::vector<uint32_t> more_children_;
    unsigned more_shift_ = 63;
    // The states with an output, in order, each with its text's length.
    std::vector<std::pair<uint32_t, uint32_t>> outputs_;
};

}  // namespace quorvel::secrets
