// A controller that quotes the password of its URL where what stands beside it, or what the
// password itself holds, changes how an escape reads: a neighbour and the password's first or last
// character read as one escape (a backslash before "n", "%" before two hex digits, "&", "&#" or
// "&#x" before digits or "lt;"); copies of a password that ends in a backslash in a row; passwords
// holding backslashes, "+", "%41" and "<" written by encoders that escape some of them; and what
// real decoders and writers make of a password: U+FFFD or "?" for what they could not read, the
// decomposed form read as Latin-1 or Windows-1252, references without ";" or with many zeros,
// base64 wrapped into lines, the shared secret in the standard base64 alphabet. Neither the log at
// its default level nor the status report shows any start of the password; where the shown text
// is certain, it is checked exactly. Ordinary text with the same neighbours and escapes, holding no
// secret, shows as it was written.
#include "agent/agent_test_util.h"
#include "agent/first_pass.h"
#include "agent/shown_checks.h"
#include "controller/raw_http_server.h"
#include "controller/test_controller.h"
#include "util/log.h"
#include "util/secrets.h"
#include "util/temp_dir.h"
#include "util/unicode.h"

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sodium.h>

#include <array>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::agent {
namespace {

using quorvel::testing::RawHttpServer;
using quorvel::testing::RawRequest;
using quorvel::testing::RawResponse;

constexpr std::string_view kOpen = "bad credentials quoted [";
constexpr std::string_view kClose = "] back";
constexpr std::string_view kStatusPrefix =
    "  Connection Status: Err: Controller response error 401 Unauthorized: ";

// A password quoted by the controller's answer, between `before` and `after`.
struct NeighbourCase {
    std::string what;
    // The controller URL's user information as typed.
    std::string userinfo;
    // The password as a decoder reads it: its first half must show nowhere.
    std::string password;
    std::string before;
    // The password as the body writes it: neither it nor its first half may show.
    std::string form;
    std::string after;
    // What shows between the markers, where that is certain.
    std::optional<std::string> shown;
    // Where the shown text is not certain: the characters it may only be made of.
    std::optional<std::string> only_of = std::nullopt;
    // More texts that must show nowhere (the tail of the password, say).
    std::vector<std::string> pieces = {};
    // The controller's shared secret; a random one when empty.
    std::string shared_secret = {};
};

// Names the case in gtest's messages, in place of its bytes.
void PrintTo(const NeighbourCase& c, std::ostream* os) {
    *os << c.what;
}

std::string masked(std::string_view before, std::string_view after) {
    return std::string(before) + std::string(secrets::kMask) + std::string(after);
}

// The longest start of `text` no longer than half of it that ends on a character boundary.
std::string first_half(std::string_view text) {
    size_t half = text.size() / 2;
    while (half > 0 && (static_cast<unsigned char>(text[half]) & 0xc0) == 0x80) {
        --half;
    }
    return std::string(text.substr(0, half));
}

// `text` with each byte that `escaped` picks written as a hexadecimal character reference.
template <typename Pick>
std::string referenced(std::string_view text, Pick escaped) {
    std::string out;
    for (const char c : text) {
        if (escaped(c)) {
            out += fmt::format("&#x{:02x};", static_cast<unsigned char>(c));
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// `text` with each byte that `escaped` picks written as a decimal character reference.
template <typename Pick>
std::string referenced_decimal(std::string_view text, Pick escaped) {
    std::string out;
    for (const char c : text) {
        if (escaped(c)) {
            out += fmt::format("&#{};", static_cast<unsigned char>(c));
        } else {
            out.push_back(c);
        }
    }
    return out;
}

bool is_alphanumeric(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// `text` with every byte written as "\xHH".
std::string byte_escaped(std::string_view text) {
    std::string out;
    for (const char c : text) {
        out += fmt::format("\\x{:02x}", static_cast<unsigned char>(c));
    }
    return out;
}

std::string base64_padded(std::string_view bytes) {
    constexpr int kVariant = sodium_base64_VARIANT_ORIGINAL;
    std::string text(sodium_base64_encoded_len(bytes.size(), kVariant), '\0');
    sodium_bin2base64(text.data(), text.size(),
                      reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), kVariant);
    text.resize(text.size() - 1);  // the terminating NUL
    return text;
}

// The base64 of `text` wrapped at `width` columns by `line_end`.
std::string wrapped_base64(std::string_view text, size_t width, std::string_view line_end) {
    const std::string encoded = base64_padded(text);
    std::string out;
    for (size_t at = 0; at < encoded.size(); at += width) {
        out += at > 0 ? std::string(line_end) : std::string();
        out += encoded.substr(at, width);
    }
    return out;
}

// `text` with each backslash written as four, as JSON escaping a JSON string writes it.
std::string json_escaped_twice(std::string_view text) {
    std::string out;
    for (const char c : text) {
        out += c == '\\' ? std::string(R"(\\\\)") : std::string(1, c);
    }
    return out;
}

// The base64 of a longer text holding `secret`, wrapped at `width` columns by `line_end`, its
// first line break inside the stretch that depends on the secret's bytes alone, at least
// `kEachSide` of that stretch's characters on each side of it.
struct WrappedBase64 {
    std::string text;
    std::string before_break;
    std::string after_break;
};

std::optional<WrappedBase64> wrapped_base64_around(std::string_view secret, size_t width,
                                                   std::string_view line_end, size_t alignment) {
    constexpr size_t kEachSide = 8;
    constexpr std::string_view kPreamble =
        "Subject: the controller refused the node of the operations team on the upload of its "
        "metrics, with these credentials: ";
    constexpr std::string_view kTail = " (sent at 2026-12-09T07:00:00Z, retried twice)\n";
    // The secret starts `alignment` bytes past a multiple of three.
    for (size_t lead = alignment; lead < kPreamble.size(); lead += 3) {
        // The characters from `begin` to `end` depend on the secret's bytes alone.
        const size_t begin = (lead * 8 + 5) / 6;
        const size_t end = (lead + secret.size()) * 8 / 6;
        if (begin + kEachSide > width || width + kEachSide > end) {
            continue;
        }
        const std::string encoded = base64_padded(std::string(kPreamble.substr(0, lead)) +
                                                  std::string(secret) + std::string(kTail));
        WrappedBase64 out;
        for (size_t at = 0; at < encoded.size(); at += width) {
            if (at > 0) {
                out.text += line_end;
            }
            out.text += encoded.substr(at, width);
        }
        out.before_break = encoded.substr(begin, width - begin);
        out.after_break = encoded.substr(width, end - width);
        return out;
    }
    return std::nullopt;
}

// The passwords, as a decoder reads them and as the controller URL's user information types them.
constexpr std::string_view kNebula = "nébula-Vx7Qm2Rz";
constexpr std::string_view kNebulaUser = "ctl-user:n%C3%A9bula-Vx7Qm2Rz";
constexpr std::string_view kByteStart = "x4f\u00e9-Rt6Ym2Kp";
constexpr std::string_view kByteStartUser = "ctl-user:x4f%C3%A9-Rt6Ym2Kp";
constexpr std::string_view kOctalStart = "101\u00e9-Wn3Jc8Qs";
constexpr std::string_view kOctalStartUser = "ctl-user:101%C3%A9-Wn3Jc8Qs";
constexpr std::string_view kHexStart = "4eé-Kq8Wz3Tn";
constexpr std::string_view kHexStartUser = "ctl-user:4e%C3%A9-Kq8Wz3Tn";
constexpr std::string_view kPercentEnd = "Zr\u00e98Kw2Qm%4";
constexpr std::string_view kPercentEndUser = "ctl-user:Zr%C3%A98Kw2Qm%254";
constexpr std::string_view kLt = "lt;Kw\u00e98Zq2Rm";
constexpr std::string_view kLtUser = "ctl-user:lt%3BKw%C3%A98Zq2Rm";
constexpr std::string_view kDecimal = "60;Wq\u00e98Zk3Tn";
constexpr std::string_view kDecimalUser = "ctl-user:60%3BWq%C3%A98Zk3Tn";
constexpr std::string_view kHex = "3c;Hv\u00e95Xp9Lm";
constexpr std::string_view kHexUser = "ctl-user:3c%3BHv%C3%A95Xp9Lm";
constexpr std::string_view kAmpEnd = "Jn\u00e94Tx7Wq&";
constexpr std::string_view kAmpEndUser = "ctl-user:Jn%C3%A94Tx7Wq%26";
constexpr std::string_view kHashEnd = "Bq\u00e96Rz3Mv&#";
constexpr std::string_view kHashEndUser = "ctl-user:Bq%C3%A96Rz3Mv%26%23";
constexpr std::string_view kHexHashEnd = "Gd\u00e92Wk9Ns&#x";
constexpr std::string_view kHexHashEndUser = "ctl-user:Gd%C3%A92Wk9Ns%26%23x";
// Starts with an escape letter, ends with a backslash.
constexpr std::string_view kBackslashEnd = "nKq7Wz3Rx\\";
constexpr std::string_view kBackslashEndUser = "ctl-user:nKq7Wz3Rx%5C";
// Starts with what reads as a code point's escape behind a backslash.
constexpr std::string_view kHexEscapeEnd = "u00e9Rk5Tq\\";
constexpr std::string_view kHexEscapeEndUser = "ctl-user:u00e9Rk5Tq%5C";
// Holds "+", a backslash, "%41" and "<".
constexpr std::string_view kEscapes = "Wd7Zp3Lx+\\kqrs%41<t";
constexpr std::string_view kEscapesUser = "ctl-user:Wd7Zp3Lx%2B%5Ckqrs%2541%3Ct";
// Typed with an escape of its own: "%2B" reads as "+".
constexpr std::string_view kOwnEscape = "Pq8Zx4+ss+w0rd";
constexpr std::string_view kOwnEscapeUser = "ctl-user:Pq8Zx4%2Bss+w0rd";
constexpr std::string_view kCreme = "crème-Tz5Wq8Lx";
constexpr std::string_view kCremeUser = "ctl-user:cr%C3%A8me-Tz5Wq8Lx";
constexpr std::string_view kEuro = "Kx\u20acNq7Xv3k";
constexpr std::string_view kEuroUser = "ctl-user:Kx%E2%82%ACNq7Xv3k";
constexpr std::string_view kGarcon = "garçon-Hm6Vr2Kt";
constexpr std::string_view kGarconUser = "ctl-user:gar%C3%A7on-Hm6Vr2Kt";
constexpr std::string_view kLetters = "PXq7Wz3Rk9";
constexpr std::string_view kLettersUser = "ctl-user:PXq7Wz3Rk9";
// Longer than the stretch at a form's start that is read beside each escape: found by what an
// escape before it leaves of it. The base64 of the first starts with "b", of the second the
// canonical form with "33".
constexpr std::string_view kLongNebula =
    "n\u00e9bula-Vx7Qm2Rz-Kq8Wz3Tn-Rt6Ym2Kp-Wn3Jc8Qs-Hm6Vr2Kt-Tz5Wq8Lx-Pq8Zx4";
constexpr std::string_view kLongNebulaUser =
    "ctl-user:n%C3%A9bula-Vx7Qm2Rz-Kq8Wz3Tn-Rt6Ym2Kp-Wn3Jc8Qs-Hm6Vr2Kt-Tz5Wq8Lx-Pq8Zx4";
constexpr std::string_view kOctalPair =
    "\\3\\3Kq7Wz3Rx-Vx7Qm2Rz-Rt6Ym2Kp-Wn3Jc8Qs-Hm6Vr2Kt-Tz5Wq8Lx";
constexpr std::string_view kOctalPairUser =
    "ctl-user:%5C3%5C3Kq7Wz3Rx-Vx7Qm2Rz-Rt6Ym2Kp-Wn3Jc8Qs-Hm6Vr2Kt-Tz5Wq8Lx";
// Ends in a run of "%", each of which a reading of what follows may take in.
constexpr std::string_view kPercentRunEnd = "Mv7Rq2Zk-Tn\u00e94Wx8Lp%%%%";
constexpr std::string_view kPercentRunEndUser = "ctl-user:Mv7Rq2Zk-Tn%C3%A94Wx8Lp%25%25%25%25";
constexpr std::string_view kBase64 = "Fj3Kp8Wx2Qz7Vm5R";
constexpr std::string_view kBase64User = "ctl-user:Fj3Kp8Wx2Qz7Vm5R";

// A shared secret as the controller hands one out (32 bytes, unpadded URL-safe base64), its
// first bytes chosen so that it holds "-" and "_", which the standard alphabet writes "+" and "/".
std::string shared_secret_with_signs() {
    std::array<uint8_t, 32> key{};
    for (size_t i = 0; i < key.size(); ++i) {
        key[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    key[0] = 0xfb;
    key[1] = 0xff;
    key[2] = 0xbf;
    return controller::base64url_encode(key);
}

std::string standard_alphabet(std::string text) {
    for (char& c : text) {
        c = c == '-' ? '+' : c == '_' ? '/' : c;
    }
    return text;
}

NeighbourCase quoted(std::string what, std::string_view userinfo, std::string_view password,
                     std::string before, std::string form, std::string after,
                     std::vector<std::string> pieces) {
    NeighbourCase c{.what = std::move(what),
                    .userinfo = std::string(userinfo),
                    .password = std::string(password),
                    .before = std::move(before),
                    .form = std::move(form),
                    .after = std::move(after),
                    .shown = std::nullopt,
                    .pieces = std::move(pieces)};
    c.shown = masked(c.before, c.after);
    return c;
}

// `c` where a form that needs reading back starts inside an escape that its neighbour began:
// that escape is hidden with it, and `kept` of the neighbour shows.
NeighbourCase escape_hidden(NeighbourCase c, std::string_view kept) {
    c.shown = std::string(kept) + "****" + c.after;
    return c;
}

// `c` where the password's last characters begin an escape that what follows completes: they are
// no start of it, and show with what follows as `rest`.
NeighbourCase end_shown(NeighbourCase c, std::string_view rest) {
    c.shown = c.before + "****" + std::string(rest);
    return c;
}

// `c` without a certain shown text: what the mask stands for may be read more than one way.
NeighbourCase unsure(NeighbourCase c) {
    c.shown = std::nullopt;
    return c;
}

// 1. A neighbour and the password's edge read as one escape. The plain form is found as it
// stands; a form that needs reading back must be found too.
std::vector<NeighbourCase> edge_cases() {
    const std::vector<std::string> nebula = {"Vx7Qm2Rz"};
    const std::vector<std::string> hex_start = {"Kq8Wz3Tn"};
    const std::vector<std::string> percent_end = {"8Kw2Qm"};
    return {
        quoted("JSON after a literal backslash, plain", kNebulaUser, kNebula, R"({"path":"C:\\)",
               std::string(kNebula), R"("})", nebula),
        escape_hidden(quoted("JSON after a literal backslash, \\u00e9", kNebulaUser, kNebula,
                             R"({"path":"C:\\)", R"(n\u00e9bula-Vx7Qm2Rz)", R"("})", nebula),
                      R"({"path":"C:)"),
        quoted("one backslash before it, plain", kNebulaUser, kNebula, R"(C:\)",
               std::string(kNebula), "", nebula),
        escape_hidden(quoted("one backslash before it, hexadecimal reference", kNebulaUser, kNebula,
                             R"(C:\)", "n&#xe9;bula-Vx7Qm2Rz", "", nebula),
                      "C:"),
        escape_hidden(quoted("JSON after a literal backslash, starts with x and two hex digits",
                             kByteStartUser, kByteStart, R"({"path":"C:\\)",
                             R"(x4f\u00e9-Rt6Ym2Kp)", R"("})", {"Rt6Ym2Kp"}),
                      R"({"path":"C:)"),
        escape_hidden(quoted("JSON after a literal backslash, starts with three octal digits",
                             kOctalStartUser, kOctalStart, R"({"path":"C:\\)",
                             R"(101\u00e9-Wn3Jc8Qs)", R"("})", {"Wn3Jc8Qs"}),
                      R"({"path":"C:)"),
        quoted("after % when it starts with two hex digits, plain", kHexStartUser, kHexStart,
               "100%", std::string(kHexStart), "", hex_start),
        escape_hidden(quoted("after % when it starts with two hex digits, \\u00e9", kHexStartUser,
                             kHexStart, "100%", R"(4e\u00e9-Kq8Wz3Tn)", "", hex_start),
                      "100"),
        escape_hidden(quoted("after % when it starts with two hex digits, &#233;", kHexStartUser,
                             kHexStart, "100%", "4e&#233;-Kq8Wz3Tn", "", hex_start),
                      "100"),
        quoted("ends in %4 and a digit follows, plain", kPercentEndUser, kPercentEnd, "",
               std::string(kPercentEnd), "1 left", percent_end),
        end_shown(quoted("ends in %4 and a digit follows, \\u00e9", kPercentEndUser, kPercentEnd,
                         "", R"(Zr\u00e98Kw2Qm%4)", "1 left", percent_end),
                  "%41 left"),
        end_shown(quoted("ends in %4 and a digit follows, &#233;", kPercentEndUser, kPercentEnd, "",
                         "Zr&#233;8Kw2Qm%4", "1 left", percent_end),
                  "%41 left"),
        quoted("after & when it starts with lt;, plain", kLtUser, kLt, "a&", std::string(kLt), "",
               {"8Zq2Rm"}),
        escape_hidden(quoted("after & when it starts with lt;, \\u00e9", kLtUser, kLt, "a&",
                             R"(lt;Kw\u00e98Zq2Rm)", "", {"8Zq2Rm"}),
                      "a"),
        quoted("after &# when it starts with digits and ;, plain", kDecimalUser, kDecimal, "&#",
               std::string(kDecimal), "", {"8Zk3Tn"}),
        escape_hidden(quoted("after &# when it starts with digits and ;, \\u00e9", kDecimalUser,
                             kDecimal, "&#", R"(60;Wq\u00e98Zk3Tn)", "", {"8Zk3Tn"}),
                      ""),
        // Two in a row, each after its neighbour: each is hidden, whatever the masks take in.
        unsure(quoted("after &# when it starts with digits and ;, \\u00e9, twice in a row",
                      kDecimalUser, kDecimal, "&#", R"(60;Wq\u00e98Zk3Tn)",
                      R"(&#60;Wq\u00e98Zk3Tn)", {"8Zk3Tn"})),
        unsure(quoted("after % when it starts with two hex digits, \\u00e9, twice in a row",
                      kHexStartUser, kHexStart, "100%", R"(4e\u00e9-Kq8Wz3Tn)",
                      R"(100%4e\u00e9-Kq8Wz3Tn)", hex_start)),
        quoted("after &#x when it starts with hex digits and ;, plain", kHexUser, kHex, "&#x",
               std::string(kHex), "", {"5Xp9Lm"}),
        escape_hidden(quoted("after &#x when it starts with hex digits and ;, \\u00e9", kHexUser,
                             kHex, "&#x", R"(3c;Hv\u00e95Xp9Lm)", "", {"5Xp9Lm"}),
                      ""),
        quoted("ends in & and lt; follows, plain", kAmpEndUser, kAmpEnd, "", std::string(kAmpEnd),
               "lt;", {"4Tx7Wq"}),
        end_shown(quoted("ends in & and lt; follows, \\u00e9", kAmpEndUser, kAmpEnd, "",
                         R"(Jn\u00e94Tx7Wq&)", "lt;", {"4Tx7Wq"}),
                  "&lt;"),
        // The mask may stand for the password as written or as HTML-escaped, "amp;" after it.
        unsure(quoted("ends in & and lt; follows, \\u00e9 and &amp;", kAmpEndUser, kAmpEnd, "",
                      R"(Jn\u00e94Tx7Wq&amp;)", "lt;", {"4Tx7Wq"})),
        quoted("ends in &# and 60; follows, plain", kHashEndUser, kHashEnd, "",
               std::string(kHashEnd), "60;", {"6Rz3Mv"}),
        end_shown(quoted("ends in &# and 60; follows, \\u00e9", kHashEndUser, kHashEnd, "",
                         R"(Bq\u00e96Rz3Mv&#)", "60;", {"6Rz3Mv"}),
                  "&#60;"),
        quoted("ends in &#x and 3c; follows, plain", kHexHashEndUser, kHexHashEnd, "",
               std::string(kHexHashEnd), "3c;", {"2Wk9Ns"}),
        end_shown(quoted("ends in &#x and 3c; follows, \\u00e9", kHexHashEndUser, kHexHashEnd, "",
                         R"(Gd\u00e92Wk9Ns&#x)", "3c;", {"2Wk9Ns"}),
                  "&#x3c;"),
        // An escape before a form other than the password as given: its base64 after "&#X" ("b"
        // reads as U+000B with it) or after a backslash (a backspace) where it is wrapped into
        // lines; and the password JSON-escaped twice after "\\x", with which its first two
        // escapes read as one "3", where its canonical form starts with "33".
        unsure(quoted("base64 after &#X, its first character percent-encoded", kNebulaUser, kNebula,
                      "&#X", "%62" + base64_padded(kNebula).substr(1), "", nebula)),
        unsure(quoted("base64 after a backslash, wrapped as MIME does", kLongNebulaUser,
                      kLongNebula, R"(C:\)", wrapped_base64(kLongNebula, 76, "\r\n"), "",
                      {"Hm6Vr2Kt-Tz5Wq8Lx"})),
        escape_hidden(quoted("JSON-escaped twice after \\x, starts with two octal escapes",
                             kOctalPairUser, kOctalPair, R"(C:\x)", json_escaped_twice(kOctalPair),
                             "", {"Hm6Vr2Kt-Tz5Wq8Lx"}),
                      "C:"),
        // "%%%%" and "4141" read as "%%", U+00A4 and "1".
        end_shown(quoted("ends in a run of %, 4141 follows, \\u00e9", kPercentRunEndUser,
                         kPercentRunEnd, "", R"(Mv7Rq2Zk-Tn\u00e94Wx8Lp%%%%)", "4141", {"4Wx8Lp"}),
                  "%%4141"),
    };
}

