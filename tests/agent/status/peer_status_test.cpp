#include "agent/status/peer_status.h"

#include "agent/status/status_test_util.h"

#include <gtest/gtest.h>

namespace quorvel::agent {
namespace {

using namespace std::chrono_literals;
using p2p::PeerPath;
using p2p::PeerPathKey;
using namespace testing;

PeerPathKey path_key(const char* local, const char* remote) {
    return PeerPathKey{sock(local, 4000), sock(remote, 5000)};
}

TEST(PeerStatusTest, PathText) {
    const struct {
        PeerPath path;
        const char* text;
    } cases[] = {
        {path({}, {}, {}),
         "Unanswered HELLO Since: No unanswered HELLO\nLast ACK Time: Never\nLatencies:\n"
         "  Median Latency: None\n[Reachable: false]"},
        // Samples in the order held; the median of the sorted copy.
        {path({3000, 1000, 2000}, {}, 5s),
         "Unanswered HELLO Since: No unanswered HELLO\nLast ACK Time: 5s ago\n"
         "Latencies: 3.000 ms, 1.000 ms, 2.000 ms\n  Median Latency: 2.000 ms\n[Reachable: true]"},
        // An even count averages the middle two in whole microseconds, rounded down.
        {path({1000, 2001}, {}, 30s),
         "Unanswered HELLO Since: No unanswered HELLO\nLast ACK Time: 30s ago\n"
         "Latencies: 1.000 ms, 2.001 ms\n  Median Latency: 1.500 ms\n[Reachable: true]"},
        {path({0}, 2s + 500ms, 30s + 1ns),
         "Unanswered HELLO Since: 2s 500ms\nLast ACK Time: 30s 1ns ago\n"
         "Latencies: 0.000 ms\n  Median Latency: 0.000 ms\n[Reachable: false]"},
        {path({12345, 7, UINT64_MAX, UINT64_MAX - 2}, 1h, {}),
         "Unanswered HELLO Since: 1h\nLast ACK Time: Never\n"
         "Latencies: 12.345 ms, 0.007 ms, 18446744073709552.000 ms, 18446744073709552.000 ms\n"
         "  Median Latency: 9223372036854782.000 ms\n[Reachable: false]"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(format_sp_path(c.path, fixed_now()), c.text);
        EXPECT_EQ(format_np_path(c.path, fixed_now()), c.text);
    }
}

TEST(PeerStatusTest, SuperPeerWithTcpConnectionAndOneUdpPath) {
    p2p::SuperPeerStats stats;
    stats.address = "sp.example:27401";
    stats.resolved_addrs = std::set{sock("192.0.2.7", 27401)};
    stats.tcp_port = 27401;
    stats.tcp_path = path({10250, 12000, 11125}, {}, 2s);
    stats.tcp_path_key = path_key("10.0.0.1", "192.0.2.7");
    const auto udp = path_key("10.0.0.1", "192.0.2.8");
    stats.udp_path_order = {udp};
    stats.udp_paths = {{udp, path({}, 1500ms, {})}};
    stats.reachable = true;

    const SuperPeerStatus status{stats};
    const std::string expected = R"(Address: sp.example:27401
Resolved Addresses:
  192.0.2.7:27401
TCP:
  Port: 27401
  Connection: Established (10.0.0.1:4000->192.0.2.7:5000)
  Unanswered HELLO Since: No unanswered HELLO
  Last ACK Time: 2s ago
  Latencies: 10.250 ms, 12.000 ms, 11.125 ms
    Median Latency: 11.125 ms
  [Reachable: true]
UDP:
  Best Path: 10.0.0.1:4000->192.0.2.8:5000
  Paths:
    10.0.0.1:4000->192.0.2.8:5000:
      Unanswered HELLO Since: 1s 500ms
      Last ACK Time: Never
      Latencies:
        Median Latency: None
      [Reachable: false]
[Reachable: true]
)";
    EXPECT_EQ(status.to_string_with_secrets(false, fixed_now()), expected);
    EXPECT_EQ(status.to_string_with_secrets(true, fixed_now()), expected);
}

TEST(PeerStatusTest, SuperPeerEdgeCases) {
    const auto listed = path_key("10.0.0.1", "192.0.2.1");
    const auto unlisted = path_key("10.0.0.1", "192.0.2.2");
    const auto missing = path_key("10.0.0.1", "192.0.2.3");

    // Nothing resolved, no TCP connection, a path the order does not name.
    p2p::SuperPeerStats bare;
    bare.address = "127.0.0.1:27402";
    bare.tcp_port = 27402;
    bare.udp_paths = {{unlisted, path({1000}, {}, 1s)}};
    EXPECT_EQ(SuperPeerStatus{bare}.to_string_with_secrets(false, fixed_now()),
              R"(Address: 127.0.0.1:27402
Resolved Addresses: None
TCP:
  Port: 27402
  Connection: Not present
UDP:
  Best Path: None
  Paths:
[Reachable: false]
)");

    // Resolved to nothing; a TCP path without instants is still being established; only paths
    // named by the order and kept are listed, in the order's order.
    p2p::SuperPeerStats establishing = bare;
    establishing.resolved_addrs = std::set<p2p::SocketAddr>{};
    establishing.tcp_path = path({}, {}, {});
    establishing.udp_path_order = {missing, listed};
    establishing.udp_paths = {{unlisted, path({}, {}, {})}, {listed, path({2000}, {}, 31s)}};
    establishing.reachable = true;
    EXPECT_EQ(SuperPeerStatus{establishing}.to_string_with_secrets(false, fixed_now()),
              R"(Address: 127.0.0.1:27402
Resolved Addresses:
TCP:
  Port: 27402
  Connection: Establishing
  Unanswered HELLO Since: No unanswered HELLO
  Last ACK Time: Never
  Latencies:
    Median Latency: None
  [Reachable: false]
UDP:
  Best Path: 10.0.0.1:4000->192.0.2.3:5000
  Paths:
    10.0.0.1:4000->192.0.2.1:5000:
      Unanswered HELLO Since: No unanswered HELLO
      Last ACK Time: 31s ago
      Latencies: 2.000 ms
        Median Latency: 2.000 ms
      [Reachable: false]
[Reachable: true]
)");

    // A pending HELLO alone counts as established; without a key the key reads None.
    p2p::SuperPeerStats pending = bare;
    pending.tcp_path = path({}, 3s, {});
    const std::string text = SuperPeerStatus{pending}.to_string_with_secrets(false, fixed_now());
    EXPECT_NE(text.find("  Connection: Established (None)\n  Unanswered HELLO Since: 3s\n"),
              std::string::npos)
        << text;
}

TEST(PeerStatusTest, NodePeerWithOneDirectAndOneRelayedPath) {
    const auto direct = path_key("10.0.0.1", "198.51.100.4");
    p2p::NodePeerStats stats;
    stats.pow_status = p2p::PowStatus::Ok;
    stats.protocol_v2_supported = true;
    stats.created_at = kNow - 1h - 2s;
    stats.app_tx = kNow - 250ms;
    stats.direct_path_order = {direct};
    stats.direct_paths = {{direct, path({4500, 5500}, {}, 3s)}};
    stats.relay_path_order = {key(0x22)};
    stats.relay_paths = {{key(0x22), path({}, {}, {})}};
    stats.tx_short_id = p2p::ShortId{{0xde, 0xad, 0xbe, 0xef}};
    stats.rx_short_id = p2p::ShortId{{0x01, 0x02, 0x03, 0x04}};
    stats.reachable = true;

    const NodePeerStatus status{stats};
    const std::string sp = key(0x22).to_string();
    const std::string expected = R"(PoW State: Ok
Protocol Version 2 Supported: true
Created At: 1h 2s ago
APP TX: 250ms ago
APP RX: Never
Best Direct Path: 10.0.0.1:4000->198.51.100.4:5000
Direct Paths:
  10.0.0.1:4000->198.51.100.4:5000:
    Unanswered HELLO Since: No unanswered HELLO
    Last ACK Time: 3s ago
    Latencies: 4.500 ms, 5.500 ms
      Median Latency: 5.000 ms
    [Reachable: true]
Best Relay Path: )" + sp + R"(
Relay Paths:
  Super Peer )" + sp + R"(:
    Unanswered HELLO Since: No unanswered HELLO
    Last ACK Time: Never
    Latencies:
      Median Latency: None
    [Reachable: false]
TX Short ID: deadbeef
RX Short ID: 01020304
[Reachable: true]
)";
    EXPECT_EQ(status.to_string_with_secrets(false, fixed_now()), expected);
    EXPECT_EQ(status.to_string_with_secrets(true, fixed_now()), expected);
}

TEST(PeerStatusTest, NodePeerPathOrdering) {
    // Key texts sort byte-wise: "...->10.0.0.10..." comes before "...->10.0.0.9...".
    const auto a = path_key("10.0.0.1", "10.0.0.2");
    const auto b9 = path_key("10.0.0.1", "10.0.0.9");
    const auto b10 = path_key("10.0.0.1", "10.0.0.10");
    const auto c = path_key("10.0.0.1", "10.0.0.3");
    const auto x = path_key("10.0.0.1", "10.0.0.4");

    p2p::NodePeerStats stats;
    stats.pow_status = p2p::PowStatus::Nok;
    stats.created_at = kNow + 5s;  // ahead of the clock
    stats.app_rx = kNow;
    stats.direct_path_order = {c, x, a};
    stats.direct_paths = {{a, path({1000}, {}, {})},
                          {b9, path({9000}, {}, {})},
                          {c, path({3000}, {}, {})},
                          {b10, path({10000}, {}, {})}};
    // Relayed paths by key text, whatever the order of preference.
    stats.relay_path_order = {};
    stats.relay_paths = {{key(0xb0), path({}, {}, {})}, {key(0x0a), path({}, {}, {})}};
    stats.rx_short_id = p2p::ShortId{{0, 0, 0, 9}};

    const std::string text = NodePeerStatus{stats}.to_string_with_secrets(false, fixed_now());
    auto heading = [](const PeerPathKey& k) { return "\n  " + k.to_string() + ":\n"; };
    const size_t pos_c = text.find(heading(c));
    const size_t pos_a = text.find(heading(a));
    const size_t pos_b10 = text.find(heading(b10));
    const size_t pos_b9 = text.find(heading(b9));
    ASSERT_NE(pos_b9, std::string::npos) << text;
    EXPECT_LT(pos_c, pos_a);
    EXPECT_LT(pos_a, pos_b10);
    EXPECT_LT(pos_b10, pos_b9);
    EXPECT_EQ(text.find(heading(x)), std::string::npos);
    EXPECT_LT(text.find("  Super Peer " + key(0x0a).to_string() + ":\n"),
              text.find("  Super Peer " + key(0xb0).to_string() + ":\n"));
    const std::string head =
        "PoW State: Nok\nProtocol Version 2 Supported: false\n"
        "Created At: 0s ago\nAPP TX: Never\nAPP RX: 0s ago\n"
        "Best Direct Path: " +
        c.to_string() + "\nDirect Paths:\n";
    EXPECT_EQ(text.substr(0, head.size()), head);
    const std::string tail = "Best Relay Path: None\nRelay Paths:\n";
    EXPECT_NE(text.find(tail), std::string::npos);
    EXPECT_TRUE(text.ends_with("TX Short ID: None\nRX Short ID: 00000009\n[Reachable: false]\n"))
        << text;

    // No direct paths at all, though the order still names one.
    stats.direct_paths.clear();
    stats.pow_status = p2p::PowStatus::Unknw;
    const std::string none = NodePeerStatus{stats}.to_string_with_secrets(false, fixed_now());
    EXPECT_NE(none.find("PoW State: Unknw\n"), std::string::npos);
    EXPECT_NE(none.find("Best Direct Path: " + c.to_string() +
                        "\nDirect Paths: None\n"
                        "Best Relay Path: None\n"),
              std::string::npos)
        << none;
}

}  // namespace
}  // namespace quorvel::agent
