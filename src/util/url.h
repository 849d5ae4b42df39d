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

// Whether two URLs share an origin: the same scheme, host and port, a scheme's default port
// counting as written. A URL without a host has an origin of its own, equal to no other.
bool same_origin(const Url& a, const Url& b);

// The URL's text, with the user name and the password replaced by "****" when either is set, so
// that credentials never reach a log or a report. A URL whose scheme is none that a network URL
// can have (http, https, file, controller) is masked as a text that does not parse, and one with
// such a scheme but no host as `mask_url_text` says: "alice:pw@host/x", typed without its scheme,
// reads as the scheme "alice".
std::string mask_url(const Url& url);

// The same for a URL as text, which need not parse: whatever stands between the start of the
// authority and its last "@" becomes "****:****"; the rest of the text stays as written. The
// authority starts after "://", or, for a special scheme written without slashes, after the
// scheme's ":" ("http:user:pw@host" names a host too). In a text that parses, the authority ends
// at the first "/", "?" or "#"; in one that does not, where it ends is unknown (a password may
// hold any of them unencoded), so everything up to the text's last "@" is hidden. A text that
// does not parse and starts with no scheme may still hold user information: its authority is
// taken to start after what remains of a scheme and its slashes ("https//", "//", or the same
// with backslashes), or else after the leading blanks ("u@h x" shows "****:****@h x"). A text
// without user information comes back unchanged. A text that parses with a network URL's scheme
// but no host holds an "@" only where the slashes of an authority were left out
// ("controller:u:pw@h/x", or "file:u:pw@h/x", a file at "/u:pw@h/x"): everything after the
// scheme's ":" up to the last "@" is hidden ("controller:****:****@h/x", and for
// "file:///a@b" too "file:****:****@b"). A text that parses with any other scheme is masked as
// one that does not parse ("alice:pw@host/x" and "mailto:a@b" show "****:****@host/x" and
// "****:****@b").
std::string mask_url_text(std::string_view text);

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
