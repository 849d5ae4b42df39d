#include "util/secrets.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_set>
#include <utility>
#include <vector>

#include "util/canonical_view.h"
#include "util/in_parts.h"
#include "util/secret_forms.h"
#include "util/secret_search.h"
#include "util/snapshot_slot.h"
#include "util/url.h"

namespace quorvel::secrets {

namespace detail {
constinit std::atomic<bool> g_any_known{false};
}  // namespace detail

namespace {

// A known text is a secret, known in every form `forms_of` gives, or a text the agent itself made
// of secrets (the Basic credentials it sends), known as it stands and in its canonical form.
constexpr char kSecret = 's';
constexpr char kMadeText = 'm';

// The most bytes at the start of a form an escape before it is checked for taking by `HeadTaken`;
// more are indexed as a piece of their own.
constexpr size_t kMostHeadTaken = 8;
// How many bytes of a piece `HeadTaken` files it under: the shortest piece read beside an escape.
constexpr size_t kHeadTakenKey = kShortestEdgeReading;

// How many bytes of the rest of a form that `HeadTaken` finds are indexed.
constexpr size_t kHeadTakenAnchor = 16;

// A form that an escape before it may take a few first bytes of (a secret's base64 after "&#X" or
// "%5C"), known by what the escape leaves of it without a copy of each piece less those bytes:
// the form less the most bytes taken (its rest) is found by its first bytes (its anchor, in an
// index of their own) and a hash of the whole rest, and each piece less fewer bytes by the rest
// and the form's first bytes (`head`) before it, back to an escape that took the others. The
// anchor is no more than `kHeadTakenAnchor` bytes however long the form, so a long secret's base64
// costs a few bytes here, beside its own forms. The hash only tells the rest from another of the
// same anchor: a text that differs from it yet hashes alike is hidden too.
struct HeadTaken {
    uint64_t key = 0;         // the rest's first `kHeadTakenKey` bytes (`head_taken_key`)
    uint64_t rest_hash = 0;   // of the whole rest (`PolynomialHash::of`)
    uint64_t rest_power = 0;  // `PolynomialHash::power` of the rest's size
    uint32_t rest_size = 0;
    uint8_t head_size = 0;  // the bytes before the rest, the most an escape takes
    uint8_t taken = 0;      // bit k: an escape may take the first k bytes
    std::array<char, kMostHeadTaken> head{};
};

uint64_t head_taken_key(const char* piece) {
    uint64_t key = 0;
    std::memcpy(&key, piece, kHeadTakenKey);
    return key;
}

// How much memory for the hashes of a view a thread keeps for its next text.
constexpr size_t kKeptHashStorage = 512 * 1024;

// A polynomial hash of bytes, modulo 2^64, whose value for any stretch of a text its prefix hashes
// give in a few steps: a text in which rests are checked at many places (a base64 form repeated,
// each character written as an escape) is hashed once, not once per place, so the check costs a
// bounded amount per byte of text whatever the length of the forms.
class PolynomialHash {
  public:
    static uint64_t of(std::string_view bytes) {
        uint64_t hash = 0;
        for (const char c : bytes) {
            hash = next(hash, c);
        }
        return hash;
    }
    // The factor that shifts a hash past `size` more bytes.
    static uint64_t power(size_t size) {
        uint64_t result = 1;
        for (uint64_t base = kBase; size != 0; size >>= 1, base *= base) {
            if ((size & 1U) != 0) {
                result *= base;
            }
        }
        return result;
    }

    // Prepares `of_stretch` for `text`, which must outlive its use.
    void read(std::string_view text) {
        prefix_.resize(text.size() + 1);
        prefix_[0] = 0;
        for (size_t i = 0; i < text.size(); ++i) {
            prefix_[i + 1] = next(prefix_[i], text[i]);
        }
    }
    // Lets go of the memory of a long text read, keeping what a common one needs.
    void release_beyond(size_t bytes) {
        if (prefix_.capacity() * sizeof(uint64_t) > bytes) {
            std::vector<uint64_t>().swap(prefix_);
        }
    }
    // The hash of the `size` bytes at `at` of the text read, `power` being `power(size)`.
    uint64_t of_stretch(size_t at, size_t size, uint64_t power) const {
        return prefix_[at + size] - prefix_[at] * power;
    }

  private:
    static constexpr uint64_t kBase = 0x100000001b3;
    static uint64_t next(uint64_t hash, char c) {
        return hash * kBase + static_cast<unsigned char>(c) + 1;
    }

    std::vector<uint64_t> prefix_;
};

// What a known text is found by: its forms, found wherever they stand, and the readings of a
// secret that an escape before them takes the first bytes of (`EdgeReadings::starts_taken`,
// `EdgeReadings::beside_escapes`, `HeadTaken`), each in an index of their own.
struct KnownForms {
    std::vector<std::string> forms;
    std::vector<std::string> starts_taken;
    std::vector<std::string> beside_escapes;
    std::vector<HeadTaken> heads_taken;
    std::vector<std::string> anchors;  // of `heads_taken`
};

void move_all(std::vector<std::string>& from, std::vector<std::string>& into) {
    for (std::string& item : from) {
        into.push_back(std::move(item));
    }
}

// Whether a form is known whole beside each escape that takes its first bytes
// (`EdgeReadings::beside_escapes`), or only by what such an escape leaves of it.
enum class WholeBesideEscapes { kKnown, kLeftOut };

// Adds what `form` reads as where what stands beside it takes a piece of it into an escape
// (`edge_readings`).
void add_edge_readings(std::string_view form, WholeBesideEscapes whole, KnownForms& to) {
    EdgeReadings readings = edge_readings(form);
    move_all(readings.ends_taken, to.forms);
    move_all(readings.starts_taken, to.starts_taken);
    if (whole == WholeBesideEscapes::kKnown) {
        move_all(readings.beside_escapes, to.beside_escapes);
    }
}

// What escapes before the forms that `add_edge_readings_by_head` reads take of them (bit k: the
// first k bytes), for every known text in the registry's order, each of its forms in turn: a text
// is indexed again each time its level is rebuilt or joined into another, and reading a form
// beside each escape costs more than the rest of its indexing. A byte or so per form: a form
// whose readings a `HeadTaken` alone does not hold is read each time instead.
class TakenAtStartMemo {
  public:
    // One text's forms in turn: what the memo holds for them, or what is to be kept of them.
    class Text {
      public:
        // What the memo holds for the text's next form, if anything.
        std::optional<uint8_t> next() {
            if (taken_ == nullptr || at_ >= end_) {
                return std::nullopt;
            }
            const uint8_t taken = (*taken_)[at_++];
            return taken != kNotKept ? std::optional<uint8_t>(taken) : std::nullopt;
        }
        // Keeps what was read of the text's next form; none where a `HeadTaken` does not hold it
        // all.
        void keep(std::optional<uint8_t> taken) {
            if (keeping_) {
                kept_.push_back(taken.value_or(kNotKept));
            }
        }

