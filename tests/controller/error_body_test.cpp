// A controller on loopback that refuses the node with a hostile body: a line break followed by a
// forged log line, terminal commands and a URL with a password. An agent whose housekeeping pass
// meets it logs one line per event, writes no control character and lets no forged line begin,
// and its status report shows the controller's answer on the Connection Status line alone, without
// the password.
#include "agent/agent.h"
#include "agent/agent_test_util.h"
#include "agent/first_pass.h"
#include "agent/status/status.h"
#include "controller/raw_http_server.h"
#include "controller/test_controller.h"
#include "p2p/testing.h"
#include "util/log.h"
#include "util/runtime.h"
#include "util/temp_dir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace quorvel::agent {
namespace {

using namespace std::chrono_literals;
using quorvel::testing::RawHttpServer;
using quorvel::testing::RawRequest;
using quorvel::testing::RawResponse;

constexpr std::string_view kBody =
    "denied\n2026-01-01T00:00:00.000000Z [quorvel-agent:default] ERROR "
    "forged\x1b[2J\x1b]0;title\x07"
    " see https://u:secret@h/x";
// The body as a line of the log or the report shows it.
constexpr std::string_view kShownBody =
    "denied\\n2026-01-01T00:00:00.000000Z [quorvel-agent:default] ERROR forged\\u{1b}[2J"
    "\\u{1b}]0;title\\u{7} see https://****:****@h/x";

// Fails at the first control byte, DEL or C1 code point (UTF-8 0xC2 0x80..0x9F) of `text`; line
// feeds only where `line_feeds` allows them.
::testing::AssertionResult without_controls(std::string_view text, bool line_feeds) {
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool c1 = c == 0xc2 && i + 1 < text.size() &&
                        static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9f;
        if ((c < 0x20 && !(line_feeds && c == '\n')) || c == 0x7f || c1) {
            return ::testing::AssertionFailure()
                   << "byte " << static_cast<int>(c) << " at " << i << " in: " << text;
        }
    }
    return ::testing::AssertionSuccess();
}

bool starts_with_level(std::string_view line) {
    for (const log::Level level : {log::Level::Trace, log::Level::Debug, log::Level::Info,
                                   log::Level::Warn, log::Level::Error}) {
        // Every target of the agent and its libraries begins with the project's name.
        const std::string head = std::string(log::level_name(level)) + " quorvel";
        if (line.starts_with(head)) {
            return true;
        }
    }
    return false;
}

// What an agent shows after its first housekeeping pass against a controller that answers every
// request with `status` and `body`: the lines it logged and its status report.
testing::FirstPass run_against_controller(int status, const std::string& body) {
    // The list and the metrics upload both get the answer.
    RawHttpServer server([&](const RawRequest&) {
        return RawResponse{
            .status = status, .headers = {{"Content-Type", "text/plain"}}, .body = body};
    });
    quorvel::testing::TempDir dir;
    AgentConfig config =
        testing::logged_in_config(server.url("/api"), quorvel::testing::make_shared_secret());
    testing::FirstPass shown = testing::run_first_pass(std::move(config), dir.file("config.toml"));
    EXPECT_GE(server.requests().size(), 1u);
    return shown;
}

