// The controller's metrics request: what a node reports about itself with a PUT of
// "/nodes/me/metrics". Every field is optional and written in declaration order; an absent field
// is written as null, so the controller always sees all ten keys.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace quorvel::controller_api::request::metrics {

struct SuperPeerMetrics {
    bool connected = false;
    uint32_t ping = 0;
    bool ipv4 = false;
    bool ipv6 = false;

    bool operator==(const SuperPeerMetrics&) const = default;
};

struct NetworkTrafficMetrics {
    uint64_t rx = 0;
    uint64_t tx = 0;
    bool enabled = false;

    bool operator==(const NetworkTrafficMetrics&) const = default;
};

struct UpdateNodeMetricsRequest {
    std::optional<std::string> os;
    std::optional<std::string> os_version;
    std::optional<std::string> os_arch;
    std::optional<std::string> rust_version;
    std::optional<std::vector<std::string>> ips;
    std::optional<std::string> quorvel_agent_version;
    std::optional<std::string> quorvel_ui_version;
    // Ordered by the keys' bytes, which is the order the controller receives them in.
    std::optional<std::map<std::string, SuperPeerMetrics>> super_peers;
    std::optional<std::map<std::string, NetworkTrafficMetrics>> networks;
    std::optional<std::string> error_logs;

    bool operator==(const UpdateNodeMetricsRequest&) const = default;
};

nlohmann::ordered_json to_json(const SuperPeerMetrics& metrics);
nlohmann::ordered_json to_json(const NetworkTrafficMetrics& metrics);
nlohmann::ordered_json to_json(const UpdateNodeMetricsRequest& request);

// The compact JSON text of a JSON value: no blank or line break between tokens, "/" and
// non-ASCII characters as they are, control characters escaped, and bytes that are not UTF-8
// replaced by U+FFFD instead of failing.
std::string to_compact_json(const nlohmann::ordered_json& value);

// "UpdateNodeMetricsRequest { os: Some(\"iOS\"), os_version: None, ... }", fields in
// declaration order.
std::string debug(const UpdateNodeMetricsRequest& request);

}  // namespace quorvel::controller_api::request::metrics