      private:
        friend class TakenAtStartMemo;
        const std::vector<uint8_t>* taken_ = nullptr;  // null where the memo holds none
        size_t at_ = 0;
        size_t end_ = 0;
        bool keeping_ = false;
        std::vector<uint8_t> kept_;
    };

    // Begins the forms of the text at `order`: read from the memo where it holds them, to be kept
    // where it holds none. Any number of threads may begin and read texts while none is ended.
    Text begin_text(size_t order) const {
        Text text;
        if (order + 1 < first_.size()) {
            text.taken_ = &taken_;
            text.at_ = first_[order];
            text.end_ = first_[order + 1];
        } else {
            text.keeping_ = true;
        }
        return text;
    }
    // Keeps what was read of the text at `order` where it is the first the memo holds none of:
    // texts are ended in their order.
    void end_text(size_t order, const Text& text) {
        if (text.keeping_ && order + 1 == first_.size()) {
            taken_.insert(taken_.end(), text.kept_.begin(), text.kept_.end());
            first_.push_back(static_cast<uint32_t>(taken_.size()));
        }
    }
    size_t memory_bytes() const { return taken_.capacity() + first_.capacity() * sizeof(uint32_t); }

  private:
    // Never bits that are kept: an escape takes at least one byte, so bit 0 is never set.
    static constexpr uint8_t kNotKept = 0xff;
    std::vector<uint8_t> taken_;
    std::vector<uint32_t> first_{0};  // where each text's forms start in `taken_`, and one more
};

// Adds a `HeadTaken` for the canonical form `whole` of a form that an escape before it may take
// the first k bytes of, for each bit k of `taken`.
void add_head_taken(std::string_view whole, unsigned taken, KnownForms& to) {
    const auto most = static_cast<size_t>(std::bit_width(taken) - 1);
    const std::string_view rest = whole.substr(most);
    to.anchors.emplace_back(rest.substr(0, kHeadTakenAnchor));
    HeadTaken head;
    head.key = head_taken_key(rest.data());
    head.rest_hash = PolynomialHash::of(rest);
    head.rest_power = PolynomialHash::power(rest.size());
    head.rest_size = static_cast<uint32_t>(rest.size());
    head.head_size = static_cast<uint8_t>(most);
    head.taken = static_cast<uint8_t>(taken);
    std::memcpy(head.head.data(), whole.data(), most);
    to.heads_taken.push_back(head);
}

// Adds what `form` reads as beside escapes, as `add_edge_readings` without its whole readings,
// but with the pieces less its first bytes known by a `HeadTaken` rather than one copy each.
// `whole` is the canonical form of `form`, which its forms hold already.
void add_edge_readings_by_head(std::string_view form, std::string_view whole, KnownForms& to,
                               TakenAtStartMemo::Text& memo) {
    if (const std::optional<uint8_t> taken = memo.next()) {
        if (*taken != 0) {
            add_head_taken(whole, *taken, to);
        }
        return;
    }
    EdgeReadings readings = edge_readings(form);
    const bool by_head_alone = readings.ends_taken.empty();
    move_all(readings.ends_taken, to.forms);
    // The numbers of first bytes taken, of the pieces that are the canonical form less them.
    unsigned taken = 0;
    size_t others = 0;
    for (std::string& piece : readings.starts_taken) {
        const size_t k = whole.size() - std::min(whole.size(), piece.size());
        if (k > 0 && k < kMostHeadTaken && std::string_view(whole).substr(k) == piece) {
            taken |= 1U << k;
        } else {
            to.starts_taken.push_back(std::move(piece));
            ++others;
        }
    }
    memo.keep(by_head_alone && others == 0 ? std::optional<uint8_t>(taken) : std::nullopt);
    if (taken != 0) {
        add_head_taken(whole, taken, to);
    }
}

// Adds the forms of a known text, as the registry keeps it (its kind, then the text), to `to`,
// with their readings beside escapes. A secret's forms are those `forms_of` gives; an escape
// beside one is read with the secret as given or percent-decoded, whose canonical form most of
// them read as, and with its base64, which reads otherwise ("&#X" before base64 that starts with
// a hex digit). A text the agent made of secrets (base64 of them) is known as it stands and in
// its canonical form, and read beside escapes as it stands. Base64 is at least
// `kShortestAlignedBase64` characters, and an escape takes at most six of them: what it leaves
// is found behind it (`HeadTaken`), and base64 is not known whole beside each escape too, which
// would cost more memory than all its other readings.
void add_forms_of_known(std::string_view kept, KnownForms& to, TakenAtStartMemo::Text& memo) {
    const std::string_view text = kept.substr(1);
    if (kept.front() == kSecret) {
        SecretForms made = secret_forms(text);
        add_edge_readings(text, WholeBesideEscapes::kKnown, to);
        if (made.decoded != text) {
            add_edge_readings(made.decoded, WholeBesideEscapes::kKnown, to);
        }
        for (size_t i = 0; i < made.base64.size(); ++i) {
            const std::string& whole = made.forms[made.base64_canonical_at[i]];
            add_edge_readings_by_head(made.base64[i], whole, to, memo);
        }
        move_all(made.forms, to.forms);
        return;
    }
    std::string whole = canonical(text);
    to.forms.emplace_back(text);
    add_edge_readings_by_head(text, whole, to, memo);
    if (whole != text) {
        to.forms.push_back(std::move(whole));
    }
}

// The index of every form of every known text, in levels: each indexes the texts that came in one
// stretch of the order, the oldest and largest first. An addition rebuilds the last level when it
// is small, or opens one after it; a level is joined into the one before it once it holds more
// than a quarter of what that one holds. So an addition costs about what it adds (every text is
// indexed again a bounded number of times per level, and there are few levels), while a text is
// searched once per level, and once in all after many additions in a row.
constexpr size_t kSmallLevel = 32;
constexpr size_t kLevelRatio = 4;

struct Level {
    size_t first = 0;  // into the registry's order
    size_t count = 0;
    std::shared_ptr<const PatternIndex> patterns;
    // The readings of its secrets whose first bytes an escape before them takes
    // (`EdgeReadings::starts_taken`, `EdgeReadings::beside_escapes`); none for most levels.
    std::shared_ptr<const PatternIndex> starts_taken;
    std::shared_ptr<const PatternIndex> beside_escapes;
    // The forms known by a `HeadTaken`, by `HeadTaken::key`, and their anchors; none for levels
    // without them.
    std::shared_ptr<const std::vector<HeadTaken>> heads_taken;
    std::shared_ptr<const PatternIndex> anchors;
};

struct Index {
    uint64_t version = 0;
    std::vector<Level> levels;
    // Whether some secret starts or ends with a backslash (`widened_over_backslashes`).
    bool backslash_ends = false;
    size_t longest = 0;
};

struct Registry {
    std::mutex mutex;                       // serialises additions
    std::unordered_set<std::string> known;  // kind and text, to tell a text known already
    std::vector<const std::string*> order;  // the known texts in the order they came
    // Whether some secret, as given or percent-decoded, starts or ends with what reads as a
    // backslash.
    bool backslash_ends = false;
    // Counts the additions; the index is built anew for a newer one.
    std::atomic<uint64_t> version{0};
    // What escapes take of the known texts' forms; read and kept while the index is built.
    TakenAtStartMemo taken_at_start;
    // Held while the index is built, so that the threads which find it old build it once.
    std::mutex build_mutex;
    // Read by every log line that is written while a secret is known.
    SnapshotSlot<Index> index{nullptr};
};

// Never destroyed: runtime threads may log while the process's static destructors run.
Registry& registry() {
    static Registry* const r = new Registry;
    return *r;
}

// Texts side by side in blocks of a few MiB, each allocated once at its size and never moved, so
// that a view of a text stays valid: one allocation per block rather than one per form, and no
// copy of what is held as it grows, nor a freed buffer left behind by each growth.
class TextArena {
  public:
    std::string_view add(std::string_view text) {
        if (blocks_.empty() || text.size() > size_ - used_) {
            size_ = std::max(kBlockSize, text.size());
            blocks_.push_back(std::make_unique_for_overwrite<char[]>(size_));
            used_ = 0;
        }
        char* const at = blocks_.back().get() + used_;
        std::memcpy(at, text.data(), text.size());
        used_ += text.size();
        return {at, text.size()};
    }

