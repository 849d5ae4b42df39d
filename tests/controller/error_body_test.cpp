// A controller on loopback that refuses the node with a hostile body: a line break followed by a
// forged log line, terminal commands and a URL with a password. An agent whose housekeeping pass
// meets it logs one line per event, writes no control character and lets no forged line begin,
// and its status report shows the controller's answer on the Connection Status line alone, without
// the password.
#include "agent/agent.h"
#include "agent/agent_test_util.h"
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

// The lines a line-writing sink writes, as the stderr sink would write them, from the moment of
// construction until `stop`. The minimum level is lowered to TRACE meanwhile, as a capture does.
class WrittenLines {
  public:
    WrittenLines() : previous_level_(log::min_level()) {
        // The writer holds the lines itself: a thread that took the sink before its removal may
        // still write through it.
        auto lines = lines_;
        sink_ = std::make_shared<log::LineSink>(log::LevelFilter::Trace,
                                                [lines](std::string_view line) {
                                                    std::lock_guard lock(lines->mutex);
                                                    lines->written.emplace_back(line);
                                                });
        log::set_min_level(log::Level::Trace);
        log::add_sink(sink_);
    }
    ~WrittenLines() { stop(); }
    WrittenLines(const WrittenLines&) = delete;
    WrittenLines& operator=(const WrittenLines&) = delete;

    void stop() {
        if (sink_) {
            log::remove_sink(sink_);
            log::set_min_level(previous_level_);
            sink_->flush();
            sink_.reset();
        }
    }

    std::vector<std::string> lines() const {
        std::lock_guard lock(lines_->mutex);
        return lines_->written;
    }

  private:
    struct Lines {
        std::mutex mutex;
        std::vector<std::string> written;
    };
    std::shared_ptr<Lines> lines_ = std::make_shared<Lines>();
    std::shared_ptr<log::LineSink> sink_;
    log::Level previous_level_;
};

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

template <class Pred>
bool within(std::chrono::seconds deadline, Pred pred) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(5ms);
    }
    return true;
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
        // The list and the metrics upload both get the hostile answer.
        RawHttpServer server([&](const RawRequest&) {
            return RawResponse{.status = c.status,
                               .headers = {{"Content-Type", "text/plain"}},
                               .body = std::string(kBody)};
        });
        quorvel::testing::TempDir dir;
        const p2p::Identity identity = testing::test_identity();
        AgentConfig config(identity);
        config.dns = DnsConfig{true};
        config.controller = ControllerConfig{};
        config.controller->url = server.url("/api");
        config.controller->display_login_email = "ops@example.com";
        config.controller->shared_secret = quorvel::testing::make_shared_secret();

        auto runtime = Runtime::create(2);
        WrittenLines written;
        std::string report;
        {
            // The first pass runs at once; the next one only after an hour.
            auto started = runtime->block_on(Agent::start(
                std::move(config), dir.file("config.toml"),
                PlatformDependent{nullptr, [](NetworkChange) {}}, std::chrono::hours(1)));
            ASSERT_TRUE(started.has_value() && started->has_value());
            const Agent agent = std::move(started.value().value());
            EXPECT_TRUE(within(30s, [&] { return agent.inner()->completed_passes() >= 1; }));
            report = runtime->block_on(agent_status_text(agent)).value_or("");
            EXPECT_TRUE(runtime->block_on(agent.shutdown()).has_value());
        }
        written.stop();
        p2p::testing::forget_hooks(identity.pk());
        EXPECT_GE(server.requests().size(), 1u);

        // The log: one line per event, each beginning as the writer begins it.
        const std::vector<std::string> lines = written.lines();
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

}  // namespace
}  // namespace quorvel::agent
