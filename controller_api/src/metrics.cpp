#include "controller_api/metrics.h"

#include <string_view>

#include <fmt/format.h>

#include "util/debug_text.h"

namespace quorvel::controller_api::request::metrics {

namespace {

template <class T>
nlohmann::ordered_json optional_json(const std::optional<T>& value) {
    if (!value) {
        return nullptr;
    }
    return nlohmann::ordered_json(*value);
}

template <class Record>
nlohmann::ordered_json map_json(const std::optional<std::map<std::string, Record>>& records) {
    if (!records) {
        return nullptr;
    }
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (const auto& [key, record] : *records) {
        object[key] = to_json(record);
    }
    return object;
}

std::string debug_text(const std::optional<std::string>& value) {
    return value ? "Some(" + debug_quoted(*value) + ")" : std::string("None");
}

std::string debug_text(const std::optional<std::vector<std::string>>& values) {
    if (!values) {
        return "None";
    }
    std::string text = "Some([";
    for (size_t i = 0; i < values->size(); ++i) {
        text += (i == 0 ? "" : ", ") + debug_quoted((*values)[i]);
    }
    return text + "])";
}

std::string debug_text(const SuperPeerMetrics& m) {
    return fmt::format("SuperPeerMetrics {{ connected: {}, ping: {}, ipv4: {}, ipv6: {} }}",
                       m.connected, m.ping, m.ipv4, m.ipv6);
}

std::string debug_text(const NetworkTrafficMetrics& m) {
    return fmt::format("NetworkTrafficMetrics {{ rx: {}, tx: {}, enabled: {} }}", m.rx, m.tx,
                       m.enabled);
}

template <class Record>
std::string debug_text(const std::optional<std::map<std::string, Record>>& records) {
    if (!records) {
        return "None";
    }
    std::string text = "Some({";
    bool first = true;
    for (const auto& [key, record] : *records) {
        text += (first ? "" : ", ") + debug_quoted(key) + ": " + debug_text(record);
        first = false;
    }
    return text + "})";
}

}  // namespace

nlohmann::ordered_json to_json(const SuperPeerMetrics& metrics) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    object["connected"] = metrics.connected;
    object["ping"] = metrics.ping;
    object["ipv4"] = metrics.ipv4;
    object["ipv6"] = metrics.ipv6;
    return object;
}

nlohmann::ordered_json to_json(const NetworkTrafficMetrics& metrics) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    object["rx"] = metrics.rx;
    object["tx"] = metrics.tx;
    object["enabled"] = metrics.enabled;
    return object;
}

nlohmann::ordered_json to_json(const UpdateNodeMetricsRequest& request) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    object["os"] = optional_json(request.os);
    object["os_version"] = optional_json(request.os_version);
    object["os_arch"] = optional_json(request.os_arch);
    object["rust_version"] = optional_json(request.rust_version);
    object["ips"] = optional_json(request.ips);
    object["quorvel_agent_version"] = optional_json(request.quorvel_agent_version);
    object["quorvel_ui_version"] = optional_json(request.quorvel_ui_version);
    object["super_peers"] = map_json(request.super_peers);
    object["networks"] = map_json(request.networks);
    object["error_logs"] = optional_json(request.error_logs);
    return object;
}

std::string to_compact_json(const nlohmann::ordered_json& value) {
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string debug(const UpdateNodeMetricsRequest& r) {
    return "UpdateNodeMetricsRequest { os: " + debug_text(r.os) +
           ", os_version: " + debug_text(r.os_version) + ", os_arch: " + debug_text(r.os_arch) +
           ", rust_version: " + debug_text(r.rust_version) + ", ips: " + debug_text(r.ips) +
           ", quorvel_agent_version: " + debug_text(r.quorvel_agent_version) +
           ", quorvel_ui_version: " + debug_text(r.quorvel_ui_version) +
           ", super_peers: " + debug_text(r.super_peers) + ", networks: " + debug_text(r.networks) +
           ", error_logs: " + debug_text(r.error_logs) + " }";
}

}  // namespace quorvel::controller_api::request::metrics
