// Several agents in one process through the C interface: callbacks that free the handles of
// agents on other runtimes, and the process ending with exit() while agents pass traffic with
// every log line written. Each case runs in a child process, with an alarm that turns a hang into
// a failure.
#include "agent/netif/pass_fixture.h"
#include "ffi/ffi_common.h"
#include "util/log.h"
#include "util/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

namespace quorvel::ffi {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Exit codes of the children, besides 0 for success; a hang ends in SIGALRM.
constexpr int kSetupFailed = 3;
constexpr int kNotReached = 4;
constexpr int kNoTraffic = 5;

// Waits until `done()` holds or `limit` passes; true when it holds.
template <class Done>
bool wait_until(Done done, std::chrono::milliseconds limit = 20s) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

std::string pk_hex(const AgentConfigPtr* config) {
    std::array<std::uint8_t, 32> pk{};
    if (quorvel_agent_config_id_pk(config, pk.data()) != 0) {
        std::_Exit(kSetupFailed);
    }
    std::string hex;
    for (std::uint8_t byte : pk) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", byte);
        hex += digits;
    }
    return hex;
}

// One agent of a child process: its configuration file, handles and the host's tunnel end.
struct HostAgent {
    std::string path;
    ::RuntimePtr* runtime = nullptr;
    AgentConfigPtr* config = nullptr;
    TunDevicePtr* device = nullptr;
    int host_end = -1;

    // Loads (or first generates) the configuration, with `network_url` joined when given.
    void configure(const std::string& file, const std::string& network_url = {}) {
        path = file;
        if (quorvel_agent_config_load_or_generate(path.c_str(), &config) != 0) {
            std::_Exit(kSetupFailed);
        }
        if (!network_url.empty()) {
            quorvel_agent_config_free(config);
            if (quorvel_agent_config_network_add(path.c_str(), network_url.c_str()) != 0 ||
                quorvel_agent_config_load_or_generate(path.c_str(), &config) != 0) {
                std::_Exit(kSetupFailed);
            }
        }
    }

    // A packet socket pair as the tunnel, or none.
    void make_tunnel() {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0 ||
            quorvel_agent_tun_device_create(runtime, pair[0], &device) != 0) {
            std::_Exit(kSetupFailed);
        }
        host_end = pair[1];
    }

    AgentPtr* start(QuorvelNetworkChangeCallback callback) {
        AgentPtr* agent = nullptr;
        if (quorvel_agent_start(runtime, config, path.c_str(), device, callback, nullptr, &agent) !=
            0) {
            std::_Exit(kSetupFailed);
        }
        return agent;
    }

    // Keeps only the agent handle, as a host that holds nothing else would.
    void release_all_but_the_agent() {
        quorvel_agent_tun_device_free(std::exchange(device, nullptr));
        quorvel_agent_config_free(std::exchange(config, nullptr));
        quorvel_agent_runtime_free(std::exchange(runtime, nullptr));
    }
};

void child_environment() {
    ::alarm(60);
    // A new identity needs a proof of work; a low difficulty keeps the start quick. Any free
    // port, so that several agents bind side by side.
    ::setenv("QUORVEL_MIN_POW_DIFFICULTY", "4", 1);
    ::setenv("QUORVEL_UDP_PORT", "0", 1);
}

// ---- Agents on one network ----------------------------------------------------------------

constexpr std::size_t kMaxOnNetwork = 3;
std::array<std::atomic<bool>, kMaxOnNetwork> g_addressed{};

template <std::size_t Self>
void note_address(const NetworkChangeInfo* info) {
    const char* ips = quorvel_agent_network_change_ips(info);
    if (ips != nullptr && *ips != '\0') {
        g_addressed[Self] = true;
    }
}