  private:
    static constexpr size_t kBlockSize = size_t{4} << 20;
    std::vector<std::unique_ptr<char[]>> blocks_;
    size_t size_ = 0;  // of the last block
    size_t used_ = 0;  // of the last block
};

// The forms of a stretch of the registry's order, made on one thread, with the readings beside
// escapes of them all, which are few, and what the memo is to keep of each text.
struct FormsOfStretch {
    TextArena arena;
    std::vector<std::string_view> forms;       // in `arena`
    KnownForms known;                          // its `forms` empty: they are in `arena`
    std::vector<TakenAtStartMemo::Text> memo;  // of each text, in order
    std::exception_ptr failure;                // what making them threw, if anything
};

// Makes the forms of the `count` known texts from `first` on. Reads the registry alone, whose
// mutex the caller holds.
void make_forms(const Registry& r, size_t first, size_t count, FormsOfStretch& out) {
    out.memo.reserve(count);
    for (size_t i = first; i < first + count; ++i) {
        TakenAtStartMemo::Text memo = r.taken_at_start.begin_text(i);
        add_forms_of_known(*r.order[i], out.known, memo);
        out.memo.push_back(std::move(memo));
        for (const std::string& form : out.known.forms) {
            out.forms.push_back(out.arena.add(form));
        }
        out.known.forms.clear();
    }
}

// A level of this many texts or more has their forms made on a few threads, which costs about as
// much as indexing them once they are made: each thread takes a stretch of them in their order.
constexpr size_t kTextsForThreads = 256;
constexpr size_t kMostFormThreads = 4;

// The forms of the texts of `level`, in stretches of their order. Whatever a thread throws (an
// allocation that fails) is thrown here once every thread has ended, that of the first stretch
// first; where no thread can be started, the caller's makes the forms.
std::vector<FormsOfStretch> make_forms_of_level(const Registry& r, const Level& level) {
    const size_t threads = parts_for(level.count, kTextsForThreads, kMostFormThreads);
    std::vector<FormsOfStretch> stretches(threads);
    run_in_parts(threads, [&](size_t k) noexcept {
        const size_t begin = level.first + level.count * k / threads;
        const size_t end = level.first + level.count * (k + 1) / threads;
        try {
            make_forms(r, begin, end - begin, stretches[k]);
        } catch (...) {
            stretches[k].failure = std::current_exception();
        }
    });
    for (const FormsOfStretch& stretch : stretches) {
        if (stretch.failure) {
            std::rethrow_exception(stretch.failure);
        }
    }
    return stretches;
}

// Indexes the forms of the known texts of `level`, and the readings of its secrets that an escape
// before them takes the first bytes of (null where there are none). Each text's forms are made
// once for all three.
void build_level(Registry& r, Level& level) {
    std::vector<FormsOfStretch> stretches = make_forms_of_level(r, level);
    // The stretches joined in their order, so that the index is the same however many there are.
    KnownForms known;
    std::vector<std::string_view> forms;
    size_t count = 0;
    for (const FormsOfStretch& stretch : stretches) {
        count += stretch.forms.size();
    }
    forms.reserve(count);
    size_t order = level.first;
    for (FormsOfStretch& stretch : stretches) {
        forms.insert(forms.end(), stretch.forms.begin(), stretch.forms.end());
        decltype(stretch.forms)().swap(stretch.forms);
        for (const TakenAtStartMemo::Text& text : stretch.memo) {
            r.taken_at_start.end_text(order++, text);
        }
        decltype(stretch.memo)().swap(stretch.memo);
        move_all(stretch.known.starts_taken, known.starts_taken);
        move_all(stretch.known.beside_escapes, known.beside_escapes);
        move_all(stretch.known.anchors, known.anchors);
        known.heads_taken.insert(known.heads_taken.end(), stretch.known.heads_taken.begin(),
                                 stretch.known.heads_taken.end());
        stretch.known = KnownForms();
    }
    level.patterns = std::make_shared<const PatternIndex>(forms);
    decltype(forms)().swap(forms);
    decltype(stretches)().swap(stretches);
    // The readings beside escapes after the forms, whose index takes the most memory to build.
    const auto index_of = [](const std::vector<std::string>& readings) {
        std::shared_ptr<const PatternIndex> index;
        if (!readings.empty()) {
            index = std::make_shared<const PatternIndex>(
                std::vector<std::string_view>(readings.begin(), readings.end()));
        }
        return index;
    };
    level.starts_taken = index_of(known.starts_taken);
    level.beside_escapes = index_of(known.beside_escapes);
    if (!known.heads_taken.empty()) {
        std::sort(known.heads_taken.begin(), known.heads_taken.end(),
                  [](const HeadTaken& a, const HeadTaken& b) { return a.key < b.key; });
        known.heads_taken.shrink_to_fit();
        level.heads_taken =
            std::make_shared<const std::vector<HeadTaken>>(std::move(known.heads_taken));
    }
    level.anchors = index_of(known.anchors);
}

// The index for every text known now: built by the first reader that finds the one published
// older than the set, so that many additions in a row cost one build, from the levels of the one
// published, of which only the last ones change.
std::shared_ptr<const Index> current_index() {
    Registry& r = registry();
    std::shared_ptr<const Index> index = r.index.load();
    if (index != nullptr && index->version == r.version.load(std::memory_order_acquire)) {
        return index;
    }
    std::lock_guard build(r.build_mutex);
    index = r.index.load();
    if (index != nullptr && index->version == r.version.load(std::memory_order_acquire)) {
        return index;
    }
    std::lock_guard lock(r.mutex);
    auto built = std::make_shared<Index>();
    built->version = r.version.load(std::memory_order_relaxed);
    built->backslash_ends = r.backslash_ends;
    std::vector<Level>& levels = built->levels;
    if (index != nullptr) {
        levels = index->levels;
    }
    const size_t covered = levels.empty() ? 0 : levels.back().first + levels.back().count;
    if (covered < r.order.size()) {
        size_t first = covered;
        if (!levels.empty() && levels.back().count < kSmallLevel) {
            first = levels.back().first;
            levels.pop_back();
        }
        levels.push_back(
            Level{first, r.order.size() - first, nullptr, nullptr, nullptr, nullptr, nullptr});
        while (levels.size() >= 2 &&
               levels.back().count * kLevelRatio > levels[levels.size() - 2].count) {
            const size_t joined = levels.back().count;
            levels.pop_back();
            levels.back().count += joined;
            levels.back().patterns = nullptr;
        }
        for (Level& level : levels) {
            if (level.patterns == nullptr) {
                build_level(r, level);
            }
        }
    }
    for (const Level& level : levels) {
        built->longest = std::max(built->longest, level.patterns->longest());
        for (const auto* edges : {level.starts_taken.get(), level.beside_escapes.get()}) {
            if (edges != nullptr) {
                built->longest = std::max(built->longest, edges->longest() + 1);
            }
        }
        if (level.heads_taken != nullptr) {
            for (const HeadTaken& head : *level.heads_taken) {
                built->longest =
                    std::max<size_t>(built->longest, head.head_size + head.rest_size + 1);
            }
        }
    }
    r.index.store(built);
    return built;
}

using Stretches = std::vector<std::pair<size_t, size_t>>;

// A stretch of the canonical view widened over the backslashes that touch it: a secret's own
// backslashes at its ends are read as escaping what stands beside it, or dropped from a long run.
// Only while some secret starts or ends with one, since it also takes in the backslash of an
// escape beside a secret (`\"`).
std::pair<size_t, size_t> widened_over_backslashes(std::string_view text, size_t begin,
                                                   size_t end) {
    for (size_t n; (n = backslash_written_at(text, begin, Side::kBefore)) != 0;) {
        begin -= n;
    }
    for (size_t n; (n = backslash_written_at(text, end, Side::kAfter)) != 0;) {
        end += n;
    }
    return {begin, end};
}

// Where the escape that took a secret's first bytes stands in what a reading of them found: right
// before it (`EdgeReadings::starts_taken`), or first in it (`EdgeReadings::beside_escapes`).
enum class EscapeAt { kBefore, kFirst };

// A reading found with an escape: the escape's start in the text, and the stretch of the text that
// stands for what follows the escape.
struct EscapeReading {
    size_t escape;
    size_t rest;
    size_t end;
};

bool is_escape(const CanonicalView& view, size_t i) {
    return view.to[i] - view.from[i] > 1;
}

// Appends the reading of a piece found at [begin, end) of `view` with the escape where `at` says,
// where there is one.
void add_found_with_escape(EscapeAt at, const CanonicalView& view, size_t begin, size_t end,
                           std::vector<EscapeReading>& found) {
    if (at == EscapeAt::kBefore && begin > 0 && is_escape(view, begin - 1)) {
        found.push_back({view.from[begin - 1], view.from[begin], view.to[end - 1]});
    } else if (is_escape(view, begin)) {
        // A reading whose first byte an escape takes in with more (a secret's "\\3\\3..."
        // after "\\x" reads as "3" and the rest) may also read whole where the escape reads
        // as that byte: the index joins the two occurrences, and the escape is first in what
        // it finds, and hidden with it.
        size_t rest = begin;
        while (rest < end && view.from[rest] == view.from[begin]) {
            ++rest;
        }
        found.push_back(
            {view.from[begin], rest < end ? view.from[rest] : view.to[end - 1], view.to[end - 1]});
    }
}

// Appends where the forms of `heads` stand in `view` with an escape before them that took their
// first bytes: at each place in a stretch their anchors cover where a rest stands whole, each
// piece less the first bytes an escape takes that the bytes before the rest complete.
void find_heads_taken(const PatternIndex& anchors, const std::vector<HeadTaken>& heads,
                      const CanonicalView& view, std::vector<EscapeReading>& found) {
    thread_local Stretches stretches;
    stretches.clear();
    anchors.find(view.bytes, stretches);
    const std::string_view bytes = view.bytes;
    thread_local PolynomialHash hashes;
    bool hashes_read = false;
    for (const auto& [begin, end] : stretches) {
        for (size_t at = begin; at + kHeadTakenKey <= end; ++at) {
            const uint64_t key = head_taken_key(bytes.data() + at);
            auto head = std::lower_bound(heads.begin(), heads.end(), key,
                                         [](const HeadTaken& h, uint64_t k) { return h.key < k; });
            for (; head != heads.end() && head->key == key; ++head) {
                const size_t rest_end = at + head->rest_size;
                if (rest_end > bytes.size()) {
                    continue;
                }
                // The escapes and first bytes before it first, which rule out nearly every place
                // for little; then the rest, once for all of them, by the hashes of the view,
                // read once where a rest is first checked.
                bool rest_read = false;
                bool rest_whole = false;
                const std::string_view first(head->head.data(), head->head_size);
                for (size_t k = 1; k <= head->head_size; ++k) {
                    const size_t before = head->head_size - k;
                    const size_t piece = at - before;
                    if ((head->taken >> k & 1U) == 0 || at < before ||
                        !((piece > 0 && is_escape(view, piece - 1)) || is_escape(view, piece)) ||
                        bytes.substr(piece, before) != first.substr(k)) {
                        continue;
                    }
                    if (!rest_read) {
                        if (!hashes_read) {
                            hashes.read(bytes);
                            hashes_read = true;
                        }
                        rest_whole = hashes.of_stretch(at, head->rest_size, head->rest_power) ==
                                     head->rest_hash;
                        rest_read = true;
                    }
                    if (rest_whole) {
                        add_found_with_escape(EscapeAt::kBefore, view, piece, rest_end, found);
                    }
                }
            }
        }
    }
    if (hashes_read) {
        hashes.release_beyond(kKeptHashStorage);
    }
}

// Appends where the readings of `index` stand in `view` with the escape where `at` says.
void find_with_escapes(const PatternIndex& index, EscapeAt at, const CanonicalView& view,
                       std::vector<EscapeReading>& found) {
    thread_local Stretches stretches;
    stretches.clear();
    index.find(view.bytes, stretches);
    for (const auto& [begin, end] : stretches) {
        add_found_with_escape(at, view, begin, end, found);
    }
}

// Adds to `out` (stretches of the text, sorted from `first` on) each reading found with an escape
// whose rest no stretch found already holds, the escape taken in. One whose rest a stretch holds
// is a piece of a form found whole, and the escape beside it no part of it.
void add_with_escapes(const std::vector<EscapeReading>& readings, Stretches& out, size_t first) {
    if (readings.empty()) {
        return;
    }
    const auto begin = out.begin() + static_cast<ptrdiff_t>(first);
    std::sort(begin, out.end());
    // The furthest end of the stretches up to each one.
    std::vector<size_t> furthest(out.size() - first);
    for (size_t i = first, most = 0; i < out.size(); ++i) {
        most = std::max(most, out[i].second);
        furthest[i - first] = most;
    }
    Stretches added;
    for (const EscapeReading& r : readings) {
        const auto after =
            std::upper_bound(begin, out.end(), std::pair<size_t, size_t>{r.rest, SIZE_MAX});
        const auto held = static_cast<size_t>(after - begin);
        if (held == 0 || furthest[held - 1] < r.end) {
            added.emplace_back(r.escape, r.end);
        }
    }
    out.insert(out.end(), added.begin(), added.end());
}

// Appends the stretches of `view` that a known form covers to `found`, and the readings of a
// secret beside the escapes that take its first bytes to `with_escapes`.
void find_in_view(const Index& known, const CanonicalView& view, Stretches& found,
                  std::vector<EscapeReading>& with_escapes) {
    for (const Level& level : known.levels) {
        level.patterns->find(view.bytes, found);
        if (level.starts_taken != nullptr) {
            find_with_escapes(*level.starts_taken, EscapeAt::kBefore, view, with_escapes);
        }
        if (level.beside_escapes != nullptr) {
            find_with_escapes(*level.beside_escapes, EscapeAt::kFirst, view, with_escapes);
        }
        if (level.anchors != nullptr) {
            find_heads_taken(*level.anchors, *level.heads_taken, view, with_escapes);
        }
    }
}

// How much of a canonical view a thread keeps for its next text.
constexpr size_t kKeptViewStorage = 64 * 1024;

// Appends the stretches of `text` that a known form covers, found in the text as it stands and,
// where it may differ, in its canonical view, as stretches of `text` shifted by `shift`.
void find_forms(const Index& known, std::string_view text, size_t shift, Stretches& out,
                bool unfinished) {
    const size_t first = out.size();
    size_t unfinished_at = text.size();
    for (const Level& level : known.levels) {
        level.patterns->find(text, out);
        if (unfinished) {
            unfinished_at = std::min(unfinished_at, level.patterns->unfinished_at_end(text));
        }
    }
    if (known.backslash_ends) {
        // A form found as it stands may end a longer run of backslashes that an encoder wrote of
        // its own: the run is hidden with it, as where the canonical view finds the form.
        for (size_t i = first; i < out.size(); ++i) {
            out[i] = widened_over_backslashes(text, out[i].first, out[i].second);
        }
    }
    if (unfinished_at < text.size()) {
        out.emplace_back(unfinished_at, SIZE_MAX - shift);
    }
    if (may_differ_from_canonical(text)) {
        // The thread's view, whose storage serves its next text; what a long text grew is given
        // back when it is done.
        thread_local CanonicalView view;
        canonical_view(text, view);
        const auto release = [] {
            if (view.bytes.capacity() > kKeptViewStorage) {
                view = CanonicalView();
            }
        };
        Stretches found;
        unfinished_at = view.bytes.size();
        std::vector<EscapeReading> with_escapes;
        find_in_view(known, view, found, with_escapes);
        if (unfinished) {
            for (const Level& level : known.levels) {
                unfinished_at =
                    std::min(unfinished_at, level.patterns->unfinished_at_end(view.bytes));
            }
        }
        // Base64 that a writer wrapped into lines, read whole, beside escapes too.
        thread_local CanonicalView unwrapped;
        if (without_base64_line_breaks(view, unwrapped)) {
            Stretches joined;
            find_in_view(known, unwrapped, joined, with_escapes);
            for (const auto& [begin, end] : joined) {
                out.emplace_back(unwrapped.from[begin], unwrapped.to[end - 1]);
            }
            if (unwrapped.bytes.capacity() > kKeptViewStorage) {
                unwrapped = CanonicalView();
            }
        }
        for (const auto& [begin, end] : found) {
            if (known.backslash_ends) {
                out.emplace_back(
                    widened_over_backslashes(text, view.from[begin], view.to[end - 1]));
            } else {
                out.emplace_back(view.from[begin], view.to[end - 1]);
            }
        }
        if (unfinished_at < view.bytes.size()) {
            out.emplace_back(view.from[unfinished_at], SIZE_MAX - shift);
        }
        add_with_escapes(with_escapes, out, first);
        release();
    }
    for (size_t i = first; i < out.size(); ++i) {
        out[i].first += shift;
        out[i].second += shift;
    }
}

// Sorted, with the stretches that overlap joined: two secrets side by side stay two.
void join(Stretches& stretches) {
    if (stretches.size() < 2) {
        return;
    }
    if (!std::is_sorted(stretches.begin(), stretches.end())) {
        std::sort(stretches.begin(), stretches.end());
    }
    size_t kept = 0;
    for (size_t i = 1; i < stretches.size(); ++i) {
        if (stretches[i].first < stretches[kept].second) {
            stretches[kept].second = std::max(stretches[kept].second, stretches[i].second);
        } else {
            stretches[++kept] = stretches[i];
        }
    }
    stretches.resize(kept + 1);
}

// The maximal runs of at least `kMask.size()` stars in `text`: masks, or what a reader cannot tell
// from one.
Stretches star_runs(std::string_view text) {
    Stretches runs;
    const char star = kMask.front();
    for (size_t at = text.find(star); at != std::string_view::npos; at = text.find(star, at)) {
        const size_t begin = at;
        while (at < text.size() && text[at] == star) {
            ++at;
        }
        if (at - begin >= kMask.size()) {
            runs.emplace_back(begin, at);
        }
    }
    return runs;
}

// Moves the stretches that take in part of a run of stars but not all of it to `dropped`: a mask
// and what stands beside it are no occurrence of a secret ("a***" known, "aa****" is no "a***"
// and a mask). Both lists are sorted.
void drop_those_splitting_masks(Stretches& stretches, const Stretches& runs, Stretches& dropped) {
    size_t r = 0;
    std::erase_if(stretches, [&](const std::pair<size_t, size_t>& s) {
        while (r < runs.size() && runs[r].second <= s.first) {
            ++r;
        }
        for (size_t k = r; k < runs.size() && runs[k].first < s.second; ++k) {
            if (runs[k].first < s.first || s.second < runs[k].second) {
                dropped.push_back(s);
                return true;
            }
        }
        return false;
    });
}

// `text` with each stretch replaced by the mask.
std::string with_stretches_masked(std::string_view text, const Stretches& stretches) {
    std::string out;
    out.reserve(text.size());
    size_t copied = 0;
    for (const auto& [start, end] : stretches) {
        out.append(text, copied, start - copied);
        out += kMask;
        copied = end;
    }
    out.append(text, copied, text.size() - copied);
    return out;
}

}  // namespace

// Where each mask of a text that hiding read again stands, now and in the text first read: what
// takes a stretch that a later reading finds back to the text, for a cut to move before it too.
class MaskMap {
  public:
    // Where in the text first read a stretch of the text now starts and ends. A stretch that a
    // reading masks never takes in part of a mask, so its ends stand outside masks or at theirs.
    size_t original_begin(size_t at) const {
        const auto m = last_starting_at_or_before(at);
        return m == masks_.end() ? at
               : at < m->now_end ? m->original_begin
                                 : at - m->now_end + m->original_end;
    }
    size_t original_end(size_t at) const {
        const auto m = at == 0 ? masks_.end() : last_starting_at_or_before(at - 1);
        return m == masks_.end()  ? at
               : at <= m->now_end ? m->original_end
                                  : at - m->now_end + m->original_end;
    }
    // Records that `stretches` of the text now (sorted, apart) became one mask each.
    void masked(const Stretches& stretches) {
        if (stretches.empty()) {
            return;
        }
        std::vector<Mask> next;
        next.reserve(masks_.size() + stretches.size());
        size_t m = 0;
        size_t grown = 0;  // what the masks before add to a position, modulo 2^64
        const auto shifted = [&](Mask mask) {
            mask.now_begin += grown;
            mask.now_end += grown;
            return mask;
        };
        for (const auto& [begin, end] : stretches) {
            for (; m < masks_.size() && masks_[m].now_end <= begin; ++m) {
                next.push_back(shifted(masks_[m]));
            }
            next.push_back(Mask{begin + grown, begin + grown + kMask.size(), original_begin(begin),
                                original_end(end)});
            while (m < masks_.size() && masks_[m].now_begin < end) {
                ++m;  // taken into the new mask
            }
            grown += kMask.size() - (end - begin);
        }
        for (; m < masks_.size(); ++m) {
            next.push_back(shifted(masks_[m]));
        }
        masks_ = std::move(next);
    }

