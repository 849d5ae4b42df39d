// Places a fixed password among arbitrary bytes and masks the text every way a URL is shown (the
// typed text, and where it parses the URL value through `mask_url` and the formatter and its
// normalised text), checking that the password shows only where the text itself shows it to
// anyone: after the last "@" of a text that names no network URL with a host, or outside the
// user information of a URL that does. So whatever shape the bytes give the text, a password
// typed before an "@" stays hidden unless the parser reads it as a host, a path or a query.
//
// The same bytes then build texts holding several URLs, the password in the user information of
// some of them (behind a blank, a line break, "%20", "?next=", "#", a path, ...), and embed such
// URLs among the arbitrary bytes. Wherever the password stands as a URL's user information, no
// masking shows it: not `mask_credentials` on the text, nor `mask_url_text`, nor `mask_url` of the
// value it parses to. Masking a masked text changes nothing, a mail address between blanks stays
// as it is, and what follows the last "@" (or "%40") is never hidden.
//
// Input: byte 0 picks where the password goes among the other bytes (modulo their count plus
// one); the rest is the text around it. Read from the start as a stream of choices, the same bytes
// build the text of several URLs (see `build_several`). And byte 0 and the last byte place two
// URLs holding the password, and a mail address, among the bytes after byte 0 (see `embed`).
//
// Then the agent's own secrets, known by value: the same bytes, read again from the start, pick
// one to three secrets (of fixed shapes, or taken from the bytes), make them known as they are or
// as the password of a URL, and plant them among the bytes that are left in the forms a message
// may quote them in, inside a URL, behind a start of themselves, and across the bound on outside
// text (see `plant_secrets`), and in the forms encoders write of them: JSON's escapes, those
// escaped again by the debug form, percent-encoding in mixed case, a form's "+" for a blank, and
// U+FFFD for bytes that are not UTF-8. No form of a known secret shows: where it is hidden and
// where a cut moves to are compared with a plain search for every form in the text and in its
// canonical view (whose decoder its own tests cover), so the index behind the search is checked
// against the plain one (a text in which it finds nothing comes out unchanged, and the cuts move
// where it says); an encoder's form between blanks is hidden whole; and neither the text a
// person is shown, read as it stands or with its escapes read back, nor a bounded text shows a
// form or a start of one at its end. What is shown is UTF-8 without control characters.
//
// Last, and judged without asking the library how it reads a text (see `namespace hiding`), the
// hiding property: the same bytes pick a secret (escape-like characters at its ends and inside,
// built of pieces, printable bytes, long, non-ASCII), the agent knows it alone, and it is written
// as given or percent-decoded through a chain of up to three encoders written here as libraries
// write them (JSON, HTML's five and every other character as a numeric reference, percent-
// encoding of any subset, a form's "+", byte, octal and code-point escapes, base64 wrapped as
// MIME or PEM wraps it), one to six times over, between neighbours that start escapes ("\", "%4",
// "&#x", "\u00" ...) or are words. Hiding shows no start of the secret, masking again changes
// nothing, a text of neighbours and words that holds no form comes out unchanged, and a mask and
// its neighbours make no secret. Set URL_MASK_FUZZ_SURVEY=FILE to have failures of these checks
// (and of those above) reported to FILE, grouped, and the run go on; URL_MASK_FUZZ_HIDING_ONLY=1
// runs the hiding checks alone, many times as fast.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <sys/stat.h>

#include <fmt/format.h>

#include "util/debug_text.h"
#include "util/secret_forms.h"
#include "util/secret_search.h"
#include "util/secrets.h"
#include "util/shown_text.h"
#include "util/url.h"

namespace {

constexpr std::string_view kPassword = "s3cr3tPW";
constexpr std::string_view kMail = " alice@mail.example ";

// The input being checked, for a survey's reports.
std::string_view g_input;

// The secrets the agent knows now, as the check that made them known names them: each check
// learns anew only when its set differs (building an index per input would be most of a run).
std::vector<std::string> g_known_key;

std::string visible_input();
std::string hiding_visible(std::string_view text);

// Ends the program, saying which check failed, when `condition` does not hold; in a survey (see
// `hiding::survey_path`), reports it with the input and goes on.
void check(bool condition, int line = __builtin_LINE()) {
    if (condition) {
        return;
    }
    if (const char* survey = std::getenv("URL_MASK_FUZZ_SURVEY")) {
        if (FILE* file = std::fopen(survey, "a")) {
            std::fprintf(file, "kind=old-check line=%d input=\"%s\"\n", line,
                         visible_input().c_str());
            std::fclose(file);
        }
        return;
    }
    std::fprintf(stderr, "url_mask_fuzz: the check on line %d failed\n", line);
    std::abort();
}

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string ascii_lowercase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), ascii_lower);
    return out;
}

size_t count_password(std::string_view text, std::string_view password = kPassword) {
    size_t count = 0;
    for (size_t at = text.find(password); at != std::string_view::npos;
         at = text.find(password, at + password.size())) {
        ++count;
    }
    return count;
}

constexpr std::array<std::string_view, 4> kNetworkSchemes = {"http", "https", "file", "controller"};

bool names_network_host(const quorvel::Url& url) {
    return std::find(kNetworkSchemes.begin(), kNetworkSchemes.end(), url.scheme()) !=
               kNetworkSchemes.end() &&
           url.host_str().has_value();
}

// Where the end of `text` that no masking hides begins: at its last "@", or its last "%40" (the
// "@" of a URL written percent-encoded into it), whichever comes later; at its start when it
// holds neither.
size_t kept_end(std::string_view text) {
    const size_t at = text.rfind('@');
    const size_t encoded_at = text.rfind("%40");
    if (at == std::string_view::npos) {
        return encoded_at == std::string_view::npos ? 0 : encoded_at;
    }
    return encoded_at == std::string_view::npos ? at : std::max(at, encoded_at);
}

// `shown` is how `text` (typed, or a URL's normalised text) shows.
void check_shown(std::string_view text, const std::string& shown) {
    const std::string read = quorvel::strip_url_input(text);
    const size_t last_at = read.rfind('@');
    if (last_at == std::string::npos) {
        // No "@", no user information, in any reading; but for that of a URL written
        // percent-encoded into the text (its "@" as "%40"), which the checks of several URLs
        // below cover.
        check(shown == text || read.find("%40") != std::string::npos);
        return;
    }
    const auto url = quorvel::Url::parse(text);
    if (url && names_network_host(*url)) {
        // The password may show outside the user information only: the normalised text holds it
        // once in each of the user name and the password, and once per place elsewhere.
        const std::string& raw = url->raw_text();
        const size_t in_user_info =
            count_password(url->username()) + count_password(url->password().value_or(""));
        check(count_password(shown) + in_user_info <= count_password(raw));
        check(shown == quorvel::mask_url(*url));
        return;
    }
    // Everything before the last "@" is hidden; what is kept before the mask is a scheme, a
    // colon and slashes, which hold no password.
    check(count_password(shown) <= count_password(std::string_view(read).substr(last_at)));
    check(shown.ends_with(std::string_view(read).substr(kept_end(read))));
}

// The tables below only ever grow at their ends, so that the seeds keep their shapes.

// Where a URL begins, as the masking rule knows it: a scheme's ":" followed by "//" (any scheme,
// any number of slashes from two), a network URL's scheme and its ":" with fewer slashes, or a
// scheme and "://" percent-encoded (a URL written into another one's query).
constexpr std::array<std::string_view, 24> kStarts = {
    "http://",
    "https://",
    "HTTPS://",
    "controller://",
    "Controller://",
    "file://",
    "ftp://",
    "ws://",
    "s3://",
    "git+ssh://",
    "x://",
    "http:",
    "HTTP:",
    "controller:",
    "https:/",
    "http:///",
    "file:///",
    "ftp:///",
    "FiLe:",
    "://",
    "https%3A%2F%2F",
    "http%3a%2f%2f",
    "controller%3A%2F%2F",
    "x%3A%2F%2F%2F",
};

// User names: none holds "/", "?" or "#" (which would end an authority before the password and
// put it in a path) nor a blank or a control character (which would end the word).
constexpr std::array<std::string_view, 12> kUsers = {
    "u",    "alice",      "",       "a.b-c_d~",    "%41x", "http",
    "HTTP", "controller", "we@ird", "!$&'()*+,;=", "u:x",  "\xc3\xa9t\xc3\xa9",
};

constexpr std::array<std::string_view, 10> kHosts = {
    "h.example", "CTL.Example", "127.0.0.1",  "[::1]", "h.example:8443",
    "h:80",      "h%41",        "xn--a.test", "",      "h:",
};

constexpr std::array<std::string_view, 12> kTails = {
    "",        "/",    "/net.toml", "/a/b?x=1", "?q=2",   "#f",
    "/x/../y", "/%zz", "/a:b@c",    "/..",      "?u=a@b", "/%%666",
};

// What stands between two URLs of one text.
constexpr std::array<std::string_view, 32> kSeparators = {
    " ",    "\n",       "\r\n", "\t",     "%20", "?next=", "?a=1&next=", "&next=",
    "#",    "#/",       "/",    "",       ",",   ";",      "\"",         "'",
    "<",    ">",        "(",    ")",      "|",   "=",      "\\",         "\x01",
    "\x7f", "\xc2\x85", "%0A",  "%0D%0A", " \"", "\", \"", "\xc2\xa0",   "/../",
};

// The input read from its start as a stream of choices; 0 once it is spent.
class Choices {
  public:
    explicit Choices(std::string_view bytes) : bytes_(bytes) {}

    uint8_t next() {
        if (at_ >= bytes_.size()) {
            return 0;
        }
        return static_cast<uint8_t>(bytes_[at_++]);
    }

    template <size_t N>
    std::string_view pick(const std::array<std::string_view, N>& table) {
        return table[next() % N];
    }

    // Up to `max` bytes, as many as the next byte says.
    std::string_view bytes(size_t max) {
        const size_t wanted = next() % (max + 1);
        const std::string_view taken = bytes_.substr(std::min(at_, bytes_.size()), wanted);
        at_ += taken.size();
        return taken;
    }

    // The bytes no choice has read.
    std::string_view rest() const { return bytes_.substr(std::min(at_, bytes_.size())); }

  private:
    std::string_view bytes_;
    size_t at_ = 0;
};

struct Planted {
    std::string text;
    // How many times the password stands as user information in `text`.
    size_t passwords = 0;
};

// User information behind `start`: the user name, and the password when there is one, closed by
// an "@". Behind a percent-encoded start it is encoded the same way: the user name byte by byte
// but for letters and digits, the ":" and the "@" once.
std::string userinfo(std::string_view start, std::string_view user,
                     std::optional<std::string_view> password) {
    if (start.find('%') == std::string_view::npos) {
        return password ? fmt::format("{}:{}@", user, *password) : fmt::format("{}@", user);
    }
    std::string out;
    for (char c : user) {
        if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
            out += c;
        } else {
            out += fmt::format("%{:02X}", static_cast<unsigned char>(c));
        }
    }
    if (password) {
        out += "%3A";
        out += *password;
    }
    return out + "%40";
}

// One URL: a start from `kStarts`, user information that holds the password, a user name alone
// or nothing, a host, and a tail of a path, a query or a fragment followed by arbitrary bytes.
void add_url(Choices& choices, bool with_password, Planted& out) {
    const std::string_view start = choices.pick(kStarts);
    out.text += start;
    const uint8_t shape = choices.next();
    const std::string_view user = choices.pick(kUsers);
    if (with_password || shape % 3 == 0) {
        out.text += userinfo(start, user, kPassword);
        ++out.passwords;
    } else if (shape % 3 == 1) {
        out.text += userinfo(start, user, std::nullopt);
    }
    out.text += choices.pick(kHosts);
    out.text += choices.pick(kTails);
    out.text += choices.bytes(8);
}