// Configures the hosts' agents (files in `dir`), joins them to one network document of their
// own, at 10.0.0.1, 10.0.0.2, ..., all allowed to reach each other, and starts them on packet
// socket pairs, on one runtime or a runtime each. Returns once every agent has its address.
template <std::size_t N>
std::array<AgentPtr*, N> start_on_one_network(const testing::TempDir& dir,
                                              std::array<HostAgent, N>& hosts, bool one_runtime) {
    static_assert(N <= kMaxOnNetwork);
    const std::string document = dir.file("network.toml");
    std::FILE* file = std::fopen(document.c_str(), "w");
    if (file == nullptr) {
        std::_Exit(kSetupFailed);
    }
    std::fprintf(file, "network = \"10.0.0.0/24\"\n");
    for (std::size_t i = 0; i < N; ++i) {
        hosts[i].configure(dir.file("agent" + std::to_string(i) + ".toml"));
        std::fprintf(file,
                     "[[node]]\npk = \"%s\"\nip = \"10.0.0.%zu\"\nhostname = \"n%zu\"\n"
                     "groups = [\"all\"]\n",
                     pk_hex(hosts[i].config).c_str(), i + 1, i);
    }
    std::fprintf(file, "[[policy]]\nsource_groups = [\"all\"]\ndestination_groups = [\"all\"]\n");
    std::fclose(file);

    const QuorvelNetworkChangeCallback callbacks[] = {note_address<0>, note_address<1>,
                                                      note_address<2>};
    std::array<AgentPtr*, N> agents{};
    for (std::size_t i = 0; i < N; ++i) {
        quorvel_agent_config_free(hosts[i].config);
        hosts[i].configure(hosts[i].path, "file://" + document);
        if (i == 0 || !one_runtime) {
            if (quorvel_agent_runtime(&hosts[i].runtime) != 0) {
                std::_Exit(kSetupFailed);
            }
        } else {
            // The same runtime under a handle of its own: take the first one's.
            hosts[i].runtime = hosts[0].runtime;
        }
        hosts[i].make_tunnel();
        agents[i] = hosts[i].start(callbacks[i]);
    }
    if (!wait_until([] {
            return std::all_of(g_addressed.begin(), g_addressed.begin() + N,
                               [](const auto& has) { return has.load(); });
        })) {
        std::_Exit(kNotReached);
    }
    return agents;
}

// ---- Callbacks that free each other's agents -------------------------------------------------

// Two agents, each on a runtime of its own; the child's only handles are the agent handles.
std::array<std::atomic<AgentPtr*>, 2> g_agents{};
std::array<std::atomic<bool>, 2> g_freed{};
std::atomic<int> g_in_callback{0};
std::atomic<bool> g_other_busy{false};
std::atomic<bool> g_release_other{false};

// Frees the other agent, which is the last handle of its runtime, on this agent's worker.
void free_the_other(int self) {
    while (g_agents[1 - self].load() == nullptr) {
        std::this_thread::yield();
    }
    quorvel_agent_free(g_agents[1 - self].exchange(nullptr));
    g_freed[self] = true;
}

// Both callbacks are inside before either frees, so that the two stops overlap.
template <int Self>
void free_each_other(const NetworkChangeInfo* /*info*/) {
    static std::atomic<bool> once{false};
    if (once.exchange(true)) {
        return;
    }
    ++g_in_callback;
    while (g_in_callback.load() < 2) {
        std::this_thread::yield();
    }
    free_the_other(Self);
}

// Agent 0 frees agent 1 while agent 1's callback is still busy: it is released only after
// agent 0's free has returned.
void free_the_busy_one(const NetworkChangeInfo* /*info*/) {
    static std::atomic<bool> once{false};
    if (once.exchange(true)) {
        return;
    }
    while (!g_other_busy.load()) {
        std::this_thread::yield();
    }
    free_the_other(0);
    g_release_other = true;
}

void stay_busy(const NetworkChangeInfo* /*info*/) {
    static std::atomic<bool> once{false};
    if (once.exchange(true)) {
        return;
    }
    g_other_busy = true;
    while (!g_release_other.load()) {
        std::this_thread::sleep_for(1ms);
    }
}