TEST(ControllerErrorBodyTest, HostileBodyStaysOnItsLineInTheLogAndTheReport) {
    const struct {
        int status;
        // The report's Connection Status after the pass.
        std::string connection_status;
    } cases[] = {
        // The controller revoked the node's access.
        {401, "Err: Controller response error 401 Unauthorized: " + std::string(kShownBody)},
        {404, "Err: Controller response error 404 Not Found: " + std::string(kShownBody)},
        // Any other failure reads as an unreachable controller.
        {500, "Err: Controller not reachable"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        const testing::FirstPass shown = run_against_controller(c.status, std::string(kBody));
        const std::vector<std::string>& lines = shown.lines;
        const std::string& report = shown.report;

        // The log: one line per event, each beginning as the writer begins it.
        ASSERT_FALSE(lines.empty());
        bool body_logged = false;
        for (const std::string& line : lines) {
            EXPECT_TRUE(without_controls(line, /*line_feeds=*/false));
            EXPECT_TRUE(starts_with_level(line)) << line;
            EXPECT_EQ(line.find("secret@"), std::string::npos) << line;
            body_logged = body_logged || line.find("ERROR forged") != std::string::npos;
        }
        EXPECT_TRUE(body_logged);

        // The report: the answer on the Connection Status line, the layout untouched.
        EXPECT_TRUE(without_controls(report, /*line_feeds=*/true));
        EXPECT_EQ(report.find("secret@"), std::string::npos) << report;
        EXPECT_NE(report.find("\n  Connection Status: " + c.connection_status + "\n"),
                  std::string::npos)
            << report;
        std::istringstream in(report);
        size_t agent_status_lines = 0;
        for (std::string line; std::getline(in, line);) {
            const std::string_view rest =
                std::string_view(line).substr(std::min(line.size(), line.find_first_not_of(' ')));
            agent_status_lines += rest.starts_with("Agent Status:") ? 1 : 0;
            EXPECT_FALSE(rest.starts_with("2026-")) << line;
            EXPECT_FALSE(rest.starts_with("ERROR")) << line;
        }
        EXPECT_EQ(agent_status_lines, 1u) << report;
    }
}

// A controller's answer of any size shows as its first kilobyte and how much was left out: a 4 MiB
// body once made three log lines and a report of 5.9 MB each. Of control bytes, which the log and
// the report escape into up to six bytes each, the lines stay small too.
TEST(ControllerErrorBodyTest, HugeBodyIsBoundedInTheLogAndTheReport) {
    constexpr size_t kHuge = 4 * 1024 * 1024;
    // What a line of the log or the report may hold: the kilobyte kept, escaped, and the line's
    // own words.
    constexpr size_t kLongestLine = 8 * 1024;
    const std::string prefix = "see https://u:secret@h/x ";
    const std::string left_out = "... [" + std::to_string(kHuge - 1024) + " bytes left out]";
    // Masked, the first kilobyte would grow by a byte ("u:secret" shows "****:****"): one byte
    // less of it is kept.
    const std::string left_out_masked = "... [" + std::to_string(kHuge - 1023) + " bytes left out]";
    const struct {
        const char* name;
        std::string body;
        // The body as the log and the report show it.
        std::string shown;
    } bodies[] = {
        {"text", prefix + std::string(kHuge - prefix.size(), 'x'),
         "see https://****:****@h/x " + std::string(1023 - prefix.size(), 'x') + left_out_masked},
        {"control bytes", std::string(kHuge, '\x01'),
         [&] {
             std::string shown;
             for (int i = 0; i < 1024; ++i) {
                 shown += "\\u{1}";
             }
             return shown + left_out;
         }()},
    };
    for (const auto& body : bodies) {
        for (const int status : {401, 500}) {
            SCOPED_TRACE(std::string(body.name) + " " + std::to_string(status));
            const testing::FirstPass shown = run_against_controller(status, body.body);
            ASSERT_FALSE(shown.lines.empty());
            size_t quoting = 0;
            for (const std::string& line : shown.lines) {
                EXPECT_LT(line.size(), kLongestLine) << line.substr(0, 200);
                EXPECT_EQ(line.find("secret@"), std::string::npos) << line.substr(0, 200);
                quoting += line.find(body.shown) != std::string::npos ? 1 : 0;
            }
            // The metrics upload and the housekeeping pass both say what the controller answered.
            EXPECT_GE(quoting, 2u);

            const std::string connection_status =
                status == 401 ? "Err: Controller response error 401 Unauthorized: " + body.shown
                              : "Err: Controller not reachable";
            EXPECT_NE(shown.report.find("\n  Connection Status: " + connection_status + "\n"),
                      std::string::npos)
                << shown.report.substr(0, 2000);
            std::istringstream in(shown.report);
            for (std::string line; std::getline(in, line);) {
                EXPECT_LT(line.size(), kLongestLine) << line.substr(0, 200);
            }
            EXPECT_LT(shown.report.size(), 4 * kLongestLine);
        }
    }
}

}  // namespace
}  // namespace quorvel::agent
