// The C interface's handles released in every order, with a started agent on a socket-pair
// tunnel: nothing is used after it is gone, no thread joins itself, and the runtime stops (the
// device then closes its descriptor) exactly when the last handle that needs it goes. The process
// may end in the network-change callback.
#include "ffi/ffi_common.h"
#include "util/temp_dir.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

namespace quorvel::ffi {
namespace {

using testing::TempDir;

enum Handle { kRuntime, kDevice, kAgent, kConfig };
using Order = std::array<Handle, 4>;
constexpr const char* kNames[] = {"Runtime", "Device", "Agent", "Config"};

std::vector<Order> every_order() {
    Order order = {kRuntime, kDevice, kAgent, kConfig};
    std::vector<Order> orders;
    do {
        orders.push_back(order);
    } while (std::next_permutation(order.begin(), order.end()));
    return orders;
}

void ignore_change(const NetworkChangeInfo* /*info*/) {}

// True once the device's end of the pair is closed, which the host's end reads as end-of-file, or
// as a reset when packets the host wrote were left unread; packets the agent writes meanwhile are
// skipped.
bool device_closed(int host_end, std::chrono::milliseconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    for (;;) {
        char packet[2048];
        const ssize_t n = ::recv(host_end, packet, sizeof packet, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) {
            return true;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (n < 0) {
            if (left.count() <= 0) {
                return false;
            }
            pollfd pfd{host_end, POLLIN, 0};
            ::poll(&pfd, 1, static_cast<int>(left.count()));
        }
    }
}

// True once nothing but the runtime holds `device` (or nothing at all). The agent's tunnel reader
// lets go only when it next runs, so the host's end keeps writing a packet that the agent drops
// (IPv6) to wake it.
bool only_the_runtime_holds(const std::weak_ptr<agent::AsyncDevice>& device, int host_end) {
    const std::uint8_t ipv6[40] = {0x60};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (device.use_count() > 1) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        ::send(host_end, ipv6, sizeof ipv6, MSG_DONTWAIT);
        pollfd pfd{host_end, POLLIN, 0};
        ::poll(&pfd, 1, 10);
    }
    return true;
}

// A runtime, a configuration, a device on a socket pair and an agent started with them.
class FfiHandlesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // A new identity needs a proof of work; a low difficulty keeps the start quick.
        if (const char* value = std::getenv("QUORVEL_MIN_POW_DIFFICULTY")) {
            saved_difficulty_ = value;
        }
        ::setenv("QUORVEL_MIN_POW_DIFFICULTY", "4", 1);
        path_ = dir_.file("agent.toml");
        ASSERT_EQ(quorvel_agent_runtime(&runtime_), 0);
        ASSERT_EQ(quorvel_agent_config_load_or_generate(path_.c_str(), &config_), 0);
        int pair[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
        host_end_ = pair[1];
        ASSERT_EQ(quorvel_agent_tun_device_create(runtime_, pair[0], &device_), 0);
        tun_ = device_->device;
        ASSERT_EQ(quorvel_agent_start(runtime_, config_, path_.c_str(), device_, ignore_change,
                                      nullptr, &agent_),
                  0);
    }

    void TearDown() override {
        for (Handle handle : {kAgent, kDevice, kConfig, kRuntime}) {
            release(handle);
        }
        if (host_end_ >= 0) {
            ::close(host_end_);
        }
        if (saved_difficulty_) {
            ::setenv("QUORVEL_MIN_POW_DIFFICULTY", saved_difficulty_->c_str(), 1);
        } else {
            ::unsetenv("QUORVEL_MIN_POW_DIFFICULTY");
        }
    }

    void release(Handle handle) {
        switch (handle) {
            case kRuntime:
                return quorvel_agent_runtime_free(std::exchange(runtime_, nullptr));
            case kDevice:
                return quorvel_agent_tun_device_free(std::exchange(device_, nullptr));
            case kAgent:
                return quorvel_agent_free(std::exchange(agent_, nullptr));
            case kConfig:
                return quorvel_agent_config_free(std::exchange(config_, nullptr));
        }
    }