[[noreturn]] void free_across_runtimes(QuorvelNetworkChangeCallback first,
                                       QuorvelNetworkChangeCallback second) {
    child_environment();
    // Removed by the exit.
    static testing::TempDir dir;
    std::array<HostAgent, 2> hosts;
    const QuorvelNetworkChangeCallback callbacks[] = {first, second};
    for (int i = 0; i < 2; ++i) {
        if (quorvel_agent_runtime(&hosts[i].runtime) != 0) {
            std::_Exit(kSetupFailed);
        }
        hosts[i].configure(dir.file("agent" + std::to_string(i) + ".toml"));
        g_agents[i] = hosts[i].start(callbacks[i]);
        hosts[i].release_all_but_the_agent();
    }
    const bool returned = wait_until([] { return g_freed[0].load() && g_freed[1].load(); });
    // The freed agents' runtimes stop on the library's thread; the exit waits for those stops.
    std::exit(returned ? 0 : kNotReached);
}

[[noreturn]] void free_one_way() {
    g_freed[1] = true;  // agent 1 frees nothing
    free_across_runtimes(free_the_busy_one, stay_busy);
}

TEST(FfiCrossRuntimeFreeTest, CallbacksFreeingEachOthersAgentsBothReturn) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(free_across_runtimes(free_each_other<0>, free_each_other<1>),
                ::testing::ExitedWithCode(0), "");
}

TEST(FfiCrossRuntimeFreeTest, FreeingAnAgentOfABusyRuntimeReturnsAtOnce) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(free_one_way(), ::testing::ExitedWithCode(0), "");
}

// ---- Frees while the process exits ----------------------------------------------------------

// Three agents on a runtime each; the child holds only their handles.
std::array<std::atomic<AgentPtr*>, 3> g_exiting{};
std::atomic<bool> g_all_started{false};

// The host's own exit handler, registered before the library is first used, so that it runs after
// the library's. It frees, on the worker that called exit(), the agent of another runtime and
// then the agent of that very worker's runtime, each the last handle of its runtime.
void host_exit_cleanup() {
    AgentPtr* other = g_exiting[2].exchange(nullptr);
    AgentPtr* own = g_exiting[0].exchange(nullptr);
    if (other == nullptr || own == nullptr) {
        return;
    }
    quorvel_agent_free(other);
    quorvel_agent_free(own);
    std::fputs("the host's exit handler freed its agents\n", stderr);
}

// Agent 0's first network change frees agent 1, the last handle of its runtime, whose stop goes
// to the library's thread, and ends the process.
void free_then_exit(const NetworkChangeInfo* /*info*/) {
    static std::atomic<bool> once{false};
    if (once.exchange(true)) {
        return;
    }
    while (!g_all_started.load()) {
        std::this_thread::sleep_for(1ms);
    }
    quorvel_agent_free(g_exiting[1].exchange(nullptr));
    std::exit(0);
}

void ignore_change(const NetworkChangeInfo* /*info*/) {}

[[noreturn]] void free_while_exiting() {
    std::atexit(host_exit_cleanup);
    child_environment();
    static testing::TempDir dir;
    std::array<HostAgent, 3> hosts;
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        if (quorvel_agent_runtime(&hosts[i].runtime) != 0) {
            std::_Exit(kSetupFailed);
        }
        hosts[i].configure(dir.file("agent" + std::to_string(i) + ".toml"));
        g_exiting[i] = hosts[i].start(i == 0 ? free_then_exit : ignore_change);
        hosts[i].release_all_but_the_agent();
    }
    g_all_started = true;
    std::this_thread::sleep_for(60s);
    std::_Exit(kNotReached);
}

