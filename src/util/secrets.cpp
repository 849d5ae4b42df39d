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

#include "util/debug_text.h"
#include "util/secret_search.h"
#include "util/snapshot_slot.h"
#include "util/unicode.h"
#include "util/url.h"

namespace quorvel::secrets {

namespace detail {
constinit std::atomic<bool> g_any_known{false};
}  // namespace detail

namespace {

bool is_unreserved(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

std::string percent_encoded(std::string_view text, bool upper) {
    const char* hex = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string out;
    out.reserve(text.size() * 3);
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (is_unreserved(ch)) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 0xf]);
        }
    }
    return out;
}

// `text` with each run of bytes that are not UTF-8 replaced by U+FFFD, as a decoder hands it on.
std::string with_replacements(std::string_view text) {
    std::string out;
    bool replacing = false;
    for (size_t i = 0; i < text.size();) {
        const size_t length = utf8_sequence_length(text, i);
        if (length == 0) {
            if (!replacing) {
                out += "\xef\xbf\xbd";
            }
            replacing = true;
            ++i;
            continue;
        }
        out.append(text, i, length);
        replacing = false;
        i += length;
    }
    return out;
}

// The index of every form of every known secret, as of one version of the set.
struct Index {
    uint64_t version = 0;
    PatternIndex patterns;
    // Whether some secret starts or ends with a backslash (`widened_over_backslashes`).
    bool backslash_ends = false;
};

struct Registry {
    std::mutex mutex;                       // serialises additions
    std::unordered_set<std::string> known;  // as given, to tell a secret known already
    // Every form of every secret, each once, in the order they came.
    std::unordered_set<std::string> forms;
    std::vector<const std::string*> order;
    // Whether some secret, as given or percent-decoded, starts or ends with a backslash.
    bool backslash_ends = false;
    // Counts the additions that brought new forms; the index is built anew for a newer one.
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

// The forms in which a message may quote `secret`: as given, percent-decoded, percent-encoded in
// either case of hex, quoted in the debug form, and read back to the canonical form that finds
// whatever else an encoder wrote.
std::vector<std::string> forms_of(std::string_view secret) {
    const std::string decoded = percent_decode(secret);
    auto escaped = [](std::string_view text) {
        const std::string quoted = debug_quoted(text);
        return quoted.substr(1, quoted.size() - 2);
    };
    std::vector<std::string> forms;
    for (std::string form :
         {std::string(secret), decoded, percent_encoded(decoded, true),
          percent_encoded(decoded, false), escaped(secret), escaped(decoded), canonical(secret),
          canonical(decoded), canonical(with_replacements(secret)),
          canonical(with_replacements(decoded))}) {
        if (form.size() >= kShortestKnownSecret &&
            std::find(forms.begin(), forms.end(), form) == forms.end()) {
            forms.push_back(std::move(form));
        }
    }
    return forms;
}

// The index for every secret known now: built anew by the first reader that finds the one
// published older than the set, so that many additions in a row cost one build.
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
    std::vector<std::string_view> forms;
    forms.reserve(r.order.size());
    for (const std::string* form : r.order) {
        forms.emplace_back(*form);
    }
    auto built = std::make_shared<const Index>(
        Index{r.version.load(std::memory_order_relaxed), PatternIndex(forms), r.backslash_ends});
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
    const PatternIndex& index = known.patterns;
    const size_t first = out.size();
    index.find(text, out);
    if (unfinished) {
        if (const size_t t = index.unfinished_at_end(text); t < text.size()) {
            out.emplace_back(t, SIZE_MAX - shift);
        }
    }
    if (may_differ_from_canonical(text)) {
        const CanonicalView view = canonical_view(text);
        Stretches found;
        index.find(view.bytes, found);
        for (const auto& [begin, end] : found) {
            if (known.backslash_ends) {
                out.emplace_back(
                    widened_over_backslashes(text, view.from[begin], view.to[end - 1]));
            } else {
                out.emplace_back(view.from[begin], view.to[end - 1]);
            }
        }
        if (unfinished) {
            if (const size_t t = index.unfinished_at_end(view.bytes); t < view.bytes.size()) {
                out.emplace_back(view.from[t], SIZE_MAX - shift);
            }
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

void remember(std::string_view secret) {
    if (secret.size() < kShortestKnownSecret) {
        return;
    }
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (!r.known.emplace(secret).second) {
        return;
    }
    const std::string decoded = percent_decode(secret);
    for (const std::string_view given : {secret, std::string_view(decoded)}) {
        r.backslash_ends = r.backslash_ends || given.starts_with('\\') || given.ends_with('\\');
    }
    bool added = false;
    for (std::string& form : forms_of(secret)) {
        if (auto [at, inserted] = r.forms.insert(std::move(form)); inserted) {
            r.order.push_back(&*at);
            added = true;
        }
    }
    if (added) {
        r.version.fetch_add(1, std::memory_order_release);
        detail::g_any_known.store(true, std::memory_order_release);
    }
}

namespace {

void remember_userinfo(std::string_view userinfo) {
    remember(userinfo);
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
    // A mask changes how what stands beside it reads (an escape that began in a secret no longer
    // takes in the text behind it), so the masked text is searched again until nothing changes.
    for (;;) {
        Stretches stretches;
        find_forms(*index, text, 0, stretches, false);
        if (stretches.empty()) {
            return;
        }
        join(stretches);
        std::string masked = with_stretches_masked(text, stretches);
        if (masked == text) {
            return;
        }
        text = std::move(masked);
    }
}

size_t cut_before_secrets(std::string_view text, size_t cut, bool complete) {
    if (!any_known()) {
        return cut;
    }
    const std::shared_ptr<const Index> index = current_index();
    if (index->patterns.empty()) {
        return cut;
    }
    // Only a form that stands across the cut moves it, and no form reaches further than this. A
    // chain of forms that overlap one another may reach back further than one such window, so the
    // cut moves window by window until no form stands across it; each window after the first
    // only asks what stands across the cut, as a complete text.
    const size_t reach = index->patterns.longest() * kLongestCanonicalReach;
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
    size_t bytes = index->patterns.memory_bytes() + r.order.capacity() * sizeof(void*);
    // A node of an unordered set holds its string, a hash and a link; a bucket a pointer.
    for (const auto* set : {&r.known, &r.forms}) {
        bytes += set->bucket_count() * sizeof(void*);
        for (const std::string& text : *set) {
            bytes += sizeof(std::string) + 2 * sizeof(void*) +
                     (text.size() >= sizeof(std::string) ? text.capacity() + 1 : 0);
        }
    }
    return bytes;
}

void forget_all_for_tests() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    // Emptied to their storage, so that what tests and benchmarks measure next starts afresh.
    decltype(r.known)().swap(r.known);
    decltype(r.order)().swap(r.order);
    decltype(r.forms)().swap(r.forms);
    r.backslash_ends = false;
    detail::g_any_known.store(false, std::memory_order_release);
    r.version.fetch_add(1, std::memory_order_release);
    r.index.store(nullptr);
}

}  // namespace quorvel::secrets
