// A controller that quotes the password of its URL back in the forms servers, proxies and other
// languages write it in: the base64 of the user:password pair the agent sends as Basic
// credentials, in either alphabet, padded or not; the password inside a longer base64 text at each
// of the three byte alignments; HTML character references, named, decimal and hexadecimal, and
// escaped again; the byte and code-point escapes of other languages; and the password after a
// decoding mishap: its UTF-8 read as Latin-1 or Windows-1252 and written again, in the other
// Unicode normal form. Neither the log (at every level, so the debug-quoted body too) nor the
// status report shows any of it, and both show the mask exactly where it stood.
#include "agent/agent_test_util.h"
#include "agent/first_pass.h"
#include "agent/shown_checks.h"
#include "controller/raw_http_server.h"
#include "controller/test_controller.h"
#include "util/secrets.h"
#include "util/temp_dir.h"
#include "util/unicode.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvel::agent {
namespace {

using quorvel::testing::RawHttpServer;
using quorvel::testing::RawRequest;
using quorvel::testing::RawResponse;

constexpr std::string_view kOpen = "bad credentials quoted [";
constexpr std::string_view kClose = "] back";

// The passwords, as the controller URL's user information types them. Each case's body quotes one.
// "Kx9~>?Qw7!zR3|pL": its base64 holds "+" and "/" in the standard alphabet.
constexpr const char* kBase64User = "ctl-user:Kx9~%3E%3FQw7!zR3%7CpL";
// `Tq4x&Wz7y<8>Hv3w"Lm5v'PnJ5`: each character HTML escapes, and letters for numeric references.
constexpr const char* kMarkupUser = "ctl-user:Tq4x%26Wz7y%3C8%3EHv3w%22Lm5v%27PnJ5";
// "caféZq7Wv8x", written in NFC.
constexpr const char* kCafeUser = "ctl-user:caf%C3%A9Zq7Wv8x";
// "key" U+1F511 "Rm5Yp6t".
constexpr const char* kKeyUser = "ctl-user:key%F0%9F%94%91Rm5Yp6t";
// "Kx€Nq7Xv3k": the euro sign's UTF-8 holds a byte that Latin-1 and Windows-1252 read apart.
constexpr const char* kEuroUser = "ctl-user:Kx%E2%82%ACNq7Xv3k";
// "cafe" U+0301 "Lq2Vb6n", written in NFD.
constexpr const char* kDecomposedUser = "ctl-user:cafe%CC%81Lq2Vb6n";

struct QuotedForm {
    const char* what;
    const char* userinfo;
    std::string form;
    // What the log and the report show in its place.
    std::string shown;
    // Pieces of the password (or of its base64) that must show nowhere.
    std::vector<std::string> pieces;
};

std::vector<QuotedForm> quoted_forms() {
    const std::vector<std::string> base64_std = {"S3g5fj4/UXc3IXpSM3xwT"};
    const std::vector<std::string> markup = {"Tq4x", "Wz7y", "Hv3w", "Lm5v"};
    const std::vector<std::string> cafe = {"Zq7Wv8x"};
    const std::vector<std::string> key = {"Rm5Yp6t"};
    const std::vector<std::string> euro = {"Nq7Xv3k"};
    return {
        // The pair as the agent sends it: "ctl-user:" is 9 bytes, so the password starts a group.
        {"Basic credentials, standard alphabet, padded", kBase64User,
         "Y3RsLXVzZXI6S3g5fj4/UXc3IXpSM3xwTA==", "****", base64_std},
        {"Basic credentials, standard alphabet, unpadded", kBase64User,
         "Y3RsLXVzZXI6S3g5fj4/UXc3IXpSM3xwTA", "****", base64_std},
        {"Basic credentials, URL-safe alphabet, padded",
         kBase64User,
         "Y3RsLXVzZXI6S3g5fj4_UXc3IXpSM3xwTA==",
         "****",
         {"S3g5fj4_UXc3IXpSM3xwT"}},
        {"Basic credentials, URL-safe alphabet, unpadded",
         kBase64User,
         "Y3RsLXVzZXI6S3g5fj4_UXc3IXpSM3xwTA",
         "****",
         {"S3g5fj4_UXc3IXpSM3xwT"}},
        // The password after 3, 4 and 5 other bytes and before 6: the characters that depend on
        // its bytes alone are hidden, those that also depend on a neighbour stay.
        {"inside base64 at byte offset 0, standard alphabet", kBase64User,
         "ABCDS3g5fj4/UXc3IXpSM3xwTP7/ADtlbmQ=", "ABCD****P7/ADtlbmQ=", base64_std},
        {"inside base64 at byte offset 0, URL-safe alphabet",
         kBase64User,
         "ABCDS3g5fj4_UXc3IXpSM3xwTP7_ADtlbmQ=",
         "ABCD****P7_ADtlbmQ=",
         {"S3g5fj4_UXc3IXpSM3xwT"}},
        {"inside base64 at byte offset 1, standard alphabet",
         kBase64User,
         "ABCDaUt4OX4+P1F3NyF6UjN8cEz+/wA7ZW5k",
         "ABCDaU****z+/wA7ZW5k",
         {"t4OX4+P1F3NyF6UjN8cE"}},
        {"inside base64 at byte offset 1, URL-safe alphabet",
         kBase64User,
         "ABCDaUt4OX4-P1F3NyF6UjN8cEz-_wA7ZW5k",
         "ABCDaU****z-_wA7ZW5k",
         {"t4OX4-P1F3NyF6UjN8cE"}},
        {"inside base64 at byte offset 2, standard alphabet",
         kBase64User,
         "ABCDaWRLeDl+Pj9RdzchelIzfHBM/v8AO2VuZA==",
         "ABCDaWR****/v8AO2VuZA==",
         {"LeDl+Pj9RdzchelIzfHBM"}},
        {"inside base64 at byte offset 2, URL-safe alphabet",
         kBase64User,
         "ABCDaWRLeDl-Pj9RdzchelIzfHBM_v8AO2VuZA==",
         "ABCDaWR****_v8AO2VuZA==",
         {"LeDl-Pj9RdzchelIzfHBM"}},

        {"HTML named references and &#39;", kMarkupUser,
         "Tq4x&amp;Wz7y&lt;8&gt;Hv3w&quot;Lm5v&#39;PnJ5", "****", markup},
        {"HTML named references and &apos;", kMarkupUser,
         "Tq4x&amp;Wz7y&lt;8&gt;Hv3w&quot;Lm5v&apos;PnJ5", "****", markup},
        {"HTML, only the markup characters escaped", kMarkupUser,
         "Tq4x&amp;Wz7y&lt;8&gt;Hv3w\"Lm5v'PnJ5", "****", markup},
        {"HTML decimal reference for a letter", kMarkupUser,
         "Tq4x&amp;Wz7y&lt;8&gt;Hv3w&quot;Lm5v&#39;&#80;nJ5", "****", markup},
        {"HTML hexadecimal references, lower-case x and hex", kMarkupUser,
         "Tq4x&amp;Wz7y&lt;8&gt;Hv3w&quot;Lm5v&#39;&#x50;n&#x4a;5", "****", markup},
        {"HTML hexadecimal references, upper-case X and hex", kMarkupUser,
         "Tq4x&amp;Wz7y&lt;8&gt;Hv3w&quot;Lm5v&#39;&#X50;n&#X4A;5", "****", markup},
        {"HTML decimal references for every sign", kMarkupUser,
         "Tq4x&#38;Wz7y&#60;8&#62;Hv3w&#34;Lm5v&#39;PnJ5", "****", markup},
        {"HTML escaped again", kMarkupUser,
         "Tq4x&amp;amp;Wz7y&amp;lt;8&amp;gt;Hv3w&amp;quot;Lm5v&amp;#39;PnJ5", "****", markup},

        {"byte escapes, lower-case hex", kCafeUser, R"(caf\xc3\xa9Zq7Wv8x)", "****", cafe},
        {"byte escapes, upper-case hex", kCafeUser, R"(caf\xC3\xA9Zq7Wv8x)", "****", cafe},
        {"octal byte escapes", kCafeUser, R"(caf\303\251Zq7Wv8x)", "****", cafe},
        {"a code point as \\xHH", kCafeUser, R"(caf\xe9Zq7Wv8x)", "****", cafe},
        {"a code point as \\xHH, upper-case hex", kCafeUser, R"(caf\xE9Zq7Wv8x)", "****", cafe},
        {"four byte escapes of one character", kKeyUser, R"(key\xf0\x9f\x94\x91Rm5Yp6t)", "****",
         key},
        {"\\U and eight hex digits, upper case", kKeyUser, R"(key\U0001F511Rm5Yp6t)", "****", key},
        {"\\U and eight hex digits, lower case", kKeyUser, R"(key\U0001f511Rm5Yp6t)", "****", key},

        {"UTF-8 read as Latin-1, written as UTF-8", kCafeUser, "caf\xc3\x83\xc2\xa9Zq7Wv8x", "****",
         cafe},
        {"UTF-8 read as Latin-1, escaped by JSON", kCafeUser, R"(caf\u00c3\u00a9Zq7Wv8x)", "****",
         cafe},
        {"UTF-8 read as Latin-1 where it differs from Windows-1252", kEuroUser,
         "Kx\xc3\xa2\xc2\x82\xc2\xacNq7Xv3k", "****", euro},
        {"UTF-8 read as Windows-1252, written as UTF-8", kEuroUser,
         "Kx\xc3\xa2\xe2\x80\x9a\xc2\xacNq7Xv3k", "****", euro},
        {"NFD of a password written in NFC", kCafeUser, "cafe\xcc\x81Zq7Wv8x", "****", cafe},
        {"NFC of a password written in NFD",
         kDecomposedUser,
         "caf\xc3\xa9Lq2Vb6n",
         "****",
         {"Lq2Vb6n"}},
    };
}

testing::FirstPass first_pass_answered_with(const std::string& userinfo, const std::string& body) {
    RawHttpServer server([&](const RawRequest&) {
        return RawResponse{
            .status = 401, .headers = {{"Content-Type", "text/html; charset=utf-8"}}, .body = body};
    });
    quorvel::testing::TempDir dir;
    AgentConfig config = testing::logged_in_config(
        "http://" + userinfo + "@127.0.0.1:" + std::to_string(server.port()) + "/api",
        quorvel::testing::make_shared_secret());
    testing::FirstPass shown = testing::run_first_pass(std::move(config), dir.file("config.toml"));
    EXPECT_GE(server.requests().size(), 1u);
    return shown;
}

TEST(QuotedSecretFormsTest, EachFormAServerOrALanguageQuotesIsHiddenInTheLogAndTheReport) {
    for (const QuotedForm& c : quoted_forms()) {
        SCOPED_TRACE(c.what);
        secrets::forget_all_for_tests();
        const std::string body = std::string(kOpen) + c.form + std::string(kClose);
        const testing::FirstPass shown = first_pass_answered_with(c.userinfo, body);

        std::vector<std::string> hidden = c.pieces;
        hidden.push_back(c.form);
        EXPECT_EQ(testing::first_showing(shown, hidden), "");
        for (const std::string& line : shown.lines) {
            EXPECT_TRUE(is_valid_utf8(line)) << line;
        }

        // The report's controller status quotes the answer, the mask where the form stood.
        const std::string status = testing::report_line(shown.report, "Connection Status:");
        EXPECT_EQ(status, "  Connection Status: Err: Controller response error 401 Unauthorized: " +
                              std::string(kOpen) + c.shown + std::string(kClose))
            << shown.report;
        // So does every line of the log that quotes it, the WARN line of the failed upload of
        // metrics among them.
        const std::vector<std::string> quoting = testing::lines_holding(shown, kOpen);
        EXPECT_FALSE(quoting.empty());
        for (const std::string& line : quoting) {
            for (const std::string& quoted : testing::between(line, kOpen, kClose)) {
                EXPECT_EQ(quoted, c.shown) << line;
            }
        }
        EXPECT_FALSE(testing::lines_holding(shown,
                                            "Metrics upload failed: Controller response "
                                            "error 401 Unauthorized: " +
                                                std::string(kOpen) + c.shown)
                         .empty());
    }
    secrets::forget_all_for_tests();
}

}  // namespace
}  // namespace quorvel::agent
