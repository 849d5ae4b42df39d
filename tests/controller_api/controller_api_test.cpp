#include "controller_api/metrics.h"
#include "controller_api/node_hmac.h"

#include <gtest/gtest.h>

#include <string>

namespace quorvel::controller_api {
namespace {

using namespace std::string_literals;
using request::metrics::NetworkTrafficMetrics;
using request::metrics::SuperPeerMetrics;
using request::metrics::UpdateNodeMetricsRequest;

std::string json(const UpdateNodeMetricsRequest& r) {
    return request::metrics::to_compact_json(request::metrics::to_json(r));
}

TEST(NodeHmacMessageTest, LaysOutLabelTimeStampAndBody) {
    struct Case {
        int64_t ts;
        std::string body;
        std::string message;
    };
    const std::vector<Case> cases = {
        {1700000000, "", "QV-NODE-HMAC-1\n1700000000\n"},
        {0, "{\"a\":1}", "QV-NODE-HMAC-1\n0\n{\"a\":1}"},
        {-5, "\0\n"s, "QV-NODE-HMAC-1\n-5\n\0\n"s},
    };
    for (const auto& c : cases) {
        auto message = utils::node_hmac_message_bytes(
            c.ts, {reinterpret_cast<const uint8_t*>(c.body.data()), c.body.size()});
        ASSERT_TRUE(message.has_value());
        EXPECT_EQ(std::string(message->begin(), message->end()), c.message);
    }
}

TEST(MetricsJsonTest, WritesEveryKeyInOrderWithNullsAndEscapes) {
    struct Case {
        const char* name;
        UpdateNodeMetricsRequest request;
        std::string json;
    };
    UpdateNodeMetricsRequest full;
    full.os = "iOS";
    full.os_version = "18.1";
    full.os_arch = "aarch64";
    full.rust_version = "r";
    full.ips = std::vector<std::string>{"10.0.0.1", "::1"};
    full.quorvel_agent_version = "1.0.0 (abc)";
    full.quorvel_ui_version = "2";
    full.super_peers = std::map<std::string, SuperPeerMetrics>{
        {"b", {true, 4294967295u, false, true}}, {"B", {}}, {"a", {false, 0, true, false}}};
    full.networks =
        std::map<std::string, NetworkTrafficMetrics>{{"n", {18446744073709551615ull, 0, true}}};
    full.error_logs = "";
    UpdateNodeMetricsRequest escapes;
    escapes.error_logs = "q\" b\\ \b\f\n\r\t \x01\x1f\x7f / \xc3\xa9 \xff"s;
    UpdateNodeMetricsRequest empties;
    empties.ips = std::vector<std::string>{};
    empties.super_peers = std::map<std::string, SuperPeerMetrics>{};
    const std::vector<Case> cases = {
        {"all absent",
         {},
         "{\"os\":null,\"os_version\":null,\"os_arch\":null,\"rust_version\":null,\"ips\":null,"
         "\"quorvel_agent_version\":null,\"quorvel_ui_version\":null,\"super_peers\":null,"
         "\"networks\":null,\"error_logs\":null}"},
        {"all present", full,
         "{\"os\":\"iOS\",\"os_version\":\"18.1\",\"os_arch\":\"aarch64\",\"rust_version\":\"r\","
         "\"ips\":[\"10.0.0.1\",\"::1\"],\"quorvel_agent_version\":\"1.0.0 (abc)\","
         "\"quorvel_ui_version\":\"2\",\"super_peers\":{\"B\":{\"connected\":false,\"ping\":0,"
         "\"ipv4\":false,\"ipv6\":false},\"a\":{\"connected\":false,\"ping\":0,\"ipv4\":true,"
         "\"ipv6\":false},\"b\":{\"connected\":true,\"ping\":4294967295,\"ipv4\":false,"
         "\"ipv6\":true}},\"networks\":{\"n\":{\"rx\":18446744073709551615,\"tx\":0,"
         "\"enabled\":true}},\"error_logs\":\"\"}"},
        {"escapes", escapes,
         "{\"os\":null,\"os_version\":null,\"os_arch\":null,\"rust_version\":null,\"ips\":null,"
         "\"quorvel_agent_version\":null,\"quorvel_ui_version\":null,\"super_peers\":null,"
         "\"networks\":null,\"error_logs\":\"q\\\" b\\\\ \\b\\f\\n\\r\\t \\u0001\\u001f\x7f / "
         "\xc3\xa9 \xef\xbf\xbd\"}"},
        {"present but empty", empties,
         "{\"os\":null,\"os_version\":null,\"os_arch\":null,\"rust_version\":null,\"ips\":[],"
         "\"quorvel_agent_version\":null,\"quorvel_ui_version\":null,\"super_peers\":{},"
         "\"networks\":null,\"error_logs\":null}"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(json(c.request), c.json) << c.name;
    }
}

TEST(MetricsJsonTest, DebugFormNamesEveryFieldInOrder) {
    UpdateNodeMetricsRequest r;
    r.os = "iOS";
    r.ips = std::vector<std::string>{"a"};
    r.networks = std::map<std::string, NetworkTrafficMetrics>{{"n", {1, 2, true}}};
    r.error_logs = "x\ny";
    EXPECT_EQ(request::metrics::debug(r),
              "UpdateNodeMetricsRequest { os: Some(\"iOS\"), os_version: None, os_arch: None, "
              "rust_version: None, ips: Some([\"a\"]), quorvel_agent_version: None, "
              "quorvel_ui_version: None, super_peers: None, networks: Some({\"n\": "
              "NetworkTrafficMetrics { rx: 1, tx: 2, enabled: true }}), error_logs: "
              "Some(\"x\\ny\") }");
}

}  // namespace
}  // namespace quorvel::controller_api
