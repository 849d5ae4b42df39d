// Masking holds for every way of typing a URL with a password: texts generated from a small
// grammar of the ways a person types (or mistypes) a network URL, each with a password in its
// user information, never show the password, whether they parse or not, as typed or normalised.
#include "util/url.h"

#include "util/debug_text.h"
#include "util/malformed_urls.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <cstddef>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {
namespace {

// Every password holds both parts of `kPasswordParts` ("s3cr" and "3tPW"): a password cut by a
// character that the parser reads as a delimiter still shows one of them wherever a part shows.
const std::vector<std::string> kPasswords = {
    "s3cr3tPW",  "s3cr%403tPW", "s3cr%2F3tPW", "s3cr%3tPW",     "s3cr/3tPW",  "s3cr?3tPW",
    "s3cr#3tPW", "s3cr:3tPW",   "s3cr@3tPW",   "s3cr3tPW/x+y=", "s3cr\\3tPW", "s3cr 3tPW",
};
const std::vector<std::string> kSchemes = {"http", "https",  "file",  "controller", "ftp",
                                           "ssh",  "mailto", "alice", "httpsu",     ""};
const std::vector<std::string> kSeparators = {"://", ":/", ":", ":///", ":\\", ":\\\\", "//", ""};
// How the user information around the password is written; "P" stands for the password.
const std::vector<std::string> kUserInfos = {"u:P@", ":P@", "u:P@@", "Alice:P@", "P@"};

const std::vector<std::string> kHosts = {
    "ctl.example.com",      "CTL.Example", "127.0.0.1", "[::1]",   "ctl.example:8443",
    "127.0.0.1:80",         "[::1]:8080",  "",          "h:99999", "ctl example",
    "xn--bcher-kva.example"};
// What follows the host, some with an "@" of their own.
const std::vector<std::string> kTails = {"",     "/",        "/api",   "/net.toml",
                                         "/a@b", "/x?q=a@b", "/x#f@g", "?r=http://a@b",
                                         "#@",   "/p?k=v#f", "/%zz@"};
// What the parser drops inside a text, and what it drops around one.
const std::vector<std::string> kDropped = {"\t", "\n", "\r", "\r\n"};
const std::vector<std::string> kBlanks = {"", "", " ", "  ", "\t", "\n", "\x01", " \x1f"};

// A user name alone that holds a "/", "?" or "#", right behind a network URL's scheme, its ":"
// and its slashes, reads as a host and the start of a path ("https://tok/en@h" and
// "https:tok/en@h" name the host "tok"), and shows as such. Without such a scheme before it, it
// stays hidden: "tok/en@h", typed without a scheme, is a token.
bool reads_as_host(const std::string& scheme, const std::string& separator,
                   const std::string& user_info, const std::string& password) {
    const bool network_scheme =
        scheme == "http" || scheme == "https" || scheme == "file" || scheme == "controller";
    const bool user_name_alone = (user_info == "P@" && separator.find(':') != std::string::npos) ||
                                 (user_info == ":P@" && separator.empty());
    return network_scheme && user_name_alone && password.find_first_of("/?#") != std::string::npos;
}

template <class T>
const T& pick(std::mt19937& rng, const std::vector<T>& from) {
    return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(rng)];
}