// 2. A password that starts with an escape letter and ends with a backslash, JSON-escaped, in
// copies one after another: each copy's backslash and the next one's start read as one escape (a
// line feed for "n", "é" for "u00e9").
std::vector<NeighbourCase> copies_cases() {
    struct Password {
        std::string_view userinfo;
        std::string_view password;
        std::string_view json;
        std::string_view tail;
    };
    std::vector<NeighbourCase> cases;
    for (const Password& p :
         {Password{kBackslashEndUser, kBackslashEnd, R"(nKq7Wz3Rx\\)", "Kq7Wz3Rx"},
          Password{kHexEscapeEndUser, kHexEscapeEnd, R"(u00e9Rk5Tq\\)", "Rk5Tq"}}) {
        for (int copies = 1; copies <= 6; ++copies) {
            std::string form;
            for (int i = 0; i < copies; ++i) {
                form += p.json;
            }
            cases.push_back(NeighbourCase{
                .what = fmt::format("{} JSON-escaped copies of {} in a row", copies, p.password),
                .userinfo = std::string(p.userinfo),
                .password = std::string(p.password),
                .before = "",
                .form = form,
                .after = "",
                .shown = std::nullopt,
                .only_of = "*\\",
                .pieces = {std::string(p.tail)}});
        }
    }
    return cases;
}

