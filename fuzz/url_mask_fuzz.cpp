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
// text (see `plant_secrets`). No form of a known secret shows: where it is hidden (compared with
// a plain search for every form), in the text a person is shown, nor a start of one at the end of
// a bounded text; and what is shown is UTF-8 without control characters.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "util/debug_text.h"
#include "util/secrets.h"
#include "util/shown_text.h"
#include "util/url.h"

namespace {

constexpr std::string_view kPassword = "s3cr3tPW";
constexpr std::string_view kMail = " alice@mail.example ";

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
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
    check(count_password_any_case(shown) + std::min(planted, in_source) <= in_source);
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

// Adds the forms a message may quote `given` in, once each, when the agent knows it: as given,
// percent-decoded, and that percent-encoded in either case, and the given and decoded ones as the
// debug form quotes them, each as long as a known secret is.
void add_forms(std::string_view given, std::vector<std::string>& forms) {
    if (given.size() < quorvel::secrets::kShortestKnownSecret) {
        return;
    }
    const std::string decoded = percent_decoded(given);
    auto escaped = [](std::string_view text) {
        const std::string quoted = quorvel::debug_quoted(text);
        return quoted.substr(1, quoted.size() - 2);
    };
    for (std::string form : {std::string(given), decoded, percent_encoded(decoded, true),
                             percent_encoded(decoded, false), escaped(given), escaped(decoded)}) {
        if (form.size() >= quorvel::secrets::kShortestKnownSecret &&
            std::find(forms.begin(), forms.end(), form) == forms.end()) {
            forms.push_back(std::move(form));
        }
    }
}

// Makes `secret` known (when `learn`) the way `way` picks: as it is, or as the password of a URL
// (raw, or percent-encoded when a "/", "?" or "#" would end the URL's authority before it, or
// when `way` says so); and adds the forms of everything the agent then knows.
void make_known(uint8_t way, const std::string& secret, bool learn,
                std::vector<std::string>& forms) {
    if (way % 3 == 0) {
        if (learn) {
            quorvel::secrets::remember(secret);
        }
        add_forms(secret, forms);
        return;
    }
    const std::string_view user = kSecretUsers[(way / 3) % kSecretUsers.size()];
    const std::string password = way % 3 == 2 && secret.find_first_of("/?#") == std::string::npos
                                     ? secret
                                     : percent_encoded(secret, true);
    if (learn) {
        quorvel::secrets::remember_url_userinfo(
            fmt::format("https://{}:{}@h.example/x", user, password));
    }
    add_forms(fmt::format("{}:{}", user, password), forms);
    add_forms(password, forms);
}

struct PlantedSecrets {
    std::string text;
    // Every form of every secret the agent knows.
    std::vector<std::string> forms;
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

void plant(const Plant& plant, const std::string& secret, std::string& text) {
    const std::string decoded = percent_decoded(secret);
    // Behind a start of itself: "abab" then reads "ababab", "aba" + "abab" ...
    const std::string behind_start = secret.substr(0, 1 + plant.at % (secret.size() - 1)) + secret;
    std::string form;
    switch (plant.shape % 8) {
        case 0:
            form = secret;
            break;
        case 1:
            form = percent_encoded(decoded, true);
            break;
        case 2:
            form = percent_encoded(decoded, false);
            break;
        case 3:
            form = decoded;
            break;
        case 4:
            form = fmt::format("https://u:{}@h.example/", secret);
            break;
        case 5:
            form = behind_start;
            break;
        case 6:
            plant_across_bound(text, plant.shape < 128 ? secret : behind_start, plant.at);
            return;
        default:
            plant_across_bound(text, fmt::format("https://u:{}@h.example/", secret), plant.at);
            return;
    }
    text.insert(plant.at * (text.size() + 1) / 65536, form);
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
    // Every set of secrets the agent published stays alive (a reader holds no reference),
    // forgetting included; so learning anew only when the secrets differ from the last input's
    // keeps a long run from growing by a set per input.
    static std::vector<std::pair<uint8_t, std::string>> last_known;
    const bool learn = known != last_known;
    if (learn) {
        quorvel::secrets::forget_all_for_tests();
        last_known = known;
    }
    PlantedSecrets out;
    for (const auto& [way, secret] : known) {
        make_known(way, secret, learn, out.forms);
    }
    std::vector<Plant> plants(1 + choices.next() % 6);
    for (Plant& p : plants) {
        p.secret = choices.next() % known.size();
        p.shape = choices.next();
        p.at = static_cast<uint16_t>(choices.next() * 256u + choices.next());
    }
    out.text = choices.rest();
    for (const Plant& p : plants) {
        plant(p, known[p.secret].second, out.text);
    }
    return out;
}

// `text` with every occurrence of every form masked, found by a plain search: forms that overlap
// are hidden by one mask, forms side by side by one each.
std::string hidden_plainly(std::string_view text, const std::vector<std::string>& forms) {
    std::vector<std::pair<size_t, size_t>> stretches;
    for (const std::string& form : forms) {
        for (size_t at = text.find(form); at != std::string_view::npos;
             at = text.find(form, at + 1)) {
            stretches.emplace_back(at, at + form.size());
        }
    }
    std::sort(stretches.begin(), stretches.end());
    std::string out;
    size_t copied = 0;
    for (const auto& [start, end] : stretches) {
        if (start < copied) {
            copied = std::max(copied, end);
            continue;
        }
        out += text.substr(copied, start - copied);
        out += quorvel::secrets::kMask;
        copied = end;
    }
    out += text.substr(copied);
    return out;
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

// Whether a form of a known secret stands across a cut at `cut`: whole within `text`, or, where
// the text is no `complete` one, running past its end as far as it goes.
bool any_form_across(std::string_view text, size_t cut, bool complete,
                     const std::vector<std::string>& forms) {
    for (const std::string& form : forms) {
        for (size_t start = cut - std::min(cut, form.size() - 1); start < cut; ++start) {
            const bool stands = start + form.size() <= text.size()
                                    ? text.compare(start, form.size(), form) == 0
                                    : !complete && form.starts_with(text.substr(start));
            if (stands) {
                return true;
            }
        }
    }
    return false;
}

// A cut at the end of a text a library cut short, and one inside a whole text: each moves back
// until no form stands across it, and no further than to the start of a form that does.
void check_cuts(std::string_view text, const std::vector<std::string>& forms) {
    const size_t end = quorvel::secrets::cut_before_secrets(text, text.size(), false);
    check(end <= text.size() - longest_start_at_end(text, forms));
    check(!any_form_across(text, end, false, forms));
    const size_t middle = text.size() / 2;
    const size_t kept = quorvel::secrets::cut_before_secrets(text, middle, true);
    check(kept <= middle && !any_form_across(text, kept, true, forms));
    check((kept == middle) == !any_form_across(text, middle, true, forms));
}

// Whether `text` is well-formed UTF-8 holding no control character (C0, DEL, C1).
bool displayable(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        if (lead < 0x80) {
            if (lead < 0x20 || lead == 0x7f) {
                return false;
            }
            ++i;
            continue;
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
            return false;
        }
        if (i + length > text.size()) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xc0) != 0x80) {
                return false;
            }
            point = point << 6 | (next & 0x3fu);
        }
        if (point < least || point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff) ||
            point <= 0x9f) {
            return false;
        }
        i += length;
    }
    return true;
}

