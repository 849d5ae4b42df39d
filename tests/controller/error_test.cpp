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

}  // namespace
}  // namespace quorvel::controller