  private:
    struct Mask {
        size_t now_begin;
        size_t now_end;
        size_t original_begin;
        size_t original_end;
    };
    std::vector<Mask>::const_iterator last_starting_at_or_before(size_t at) const {
        auto after = std::partition_point(masks_.begin(), masks_.end(),
                                          [&](const Mask& m) { return m.now_begin <= at; });
        return after == masks_.begin() ? masks_.end() : std::prev(after);
    }
    std::vector<Mask> masks_;
};

// Whether a text may end inside a form, cut short by a library: a start of a form at its end
// counts then.
enum class FormsAtEnd { kComplete, kMayBeCut };

// Keeps of `stretches` (sorted, apart) those that take in no part of a run of stars without all
// of it (`drop_those_splitting_masks`), sorted and apart. A search joins the occurrences that
// overlap into one stretch, so that one left out may hold occurrences apart from the runs it
// splits: those are sought again in it, between the runs it splits, and kept.
void keep_those_apart_from_masks(const Index& index, std::string_view text, Stretches& stretches) {
    const Stretches runs = star_runs(text);
    if (runs.empty()) {
        return;
    }
    Stretches dropped;
    drop_those_splitting_masks(stretches, runs, dropped);
    const size_t kept = stretches.size();
    while (!dropped.empty()) {
        auto [begin, end] = dropped.back();
        dropped.pop_back();
        if (end - begin <= kShortestPattern) {
            continue;  // its piece is shorter still (below)
        }
        // The piece between the runs it splits, shorter than the stretch, so the search ends.
        // A piece shorter than every form holds none, not even in a reading, which is never
        // longer than what it reads.
        const auto run_after = [&](size_t at) {
            return std::partition_point(runs.begin(), runs.end(),
                                        [&](const auto& run) { return run.second <= at; });
        };
        if (const auto run = run_after(begin); run != runs.end() && run->first < begin) {
            begin = run->second;
        }
        if (const auto run = run_after(end); run != runs.end() && run->first < end) {
            end = run->first;
        }
        if (begin >= end || end - begin < kShortestPattern) {
            continue;
        }
        Stretches inside;
        find_forms(index, text.substr(begin, end - begin), begin, inside, false);
        std::sort(inside.begin(), inside.end());
        drop_those_splitting_masks(inside, runs, dropped);
        stretches.insert(stretches.end(), inside.begin(), inside.end());
    }
    if (stretches.size() > kept) {
        join(stretches);
    }
}

// Masks what each reading of `text` finds. A mask changes how what stands beside it reads (an
// escape that began in a secret no longer takes in the text behind it), so the text is read again
// until a reading finds nothing: then hiding what it returns changes nothing. Where `masked` is
// given, it receives every stretch of the text as given that a reading found, sorted, those that
// overlap joined: those masked, and those left as they stand for taking in part of a run of stars
// (which a cut moves before all the same); a start of a form at the end of a text cut short
// stretches to `SIZE_MAX`.
void mask_every_reading(const Index& index, std::string& text, FormsAtEnd end, Stretches* masked) {
    MaskMap map;
    // What the reading before masked, in the text it read: taken into the map only where a later
    // reading finds more, which few texts need.
    Stretches masked_before;
    for (int reading = 0; reading < kMostHideReadings; ++reading) {
        Stretches stretches;
        find_forms(index, text, 0, stretches, end == FormsAtEnd::kMayBeCut);
        if (stretches.empty()) {
            break;
        }
        join(stretches);
        // A start of a form at the end of a text cut short stands for all that may follow: the
        // last stretch, masked to the end.
        const bool to_the_end = stretches.back().second > text.size();
        stretches.back().second = std::min(stretches.back().second, text.size());
        if (masked != nullptr) {
            map.masked(masked_before);
            const auto found_before = static_cast<ptrdiff_t>(masked->size());
            for (const auto& [begin, stop] : stretches) {
                masked->emplace_back(map.original_begin(begin), map.original_end(stop));
            }
            if (to_the_end) {
                masked->back().second = SIZE_MAX;
            }
            std::inplace_merge(masked->begin(), masked->begin() + found_before, masked->end());
        }
        keep_those_apart_from_masks(index, text, stretches);
        if (stretches.empty()) {
            break;
        }
        std::string next = with_stretches_masked(text, stretches);
        if (next == text) {
            break;
        }
        text = std::move(next);
        if (masked != nullptr) {
            masked_before = std::move(stretches);
        }
    }
    if (masked != nullptr) {
        join(*masked);
    }
}

namespace {

// Adds a known text of `kind`; false when it was known already.
bool add_known(char kind, std::string_view text) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    std::string kept;
    kept.reserve(text.size() + 1);
    kept.push_back(kind);
    kept.append(text);
    const auto [at, inserted] = r.known.insert(std::move(kept));
    if (!inserted) {
        return false;
    }
    if (kind == kSecret) {
        const std::string decoded = percent_decode(text);
        for (const std::string_view given : {text, std::string_view(decoded)}) {
            // However it is written there ("%5C" too, which a decoder reads as one).
            r.backslash_ends = r.backslash_ends ||
                               backslash_written_at(given, 0, Side::kAfter) != 0 ||
                               backslash_written_at(given, given.size(), Side::kBefore) != 0;
        }
    }
    r.order.push_back(&*at);
    r.version.fetch_add(1, std::memory_order_release);
    detail::g_any_known.store(true, std::memory_order_release);
    return true;
}

}  // namespace

