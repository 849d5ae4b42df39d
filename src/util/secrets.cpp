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
#include "util/snapshot_slot.h"
#include "util/url.h"

namespace quorvel::secrets {

namespace detail {
constinit std::atomic<bool> g_any_known{false};
}  // namespace detail

namespace {

// The longest anchor searched for: longer ones select no better and cost more to compare.
constexpr size_t kLongestAnchor = 16;

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

// A piece of `secret` that every one of its forms holds, up to `kLongestAnchor` bytes: the longest
// run of unreserved characters that stand for themselves (no part of a percent-encoding), which
// decoding, encoding and quoting leave as they are. Empty when there is none of two bytes or more.
// Linear in the secret, however long a configuration made it.
std::string common_piece(std::string_view secret, const std::vector<std::string>& forms) {
    std::string_view best;
    size_t run = 0;
    for (size_t i = 0; i <= secret.size(); ++i) {
        const bool plain = i < secret.size() && is_unreserved(secret[i]) &&
                           !(i >= 1 && secret[i - 1] == '%') && !(i >= 2 && secret[i - 2] == '%');
        if (plain) {
            if (i - run + 1 > best.size() && best.size() < kLongestAnchor) {
                best = secret.substr(run, std::min(i - run + 1, kLongestAnchor));
            }
            continue;
        }
        run = i + 1;
    }
    if (best.size() < 2 || !std::all_of(forms.begin(), forms.end(), [&](const std::string& form) {
            return form.find(best) != std::string::npos;
        })) {
        return {};
    }
    return std::string(best);
}

// How common a byte is in the text the agent logs, from rare (0) to common: lines are mostly
// lower-case words, hexadecimal keys, numbers, blanks and a little punctuation.
int commonness(unsigned char c) {
    constexpr std::string_view kLowerByCommonness = "zqjxkvbpygfwmucldrhsnioate";
    if (c >= 'a' && c <= 'z') {
        return 2 + static_cast<int>(kLowerByCommonness.find(static_cast<char>(c)));
    }
    if ((c >= '0' && c <= '9') ||
        std::string_view(" .:/=_-,()'\"").find(static_cast<char>(c)) != std::string_view::npos) {
        return 30;
    }
    return c >= 'A' && c <= 'Z' ? 1 : 0;
}

// Forms searched for by one anchor that each of them holds: the text is searched once for the
// anchor, and only where it stands are the forms compared.
struct Group {
    std::string anchor;
    // Where the anchor's rarest byte stands in it: what the search looks for.
    size_t rare_at = 0;
    // Each form with the offset at which it first holds the anchor: every occurrence of a form
    // holds the anchor there, so the search meets each of them.
    std::vector<std::pair<std::string, size_t>> forms;
};

Group make_group(std::string anchor, const std::vector<std::string>& forms) {
    Group group{std::move(anchor), 0, {}};
    for (size_t i = 1; i < group.anchor.size(); ++i) {
        if (commonness(static_cast<unsigned char>(group.anchor[i])) <
            commonness(static_cast<unsigned char>(group.anchor[group.rare_at]))) {
            group.rare_at = i;
        }
    }
    for (const std::string& form : forms) {
        group.forms.emplace_back(form, form.find(group.anchor));
    }
    return group;
}

// One group of the known secrets, in a list that only grows: an addition puts its groups in front,
// and every published head shares the nodes behind it, so memory grows with the secrets alone.
struct Node {
    Group group;
    // Mutable so that the destructor below may take it from a node it releases.
    mutable std::shared_ptr<const Node> next;