// 3. A password holding a backslash, "+", "%41" and "<", as encoders that escape some of its
// characters write it.
std::vector<NeighbourCase> escape_holding_cases() {
    const std::vector<std::string> pieces = {"Wd7Zp3Lx", "kqrs"};
    const auto whole = [&](std::string what, std::string form) {
        return quoted(std::move(what), kEscapesUser, kEscapes, "", std::move(form), "", pieces);
    };
    return {
        whole("as it is", std::string(kEscapes)),
        whole("JSON-escaped", R"(Wd7Zp3Lx+\\kqrs%41<t)"),
        whole("its backslash as &#92;", "Wd7Zp3Lx+&#92;kqrs%41<t"),
        whole("its backslash as \\x5c", R"(Wd7Zp3Lx+\x5ckqrs%41<t)"),
        whole("its backslash as \\134", R"(Wd7Zp3Lx+\134kqrs%41<t)"),
        whole("its backslash as \\u005c", R"(Wd7Zp3Lx+\u005ckqrs%41<t)"),
        whole("every sign as &#xNN;",
              referenced(kEscapes, [](char c) { return !is_alphanumeric(c); })),
        whole("every character as &#xNN;", referenced(kEscapes, [](char) { return true; })),
        whole("every byte as \\xHH", byte_escaped(kEscapes)),
        whole("its backslash as &#x5C;", "Wd7Zp3Lx+&#x5C;kqrs%41<t"),
        whole("its backslash as &#092;", "Wd7Zp3Lx+&#092;kqrs%41<t"),
        whole("every sign as &#NN;",
              referenced_decimal(kEscapes, [](char c) { return !is_alphanumeric(c); })),
        whole("percent-encoded and JSON-escaped at once", R"(Wd7Zp3Lx%2B\u005ckqrs%2541%3Ct)"),
        whole("percent-encoded and referenced at once", "Wd7Zp3Lx%2B&#x5c;kqrs%2541%3Ct"),
        quoted("its own escape, as typed", kOwnEscapeUser, kOwnEscape, "", "Pq8Zx4%2Bss+w0rd", "",
               {"Pq8Zx4"}),
        quoted("its own escape, as typed and percent-encoded once", kOwnEscapeUser, kOwnEscape, "",
               "Pq8Zx4%252Bss%2Bw0rd", "", {"Pq8Zx4"}),
    };
}

