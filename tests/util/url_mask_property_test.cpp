// Masking holds for every way of typing a URL with a password: texts generated from a small
// grammar of the ways a person types (or mistypes) a network URL, each with a password in its
// user information, never show the password, whether they parse or not, as typed or normalised.
#include "util/url.h"

#include "util/debug_text.h"
#include "util/malformed_urls.h"

#include <gtest/gtest.h>

#include <fmt/format.h>

#include <cstddef>
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

}  // namespace
}  // namespace quorvel