// The stops that the library's exit handler waits for, and the last frees that come after it in
// the host's own exit handler, touch nothing that the exit has destroyed and end with the
// process.
TEST(FfiExitTest, LastFreesInTheHostsExitHandlerAfterExitFromACallback) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (int run = 0; run < 10; ++run) {
        EXPECT_EXIT(free_while_exiting(), ::testing::ExitedWithCode(0),
                    "the host's exit handler freed its agents")
            << "run " << run;
    }
}

// ---- exit() while two agents pass traffic --------------------------------------------------

// Two agents on socket-pair tunnels, on one runtime or a runtime each, join one network; a host
// thread pours packets from the first to the second and drains both tunnels, and the main thread
// ends the process 0.3 s after the first packet has crossed, with every log line written.
[[noreturn]] void exit_during_traffic(bool one_runtime) {
    child_environment();
    ::setenv("QUORVEL_LOG", "trace", 1);
    // The lines themselves are not looked at: writing them is what must not crash.
    const int null = ::open("/dev/null", O_WRONLY);
    if (null < 0 || ::dup2(null, STDERR_FILENO) < 0) {
        std::_Exit(kSetupFailed);
    }
    quorvel_agent_init_logging();
    static testing::TempDir dir;
    static std::array<HostAgent, 2> hosts;
    // Held through the exit, as a host's handles are.
    static std::array<AgentPtr*, 2> agents{};
    agents = start_on_one_network(dir, hosts, one_runtime);
    static std::atomic<long> crossed{0};
    const int from = hosts[0].host_end;
    const int to = hosts[1].host_end;
    std::thread([from, to] {
        const auto packet = agent::testing::ipv4_packet("10.0.0.1", "10.0.0.2", 200);
        std::array<std::uint8_t, 2048> buffer;
        for (;;) {
            ::send(from, packet.data(), packet.size(), MSG_DONTWAIT);
            for (int end : {from, to}) {
                while (::recv(end, buffer.data(), buffer.size(), MSG_DONTWAIT) > 0) {
                    if (end == to) {
                        ++crossed;
                    }
                }
            }
            pollfd wait{to, POLLIN, 0};
            ::poll(&wait, 1, 1);
        }
    }).detach();
    if (!wait_until([] { return crossed.load() > 0; })) {
        std::_Exit(kNoTraffic);
    }
    std::this_thread::sleep_for(300ms);
    std::exit(0);
}

TEST(FfiExitTest, ExitWhileAgentsPassTrafficWithEveryLineLogged) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (int run = 0; run < 30; ++run) {
        const bool one_runtime = run % 2 == 0;
        EXPECT_EXIT(exit_during_traffic(one_runtime), ::testing::ExitedWithCode(0), "")
            << "run " << run << (one_runtime ? " on one runtime" : " on a runtime each");
    }
}

// ---- Hosts that close their tunnel ends ----------------------------------------------------

constexpr int kNoEndOfFile = 6;
constexpr int kBusy = 7;
constexpr int kStatusFailed = 8;
constexpr int kStopFailed = 9;
constexpr std::size_t kClosers = 3;

// CPU seconds this process has used, in user and kernel mode.
double cpu_seconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// What the host has done with its agents when it closes its tunnel ends.
enum class BeforeClose { Nothing, Shutdown, Free };

