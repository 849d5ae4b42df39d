// The free of a shut-down agent through the C interface: on a host thread it returns once the
// agent's UDP socket is closed; on the runtime's own thread it returns at once (the close needs
// that thread) and the socket closes soon after. Each case runs in a child process with an alarm,
// so that a free that waits on itself fails instead of hanging the suite.
#include "ffi/ffi_common.h"
#include "util/loopback_probe.h"
#include "util/runtime.h"
#include "util/temp_dir.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

namespace quorvel::ffi {
namespace {

using namespace std::chrono_literals;
using quorvel::testing::free_loopback_port;
using quorvel::testing::port_bindable;

// Exit codes of the child besides 0; a hang ends in SIGALRM.
enum Failure {
    kSetupFailed = 3,
    kFreeOnWorkerFailed = 4,
    kPortNeverFreed = 5,
    kRestartRefused = 6,
    kPortHeldAfterHostFree = 7,
    kShutdownFailed = 8,
};

void ignore_change(const NetworkChangeInfo* /*info*/) {}

// The child: one runtime with a single worker, the strictest case, since a free on that worker
// that waited for the close would wait for itself.
[[noreturn]] void free_on_the_runtime_thread_then_on_a_host_thread(const std::string& path) {
    ::alarm(60);
    ::setenv("QUORVEL_MIN_POW_DIFFICULTY", "4", 1);
    ::setenv("QUORVEL_UDP_ADDRS", "127.0.0.1", 1);
    const uint16_t port = free_loopback_port();
    if (port == 0) {
        std::_Exit(kSetupFailed);
    }
    ::setenv("QUORVEL_UDP_PORT", std::to_string(port).c_str(), 1);
    auto* runtime = new ::RuntimePtr{share_runtime(Runtime::create(1))};
    AgentConfigPtr* config = nullptr;
    AgentPtr* agent = nullptr;
    if (quorvel_agent_config_load_or_generate(path.c_str(), &config) != QUORVEL_AGENT_OK ||
        quorvel_agent_start(runtime, config, path.c_str(), nullptr, ignore_change, nullptr,
                            &agent) != QUORVEL_AGENT_OK) {
        std::_Exit(kSetupFailed);
    }
    if (quorvel_agent_shutdown(runtime, agent) != QUORVEL_AGENT_OK) {
        std::_Exit(kShutdownFailed);
    }
    // On the runtime's only worker, as a callback frees an agent.
    auto freed = runtime->runtime->block_on([](AgentPtr* released) -> boost::asio::awaitable<void> {
        quorvel_agent_free(released);
        co_return;
    }(agent));
    if (!freed) {
        std::_Exit(kFreeOnWorkerFailed);
    }
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (!port_bindable(port)) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::_Exit(kPortNeverFreed);
        }
        std::this_thread::sleep_for(1ms);
    }
    agent = nullptr;
    if (quorvel_agent_start(runtime, config, path.c_str(), nullptr, ignore_change, nullptr,
                            &agent) != QUORVEL_AGENT_OK) {
        std::_Exit(kRestartRefused);
    }
    // On a host thread the free returns after the close: the port is free at once.
    if (quorvel_agent_shutdown(runtime, agent) != QUORVEL_AGENT_OK) {
        std::_Exit(kShutdownFailed);
    }
    quorvel_agent_free(agent);
    if (!port_bindable(port)) {
        std::_Exit(kPortHeldAfterHostFree);
    }
    quorvel_agent_config_free(config);
    quorvel_agent_runtime_free(runtime);
    std::_Exit(0);
}

TEST(AgentFreeTest, FreeOnTheRuntimeThreadReturnsAndTheSocketClosesSoonAfter) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    testing::TempDir dir;
    const std::string path = dir.file("agent.toml");
    EXPECT_EXIT(free_on_the_runtime_thread_then_on_a_host_thread(path),
                ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace quorvel::ffi