// 4. What real decoders and writers make of a password.
std::vector<NeighbourCase> decoder_cases() {
    const std::vector<std::string> creme = {"Tz5Wq8Lx"};
    const auto of_creme = [&](std::string what, std::string form) {
        return quoted(std::move(what), kCremeUser, kCreme, "", std::move(form), "", creme);
    };
    const auto of_letters = [&](std::string what, std::string form) {
        return quoted(std::move(what), kLettersUser, kLetters, "", std::move(form), "",
                      {"q7Wz3Rk9"});
    };
    std::vector<NeighbourCase> cases = {
        of_creme("U+FFFD for the character", "cr\xef\xbf\xbdme-Tz5Wq8Lx"),
        of_creme("U+FFFD for each byte", "cr\xef\xbf\xbd\xef\xbf\xbdme-Tz5Wq8Lx"),
        of_creme("U+FFFD for each byte, JSON-escaped", R"(cr\uFFFD\uFFFDme-Tz5Wq8Lx)"),
        of_creme("a question mark for the character", "cr?me-Tz5Wq8Lx"),
        of_creme("a question mark for each byte", "cr??me-Tz5Wq8Lx"),
        quoted("a question mark for each byte of a three-byte character", kEuroUser, kEuro, "",
               "Kx???Nq7Xv3k", "", {"Nq7Xv3k"}),
        quoted("a question mark for a three-byte character", kEuroUser, kEuro, "", "Kx?Nq7Xv3k", "",
               {"Nq7Xv3k"}),
        quoted("U+FFFD for each byte of a three-byte character, JSON-escaped", kEuroUser, kEuro, "",
               R"(Kx\uFFFD\uFFFD\uFFFDNq7Xv3k)", "", {"Nq7Xv3k"}),
        // Its NFD form ("e" and U+0300) read by a lossy decoder.
        of_creme("NFD, a question mark for the combining mark", "cre?me-Tz5Wq8Lx"),
        of_creme("NFD, a question mark for each byte of the combining mark", "cre??me-Tz5Wq8Lx"),
        of_creme("NFD, U+FFFD for the combining mark", "cre\xef\xbf\xbdme-Tz5Wq8Lx"),
        // "e" and U+0300, whose UTF-8 (CC 80) reads as "Ì" and U+0080, or "Ì" and "€".
        of_creme("NFD read as Latin-1", "cre\xc3\x8c\xc2\x80me-Tz5Wq8Lx"),
        of_creme("NFD read as Latin-1, JSON-escaped", R"(cre\u00cc\u0080me-Tz5Wq8Lx)"),
        of_creme("NFD read as Windows-1252", "cre\xc3\x8c\xe2\x82\xacme-Tz5Wq8Lx"),
        // "c" and U+0327, whose UTF-8 (CC A7) reads as "Ì§" in both.
        quoted("NFD read as Latin-1, no C1 character", kGarconUser, kGarcon, "",
               "garc\xc3\x8c\xc2\xa7on-Hm6Vr2Kt", "", {"Hm6Vr2Kt"}),
        of_letters("decimal references without ;", "&#80&#88q7Wz3Rk9"),
        of_letters("hexadecimal references without ;", "&#x50&#x58q7Wz3Rk9"),
        of_creme("decimal reference without ; for the non-ASCII letter", "cr&#232me-Tz5Wq8Lx"),
        of_letters("decimal reference with many leading zeros", "&#0000000080;Xq7Wz3Rk9"),
        of_letters("hexadecimal reference with many leading zeros", "&#x0000000050;Xq7Wz3Rk9"),
    };
    // Base64 wrapped into lines, the break inside what depends on the secret alone.
    struct Wrapping {
        const char* what;
        size_t width;
        std::string_view line_end;
    };
    for (const Wrapping& wrap : {Wrapping{"MIME", 76, "\r\n"}, Wrapping{"PEM", 64, "\n"},
                                 Wrapping{"MIME inside a JSON string", 76, R"(\r\n)"}}) {
        for (const std::string_view quoted_text : {kBase64User, kBase64}) {
            for (size_t alignment = 0; alignment < 3; ++alignment) {
                const std::optional<WrappedBase64> wrapped =
                    wrapped_base64_around(quoted_text, wrap.width, wrap.line_end, alignment);
                NeighbourCase c{
                    .what = fmt::format(
                        "base64 of a text holding the {} at byte {} of 3, wrapped as {} does",
                        quoted_text == kBase64 ? "password" : "user:password pair", alignment,
                        wrap.what),
                    .userinfo = std::string(kBase64User),
                    .password = std::string(kBase64),
                    .before = "",
                    .form = wrapped ? wrapped->text : std::string("no wrapping found"),
                    .after = "",
                    .shown = std::nullopt,
                };
                if (wrapped) {
                    c.pieces = {wrapped->before_break, wrapped->after_break};
                }
                cases.push_back(std::move(c));
            }
        }
    }
    const std::string shared = shared_secret_with_signs();
    const std::string standard = standard_alphabet(shared) + "=";
    std::string percent_encoded;
    std::string json_slashes;
    for (const char c : standard) {
        percent_encoded += c == '+'   ? "%2B"
                           : c == '/' ? "%2F"
                           : c == '=' ? "%3D"
                                      : std::string(1, c);
        json_slashes += c == '/' ? "\\/" : std::string(1, c);
    }
    for (const auto& [what, form] :
         {std::pair{"shared secret in the standard alphabet, percent-encoded", percent_encoded},
          std::pair{"shared secret in the standard alphabet, JSON-escaped slashes",
                    json_slashes}}) {
        NeighbourCase c =
            quoted(what, kLettersUser, form, "", form, "", {shared.substr(shared.size() - 12)});
        c.shared_secret = shared;
        cases.push_back(std::move(c));
    }
    for (const bool padded : {true, false}) {
        const std::string form = standard_alphabet(shared) + (padded ? "=" : "");
        NeighbourCase c =
            quoted(fmt::format("shared secret in the standard alphabet, {}",
                               padded ? "padded" : "unpadded"),
                   kLettersUser, form, "", form, "", {shared.substr(shared.size() - 12)});
        c.shared_secret = shared;
        cases.push_back(std::move(c));
    }
    return cases;
}