// Three agents with addresses on socket-pair tunnels, on one runtime or a runtime each. A datagram
// of length 0 on a live tunnel is dropped and the next packet still crosses. Then the host closes
// its ends: each tunnel's reader ends with one error line, the process stays idle, and the status
// report, shutdown and the frees still answer.
[[noreturn]] void close_tunnels(bool one_runtime, BeforeClose before) {
    child_environment();
    static testing::TempDir dir;
    static std::array<HostAgent, kClosers> hosts;
    // Lines at INFO and above, so that a reader handing on empty reads shows as a flood of
    // errors or not at all, never as a flood of debug lines that costs time of its own.
    static log::ScopedCapture capture;
    log::set_min_level(log::Level::Info);
    std::array<AgentPtr*, kClosers> agents = start_on_one_network(dir, hosts, one_runtime);

    // An empty datagram, then a packet to the second agent, until one crosses: the first packets
    // may go while the peers are still finding each other.
    const auto packet = agent::testing::ipv4_packet("10.0.0.1", "10.0.0.2", 200);
    const bool crossed = wait_until([&] {
        ::send(hosts[0].host_end, "", 0, MSG_DONTWAIT);
        ::send(hosts[0].host_end, packet.data(), packet.size(), MSG_DONTWAIT);
        pollfd wait{hosts[1].host_end, POLLIN, 0};
        if (::poll(&wait, 1, 100) != 1) {
            return false;
        }
        std::array<std::uint8_t, 2048> buffer;
        return ::recv(hosts[1].host_end, buffer.data(), buffer.size(), MSG_DONTWAIT) ==
               static_cast<ssize_t>(packet.size());
    });
    if (!crossed) {
        std::_Exit(kNoTraffic);
    }

    for (std::size_t i = 0; i < kClosers; ++i) {
        if (before == BeforeClose::Shutdown &&
            quorvel_agent_shutdown(hosts[i].runtime, agents[i]) != 0) {
            std::_Exit(kStopFailed);
        }
        if (before == BeforeClose::Free) {
            quorvel_agent_free(std::exchange(agents[i], nullptr));
        }
    }
    const std::string end_of_file =
        "I/O error: end of file: the other end of the tunnel was closed";
    const auto ends_logged = [&] { return capture->count(log::Level::Error, end_of_file); };
    for (auto& host : hosts) {
        ::close(std::exchange(host.host_end, -1));
    }
    if (!wait_until([&] { return ends_logged() >= kClosers; })) {
        std::_Exit(kNoEndOfFile);
    }
    // Idle agents use next to nothing; one that reads its closed tunnel again and again uses a
    // core, which even a loaded machine's share of the window shows.
    const double before_window = cpu_seconds();
    std::this_thread::sleep_for(2s);
    if (cpu_seconds() - before_window > 0.5 || ends_logged() != kClosers) {
        std::_Exit(kBusy);
    }

    for (std::size_t i = 0; i < kClosers; ++i) {
        if (agents[i] == nullptr) {
            continue;
        }
        char* report = quorvel_agent_status(hosts[i].runtime, agents[i]);
        if (report == nullptr || std::strstr(report, "Networks:") == nullptr) {
            std::_Exit(kStatusFailed);
        }
        std::free(report);
        if (before == BeforeClose::Nothing &&
            quorvel_agent_shutdown(hosts[i].runtime, agents[i]) != 0) {
            std::_Exit(kStopFailed);
        }
    }
    for (std::size_t i = 0; i < kClosers; ++i) {
        quorvel_agent_free(agents[i]);
        quorvel_agent_tun_device_free(std::exchange(hosts[i].device, nullptr));
        quorvel_agent_config_free(std::exchange(hosts[i].config, nullptr));
        if (i == 0 || !one_runtime) {
            quorvel_agent_runtime_free(std::exchange(hosts[i].runtime, nullptr));
        }
    }
    std::exit(ends_logged() == kClosers ? 0 : kBusy);
}

TEST(FfiClosedTunnelTest, ReadersEndOnceAndTheAgentsStayIdleAndAnswer) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Case {
        const char* what;
        bool one_runtime;
        BeforeClose before;
    };
    const Case cases[] = {
        {"running, one runtime", true, BeforeClose::Nothing},
        {"running, a runtime each", false, BeforeClose::Nothing},
        {"shut down, one runtime", true, BeforeClose::Shutdown},
        {"shut down, a runtime each", false, BeforeClose::Shutdown},
        {"freed, runtime held", true, BeforeClose::Free},
    };
    for (const auto& c : cases) {
        EXPECT_EXIT(close_tunnels(c.one_runtime, c.before), ::testing::ExitedWithCode(0), "")
            << c.what;
    }
}

}  // namespace
}  // namespace quorvel::ffi
