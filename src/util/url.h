// An absolute URL in normalised form: the value that names a network and keys the network map,
// so that two texts naming the same resource give equal values. Equality, order and hashing are
// those of the normalised text.
//
// Normalisation: the scheme is lower-cased and an empty password or user information is dropped;
// for http, https, ws, wss, ftp and file the host is lower-cased, a default port is dropped, dot
// segments are resolved and an empty path becomes "/"; every other scheme (notably "controller")
// keeps the rest of the text as written. A file URL holds no user information and no port.
#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "util/result.h"

namespace quorvel {

class UrlError {
  public:
    explicit UrlError(std::string message) : message_(std::move(message)) {}
    const std::string& to_string() const { return message_; }
    bool operator==(const UrlError&) const = default;

  private:
    std::string message_;
};

class Url {
  public:
    static Result<Url, UrlError> parse(std::string_view text);

    // The normalised text, credentials included. Only what must carry the URL exactly asks for
    // it (the configuration file, the request sent, the host's network list, the report with
    // secrets); everything shown to a person goes through `mask_url` or the formatter.
    const std::string& raw_text() const { return text_; }

    // Lower case, without the ":".
    std::string scheme() const;
    // The host as written in the normalised text (IPv6 literals keep their brackets); absent
    // when the URL has no authority or an empty host ("file:///x").
    std::optional<std::string> host_str() const;
    // The explicit port; a default port of a special scheme has been dropped already.
    std::optional<uint16_t> port() const;
    std::optional<uint16_t> port_or_known_default() const;
    // Percent-encoded, as in the text.
    std::string path() const;
    std::optional<std::string> query() const;
    // Percent-encoded user name; empty when there is none.
    std::string username() const;
    std::optional<std::string> password() const;
    // The local path of a "file" URL with an empty host, percent-decoded; absent otherwise.
    std::optional<std::string> to_file_path() const;

    bool operator==(const Url& other) const { return text_ == other.text_; }
    std::strong_ordering operator<=>(const Url& other) const { return text_ <=> other.text_; }

  private:
    explicit Url(std::string text) : text_(std::move(text)) {}
    std::string text_;
};

// A URL text as `Url::parse` reads it: leading and trailing control characters and spaces are no
// part of a URL, and tabs and line breaks inside one are dropped, as a browser does with pasted
// text.
std::string strip_url_input(std::string_view text);

// `text` with its percent-encodings decoded; a "%" that starts none stands for itself.
std::string percent_decode(std::string_view text);

// Whether two URLs share an origin: the same scheme, host and port, a scheme's default port
// counting as written. A URL without a host has an origin of its own, equal to no other.
bool same_origin(const Url& a, const Url& b);

// What a person may see of a URL: its text with whatever could be user information hidden.
// One rule serves every URL value and every text that may hold one:
// - A URL with a network URL's scheme (http, https, file, controller) and a host shows its
//   normalised text with the user name and the password replaced by "****" when either is set
//   ("https://u:pw@h/x" shows "https://****:****@h/x"; a user name alone gains the password).
// - Anything else (a text that does not parse, a URL without a host, a URL of another scheme,
//   which is most likely a URL typed without its scheme: "alice:pw@host/x" reads as the scheme
//   "alice") is read as the parser reads it, without leading and trailing blanks and control
//   characters and without tabs and line breaks, and everything from its start up to its last
//   "@" is hidden, but for a network URL's scheme, its ":" and its slashes
//   ("controller:u:pw@h/x" shows "controller:****:****@h/x", "s3cr/et@h" shows "****:****@h").
//   An "@" in a query or a fragment may hide more than the user information.
// Further URLs that the value holds (in its query or fragment, or pasted behind it) are masked
// as `mask_credentials` masks them.
std::string mask_url(const Url& url);

// The same for a URL as text, which need not parse; a text that parses as a network URL with a
// host shows as its masked normalised text. A text without any "@" holds no user information and
// shows as it is.
std::string mask_url_text(std::string_view text);

// What a person may see of any text (a library's error, a server's answer, a message quoting
// what it was given): the user information of every URL inside it replaced by "****:****", the
// rest as it is, so hosts, paths and mail addresses stay readable. Within a word (a run without
// blanks and control characters), a URL begins at a scheme's ":" followed by "//" or at a network
// URL's scheme and its ":". An "@" closes user information of the word's URLs in turn: the first
// URL, when it has an authority whose host and port end before the "@", holds the "@" in its
// path, query or fragment and leaves it to the URLs after it; any other URL hides all from its
// scheme's ":" and slashes up to the "@" (a URL behind another one may have lost the encoding of
// a "/" in its password to the first one's normalisation). An "@" that no URL takes closes an
// address with a ":" before it ('u:pw@h'), which begins behind a quote, a blank, an angle
// bracket or an encoded blank "%20", or behind a label ending in "=", ",", ";" or "&" before its
// first ":" ("proxy=u:pw@h" shows "proxy=****:****@h", while a password holding such a character,
// "u:pa=ss@h", is hidden whole). Behind the first URL's host, only an address behind an encoded
// blank or a label counts ("https://h/x?proxy=u:pw@g"), while a mail address or "user@host" shows
// as it is. A URL written percent-encoded into another, its slashes encoded or not
// ("?next=https%3A%2F%2Fu%3Apw%40h", "?next=https%3A//u%3Apw%40h"), hides what its authority holds
// up to its last "@" or "%40". The rule is read on the text as typed and on the text as masked
// so far, in one pass linear in the text: a mask that hides what bounded a later URL's authority
// or address (a "?", a quote, "%20") or brings a ":" into a word counts for the "@"s after it,
// and a URL whose scheme a mask hides still owns them. Masking a masked text changes nothing.
std::string mask_credentials(std::string_view text);

// The local path of a file URL with no host, as messages show it: like the URL itself
// ("/u:pw@h/x" shows "/****:****@h/x"), so that nothing the URL hides shows in a message about its
// file.
std::string mask_file_path(std::string_view path);

}  // namespace quorvel

template <>
struct std::hash<quorvel::Url> {
    size_t operator()(const quorvel::Url& url) const noexcept {
        return std::hash<std::string>{}(url.raw_text());
    }
};

// Prints the masked text (`mask_url`): a URL in a log line, an error or a span never shows its
// credentials.
template <>
struct fmt::formatter<quorvel::Url> : fmt::formatter<std::string_view> {
    auto format(const quorvel::Url& url, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(quorvel::mask_url(url), ctx);
    }
};

template <>
struct fmt::formatter<quorvel::UrlError> : fmt::formatter<std::string_view> {
    auto format(const quorvel::UrlError& e, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(e.to_string(), ctx);
    }
};
