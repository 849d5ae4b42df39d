// Outside text through the real paths, as the log and the status report show it: a controller
// whose answer quotes a URL nobody knows, percent-encoded or not, so that the kilobyte an error
// keeps ends inside its password; and a network document whose name quotes a URL with a password,
// which the log and the report must show alike.
#include "agent/agent_test_util.h"
#include "agent/first_pass.h"
#include "controller/raw_http_server.h"
#include "controller/test_controller.h"
#include "util/secrets.h"
#include "util/temp_dir.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvel::agent {
namespace {

using quorvel::testing::RawHttpServer;
using quorvel::testing::RawRequest;
using quorvel::testing::RawResponse;

// The first four-byte piece of `secret`, or `whole` itself, that a line of the log or the report
// shows; empty when none does.
std::string first_shown_piece(const testing::FirstPass& shown, const std::string& secret,
                              const std::vector<std::string>& whole) {
    std::vector<std::string> pieces = whole;
    for (size_t at = 0; at + 4 <= secret.size(); ++at) {
        pieces.push_back(secret.substr(at, 4));
    }
    for (const std::string& piece : pieces) {
        for (const std::string& line : shown.lines) {
            if (line.find(piece) != std::string::npos) {
                return "the log shows " + piece + ": " + line.substr(0, 2000);
            }
        }
        if (shown.report.find(piece) != std::string::npos) {
            return "the report shows " + piece + ":\n" + shown.report;
        }
    }
    return {};
}

// A controller answers 401 or 500 with a body whose first kilobyte ends inside the password of a
// URL that the agent does not know, written as it is or percent-encoded in the forms an encoder
// writes. The error keeps the kilobyte: nothing of the password nor of the user name shows.
TEST(OutsideTextScenarioTest, AnEncodedUrlAcrossTheCutShowsNoPieceOfItsPassword) {
    const std::string password = "Hq7Zx2Wv9Kp4Jm";
    const std::vector<std::string> forms = {
        "https%3A%2F%2Fuser%3A" + password + "%40host%2Fx",
        "https%3a%2f%2fuser%3a" + password + "%40host%2fx",
        "https%3A//user%3A" + password + "%40host/x",
        "https://user:" + password + "@host/x",
        "https%3A%2F%2Fuser%3A" + password + "@host%2Fx",
    };
    for (const std::string& form : forms) {
        // The kilobyte ends after "Hq7Zx2".
        const std::string filler(1024 - 6 - form.find(password) - 1, 'a');
        const std::string body = filler + " " + form + " refused";
        for (const int status : {401, 500}) {
            SCOPED_TRACE(form + ", status " + std::to_string(status));
            secrets::forget_all_for_tests();
            RawHttpServer server([&](const RawRequest&) {
                return RawResponse{
                    .status = status, .headers = {{"Content-Type", "text/plain"}}, .body = body};
            });
            quorvel::testing::TempDir dir;
            AgentConfig config = testing::logged_in_config(
                "http://127.0.0.1:" + std::to_string(server.port()) + "/api",
                quorvel::testing::make_shared_secret());
            const testing::FirstPass shown =
                testing::run_first_pass(std::move(config), dir.file("config.toml"));
            ASSERT_GE(server.requests().size(), 1u);
            EXPECT_EQ(first_shown_piece(shown, password, {"user%3", "user:"}), "");
            // What stands before the URL stays readable, with how much was left out.
            const std::string kept =
                filler + " ... [" + std::to_string(form.size() + 8) + " bytes left out]";
            if (status == 401) {
                EXPECT_NE(
                    shown.report.find("Err: Controller response error 401 Unauthorized: " + kept),
                    std::string::npos)
                    << shown.report;
            }
            bool logged = false;
            for (const std::string& line : shown.lines) {
                logged = logged || line.find(kept) != std::string::npos;
            }
            EXPECT_TRUE(logged);
        }
    }
    secrets::forget_all_for_tests();
}

// A controller answers 401 with a body quoting the agent's shared secret stretched by a run of
// backslashes far longer than the kilobyte an error keeps (each backslash read as escaping the
// next, the run reads as one escape), with the cut inside the run: hiding the whole body would
// mask the copy from its first letter to its last, so the error keeps nothing of it.
TEST(OutsideTextScenarioTest, ASecretStretchedAcrossTheCutShowsNoStartOfIt) {
    secrets::forget_all_for_tests();
    // A shared secret of its own, each four bytes of which hold a capital letter and a "-" or "_":
    // none of them stands in the agent's ordinary lines (a random one may hold "enti", which
    // "authentication" does).
    const std::string secret = "Q7_zK3-wP9_xR2-vT5_yL8-nM4_bV6-cX1_dZ7-H_2A";
    // A letter that no backslash before it turns into an escape of another kind.
    size_t split = 6;
    while (split + 4 < secret.size() &&
           !(secret[split] >= 'A' && secret[split] <= 'Z' && secret[split] != 'U')) {
        ++split;
    }
    ASSERT_LT(split + 4, secret.size()) << secret;
    const std::string filler(1000 - split, 'a');
    const std::string backslashes(40000, '\\');
    const std::string body =
        filler + " " + secret.substr(0, split) + backslashes + secret.substr(split) + " refused";
    RawHttpServer server([&](const RawRequest&) {
        return RawResponse{
            .status = 401, .headers = {{"Content-Type", "text/plain"}}, .body = body};
    });
    quorvel::testing::TempDir dir;
    AgentConfig config = testing::logged_in_config(
        "http://127.0.0.1:" + std::to_string(server.port()) + "/api", secret);
    const testing::FirstPass shown =
        testing::run_first_pass(std::move(config), dir.file("config.toml"));
    ASSERT_GE(server.requests().size(), 1u);
    EXPECT_EQ(first_shown_piece(shown, secret, {std::string(8, '\\')}), "");
    const std::string kept =
        filler + " ... [" + std::to_string(body.size() - filler.size() - 1) + " bytes left out]";
    EXPECT_NE(shown.report.find("Err: Controller response error 401 Unauthorized: " + kept),
              std::string::npos)
        << shown.report.substr(0, 4000);
    bool warned = false;
    for (const std::string& line : shown.lines) {
        warned = warned ||
                 (line.find("WARN") != std::string::npos && line.find(kept) != std::string::npos);
    }
    EXPECT_TRUE(warned);
    secrets::forget_all_for_tests();
}

// A network's name from its document quotes a URL with a password and runs past the bound: the
// trace line that logs the new name and the report's Name show the same text, bounded and masked.
TEST(OutsideTextScenarioTest, ANetworkNameShowsTheSameInTheLogAndTheReport) {
    secrets::forget_all_for_tests();
    const std::string name = "ops https://u:Nq7Zw3Xv5@h/x " + std::string(3000, 'n');
    RawHttpServer server([&](const RawRequest&) {
        return RawResponse{.status = 200,
                           .headers = {{"Content-Type", "application/toml"}},
                           .body = "network = \"10.9.0.0/24\"\nname = \"" + name + "\"\n"};
    });
    quorvel::testing::TempDir dir;
    AgentConfig config(testing::test_identity());
    config.dns = DnsConfig{true};
    testing::add_network(config, "http://127.0.0.1:" + std::to_string(server.port()) + "/net");
    const testing::FirstPass shown =
        testing::run_first_pass(std::move(config), dir.file("config.toml"));
    ASSERT_GE(server.requests().size(), 1u);
    EXPECT_EQ(first_shown_piece(shown, "Nq7Zw3Xv5", {}), "");

    const std::string label = "\n    Name: ";
    const size_t at = shown.report.find(label);
    ASSERT_NE(at, std::string::npos) << shown.report;
    const size_t from = at + label.size();
    const std::string reported = shown.report.substr(from, shown.report.find('\n', from) - from);
    EXPECT_TRUE(reported.starts_with("ops https://****:****@h/x nnn")) << reported;
    EXPECT_TRUE(reported.ends_with(" bytes left out]")) << reported;
    bool logged = false;
    for (const std::string& line : shown.lines) {
        logged = logged || line.find("Network name changed from 'None' to 'Some(\"" + reported +
                                     "\")'") != std::string::npos;
    }
    EXPECT_TRUE(logged) << reported;
    secrets::forget_all_for_tests();
}

}  // namespace
}  // namespace quorvel::agent