bool at_default_level(std::string_view line) {
    for (const log::Level level : {log::Level::Trace, log::Level::Debug, log::Level::Info,
                                   log::Level::Warn, log::Level::Error}) {
        const std::string_view name = log::level_name(level);
        if (line.starts_with(name) && line.size() > name.size() && line[name.size()] == ' ') {
            return log::passes(log::kDefaultSinkLevel, level);
        }
    }
    return true;
}

// What an agent whose controller answers every request with 401 and `body` shows: its report and
// the lines its log writes at the default level.
testing::FirstPass first_pass_answered_with(const std::string& userinfo, const std::string& body,
                                            std::string shared_secret) {
    RawHttpServer server([&](const RawRequest&) {
        return RawResponse{.status = 401,
                           .headers = {{"Content-Type", "text/plain; charset=utf-8"}},
                           .body = body};
    });
    quorvel::testing::TempDir dir;
    if (shared_secret.empty()) {
        shared_secret = quorvel::testing::make_shared_secret();
    }
    AgentConfig config = testing::logged_in_config(
        "http://" + userinfo + "@127.0.0.1:" + std::to_string(server.port()) + "/api",
        shared_secret);
    testing::FirstPass shown = testing::run_first_pass(std::move(config), dir.file("config.toml"));
    EXPECT_GE(server.requests().size(), 1u);
    std::erase_if(shown.lines, [](const std::string& line) { return !at_default_level(line); });
    return shown;
}

