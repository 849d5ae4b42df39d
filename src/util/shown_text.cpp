#include "util/shown_text.h"

#include <algorithm>
#include <utility>

#include "util/debug_text.h"
#include "util/secrets.h"
#include "util/url.h"

namespace quorvel {

void append_shown(std::string& out, std::string_view text) {
    if (!secrets::any_known()) {
        append_escaping_controls(out, text);
        return;
    }
    append_escaping_controls(out, secrets::hide(text));
}

std::string shown(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    append_shown(out, text);
    return out;
}

void make_shown(std::string& text) {
    if (secrets::any_known()) {
        secrets::hide_in_place(text);
    }
    if (needs_escaping(text)) {
        text = escape_controls(text);
    }
}

namespace {

constexpr std::string_view kLeftOutStart = "... [";
constexpr std::string_view kLeftOutEnd = " bytes left out]";

bool ends_word(char c) {
    return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f;
}

// How many bytes a text bounded before says it left out, and where that note begins; a text that
// is no bounded text has none.
std::pair<size_t, size_t> left_out_before(std::string_view text) {
    if (!text.ends_with(kLeftOutEnd)) {
        return {0, text.size()};
    }
    const std::string_view head = text.substr(0, text.size() - kLeftOutEnd.size());
    const size_t start = head.rfind(kLeftOutStart);
    if (start == std::string_view::npos) {
        return {0, text.size()};
    }
    const std::string_view digits = head.substr(start + kLeftOutStart.size());
    size_t count = 0;
    if (digits.empty() || digits.size() > 18 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return {0, text.size()};
    }
    for (const char c : digits) {
        count = count * 10 + static_cast<size_t>(c - '0');
    }
    return {count, start};
}

// How far past a cut the word it splits is read for what would end a user information.
constexpr size_t kWordLookahead = 16 * kOutsideTextBound;

// Whether `text` holds the percent-encoding "%" `high` `low` at `at`, its hex letter in either
// case.
bool encoded_at(std::string_view text, size_t at, char high, char low) {
    return at + 2 < text.size() && text[at] == '%' && text[at + 1] == high &&
           (text[at + 2] | 0x20) == (low | 0x20);
}

// Where the word that a cut at `kept` splits begins, when the part kept could begin user
// information and the rest could end it: masking could then no longer tell that part's password
// from a host, and would show its start. The part kept could begin it with a ":" plain or encoded
// ("%3A" or "%3a"), which is also what a scheme's "://", "%3A//" and "%3A%2F%2F" hold; the rest
// could end it with an "@" plain or encoded ("%40"). An encoding that the cut splits counts on the
// side where masking would have read it whole. The rest is read up to the word's end, but no
// further than `kWordLookahead`: a word that goes on past that counts as ending a user
// information when the part kept could have begun one after its last "@" ("https://u:pass...", but
// not "https://u:p@h/x..."). `kept` otherwise. Reads at most the word's part before the cut,
// which the bound bounds, and the lookahead.
size_t word_cut(std::string_view text, size_t kept) {
    if (kept == 0 || kept >= text.size() || ends_word(text[kept]) || ends_word(text[kept - 1])) {
        return kept;
    }
    size_t word = kept;
    while (word > 0 && !ends_word(text[word - 1])) {
        --word;
    }
    // Whether the part kept could begin user information, and could still be inside one after
    // its last "@".
    bool opens = false;
    bool open_at_cut = false;
    for (size_t i = word; i < kept; ++i) {
        if (text[i] == ':' || encoded_at(text, i, '3', 'a')) {
            opens = true;
            open_at_cut = true;
        } else if (text[i] == '@' || encoded_at(text, i, '4', '0')) {
            open_at_cut = false;
        }
    }
    if (!opens) {
        return kept;
    }
    // An "%40" that starts up to two bytes before the cut has its end in the rest.
    const size_t end = std::min(text.size(), kept + kWordLookahead);
    for (size_t i = std::max(word, kept - std::min<size_t>(kept, 2)); i < end; ++i) {
        if (i >= kept && ends_word(text[i])) {
            return kept;
        }
        if ((i >= kept && text[i] == '@') || encoded_at(text, i, '4', '0')) {
            return word;
        }
    }
    return end < text.size() && open_at_cut ? word : kept;
}

// Where a cut at `kept` must fall instead so that no start of a password shows: before a known
// secret that would stand across it (`stretches`: what hiding the text would mask, found once), and
// before a word whose user information the cut would split from the "@" that tells the masking
// where it ends ("https://u:pass|word@h"). Each move may bring another such case to light (a blank
// inside a secret begins the word), so the cut moves until neither applies: only ever back, so it
// ends, and at no new search: each move reads only the word it lands in.
size_t safe_cut(std::string_view text, const secrets::MaskedStretches& stretches, size_t kept) {
    for (;;) {
        kept = stretches.cut_before(kept);
        const size_t word = word_cut(text, kept);
        if (word == kept) {
            return kept;
        }
        kept = word;
    }
}

// The stretches that cuts of `text` before `own_end` (where the note of an earlier bound begins)
// must not part: for every cut `cut_at` may make.
secrets::MaskedStretches masked_stretches(std::string_view text, size_t own_end) {
    return secrets::MaskedStretches(text, std::min(kOutsideTextBound, own_end), /*complete=*/true);
}

// Where a text is cut to keep at most `limit` bytes of it (at most `kOutsideTextBound`), before
// `own_end`: on a character boundary, then moved back where `safe_cut` says.
size_t cut_at(std::string_view text, const secrets::MaskedStretches& stretches, size_t limit,
              size_t own_end) {
    size_t kept = std::min(limit, own_end);
    // A UTF-8 continuation byte at the cut would split a character.
    for (int back = 0; back < 3 && kept > 0 && kept < text.size() &&
                       (static_cast<unsigned char>(text[kept]) & 0xc0) == 0x80;
         ++back) {
        --kept;
    }
    return safe_cut(text, stretches, kept);
}

// Whether the rest of a URL value cut at `kept` could end its user information: it holds an "@"
// or "%40" (one that the cut splits counts), or goes on past the lookahead.
bool rest_may_end_userinfo(std::string_view text, size_t kept) {
    const size_t end = std::min(text.size(), kept + kWordLookahead);
    for (size_t i = kept - std::min<size_t>(kept, 2); i < end; ++i) {
        if ((i >= kept && text[i] == '@') || encoded_at(text, i, '4', '0')) {
            return true;
        }
    }
    return end < text.size();
}

std::string left_out_note(size_t count) {
    std::string note(kLeftOutStart);
    note += std::to_string(count);
    note += kLeftOutEnd;
    return note;
}

}  // namespace

std::string bound_outside_text(std::string_view text) {
    if (text.size() <= kOutsideTextBound) {
        return std::string(text);
    }
    // A text bounded before keeps counting what it left out then.
    const auto [left_out, own_end] = left_out_before(text);
    const size_t kept = cut_at(text, masked_stretches(text, own_end), kOutsideTextBound, own_end);
    return std::string(text.substr(0, kept)) + left_out_note(own_end - kept + left_out);
}

std::string outside_text(std::string_view text) {
    if (text.size() <= kOutsideTextBound) {
        std::string masked = mask_credentials(text);
        if (masked.size() <= kOutsideTextBound) {
            return masked;
        }
    }
    const auto [left_out, own_end] = left_out_before(text);
    const secrets::MaskedStretches stretches = masked_stretches(text, own_end);
    size_t kept = cut_at(text, stretches, kOutsideTextBound, own_end);
    std::string masked = mask_credentials(text.substr(0, kept));
    if (masked.size() > kOutsideTextBound) {
        // A mask may be longer than what it hides ("u:p@" shows "****:****@"): the part kept is
        // shortened until its masked form fits, so that taking the text in again finds nothing
        // to cut. The longest cut that fits is searched for, each try masking at most the bound.
        // Targets up to `fits` give a cut that fits (0 always does), from `too_long` on none.
        size_t fits = 0;
        size_t too_long = kept;
        kept = 0;
        masked.clear();
        while (too_long - fits > 1) {
            const size_t target = fits + (too_long - fits) / 2;
            const size_t cut = cut_at(text, stretches, target, own_end);
            std::string tried = mask_credentials(text.substr(0, cut));
            if (tried.size() > kOutsideTextBound) {
                too_long = target;
                continue;
            }
            fits = target;
            if (cut > kept) {
                kept = cut;
                masked = std::move(tried);
            }
        }
    }
    return masked + left_out_note(own_end - kept + left_out);
}

std::string outside_url_text(std::string_view text) {
    if (text.size() <= kOutsideTextBound) {
        return outside_text(mask_url_text(text));
    }
    const auto [left_out, own_end] = left_out_before(text);
    size_t kept = cut_at(text, masked_stretches(text, own_end), kOutsideTextBound, own_end);
    // Masked as a URL value, all that stands before an "@" is hidden: a part kept that one
    // after the cut would have hidden is kept not at all.
    if (rest_may_end_userinfo(text.substr(0, own_end), kept)) {
        kept = 0;
    }
    return outside_text(mask_url_text(text.substr(0, kept)) +
                        left_out_note(own_end - kept + left_out));
}

}  // namespace quorvel