void remember(std::string_view secret) {
    if (secret.size() >= kShortestKnownSecret) {
        add_known(kSecret, secret);
    }
}

namespace {

void remember_userinfo(std::string_view userinfo) {
    remember(userinfo);
    // The HTTP client sends these as Basic credentials, which a server or a proxy may quote back.
    for (const std::string& sent : basic_credentials_forms(userinfo)) {
        add_known(kMadeText, sent);
    }
    if (const size_t colon = userinfo.find(':'); colon != std::string_view::npos) {
        remember(userinfo.substr(colon + 1));
    }
}

// Where a URL text's user information would begin, looking before `end`: past the scheme's
// "://", or at the start of a text typed without one.
size_t userinfo_start(std::string_view url_text, size_t end) {
    const size_t slashes = url_text.substr(0, end).find("://");
    return slashes == std::string_view::npos ? 0 : slashes + 3;
}

}  // namespace

namespace {

void remember_authority_userinfo(std::string_view url_text) {
    const size_t start = userinfo_start(url_text, url_text.find('@'));
    const std::string_view authority =
        url_text.substr(start, url_text.find_first_of("/?#", start) - start);
    if (const size_t at = authority.rfind('@'); at != std::string_view::npos) {
        remember_userinfo(authority.substr(0, at));
    }
}

}  // namespace