std::string test_name(const std::string& what, size_t index) {
    std::string name = fmt::format("r{:02}_", index);
    for (const char c : what) {
        if (is_alphanumeric(c)) {
            name.push_back(c);
        } else if (name.back() != '_') {
            name.push_back('_');
        }
    }
    while (name.back() == '_') {
        name.pop_back();
    }
    return name;
}

template <typename Case>
std::string case_name(const ::testing::TestParamInfo<Case>& info) {
    return test_name(info.param.what, info.index);
}

// Checks what the log and the report show of a body quoting `quoted` between the markers: the
// exact text where `shown` is given, else only the characters of `only_of` where that is given.
void expect_quoted_as(const testing::FirstPass& shown, const std::optional<std::string>& exact,
                      const std::optional<std::string>& only_of) {
    const std::string status = testing::report_line(shown.report, "Connection Status:");
    const std::vector<std::string> in_report = testing::between(status, kOpen, kClose);
    EXPECT_EQ(in_report.size(), 1u) << shown.report;
    std::vector<std::string> quoted = in_report;
    const std::vector<std::string> quoting = testing::lines_holding(shown, kOpen);
    EXPECT_FALSE(quoting.empty());
    for (const std::string& line : quoting) {
        for (std::string& text : testing::between(line, kOpen, kClose)) {
            quoted.push_back(std::move(text));
        }
    }
    EXPECT_TRUE(status.starts_with(kStatusPrefix)) << status;
    for (const std::string& text : quoted) {
        if (exact) {
            EXPECT_EQ(text, *exact) << "shown: " << text;
        } else if (only_of) {
            EXPECT_EQ(text.find_first_not_of(*only_of), std::string::npos) << text;
        }
    }
}