    TempDir dir_;
    std::string path_;
    std::optional<std::string> saved_difficulty_;
    ::RuntimePtr* runtime_ = nullptr;
    AgentConfigPtr* config_ = nullptr;
    TunDevicePtr* device_ = nullptr;
    AgentPtr* agent_ = nullptr;
    std::weak_ptr<agent::AsyncDevice> tun_;
    int host_end_ = -1;
};

class FfiReleaseOrderTest : public FfiHandlesTest,
                            public ::testing::WithParamInterface<std::tuple<Order, bool>> {};

TEST_P(FfiReleaseOrderTest, RuntimeStopsWithTheLastHandleThatNeedsIt) {
    const auto& [order, shut_down] = GetParam();
    if (shut_down) {
        ASSERT_EQ(quorvel_agent_shutdown(runtime_, agent_), 0);
    }
    // The configuration handle is tied to no runtime: the last of the other three stops it.
    const auto last_user = order[3] == kConfig ? 2 : 3;
    bool agent_released = false;
    bool device_released = false;
    for (int i = 0; i < 4; ++i) {
        release(order[i]);
        agent_released = agent_released || order[i] == kAgent;
        device_released = device_released || order[i] == kDevice;
        if (i < last_user && shut_down && agent_released && device_released) {
            // Nothing but the shut-down agent's tasks holds the device besides the runtime: when
            // they let go of it, it must stay open.
            ASSERT_TRUE(only_the_runtime_holds(tun_, host_end_));
        }
        // A last free on a host thread returns after the stop.
        EXPECT_EQ(device_closed(host_end_, std::chrono::milliseconds(0)), i >= last_user)
            << "after releasing " << kNames[order[i]];
    }
}

INSTANTIATE_TEST_SUITE_P(EveryOrder, FfiReleaseOrderTest,
                         ::testing::Combine(::testing::ValuesIn(every_order()), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<Order, bool>>& info) {
                             std::string name;
                             for (Handle handle : std::get<0>(info.param)) {
                                 name += kNames[handle];
                             }
                             return name + (std::get<1>(info.param) ? "_ShutDown" : "_Running");
                         });

boost::asio::awaitable<void> free_agent(AgentPtr* agent, std::shared_future<void> go,
                                        std::promise<bool>* freed) {
    // The spawning thread must have left the runtime's queue before the runtime can go.
    go.wait();
    quorvel_agent_free(agent);
    freed->set_value(Runtime::on_worker_thread());
    co_return;
}

TEST_F(FfiHandlesTest, LastHandleFreedOnTheRuntimesOwnThread) {
    Runtime& runtime = *agent_->runtime;
    release(kRuntime);
    release(kDevice);
    release(kConfig);
    // The agent handle holds the last share: freeing it on a worker hands the stop to a thread
    // that can join that worker.
    std::promise<void> go;
    std::promise<bool> freed;
    runtime.spawn(free_agent(std::exchange(agent_, nullptr), go.get_future().share(), &freed));
    go.set_value();
    EXPECT_TRUE(freed.get_future().get());
    EXPECT_TRUE(device_closed(host_end_, std::chrono::seconds(20)));
}

TEST_F(FfiHandlesTest, HandlesOfAnotherRuntimeAreRefused) {
    ::RuntimePtr* other = nullptr;
    ASSERT_EQ(quorvel_agent_runtime(&other), 0);
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);
    TunDevicePtr* other_device = nullptr;
    ASSERT_EQ(quorvel_agent_tun_device_create(other, pair[0], &other_device), 0);

    AgentPtr* sentinel = agent_;
    AgentPtr* agent = sentinel;
    EXPECT_EQ(quorvel_agent_start(runtime_, config_, path_.c_str(), other_device, ignore_change,
                                  nullptr, &agent),
              -2);
    EXPECT_EQ(agent, sentinel);
    EXPECT_EQ(quorvel_agent_shutdown(other, agent_), -2);
    EXPECT_EQ(quorvel_agent_status(other, agent_), nullptr);
    char* status = quorvel_agent_status(runtime_, agent_);
    EXPECT_NE(status, nullptr);
    std::free(status);

    // The refused device is untouched and still the other runtime's.
    EXPECT_FALSE(device_closed(pair[1], std::chrono::milliseconds(0)));
    quorvel_agent_runtime_free(other);
    EXPECT_FALSE(device_closed(pair[1], std::chrono::milliseconds(0)));
    quorvel_agent_tun_device_free(other_device);
    EXPECT_TRUE(device_closed(pair[1], std::chrono::seconds(20)));
    ::close(pair[1]);
}

// What the exiting callback does, set in the child process before the agent starts.
std::atomic<bool> g_free_before_exit{false};
std::atomic<AgentPtr*> g_exiting_agent{nullptr};

void exit_in_callback(const NetworkChangeInfo* /*info*/) {
    // The first call can come before the start has returned.
    AgentPtr* agent = nullptr;
    while ((agent = g_exiting_agent.load()) == nullptr) {
        std::this_thread::yield();
    }
    if (g_free_before_exit) {
        // The last handle: its runtime's stop goes to a thread of the library's own, which joins
        // this thread.
        quorvel_agent_free(agent);
    }
    std::exit(0);
}

// Runs in the child process: an agent on a socket-pair tunnel whose first network-change
// callback ends the process, with the agent handle as the only one left.
[[noreturn]] void exit_in_the_first_callback(bool free_first) {
    // A hang ends the child by the signal, which fails the test instead of stalling it.
    ::alarm(120);
    ::setenv("QUORVEL_MIN_POW_DIFFICULTY", "4", 1);
    // Removed by the exit.
    static TempDir dir;
    const std::string path = dir.file("agent.toml");
    g_free_before_exit = free_first;
    ::RuntimePtr* runtime = nullptr;
    AgentConfigPtr* config = nullptr;
    TunDevicePtr* device = nullptr;
    AgentPtr* agent = nullptr;
    int pair[2];
    if (quorvel_agent_runtime(&runtime) != 0 ||
        quorvel_agent_config_load_or_generate(path.c_str(), &config) != 0 ||
        ::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0 ||
        quorvel_agent_tun_device_create(runtime, pair[0], &device) != 0 ||
        quorvel_agent_start(runtime, config, path.c_str(), device, exit_in_callback, nullptr,
                            &agent) != 0) {
        std::_Exit(3);
    }
    quorvel_agent_runtime_free(runtime);
    quorvel_agent_tun_device_free(device);
    quorvel_agent_config_free(config);
    g_exiting_agent = agent;
    for (;;) {
        ::pause();
    }
}

TEST(FfiExitTest, TheCallbackMayEndTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (bool free_first : {true, false}) {
        EXPECT_EXIT(exit_in_the_first_callback(free_first), ::testing::ExitedWithCode(0), "")
            << (free_first ? "after freeing the last handle" : "with the agent handle held");
    }
}

}  // namespace
}  // namespace quorvel::ffi