// The scheme in a random mix of cases: the parser reads schemes in any case.
std::string any_case(std::mt19937& rng, std::string_view scheme) {
    std::string out(scheme);
    for (char& c : out) {
        if (rng() % 2 == 0 && c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return out;
}

std::string generate(std::mt19937& rng, const std::string& scheme, const std::string& separator,
                     const std::string& user_info, const std::string& password) {
    std::string text = any_case(rng, scheme) + separator;
    std::string info = user_info;
    info.replace(info.find('P'), 1, password);
    text += info + pick(rng, kHosts) + pick(rng, kTails);
    // Tabs and line breaks, which the parser drops, anywhere: up to three of them.
    for (size_t n = rng() % 4; n > 0; --n) {
        const size_t at = std::uniform_int_distribution<size_t>(0, text.size())(rng);
        text.insert(at, pick(rng, kDropped));
    }
    return pick(rng, kBlanks) + text + pick(rng, kBlanks);
}

// Each shown form of the text: as typed, and, where it parses, the URL value as the formatter and
// `mask_url` show it and its normalised text as a text.
std::vector<std::pair<const char*, std::string>> shown_forms(const std::string& text) {
    std::vector<std::pair<const char*, std::string>> shown{{"typed", mask_url_text(text)}};
    if (const auto url = Url::parse(text)) {
        shown.emplace_back("mask_url", mask_url(*url));
        shown.emplace_back("formatter", fmt::format("{}", *url));
        shown.emplace_back("normalised text", mask_url_text(url->raw_text()));
    }
    return shown;
}

TEST(UrlMaskPropertyTest, NoTypedShapeShowsThePassword) {
    std::mt19937 rng(20261208);
    size_t cases = 0;
    size_t failed = 0;
    std::vector<std::string> reports;
    constexpr int kDrawsPerShape = 3;
    for (const auto& scheme : kSchemes) {
        for (const auto& separator : kSeparators) {
            for (const auto& user_info : kUserInfos) {
                for (const auto& password : kPasswords) {
                    if (reads_as_host(scheme, separator, user_info, password)) {
                        continue;
                    }
                    for (int draw = 0; draw < kDrawsPerShape; ++draw) {
                        const std::string text =
                            generate(rng, scheme, separator, user_info, password);
                        ++cases;
                        bool ok = true;
                        for (const auto& [form, masked] : shown_forms(text)) {
                            // What a tab or line break cuts still reads as one text.
                            const std::string read = strip_url_input(masked);
                            if (quorvel::testing::names_password(read) ||
                                read.find("****:****@") == std::string::npos) {
                                ok = false;
                                if (reports.size() < 20) {
                                    reports.push_back(fmt::format("{} of {}: {}", form,
                                                                  debug_quoted(text),
                                                                  debug_quoted(masked)));
                                }
                            }
                        }
                        failed += ok ? 0 : 1;
                    }
                }
            }
        }
    }
    EXPECT_EQ(failed, 0u) << failed << " of " << cases << " generated texts show a password or "
                          << "no mask, among them:\n"
                          << fmt::format("{}", fmt::join(reports, "\n"));
    EXPECT_GT(cases, 5000u);
}

// A URL that comes first in a text; "$" stands for a password where it has one. Where the
// password holds no "/", "?" or "#", each names its host with an authority ("//", a host and
// port, and a path), so an "@" further on in the same word belongs to a URL behind it, and
// `visible` stays as it is in a masked text.
struct FirstUrl {
    std::string text;
    std::vector<std::string> visible;
};
const std::vector<FirstUrl> kFirstUrls = {
    {"https://first.example/one", {"first.example/one"}},
    {"HTTP://First.Example:8080/one/", {"First.Example:8080/one/"}},
    {"https://first.example/one?k=v", {"first.example/one?k=v"}},
    {"controller://first.example/one", {"first.example/one"}},
    {"https://u:$@first.example/one", {"@first.example/one"}},
    {"http://Alice:$@[::1]:8080/one", {"@[::1]:8080/one"}},
    {"controller://:$@first.example/one", {"@first.example/one"}},
    // Without a path, a URL glued behind runs into the host; with three slashes there is no
    // authority: either holds the user information up to an "@" further on in its word.
    {"controller://:$@first.example", {}},
    {"file:///srv/one.toml", {}},
};

// How a further URL follows the one before it.
const std::vector<std::string> kJoins = {" ", "?next=", "#", "\n", "\r\n", "%20", "", "&u="};
bool ends_word(const std::string& join) {
    return join == " " || join == "\n" || join == "\r\n";
}
const std::vector<std::string> kNetworkSchemes = {"http", "https", "file", "controller"};
const std::vector<std::string> kFurtherSeparators = {"://", ":", ":/"};
const std::vector<std::string> kFurtherUserInfos = {"u:P@", ":P@", "Alice:P@", "P@"};

// Texts that quote a URL ("{}"), some beside mail addresses, which stay readable.
struct Quote {
    std::string text;
    std::vector<std::string> mail;
};
const std::vector<Quote> kQuotes = {
    {"{}", {}},
    {"Unsupported proxy syntax in '{}'", {}},
    {"{{\"next\":\"{}\"}}", {}},
    {"network.\"{}\".config_url", {}},
    {"Mail alice@example.com about <{}>", {"alice@example.com"}},
    {"error: {} (ask alice@example.com, bob.smith+net@mail.example.org)",
     {"alice@example.com", "bob.smith+net@mail.example.org"}},
};

// A space is the one character no password may hold in a free text: it ends the word, and
// what follows reads as a mail address or a user at a host.
std::vector<std::string> passwords_within_a_word() {
    std::vector<std::string> out;
    for (const auto& password : kPasswords) {
        if (password.find(' ') == std::string::npos) {
            out.push_back(password);
        }
    }
    return out;
}

std::string with_password(std::string text, char placeholder, const std::string& password) {
    if (const size_t at = text.find(placeholder); at != std::string::npos) {
        text.replace(at, 1, password);
    }
    return text;
}

struct MultiText {
    // The URLs joined, as a value may hold them.
    std::string urls;
    // The same quoted in a free text.
    std::string text;
    // What `mask_credentials` leaves readable.
    std::vector<std::string> visible;
};

struct FurtherUrl {
    std::string join;
    std::string scheme;
    std::string separator;
    std::string user_info;
    std::string password;
};

MultiText generate_multi(std::mt19937& rng, const std::vector<std::string>& passwords,
                         const FurtherUrl& second) {
    const FirstUrl& first = pick(rng, kFirstUrls);
    const std::string& first_password = pick(rng, passwords);
    MultiText out;
    out.urls = with_password(first.text, '$', first_password);
    if (first_password.find_first_of("/?#") == std::string::npos) {
        out.visible = first.visible;
    }
    std::vector<FurtherUrl> further = {second};
    if (rng() % 3 == 0) {
        FurtherUrl third{pick(rng, kJoins), pick(rng, kNetworkSchemes),
                         pick(rng, kFurtherSeparators), pick(rng, kFurtherUserInfos),
                         pick(rng, passwords)};
        if (!reads_as_host(third.scheme, third.separator, third.user_info, third.password)) {
            further.push_back(third);
        }
    }
    for (size_t i = 0; i < further.size(); ++i) {
        const FurtherUrl& url = further[i];
        const std::string& host = pick(rng, kHosts);
        const std::string& tail = pick(rng, kTails);
        out.urls += url.join + any_case(rng, url.scheme) + url.separator +
                    with_password(url.user_info, 'P', url.password) + host + tail;
        // An "@" of a later URL in the same word may belong to this one: its host shows when
        // it is the last of its word and its own tail holds no "@".
        const bool last_of_word = i + 1 == further.size() || ends_word(further[i + 1].join);
        if (last_of_word && tail.find('@') == std::string::npos) {
            out.visible.push_back(host + tail);
        }
    }
    const Quote& quote = pick(rng, kQuotes);
    out.text = fmt::format(fmt::runtime(quote.text), out.urls);
    out.visible.insert(out.visible.end(), quote.mail.begin(), quote.mail.end());
    return out;
}

// What is wrong with one shown form of a text holding passwords; `again` is the same masking
// applied to what it showed, where that must change nothing.
std::optional<std::string> masked_wrongly(const std::string& masked,
                                          const std::optional<std::string>& again) {
    if (quorvel::testing::names_password(masked) ||
        quorvel::testing::names_password(strip_url_input(masked))) {
        return "shows a password";
    }
    if (masked.find("****:****@") == std::string::npos) {
        return "shows no mask";
    }
    if (again && *again != masked) {
        return fmt::format("changes when masked again, to {}", debug_quoted(*again));
    }
    if (mask_credentials(masked) != masked) {
        return "changes when its URLs are masked again";
    }
    return std::nullopt;
}

// Everything wrong with the ways `multi` shows: as the URLs alone and quoted, through each
// masking, and as a URL value where the URLs parse.
std::vector<std::string> problems_of(const MultiText& multi, size_t& parsed) {
    std::vector<std::string> problems;
    const auto expect = [&](std::string_view form, const std::string& input,
                            const std::string& masked, const std::optional<std::string>& again) {
        if (const auto what = masked_wrongly(masked, again)) {
            problems.push_back(fmt::format("{} of {} {}: {}", form, debug_quoted(input), *what,
                                           debug_quoted(masked)));
        }
    };
    for (const std::string* input : {&multi.urls, &multi.text}) {
        const std::string credentials = mask_credentials(*input);
        expect("mask_credentials", *input, credentials, mask_credentials(credentials));
        // A text that does not parse may mask to one that does, which then normalises: only
        // `mask_credentials` and the value keep what they show when masked again.
        expect("mask_url_text", *input, mask_url_text(*input), std::nullopt);
    }
    if (const auto url = Url::parse(multi.urls)) {
        ++parsed;
        const std::string value = mask_url(*url);
        const auto reparsed = Url::parse(value);
        expect("mask_url", multi.urls, value,
               reparsed ? mask_url(*reparsed) : reparsed.error().to_string());
        expect("formatter", multi.urls, fmt::format("{}", *url), value);
    }
    const std::string masked = mask_credentials(multi.text);
    for (const auto& part : multi.visible) {
        if (masked.find(part) == std::string::npos) {
            problems.push_back(fmt::format("mask_credentials of {} hides {}: {}",
                                           debug_quoted(multi.text), debug_quoted(part),
                                           debug_quoted(masked)));
        }
    }
    return problems;
}

TEST(UrlMaskPropertyTest, NoTextHoldingSeveralUrlsShowsAPassword) {
    std::mt19937 rng(20261210);
    const std::vector<std::string> passwords = passwords_within_a_word();
    // Every way of writing the second URL, behind every join.
    std::vector<FurtherUrl> shapes;
    for (const auto& scheme : kNetworkSchemes) {
        for (const auto& separator : kFurtherSeparators) {
            for (const auto& user_info : kFurtherUserInfos) {
                for (const auto& password : passwords) {
                    if (reads_as_host(scheme, separator, user_info, password)) {
                        continue;
                    }
                    for (const auto& join : kJoins) {
                        shapes.push_back({join, scheme, separator, user_info, password});
                    }
                }
            }
        }
    }
    constexpr int kDrawsPerShape = 2;
    size_t cases = 0;
    size_t parsed = 0;
    size_t failed = 0;
    std::vector<std::string> reports;
    for (const auto& shape : shapes) {
        for (int draw = 0; draw < kDrawsPerShape; ++draw) {
            ++cases;
            auto problems = problems_of(generate_multi(rng, passwords, shape), parsed);
            failed += problems.empty() ? 0 : 1;
            for (auto& problem : problems) {
                if (reports.size() < 20) {
                    reports.push_back(std::move(problem));
                }
            }
        }
    }
    EXPECT_EQ(failed, 0u) << failed << " of " << cases << " generated texts are masked wrongly, "
                          << "among them:\n"
                          << fmt::format("{}", fmt::join(reports, "\n"));
    EXPECT_GT(cases, 5000u);
    EXPECT_GT(parsed, 1000u);
}

// Pieces of which the texts below are made: schemes with and without slashes, hosts, ports,
// delimiters of an authority, quotes, labels, encoded blanks and URLs written percent-encoded,
// each of which a mask may hide and so change what a later "@" closes.
const std::vector<std::string> kPieces = {"http://",
                                          "https:",
                                          "controller:",
                                          "h",
                                          "h:",
                                          "h,",
                                          "u:",
                                          "@",
                                          "?",
                                          "#",
                                          "/",
                                          "//",
                                          "'",
                                          "\"",
                                          "%20",
                                          ":",
                                          "=",
                                          "&",
                                          ";",
                                          ",",
                                          "<",
                                          ">",
                                          "x",
                                          "%3A%2F%2F",
                                          "%40",
                                          "%2F",
                                          "a.b",
                                          "http:",
                                          "[::1]",
                                          "http",
                                          " ",
                                          "%3A//",
                                          "%3a%2f%2f%20",
                                          "file:///",
                                          "mail@h.example"};

// A run of URLs written percent-encoded, each behind an encoded blank: a mask of the address
// behind the last one lets the URL before it reach the "@", whose mask lets the blank before
// that one begin an address, and so on back to the start, two masks per piece.
std::string encoded_chain(size_t length) {
    std::string out = "x";
    for (size_t i = 0; i < length; ++i) {
        out += i % 2 == 0 ? "%3A%2F%2F%20" : "%3a%2f%2f%20";
    }
    return out;
}

// How a password stands as user information in a word: "P" stands for the password.
const std::vector<std::string> kPlanted = {"u:P@h",
                                           "proxy=u:P@h",
                                           "https://u:P@h/x",
                                           "controller:u:P@h",
                                           "https%3A%2F%2Fu%3AP%40h%2Fx",
                                           "https%3A//u%3AP%40h/x",
                                           ":P@h",
                                           "u:P@@h"};

// Masking holds over arbitrary texts made of the pieces a mask can change, among them runs that
// need many rounds of masks: masking the masked text changes nothing, and a password planted as
// user information behind any such run, followed by anything, never shows.
TEST(UrlMaskPropertyTest, MaskingAMaskedTextChangesNothing) {
    std::mt19937 rng(20261215);
    size_t failed = 0;
    size_t cases = 0;
    std::vector<std::string> reports;
    const auto report = [&](std::string what) {
        ++failed;
        if (reports.size() < 20) {
            reports.push_back(std::move(what));
        }
    };
    const std::string password = "s3cr3tPW";
    for (int draw = 0; draw < 40000; ++draw) {
        std::string text;
        for (size_t n = 1 + rng() % 14; n > 0; --n) {
            text += pick(rng, kPieces);
        }
        size_t planted = 0;
        if (draw % 2 == 0) {
            // A run of encoded URLs, or pieces without a blank, then the password, then pieces.
            std::string before = draw % 4 == 0 ? encoded_chain(rng() % 24) : "";
            for (size_t n = rng() % 4; n > 0; --n) {
                const std::string& piece = pick(rng, kPieces);
                if (piece.find_first_of(":/?#@ ") == std::string::npos) {
                    before += piece;
                }
            }
            text += " " + before + with_password(pick(rng, kPlanted), 'P', password);
            planted = 1;
            for (size_t n = rng() % 6; n > 0; --n) {
                text += pick(rng, kPieces);
            }
        }
        ++cases;
        const std::string masked = mask_credentials(text);
        if (const std::string again = mask_credentials(masked); again != masked) {
            report(fmt::format("{} masks to {}, then to {}", debug_quoted(text),
                               debug_quoted(masked), debug_quoted(again)));
        } else if (planted > 0 && masked.find(password) != std::string::npos) {
            report(
                fmt::format("{} shows the password: {}", debug_quoted(text), debug_quoted(masked)));
        }
    }
    EXPECT_EQ(failed, 0u) << failed << " of " << cases << " generated texts are masked wrongly, "
                          << "among them:\n"
                          << fmt::format("{}", fmt::join(reports, "\n"));
}

}  // namespace
}  // namespace quorvel
