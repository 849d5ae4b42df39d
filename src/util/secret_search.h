// Finding many known texts at once inside any text, in whatever form an encoder wrote them: the
// engine behind the agent's known secrets (`secrets.h`).
//
// Two views of a text are searched. The text as it stands, and its canonical view, in which one
// pass reads back what encoders write: percent-escapes in either case of hex, "+" for a blank,
// backslash escapes of JSON and of the debug form (`\"`, `\\`, `\/`, `\n`, `\u00e9`, `\u{e9}`,
// `\x{ff}`, surrogate pairs), escaped any number of times over, and U+FFFD for bytes that are not
// UTF-8. A known text is indexed by its own forms and by its canonical form, so a form an encoder
// wrote is found in the canonical view, while the plain view finds a form standing where the
// canonical reading of its neighbours would have taken a piece of it (a secret starting with "n"
// behind a backslash).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvel::secrets {

// The shortest text the index finds: its probes read four bytes.
inline constexpr size_t kShortestPattern = 4;

// What stands for any run of bytes that are not UTF-8 and of U+FFFD in the canonical view: a byte
// that UTF-8 never holds.
inline constexpr char kReplacement = static_cast<char>(0xff);

// A text read back to its canonical form, each of its bytes with the stretch of the text it came
// from: `bytes[i]` stands for the text's bytes `from[i]` up to `to[i]`.
struct CanonicalView {
    std::string bytes;
    std::vector<uint32_t> from;
    std::vector<uint32_t> to;
};

// How many bytes of a text one canonical byte may stand for, at most: an escape of up to nine
// characters behind up to eight backslashes, each of them percent-encoded. A replacement for a run
// of bytes that are not UTF-8 is the one exception: it stands for the whole run.
inline constexpr size_t kLongestCanonicalReach = 64;

// The canonical form of `text`:
// - "%" and two hex digits, in either case, is the byte they name;
// - a run of backslashes (escaped any number of times over) and what follows it reads as the
//   escape: "u" and four hex digits (a surrogate pair joined), "u{...}" and "x{..}" as the debug
//   form writes them, "n", "r", "t", "0", "b", "f" as the control characters, and any other
//   character as itself, so `\"`, `\\` and `\/` read as `"`, nothing and `/`;
// - "+" reads as a blank;
// - a run of bytes that are not UTF-8, and U+FFFD, reads as one `kReplacement`, however long, so
//   that a decoder that replaced each byte and one that replaced the run read alike, and so does
//   the run escaped as the log shows it.
std::string canonical(std::string_view text);
CanonicalView canonical_view(std::string_view text);
// Whether the canonical form of `text` may differ from it: false for most texts, which then need
// only one view searched.
bool may_differ_from_canonical(std::string_view text);

// A set of texts, each at least `kShortestPattern` bytes, indexed for a search that costs about
// the same per byte of the text searched whatever their number and length. The text is probed
// every `step` bytes (up to 8, fewer when a text is shorter than 11 bytes) with four of its
// bytes: each indexed text is filed under the four bytes at each of `step` consecutive offsets
// of its own, chosen where they are rarest among the texts filed before, so a probe meets few
// candidates. A candidate is checked with the text's failure function (one left-to-right reading
// whatever the text repeats), so a long text that repeats itself costs no more than its length.
// Immutable once built; any number of threads may search it.
class PatternIndex {
  public:
    explicit PatternIndex(const std::vector<std::string_view>& patterns);

    // Appends [begin, end) for every occurrence of every indexed text in `text`.
    void find(std::string_view text, std::vector<std::pair<size_t, size_t>>& found) const;

    // The earliest position from which the rest of `text` is the start of an indexed text (its
    // whole being longer than that rest); `text.size()` when there is none.
    size_t unfinished_at_end(std::string_view text) const;

    bool empty() const { return patterns_.empty(); }
    size_t longest() const { return longest_; }
    // The bytes the index holds, for the memory a known secret costs.
    size_t memory_bytes() const;

  private:
    struct Pattern {
        uint32_t offset;  // into `bytes_`
        uint32_t length;
        uint32_t failure = 0;  // into `failure_`, for texts that are checked with it
    };
    struct Entry {
        uint32_t pattern;
        uint32_t offset;  // where the four bytes stand in the text
    };
    struct Slot {
        uint32_t key = 0;
        uint32_t first = 0;  // into `entries_`
        uint32_t count = 0;  // 0: an empty slot
    };

    // For each long pattern a search met: from where an occurrence may start, and how many of
    // its bytes are known to stand there already. None starts between a candidate checked and
    // that place.
    struct Next {
        uint32_t pattern;
        size_t start;
        size_t known;
    };

    // Checks the texts filed under `key`, which stands at `i`.
    void check_candidates(std::string_view text, size_t i, uint32_t key, std::vector<Next>& next,
                          std::vector<std::pair<size_t, size_t>>& found) const;
    std::string_view text_of(const Pattern& p) const {
        return {bytes_.data() + p.offset, p.length};
    }
    const Slot* slot_of(uint32_t key) const;
    static constexpr uint64_t kSlotHash = 0x9e3779b97f4a7c15ULL;
    static constexpr uint64_t kFilterHash = 0xc2b2ae3d27d4eb4fULL;

    std::string bytes_;
    std::vector<Pattern> patterns_;
    std::vector<uint32_t> failure_;
    std::vector<Entry> entries_;
    std::vector<Slot> slots_;
    std::vector<uint64_t> filter_;
    // The patterns by their text, for `unfinished_at_end`.
    std::vector<uint32_t> sorted_;
    unsigned slot_shift_ = 63;
    unsigned filter_shift_ = 63;
    size_t step_ = 1;
    size_t shortest_ = 0;
    size_t longest_ = 0;
};

}  // namespace quorvel::secrets