// Two to four URLs, each after a separator and a few arbitrary bytes; the last one holds the
// password when none before it does.
Planted build_several(Choices& choices) {
    Planted out;
    const size_t urls = 2 + choices.next() % 3;
    for (size_t i = 0; i < urls; ++i) {
        if (i > 0) {
            out.text += choices.pick(kSeparators);
            out.text += choices.bytes(8);
        }
        add_url(choices, i + 1 == urls && out.passwords == 0, out);
    }
    return out;
}

// The bytes after byte 0 with a URL holding the password at one place and, behind a mail address,
// another at a second place, both picked by byte 0 and the last byte (read as 16-bit numbers, so
// that they reach into a long text).
Planted embed(std::string_view data) {
    const std::string_view rest = data.substr(1);
    const auto front = static_cast<uint8_t>(data.front());
    const auto back = static_cast<uint8_t>(data.back());
    size_t first = (front * 256u + back) % (rest.size() + 1);
    size_t second = (back * 256u + front) % (rest.size() + 1);
    if (second < first) {
        std::swap(first, second);
    }
    const auto url = [&](size_t at) {
        const std::string_view start = kStarts[at % kStarts.size()];
        return fmt::format("{}{}h.example/x", start, userinfo(start, "u", kPassword));
    };
    Planted out;
    out.text =
        fmt::format("{}{}{}{}{}{}", rest.substr(0, first), url(first),
                    rest.substr(first, second - first), kMail, url(second), rest.substr(second));
    out.passwords = 2;
    return out;
}

// `length` URLs written percent-encoded, each behind an encoded blank, in both cases.
std::string encoded_run(size_t length) {
    std::string out = "x";
    for (size_t i = 0; i < length; ++i) {
        out += i % 2 == 0 ? "%3A%2F%2F%20" : "%3a//%20";
    }
    return out;
}

// `masked` is `source` masked: masking it again changes nothing.
void check_masked_once(const std::string& masked) {
    check(quorvel::mask_credentials(masked) == masked);
}

// How many times `text` holds the password in any case: normalisation lower-cases a host, which a
// URL written percent-encoded into it may hold.
size_t count_password_any_case(std::string_view text) {
    return count_password(ascii_lowercase(text), ascii_lowercase(kPassword));
}

// `shown` is a masking of `source`, in which the password stands as user information `planted`
// times (fewer when normalisation dropped the path segment holding one): none of those shows.
// Whatever is kept of `source` is kept in pieces between the masks, which hold no letter of the
// password, so each time it shows, `source` shows it elsewhere too.
void check_hidden(std::string_view source, size_t planted, std::string_view shown) {
    const size_t in_source = count_password_any_case(source);
    const bool hidden = count_password_any_case(shown) + std::min(planted, in_source) <= in_source;
    if (!hidden) {
        std::fprintf(stderr, "url_mask_fuzz: a password of \"%s\" shows in \"%s\"\n",
                     hiding_visible(source).c_str(), hiding_visible(shown).c_str());
    }
    check(hidden);
}

// `mask_credentials` of a text that holds `planted` passwords as user information.
void check_credentials(const Planted& planted) {
    const std::string masked = quorvel::mask_credentials(planted.text);
    check(count_password(masked) + planted.passwords <= count_password(planted.text));
    check_masked_once(masked);
    check(masked.ends_with(std::string_view(planted.text).substr(kept_end(planted.text))));
}

// The same text as a URL typed by a person and as the value it parses to: the value and its
// normalised text show none of the passwords that the text holds as user information.
void check_value(const Planted& planted) {
    const std::string& text = planted.text;
    const auto url = quorvel::Url::parse(text);
    const std::string shown = quorvel::mask_url_text(text);
    const std::string source =
        url && names_network_host(*url) ? url->raw_text() : quorvel::strip_url_input(text);
    check_masked_once(shown);
    check_hidden(source, planted.passwords, shown);
    if (url) {
        const std::string masked = quorvel::mask_url(*url);
        check(fmt::format("{}", *url) == masked);
        check_masked_once(masked);
        check_hidden(url->raw_text(), planted.passwords, masked);
        check_hidden(url->raw_text(), planted.passwords, quorvel::mask_url_text(url->raw_text()));
    }
}

// Secrets of the shapes a password takes. None holds a "*", which the mask is made of (a secret
// taken from the bytes may: the checks say where that matters).
constexpr std::array<std::string_view, 16> kSecretShapes = {
    "pass word",
    "it's\"quoted\"",
    "tab\there",
    "100%sure",
    "half%2Fhalf",
    "user:colon",
    "p\xc3\xa4ss\xe2\x82\xac\xf0\x9f\x94\x91",
    "Zq9!",
    "abab",
    "aaaa",
    " lead",
    "ctl\x01\x7f\xc2\x85",
    "bad\xff\xc0\x80utf",
    // Its decoded and encoded forms, "ABC", are too short to be known on their own.
    "%41%42%43",
    "at@sign",
    "long-0123456789abcdefghijklmnopqrstuvwxyz-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ-0123456789-end",
};

constexpr std::array<std::string_view, 3> kSecretUsers = {"u", "alice", "a.b-c"};

bool is_unreserved(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '-' || c == '.' || c == '_' ||
           c == '~';
}

std::string percent_decoded(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() &&
            std::isxdigit(static_cast<unsigned char>(text[i + 1])) != 0 &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2])) != 0) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string percent_encoded(std::string_view text, bool upper) {
    std::string out;
    for (char c : text) {
        if (is_unreserved(c)) {
            out += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out += upper ? fmt::format("%{:02X}", byte) : fmt::format("%{:02x}", byte);
        }
    }
    return out;
}

// The length of the well-formed UTF-8 sequence at `at` (1 for ASCII); 0 where the byte there
// begins none: a stray continuation byte, an overlong form, a surrogate, a value past U+10FFFF or
// a sequence the text ends inside.
size_t utf8_length_at(std::string_view text, size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) {
        return 1;
    }
    size_t length = 0;
    uint32_t point = 0;
    uint32_t least = 0;
    if ((lead & 0xe0) == 0xc0) {
        length = 2, point = lead & 0x1fu, least = 0x80;
    } else if ((lead & 0xf0) == 0xe0) {
        length = 3, point = lead & 0x0fu, least = 0x800;
    } else if ((lead & 0xf8) == 0xf0) {
        length = 4, point = lead & 0x07u, least = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[at + k]);
        if ((next & 0xc0) != 0x80) {
            return 0;
        }
        point = point << 6 | (next & 0x3fu);
    }
    if (point < least || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff)) {
        return 0;
    }
    return length;
}

// The code point of the well-formed sequence of `length` bytes at `at`.
uint32_t code_point_at(std::string_view text, size_t at, size_t length) {
    static constexpr std::array<uint32_t, 5> kLeadBits = {0, 0x7f, 0x1f, 0x0f, 0x07};
    uint32_t point = static_cast<unsigned char>(text[at]) & kLeadBits[length];
    for (size_t k = 1; k < length; ++k) {
        point = point << 6 | (static_cast<unsigned char>(text[at + k]) & 0x3fu);
    }
    return point;
}

constexpr std::string_view kReplacementCharacter = "\xef\xbf\xbd";

// `text` as a decoder that meets bytes that are not UTF-8 gives it: U+FFFD for each run of them,
// or for each of them when `per_byte`.
std::string with_replacements(std::string_view text, bool per_byte) {
    std::string out;
    bool replacing = false;
    for (size_t i = 0; i < text.size();) {
        const size_t length = utf8_length_at(text, i);
        if (length == 0) {
            if (per_byte || !replacing) {
                out += kReplacementCharacter;
            }
            replacing = true;
            ++i;
            continue;
        }
        out += text.substr(i, length);
        replacing = false;
        i += length;
    }
    return out;
}

// How a JSON encoder writes a string.
struct JsonStyle {
    bool upper_hex = false;
    // "/" as "\/", as some encoders write it.
    bool escape_slash = true;
    // Every character past ASCII as "\u" and four hex digits (a surrogate pair past U+FFFF);
    // otherwise as it is.
    bool ascii_only = true;
    // "\n", "\r", "\t", "\b" and "\f" for those control characters; otherwise "\u00XX".
    bool short_controls = true;
};

// `text` inside a JSON string, with the bytes that are not UTF-8 replaced first, since JSON holds
// only characters.
std::string json_form(std::string_view text, const JsonStyle& style) {
    const std::string characters = with_replacements(text, false);
    const auto unit = [&](uint32_t value) {
        return style.upper_hex ? fmt::format("\\u{:04X}", value) : fmt::format("\\u{:04x}", value);
    };
    std::string out;
    for (size_t i = 0; i < characters.size();) {
        const char c = characters[i];
        const size_t length = utf8_length_at(characters, i);
        if (length > 1) {
            const uint32_t point = code_point_at(characters, i, length);
            if (!style.ascii_only) {
                out += std::string_view(characters).substr(i, length);
            } else if (point >= 0x10000) {
                out += unit(0xd800 + ((point - 0x10000) >> 10));
                out += unit(0xdc00 + ((point - 0x10000) & 0x3ff));
            } else {
                out += unit(point);
            }
            i += length;
            continue;
        }
        ++i;
        constexpr std::string_view kShort = "\n\r\t\b\f";
        constexpr std::string_view kShortLetters = "nrtbf";
        if (c == '"' || c == '\\' || (c == '/' && style.escape_slash)) {
            out += '\\';
            out += c;
        } else if (const size_t k = kShort.find(c);
                   k != std::string_view::npos && style.short_controls) {
            out += '\\';
            out += kShortLetters[k];
        } else if (static_cast<unsigned char>(c) < 0x20) {
            out += unit(static_cast<unsigned char>(c));
        } else {
            out += c;
        }
    }
    return out;
}

// `text` percent-encoded but for its unreserved characters (or every byte, when `every_byte`),
// the case of each hex letter picked by a bit of `cases` in turn: "%5c" beside "%2F".
std::string percent_encoded_mixed(std::string_view text, uint16_t cases, bool every_byte) {
    std::string out;
    size_t digit = 0;
    const auto hex = [&](unsigned value) {
        const bool upper = ((cases >> (digit++ % 16)) & 1) != 0;
        return (upper ? "0123456789ABCDEF" : "0123456789abcdef")[value];
    };
    for (const char c : text) {
        if (is_unreserved(c) && !every_byte) {
            out += c;
            continue;
        }
        const auto byte = static_cast<unsigned char>(c);
        out += '%';
        out += hex(byte >> 4);
        out += hex(byte & 0xfu);
    }
    return out;
}

// `text` as a form's field is encoded: "+" for a blank, the unreserved characters as they are, any
// other byte percent-encoded.
std::string form_encoded(std::string_view text, bool upper) {
    std::string out;
    for (const char c : text) {
        if (c == ' ') {
            out += '+';
        } else {
            out += percent_encoded(std::string_view(&c, 1), upper);
        }
    }
    return out;
}

// What the debug form writes for `text` inside its quotes.
std::string debug_escaped(std::string_view text) {
    const std::string quoted = quorvel::debug_quoted(text);
    return quoted.substr(1, quoted.size() - 2);
}