class SecretNeighboursTest : public ::testing::TestWithParam<NeighbourCase> {
  protected:
    void SetUp() override { secrets::forget_all_for_tests(); }
    void TearDown() override { secrets::forget_all_for_tests(); }
};

TEST_P(SecretNeighboursTest, NoStartOfThePasswordShows) {
    const NeighbourCase& c = GetParam();
    SCOPED_TRACE(c.what);
    const std::string body = std::string(kOpen) + c.before + c.form + c.after + std::string(kClose);
    const testing::FirstPass shown = first_pass_answered_with(c.userinfo, body, c.shared_secret);

    std::vector<std::string> hidden = c.pieces;
    hidden.push_back(c.form);
    hidden.push_back(first_half(c.form));
    hidden.push_back(first_half(c.password));
    EXPECT_EQ(testing::first_showing(shown, hidden), "");
    for (const std::string& line : shown.lines) {
        EXPECT_TRUE(is_valid_utf8(line)) << line;
    }
    expect_quoted_as(shown, c.shown, c.only_of);
}

INSTANTIATE_TEST_SUITE_P(EdgeReadAsOneEscape, SecretNeighboursTest,
                         ::testing::ValuesIn(edge_cases()), case_name<NeighbourCase>);
INSTANTIATE_TEST_SUITE_P(CopiesInARow, SecretNeighboursTest, ::testing::ValuesIn(copies_cases()),
                         case_name<NeighbourCase>);
INSTANTIATE_TEST_SUITE_P(EscapesInTheSecret, SecretNeighboursTest,
                         ::testing::ValuesIn(escape_holding_cases()), case_name<NeighbourCase>);
