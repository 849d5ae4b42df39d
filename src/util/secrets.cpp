#include "util/secrets.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <utility>
#include <vector>

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

// The forms of a known text, as the registry keeps it: its kind, then the text.
std::vector<std::string> forms_of_known(std::string_view kept) {
    const std::string_view text = kept.substr(1);
    if (kept.front() == kSecret) {
        return forms_of(text);
    }
    std::vector<std::string> forms{std::string(text)};
    if (std::string c = canonical(text); c != text) {
        forms.push_back(std::move(c));
    }
    return forms;
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
    // Whether some secret, as given or percent-decoded, starts or ends with a backslash.
    bool backslash_ends = false;
    // Counts the additions; the index is built anew for a newer one.
    std::atomic<uint64_t> version{0};
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

std::shared_ptr<const PatternIndex> build_level(const Registry& r, size_t first, size_t count) {
    std::vector<std::string> forms;
    for (size_t i = first; i < first + count; ++i) {
        for (std::string& form : forms_of_known(*r.order[i])) {
            forms.push_back(std::move(form));
        }
    }
    return std::make_shared<const PatternIndex>(
        std::vector<std::string_view>(forms.begin(), forms.end()));
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
        levels.push_back(Level{first, r.order.size() - first, nullptr});
        while (levels.size() >= 2 &&
               levels.back().count * kLevelRatio > levels[levels.size() - 2].count) {
            const size_t joined = levels.back().count;
            levels.pop_back();
            levels.back().count += joined;
            levels.back().patterns = nullptr;
        }
        for (Level& level : levels) {
            if (level.patterns == nullptr) {
                level.patterns = build_level(r, level.first, level.count);
            }
        }
    }
    for (const Level& level : levels) {
        built->longest = std::max(built->longest, level.patterns->longest());
    }
    r.index.store(built);
    return built;
}

using Stretches = std::vector<std::pair<size_t, size_t>>;

// The length of the backslash, plain or percent-encoded, that ends at `at` (`before`) or starts
// there; 0 when there is none.
size_t backslash_at(std::string_view text, size_t at, bool before) {
    const auto encoded = [&](size_t i) {
        return i + 3 <= text.size() && text[i] == '%' && text[i + 1] == '5' &&
               (text[i + 2] | 0x20) == 'c';
    };
    if (before) {
        if (at >= 1 && text[at - 1] == '\\') {
            return 1;
        }
        return at >= 3 && encoded(at - 3) ? 3 : 0;
    }
    if (at < text.size() && text[at] == '\\') {
        return 1;
    }
    return encoded(at) ? 3 : 0;
}

// A stretch of the canonical view widened over the backslashes that touch it: a secret's own
// backslashes at its ends are read as escaping what stands beside it, or dropped from a long run.
// Only while some secret starts or ends with one, since it also takes in the backslash of an
// escape beside a secret (`\"`).
std::pair<size_t, size_t> widened_over_backslashes(std::string_view text, size_t begin,
                                                   size_t end) {
    for (size_t n; (n = backslash_at(text, begin, true)) != 0;) {
        begin -= n;
    }
    for (size_t n; (n = backslash_at(text, end, false)) != 0;) {
        end += n;
    }
    return {begin, end};
}

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
    if (unfinished_at < text.size()) {
        out.emplace_back(unfinished_at, SIZE_MAX - shift);
    }
    if (may_differ_from_canonical(text)) {
        const CanonicalView view = canonical_view(text);
        Stretches found;
        unfinished_at = view.bytes.size();
        for (const Level& level : known.levels) {
            level.patterns->find(view.bytes, found);
            if (unfinished) {
                unfinished_at =
                    std::min(unfinished_at, level.patterns->unfinished_at_end(view.bytes));
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
    std::sort(stretches.begin(), stretches.end());
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

// `text` with each stretch replaced by the mask. `masks` holds where masks stand in `text`, none
// inside a stretch, and becomes where every mask stands in what it returns.
std::string with_stretches_masked(std::string_view text, const Stretches& stretches,
                                  Stretches& masks) {
    std::string out;
    out.reserve(text.size());
    Stretches moved;
    moved.reserve(masks.size() + stretches.size());
    size_t m = 0;
    size_t copied = 0;
    // Copies the text up to `end`, with the masks that stand in it.
    const auto copy_to = [&](size_t end) {
        for (; m < masks.size() && masks[m].first < end; ++m) {
            moved.emplace_back(out.size() + (masks[m].first - copied),
                               out.size() + (masks[m].second - copied));
        }
        out.append(text, copied, end - copied);
    };
    for (const auto& [start, end] : stretches) {
        copy_to(start);
        moved.emplace_back(out.size(), out.size() + kMask.size());
        out += kMask;
        copied = end;
    }
    copy_to(text.size());
    masks = std::move(moved);
    return out;
}

}  // namespace

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
            r.backslash_ends = r.backslash_ends || given.starts_with('\\') || given.ends_with('\\');
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
    // Read as given, then again (`kHideReadings`); what takes in a mask is no occurrence, and
    // reading it as one would eat the text a mask at a time.
    Stretches masks;
    for (int reading = 0; reading < kHideReadings; ++reading) {
        Stretches stretches;
        find_forms(*index, text, 0, stretches, false);
        join(stretches);
        size_t m = 0;
        std::erase_if(stretches, [&](const std::pair<size_t, size_t>& s) {
            while (m < masks.size() && masks[m].second <= s.first) {
                ++m;
            }
            return m < masks.size() && masks[m].first < s.second;
        });
        if (stretches.empty()) {
            return;
        }
        text = with_stretches_masked(text, stretches, masks);
    }
}

size_t cut_before_secrets(std::string_view text, size_t cut, bool complete) {
    if (!any_known()) {
        return cut;
    }
    const std::shared_ptr<const Index> index = current_index();
    if (index->longest == 0) {
        return cut;
    }
    // Only a form that stands across the cut moves it, and no form reaches further than this. A
    // chain of forms that overlap one another may reach back further than one such window, so the
    // cut moves window by window until no form stands across it; each window after the first
    // only asks what stands across the cut, as a complete text.
    const size_t reach = index->longest * kLongestCanonicalReach;
    for (bool first = true;; first = false) {
        const size_t begin = cut - std::min(cut, reach);
        const size_t end = complete || !first ? std::min(text.size(), cut + reach) : text.size();
        Stretches stretches;
        find_forms(*index, text.substr(begin, end - begin), begin, stretches, first && !complete);
        join(stretches);
        size_t moved = cut;
        for (const auto& [start, stop] : stretches) {
            if (start < cut && cut < stop) {
                moved = start;
                break;
            }
        }
        if (moved == cut) {
            return cut;
        }
        cut = moved;
    }
}

size_t memory_bytes() {
    if (!any_known()) {
        return 0;
    }
    const std::shared_ptr<const Index> index = current_index();
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    size_t bytes = r.order.capacity() * sizeof(void*);
    for (const Level& level : index->levels) {
        bytes += sizeof(Level) + level.patterns->memory_bytes();
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
    detail::g_any_known.store(false, std::memory_order_release);
    r.version.fetch_add(1, std::memory_order_release);
    r.index.store(nullptr);
}

}  // namespace quorvel::secrets