// Adds the forms a message may quote `given` in, once each, when the agent knows it: as given,
// percent-decoded, and that percent-encoded in either case, the given and decoded ones as the
// debug form quotes them, and both in their canonical form (which finds whatever an encoder wrote
// of them), each as long as a known secret is; and the forms of other encodings and of decoding
// mishaps that the library's own tests check (base64 at each alignment, Latin-1 and Windows-1252
// readings, NFC and NFD), as it gives them.
// Whether some secret the agent knows, as given or percent-decoded, starts or ends with a
// backslash: only then are stretches of the canonical view widened over backslashes touching them.
bool g_backslash_ends = false;

void add_form(std::string form, std::vector<std::string>& forms) {
    if (form.size() >= quorvel::secrets::kShortestKnownSecret &&
        std::find(forms.begin(), forms.end(), form) == forms.end()) {
        forms.push_back(std::move(form));
    }
}

void add_forms(std::string_view given, std::vector<std::string>& forms) {
    if (given.size() < quorvel::secrets::kShortestKnownSecret) {
        return;
    }
    const std::string decoded = percent_decoded(given);
    for (const std::string_view text : {given, std::string_view(decoded)}) {
        g_backslash_ends = g_backslash_ends || text.starts_with('\\') || text.ends_with('\\');
    }
    for (std::string form :
         {std::string(given), decoded, percent_encoded(decoded, true),
          percent_encoded(decoded, false), debug_escaped(given), debug_escaped(decoded),
          quorvel::secrets::canonical(given), quorvel::secrets::canonical(decoded),
          quorvel::secrets::canonical(with_replacements(given, false)),
          quorvel::secrets::canonical(with_replacements(decoded, false))}) {
        add_form(std::move(form), forms);
    }
    for (std::string form : quorvel::secrets::forms_of(given)) {
        add_form(std::move(form), forms);
    }
}

// Adds the forms of the user information of `url_text` (past its "://", up to the last "@" before
// a path, a query or a fragment), and of the password in it on its own.
void add_userinfo_forms(std::string_view url_text, std::vector<std::string>& forms) {
    const size_t slashes = url_text.find("://");
    if (slashes == std::string_view::npos) {
        return;
    }
    const std::string_view rest = url_text.substr(slashes + 3);
    const std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    const size_t at = authority.rfind('@');
    if (at == std::string_view::npos) {
        return;
    }
    const std::string_view userinfo = authority.substr(0, at);
    add_forms(userinfo, forms);
    // What the HTTP client sends as Basic credentials, as it stands and read back.
    for (const std::string& sent : quorvel::secrets::basic_credentials_forms(userinfo)) {
        add_form(sent, forms);
        add_form(quorvel::secrets::canonical(sent), forms);
    }
    if (const size_t colon = userinfo.find(':'); colon != std::string_view::npos) {
        add_forms(userinfo.substr(colon + 1), forms);
    }
}

// Makes `secret` known (when `learn`) the way `way` picks: as it is, or as the password of a URL
// (raw, or percent-encoded when a "/", "?" or "#" would end the URL's authority before it, or
// when `way` says so); and adds the forms of everything the agent then knows: for a URL, its user
// information as typed, as the parser reads the text and as the normalised URL writes it.
// Returns the secret as a server that was sent it reads it: percent-decoded.
std::string make_known(uint8_t way, const std::string& secret, bool learn,
                       std::vector<std::string>& forms) {
    if (way % 3 == 0) {
        if (learn) {
            quorvel::secrets::remember(secret);
        }
        add_forms(secret, forms);
        return percent_decoded(secret);
    }
    const std::string_view user = kSecretUsers[(way / 3) % kSecretUsers.size()];
    const std::string password = way % 3 == 2 && secret.find_first_of("/?#") == std::string::npos
                                     ? secret
                                     : percent_encoded(secret, true);
    const std::string url = fmt::format("https://{}:{}@h.example/x", user, password);
    if (learn) {
        quorvel::secrets::remember_url_userinfo(url);
    }
    add_userinfo_forms(url, forms);
    add_userinfo_forms(quorvel::strip_url_input(url), forms);
    if (const auto parsed = quorvel::Url::parse(url)) {
        add_userinfo_forms(parsed->raw_text(), forms);
    }
    return percent_decoded(password);
}

struct PlantedSecrets {
    std::string text;
    // Every form of every secret the agent knows.
    std::vector<std::string> forms;
    // The forms an encoder wrote of a known secret that was planted, each of which a search finds
    // whole.
    std::vector<std::string> encoded;
};

// One secret planted in a text: which one, in what shape, where.
struct Plant {
    size_t secret = 0;
    uint8_t shape = 0;
    uint16_t at = 0;
};

// `text` grown to cross the bound on outside text, by repeating itself, and `form` put across the
// bound, or ending at it.
void plant_across_bound(std::string& text, const std::string& form, uint16_t at) {
    const std::string filler = text.empty() ? std::string("x") : text;
    while (text.size() < quorvel::kOutsideTextBound) {
        text += filler;
    }
    text.insert(quorvel::kOutsideTextBound - 1 - at % form.size(), form);
}

// `text` as an HTML page quotes it: the five signs by name, other ASCII characters as `bits` picks
// by decimal or hexadecimal number (either case of "x" and of hex), and the whole escaped again.
std::string html_form(std::string_view text, uint16_t bits) {
    std::string out;
    for (size_t k = 0; k < text.size(); ++k) {
        const auto c = static_cast<unsigned char>(text[k]);
        const unsigned pick = (bits >> (k % 4 * 2)) & 3;
        if (c == '&' || c == '<' || c == '>' || c == '"' || c == '\'') {
            constexpr std::string_view kNames[] = {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"};
            out += kNames[std::string_view("&<>\"'").find(static_cast<char>(c))];
        } else if (c < 0x80 && pick == 1) {
            out += fmt::format("&#{};", c);
        } else if (c < 0x80 && pick == 2) {
            out += (bits & 0x100) != 0 ? fmt::format("&#X{:X};", c) : fmt::format("&#x{:x};", c);
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    if ((bits & 0x200) == 0) {
        return out;
    }
    std::string again;
    for (const char c : out) {
        again += c == '&' ? std::string("&amp;") : std::string(1, c);
    }
    return again;
}

// `text` as other languages write bytes and code points: every byte from 0x80 up as "\xHH" in
// either case, or in octal (a bytes literal); or each character above ASCII as "\xHH" up to
// U+00FF, "\uHHHH" and "\UHHHHHHHH" past it (an ASCII-only string literal).
std::string other_language_form(std::string_view text, uint16_t bits) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const size_t length = utf8_length_at(text, i);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
        } else if ((bits & 3) == 2 && length > 0) {
            const uint32_t point = code_point_at(text, i, length);
            out += point <= 0xff     ? fmt::format("\\x{:02x}", point)
                   : point <= 0xffff ? fmt::format("\\u{:04x}", point)
                                     : fmt::format("\\U{:08X}", point);
            i += length;
        } else {
            out += (bits & 3) == 3   ? fmt::format("\\{:03o}", c)
                   : (bits & 1) != 0 ? fmt::format("\\x{:02X}", c)
                                     : fmt::format("\\x{:02x}", c);
            ++i;
        }
    }
    return out;
}

// The base64 of a longer byte string that holds `text` after up to two bytes taken from `bits`,
// and some bytes after it, in the standard or the URL-safe alphabet, padded or not.
std::string base64_form(std::string_view text, uint16_t bits) {
    std::string bytes(bits % 3, static_cast<char>(bits >> 8));
    bytes += text;
    bytes.append((bits >> 2) % 4, static_cast<char>(bits >> 4));
    const char* alphabet = (bits & 0x40) != 0
                               ? "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
                               : "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t group = 0;
    int held = 0;
    for (const char ch : bytes) {
        group = group << 8 | static_cast<unsigned char>(ch);
        held += 8;
        while (held >= 6) {
            held -= 6;
            out.push_back(alphabet[(group >> held) & 0x3f]);
        }
    }
    if (held > 0) {
        out.push_back(alphabet[(group << (6 - held)) & 0x3f]);
        if ((bits & 0x80) != 0) {
            out.append(held == 2 ? 2 : 1, '=');
        }
    }
    return out;
}

// `text`'s UTF-8 bytes read as Latin-1 and written again as UTF-8.
std::string latin1_misread(std::string_view text) {
    std::string out;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80) {
            out.push_back(ch);
        } else {
            out.push_back(static_cast<char>(0xc0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
        }
    }
    return out;
}

// The number of encoders `encoder_form` knows.
constexpr uint8_t kEncoders = 11;

// `decoded` as the encoder `which` writes it, with choices of its style taken from `bits`: JSON in
// lower- or upper-case hex (each with "/" and non-ASCII characters escaped or as they are, and
// control characters in the short or the long escape), that debug-quoted
// again ("\\\"" for a quote), percent-encoded in mixed case, encoded as a form's field, with
// U+FFFD for what is not UTF-8, as HTML quotes it, as other languages escape it, inside base64,
// read as Latin-1, and JSON percent-encoded.
std::string encoder_form(uint8_t which, const std::string& decoded, uint16_t bits) {
    JsonStyle json{
        .upper_hex = (bits & 1) != 0,
        .escape_slash = (bits & 2) == 0,
        .ascii_only = (bits & 4) == 0,
        .short_controls = (bits & 8) == 0,
    };
    switch (which % kEncoders) {
        case 0:
            json.upper_hex = false;
            return json_form(decoded, json);
        case 1:
            json.upper_hex = true;
            return json_form(decoded, json);
        case 2:
            return debug_escaped(json_form(decoded, json));
        case 3:
            return percent_encoded_mixed(decoded, bits, (bits & 0x100) != 0);
        case 4:
            return form_encoded(decoded, (bits & 1) != 0);
        case 5:
            return with_replacements(decoded, (bits & 1) != 0);
        case 6:
            return html_form(decoded, bits);
        case 7:
            return other_language_form(decoded, bits);
        case 8:
            return base64_form(decoded, bits);
        case 9:
            return latin1_misread(decoded);
        default:
            return percent_encoded_mixed(json_form(decoded, json), bits >> 4, false);
    }
}

// Plants a known secret given as `secret`, which a server reads as `decoded`, in `text`: as given,
// percent-encoded either way, percent-decoded, as a URL's password, behind a start of itself, or
// across the bound; or as an encoder writes it (`encoder_form`), in the text, between blanks or
// across the bound. Returns the encoder's form when it wrote one.
std::optional<std::string> plant(const Plant& plant, const std::string& secret,
                                 const std::string& decoded, std::string& text) {
    const std::string secret_decoded = percent_decoded(secret);
    // Behind a start of itself: "abab" then reads "ababab", "aba" + "abab" ...
    const std::string behind_start = secret.substr(0, 1 + plant.at % (secret.size() - 1)) + secret;
    const size_t at = plant.at * (text.size() + 1) / 65536;
    std::string form;
    switch (plant.shape % 16) {
        case 0:
            form = secret;
            break;
        case 1:
            form = percent_encoded(secret_decoded, true);
            break;
        case 2:
            form = percent_encoded(secret_decoded, false);
            break;
        case 3:
            form = secret_decoded;
            break;
        case 4:
            form = fmt::format("https://u:{}@h.example/", secret);
            break;
        case 5:
            form = behind_start;
            break;
        case 6:
            plant_across_bound(text, plant.shape < 128 ? secret : behind_start, plant.at);
            return std::nullopt;
        case 7:
            plant_across_bound(text, fmt::format("https://u:{}@h.example/", secret), plant.at);
            return std::nullopt;
        case 15: {
            std::string encoded = encoder_form(plant.shape / 16, decoded, plant.at);
            if (!encoded.empty()) {
                plant_across_bound(text, encoded, plant.at);
            }
            return encoded;
        }
        default: {
            std::string encoded = encoder_form(
                static_cast<uint8_t>(plant.shape % 16 - 8 + ((plant.shape >> 4) & 7) * 7), decoded,
                plant.at);
            text.insert(at, (plant.shape & 0x80) != 0 ? " " + encoded + " " : encoded);
            return encoded;
        }
    }
    text.insert(at, form);
    return std::nullopt;
}

