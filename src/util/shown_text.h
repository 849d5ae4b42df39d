// The one way a text reaches a person, in a log line or a value of the status report: the agent's
// own secrets it quotes are hidden, then its control characters and the bytes that are not UTF-8
// are escaped. In that order, so that a secret holding a control character is found as it was
// given; and after credentials of URLs were masked where the text came in (`mask_credentials`).
//
// And the bound on text from outside (an HTTP answer's body, a library's or a reader's message)
// where it enters an error, so that no line or value that quotes it grows with it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorvel {

// Appends `text` as a person is shown it.
void append_shown(std::string& out, std::string_view text);
std::string shown(std::string_view text);
// The same in place: copies nothing when, as almost always, nothing is hidden or escaped.
void make_shown(std::string& text);

// How much outside text an error keeps.
inline constexpr size_t kOutsideTextBound = 1024;

// At most `kOutsideTextBound` bytes of `text`, cut before a character that would not fit, before a
// known secret that would stand across the cut, and before a word (a run without blanks and
// control characters) that the cut would split between a part that could begin user information
// (a ":", or "%3A" in either case: a scheme's "://", "%3A//" and "%3A%2F%2F" hold one) and a rest
// that could end it (an "@" or "%40"), followed by how many bytes were left out:
// "... [4194304 bytes left out]". A text within the bound comes back as it is. A text that ends
// as a bounded one does counts what that one left out too, and comes back as it is when its part
// before the note is within the bound. Reads at most the bound and the word that the cut splits,
// up to 16 KiB of it past the cut: a word that goes on further counts as ending user information
// when its part kept holds a ":" or "%3A" after its last "@" or "%40". While secrets are known it
// also reads past the cut as far as a form of one that starts before the cut may reach (about the
// longest form, further only where a run of backslashes or of bytes that are not UTF-8 stretches
// one), and searches that once for every move of the cut (`secrets::MaskedStretches`).
std::string bound_outside_text(std::string_view text);

// Text from outside as an error keeps it: cut as `bound_outside_text` cuts it, then the
// credentials of what was kept masked (`mask_credentials`), so masking never costs more than the
// bound. Where masking makes the part kept longer than the bound ("u:p@" shows "****:****@"), the
// cut moves back until it fits. So taking a text in twice changes nothing:
// `outside_text(outside_text(t)) == outside_text(t)`. Every place where outside text (an HTTP
// answer's body, a library's or a reader's message, a value a reader quotes, a server's URL)
// enters an error or a log line goes through it, once, where it comes in.
std::string outside_text(std::string_view text);

// The same for a text that is meant as one URL (a value a reader quotes, where a URL is a likely
// mistake; the URL a request failed on): masked as a URL value (`mask_url_text`), which also hides
// a user name typed without a scheme or a password ("s3cr/et@h" shows "****:****@h"). Within the
// bound that is `outside_text(mask_url_text(text))`. Past it, the text is cut as `outside_text`
// cuts it, but to nothing when an "@" or "%40" follows the cut (within 16 KiB of it, or the text
// goes on further), since masking the whole would have hidden all before it; then the part kept is
// masked as a URL value and taken in through `outside_text`.
std::string outside_url_text(std::string_view text);

}  // namespace quorvel
