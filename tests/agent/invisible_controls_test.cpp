// A controller whose answer holds the invisible characters that change how a line displays: the
// bidirectional marks, embeddings, overrides and isolates, which would make a line show in
// another order than it was written in, and the line and paragraph separators, which break a line
// in some viewers. The log (the WARN line of the failed upload of metrics, and the DEBUG lines
// that quote the answer in its debug form) and the status report show each escaped as its code
// point, as they show a C0 control, and none of them as it is.
#include "agent/agent_test_util.h"
#include "agent/first_pass.h"
#include "agent/shown_checks.h"
#include "controller/raw_http_server.h"
#include "controller/test_controller.h"
#include "util/debug_text.h"
#include "util/temp_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvel::agent {
namespace {

using quorvel::testing::RawHttpServer;
using quorvel::testing::RawRequest;
using quorvel::testing::RawResponse;

constexpr std::string_view kOpen = "denied [";
constexpr std::string_view kClose = "] by policy";

struct Invisible {
    const char* raw;
    const char* shown;
};

// Each character once, in the order the answer holds them.
constexpr Invisible kInvisibles[] = {
    {"\xe2\x80\xae", "\\u{202e}"}, {"\xe2\x80\xac", "\\u{202c}"}, {"\xe2\x81\xa6", "\\u{2066}"},
    {"\xe2\x81\xa9", "\\u{2069}"}, {"\xe2\x81\xa7", "\\u{2067}"}, {"\xe2\x81\xa8", "\\u{2068}"},
    {"\xe2\x80\x8e", "\\u{200e}"}, {"\xe2\x80\x8f", "\\u{200f}"}, {"\xd8\x9c", "\\u{61c}"},
    {"\xe2\x80\xaa", "\\u{202a}"}, {"\xe2\x80\xab", "\\u{202b}"}, {"\xe2\x80\xad", "\\u{202d}"},
    {"\xe2\x80\xa8", "\\u{2028}"}, {"\xe2\x80\xa9", "\\u{2029}"},
};

// The answer quotes a file name written to read "exe.pdf" backwards, so that a viewer shows
// "invoice" ... "exe.pdf"; the rest follow, each before a letter, with a zero-width joiner (which
// reorders nothing) and an escape character between them.
struct Answer {
    std::string quoted;
    std::string shown;
};

Answer answer() {
    Answer out{"invoice", "invoice"};
    char letter = 'a';
    for (const Invisible& invisible : kInvisibles) {
        out.quoted += invisible.raw;
        out.shown += invisible.shown;
        out.quoted.push_back(letter);
        out.shown.push_back(letter);
        ++letter;
    }
    out.quoted += "\xe2\x80\x8d\x1b[0m";
    out.shown += "\xe2\x80\x8d\\u{1b}[0m";
    return out;
}

// Fails where `text` holds one of the invisible characters as it is.
::testing::AssertionResult holds_no_invisible(std::string_view text) {
    for (const Invisible& invisible : kInvisibles) {
        if (text.find(invisible.raw) != std::string_view::npos) {
            return ::testing::AssertionFailure()
                   << "raw " << debug_quoted(invisible.raw) << " in " << debug_quoted(text);
        }
    }
    return ::testing::AssertionSuccess();
}

TEST(InvisibleControlsTest, AnAnswerReorderingItsLineShowsEscapedInTheLogAndTheReport) {
    const Answer quoted = answer();
    const std::string body = std::string(kOpen) + quoted.quoted + std::string(kClose);
    RawHttpServer server([&](const RawRequest&) {
        return RawResponse{.status = 401,
                           .headers = {{"Content-Type", "text/plain; charset=utf-8"}},
                           .body = body};
    });
    quorvel::testing::TempDir dir;
    AgentConfig config =
        testing::logged_in_config("http://127.0.0.1:" + std::to_string(server.port()) + "/api",
                                  quorvel::testing::make_shared_secret());
    const testing::FirstPass shown =
        testing::run_first_pass(std::move(config), dir.file("config.toml"));
    EXPECT_GE(server.requests().size(), 1u);

    const std::string shown_body = std::string(kOpen) + quoted.shown + std::string(kClose);
    const std::string error = "Controller response error 401 Unauthorized: " + shown_body;
    const std::vector<std::string> warned = testing::lines_holding(shown, "Metrics upload failed");
    ASSERT_EQ(warned.size(), 1u) << testing::first_showing(shown, {"Metrics"});
    EXPECT_EQ(warned[0], "WARN quorvel_agent::agent::metrics: Metrics upload failed: " + error);
    EXPECT_EQ(testing::report_line(shown.report, "Connection Status:"),
              "  Connection Status: Err: " + error)
        << shown.report;

    // Every line that quotes the answer, in the line form or the debug form, shows it escaped
    // alike, and no line holds one of the characters as it is.
    const std::vector<std::string> quoting = testing::lines_holding(shown, kOpen);
    EXPECT_GE(quoting.size(), 2u);
    for (const std::string& line : quoting) {
        for (const std::string& between : testing::between(line, kOpen, kClose)) {
            EXPECT_EQ(between, quoted.shown) << line;
        }
    }
    ASSERT_FALSE(shown.lines.empty());
    for (const std::string& line : shown.lines) {
        EXPECT_TRUE(holds_no_invisible(line));
    }
    EXPECT_TRUE(holds_no_invisible(shown.report));
}

}  // namespace
}  // namespace quorvel::agent