// Read from the start: how many secrets, each one (a shape, or bytes of the input), how each is
// made known, how many plants and each one; the bytes left are the text they are planted in.
PlantedSecrets plant_secrets(std::string_view input) {
    Choices choices(input);
    std::vector<std::pair<uint8_t, std::string>> known(1 + choices.next() % 3);
    for (auto& [way, secret] : known) {
        const uint8_t pick = choices.next();
        secret = kSecretShapes[pick % kSecretShapes.size()];
        if (pick >= 0xc0) {
            if (const std::string_view taken = choices.bytes(48);
                taken.size() >= quorvel::secrets::kShortestKnownSecret) {
                secret = taken;
            }
        }
        way = choices.next();
    }
    // Learning anew only when the secrets differ from those known keeps a run from building an
    // index per input.
    std::vector<std::string> key = {"planted"};
    for (const auto& [way, secret] : known) {
        key.push_back(fmt::format("{}:{}", way, secret));
    }
    const bool learn = key != g_known_key;
    if (learn) {
        quorvel::secrets::forget_all_for_tests();
        g_known_key = std::move(key);
    }
    PlantedSecrets out;
    g_backslash_ends = false;
    std::vector<std::string> decoded;
    for (const auto& [way, secret] : known) {
        decoded.push_back(make_known(way, secret, learn, out.forms));
    }
    std::vector<Plant> plants(1 + choices.next() % 6);
    for (Plant& p : plants) {
        p.secret = choices.next() % known.size();
        p.shape = choices.next();
        p.at = static_cast<uint16_t>(choices.next() * 256u + choices.next());
    }
    out.text = choices.rest();
    for (const Plant& p : plants) {
        const std::string& plain = decoded[p.secret];
        std::optional<std::string> encoded = plant(p, known[p.secret].second, plain, out.text);
        // What a search must find whole: an encoder's form of a secret whose canonical form is
        // long enough to be known, and that holds no "*", which a mask could not be told from.
        if (encoded && plain.find('*') == std::string::npos &&
            quorvel::secrets::canonical(plain).size() >= quorvel::secrets::kShortestKnownSecret) {
            out.encoded.push_back(std::move(*encoded));
        }
    }
    return out;
}

// Where the forms stand in a text, as stretches [begin, end) of it: `end` is `kOpenEnd` for a
// form the text ends inside.
using Stretches = std::vector<std::pair<size_t, size_t>>;
constexpr size_t kOpenEnd = SIZE_MAX;

// The text as it stands, each byte standing for itself.
quorvel::secrets::CanonicalView plain_view(std::string_view text) {
    quorvel::secrets::CanonicalView view;
    view.bytes = text;
    for (size_t i = 0; i < text.size(); ++i) {
        view.from.push_back(static_cast<uint32_t>(i));
        view.to.push_back(static_cast<uint32_t>(i + 1));
    }
    return view;
}

// Adds the stretches of the text that every occurrence of every form in `view` stands for, found
// by a plain search, widened over the backslashes that touch them where `widen` (a canonical view
// of `text`); and where `unfinished`, from the earliest place from which the rest of the
// view is a start of a form (short of the whole) to the open end.
// The length of the backslash, plain or percent-encoded, that ends at `at` (`before`) or starts
// there; 0 when there is none.
size_t backslash_at(std::string_view text, size_t at, bool before) {
    const auto encoded = [&](size_t i) {
        return i + 3 <= text.size() && text[i] == '%' && text[i + 1] == '5' &&
               (text[i + 2] | 0x20) == 'c';
    };
    if (before) {
        if (at >= 1 && text[at - 1] == '\\')
            return 1;
        return at >= 3 && encoded(at - 3) ? 3 : 0;
    }
    if (at < text.size() && text[at] == '\\')
        return 1;
    return encoded(at) ? 3 : 0;
}
void add_found(const quorvel::secrets::CanonicalView& view, const std::vector<std::string>& forms,
               bool unfinished, size_t shift, Stretches& out, std::string_view text = {},
               bool widen = false) {
    const std::string_view bytes = view.bytes;
    for (const std::string& form : forms) {
        for (size_t at = bytes.find(form); at != std::string_view::npos;
             at = bytes.find(form, at + 1)) {
            size_t b = view.from[at], e = view.to[at + form.size() - 1];
            if (widen) {
                for (size_t n; (n = backslash_at(text, b, true)) != 0;)
                    b -= n;
                for (size_t n; (n = backslash_at(text, e, false)) != 0;)
                    e += n;
            }
            out.emplace_back(shift + b, shift + e);
        }
    }
    if (!unfinished) {
        return;
    }
    size_t longest = 0;
    for (const std::string& form : forms) {
        longest = std::max(longest, form.size());
    }
    for (size_t t = bytes.size() - std::min(bytes.size(), longest); t < bytes.size(); ++t) {
        const std::string_view rest = bytes.substr(t);
        for (const std::string& form : forms) {
            if (form.size() > rest.size() && form.starts_with(rest)) {
                out.emplace_back(shift + view.from[t], kOpenEnd);
                return;
            }
        }
    }
}

// Sorted, with the stretches that overlap joined into one: stretches side by side stay two.
Stretches joined(Stretches stretches) {
    std::sort(stretches.begin(), stretches.end());
    Stretches out;
    for (const auto& stretch : stretches) {
        if (!out.empty() && stretch.first < out.back().second) {
            out.back().second = std::max(out.back().second, stretch.second);
        } else {
            out.push_back(stretch);
        }
    }
    return out;
}

// Where a form of a known secret stands in `text` (shifted by `shift`), found by a plain search of
// both views: the text as it stands and its canonical view, whose reading the library's decoder
// gives. A text whose canonical view may not differ must read as it stands.
Stretches stretches_in(std::string_view text, const std::vector<std::string>& forms,
                       bool unfinished, size_t shift = 0) {
    Stretches found;
    add_found(plain_view(text), forms, unfinished, shift, found);
    const quorvel::secrets::CanonicalView view = quorvel::secrets::canonical_view(text);
    check(quorvel::secrets::may_differ_from_canonical(text) || view.bytes == text);
    check(view.from.size() == view.bytes.size() && view.to.size() == view.bytes.size());
    add_found(view, forms, unfinished, shift, found, text, g_backslash_ends);
    return joined(std::move(found));
}

// Where a cut at `cut` must move to so that no form stands across it: to the start of the
// stretch that holds it strictly inside, of `stretches` joined where they overlap (the start of
// the chain of forms that overlap one another and hold the cut); the cut itself when there is
// none.
size_t cut_plainly(const Stretches& stretches, size_t cut) {
    for (const auto& [start, stop] : stretches) {
        if (start < cut && cut < stop) {
            return start;
        }
    }
    return cut;
}

// The longest start of a form (short of the whole form) that `text` ends with.
size_t longest_start_at_end(std::string_view text, const std::vector<std::string>& forms) {
    size_t longest = 0;
    for (const std::string& form : forms) {
        for (size_t length = std::min(form.size() - 1, text.size()); length > longest; --length) {
            if (text.ends_with(std::string_view(form).substr(0, length))) {
                longest = length;
                break;
            }
        }
    }
    return longest;
}

// A cut at the end of a text a library cut short, where what the text ends inside counts as
// standing past its end, and one inside a whole text (`whole`: its stretches): each moves where a
// plain search says, so back until no form stands across it in either view of the text. (The
// library reads a text in more ways than these two views, escapes beside a form for one, so a cut
// may move further back than they say, never less.)
void check_cuts(std::string_view text, const std::vector<std::string>& forms,
                const Stretches& whole) {
    const size_t end = quorvel::secrets::cut_before_secrets(text, text.size(), false);
    const size_t plain_end = cut_plainly(stretches_in(text, forms, true), text.size());
    const size_t middle = text.size() / 2;
    const size_t cut = quorvel::secrets::cut_before_secrets(text, middle, true);
    const size_t plain_cut = cut_plainly(whole, middle);
    if (end > plain_end || cut > plain_cut) {
        std::fprintf(stderr,
                     "url_mask_fuzz: cuts of \"%s\" at its end and at %zu moved to %zu and %zu, "
                     "a plain search says %zu and %zu\n",
                     hiding_visible(text).c_str(), middle, end, cut, plain_end, plain_cut);
    }
    check(end <= plain_end);
    check(end <= text.size() - longest_start_at_end(text, forms));
    check(cut <= plain_cut);
}

// Whether `text` is well-formed UTF-8 holding no control character (C0, DEL, C1).
bool displayable(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const size_t length = utf8_length_at(text, i);
        if (length == 0) {
            return false;
        }
        const uint32_t point = code_point_at(text, i, length);
        if (point < 0x20 || (point >= 0x7f && point <= 0x9f)) {
            return false;
        }
        i += length;
    }
    return true;
}

// `out` is a text as shown. Where it holds a form of a known secret, the form takes in a byte that
// showing wrote: a mask (forms here hold no "*"), or an escape, which is at most six bytes from its
// "\" ("\x{ff}"). A form that takes in neither is kept text quoting a known secret. Read back as
// an encoder's reader would (its canonical view, in which the escapes that showing wrote read as
// what they escape), it holds no form at all: one would take in a mask, and forms here hold no
// "*".
void check_no_kept_form(std::string_view out, const std::vector<std::string>& forms) {
    const std::string read_back = quorvel::secrets::canonical(out);
    for (const std::string& form : forms) {
        if (form.find('*') != std::string::npos) {
            continue;
        }
        check(read_back.find(form) == std::string::npos);
        if (form.find('\\') != std::string::npos) {
            continue;
        }
        for (size_t at = out.find(form); at != std::string_view::npos;
             at = out.find(form, at + 1)) {
            const size_t from = at >= 5 ? at - 5 : 0;
            check(out.substr(from, at - from).find('\\') != std::string_view::npos);
        }
    }
}

// Outside text bounded: at most `kOutsideTextBound` bytes of it, then how many were left out.
void check_bounded(std::string_view text, const std::vector<std::string>& forms,
                   const Stretches& whole) {
    const std::string bounded = quorvel::bound_outside_text(text);
    const std::string out = quorvel::shown(bounded);
    check(displayable(out));
    check_no_kept_form(out, forms);
    if (text.size() <= quorvel::kOutsideTextBound) {
        check(bounded == text);
        return;
    }
    constexpr std::string_view kNoteStart = "... [";
    constexpr std::string_view kNoteEnd = " bytes left out]";
    const size_t note = bounded.rfind(kNoteStart);
    check(note != std::string::npos && bounded.ends_with(kNoteEnd));
    const std::string_view head = std::string_view(bounded).substr(0, note);
    check(head.size() <= quorvel::kOutsideTextBound && text.starts_with(head));
    // A text that ends as a bounded one may be one, whose count the new count takes in.
    if (!text.ends_with(kNoteEnd)) {
        const size_t digits = note + kNoteStart.size();
        check(bounded.substr(digits, bounded.size() - kNoteEnd.size() - digits) ==
              std::to_string(text.size() - head.size()));
    }
    // No form of a known secret that the text holds stands across the cut, in either view.
    check(cut_plainly(whole, head.size()) == head.size());
}