void remember_url_userinfo(std::string_view url_text) {
    // As typed, as the parser reads it (blanks at the ends and tabs and line breaks inside
    // dropped), and as the normalised URL writes it (a quote percent-encoded, say): a message may
    // quote any of them.
    remember_authority_userinfo(url_text);
    remember_authority_userinfo(strip_url_input(url_text));
    if (auto url = Url::parse(url_text)) {
        remember_authority_userinfo(url->raw_text());
    }
}

void remember_proxy_setting(std::string_view setting) {
    remember_url_userinfo(setting);
    if (const size_t last_at = setting.rfind('@'); last_at != std::string_view::npos) {
        const size_t start = userinfo_start(setting, last_at);
        remember_userinfo(setting.substr(start, last_at - start));
    }
}

void remember_proxy_settings() {
    for (const char* name :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        if (const char* value = std::getenv(name)) {
            remember_proxy_setting(value);
        }
    }
}

std::string hide(std::string_view text) {
    std::string out(text);
    hide_in_place(out);
    return out;
}

void hide_in_place(std::string& text) {
    if (!any_known()) {
        return;
    }
    const std::shared_ptr<const Index> index = current_index();
    mask_every_reading(*index, text, FormsAtEnd::kComplete, nullptr);
}

namespace {

// How far past a canonical byte the reading of a text may look to tell what that byte is: to the
// end of the escape that holds it (at most `kLongestCanonicalReach`), and over up to three escapes
// after it that may join it into one UTF-8 sequence; twice that, for what a reading read again
// starts. A canonical byte that ends this far before the end of a window reads in the window as
// in the whole text.
constexpr size_t kReadingLookahead = 8 * kLongestCanonicalReach;

// Whether `window`, a start of a text, holds enough past `cut` that every form starting before the
// cut ends in it as it does in the whole text: `longest` bytes past the cut that read as in the
// whole text, both as they stand and in the canonical view. Measured, since one canonical byte
// may stand for a run of any length, and a chain of character references for nothing.
bool holds_forms_across(std::string_view window, size_t cut, size_t longest) {
    if (window.size() < cut + longest + kReadingLookahead) {
        return false;
    }
    if (!may_differ_from_canonical(window)) {
        return true;
    }
    const CanonicalView view = canonical_view(window);
    const size_t settled = window.size() - kReadingLookahead;
    size_t past_cut = 0;
    for (size_t i = 0; i < view.bytes.size() && view.to[i] <= settled; ++i) {
        if (view.from[i] >= cut && ++past_cut > longest) {
            return true;
        }
    }
    return false;
}

// Whether a stretch that starts before `cut` ends too near the window's end `end` to tell where it
// ends in the whole text: a run of backslashes or of bytes that are not UTF-8 that it takes in
// may go on past the window.
bool reaches_window_end(const Stretches& stretches, size_t cut, size_t end) {
    for (const auto& [start, stop] : stretches) {
        if (start < cut && stop + kReadingLookahead > end) {
            return true;
        }
    }
    return false;
}

}  // namespace

