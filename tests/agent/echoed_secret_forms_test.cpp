// A controller that quotes the password of its URL back, in each form an encoder writes it: a
// JSON encoder's escapes, percent-encoding in mixed case of hex, "+" for a blank, U+FFFD for a
// byte that is not UTF-8. Neither the log (at every level, so the debug-quoted body too) nor the
// status report shows any piece of it.
#include "agent/agent_test_util.h"
#include "agent/first_pass.h"
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

// Where a piece of the password stands in the log or the report; empty when none does.
std::string first_showing(const testing::FirstPass& shown, const std::vector<std::string>& pieces) {
    for (const std::string& piece : pieces) {
        for (const std::string& line : shown.lines) {
            if (line.find(piece) != std::string::npos) {
                return "the log shows " + piece + ": " + line;
            }
        }
        if (shown.report.find(piece) != std::string::npos) {
            return "the report shows " + piece + ":\n" + shown.report;
        }
    }
    return {};
}

testing::FirstPass first_pass_answered_with(const std::string& url_userinfo, int status,
                                            const std::string& content_type,
                                            const std::string& body) {
    RawHttpServer server([&](const RawRequest&) {
        return RawResponse{
            .status = status, .headers = {{"Content-Type", content_type}}, .body = body};
    });
    quorvel::testing::TempDir dir;
    AgentConfig config = testing::logged_in_config(
        "http://" + url_userinfo + "@127.0.0.1:" + std::to_string(server.port()) + "/api",
        quorvel::testing::make_shared_secret());
    testing::FirstPass shown = testing::run_first_pass(std::move(config), dir.file("config.toml"));
    EXPECT_GE(server.requests().size(), 1u);
    return shown;
}

// The password decodes to `Zq7"Wv8\Kx9/Jé Yp6` followed by the byte FF and `Rm5`: a quote, a
// backslash, a slash, a letter outside ASCII, a blank and a byte that is not UTF-8. Each piece
// between them is checked: masking the whole occurrence leaves none.
TEST(EchoedSecretFormsTest, EveryFormAnEncoderWritesIsHidden) {
    const std::string userinfo = "ctl-user:Zq7%22Wv8%5CKx9%2FJ%C3%A9%20Yp6%FFRm5";
    const std::vector<std::string> pieces = {"Zq7", "Wv8", "Kx9", "Yp6", "Rm5"};
    const struct {
        const char* form;
        std::string body;
        const char* content_type;
    } cases[] = {
        {"a JSON encoder's escapes, lower-case hex",
         R"({"error":"bad password \"Zq7\"Wv8\\Kx9\/J\u00e9 Yp6\ufffdRm5\" for ctl-user"})",
         "application/json"},
        {"a JSON encoder's escapes, upper-case hex",
         R"({"error":"bad password Zq7\"Wv8\\Kx9\/J\u00E9 Yp6\uFFFDRm5"})", "application/json"},
        {"percent-encoded in mixed case of hex",
         "rejected: ctl-user%3aZq7%22Wv8%5cKx9%2FJ%c3%A9%20Yp6%ffRm5", "text/plain"},
        {"a form encoder's + for a blank", "password=Zq7%22Wv8%5CKx9%2FJ%C3%A9+Yp6%FFRm5&x=1",
         "application/x-www-form-urlencoded"},
        {"U+FFFD for the byte that is not UTF-8",
         "bad password Zq7\"Wv8\\Kx9/J\xc3\xa9 Yp6\xef\xbf\xbdRm5", "text/plain; charset=utf-8"},
        {"the byte that is not UTF-8 as it is", "bad password Zq7\"Wv8\\Kx9/J\xc3\xa9 Yp6\xffRm5",
         "text/plain"},
        {"a JSON string quoted inside JSON",
         R"({"detail":"{\"pw\":\"Zq7\\\"Wv8\\\\Kx9\\/J\\u00e9 Yp6\\ufffdRm5\"}"})",
         "application/json"},
    };
    for (const int status : {401, 500}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.form) + ", status " + std::to_string(status));
            secrets::forget_all_for_tests();
            const testing::FirstPass shown =
                first_pass_answered_with(userinfo, status, c.content_type, c.body);
            EXPECT_EQ(first_showing(shown, pieces), "");
            for (const std::string& line : shown.lines) {
                EXPECT_TRUE(is_valid_utf8(line)) << line;
            }
            // The rest of the answer stays readable: the agent showed it.
            if (status == 401) {
                EXPECT_NE(
                    shown.report.find("Connection Status: Err: Controller response error 401"),
                    std::string::npos)
                    << shown.report;
            }
        }
    }
    secrets::forget_all_for_tests();
}

}  // namespace
}  // namespace quorvel::agent
