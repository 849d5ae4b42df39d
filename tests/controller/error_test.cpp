#include "controller/error.h"

#include <gtest/gtest.h>

namespace quorvel::controller {
namespace {

TEST(ControllerErrorTest, DisplaysAndDebugsEveryVariant) {
    struct Case {
        Error error;
        std::string display;
        std::string debug;
    };
    const std::vector<Case> cases = {
        {Error::client_build_failed("x"), "Failed to build HTTP client: x",
         "ClientBuildFailed { reason: \"x\" }"},
        {Error::uri_parse_failed(""), "Failed to parse URI: ", "UriParseFailed { reason: \"\" }"},
        {Error::request_build_failed("b"), "Failed to build HTTP request: b",
         "RequestBuildFailed { reason: \"b\" }"},
        {Error::request_failed("HTTP request failed: refused"),
         "HTTP request failed: HTTP request failed: refused",
         "RequestFailed { reason: \"HTTP request failed: refused\" }"},
        {Error::response_body_read_failed("r"), "Failed to read response body: r",
         "ResponseBodyReadFailed { reason: \"r\" }"},
        {Error::response_body_utf8_failed("u"), "Failed to parse response body as UTF-8: u",
         "ResponseBodyUtf8Failed { reason: \"u\" }"},
        {Error::response_body_json_failed("j"), "Failed to parse response body as JSON: j",
         "ResponseBodyJsonFailed { reason: \"j\" }"},
        {Error::authentication_failed("tab\there"), "Authentication failed: tab\there",
         "AuthenticationFailed { reason: \"tab\\there\" }"},
        {Error::response_error(500, ""), "Controller response error 500 Internal Server Error: ",
         "ResponseError { status: 500, body: \"\" }"},
        {Error::response_error(401, "say \"no\"\r\n\x1f"),
         "Controller response error 401 Unauthorized: say \"no\"\r\n\x1f",
         "ResponseError { status: 401, body: \"say \\\"no\\\"\\r\\n\\u{1f}\" }"},
        {Error::response_error(599, "a\nb"),
         "Controller response error 599 <unknown status code>: a\nb",
         "ResponseError { status: 599, body: \"a\\nb\" }"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.to_string(), c.display);
        EXPECT_EQ(c.error.debug(), c.debug);
        EXPECT_EQ(fmt::format("{}", c.error), c.display);
    }
}

// A body or a reason of any size is kept as its first kilobyte and how much was left out, so that
// every display of the error stays small; masking applies to what is kept, and what is kept
// masked fits the kilobyte ("u:secret" shows one byte longer: one byte less is kept).
TEST(ControllerErrorTest, BodiesAndReasonsAreBounded) {
    const std::string huge = "see https://u:secret@h/x " + std::string(2 * 1024 * 1024, 'b');
    const std::string masked_kept = "see https://****:****@h/x " + std::string(1023 - 25, 'b') +
                                    "... [" + std::to_string(huge.size() - 1023) +
                                    " bytes left out]";
    struct Case {
        Error error;
        // What `reason` or `body` returns: what the error shows after its prefix.
        std::string text;
        std::string display;
    };
    const std::vector<Case> cases = {
        {Error::response_error(401, huge), masked_kept,
         "Controller response error 401 Unauthorized: " + masked_kept},
        {Error::client_build_failed(huge), masked_kept,
         "Failed to build HTTP client: " + masked_kept},
        {Error::uri_parse_failed(huge), masked_kept, "Failed to parse URI: " + masked_kept},
        {Error::request_build_failed(huge), masked_kept,
         "Failed to build HTTP request: " + masked_kept},
        {Error::request_failed(huge), masked_kept, "HTTP request failed: " + masked_kept},
        {Error::response_body_read_failed(huge), masked_kept,
         "Failed to read response body: " + masked_kept},
        {Error::response_body_utf8_failed(huge), masked_kept,
         "Failed to parse response body as UTF-8: " + masked_kept},
        {Error::response_body_json_failed(huge), masked_kept,
         "Failed to parse response body as JSON: " + masked_kept},
        {Error::authentication_failed(huge), masked_kept, "Authentication failed: " + masked_kept},
        // At the bound nothing is left out.
        {Error::request_failed(std::string(1024, 'r')), std::string(1024, 'r'),
         "HTTP request failed: " + std::string(1024, 'r')},
        {Error::response_error(500, std::string(1025, 'r')),
         std::string(1024, 'r') + "... [1 bytes left out]",
         "Controller response error 500 Internal Server Error: " + std::string(1024, 'r') +
             "... [1 bytes left out]"},
    };
    for (const auto& c : cases) {
        const bool response = c.error.kind() == Error::Kind::ResponseError;
        EXPECT_EQ(response ? c.error.body() : c.error.reason(), c.text);
        EXPECT_EQ(response ? c.error.reason() : c.error.body(), "");
        EXPECT_EQ(c.error.to_string(), c.display);
        EXPECT_LT(c.error.debug().size(), 1200u);
    }
}

}  // namespace
}  // namespace quorvel::controller
