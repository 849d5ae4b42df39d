// A proxy that refuses the agent's credentials with 407 and an HTML page quoting the
// Proxy-Authorization header it got, as debugging and misconfigured proxies do. The header holds
// the base64 of the user:password pair that the agent made itself from the proxy setting: the
// log (every level, so the default's WARN line of the failed upload of metrics too) shows the mask
// where it stood, and neither the log nor the status report shows anything of the pair, whether the
// host set the proxy before the agent started or after. Each case runs in a child process, which
// changes its own environment.
#include "agent/agent_test_util.h"
#include "agent/first_pass.h"
#include "agent/shown_checks.h"
#include "controller/raw_http_server.h"
#include "controller/test_controller.h"
#include "util/secrets.h"
#include "util/temp_dir.h"
#include "util/unicode.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace quorvel::agent {
namespace {

using testing::Checks;

using quorvel::testing::RawHttpServer;
using quorvel::testing::RawRequest;
using quorvel::testing::RawResponse;

// The password holds a blank and a slash, typed percent-encoded: libcurl decodes both before it
// builds the credentials.
constexpr const char* kUserinfo = "carol:Wq7%20Zx2%2FKp9Vm4";
// base64("carol:Wq7 Zx2/Kp9Vm4"), which the proxy receives.
constexpr const char* kCredentials = "Y2Fyb2w6V3E3IFp4Mi9LcDlWbTQ=";

// The proxy's page, quoting what it received.
std::string refusal_page(const std::string& received) {
    return "<html><head><title>407 Proxy Authentication Required</title></head><body><h1>Proxy "
           "Authentication Required</h1><p>Received: " +
           received + "</p><p>Realm &quot;lab&quot; wants other credentials.</p></body></html>";
}

void clear_proxy_variables() {
    for (const char* name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
        ::unsetenv(name);
    }
}

// Runs in a child: the agent's controller (a closed loopback port) is reached through a loopback
// proxy that answers every request with 407 and its page. Exits with the number of checks that
// failed.
[[noreturn]] void refused_by_a_quoting_proxy(bool set_after_start) {
    clear_proxy_variables();
    secrets::forget_all_for_tests();
    RawHttpServer proxy([](const RawRequest& request) {
        const std::string received = request.value("Proxy-Authorization");
        return RawResponse{.status = 407,
                           .headers = {{"Proxy-Authenticate", "Basic realm=\"lab\""},
                                       {"Content-Type", "text/html"}},
                           .body = refusal_page(received.empty() ? "nothing" : received)};
    });
    const std::string setting =
        "http://" + std::string(kUserinfo) + "@127.0.0.1:" + std::to_string(proxy.port());
    quorvel::testing::TempDir dir;
    AgentConfig config = testing::logged_in_config(
        "http://127.0.0.1:" + std::to_string(testing::closed_port()) + "/api",
        quorvel::testing::make_shared_secret());
    testing::FirstPass shown;
    if (set_after_start) {
        shown = testing::run_with_change_after_start(
            std::move(config), dir.file("config.toml"),
            [&] { ::setenv("http_proxy", setting.c_str(), 1); });
    } else {
        ::setenv("http_proxy", setting.c_str(), 1);
        shown = testing::run_first_pass(std::move(config), dir.file("config.toml"));
    }

    Checks check;
    check(!shown.report.empty(), "the agent rendered its report");
    bool carried = false;
    for (const RawRequest& request : proxy.requests()) {
        carried =
            carried || request.value("Proxy-Authorization") == "Basic " + std::string(kCredentials);
    }
    check(carried, "the proxy received the credentials the setting names");

    const std::string credentials = kCredentials;
    const std::string showing = testing::first_showing(
        shown, {credentials, credentials.substr(0, credentials.size() - 1), "Y2Fyb2w6V3E3IFp4",
                "IFp4Mi9LcDlWbTQ", "carol:Wq7", "Wq7 Zx2/Kp9Vm4", "Wq7%20Zx2%2FKp9Vm4", "Kp9Vm4"});
    check(showing.empty(), showing);
    for (const std::string& line : shown.lines) {
        check(is_valid_utf8(line), "not UTF-8: " + line);
    }

    // The page stays readable, the mask where the credentials stood.
    const std::string page = refusal_page("Basic ****");
    const std::string refused =
        "Controller response error 407 Proxy Authentication Required: " + page;
    const std::vector<std::string> warnings =
        testing::lines_holding(shown, "Metrics upload failed: Controller response error 407");
    check(!warnings.empty(), "a line says the upload of metrics was refused with 407");
    for (const std::string& line : warnings) {
        check(line.find("WARN") != std::string::npos, "at WARN: " + line);
        check(line.find("Metrics upload failed: " + refused) != std::string::npos,
              "the page shows masked: " + line);
    }
    // The controller, refused by the proxy the same way, reads as not reachable.
    check(testing::report_line(shown.report, "Connection Status:") ==
              "  Connection Status: Err: Controller not reachable",
          "the controller's status says it was not reached:\n" + shown.report);
    check.exit();
}

TEST(ProxyAuthEchoTest, AProxySetBeforeStartQuotingItsCredentialsShowsTheMask) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(refused_by_a_quoting_proxy(false), ::testing::ExitedWithCode(0), "");
}

TEST(ProxyAuthEchoTest, AProxySetAfterStartQuotingItsCredentialsShowsTheMask) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(refused_by_a_quoting_proxy(true), ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace quorvel::agent
