#include "util/url.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>
#include <boost/url/url_view.hpp>

#include "util/hex.h"

namespace quorvel {
namespace {

namespace urls = boost::urls;

struct SpecialScheme {
    std::string_view name;
    std::optional<uint16_t> default_port;
};

constexpr std::array<SpecialScheme, 6> kSpecialSchemes{{
    {"http", 80},
    {"https", 443},
    {"ws", 80},
    {"wss", 443},
    {"ftp", 21},
    {"file", std::nullopt},
}};

const SpecialScheme* find_special(std::string_view scheme) {
    for (const auto& s : kSpecialSchemes) {
        if (s.name == scheme) {
            return &s;
        }
    }
    return nullptr;
}

char ascii_lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string ascii_lowercase(std::string_view text) {
    std::string out(text);
    for (auto& c : out) {
        c = ascii_lower(c);
    }
    return out;
}

bool is_alpha(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

void append_escaped(std::string& out, unsigned char c) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    out.push_back('%');
    out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 0xf]);
}

// Characters that may stand in a path, query or fragment typed by a person but that the URI
// grammar does not allow unescaped: they are percent-encoded instead of rejected.
bool needs_escape(unsigned char c) {
    if (c <= 0x20 || c >= 0x7f) {
        return true;
    }
    switch (c) {
        case '"':
        case '<':
        case '>':
        case '`':
        case '{':
        case '}':
        case '|':
        case '^':
        case '\\':
        case '[':
        case ']':
            return true;
        default:
            return false;
    }
}

std::string escape_tail(std::string_view tail) {
    std::string out;
    out.reserve(tail.size());
    bool in_fragment = false;
    for (char ch : tail) {
        auto c = static_cast<unsigned char>(ch);
        // A second "#" inside the fragment is data.
        if (c == '#') {
            if (in_fragment) {
                out += "%23";
                continue;
            }
            in_fragment = true;
        }
        if (needs_escape(c)) {
            append_escaped(out, c);
        } else {
            out.push_back(ch);
        }
    }
    return out;
}

// The URI grammar lets a parser stop a port at its first non-digit and read the rest as path;
// a port must be digits only.
std::optional<std::string_view> check_host_port(std::string_view authority) {
    if (authority.starts_with("//")) {
        authority.remove_prefix(2);
    }
    auto at = authority.rfind('@');
    std::string_view hostport = at == std::string_view::npos ? authority : authority.substr(at + 1);
    std::string_view port;
    bool has_port = false;
    if (hostport.starts_with("[")) {
        auto close = hostport.find(']');
        if (close == std::string_view::npos) {
            return "invalid IPv6 address";
        }
        std::string_view after = hostport.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') {
                return "invalid IPv6 address";
            }
            has_port = true;
            port = after.substr(1);
        }
    } else if (auto colon = hostport.find(':'); colon != std::string_view::npos) {
        has_port = true;
        port = hostport.substr(colon + 1);
    }
    if (has_port) {
        uint32_t value = 0;
        for (char c : port) {
            if (!is_digit(c)) {
                return "invalid port number";
            }
            value = value * 10 + static_cast<uint32_t>(c - '0');
            if (value > 65535) {
                return "invalid port number";
            }
        }
    }
    return std::nullopt;
}

// The host follows the last "@" of the authority: an "@" before it belongs to the user
// information and is percent-encoded, as are characters the user information may not hold.
std::string escape_userinfo(std::string_view authority) {
    auto at = authority.rfind('@');
    if (at == std::string_view::npos) {
        return std::string(authority);
    }
    size_t start = authority.starts_with("//") ? 2 : 0;
    std::string out(authority.substr(0, start));
    for (char ch : authority.substr(start, at - start)) {
        const auto c = static_cast<unsigned char>(ch);
        const bool allowed =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            std::string_view("-._~%!$&'()*+,;=:").find(ch) != std::string_view::npos;
        if (allowed) {
            out.push_back(ch);
        } else {
            append_escaped(out, c);
        }
    }
    out.append(authority.substr(at));
    return out;
}

bool is_hex(char c) {
    return hex_digit_value(c) >= 0;
}

// True when the '%' at `i` does not start a percent-encoding.
bool is_stray_percent(std::string_view text, size_t i) {
    return text[i] == '%' && (i + 2 >= text.size() || !is_hex(text[i + 1]) || !is_hex(text[i + 2]));
}