MaskedStretches::MaskedStretches(std::string_view text, size_t last_cut, bool complete) {
    if (!any_known()) {
        return;
    }
    const std::shared_ptr<const Index> index = current_index();
    const size_t longest = index->longest;
    if (longest == 0) {
        return;
    }
    // Only a form that starts before the last cut bears on a cut, so the text is read from its
    // start up to where every such form has ended: first as far as the longest form plus what its
    // reading looks ahead, then, while a form found may go on past the window or the window holds
    // too few canonical bytes past the cut, twice as far, until it holds them: so all the windows
    // read together cost at most twice the last. A library's text that may end inside a form is
    // read whole.
    size_t end =
        complete ? std::min(text.size(), last_cut + longest + kReadingLookahead) : text.size();
    for (;;) {
        const std::string_view window = text.substr(0, end);
        stretches_.clear();
        std::string read(window);
        mask_every_reading(*index, read, complete ? FormsAtEnd::kComplete : FormsAtEnd::kMayBeCut,
                           &stretches_);
        if (end == text.size() || (!reaches_window_end(stretches_, last_cut, end) &&
                                   holds_forms_across(window, last_cut, longest))) {
            break;
        }
        end = std::min(text.size(), 2 * end);
    }
    std::erase_if(stretches_,
                  [&](const std::pair<size_t, size_t>& s) { return s.first >= last_cut; });
}