// An encoder's form of a known secret, between blanks: no byte of it shows. One that reads back
// to none of the known forms is no form of one.
void check_hidden_whole(std::string_view encoded, const std::vector<std::string>& forms) {
    if (std::find(forms.begin(), forms.end(), quorvel::secrets::canonical(encoded)) ==
        forms.end()) {
        return;
    }
    const std::string hidden = quorvel::secrets::hide(fmt::format(" {} ", encoded));
    const size_t first = hidden.starts_with(' ') ? 1 : 0;
    const size_t last = hidden.size() - (hidden.ends_with(' ') ? 1 : 0);
    const std::string_view masks = std::string_view(hidden).substr(first, last - first);
    const bool whole = !masks.empty() && masks.size() % quorvel::secrets::kMask.size() == 0 &&
                       masks.find_first_not_of('*') == std::string_view::npos;
    if (!whole) {
        std::fprintf(stderr, "url_mask_fuzz: the encoded form \"%s\" shows as \"%s\"\n",
                     hiding_visible(encoded).c_str(), hiding_visible(hidden).c_str());
    }
    check(whole);
}

void check_known_secrets(const PlantedSecrets& planted) {
    const std::string& text = planted.text;
    const Stretches whole = stretches_in(text, planted.forms, false);
    const std::string hidden = quorvel::secrets::hide(text);
    for (const std::string& form : planted.forms) {
        const bool gone =
            form.find('*') != std::string::npos || hidden.find(form) == std::string::npos;
        if (!gone) {
            std::fprintf(stderr, "url_mask_fuzz: the known form \"%s\" stays in \"%s\"\n",
                         hiding_visible(form).c_str(), hiding_visible(hidden).c_str());
        }
        check(gone);
    }
    std::string in_place = text;
    quorvel::secrets::hide_in_place(in_place);
    check(in_place == hidden);
    check_cuts(text, planted.forms, whole);
    for (const std::string& encoded : planted.encoded) {
        check_hidden_whole(encoded, planted.forms);
    }

    const std::string out = quorvel::shown(text);
    check(out == quorvel::escape_controls(hidden));
    std::string made = text;
    quorvel::make_shown(made);
    check(made == out);
    std::string appended = "> ";
    quorvel::append_shown(appended, text);
    check(appended == "> " + out);
    check(displayable(out));
    check_no_kept_form(out, planted.forms);

    check_bounded(text, planted.forms, whole);
}

// The hiding property, judged apart from the library's readers. A known secret s (as given, and
// percent-decoded when it holds "%hh") is written by a chain of one to three encoders that are
// written here the ways real libraries write them (JSON, HTML's references, percent-encoding, a
// form's "+", byte, octal and code-point escapes, base64 wrapped as MIME or PEM wraps it), one to
// six copies of what the chain wrote stand between neighbours p and q (escape starts and ordinary
// words), and the text is hidden. Nothing here asks the library how it reads a text.
//
// "Shows no start of s": let f be the form written and k = min(|f|, max(4, |f| / 2)), moved on to
// a character boundary. The pieces are f[0:k], s[0:k], and each encoding of f[0:k] along the chain
// (for base64, the characters that f[0:k]'s bytes alone decide). Hiding only puts masks, made of
// "*", in place of stretches of the text, and no piece holds a "*"; so each piece the output holds
// lies in one stretch the hiding kept, which is a part of the text. A stretch inside p or q holds
// the piece at most as often as p or q does; so the output may hold each piece at most as often as
// p + X' * r + q does, where X' is what the chain wrote with the secret's own bytes masked (a "*"
// for every chain but base64's, whose characters that mix in the bytes around the secret stay).
// Holding it more often means hiding kept a stretch that takes in the start of a form.
namespace hiding {

constexpr size_t kShortestKnownSecret = quorvel::secrets::kShortestKnownSecret;

// Whether the checks below report what they find and go on (for a survey of a run) instead of
// ending the program: set URL_MASK_FUZZ_SURVEY to the file to append reports to.
const char* survey_path() {
    static const char* path = std::getenv("URL_MASK_FUZZ_SURVEY");
    return path;
}

// `text` with every byte other than printable ASCII (and `"`) written as "\xHH" and "\" as "\\", on
// one line.
std::string visible(std::string_view text, size_t limit = 400) {
    std::string out;
    for (const char ch : text.substr(0, limit)) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7f && c != '"') {
            out += ch;
        } else {
            out += fmt::format("\\x{:02x}", c);
        }
    }
    return text.size() > limit ? out + "..." : out;
}

// Ends the program on a failed check, or, in a survey, appends `report` to the survey's file when
// it is the shortest yet of its `group` (what failed, how), and keeps the input that made it as
// "<survey file>.inputs/<hash of the group>".
void judge(bool holds, const std::string& group, const std::string& report,
           int line = __builtin_LINE()) {
    if (holds) {
        return;
    }
    if (survey_path() == nullptr) {
        std::fprintf(stderr, "url_mask_fuzz: hiding: %s %s\n", group.c_str(), report.c_str());
        check(false, line);
    }
    static std::unordered_map<std::string, size_t> shortest;
    const auto [it, added] = shortest.try_emplace(group, report.size());
    if (!added && it->second <= report.size()) {
        return;
    }
    it->second = report.size();
    if (FILE* file = std::fopen(survey_path(), "a")) {
        std::fprintf(file, "group=[%s] %s\n", group.c_str(), report.c_str());
        std::fclose(file);
    }
    const std::string inputs = std::string(survey_path()) + ".inputs";
    mkdir(inputs.c_str(), 0755);
    const std::string name = fmt::format("{}/{:016x}", inputs, std::hash<std::string>{}(group));
    if (FILE* file = std::fopen(name.c_str(), "wb")) {
        std::fwrite(g_input.data(), 1, g_input.size(), file);
        std::fclose(file);
    }
}

// Whether to say what each input plants (URL_MASK_FUZZ_DESCRIBE set), to tell what a corpus
// file exercises.
bool describing() {
    static const bool describe = std::getenv("URL_MASK_FUZZ_DESCRIBE") != nullptr;
    return describe;
}

