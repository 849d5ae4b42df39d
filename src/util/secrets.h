// The agent's own secrets, known by value: the user information of the controller URL and of every
// network URL, the controller's shared secret, and the user information of the proxy settings
// libcurl reads. Whatever quotes one of them (a library's message, a server's answer, a reader's
// message), the log and the status report show the mask in its place.
//
// One process-wide set, filled whenever the agent reads a secret and never emptied while the
// process runs: a text written after a network was removed may still quote its URL. Each secret is
// kept in the forms a message may quote it in (`secret_forms.h`): as given, percent-decoded,
// percent-encoded, escaped as the debug form quotes it, inside base64 at each byte alignment, read
// as Latin-1 or Windows-1252, in NFC and NFD; the Basic credentials the HTTP client sends for a
// URL's user information are known too. Each form is also known in its canonical form
// (`canonical_view.h`), which finds it wherever an encoder wrote it: percent-encoded in any case of
// hex, with "+" for a blank, escaped by JSON, the debug form or another language any number of
// times over, as HTML's character references, or with U+FFFD for its bytes that are not UTF-8.
// One search of a text finds every form of every secret, at a cost per byte of the text that is
// bounded whatever the secrets are (`secret_search.h`).
// Secrets shorter than `kShortestKnownSecret` bytes are left to the masking rule
// (`mask_credentials`), since hiding every occurrence of two letters would hide ordinary words.
//
// Any thread may add or hide; hiding reads one immutable index and takes no lock, but for the first
// hide after additions, which indexes what they added.
#pragma once

#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quorvel::secrets {

inline constexpr size_t kShortestKnownSecret = 4;
// What stands where a known secret stood.
inline constexpr std::string_view kMask = "****";

// Adds `secret` in its raw, percent-decoded and percent-encoded forms.
void remember(std::string_view secret);

// Adds a secret written in base64 (the controller's shared secret): as given, in every form
// `remember` adds, and written in the other alphabet and padding (`base64_writings`), each as it
// stands and in its canonical form, since another encoder may write the same key so. A text that
// is no base64 is known as given alone.
void remember_base64_secret(std::string_view text);

// Adds the user information of a URL text as a URL parser reads it: past the scheme's "//", up to
// the last "@" before the path, query or fragment. The password on its own is added too, since a
// message may quote it alone; and both as typed, as the parser reads the text (without the tabs and
// line breaks it drops) and as the normalised URL writes them.
void remember_url_userinfo(std::string_view url_text);

// Adds the user information of the proxy variables libcurl reads (http_proxy, https_proxy,
// all_proxy, in either case) as the process's environment holds them now. A setting libcurl
// refuses is as secret as a good one, and it quotes it whole: each is read leniently too, from
// past the scheme's "//" (or from the start when there is none) up to the last "@".
void remember_proxy_settings();
// The same for one proxy setting: what the HTTP client hands libcurl for a request.
void remember_proxy_setting(std::string_view setting);

namespace detail {
extern std::atomic<bool> g_any_known;
}  // namespace detail

// Whether any secret is known: what lets a text skip the search when none is, with one load.
inline bool any_known() {
    return detail::g_any_known.load(std::memory_order_acquire);
}

// How many times hiding reads a text at the most: the text as given, then what masking made of it,
// until a reading finds nothing more. A mask changes how what stands beside it reads (an escape
// that began in a secret no longer takes in the text behind it), so what a reading shows is hidden
// too, but only where it takes in no part of a mask, or of any run of stars as long as one: a mask
// and its neighbours are no occurrence of a secret ("a***" known, "aaa***" shows as "aa****").
// Each reading that masks makes the text shorter or adds stars, so the readings end; the bound
// only caps what a text built to need many costs.
inline constexpr int kMostHideReadings = 16;

// `text` with every occurrence of every form of a known secret replaced by `kMask`.
std::string hide(std::string_view text);
// The same in place; leaves `text` alone, without copying, when it quotes no known secret.
void hide_in_place(std::string& text);

// Where a text cut at `cut` must end instead so that what it keeps shows no start of a known
// secret: moved back to the start of every form of a secret that would stand across the cut, until
// none does: to the start of the first of a chain of forms that overlap one another, and before
// all that hiding the whole text would mask of a form, however far it reaches (a run of
// backslashes or of bytes that are not UTF-8 of any length inside it or beside it). `text` holds
// what followed the cut as far as it is known; when `complete` is false, a library cut the text at
// its end and anything may have followed, so a form whose start the text ends with counts too
// ("quoting 'pu:pa sec" keeps "quoting 'pu:"). What follows the cut decides: a run of letters that
// a secret merely starts with is kept when the text shows it goes on otherwise. Reads the text up
// to the cut and past it as far as a form that starts before it may reach, measured (about the
// longest form known), searching it once.
size_t cut_before_secrets(std::string_view text, size_t cut, bool complete);

// The stretches of a text that hiding it whole would mask, as far as they bear on cuts at or
// before `last_cut`, found in one search: what lets a caller that moves a cut back for reasons of
// its own too, or tries several cuts, ask again and again at no further search.
class MaskedStretches {
  public:
    MaskedStretches(std::string_view text, size_t last_cut, bool complete);

    // Where a cut at `cut`, at most `last_cut`, must end instead, as `cut_before_secrets` says.
    size_t cut_before(size_t cut) const;

    // Sorted, those that overlap joined into one; none that starts at or after `last_cut`.
    const std::vector<std::pair<size_t, size_t>>& stretches() const { return stretches_; }

  private:
    std::vector<std::pair<size_t, size_t>> stretches_;
};

// The bytes the known secrets take, their index included.
size_t memory_bytes();

// Forgets every secret. Only tests call it, before they check what a known secret does.
void forget_all_for_tests();

}  // namespace quorvel::secrets
