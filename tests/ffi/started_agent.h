// An agent started through the C interface as a host starts one, for the tests that read what it
// shows: on a runtime of its own, from a configuration file, without a tunnel, on any free UDP
// port (QUORVEL_UDP_PORT is "0" while it lives, and as it was afterwards).
#pragma once

#include <quorvel/agent.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace quorvel::testing {

class StartedAgent {
  public:
    // Each step that fails is reported as a test failure; `started()` says whether all succeeded.
    StartedAgent(const std::string& path, QuorvelNetworkChangeCallback on_change) {
        const char* before = std::getenv("QUORVEL_UDP_PORT");
        had_port_ = before != nullptr;
        kept_port_ = had_port_ ? before : "";
        ::setenv("QUORVEL_UDP_PORT", "0", 1);
        EXPECT_EQ(quorvel_agent_runtime(&runtime_), QUORVEL_AGENT_OK);
        EXPECT_EQ(quorvel_agent_config_load_or_generate(path.c_str(), &config_), QUORVEL_AGENT_OK);
        if (runtime_ != nullptr && config_ != nullptr) {
            EXPECT_EQ(quorvel_agent_start(runtime_, config_, path.c_str(), nullptr, on_change,
                                          nullptr, &agent_),
                      QUORVEL_AGENT_OK);
        }
    }
    StartedAgent(const StartedAgent&) = delete;
    StartedAgent& operator=(const StartedAgent&) = delete;
    ~StartedAgent() {
        stop();
        if (had_port_) {
            ::setenv("QUORVEL_UDP_PORT", kept_port_.c_str(), 1);
        } else {
            ::unsetenv("QUORVEL_UDP_PORT");
        }
    }

    bool started() const { return agent_ != nullptr; }

    // The status report through the C interface; empty when it gives none.
    std::string status() const {
        char* report = quorvel_agent_status(runtime_, agent_);
        if (report == nullptr) {
            return {};
        }
        std::string text = report;
        std::free(report);
        return text;
    }

    // Shuts the agent down and frees every handle; the code of the shutdown, or of nothing to
    // shut down (QUORVEL_AGENT_OK) once stopped.
    int32_t stop() {
        int32_t code = QUORVEL_AGENT_OK;
        if (agent_ != nullptr) {
            code = quorvel_agent_shutdown(runtime_, agent_);
            quorvel_agent_free(agent_);
            agent_ = nullptr;
        }
        quorvel_agent_config_free(config_);
        config_ = nullptr;
        quorvel_agent_runtime_free(runtime_);
        runtime_ = nullptr;
        return code;
    }

  private:
    ::RuntimePtr* runtime_ = nullptr;
    AgentConfigPtr* config_ = nullptr;
    AgentPtr* agent_ = nullptr;
    bool had_port_ = false;
    std::string kept_port_;
};

}  // namespace quorvel::testing
