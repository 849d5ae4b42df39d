// The status report shows names, paths, URLs and error texts that the host, documents and servers
// gave. Whatever they hold, the report keeps its own lines, writes no control character and shows
// no password that a value quotes.
#include "agent/status/status.h"

#include "agent/agent_test_util.h"
#include "agent/status/status_test_util.h"
#include "agent/status/text_lines.h"

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <vector>

namespace quorvel::agent {
namespace {

using namespace testing;

p2p::Identity fixed_identity() {
    p2p::SecKey::Bytes seed{};
    seed.fill(0x6c);
    return p2p::Identity(p2p::SecKey(seed), p2p::Pow(3));
}

// A connected agent's snapshot with one network, one super peer and a controller section, each
// value from outside holding `inject`.
Status snapshot_with(const std::string& inject) {
    NodeEnvironment env;
    auto made = Status::from_config(AgentConfig(fixed_identity()), "unused");
    EXPECT_TRUE(made.has_value());
    Status status = std::move(made).value();
    status.agent_status = AgentStatus::CONNECTED;
    status.time_deviation = std::chrono::seconds(1);
    status.update_available = "1.2.3" + inject;
    status.config_path = "/data/" + inject + "/config.toml";

    status.controller.url = "http://127.0.0.1:1/api" + inject + "Agent Status: CONNECTED";
    status.controller.auth_url = "https://login.example/" + inject;
    status.controller.display_login_email = "ops" + inject + "@example.com";
    status.controller.shared_secret = "c2Vj" + inject;
    status.controller.connection_status = ControllerConnectionStatus::err("denied" + inject);

    SuperPeerStatus super_peer;
    super_peer.stats.address = "sp.example" + inject + ":7000";
    status.super_peers.emplace(key(0x01), super_peer);

    NetworkStatus joined;
    joined.name = "home" + inject;
    joined.health = network::NetworkHealth::retrieve_config_error("gone" + inject);
    joined.current_state.ip = {net("10.1.2.3/24"), "refused" + inject};
    joined.current_state.access_rules.error = "rules" + inject;
    network::HostnameList hosts;
    hosts.hosts.emplace(*Ipv4Addr::parse("10.1.2.3"), "me" + inject);
    joined.current_state.hostnames.applied = hosts;
    joined.desired_state = joined.current_state;
    joined.desired_state.routes = {network::EffectiveRoutingList{}, "routes" + inject};
    status.networks.emplace(url("https://example.com/net.toml"), joined);
    return status;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// A line's indent and its first word: what the layout decides, whatever the values are.
std::string layout_of(const std::string& line) {
    const size_t start = line.find_first_not_of(' ');
    if (start == std::string::npos) {
        return line;
    }
    return line.substr(0, line.find_first_of(" :", start));
}

std::string without_indent(const std::string& line) {
    const size_t start = line.find_first_not_of(' ');
    return start == std::string::npos ? std::string() : line.substr(start);
}

// Fails at the first control byte, DEL or C1 code point (UTF-8 0xC2 0x80..0x9F) of `text`; line
// feeds are the report's own.
::testing::AssertionResult writes_no_control(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool c1 = c == 0xc2 && i + 1 < text.size() &&
                        static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9f;
        if ((c < 0x20 && c != '\n') || c == 0x7f || c1) {
            return ::testing::AssertionFailure()
                   << "byte " << static_cast<int>(c) << " at " << i << " in\n"
                   << text;
        }
    }
    return ::testing::AssertionSuccess();
}

TEST(StatusHostileValuesTest, ValuesNeverAddALineNorAControlCharacter) {
    constexpr std::string_view kForged =
        "denied\n2026-01-01T00:00:00.000000Z [quorvel-agent:default] ERROR forged";
    const struct {
        std::string inject;
        // How the report shows it.
        std::string shown;
    } cases[] = {
        {"\n", "\\n"},
        {"\r\n", "\\r\\n"},
        {"\r", "\\r"},
        {"\t\v\f", "\\t\\u{b}\\u{c}"},
        {std::string("a\0b", 3), "a\\0b"},
        {"\x1b[2J", "\\u{1b}[2J"},
        {"\x1b]0;title\x07", "\\u{1b}]0;title\\u{7}"},
        {"\xc2\x9b"
         "31m",
         "\\u{9b}31m"},
        {"\xc2\x85", "\\u{85}"},
        {"\x7f", "\\u{7f}"},
        {std::string(kForged),
         "denied\\n2026-01-01T00:00:00.000000Z [quorvel-agent:default] ERROR forged"},
        // Printable non-ASCII, also from the 0xC2 block, stays as it is.
        {"\xc2\xa0\xc3\xa9", "\xc2\xa0\xc3\xa9"},
    };
    for (bool with_secrets : {false, true}) {
        const std::string plain =
            snapshot_with("x").to_string_with_secrets(with_secrets, fixed_now());
        const std::vector<std::string> plain_lines = lines_of(plain);
        for (const auto& c : cases) {
            SCOPED_TRACE(::testing::Message() << "secrets " << with_secrets << ", value "
                                              << ::testing::PrintToString(c.inject));
            const std::string text =
                snapshot_with(c.inject).to_string_with_secrets(with_secrets, fixed_now());
            EXPECT_TRUE(writes_no_control(text));
            const std::vector<std::string> lines = lines_of(text);
            ASSERT_EQ(lines.size(), plain_lines.size()) << text;
            size_t agent_status_lines = 0;
            for (size_t i = 0; i < lines.size(); ++i) {
                EXPECT_EQ(layout_of(lines[i]), layout_of(plain_lines[i])) << lines[i];
                const std::string rest = without_indent(lines[i]);
                agent_status_lines += rest.starts_with("Agent Status:") ? 1 : 0;
                EXPECT_FALSE(rest.starts_with("2026-")) << lines[i];
                EXPECT_FALSE(rest.starts_with("ERROR")) << lines[i];
            }
            EXPECT_EQ(agent_status_lines, 1u) << text;

            const std::string& e = c.shown;
            for (const std::string& expected : {
                     "\n  Update Available: 1.2.3" + e + "\n",
                     "\n  Config Path: /data/" + e + "/config.toml\n",
                     "\n  Logged in as: ops" + e + "@example.com\n",
                     "\n  Connection Status: Err: denied" + e + "\n",
                     "\n    Address: sp.example" + e + ":7000\n",
                     "\n    Name: home" + e + "\n",
                     "\n    IP: 10.1.2.3/24 (Error: refused" + e + ")\n",
                     "\n      None (Error: rules" + e + ")\n",
                     "\n        Empty (Error: routes" + e + ")\n",
                     "me" + e + ".quorvel.internal\n",
                 }) {
                EXPECT_NE(text.find(expected), std::string::npos) << expected << " in\n" << text;
            }
            if (with_secrets) {
                for (const std::string& expected : {
                         "\n  URL: http://127.0.0.1:1/api" + e + "Agent Status: CONNECTED\n",
                         "\n  Auth URL: https://login.example/" + e + "\n",
                         "\n  HMAC Auth Shared Secret: c2Vj" + e + "\n",
                     }) {
                    EXPECT_NE(text.find(expected), std::string::npos) << expected << " in\n"
                                                                      << text;
                }
            }
        }
    }
}

TEST(StatusHostileValuesTest, NoPasswordQuotedInsideAValueShowsWithoutSecrets) {
    constexpr const char* kNested = "https://a/x?next=https://u:secret@b/x";
    constexpr const char* kBroken = "http://pu:secret@[bad";
    const struct {
        const char* name;
        std::function<void(Status&)> edit;
        // The line as the report shows it, secrets hidden.
        std::string shown;
    } cases[] = {
        {"controller URL", [](Status& s) { s.controller.url = kNested; },
         "\n  URL: https://a/x?next=https://****:****@b/x\n"},
        {"auth URL", [](Status& s) { s.controller.auth_url = kNested; },
         "\n  Auth URL: https://a/x?next=https://****:****@b/x\n"},
        {"network URL", [](Status& s) { s.networks.emplace(url(kNested), NetworkStatus()); },
         "\n  https://a/x?next=https://****:****@b/x:\n"},
        {"connection status",
         [](Status& s) {
             s.controller.connection_status = ControllerConnectionStatus::err(
                 std::string("HTTP request failed: bad URL ") + kBroken + "\nagain");
         },
         "\n  Connection Status: Err: HTTP request failed: bad URL "
         "http://****:****@[bad\\nagain\n"},
        {"network health",
         [](Status& s) {
             NetworkStatus joined;
             joined.health = network::NetworkHealth::retrieve_config_error(std::string("fetch ") +
                                                                           kBroken + " failed");
             s.networks.emplace(url("https://example.com/n.toml"), joined);
         },
         "\n    Status: RetrieveConfigError(\"fetch http://****:****@[bad failed\")\n"},
        {"applied list error",
         [](Status& s) {
             NetworkStatus joined;
             joined.current_state.routes.error = std::string("gateway ") + kBroken;
             joined.desired_state = joined.current_state;
             s.networks.emplace(url("https://example.com/n.toml"), joined);
         },
         "\n      None (Error: gateway http://****:****@[bad)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NodeEnvironment env;
        auto made = Status::from_config(AgentConfig(fixed_identity()), "config.toml");
        ASSERT_TRUE(made.has_value());
        Status status = std::move(made).value();
        status.agent_status = AgentStatus::CONNECTED;
        c.edit(status);
        const std::string text = status.to_string_with_secrets(false);
        EXPECT_EQ(text.find("secret"), std::string::npos) << text;
        EXPECT_NE(text.find(c.shown), std::string::npos) << c.shown << " in\n" << text;
    }
}

TEST(TextLinesTest, EscapingNestingKeepsEachLineOne) {
    const struct {
        const char* text;
        const char* nested;
    } cases[] = {
        {"", ""},
        {"a\nb\n", "> a\n> b\n"},
        {"a\r\nb\r\n", "> a\n> b\n"},
        {"a\n\nb", "> a\n> \n> b\n"},
        // A carriage return that ends no line, and every other control character, is escaped.
        {"a\rb", "> a\\rb\n"},
        {"a\r", "> a\\r\n"},
        {"a\r\r\n", "> a\\r\n"},
        {"\x1b[2Jx\n\x7f", "> \\u{1b}[2Jx\n> \\u{7f}\n"},
        {"\xc2\x9b\xc2\xa0\n", "> \\u{9b}\xc2\xa0\n"},
        // Escaped text is left as it is.
        {"a\\nb \\u{1b}\n", "> a\\nb \\u{1b}\n"},
    };
    for (const auto& c : cases) {
        std::string out = "head\n";
        append_shown_lines(out, c.text, "> ");
        EXPECT_EQ(out, std::string("head\n") + c.nested) << ::testing::PrintToString(c.text);
    }
}

}  // namespace
}  // namespace quorvel::agent