// The URL standard keeps a '%' that starts no percent-encoding as it stands ("/%zz"); Boost.URL
// refuses it. Such a '%' goes to Boost.URL as an encoding that the text holds nowhere else, which
// its normalisation leaves alone (a byte above 0x7F, never decoded), and comes back afterwards.
class StrayPercent {
  public:
    explicit StrayPercent(std::string_view text) {
        std::array<bool, 256> used{};
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '%') {
                continue;
            }
            if (is_stray_percent(text, i)) {
                any_ = true;
            } else {
                used[static_cast<size_t>(hex_digit_value(text[i + 1]) * 16 +
                                         hex_digit_value(text[i + 2]))] = true;
            }
        }
        for (size_t byte = 0x80; byte <= 0xff; ++byte) {
            if (!used[byte]) {
                sentinel_ = fmt::format("%{:02X}", byte);
                return;
            }
        }
        // Every candidate in use, which no real URL does: the '%' stays encoded.
        sentinel_ = "%25";
        restores_ = false;
    }

    std::string hide(std::string_view text) const {
        if (!any_) {
            return std::string(text);
        }
        std::string out;
        out.reserve(text.size() + 8);
        for (size_t i = 0; i < text.size(); ++i) {
            if (is_stray_percent(text, i)) {
                out += sentinel_;
            } else {
                out.push_back(text[i]);
            }
        }
        return out;
    }

    // Gives each stray '%' back. One that now stands before two hex digits (normalisation
    // decoded "%66" to "f" behind it, say) would start an encoding and name another byte: it is
    // written "%25", the '%' it stands for, so that the text names what was typed and normalises
    // to itself.
    std::string restore(std::string_view text) const {
        if (!any_ || !restores_) {
            return std::string(text);
        }
        std::string out;
        out.reserve(text.size());
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '%' && i + 2 < text.size() &&
                ascii_lower(text[i + 1]) == ascii_lower(sentinel_[1]) &&
                ascii_lower(text[i + 2]) == ascii_lower(sentinel_[2])) {
                const bool starts_encoding =
                    i + 4 < text.size() && is_hex(text[i + 3]) && is_hex(text[i + 4]);
                out += starts_encoding ? "%25" : "%";
                i += 2;
            } else {
                out.push_back(text[i]);
            }
        }
        return out;
    }

  private:
    bool any_ = false;
    std::string sentinel_;
    bool restores_ = true;
};

// The length of the scheme that `text` starts with, up to its ":"; 0 when it starts with none.
size_t scheme_length(std::string_view text) {
    if (text.empty() || !is_alpha(text[0])) {
        return 0;
    }
    size_t end = 1;
    while (end < text.size() && (is_alpha(text[end]) || is_digit(text[end]) || text[end] == '+' ||
                                 text[end] == '-' || text[end] == '.')) {
        ++end;
    }
    return end < text.size() && text[end] == ':' ? end : 0;
}

std::string_view sv(urls::string_view s) {
    return {s.data(), s.size()};
}

Result<Url, UrlError> fail(std::string_view message) {
    return unexpected(UrlError(std::string(message)));
}

}  // namespace

