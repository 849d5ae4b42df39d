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
// known secret that would stand across the cut, and before a password whose "@" the cut would
// take from it, followed by how many bytes were left out:
// "... [4194304 bytes left out]". A text within the bound comes back as it is.
std::string bound_outside_text(std::string_view text);

// Text from outside as an error keeps it: cut to the bound (`bound_outside_text`), then the
// credentials of what was kept masked (`mask_credentials`), so masking never costs more than the
// bound. Every place where outside text enters an error goes through it.
std::string outside_text(std::string_view text);

}  // namespace quorvel