size_t MaskedStretches::cut_before(size_t cut) const {
    // Joined stretches never overlap: the last one that starts before the cut is the only one that
    // may hold it, and none holds its start.
    const auto after =
        std::partition_point(stretches_.begin(), stretches_.end(),
                             [&](const std::pair<size_t, size_t>& s) { return s.first < cut; });
    if (after != stretches_.begin() && cut < std::prev(after)->second) {
        return std::prev(after)->first;
    }
    return cut;
}

size_t cut_before_secrets(std::string_view text, size_t cut, bool complete) {
    return MaskedStretches(text, cut, complete).cut_before(cut);
}

size_t memory_bytes() {
    if (!any_known()) {
        return 0;
    }
    const std::shared_ptr<const Index> index = current_index();
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    size_t bytes = r.order.capacity() * sizeof(void*) + r.taken_at_start.memory_bytes();
    for (const Level& level : index->levels) {
        bytes +=
            sizeof(Level) + level.patterns->memory_bytes() +
            (level.starts_taken != nullptr ? level.starts_taken->memory_bytes() : 0) +
            (level.beside_escapes != nullptr ? level.beside_escapes->memory_bytes() : 0) +
            (level.heads_taken != nullptr ? level.heads_taken->capacity() * sizeof(HeadTaken) : 0) +
            (level.anchors != nullptr ? level.anchors->memory_bytes() : 0);
    }
    // A node of an unordered set holds its string, a hash and a link; a bucket a pointer.
    bytes += r.known.bucket_count() * sizeof(void*);
    for (const std::string& text : r.known) {
        bytes += sizeof(std::string) + 2 * sizeof(void*) +
                 (text.size() >= sizeof(std::string) ? text.capacity() + 1 : 0);
    }
    return bytes;
}

void forget_all_for_tests() {
    Registry& r = registry();
    std::lock_guard build(r.build_mutex);
    std::lock_guard lock(r.mutex);
    // Emptied to their storage, so that what tests and benchmarks measure next starts afresh.
    decltype(r.known)().swap(r.known);
    decltype(r.order)().swap(r.order);
    r.backslash_ends = false;
    r.taken_at_start = TakenAtStartMemo();
    detail::g_any_known.store(false, std::memory_order_release);
    r.version.fetch_add(1, std::memory_order_release);
    r.index.store(nullptr);
}

void remember_base64_secret(std::string_view text) {
    if (text.size() < kShortestKnownSecret) {
        return;
    }
    remember(text);
    // The other writings are the same key, not a secret of their own: known as they stand and in
    // their canonical form, like the texts the agent makes of secrets.
    for (const std::string& writing : base64_writings(text)) {
        if (writing != text && writing.size() >= kShortestKnownSecret) {
            add_known(kMadeText, writing);
        }
    }
}

}  // namespace quorvel::secrets