std::string percent_decode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && !is_stray_percent(text, i)) {
            out.push_back(static_cast<char>(hex_digit_value(text[i + 1]) * 16 +
                                            hex_digit_value(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string strip_url_input(std::string_view text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && static_cast<unsigned char>(text[begin]) <= 0x20) {
        ++begin;
    }
    while (end > begin && static_cast<unsigned char>(text[end - 1]) <= 0x20) {
        --end;
    }
    std::string out;
    out.reserve(end - begin);
    for (size_t i = begin; i < end; ++i) {
        if (text[i] != '\t' && text[i] != '\n' && text[i] != '\r') {
            out.push_back(text[i]);
        }
    }
    return out;
}

Result<Url, UrlError> Url::parse(std::string_view input) {
    const std::string text = strip_url_input(input);

    const size_t colon = scheme_length(text);
    if (colon == 0) {
        return fail("relative URL without a base");
    }
    const std::string scheme = ascii_lowercase(std::string_view(text).substr(0, colon));
    std::string_view rest = std::string_view(text).substr(colon + 1);
    const SpecialScheme* special = find_special(scheme);

    // Special schemes always have an authority: "http:example.com" and "file:/x" name the same
    // resources as "http://example.com" and "file:///x".
    std::string authority_part;
    if (special != nullptr && !rest.starts_with("//")) {
        if (special->name == "file") {
            authority_part = rest.starts_with("/") ? "//" : "///";
        } else {
            while (rest.starts_with("/")) {
                rest.remove_prefix(1);
            }
            authority_part = "//";
        }
    }
    std::string rebuilt = scheme + ":" + authority_part;
    // Where the path, query and fragment start in `rebuilt`.
    size_t tail_offset = 0;
    {
        std::string_view body = rest;
        size_t tail_start = 0;
        if (authority_part.empty() && body.starts_with("//")) {
            tail_start = body.find_first_of("/?#", 2);
        } else if (!authority_part.empty() && authority_part == "//") {
            tail_start = body.find_first_of("/?#");
        }
        if (tail_start == std::string_view::npos) {
            tail_start = body.size();
        }
        std::string_view authority = body.substr(0, tail_start);
        for (char c : authority) {
            if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f) {
                return fail("invalid domain character");
            }
        }
        if (special != nullptr && special->name == "file") {
            // A file URL names at most a host: no user information, no port. A drive letter
            // standing where the host would ("file://C:/x") belongs to the path.
            std::string_view host = authority.substr(authority.starts_with("//") ? 2 : 0);
            if (host.size() == 2 && is_alpha(host[0]) && host[1] == ':') {
                rebuilt += "///";
                rebuilt += host;
                tail_offset = rebuilt.size();
                rebuilt += escape_tail(body.substr(tail_start));
                authority = {};
                body = {};
                tail_start = 0;
            } else if (host.find_first_of("@:") != std::string_view::npos) {
                return fail("invalid domain character");
            }
        }
        if (auto problem = check_host_port(authority)) {
            return fail(*problem);
        }
        rebuilt += escape_userinfo(authority);
        if (!body.empty()) {
            tail_offset = rebuilt.size();
        }
        rebuilt += escape_tail(body.substr(tail_start));
    }
    // Only the path, query and fragment may hold a stray '%'; in the host it stays an error.
    const StrayPercent stray(rebuilt);
    rebuilt =
        rebuilt.substr(0, tail_offset) + stray.hide(std::string_view(rebuilt).substr(tail_offset));

    auto parsed = urls::parse_uri(rebuilt);
    if (!parsed) {
        // Tell the common faults apart the way a user can act on them.
        auto slashes = rebuilt.find("//");
        if (slashes != std::string::npos && slashes == scheme.size() + 1) {
            size_t start = slashes + 2;
            size_t end = rebuilt.find_first_of("/?#", start);
            std::string_view authority = std::string_view(rebuilt).substr(
                start, end == std::string::npos ? std::string::npos : end - start);
            auto at = authority.rfind('@');
            std::string_view hostport =
                at == std::string_view::npos ? authority : authority.substr(at + 1);
            if (hostport.starts_with("[")) {
                return fail("invalid IPv6 address");
            }
            auto port_colon = hostport.rfind(':');
            if (port_colon != std::string_view::npos) {
                return fail("invalid port number");
            }
            return fail("invalid domain character");
        }
        return fail("invalid URL syntax");
    }
    urls::url url(*parsed);

    // An empty password, and a user information without user and password, say nothing, whatever
    // the scheme.
    if (url.has_password() && url.encoded_password().empty()) {
        url.remove_password();
    }
    if (url.has_userinfo() && url.encoded_user().empty() && !url.has_password()) {
        url.remove_userinfo();
    }
    if (special != nullptr) {
        if (url.has_port()) {
            std::string_view digits = sv(url.port());
            if (digits.empty()) {
                url.remove_port();
            } else {
                uint32_t value = 0;
                auto [ptr, ec] =
                    std::from_chars(digits.data(), digits.data() + digits.size(), value);
                if (ec != std::errc() || ptr != digits.data() + digits.size() || value > 65535) {
                    return fail("invalid port number");
                }
                if (special->default_port && value == *special->default_port) {
                    url.remove_port();
                } else {
                    url.set_port_number(static_cast<uint16_t>(value));
                }
            }
        }
        if (url.host_type() != urls::host_type::ipv6 &&
            url.host_type() != urls::host_type::ipvfuture) {
            std::string host = ascii_lowercase(sv(url.encoded_host()));
            if (special->name == "file" && host == "localhost") {
                host.clear();
            }
            if (host.empty() && special->name != "file") {
                return fail("empty host");
            }
            url.set_encoded_host(host);
        }
        url.normalize_path();
        if (url.encoded_path().empty()) {
            // Setting "/" through the library inserts a "/./" guard; an empty path behind an
            // authority can simply take a "/" at its place.
            std::string text = scheme + "://" + std::string(sv(url.encoded_authority())) + "/";
            if (url.has_query()) {
                text += "?" + std::string(sv(url.encoded_query()));
            }
            if (url.has_fragment()) {
                text += "#" + std::string(sv(url.encoded_fragment()));
            }
            return Url(stray.restore(text));
        }
    }
    return Url(stray.restore(sv(url.buffer())));
}

namespace {

// A Boost.URL view of a normalised text, which may hold a stray '%' that Boost.URL refuses.
class TextView {
  public:
    explicit TextView(const std::string& text)
        : stray_(text), hidden_(stray_.hide(text)), view_(hidden_) {}
    TextView(const TextView&) = delete;
    TextView& operator=(const TextView&) = delete;

    const urls::url_view* operator->() const { return &view_; }
    // A part of the view as the normalised text has it.
    std::string text_of(urls::string_view part) const { return stray_.restore(sv(part)); }

  private:
    StrayPercent stray_;
    std::string hidden_;
    urls::url_view view_;
};

}  // namespace

std::string Url::scheme() const {
    return std::string(sv(TextView(text_)->scheme()));
}

std::optional<std::string> Url::host_str() const {
    TextView view(text_);
    if (!view->has_authority() || view->encoded_host().empty()) {
        return std::nullopt;
    }
    return std::string(sv(view->encoded_host()));
}

std::optional<uint16_t> Url::port() const {
    TextView view(text_);
    if (!view->has_port() || view->port().empty()) {
        return std::nullopt;
    }
    return view->port_number();
}

std::optional<uint16_t> Url::port_or_known_default() const {
    if (auto p = port()) {
        return p;
    }
    if (const SpecialScheme* special = find_special(scheme())) {
        return special->default_port;
    }
    return std::nullopt;
}

std::string Url::path() const {
    TextView view(text_);
    return view.text_of(view->encoded_path());
}

std::optional<std::string> Url::query() const {
    TextView view(text_);
    if (!view->has_query()) {
        return std::nullopt;
    }
    return view.text_of(view->encoded_query());
}

std::string Url::username() const {
    TextView view(text_);
    return view.text_of(view->encoded_user());
}

std::optional<std::string> Url::password() const {
    TextView view(text_);
    if (!view->has_password()) {
        return std::nullopt;
    }
    return view.text_of(view->encoded_password());
}

std::optional<std::string> Url::to_file_path() const {
    TextView view(text_);
    if (view->scheme() != "file" || !view->encoded_host().empty()) {
        return std::nullopt;
    }
    // A '%' that starts no encoding stands for itself.
    return percent_decode(view.text_of(view->encoded_path()));
}

bool same_origin(const Url& a, const Url& b) {
    const auto host = a.host_str();
    return host && a.scheme() == b.scheme() && host == b.host_str() &&
           a.port_or_known_default() == b.port_or_known_default();
}

namespace {

// `text` with whatever stands between `start` and the last "@" before `end` replaced by
// "****:****"; unchanged when there is no such "@".
std::string mask_userinfo(std::string_view text, size_t start, size_t end) {
    const size_t at = text.substr(start, end - start).rfind('@');
    if (at == std::string_view::npos) {
        return std::string(text);
    }
    std::string masked(text.substr(0, start));
    masked += "****:****";
    masked += text.substr(start + at);
    return masked;
}

// The schemes a network URL of this agent can have.
bool is_network_scheme(std::string_view scheme) {
    return scheme == "http" || scheme == "https" || scheme == "file" || scheme == "controller";
}

// Whether a URL has a network URL's scheme and a host, read in one pass over its text.
bool names_network_host(const Url& url) {
    const TextView view(url.raw_text());
    return is_network_scheme(sv(view->scheme())) && view->has_authority() &&
           !view->encoded_host().empty();
}

// A text that names no network URL with a host: nothing in it tells where user information
// would end, since a password may hold any character unencoded, nor where it would start, since
// a scheme, a colon or slashes may have been left out or typed in their place. So, read as the
// parser reads it (without leading and trailing blanks and control characters, and without tabs
// and line breaks), everything from its start up to its last "@" is hidden. Only a network
// URL's scheme, its ":" and the slashes after it are kept before the mask.
std::string mask_without_host(std::string_view text) {
    const std::string read = strip_url_input(text);
    size_t kept = 0;
    if (const size_t colon = scheme_length(read);
        colon != 0 && is_network_scheme(ascii_lowercase(std::string_view(read).substr(0, colon)))) {
        kept = colon + 1;
        while (kept < read.size() && read[kept] == '/') {
            ++kept;
        }
    }
    return mask_userinfo(read, kept, read.size());
}

// The normalised text of a network URL with a host, its user information hidden. Such a text
// spells its authority as "scheme://", and its user information holds no "/", "?", "#" or "@"
// unencoded: the last "@" before the path ends it.
std::string mask_with_host(const std::string& text) {
    const size_t slashes = text.find("://");
    if (slashes == std::string::npos) {
        return mask_without_host(text);
    }
    const size_t start = slashes + 3;
    return mask_userinfo(text, start, std::min(text.find_first_of("/?#", start), text.size()));
}

// A network URL with a host, its user information hidden (`mask_with_host`), with that of the
// further URLs it holds hidden too. Its own mask is masked already: when nothing behind the "@"
// that ends it could close more user information, there is nothing further to hide, and the rule
// need not read the text again (a report of many networks shows many such URLs).
std::string mask_with_host_and_further(const std::string& text) {
    std::string masked = mask_with_host(text);
    constexpr std::string_view kOwnMask = "://****:****@";
    const size_t mask = masked.find(kOwnMask);
    if (mask != std::string::npos && masked.find('@') == mask + kOwnMask.size() - 1) {
        const std::string_view rest = std::string_view(masked).substr(mask + kOwnMask.size());
        if (rest.find('@') == std::string_view::npos &&
            rest.find("%40") == std::string_view::npos) {
            return masked;
        }
    }
    return mask_credentials(masked);
}

}  // namespace

std::string mask_url(const Url& url) {
    // A value may hold further URLs (in its query, or pasted behind it): theirs are hidden too.
    return names_network_host(url) ? mask_with_host_and_further(url.raw_text())
                                   : mask_credentials(mask_without_host(url.raw_text()));
}

std::string mask_url_text(std::string_view text) {
    // User information always ends at an "@": a text without one holds none but that of a URL
    // written percent-encoded into it.
    if (text.find('@') == std::string_view::npos) {
        return mask_credentials(text);
    }
    if (const auto parsed = Url::parse(text); parsed && names_network_host(*parsed)) {
        return mask_with_host_and_further(parsed->raw_text());
    }
    return mask_credentials(mask_without_host(text));
}

namespace {

// Blanks and control characters end a word of a text; an "@" closes user information only of a
// URL in its own word.
bool ends_word(char c) {
    return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f;
}

// Quotes and angle brackets also delimit an address that names no scheme ('u:pw@h').
bool ends_address(char c) {
    return ends_word(c) || c == '"' || c == '\'' || c == '`' || c == '<' || c == '>';
}

// What ends a label before an address ("proxy=u:pw@h", "a=1&u:pw@h"): the address may follow it,
// or a password may hold it.
bool ends_label(char c) {
    return c == '=' || c == ',' || c == ';' || c == '&';
}

// Whether `text` holds `lower` at `at`, in any case.
bool holds_lower(std::string_view text, size_t at, std::string_view lower) {
    return at <= text.size() && lower.size() <= text.size() - at &&
           std::equal(lower.begin(), lower.end(), text.begin() + at,
                      [](char a, char b) { return a == ascii_lower(b); });
}

// Whether the text before `end` ends with a network URL's scheme name, in any case.
bool ends_with_network_scheme(std::string_view text, size_t end) {
    for (std::string_view scheme : {"http", "https", "file", "controller"}) {
        if (end >= scheme.size() && holds_lower(text, end - scheme.size(), scheme)) {
            return true;
        }
    }
    return false;
}

size_t leading_slashes(std::string_view text) {
    return std::min(text.find_first_not_of('/'), text.size());
}

constexpr std::string_view kMask = "****:****";
constexpr size_t kNone = std::string::npos;

// Reads an authority one character at a time and tells whether what follows its last "@" is a
// host with an optional port: a bracketed literal or a registered name, and digits alone after
// its ":". No state survives a mask: its "*" may stand in a name, but never in a port.
class HostPortReader {
  public:
    void restart() {
        state_ = State::kEmpty;
        colon_ = false;
    }

    void read(char c) {
        colon_ = colon_ || c == ':';
        switch (state_) {
            case State::kEmpty:
                state_ = c == '[' ? State::kLiteral : names(c) ? State::kName : State::kNot;
                break;
            case State::kName:
                state_ = c == ':' ? State::kPort : names(c) ? State::kName : State::kNot;
                break;
            case State::kLiteral:
                state_ = c == ']'                                          ? State::kClosed
                         : (is_hex(c) || c == 'v' || c == '.' || c == ':') ? State::kLiteral
                                                                           : State::kNot;
                break;
            case State::kClosed:
                state_ = c == ':' ? State::kPort : State::kNot;
                break;
            case State::kPort:
                state_ = is_digit(c) ? State::kPort : State::kNot;
                break;
            case State::kNot:
                break;
        }
    }

    bool host_port() const {
        return state_ == State::kName || state_ == State::kClosed || state_ == State::kPort;
    }
    // Whether a ":" stands anywhere after the last "@", a literal's included.
    bool any_colon() const { return colon_; }

  private:
    enum class State { kEmpty, kName, kLiteral, kClosed, kPort, kNot };

    static bool names(char c) {
        return is_alpha(c) || is_digit(c) ||
               std::string_view("-._~%!$&'()*+,;=").find(c) != std::string_view::npos;
    }

    State state_ = State::kEmpty;
    bool colon_ = false;
};

// Whether `rest` begins with what ends the authority of a URL written percent-encoded.
bool ends_encoded_authority(std::string_view rest) {
    const char c = rest[0];
    return ends_address(c) || c == '/' || c == '?' || c == '#' || c == '&' || c == ';' ||
           holds_lower(rest, 0, "%2f") || holds_lower(rest, 0, "%3f") ||
           holds_lower(rest, 0, "%23");
}

// The rule of user information in a word, read one character at a time: at an "@" (or a "%40")
// it tells where the user information that the "@" closes begins in what it has read. Positions
// are those of the text it reads; a cut drops what was read from a position on, and with it every
// record of it (a scheme, the end of an authority, a quote, a label), each kept on a stack.
class UserInfoRule {
  public:
    void begin_word(size_t at) {
        first_.reset();
        second_.reset();
        behind_host_.reset();
        authority_end_ = kNone;
        host_port_ = false;
        colon_after_authority_ = kNone;
        label_after_authority_ = kNone;
        stretches_.assign(1, Stretch{at, false});
        labels_.clear();
        encoded_.clear();
    }

    // Reads the character at `at`: the first one of `rest`, which goes on with what follows it;
    // `before` is what was read before it.
    void read(std::string_view rest, size_t at, std::string_view before) {
        const char c = rest[0];
        if (ends_address(c)) {
            stretches_.push_back({at + 1, false});
        } else if (rest.starts_with("%20")) {
            stretches_.push_back({at + 3, true});
        } else if (ends_label(c)) {
            labels_.push_back(at + 1);
        }
        if (c == ':') {
            read_colon(rest, at, before);
        }
        if (in_authority(at)) {
            if (c == '/' || c == '?' || c == '#') {
                end_authority(rest, at, before);
            } else if (c == '@') {
                host_.restart();
            } else {
                host_.read(c);
            }
        }
        read_encoded(rest, at);
    }

    // Where the user information that an "@" (`plain`) or a "%40" at `at` closes begins;
    // `kNone` when it closes none.
    size_t user_info_start(bool plain, size_t at) const {
        const size_t start = std::min(
            plain ? url_user_info_start() : kNone,
            !encoded_.empty() && encoded_.back().end == kNone ? encoded_.back().start : kNone);
        return start < at ? start : kNone;
    }

    // Returns whether the cut hid the scheme of an encoded URL whose authority had not ended.
    bool cut(size_t at) {
        if (second_ && second_->scheme_end >= at) {
            second_.reset();
        }
        if (first_ && first_->scheme_end >= at) {
            first_.reset();
        }
        if (authority_end_ != kNone && authority_end_ >= at) {
            authority_end_ = kNone;
            host_port_ = false;
            behind_host_.reset();
        }
        if (colon_after_authority_ != kNone && colon_after_authority_ >= at) {
            colon_after_authority_ = kNone;
        }
        while (stretches_.back().start > at) {
            stretches_.pop_back();
        }
        if (Stretch& stretch = stretches_.back(); stretch.colon != kNone && stretch.colon >= at) {
            stretch.colon = kNone;
            stretch.label = kNone;
        }
        while (!labels_.empty() && labels_.back() > at) {
            labels_.pop_back();
        }
        // A cut among the slashes behind an encoded scheme leaves the URL's user information
        // beginning at the mask.
        bool hidden_open = false;
        while (!encoded_.empty() && encoded_.back().start > at) {
            if (encoded_.back().scheme_end <= at) {
                encoded_.back() = {at, kNone, encoded_.back().scheme_end};
                break;
            }
            hidden_open = hidden_open || encoded_.back().end == kNone || encoded_.back().end >= at;
            encoded_.pop_back();
        }
        if (!encoded_.empty() && encoded_.back().end != kNone && encoded_.back().end >= at) {
            encoded_.back().end = kNone;
        }
        return hidden_open;
    }

  private:
    // A URL of the word: its scheme's ":" (or where a ":" was lost), and where its user
    // information would begin, past the slashes.
    struct UrlStart {
        size_t scheme_end;
        size_t start;
        size_t slashes;
    };

    // A stretch of the word from `start` that no quote, angle bracket or encoded blank cuts
    // (`blank` when an encoded blank "%20" opened it); `colon` is its first ":", and `label`
    // where the last label before that ":" ends.
    struct Stretch {
        size_t start;
        bool blank;
        size_t colon = kNone;
        size_t label = kNone;
    };

    // A URL written percent-encoded: its user information would begin at `start`; `end` is
    // where its authority ends, once read.
    struct Encoded {
        size_t start;
        size_t end;
        // Where its scheme's ":" and the slashes that make it a URL end.
        size_t scheme_end;
    };

    // The last label that ends at or after `from`.
    size_t label_since(size_t from) const {
        return !labels_.empty() && labels_.back() >= from ? labels_.back() : kNone;
    }

    bool in_authority(size_t at) const {
        return first_ && first_->slashes == 2 && authority_end_ == kNone && at >= first_->start;
    }

    void read_colon(std::string_view rest, size_t at, std::string_view before) {
        if (Stretch& stretch = stretches_.back(); stretch.colon == kNone) {
            stretch.colon = at;
            stretch.label = label_since(stretch.start);
        }
        if (authority_end_ != kNone && colon_after_authority_ == kNone) {
            colon_after_authority_ = at;
            label_after_authority_ = label_since(authority_end_);
        }
        // A scheme's ":" is one followed by "//", or one behind a network URL's scheme name
        // ("controller:u:pw@h", "http:u:pw@h", also inside a longer word).
        if (rest.substr(1).starts_with("//") || ends_with_network_scheme(before, before.size())) {
            const size_t slashes = leading_slashes(rest.substr(1));
            const UrlStart url{at, at + 1 + slashes, slashes};
            if (!first_) {
                first_ = url;
                host_.restart();
            } else if (!second_) {
                second_ = url;
            }
        }
    }

    // The first URL's authority ends at the "/", "?" or "#" that `rest` begins with. A path
    // behind a host without a port that begins with "//", or behind a host that ends in a
    // network scheme's name, begins a URL: the host has swallowed the ":" of a URL pasted behind
    // it ("h.example,git+ssh://u:pw@h"), as an empty port that normalising dropped.
    void end_authority(std::string_view rest, size_t at, std::string_view before) {
        authority_end_ = at;
        host_port_ = host_.host_port();
        if (rest[0] == '/' && host_port_ && !host_.any_colon() && !second_ &&
            (rest.substr(1).starts_with("/") || ends_with_network_scheme(before, before.size()))) {
            const size_t slashes = leading_slashes(rest);
            behind_host_ = UrlStart{at, at + slashes, slashes};
        }
    }

    // A URL written percent-encoded into another one ("?next=https%3A%2F%2Fu%3Apw%40h", or with
    // its slashes as they are, "https%3A//u%3Apw%40h"): its own "/", "?", "#" and "@" are encoded
    // once and what its parts hold twice, so its authority ends at the first "/", "?" or "#",
    // plain or encoded, or where the value or the word ends.
    void read_encoded(std::string_view rest, size_t at) {
        if (holds_lower(rest, 0, "%3a%2f%2f") || holds_lower(rest, 0, "%3a//")) {
            size_t start = 3;
            while (start < rest.size()) {
                if (rest[start] == '/') {
                    ++start;
                } else if (holds_lower(rest, start, "%2f")) {
                    start += 3;
                } else {
                    break;
                }
            }
            // Its slashes end the authority of the URL written before it.
            end_encoded(at + 3);
            encoded_.push_back({at + start, kNone, at + (rest[3] == '/' ? 5 : 9)});
            return;
        }
        if (ends_encoded_authority(rest)) {
            end_encoded(at);
        }
    }

    void end_encoded(size_t at) {
        if (!encoded_.empty() && encoded_.back().end == kNone && at >= encoded_.back().start) {
            encoded_.back().end = at;
        }
    }

    // Where the address closed by an "@" here begins: behind the last quote, angle bracket or
    // encoded blank, or behind the label before its first ":" ("proxy=u:pw@h" keeps "proxy=",
    // while "u:pa=ss@h" hides all). Behind a URL whose host the "@" follows, only an address
    // behind an encoded blank or a label counts; it may follow a ":" of that URL's own
    // ("%20https://h/x:@y"), or come after its authority ("https://h/x?a=1&proxy=u:pw@h").
    size_t address_start(bool behind_url) const {
        const Stretch& stretch = stretches_.back();
        if (stretch.colon != kNone) {
            const bool labelled = stretch.label != kNone || stretch.blank;
            if (!behind_url || labelled) {
                return stretch.label != kNone ? stretch.label : stretch.start;
            }
        }
        if (behind_url && authority_end_ >= stretch.start && colon_after_authority_ != kNone) {
            return label_after_authority_;
        }
        return kNone;
    }

    // The first URL of the word with an authority ("scheme://") whose host and port end before
    // the "@" holds the "@" in its path, query or fragment and leaves it to the URL after it; any
    // other URL owns it, as a text that does not parse hides all up to its last "@". The URL
    // after the first owns every "@" that reaches it: normalising the first may have decoded an
    // encoded "/" in the second's password, so nothing tells its host from its user information.
    // An "@" that no URL owns closes an address.
    size_t url_user_info_start() const {
        if (!first_) {
            return address_start(false);
        }
        if (first_->slashes != 2 || authority_end_ == kNone || !host_port_) {
            return first_->start;
        }
        if (const auto& second = behind_host_ ? behind_host_ : second_) {
            return second->start;
        }
        return address_start(true);
    }

    std::optional<UrlStart> first_;
    std::optional<UrlStart> second_;
    std::optional<UrlStart> behind_host_;
    size_t authority_end_ = kNone;
    bool host_port_ = false;
    HostPortReader host_;
    size_t colon_after_authority_ = kNone;
    size_t label_after_authority_ = kNone;
    std::vector<Stretch> stretches_;
    std::vector<size_t> labels_;
    std::vector<Encoded> encoded_;
};

// Masks a text in one pass whose result is its own fixpoint. The text is written out a character
// at a time, and the rule reads it twice: as it was typed, and as it is written, masks included.
// At every "@" (or "%40") user information begins where either reading says: the typed one keeps
// every URL that a mask hides (a scheme, an encoded URL) owning the "@"s after it, and the
// written one reads what a later masking of the result will read. A mask cuts the written text
// back to where it begins and is written like any other text; the written reading is then asked
// again until it keeps the mask as it stands. A later masking of the result reads before each "@"
// exactly what the written reading read, so it changes nothing. Each character is written and cut
// at most once, and each further mask at one "@" begins before the one it replaces, which keeps
// the pass linear in the text.
class CredentialMasker {
  public:
    explicit CredentialMasker(std::string_view text) : text_(text) { out_.reserve(text.size()); }

    std::string run() && {
        begin_word(0);
        for (size_t i = 0; i < text_.size(); ++i) {
            const char c = text_[i];
            if (ends_word(c)) {
                out_.push_back(c);
                begin_word(i + 1);
                continue;
            }
            if (c == '@') {
                close_user_info(true, i);
            } else if (holds_lower(text_, i, "%40")) {
                close_user_info(false, i);
            }
            const std::string_view rest = text_.substr(i);
            typed_.read(rest, i, text_.substr(0, i));
            written_.read(rest, out_.size(), out_);
            if (carried_ != kNone && carried_end_ == kNone && ends_encoded_authority(rest)) {
                carried_end_ = out_.size();
            }
            if (pieces_.empty() || pieces_.back().mask) {
                pieces_.push_back({out_.size(), i, false});
            }
            out_.push_back(c);
        }
        return std::move(out_);
    }

  private:
    // A piece of the written word: a run of the text copied from `typed` on, or a mask that hides
    // the text from `typed` up to where the next piece begins.
    struct Piece {
        size_t written;
        size_t typed;
        bool mask;
    };

    void begin_word(size_t typed) {
        typed_.begin_word(typed);
        written_.begin_word(out_.size());
        pieces_.clear();
        carried_ = kNone;
        carried_end_ = kNone;
    }

    // Where the typed text at `typed` stands in the written text: in a copied run, or hidden by
    // a mask.
    size_t written_at(size_t typed) const {
        auto piece = std::upper_bound(pieces_.begin(), pieces_.end(), typed,
                                      [](size_t t, const Piece& p) { return t < p.typed; });
        if (piece == pieces_.begin()) {
            return kNone;
        }
        --piece;
        return piece->mask ? piece->written : piece->written + (typed - piece->typed);
    }

    // Hides the user information that an "@" (`plain`) or a "%40" at `typed` closes.
    void close_user_info(bool plain, size_t typed) {
        const size_t typed_start = typed_.user_info_start(plain, typed);
        size_t start = typed_start == kNone ? kNone : written_at(typed_start);
        for (;;) {
            const size_t at = out_.size();
            start = std::min({start, carried_end_ == kNone ? carried_ : kNone,
                              written_.user_info_start(plain, at)});
            if (start >= at || std::string_view(out_).substr(start) == kMask) {
                return;
            }
            cut(start);
            for (size_t i = 0; i < kMask.size(); ++i) {
                written_.read(kMask.substr(i), out_.size(), out_);
                out_.push_back(kMask[i]);
            }
        }
    }

    // Drops what was written from `at` on, and writes down that a mask begins there.
    void cut(size_t at) {
        while (pieces_.back().written > at) {
            pieces_.pop_back();
        }
        Piece& last = pieces_.back();
        const size_t typed = last.mask ? last.typed : last.typed + (at - last.written);
        if (last.written == at) {
            pieces_.pop_back();
        }
        pieces_.push_back({at, typed, true});
        out_.resize(at);
        const bool hidden_open = written_.cut(at);
        if (carried_ != kNone && (carried_ >= at || carried_end_ >= at)) {
            carried_ = std::min(carried_, at);
            carried_end_ = kNone;
        } else if (hidden_open && (carried_ == kNone || carried_end_ != kNone)) {
            carried_ = at;
            carried_end_ = kNone;
        }
    }

    std::string_view text_;
    std::string out_;
    UserInfoRule typed_;
    UserInfoRule written_;
    std::vector<Piece> pieces_;
    // Where the user information of an encoded URL that a mask hid, with its authority still
    // going on, begins: at that mask, which leaves nothing of the URL to the written reading.
    size_t carried_ = kNone;
    size_t carried_end_ = kNone;
};

}  // namespace

std::string mask_credentials(std::string_view text) {
    // User information always ends at an "@", or a "%40" of a URL written percent-encoded.
    if (text.find('@') == std::string_view::npos && text.find("%40") == std::string_view::npos) {
        return std::string(text);
    }
    return CredentialMasker(text).run();
}

std::string mask_file_path(std::string_view path) {
    return mask_userinfo(path, std::min(path.find_first_not_of('/'), path.size()), path.size());
}

}  // namespace quorvel
