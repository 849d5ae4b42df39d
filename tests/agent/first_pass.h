// What a running agent shows a person after its first housekeeping pass: every line a
// line-writing sink wrote, as the stderr sink would write them, and its status report. For
// scenario tests of what outside text, files and secrets become in the log and the report.
#pragma once

#include "agent/agent.h"
#include "agent/agent_test_util.h"
#include "agent/status/status.h"
#include "p2p/testing.h"
#include "util/log.h"
#include "util/runtime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quorvel::agent::testing {

// The lines a line-writing sink writes from the moment of construction until `stop`, every level
// included. The minimum level is lowered to TRACE meanwhile, as a capture does.
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

// A configuration of a new identity, without DNS, logged in to the controller at `url` with
// `shared_secret`.
inline AgentConfig logged_in_config(const std::string& url, const std::string& shared_secret) {
    AgentConfig config(test_identity());
    config.dns = DnsConfig{true};
    config.controller = ControllerConfig{};
    config.controller->url = url;
    config.controller->display_login_email = "ops@example.com";
    config.controller->shared_secret = shared_secret;
    return config;
}

struct FirstPass {
    std::vector<std::string> lines;
    std::string report;
};

// Starts an agent on `config` (saved to `config_path`), waits for its first housekeeping pass
// (the next one comes only after an hour), renders its status report and shuts it down.
inline FirstPass run_first_pass(AgentConfig config, const std::string& config_path) {
    const p2p::PubKey pk = config.identity.pk();
    auto runtime = Runtime::create(2);
    WrittenLines written;
    FirstPass shown;
    {
        auto started = runtime->block_on(
            Agent::start(std::move(config), config_path,
                         PlatformDependent{nullptr, [](NetworkChange) {}}, std::chrono::hours(1)));
        EXPECT_TRUE(started.has_value() && started->has_value());
        if (started.has_value() && started->has_value()) {
            const Agent agent = std::move(started.value().value());
            // A loaded machine may take long to run the first pass.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (agent.inner()->completed_passes() < 1 &&
                   std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            EXPECT_GE(agent.inner()->completed_passes(), 1u);
            shown.report = runtime->block_on(agent_status_text(agent)).value_or("");
            EXPECT_TRUE(runtime->block_on(agent.shutdown()).has_value());
        }
    }
    written.stop();
    p2p::testing::forget_hooks(pk);
    shown.lines = written.lines();
    return shown;
}

// Waits until the agent completed `passes` housekeeping passes; false after 30 s.
inline bool await_passes(const Agent& agent, uint64_t passes) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (agent.inner()->completed_passes() < passes) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Starts an agent on `config` with a pass every 100 ms, runs `after_start` once its first pass
// is done, waits for two more passes (a request made after the change, whatever pass was running
// meanwhile), then renders its report and shuts it down.
inline FirstPass run_with_change_after_start(AgentConfig config, const std::string& path,
                                             const std::function<void()>& after_start) {
    const p2p::PubKey pk = config.identity.pk();
    auto runtime = Runtime::create(2);
    WrittenLines written;
    FirstPass shown;
    {
        auto started = runtime->block_on(
            Agent::start(std::move(config), path, PlatformDependent{nullptr, [](NetworkChange) {}},
                         std::chrono::milliseconds(100)));
        if (started.has_value() && started->has_value()) {
            const Agent agent = std::move(started.value().value());
            if (await_passes(agent, 1)) {
                const uint64_t before = agent.inner()->completed_passes();
                after_start();
                if (await_passes(agent, before + 2)) {
                    shown.report = runtime->block_on(agent_status_text(agent)).value_or("");
                }
            }
            (void)runtime->block_on(agent.shutdown());
        }
    }
    written.stop();
    p2p::testing::forget_hooks(pk);
    shown.lines = written.lines();
    return shown;
}

}  // namespace quorvel::agent::testing