// How often `piece` stands in `text`, occurrences that overlap counted each.
size_t occurrences(std::string_view text, std::string_view piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string_view::npos;
         at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

bool is_hex_digit(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

std::string own_percent_decoded(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && is_hex_digit(text[i + 1]) &&
            is_hex_digit(text[i + 2])) {
            out += static_cast<char>(std::stoi(std::string(text.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool well_formed_utf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const size_t length = utf8_length_at(text, i);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

// ---- Encoders, each as a library of some language writes text.

enum class Encoder : uint8_t {
    kJson,
    kHtmlFive,
    kHtmlEvery,
    kPercent,
    kForm,
    kByteHex,
    kByteOctal,
    kCodePoint,
    kBase64,
};
constexpr uint8_t kEncoderCount = 9;
constexpr std::array<std::string_view, kEncoderCount> kEncoderNames = {
    "json", "html5", "html-every", "percent", "form", "byte-hex", "octal", "code-point", "base64",
};

struct Step {
    Encoder encoder = Encoder::kJson;
    uint16_t bits = 0;
};

// What an encoder wrote, and where the output of each input byte begins (`at[i]`; `at[size]` is
// the output's size): a stretch of whole characters of the input maps to [at[a], at[b]).
struct Encoded {
    std::string out;
    std::vector<size_t> at;
};

// The bit of `bits` that position `i` picks, cycling.
bool bit_at(uint16_t bits, size_t i) {
    return ((bits >> (i % 16)) & 1) != 0;
}

std::string hex_byte(unsigned value, bool upper) {
    return upper ? fmt::format("{:02X}", value) : fmt::format("{:02x}", value);
}

std::string hex_unit(uint32_t value, bool upper) {
    return upper ? fmt::format("{:04X}", value) : fmt::format("{:04x}", value);
}

// Walks `in` a character at a time, `write` appending the output of each (given the character and
// its code point, or -1 for a byte that begins none), and records where each begins.
template <typename Write>
Encoded per_character(std::string_view in, Write write) {
    Encoded e;
    e.at.assign(in.size() + 1, 0);
    for (size_t i = 0; i < in.size();) {
        const size_t length = utf8_length_at(in, i);
        const size_t n = std::max<size_t>(1, length);
        for (size_t k = 0; k < n; ++k) {
            e.at[i + k] = e.out.size();
        }
        const int64_t point = length == 0 ? -1 : static_cast<int64_t>(code_point_at(in, i, length));
        write(e.out, in.substr(i, n), point, i,
              i + n == in.size() ? std::string_view{} : in.substr(i + n));
        i += n;
    }
    e.at[in.size()] = e.out.size();
    return e;
}

// JSON's string escaping: `"` and `\` always, "/" when asked, the short escapes of controls or
// "\u00XX", characters past ASCII as they are or as "\uXXXX" (a surrogate pair past U+FFFF), and,
// as encoders that write JSON into HTML do, "<", ">", "&" and "'" as "\u003c" ...
Encoded json_escaped(std::string_view in, uint16_t bits) {
    const bool upper = (bits & 1) != 0, slash = (bits & 2) != 0, ascii_only = (bits & 4) != 0,
               long_controls = (bits & 8) != 0, html_safe = (bits & 16) != 0;
    return per_character(in, [&](std::string& out, std::string_view ch, int64_t point, size_t,
                                 std::string_view) {
        constexpr std::string_view kShort = "\n\r\t\b\f";
        constexpr std::string_view kLetters = "nrtbf";
        const auto unit = [&](uint32_t v) { out += "\\u" + hex_unit(v, upper); };
        if (point < 0) {
            unit(0xfffd);  // a byte that begins no character, replaced as encoders do
        } else if (point >= 0x80) {
            if (!ascii_only) {
                out += ch;
            } else if (point >= 0x10000) {
                unit(0xd800 + ((static_cast<uint32_t>(point) - 0x10000) >> 10));
                unit(0xdc00 + ((static_cast<uint32_t>(point) - 0x10000) & 0x3ff));
            } else {
                unit(static_cast<uint32_t>(point));
            }
        } else if (const char c = ch[0]; c == '"' || c == '\\' || (c == '/' && slash)) {
            out += '\\';
            out += c;
        } else if (html_safe && std::string_view("<>&'").find(c) != std::string_view::npos) {
            unit(static_cast<unsigned char>(c));
        } else if (const size_t k = kShort.find(c); k != std::string_view::npos && !long_controls) {
            out += '\\';
            out += kLetters[k];
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            unit(static_cast<unsigned char>(c));
        } else {
            out += c;
        }
    });
}

// HTML's escaping of the five: "&", "<", ">", `"` by name (or `"` as "&#34;"), "'" as "&#39;",
// "&apos;" or "&#x27;".
Encoded html_five(std::string_view in, uint16_t bits) {
    constexpr std::array<std::string_view, 3> kApostrophe = {"&#39;", "&apos;", "&#x27;"};
    return per_character(
        in, [&](std::string& out, std::string_view ch, int64_t, size_t, std::string_view) {
            switch (ch[0]) {
                case '&':
                    out += "&amp;";
                    break;
                case '<':
                    out += "&lt;";
                    break;
                case '>':
                    out += "&gt;";
                    break;
                case '"':
                    out += (bits & 4) != 0 ? "&#34;" : "&quot;";
                    break;
                case '\'':
                    out += kApostrophe[(bits & 3) % 3];
                    break;
                default:
                    out += ch;
            }
        });
}

// Every character but ASCII letters and digits as a numeric reference, decimal or hexadecimal
// ("x" or "X", hex digits in either case), with up to three leading zeros, and, where the
// character after it cannot extend the number, sometimes without its ";" (HTML5 reads those).
// The last reference keeps its ";": what follows the encoded text is not the encoder's to know.
Encoded html_every(std::string_view in, uint16_t bits) {
    return per_character(in, [&](std::string& out, std::string_view ch, int64_t point, size_t i,
                                 std::string_view rest) {
        if (ch.size() == 1 && std::isalnum(static_cast<unsigned char>(ch[0])) != 0) {
            out += ch;
            return;
        }
        const uint32_t value = point < 0 ? 0xfffd : static_cast<uint32_t>(point);
        const bool hex = bit_at(bits, i);
        const std::string zeros(bit_at(bits, i + 3) ? (bits >> 12) % 4 : 0, '0');
        if (hex) {
            const bool upper_digits = bit_at(bits, i + 1);
            out += bit_at(bits, i + 2) ? "&#X" : "&#x";
            out += zeros;
            out += upper_digits ? fmt::format("{:X}", value) : fmt::format("{:x}", value);
        } else {
            out += "&#" + zeros + fmt::format("{}", value);
        }
        // The next character's output starts with its own first byte, or "&" for a reference.
        const bool next_extends =
            rest.empty() || (std::isalnum(static_cast<unsigned char>(rest[0])) != 0 &&
                             (hex ? is_hex_digit(rest[0])
                                  : std::isdigit(static_cast<unsigned char>(rest[0])) != 0));
        if (next_extends || (bits & 0x800) == 0 || !bit_at(bits, i + 5) || rest.empty()) {
            out += ';';
        }
    });
}

// Percent-encoding of "%", of every byte that is not printable ASCII, and of a subset of the
// rest that `bits` picks, in upper- or lower-case hex.
Encoded percent_subset(std::string_view in, uint16_t bits) {
    Encoded e;
    for (size_t i = 0; i < in.size(); ++i) {
        e.at.push_back(e.out.size());
        const auto c = static_cast<unsigned char>(in[i]);
        if (c == '%' || c <= 0x20 || c >= 0x7f || bit_at(bits, i)) {
            e.out +=
                '%' + hex_byte(c, (bits & 0x8000) != 0 ? bit_at(bits, i + 7) : (bits & 1) != 0);
        } else {
            e.out += static_cast<char>(c);
        }
    }
    e.at.push_back(e.out.size());
    return e;
}

// A form's field: "+" for a blank, letters, digits and "-._" as they are, every other byte
// percent-encoded.
Encoded form_field(std::string_view in, uint16_t bits) {
    Encoded e;
    for (const char ch : in) {
        e.at.push_back(e.out.size());
        const auto c = static_cast<unsigned char>(ch);
        if (c == ' ') {
            e.out += '+';
        } else if (std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_') {
            e.out += ch;
        } else {
            e.out += '%' + hex_byte(c, (bits & 1) == 0);
        }
    }
    e.at.push_back(e.out.size());
    return e;
}

// The backslash escapes of a quoted literal that every style below shares: "\", the quote, and
// the controls with a letter of their own. Returns whether it wrote one.
bool common_escape(std::string& out, char c, bool single_quote) {
    constexpr std::string_view kShort = "\n\r\t";
    constexpr std::string_view kLetters = "nrt";
    if (c == '\\' || c == (single_quote ? '\'' : '"')) {
        out += '\\';
        out += c;
        return true;
    }
    if (const size_t k = kShort.find(c); k != std::string_view::npos) {
        out += '\\';
        out += kLetters[k];
        return true;
    }
    return false;
}

// A bytes literal: every byte past ASCII and every other control as "\xHH" (or every byte at all,
// as a dump does), in either case.
Encoded byte_hex(std::string_view in, uint16_t bits) {
    Encoded e;
    for (size_t i = 0; i < in.size(); ++i) {
        e.at.push_back(e.out.size());
        const auto c = static_cast<unsigned char>(in[i]);
        const bool upper = (bits & 0x100) != 0 ? bit_at(bits, i) : (bits & 1) != 0;
        if ((bits & 2) != 0 || c < 0x20 || c >= 0x7f) {
            if ((bits & 2) != 0 || !common_escape(e.out, static_cast<char>(c), (bits & 4) != 0)) {
                e.out += "\\x" + hex_byte(c, upper);
            }
        } else if (!common_escape(e.out, static_cast<char>(c), (bits & 4) != 0)) {
            e.out += static_cast<char>(c);
        }
    }
    e.at.push_back(e.out.size());
    return e;
}

// A C-style literal: every byte past ASCII as three octal digits, the other controls as two hex
// digits (an octal escape below "\100" reads as the debug form's NUL and digits, a stated limit).
Encoded byte_octal(std::string_view in, uint16_t bits) {
    Encoded e;
    for (const char ch : in) {
        e.at.push_back(e.out.size());
        const auto c = static_cast<unsigned char>(ch);
        if (common_escape(e.out, ch, (bits & 4) != 0)) {
            continue;
        }
        if (c < 0x20) {
            e.out += fmt::format("\\x{:02x}", c);
        } else if (c >= 0x7f) {
            e.out += fmt::format("\\{:03o}", c);
        } else {
            e.out += ch;
        }
    }
    e.at.push_back(e.out.size());
    return e;
}

// A string literal that writes characters past ASCII (and other controls) by code point: as
// Python does ("\xe9", "\u20ac", "\U0001f511"), as Java does ("\u00e9", a surrogate pair), as
// JavaScript, Rust and Swift do ("\u{e9}"), or always "\U" and eight digits.
Encoded code_point(std::string_view in, uint16_t bits) {
    const unsigned style = bits & 3;
    const bool upper = (bits & 4) != 0;
    return per_character(
        in, [&](std::string& out, std::string_view ch, int64_t point, size_t, std::string_view) {
            if (point >= 0 && point < 0x80 && point >= 0x20 && point != 0x7f) {
                if (!common_escape(out, ch[0], (bits & 8) != 0)) {
                    out += ch;
                }
                return;
            }
            if (point >= 0 && point < 0x80 && common_escape(out, ch[0], (bits & 8) != 0)) {
                return;
            }
            const uint32_t v = point < 0 ? 0xfffd : static_cast<uint32_t>(point);
            const auto digits = [&](const char* lower, const char* higher) {
                return fmt::format(fmt::runtime(upper ? higher : lower), v);
            };
            switch (style) {
                case 0:  // Python
                    out += v <= 0xff     ? "\\x" + digits("{:02x}", "{:02X}")
                           : v <= 0xffff ? "\\u" + digits("{:04x}", "{:04X}")
                                         : "\\U" + digits("{:08x}", "{:08X}");
                    break;
                case 1:  // Java
                    if (v >= 0x10000) {
                        out += "\\u" + hex_unit(0xd800 + ((v - 0x10000) >> 10), upper);
                        out += "\\u" + hex_unit(0xdc00 + ((v - 0x10000) & 0x3ff), upper);
                    } else {
                        out += "\\u" + hex_unit(v, upper);
                    }
                    break;
                case 2:  // JavaScript, Rust, Swift
                    out += "\\u{" + digits("{:x}", "{:X}") + "}";
                    break;
                default:
                    out += "\\U" + digits("{:08x}", "{:08X}");
            }
        });
}

// A character encoder's output; base64, which writes bytes and not characters, is
// `base64_wrapped`'s and never comes here.
Encoded encode(const Step& step, std::string_view in) {
    switch (step.encoder) {
        case Encoder::kJson:
            return json_escaped(in, step.bits);
        case Encoder::kHtmlFive:
            return html_five(in, step.bits);
        case Encoder::kHtmlEvery:
            return html_every(in, step.bits);
        case Encoder::kPercent:
            return percent_subset(in, step.bits);
        case Encoder::kForm:
            return form_field(in, step.bits);
        case Encoder::kByteHex:
            return byte_hex(in, step.bits);
        case Encoder::kByteOctal:
            return byte_octal(in, step.bits);
        case Encoder::kCodePoint:
            return code_point(in, step.bits);
        case Encoder::kBase64:
            break;
    }
    check(false);
    return {};
}

// Base64 of a longer byte string that holds the form at an offset, in the standard alphabet,
// padded, unwrapped or wrapped as MIME wraps it (76 columns, CRLF) or PEM (64 columns, LF).
struct Base64Text {
    std::string out;
    // Where the characters that the form's bytes [0, k) alone decide stand (line breaks inside
    // them included), and those of the whole form.
    std::pair<size_t, size_t> start;
    std::pair<size_t, size_t> whole;
    // How many characters the form's bytes alone decide.
    size_t decided = 0;
};

Base64Text base64_wrapped(std::string_view form, size_t k, uint16_t bits) {
    const size_t offset = bits % 29;
    std::string bytes;
    for (size_t i = 0; i < offset; ++i) {
        bytes += static_cast<char>('A' + (i * 7 + (bits >> 5)) % 26);
    }
    bytes += form;
    for (size_t i = 0; i < (bits >> 8) % 13; ++i) {
        bytes += static_cast<char>(0x80 + (i * 13 + bits) % 64);
    }
    constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string plain;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t group = 0;
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        for (size_t j = 0; j < 3; ++j) {
            group = group << 8 | (j < n ? static_cast<unsigned char>(bytes[i + j]) : 0u);
        }
        for (size_t j = 0; j < 4; ++j) {
            plain += j <= n ? kAlphabet[(group >> (18 - 6 * j)) & 0x3f] : '=';
        }
    }
    const unsigned wrap = (bits >> 14) % 3;
    const size_t width = wrap == 1 ? 76 : 64;
    const std::string_view line_break = wrap == 1 ? "\r\n" : "\n";
    const auto position = [&](size_t c) {
        return wrap == 0 ? c : c + c / width * line_break.size();
    };
    Base64Text t;
    for (size_t c = 0; c < plain.size(); ++c) {
        if (wrap != 0 && c > 0 && c % width == 0) {
            t.out += line_break;
        }
        t.out += plain[c];
    }
    // Character c takes bits [6c, 6c + 6): decided by the form's bytes [a, b) alone when they
    // hold all of them.
    const auto decided = [&](size_t a, size_t b) {
        const size_t first = (8 * (offset + a) + 5) / 6;
        const size_t end = 8 * (offset + b) / 6;
        return first < end ? std::pair{position(first), position(end - 1) + 1}
                           : std::pair{position(first), position(first)};
    };
    t.start = decided(0, k);
    t.whole = decided(0, form.size());
    const size_t first = (8 * offset + 5) / 6, end = 8 * (offset + form.size()) / 6;
    t.decided = end > first ? end - first : 0;
    return t;
}

// ---- Secrets.

// Secrets with escape-like characters at their ends and inside: a backslash, "%hh", "+", "&lt;",
// escape letters and octal digits at either end, a trailing backslash, leading hex digits.
constexpr std::array<std::string_view, 40> kTrickySecrets = {
    "\\abc",   "abc\\",   "\\\\\\\\", "%41bc",    "ab%2F",      "a+b+c",   "&lt;ab",    "nabc",
    "abcn",    "rxyz",    "tabc\\",   "u00e9z",   "xe9ab",      "Uabc",    "0123",      "7abc",
    "abc7",    "beef",    "ff00x",    "deadbeef", "\\nab",      "ab\\n",   "\\u0041bc", "%5Cabc",
    "&amp;xy", "&#65;bc", "bcd&",     "ab%",      "%%%%",       "a\\b\\c", "p@ss word", "\"quo\"",
    "'apo'",   "<ta>",    "a/b/c",    "b\\fz",    "\\x41\\x42", "10\\",    "fx\\u",     "&#x41",
};

// Pieces that secrets are built of.
constexpr std::array<std::string_view, 36> kSecretPieces = {
    "\\",
    "%41",
    "%4",
    "%",
    "+",
    "&lt;",
    "&",
    "&#",
    "n",
    "r",
    "t",
    "b",
    "f",
    "u",
    "x",
    "U",
    "0",
    "3",
    "7",
    "a",
    "Z",
    "9",
    "e",
    "F",
    " ",
    "\"",
    "'",
    "/",
    "<",
    ">",
    "\xc3\xa9",
    "\xe2\x82\xac",
    "\xf0\x9f\x94\x91",
    "\t",
    ";",
    "#",
};

constexpr std::array<std::string_view, 7> kNonAscii = {
    "\xc3\xa9", "\xc3\x9f", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
    "\xc3\xa4", "\xce\xa9", "\xe4\xb8\xad",
};

enum class SecretClass : uint8_t { kTricky, kPieces, kBytes, kLong, kNonAscii };
constexpr std::array<std::string_view, 5> kClassNames = {"tricky", "pieces", "bytes", "long",
                                                         "non-ascii"};

struct Secret {
    SecretClass kind = SecretClass::kTricky;
    std::string text;
};

Secret pick_secret(Choices& choices) {
    Secret s;
    s.kind = static_cast<SecretClass>(choices.next() % kClassNames.size());
    switch (s.kind) {
        case SecretClass::kTricky:
            s.text = choices.pick(kTrickySecrets);
            break;
        case SecretClass::kPieces:
        case SecretClass::kLong: {
            const size_t n = 2 + choices.next() % 7;
            for (size_t i = 0; i < n; ++i) {
                s.text += choices.pick(kSecretPieces);
            }
            if (s.kind == SecretClass::kLong) {
                const std::string unit = s.text + "Lq" + std::string(choices.pick(kTrickySecrets));
                const size_t length = 60u + choices.next() % 140u;
                while (s.text.size() < length) {
                    s.text += unit;
                }
            }
            break;
        }
        case SecretClass::kBytes: {
            const size_t n = 4 + choices.next() % 37;
            for (size_t i = 0; i < n; ++i) {
                s.text += static_cast<char>(0x20 + choices.next() % 0x5f);
            }
            break;
        }
        case SecretClass::kNonAscii: {
            const size_t n = 2 + choices.next() % 6;
            for (size_t i = 0; i < n; ++i) {
                const uint8_t b = choices.next();
                s.text += (b & 1) != 0 ? choices.pick(kNonAscii) : choices.pick(kSecretPieces);
            }
            break;
        }
    }
    while (s.text.size() < kShortestKnownSecret) {
        s.text += 'q';
    }
    // The mask is made of "*": a secret holding one is the mask checks' own business.
    std::replace(s.text.begin(), s.text.end(), '*', 'k');
    return s;
}

// Whether `form` reads, in the library's canonical view, as at least as many bytes as a known
// secret has, once an escape beside it has taken what it may take of its ends (up to nine bytes at
// its start, a code point's escape, and five at its end). The one use of a reader of the
// library's in this oracle: it only chooses which plantings the property speaks of.
bool reads_long_enough(const std::string& form) {
    constexpr size_t kMostTakenAtEdges = 9 + 5;
    return quorvel::secrets::canonical(form).size() >= kShortestKnownSecret + kMostTakenAtEdges;
}

// Makes `secrets` the only known ones, learning anew only when they change (building an index
// per input would be most of a run's time).
void know_only(const std::vector<std::string>& secrets) {
    std::vector<std::string> key = {"hiding"};
    key.insert(key.end(), secrets.begin(), secrets.end());
    if (g_known_key == key) {
        return;
    }
    quorvel::secrets::forget_all_for_tests();
    for (const std::string& s : secrets) {
        quorvel::secrets::remember(s);
    }
    g_known_key = std::move(key);
}

// ---- Neighbours.

constexpr std::array<std::string_view, 24> kNeighbours = {
    "\\",  "\\\\", "%",    "%4",   "&",  "&#", "&#x", "&amp;", "\\u00", "\\x", "\\u{",   "&#X",
    "%5C", "+",    "see ", "key=", "\"", " ",  "41",  "e9",    "n",     "u",   "said: ", "&#0",
};

std::string neighbours(Choices& choices, std::vector<std::string_view>& used) {
    std::string out;
    const size_t n = choices.next() % 4;
    for (size_t i = 0; i < n; ++i) {
        const std::string_view piece = choices.pick(kNeighbours);
        out += piece;
        used.push_back(piece);
    }
    return out;
}

// ---- The checks.

struct Planting {
    std::string secret_class;
    std::string form_name;
    std::string chain;
    std::string p, q;
    size_t copies = 1;
    // What the survey groups findings by: the encoders, the class and form of the secret
    // (`kind`), and the neighbour touching each end (`group` holds both).
    std::string kind;
    std::string group;
};

std::string describe(const Planting& planting, std::string_view secret) {
    return fmt::format("chain={} form={} class={} p=\"{}\" q=\"{}\" r={} secret=\"{}\"",
                       planting.chain, planting.form_name, planting.secret_class,
                       visible(planting.p), visible(planting.q), planting.copies, visible(secret));
}

void check_idempotent(std::string_view text, const std::string& hidden, const std::string& group,
                      const std::string& what) {
    const std::string again = quorvel::secrets::hide(hidden);
    judge(again == hidden, "idempotence " + group,
          fmt::format("kind=idempotence {} in=\"{}\" once=\"{}\" twice=\"{}\"", what, visible(text),
                      visible(hidden), visible(again)));
}

constexpr size_t kLongestEncoded = 1500;

// What a chain of encoders wrote of a form, what is left of it once the secret's own bytes are
// masked (X' above), and the pieces that would show a start of the secret.
struct Written {
    std::string text;
    std::string starred;
    std::vector<std::string> pieces;
};

std::string planted_text(const Written& written, std::string_view p, std::string_view q,
                         size_t copies, bool starred = false) {
    std::string out(p);
    for (size_t i = 0; i < copies; ++i) {
        out += starred ? written.starred : written.text;
    }
    return out += q;
}

// The first piece that `hidden` (the planted text hidden) holds more often than the text can
// hold it outside what was planted, or nothing.
std::optional<std::string> start_shown(const Written& written, const Planting& planting,
                                       const std::string& hidden) {
    const std::string kept = planted_text(written, planting.p, planting.q, planting.copies, true);
    for (const std::string& piece : written.pieces) {
        if (piece.size() >= 2 && occurrences(hidden, piece) > occurrences(kept, piece)) {
            return piece;
        }
    }
    return std::nullopt;
}

// Reports a start shown, with what it takes: the encoders alone (no neighbours, one copy), the
// neighbours (before, after or both), or the copies following one another; and the smallest
// planting that shows it.
void report_shown(const Written& written, const Planting& planting, const std::string& secret) {
    const auto shows = [&](std::string_view p, std::string_view q, size_t copies) {
        Planting variant = planting;
        variant.p = p;
        variant.q = q;
        variant.copies = copies;
        const std::string text = planted_text(written, p, q, copies);
        const std::string hidden = quorvel::secrets::hide(text);
        const std::optional<std::string> piece = start_shown(written, variant, hidden);
        return piece ? std::optional<std::string>(fmt::format(
                           "{} piece=\"{}\" in=\"{}\" out=\"{}\"", describe(variant, secret),
                           visible(*piece), visible(text), visible(hidden)))
                     : std::nullopt;
    };
    const std::string& p = planting.p;
    const std::string& q = planting.q;
    std::string cause;
    std::optional<std::string> smallest;
    if ((smallest = shows("", "", 1))) {
        cause = "encoders";
    } else if ((smallest = shows(p, "", 1))) {
        cause = "neighbour-before";
    } else if ((smallest = shows("", q, 1))) {
        cause = "neighbour-after";
    } else if ((smallest = shows(p, q, 1))) {
        cause = "neighbours-both";
    } else if ((smallest = shows("", "", planting.copies))) {
        cause = "copies";
    } else {
        smallest = shows(p, q, planting.copies);
        cause = "neighbours-and-copies";
    }
    // Hiding that differs on a second try of the same text would be a finding of its own.
    judge(smallest.has_value(), "unsteady " + planting.group, describe(planting, secret));
    judge(false,
          fmt::format("shows-start cause={} {}", cause,
                      cause.starts_with("neighbour") ? planting.group : planting.kind),
          fmt::format("kind=shows-start cause={} {}", cause, smallest.value_or("")));
}

// `form` (s as given or percent-decoded) through `chain`, `copies` times, between `p` and `q`.
void check_planted(const std::string& secret, const std::string& form,
                   const std::vector<Step>& chain, Planting planting) {
    size_t k = std::min(form.size(), std::max<size_t>(4, form.size() / 2));
    while (k < form.size() && utf8_length_at(form, k) == 0 &&
           (static_cast<unsigned char>(form[k]) & 0xc0) == 0x80) {
        ++k;
    }
    std::vector<std::string> pieces = {form.substr(0, k)};
    if (secret != form) {
        pieces.push_back(
            secret.substr(0, std::min(secret.size(), std::max<size_t>(4, secret.size() / 2))));
    }
    std::string level = form;
    std::pair<size_t, size_t> start{0, k};
    // X' (see above): what is left of the encoded text once the secret's own bytes are masked.
    std::string starred = "*";
    for (size_t i = 0; i < chain.size(); ++i) {
        const Step& step = chain[i];
        if (level.size() > kLongestEncoded) {
            return;  // a chain that grows a text past this costs more than it finds
        }
        if (step.encoder == Encoder::kBase64) {
            const Base64Text t = base64_wrapped(level, k, step.bits);
            if (t.decided < 8) {
                return;  // shorter than any base64 stretch that is hidden
            }
            level = t.out;
            start = t.start;
            starred = level;
            std::fill(starred.begin() + static_cast<ptrdiff_t>(t.whole.first),
                      starred.begin() + static_cast<ptrdiff_t>(t.whole.second), '*');
        } else {
            const Encoded e = encode(step, level);
            start = {e.at[start.first], e.at[start.second]};
            level = e.out;
            if (starred != "*") {
                starred = encode(step, starred).out;
            }
        }
        pieces.push_back(level.substr(start.first, start.second - start.first));
    }
    const Written written{level, starred, pieces};
    const std::string text = planted_text(written, planting.p, planting.q, planting.copies);
    const std::string hidden = quorvel::secrets::hide(text);
    if (start_shown(written, planting, hidden)) {
        report_shown(written, planting, secret);
    }
    check_idempotent(text, hidden, planting.group, "planted " + describe(planting, secret));
}

// A text of neighbours and words that holds no form of `secret`, which must come out unchanged.
// Only for a secret with no escape start ("\", "%", "&", "+"), so that it reads as itself: the
// units of the text (words of letters the secret lacks, escape starts, at most six characters)
// stand between separators the secret lacks, none of which an escape takes in, so the text
// and its reading hold a form only inside a unit, and no unit holds one. No unit is eight
// characters of base64 either.
void check_no_over_masking(const std::string& secret, Choices& choices) {
    if (secret.find_first_of("\\%&+") != std::string::npos) {
        return;
    }
    std::string separators;
    for (const char c : std::string_view(" ,;:!?()|")) {
        if (secret.find(c) == std::string::npos) {
            separators += c;
        }
    }
    std::string letters;
    for (char c = 'a'; c <= 'z'; ++c) {
        for (const char l : {c, static_cast<char>(c - 'a' + 'A')}) {
            if (secret.find(l) == std::string::npos) {
                letters += l;
            }
        }
    }
    if (separators.empty() || letters.empty()) {
        return;
    }
    std::string text;
    const size_t units = 1 + choices.next() % 12;
    for (size_t i = 0; i < units; ++i) {
        if (i > 0) {
            text += separators[choices.next() % separators.size()];
        }
        const uint8_t b = choices.next();
        if ((b & 1) != 0) {
            const std::string_view n = kNeighbours[(b >> 1) % kNeighbours.size()];
            if (n.find(secret) == std::string_view::npos &&
                n.find_first_of(" ,;:!?()|") == std::string_view::npos) {
                text += n;
            }
            continue;
        }
        const size_t length = 1u + (b >> 1) % 6u;
        for (size_t l = 0; l < length; ++l) {
            text += letters[choices.next() % letters.size()];
        }
    }
    const std::string hidden = quorvel::secrets::hide(text);
    judge(hidden == text, "over-masking",
          fmt::format("kind=over-masking secret=\"{}\" in=\"{}\" out=\"{}\"", visible(secret),
                      visible(text), visible(hidden)));
}

// Secrets made of a letter and "*", known while a text of runs of the letter and of "*" is
// hidden. The text holds no escape, so any form of the secret in it stands as given; a mask
// made of "*" beside a run of stars or letters must not make one. So the output is the text with
// some stretches masked, each of them a chain of occurrences of the secret as given in the text
// (each overlapping or touching the next): hiding eats nothing the secret does not stand on.
// Which occurrences next to runs of stars it leaves is its own rule; masking again changes nothing.
constexpr std::array<std::string_view, 8> kMaskLike = {
    "a***", "***a", "a*a*", "aa**", "*aa*", "****", "a****", "**a**",
};

// Whether `out` is `text` with stretches masked, each a chain of the occurrences `starts` of a
// secret `length` bytes long: an alignment of the two, found by walking both.
bool masks_only_occurrences(std::string_view text, std::string_view out,
                            const std::vector<size_t>& starts, size_t length) {
    // The ends a mask starting at each occurrence may reach: along chains of occurrences.
    std::vector<std::vector<size_t>> ends(text.size() + 1);
    for (size_t i = starts.size(); i-- > 0;) {
        std::vector<size_t>& reach = ends[starts[i]];
        reach.push_back(starts[i] + length);
        for (size_t j = i + 1; j < starts.size() && starts[j] <= starts[i] + length; ++j) {
            for (const size_t e : ends[starts[j]]) {
                reach.push_back(std::max(e, starts[i] + length));
            }
        }
        std::sort(reach.begin(), reach.end());
        reach.erase(std::unique(reach.begin(), reach.end()), reach.end());
    }
    // reachable[i][j]: text[0, i) may have become out[0, j).
    std::vector<std::vector<bool>> reachable(text.size() + 1, std::vector<bool>(out.size() + 1));
    reachable[0][0] = true;
    const std::string_view mask = quorvel::secrets::kMask;
    for (size_t i = 0; i <= text.size(); ++i) {
        for (size_t j = 0; j <= out.size(); ++j) {
            if (!reachable[i][j]) {
                continue;
            }
            if (i < text.size() && j < out.size() && text[i] == out[j]) {
                reachable[i + 1][j + 1] = true;
            }
            if (out.substr(j).starts_with(mask)) {
                for (const size_t e : ends[i]) {
                    reachable[e][j + mask.size()] = true;
                }
            }
        }
    }
    return reachable[text.size()][out.size()];
}

// Whether `secret`, which holds a mask, stands in `hidden` other than beside a star at an end it
// has stars at: "a****" and then "*" reads as a letter and a mask, a stated limit of hiding.
bool shows_unambiguously(std::string_view hidden, std::string_view secret) {
    for (size_t at = hidden.find(secret); at != std::string_view::npos;
         at = hidden.find(secret, at + 1)) {
        const bool star_after = secret.back() == '*' && at + secret.size() < hidden.size() &&
                                hidden[at + secret.size()] == '*';
        const bool star_before = secret.front() == '*' && at > 0 && hidden[at - 1] == '*';
        if (!star_after && !star_before) {
            return true;
        }
    }
    return false;
}

void check_mask_neighbours(Choices& choices) {
    const std::string secret(choices.pick(kMaskLike));
    know_only({secret});
    std::string text;
    const size_t runs = 1 + choices.next() % 8;
    for (size_t i = 0; i < runs; ++i) {
        text.append(1 + choices.next() % 5, i % 2 == 0 ? 'a' : '*');
    }
    std::vector<size_t> starts;
    for (size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 1)) {
        starts.push_back(at);
    }
    if (describing()) {
        std::fprintf(stderr, "url_mask_fuzz: mask-like secret \"%s\" in \"%s\"\n", secret.c_str(),
                     text.c_str());
    }
    const std::string hidden = quorvel::secrets::hide(text);
    // A secret that holds a whole mask ("a****") is made again by a mask and the letter before
    // it: what shows must then hold no occurrence, which only masking on can give. Any other
    // secret's masks stand on its occurrences alone.
    // A secret of stars alone is what a mask shows: masking leaves it standing.
    const bool holds_a_mask = secret.find(quorvel::secrets::kMask) != std::string::npos;
    const bool stars_alone = secret.find_first_not_of('*') == std::string::npos;
    judge(stars_alone    ? true
          : holds_a_mask ? !shows_unambiguously(hidden, secret)
                         : masks_only_occurrences(text, hidden, starts, secret.size()),
          "mask-neighbours " + secret,
          fmt::format("kind=mask-neighbours secret=\"{}\" in=\"{}\" out=\"{}\"", secret, text,
                      hidden));
    check_idempotent(text, hidden, "mask-like " + secret,
                     fmt::format("mask-like secret=\"{}\"", secret));
}

std::vector<Step> pick_chain(Choices& choices) {
    std::vector<Step> chain(1 + choices.next() % 3);
    for (size_t i = 0; i < chain.size(); ++i) {
        const uint8_t which = choices.next();
        // Base64 comes first only: the agent hides the base64 of a secret's bytes (and what
        // encoders write of that), not the base64 of another encoder's text.
        chain[i].encoder =
            static_cast<Encoder>(which % (i == 0 ? kEncoderCount : kEncoderCount - 1));
        chain[i].bits = static_cast<uint16_t>(choices.next() << 8 | choices.next());
    }
    return chain;
}

std::string chain_name(const std::vector<Step>& chain) {
    std::string out;
    for (const Step& step : chain) {
        out += (out.empty() ? "" : ">") +
               std::string(kEncoderNames[static_cast<size_t>(step.encoder)]) +
               fmt::format("/{:04x}", step.bits);
    }
    return out;
}

void check_hiding_property(std::string_view input) {
    Choices choices(input.substr(std::min<size_t>(input.size(), 1)));
    if (!input.empty() && input[0] % 8 == 7) {
        check_mask_neighbours(choices);
        return;
    }
    const Secret secret = pick_secret(choices);
    know_only({secret.text});
    std::vector<std::string_view> before, after;
    Planting planting;
    planting.secret_class = kClassNames[static_cast<size_t>(secret.kind)];
    planting.p = neighbours(choices, before);
    planting.q = neighbours(choices, after);
    planting.copies = 1 + choices.next() % 6;
    const std::vector<Step> chain = pick_chain(choices);
    planting.chain = chain_name(chain);
    const std::string decoded = own_percent_decoded(secret.text);
    const bool use_decoded = decoded != secret.text && (choices.next() & 1) != 0 &&
                             decoded.size() >= kShortestKnownSecret && well_formed_utf8(decoded);
    planting.form_name = use_decoded ? "decoded" : "given";
    std::string encoders;
    for (const Step& step : chain) {
        encoders += (encoders.empty() ? "" : ">") +
                    std::string(kEncoderNames[static_cast<size_t>(step.encoder)]);
    }
    planting.kind = fmt::format("{} {} {}", encoders, planting.secret_class, planting.form_name);
    planting.group = fmt::format("{} p-end=\"{}\" q-start=\"{}\"", planting.kind,
                                 visible(before.empty() ? "" : before.back()),
                                 visible(after.empty() ? "" : after.front()));
    if (describing()) {
        std::fprintf(stderr, "url_mask_fuzz: plants %s\n", describe(planting, secret.text).c_str());
    }
    // The property holds for secrets that read as at least as many bytes as a known secret
    // has, beside what may stand next to them: a secret that a reader takes for less ("\\abc"
    // reads as "abc") or that an escape beside it leaves less of is a stated limit of hiding.
    if (reads_long_enough(use_decoded ? decoded : secret.text)) {
        check_planted(secret.text, use_decoded ? decoded : secret.text, chain, planting);
    }
    check_no_over_masking(secret.text, choices);

    const std::string hidden = quorvel::secrets::hide(input);
    check_idempotent(input, hidden,
                     "input " + std::string(kClassNames[static_cast<size_t>(secret.kind)]),
                     fmt::format("input secret=\"{}\"", visible(secret.text)));
}

}  // namespace hiding

std::string visible_input() {
    return hiding::visible(g_input, 4096);
}

std::string hiding_visible(std::string_view text) {
    return hiding::visible(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    g_input = input;
    // A survey of the hiding property alone runs many times as many inputs a second.
    static const bool hiding_only = std::getenv("URL_MASK_FUZZ_HIDING_ONLY") != nullptr;
    if (hiding_only) {
        hiding::check_hiding_property(input);
        return 0;
    }
    const std::string_view rest = input.substr(1);
    const size_t split = data[0] % (rest.size() + 1);
    std::string text(rest.substr(0, split));
    text += kPassword;
    text += rest.substr(split);

    check_shown(text, quorvel::mask_url_text(text));
    if (const auto url = quorvel::Url::parse(text)) {
        const std::string masked = quorvel::mask_url(*url);
        check(fmt::format("{}", *url) == masked);
        check_shown(url->raw_text(), masked);
        check_shown(url->raw_text(), quorvel::mask_url_text(url->raw_text()));
    }

    // Any text at all masks once and for all, also behind a run of URLs written percent-encoded
    // after encoded blanks, where each mask lets the one before it reach an "@" further on: runs
    // that took more rounds of masks than any cap would allow.
    check_masked_once(quorvel::mask_credentials(input));
    check_masked_once(quorvel::mask_credentials(encoded_run(data[0] % 40) + std::string(rest)));

    Choices choices(input);
    const Planted several = build_several(choices);
    check_credentials(several);
    check_value(several);

    const Planted embedded = embed(input);
    check_credentials(embedded);
    check(quorvel::mask_credentials(embedded.text).find(kMail) != std::string::npos);
    check_value(embedded);

    check_known_secrets(plant_secrets(input));
    hiding::check_hiding_property(input);
    return 0;
}
