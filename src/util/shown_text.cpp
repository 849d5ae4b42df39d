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

// Where the word that a cut at `kept` splits begins, when the part kept holds a ":" and no "@" and
// the rest of the word an "@": masking could not tell that part's password from a host. `kept`
// otherwise.
size_t word_cut(std::string_view text, size_t kept) {
    if (kept == 0 || kept >= text.size() || ends_word(text[kept])) {
        return kept;
    }
    size_t word = kept;
    while (word > 0 && !ends_word(text[word - 1])) {
        --word;
    }
    const std::string_view head = text.substr(word, kept - word);
    if (head.find('@') != std::string_view::npos || head.find(':') == std::string_view::npos) {
        return kept;
    }
    for (size_t i = kept; i < text.size() && !ends_word(text[i]); ++i) {
        if (text[i] == '@') {
            return word;
        }
    }
    return kept;
}

// Where a cut at `kept` must fall instead so that no start of a password shows: before a known
// secret that would stand across it, and before a word whose user information the cut would split
// from the "@" that tells the masking where it ends ("https://u:pass|word@h"). Each move may
// bring another such case to light (a blank inside a secret begins the word), so the cut moves
// until neither applies: only ever back, so it ends.
size_t safe_cut(std::string_view text, size_t kept) {
    for (;;) {
        kept = secrets::cut_before_secrets(text, kept, /*complete=*/true);
        const size_t word = word_cut(text, kept);
        if (word == kept) {
            return kept;
        }
        kept = word;
    }
}

}  // namespace

std::string bound_outside_text(std::string_view text) {
    if (text.size() <= kOutsideTextBound) {
        return std::string(text);
    }
    // A text bounded before keeps counting what it left out then.
    const auto [left_out, own_end] = left_out_before(text);
    size_t kept = kOutsideTextBound;
    // A UTF-8 continuation byte at the cut would split a character.
    for (int back = 0;
         back < 3 && kept > 0 && (static_cast<unsigned char>(text[kept]) & 0xc0) == 0x80; ++back) {
        --kept;
    }
    kept = safe_cut(text, std::min(kept, own_end));
    std::string out(text.substr(0, kept));
    out += kLeftOutStart;
    out += std::to_string(own_end - kept + left_out);
    out += kLeftOutEnd;
    return out;
}

std::string outside_text(std::string_view text) {
    return mask_credentials(bound_outside_text(text));
}

}  // namespace quorvel
