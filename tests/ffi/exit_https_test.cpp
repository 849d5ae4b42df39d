// A host process that ends with exit() while its agents set up HTTPS connections: the TLS
// library's state must outlive every thread that the exit leaves running. Each run is a host
// program of its own (tests/ffi/exit_https_host.c, C on the shared library), so that the process
// initialises its libraries in a real host's order; the TLS server is this test's, on loopback,
// with a certificate made for it.
#include "controller/test_controller.h"
#include "util/temp_dir.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace quorvel::ffi {
namespace {

using namespace std::chrono_literals;

// A host run in progress: its process and the file that takes its standard error.
struct HostRun {
    pid_t pid = -1;
    std::string order;
    std::string err_path;
};

HostRun spawn_host(const std::string& order, const std::string& base_url, int networks,
                   const testing::TempDir& parent, int index) {
    HostRun run;
    run.order = order;
    const std::string dir = parent.file("run" + std::to_string(index));
    if (::mkdir(dir.c_str(), 0700) != 0) {
        return run;
    }
    run.err_path = dir + "/stderr";
    std::vector<std::string> env_text = {"QUORVEL_MIN_POW_DIFFICULTY=4", "QUORVEL_UDP_PORT=0"};
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string_view entry(*e);
        if (!entry.starts_with("QUORVEL_MIN_POW_DIFFICULTY=") &&
            !entry.starts_with("QUORVEL_UDP_PORT=") && !entry.starts_with("QUORVEL_LOG=")) {
            env_text.emplace_back(entry);
        }
    }
    std::vector<char*> envp;
    for (auto& entry : env_text) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);
    std::string program = QUORVEL_EXIT_HTTPS_HOST;
    std::string count = std::to_string(networks);
    std::string base = base_url;
    std::string order_arg = order;
    std::string dir_arg = dir;
    char* argv[] = {program.data(), order_arg.data(), base.data(),
                    count.data(),   dir_arg.data(),   nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, run.err_path.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (::posix_spawn(&run.pid, program.c_str(), &actions, nullptr, argv, envp.data()) != 0) {
        run.pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return run;
}

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Waits for the run to end, killing it after `limit`; empty when it ended with exit(0) and wrote
// nothing to its standard error (a sanitizer's report goes there), else what went wrong.
std::string finish(const HostRun& run, std::chrono::seconds limit) {
    if (run.pid < 0) {
        return "the host could not be started";
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    pid_t ended = 0;
    while ((ended = ::waitpid(run.pid, &status, WNOHANG)) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(run.pid, SIGKILL);
            ::waitpid(run.pid, &status, 0);
            return "still running after " + std::to_string(limit.count()) + " s\n" +
                   read_text(run.err_path);
        }
        std::this_thread::sleep_for(10ms);
    }
    const std::string err = read_text(run.err_path);
    if (ended < 0) {
        return "waitpid failed";
    }
    if (WIFSIGNALED(status)) {
        return std::string("killed by signal ") + ::strsignal(WTERMSIG(status)) + "\n" + err;
    }
    if (WEXITSTATUS(status) != 0) {
        return "exit status " + std::to_string(WEXITSTATUS(status)) + "\n" + err;
    }
    if (!err.empty()) {
        return "exit status 0, with a report:\n" + err;
    }
    return "";
}

// Agents 1 and 2 join networks at a local HTTPS server while agent 0's first network change
// calls exit(): with every handle held, and with the last handle of agent 1's runtime freed in
// that callback right before exit(), so that the exit waits for that runtime's stop. Every host
// ends with status 0 and no report, though its agents' HTTP client threads are loading trusted
// roots and shaking hands through the exit.
TEST(FfiExitHttpsTest, ExitWhileAgentsSetUpHttpsConnections) {
    testing::SelfSignedCertificate certificate;
    ASSERT_TRUE(certificate.ok);
    httplib::SSLServer server(certificate.cert_path.c_str(), certificate.key_path.c_str());
    ASSERT_TRUE(server.is_valid());
    server.Get(R"(/net\d+\.toml)", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("network = \"10.0.0.0/24\"\n", "text/plain");
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    std::thread serving([&] { server.listen_after_bind(); });
    const std::string base_url = "https://127.0.0.1:" + std::to_string(port);

    // A few hosts at a time, so that a busy machine still gives each its deadline.
    constexpr int kRunsPerOrder = 12;
    constexpr int kAtOnce = 4;
    constexpr int kNetworks = 4;
    testing::TempDir dir;
    std::vector<std::string> orders;
    for (int i = 0; i < kRunsPerOrder; ++i) {
        orders.emplace_back("held");
        orders.emplace_back("freed");
    }
    int failed = 0;
    for (std::size_t first = 0; first < orders.size(); first += kAtOnce) {
        std::vector<HostRun> runs;
        for (std::size_t i = first; i < std::min(orders.size(), first + kAtOnce); ++i) {
            runs.push_back(spawn_host(orders[i], base_url, kNetworks, dir, static_cast<int>(i)));
        }
        for (const auto& run : runs) {
            const std::string outcome = finish(run, 120s);
            if (!outcome.empty()) {
                ++failed;
                ADD_FAILURE() << run.order << ": " << outcome;
            }
        }
    }
    EXPECT_EQ(failed, 0) << "of " << orders.size() << " hosts";
    server.stop();
    serving.join();
}

}  // namespace
}  // namespace quorvel::ffi