    Node(Group g, std::shared_ptr<const Node> n) : group(std::move(g)), next(std::move(n)) {}
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;
    // Releases a long list node by node: released recursively, it could exhaust a small stack.
    // A node that no other list shares is owned by its predecessor alone.
    ~Node() {
        std::shared_ptr<const Node> rest = std::move(next);
        while (rest && rest.use_count() == 1) {
            rest = std::move(rest->next);
        }
    }
};

using List = std::shared_ptr<const Node>;

struct Registry {
    std::mutex mutex;                       // serialises additions
    std::unordered_set<std::string> known;  // as given, to tell a secret known already
    // Read by every log line that is written while a secret is known.
    SnapshotSlot<Node> head{nullptr};
};

// Never destroyed: runtime threads may log while the process's static destructors run.
Registry& registry() {
    static Registry* const r = new Registry;
    return *r;
}

// The groups that find every form of `secret`.
std::vector<Group> groups_of(std::string_view secret) {
    std::vector<std::string> forms{std::string(secret)};
    const std::string decoded = percent_decode(secret);
    // A message may quote a secret in the debug form, its quotes, backslashes and control
    // characters escaped, before the pipeline sees it.
    auto escaped = [](std::string_view text) {
        const std::string quoted = debug_quoted(text);
        return quoted.substr(1, quoted.size() - 2);
    };
    for (std::string form : {decoded, percent_encoded(decoded, true),
                             percent_encoded(decoded, false), escaped(secret), escaped(decoded)}) {
        if (form.size() >= kShortestKnownSecret &&
            std::find(forms.begin(), forms.end(), form) == forms.end()) {
            forms.push_back(std::move(form));
        }
    }
    // A piece every form shares finds all of them in one search; forms that share too little are
    // searched for each by itself.
    if (std::string piece = common_piece(secret, forms); !piece.empty()) {
        return {make_group(std::move(piece), forms)};
    }
    std::vector<Group> groups;
    for (const auto& form : forms) {
        groups.push_back(make_group(form.substr(0, kLongestAnchor), {form}));
    }
    return groups;
}

// Calls `found` with every position of `group`'s anchor in `text`. The text is searched for the
// anchor's rarest byte with `memchr`, which the C library runs many bytes at a step; only where
// that byte stands is the anchor compared. Most lines hold no secret, and few of their bytes are
// the rare one.
template <class Found>
void for_each_anchor(std::string_view text, const Group& group, Found found) {
    const std::string_view anchor = group.anchor;
    if (text.size() < anchor.size()) {
        return;
    }
    const char* const begin = text.data();
    const char* const last_start = begin + (text.size() - anchor.size());
    const char* const end = begin + text.size();
    const size_t offset = group.rare_at;
    for (const char* at = begin + offset; at < end; ++at) {
        at = static_cast<const char*>(
            std::memchr(at, anchor[offset], static_cast<size_t>(end - at)));
        if (at == nullptr) {
            return;
        }
        const char* start = at - offset;
        if (start > last_start) {
            return;
        }
        if (std::memcmp(start, anchor.data(), anchor.size()) == 0) {
            found(static_cast<size_t>(start - begin));
        }
    }
}

// The stretches of `text` that a known form covers, sorted and merged.
std::vector<std::pair<size_t, size_t>> covered(const Node* list, std::string_view text) {
    std::vector<std::pair<size_t, size_t>> stretches;
    for (const Node* node = list; node != nullptr; node = node->next.get()) {
        const Group& group = node->group;
        for_each_anchor(text, group, [&](size_t hit) {
            for (const auto& [form, offset] : group.forms) {
                if (hit >= offset && text.substr(hit - offset, form.size()) == form) {
                    stretches.emplace_back(hit - offset, hit - offset + form.size());
                }
            }
        });
    }
    if (stretches.size() > 1) {
        std::sort(stretches.begin(), stretches.end());
        size_t kept = 0;
        for (size_t i = 1; i < stretches.size(); ++i) {
            // Stretches that overlap are hidden as one; two secrets side by side show two masks.
            if (stretches[i].first < stretches[kept].second) {
                stretches[kept].second = std::max(stretches[kept].second, stretches[i].second);
            } else {
                stretches[++kept] = stretches[i];
            }
        }
        stretches.resize(kept + 1);
    }
    return stretches;
}

std::string with_stretches_masked(std::string_view text,
                                  const std::vector<std::pair<size_t, size_t>>& stretches) {
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
    List head = r.head.load();
    for (Group& group : groups_of(secret)) {
        head = std::make_shared<const Node>(std::move(group), std::move(head));
    }
    r.head.store(std::move(head));
    detail::g_any_known.store(true, std::memory_order_release);
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

void remember_url_userinfo(std::string_view url_text) {
    const size_t start = userinfo_start(url_text, url_text.find('@'));
    const std::string_view authority =
        url_text.substr(start, url_text.find_first_of("/?#", start) - start);
    if (const size_t at = authority.rfind('@'); at != std::string_view::npos) {
        remember_userinfo(authority.substr(0, at));
    }
}

void remember_proxy_settings() {
    for (const char* name :
         {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"}) {
        const char* value = std::getenv(name);
        if (value == nullptr) {
            continue;
        }
        const std::string_view setting(value);
        remember_url_userinfo(setting);
        if (const size_t last_at = setting.rfind('@'); last_at != std::string_view::npos) {
            const size_t start = userinfo_start(setting, last_at);
            remember_userinfo(setting.substr(start, last_at - start));
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
    const List list = registry().head.load();
    if (const auto stretches = covered(list.get(), text); !stretches.empty()) {
        text = with_stretches_masked(text, stretches);
    }
}

size_t cut_before_secrets(std::string_view text, size_t cut, bool complete) {
    if (!any_known()) {
        return cut;
    }
    const List list = registry().head.load();
    // Whether the form `f` may stand at `start`: whole within the text, or, past the end of a text
    // cut short, as far as the text goes.
    auto stands_at = [&](std::string_view f, size_t start) {
        if (start + f.size() <= text.size()) {
            return text.compare(start, f.size(), f) == 0;
        }
        return !complete && f.starts_with(text.substr(start));
    };
    // The earliest start of a form that would reach past `at`; `at` when none would.
    auto earliest_across = [&](size_t at) {
        size_t earliest = at;
        for (const Node* node = list.get(); node != nullptr; node = node->next.get()) {
            for (const auto& form : node->group.forms) {
                const std::string_view f = form.first;
                for (size_t start = at - std::min(at, f.size() - 1); start < earliest; ++start) {
                    if (stands_at(f, start)) {
                        earliest = start;
                        break;
                    }
                }
            }
        }
        return earliest;
    };
    for (size_t moved = earliest_across(cut); moved != cut; moved = earliest_across(cut)) {
        cut = moved;
    }
    return cut;
}

void forget_all_for_tests() {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    r.known.clear();
    detail::g_any_known.store(false, std::memory_order_release);
    r.head.store(nullptr);
}

}  // namespace quorvel::secrets