INSTANTIATE_TEST_SUITE_P(DecodersAndWriters, SecretNeighboursTest,
                         ::testing::ValuesIn(decoder_cases()), case_name<NeighbourCase>);

TEST(SecretNeighboursSetupTest, TheWrappedBase64BreaksInsideTheSecretsStretch) {
    // What the base64 rows rely on: a line break with the secret's own characters on both sides.
    for (const size_t width : {size_t{64}, size_t{76}}) {
        for (const std::string_view text : {kBase64User, kBase64}) {
            for (size_t alignment = 0; alignment < 3; ++alignment) {
                const std::optional<WrappedBase64> wrapped =
                    wrapped_base64_around(text, width, "\n", alignment);
                ASSERT_TRUE(wrapped.has_value()) << text << " at " << width << ", " << alignment;
                EXPECT_EQ(wrapped->text.find('\n'), width);
                EXPECT_GE(wrapped->before_break.size(), 8u);
                EXPECT_GE(wrapped->after_break.size(), 8u);
            }
        }
    }
    const std::string shared = shared_secret_with_signs();
    EXPECT_NE(shared.find('-'), std::string::npos) << shared;
    EXPECT_NE(shared.find('_'), std::string::npos) << shared;
}

// Ordinary text with the same neighbours and escapes, holding no secret, with one known.
struct OrdinaryCase {
    std::string what;
    std::string userinfo;
    std::string text;
    // As the log and the report write it (control characters escaped).
    std::string shown;
    std::string shared_secret = {};
};

void PrintTo(const OrdinaryCase& c, std::ostream* os) {
    *os << c.what;
}

std::vector<OrdinaryCase> ordinary_cases() {
    const auto same = [](std::string what, std::string_view userinfo, std::string text) {
        OrdinaryCase c{std::move(what), std::string(userinfo), text, text};
        return c;
    };
    OrdinaryCase shared = same("base64 in the standard alphabet beside a known shared secret",
                               kLettersUser, "+/+/q7vr9A3Kx0PmWz2Yb5Nc8Td1Ue4Fg6Hh==");
    shared.shared_secret = shared_secret_with_signs();
    // The shared secret in the standard alphabet, but for its last character.
    std::string near_secret = standard_alphabet(shared_secret_with_signs());
    near_secret.back() = near_secret.back() == 'A' ? 'B' : 'A';
    OrdinaryCase near_shared = same("the shared secret's standard form but for one character",
                                    kLettersUser, near_secret + "==");
    near_shared.shared_secret = shared_secret_with_signs();
    return {
        same("a path with a backslash before a start of the password", kNebulaUser,
             R"({"path":"C:\\n\u00e9bula-Other"})"),
        same("a backslash before a referenced start of the password", kNebulaUser,
             "C:\\n&#xe9;bula and C:\\nebula"),
        same("a percent before hex digits and an escape", kHexStartUser, R"(100%4e\u00e9 done)"),
        same("a percent-encoded byte after another password's start", kPercentEndUser,
             "Zr8Kw2Qx%41 and Zr8Kw2Q%4"),
        same("references beside the start of the password", kLtUser,
             "a&lt;b&gt; &#60;Kw8 &#x3c;Zq &amp;lt;Kw8Zq2R"),
        same("JSON-escaped backslashes before escape letters", kBackslashEndUser,
             R"(nKq7Wz3R\\nKq7Wz3R\\n\\t\\)"),
        same("escapes of the characters the password holds", kEscapesUser,
             R"(a+b \x5c %41 &#92; \134 \u005c <t Wd7Zp3L)"),
        same("lossy readings of another word", kCremeUser,
             "cr?me br\xc3\xbbl\xc3\xa9"
             "e, cr??me, cr\xef\xbf\xbdme-T"),
        same("references without ; and with leading zeros", kLettersUser,
             "&#80&#88 &#0000000080; &#x0000000050;X"),
        OrdinaryCase{"base64 wrapped into lines beside a known password", std::string(kBase64User),
                     "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVo=\r\nYWJjZGVmZ2hpams=",
                     "QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVo=\\r\\nYWJjZGVmZ2hpams="},
        // Near misses of the lossy and referenced readings: another letter, another text.
        same("an ASCII letter where the password holds a non-ASCII one", kCremeUser,
             "crame-Tz5Wq8Lx and cr?me-Tz5Wq8Ly"),
        same("references without ; of another text", kLettersUser, "&#80&#89q7Wz3Rk9"),
        shared,
        near_shared,
    };
}

class OrdinaryNeighboursTest : public ::testing::TestWithParam<OrdinaryCase> {
  protected:
    void SetUp() override { secrets::forget_all_for_tests(); }
    void TearDown() override { secrets::forget_all_for_tests(); }
};

TEST_P(OrdinaryNeighboursTest, ShowsAsWritten) {
    const OrdinaryCase& c = GetParam();
    SCOPED_TRACE(c.what);
    const std::string body = std::string(kOpen) + c.text + std::string(kClose);
    const testing::FirstPass shown = first_pass_answered_with(c.userinfo, body, c.shared_secret);
    expect_quoted_as(shown, c.shown, std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(NoSecret, OrdinaryNeighboursTest, ::testing::ValuesIn(ordinary_cases()),
                         case_name<OrdinaryCase>);

}  // namespace
}  // namespace quorvel::agent