// `out` is a text as shown. Where it holds a form of a known secret, the form takes in a byte that
// showing wrote: a mask (forms here hold no "*"), or an escape, which is at most six bytes from its
// "\" ("\x{ff}"). A form that takes in neither is kept text quoting a known secret.
void check_no_kept_form(std::string_view out, const std::vector<std::string>& forms) {
    for (const std::string& form : forms) {
        if (form.find_first_of("*\\") != std::string::npos) {
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
void check_bounded(std::string_view text, const std::vector<std::string>& forms) {
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
    // No form of a known secret that the text holds stands across the cut.
    for (const std::string& form : forms) {
        for (size_t start = head.size() - std::min(head.size(), form.size() - 1);
             start < head.size(); ++start) {
            check(text.compare(start, form.size(), form) != 0);
        }
    }
}

void check_known_secrets(const PlantedSecrets& planted) {
    const std::string& text = planted.text;
    const std::string hidden = quorvel::secrets::hide(text);
    check(hidden == hidden_plainly(text, planted.forms));
    for (const std::string& form : planted.forms) {
        check(form.find('*') != std::string::npos || hidden.find(form) == std::string::npos);
    }
    std::string in_place = text;
    quorvel::secrets::hide_in_place(in_place);
    check(in_place == hidden);
    check_cuts(text, planted.forms);

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

    check_bounded(text, planted.forms);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view input(reinterpret_cast<const char*>(data), size);
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
    return 0;
}
