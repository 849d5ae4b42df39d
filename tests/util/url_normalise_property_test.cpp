// Normalisation keeps what a URL names: texts generated from scheme and host prefixes and tails
// rich in "%", hex digits and characters the parser escapes, each compared with its normalised
// text by what both decode to, and normalised a second time.
#include "util/url.h"

#include "util/debug_text.h"

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

// A scheme and an authority as a person may type them; every tail put behind one starts with "/",
// "?" or "#", so the authority ends where the prefix does.
struct Prefix {
    std::string text;
    // http, https, ws, ftp and file: the path's dot segments are resolved, an empty path is "/".
    bool special;
};

const std::vector<Prefix> kPrefixes = {
    {"http://h", true},
    {"HTTPS://H:443", true},
    {"https://Ex.Example:8443", true},
    {"http:h", true},
    {"Http:/h", true},
    {"http://u:pw@h:80", true},
    {"http://[::1]:8080", true},
    {"ws://h:80", true},
    {"ftp://h", true},
    {"file://", true},
    {"FILE://", true},
    {"file://localhost", true},
    {"file://Host", true},
    {"controller://x", false},
    {"CONTROLLER://X:1", false},
    {"controller://u:p@x", false},
};

// Pieces of a tail, one listed twice drawn twice as often: stray and real percent-encodings, hex
// digits of both cases, letters that are no hex digit, delimiters, and bytes that the parser
// escapes (a space, a quote, a backslash, DEL, a UTF-8 letter) or drops (a tab).
const std::vector<std::string> kTailPieces = {
    "%",   "%",   "%",   "%",   "%",   "%",   "%%",  "%2",  "%4",   "%6",       "%2E",  "%2e",
    "%25", "%2F", "%41", "%66", "%7e", "%5F", "%C3", "%80", "0",    "1",        "2",    "4",
    "6",   "7",   "9",   "a",   "b",   "c",   "e",   "f",   "A",    "B",        "C",    "E",
    "F",   "g",   "G",   "z",   "x",   "/",   "/",   "/",   "?",    "#",        " ",    ".",
    "..",  "@",   ":",   "~",   "-",   "_",   "+",   "=",   "&",    "!",        "'",    "\"",
    "<",   "\\",  "^",   "|",   "`",   "{",   "[",   "\t",  "\x7f", "\xc3\xa4", "\x01",
};
const std::vector<std::string> kTailStarts = {"/", "/", "/", "/", "?", "#"};

bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int hex_value(char c) {
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

// What a part of a URL names: its percent-encodings decoded, and a "%" that starts none taken
// for itself.
std::string decode(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && is_hex(text[i + 1]) && is_hex(text[i + 2])) {
            out.push_back(static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// A decoded path with its "." and ".." segments resolved; a ".." at the root goes nowhere.
// Normalisation may resolve them, wholly or in part, and reads "%2E" and "%2F" as what they
// encode, so both sides are compared resolved and decoded.
std::string resolve_dot_segments(std::string_view path) {
    if (!path.starts_with("/")) {
        return std::string(path);
    }
    std::vector<std::string_view> kept;
    size_t begin = 1;
    while (true) {
        const size_t end = std::min(path.find('/', begin), path.size());
        const std::string_view segment = path.substr(begin, end - begin);
        const bool last = end == path.size();
        if (segment == "..") {
            if (!kept.empty()) {
                kept.pop_back();
            }
            if (last) {
                kept.emplace_back();
            }
        } else if (segment == ".") {
            if (last) {
                kept.emplace_back();
            }
        } else {
            kept.push_back(segment);
        }
        if (last) {
            break;
        }
        begin = end + 1;
    }
    std::string out;
    for (const auto& segment : kept) {
        out += "/";
        out += segment;
    }
    return out.empty() ? "/" : out;
}

struct Tail {
    std::string path;
    std::optional<std::string> query;
    std::optional<std::string> fragment;
    bool operator==(const Tail&) const = default;
};

// Splits what follows the authority into path, query and fragment, each decoded.
Tail split_tail(std::string_view tail) {
    Tail out;
    const size_t hash = tail.find('#');
    if (hash != std::string_view::npos) {
        out.fragment = decode(tail.substr(hash + 1));
        tail = tail.substr(0, hash);
    }
    const size_t question = tail.find('?');
    if (question != std::string_view::npos) {
        out.query = decode(tail.substr(question + 1));
        tail = tail.substr(0, question);
    }
    out.path = decode(tail);
    return out;
}

// The tail of a normalised text, behind "scheme:" and, where "//" follows, the authority.
std::string_view normalised_tail(std::string_view text) {
    std::string_view rest = text.substr(text.find(':') + 1);
    if (rest.starts_with("//")) {
        rest = rest.substr(std::min(rest.find_first_of("/?#", 2), rest.size()));
    }
    return rest;
}

std::string show(const Tail& t) {
    return fmt::format("path {} query {} fragment {}", debug_quoted(t.path),
                       t.query ? debug_quoted(*t.query) : "none",
                       t.fragment ? debug_quoted(*t.fragment) : "none");
}

// Checks one typed text (a prefix and a tail); returns what is wrong, or nothing. `parsed` counts
// the texts that parse.
std::optional<std::string> check(const Prefix& prefix, const std::string& tail, size_t& parsed) {
    const std::string typed = prefix.text + tail;
    const auto url = Url::parse(typed);
    if (!url) {
        return std::nullopt;
    }
    ++parsed;
    const std::string& normalised = url->raw_text();
    const auto again = Url::parse(normalised);
    if (!again || again->raw_text() != normalised) {
        return fmt::format("{} normalises to {}, and that to {}", debug_quoted(typed),
                           debug_quoted(normalised),
                           again ? debug_quoted(again->raw_text()) : again.error().to_string());
    }
    // The parser reads the text without the blanks around it and the tabs and line breaks in it.
    const std::string read = strip_url_input(typed);
    Tail want = split_tail(std::string_view(read).substr(prefix.text.size()));
    Tail got = split_tail(normalised_tail(normalised));
    if (prefix.special) {
        want.path = resolve_dot_segments(want.path.empty() ? "/" : want.path);
        got.path = resolve_dot_segments(got.path);
    }
    if (want != got) {
        return fmt::format("{} normalises to {}, which names {} instead of {}", debug_quoted(typed),
                           debug_quoted(normalised), show(got), show(want));
    }
    return std::nullopt;
}

template <class T>
const T& pick(std::mt19937& rng, const std::vector<T>& from) {
    return from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(rng)];
}

void expect_none_fails(const std::vector<std::pair<const Prefix*, std::string>>& texts,
                       size_t min_parsed) {
    size_t parsed = 0;
    std::vector<std::string> failures;
    for (const auto& [prefix, tail] : texts) {
        if (auto failure = check(*prefix, tail, parsed)) {
            failures.push_back(std::move(*failure));
        }
    }
    const size_t shown = std::min<size_t>(failures.size(), 20);
    EXPECT_TRUE(failures.empty()) << failures.size() << " of " << parsed
                                  << " texts that parse fail, among them:\n"
                                  << fmt::format("{}", fmt::join(failures.begin(),
                                                                 failures.begin() + shown, "\n"));
    EXPECT_GE(parsed, min_parsed);
}

TEST(UrlNormalisePropertyTest, GeneratedTextsNormaliseOnceAndNameWhatWasTyped) {
    std::mt19937 rng(20261209);
    constexpr size_t kCases = 8000;
    std::vector<std::pair<const Prefix*, std::string>> texts;
    for (size_t n = 0; n < kCases; ++n) {
        const Prefix& prefix = pick(rng, kPrefixes);
        std::string tail = pick(rng, kTailStarts);
        for (size_t pieces = std::uniform_int_distribution<size_t>(0, 12)(rng); pieces > 0;
             --pieces) {
            tail += pick(rng, kTailPieces);
        }
        texts.emplace_back(&prefix, std::move(tail));
    }
    // Every prefix parses, and so does every tail: the parser escapes what a tail may not hold.
    expect_none_fails(texts, kCases);
}

// Shapes of a "%" that starts no encoding next to one that does, in the path, the query and the
// fragment behind every prefix.
TEST(UrlNormalisePropertyTest, StrayPercentShapesNameWhatWasTyped) {
    const std::vector<std::string> shapes = {
        "%%666",  "a%%41b", "%%%666", "%%2541",  "%%4g",   "%%41%%42b", "%",        "%%",
        "a%",     "a%%",    "%4%41",  "%%7e",    "%%2E",   "%%2e%2E",   "%2%2E",    "%%%",
        "%%6%66", "%41%",   "%%80",   "%%c3%a4", "%%2F41", "%%%41%41",  "%z%66%66", "%%4142"};
    std::vector<std::pair<const Prefix*, std::string>> texts;
    for (const auto& prefix : kPrefixes) {
        for (const auto& shape : shapes) {
            for (const char* place : {"/", "/x/", "/?", "/#", "/p?q#"}) {
                texts.emplace_back(&prefix, place + shape);
                texts.emplace_back(&prefix, place + shape + "/y");
            }
        }
    }
    expect_none_fails(texts, texts.size());
}

// The comparison itself tells texts apart that name different things.
TEST(UrlNormalisePropertyTest, DecodedTailsTellApartWhatDiffers) {
    const std::vector<std::pair<std::string, std::string>> differ = {
        {"/%f6", "/%25f6"}, {"/%Ab", "/%25Ab"}, {"/a?b", "/a%3Fb"}, {"/a#b", "/a%23b"},
        {"/%41", "/%61"},   {"/x?", "/x"},      {"/x#", "/x"},      {"/a/%2E%2E/b", "/a/%2E%2Eb"},
    };
    for (const auto& [a, b] : differ) {
        Tail ta = split_tail(a);
        Tail tb = split_tail(b);
        ta.path = resolve_dot_segments(ta.path);
        tb.path = resolve_dot_segments(tb.path);
        EXPECT_NE(ta, tb) << a << " and " << b;
    }
    EXPECT_EQ(resolve_dot_segments("/a/b/../../../c/./d/."), "/c/d/");
    EXPECT_EQ(resolve_dot_segments("/../x"), "/x");
    EXPECT_EQ(split_tail("/%%66%zz%2f?%41%#%23#"),
              (Tail{"/%f%zz/", std::string("A%"), std::string("##")}));
}

}  // namespace
}  // namespace quorvel
