// Networks whose "file://" URLs name, percent-encoded, paths that are no UTF-8: a lone 0x9B (a
// terminal's CSI in an 8-bit locale), an overlong line feed, 0xFF and a surrogate. The files are
// missing, FIFOs or directories, so the retrieval errors quote the decoded paths. The agent's log
// lines and its status report stay well-formed UTF-8, hold none of those bytes raw and show each
// of them escaped as a byte.
#include "agent/agent.h"
#include "agent/agent_test_util.h"
#include "agent/first_pass.h"
#include "agent/status/status.h"
#include "p2p/testing.h"
#include "util/async_test_util.h"
#include "util/debug_text.h"
#include "util/log.h"
#include "util/runtime.h"
#include "util/temp_dir.h"
#include "util/unicode.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace quorvel::agent {
namespace {

// Fails where `text` is no well-formed UTF-8 or holds one of `raw` as it is.
::testing::AssertionResult shows_only_utf8(std::string_view text,
                                           const std::vector<std::string>& raw) {
    if (!is_valid_utf8(text)) {
        return ::testing::AssertionFailure() << "not UTF-8: " << text;
    }
    for (const std::string& bytes : raw) {
        if (text.find(bytes) != std::string_view::npos) {
            return ::testing::AssertionFailure() << "raw " << debug_quoted(bytes) << " in " << text;
        }
    }
    return ::testing::AssertionSuccess();
}

TEST(NonUtf8TextTest, PathsOfNetworkFilesShowEscapedInTheLogAndTheReport) {
    const struct {
        const char* encoded;
        std::string raw;
        const char* shown;
    } names[] = {
        {"%9B31m",
         "\x9b"
         "31m",
         "\\x{9b}31m"},
        {"%C0%8A", "\xc0\x8a", "\\x{c0}\\x{8a}"},
        {"%FF", "\xff", "\\x{ff}"},
        {"%ED%A0%80", "\xed\xa0\x80", "\\x{ed}\\x{a0}\\x{80}"},
    };
    quorvel::testing::TempDir dir;
    testing::NodeEnvironment env{{{"UDP_PORT", "0"}}};
    const p2p::Identity identity = testing::test_identity();
    AgentConfig config(identity);
    config.dns = DnsConfig{true};
    std::vector<std::string> raw;
    // Each network's retrieval error, as the log and the report show it.
    std::vector<std::string> shown_errors;
    for (const auto& name : names) {
        raw.push_back(name.raw);
        ASSERT_EQ(::mkfifo(dir.file("fifo-" + name.raw).c_str(), 0600), 0);
        ASSERT_EQ(::mkdir(dir.file("dir-" + name.raw).c_str(), 0700), 0);
        for (const std::string kind : {"missing-", "fifo-", "dir-"}) {
            testing::add_network(config, "file://" + dir.file(kind + name.encoded));
            shown_errors.push_back(kind == "missing-"
                                       ? "I/O error: No such file or directory (os error 2)"
                                       : "I/O error: not a regular file: " + dir.file(kind) +
                                             name.shown);
        }
    }

    const testing::FirstPass shown =
        testing::run_first_pass(std::move(config), dir.file("config.toml"));
    const std::vector<std::string>& written = shown.lines;
    const std::string& report = shown.report;
    ASSERT_FALSE(written.empty());
    for (const std::string& line : written) {
        EXPECT_TRUE(shows_only_utf8(line, raw));
    }
    auto logged = [&](const std::string& ending) {
        return std::any_of(written.begin(), written.end(),
                           [&](const std::string& line) { return line.ends_with(ending); });
    };
    for (const auto& name : names) {
        for (const char* kind : {"missing-", "fifo-", "dir-"}) {
            EXPECT_TRUE(logged("Reading file: " + dir.file(kind) + name.shown))
                << kind << name.shown;
        }
    }
    for (const std::string& error : shown_errors) {
        EXPECT_TRUE(logged("Failed to retrieve network config: " + error)) << error;
    }

    EXPECT_TRUE(shows_only_utf8(report, raw));
    for (const std::string& error : shown_errors) {
        EXPECT_NE(report.find("\n    Status: RetrieveConfigError(\"" + error + "\")\n"),
                  std::string::npos)
            << error << " in\n"
            << report;
    }
}

}  // namespace
}  // namespace quorvel::agent
