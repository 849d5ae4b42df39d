// The status report: one owned snapshot (`Status`) of everything the report shows, taken either
// from a running agent or from a configuration alone, and its rendering into text. Collecting and
// rendering are apart: the snapshot holds no handle into the agent, and rendering takes no lock.
//
// `agent_status_text` is what the exported C status function runs: collect from the running
// agent, render without secrets.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include <boost/asio/awaitable.hpp>

#include "agent/config/agent_config.h"
#include "agent/config/controller_config.h"
#include "agent/error.h"
#include "agent/status/duration_text.h"
#include "agent/status/login_status.h"
#include "agent/status/network_status.h"
#include "agent/status/peer_status.h"
#include "p2p/keys.h"
#include "p2p/node_opts.h"
#include "util/result.h"
#include "util/url.h"
#include "version_info.h"

namespace quorvel::agent {

class Agent;

inline constexpr std::string_view kStatusTarget = "quorvel_agent::agent::status";

// A deviation of the system clock above this many seconds may cost the P2P connectivity.
inline constexpr std::chrono::seconds kTimeDeviationThreshold{45};

enum class AgentStatus { CONNECTED, DISCONNECTED };

// "CONNECTED" or "DISCONNECTED".
std::string_view to_string(AgentStatus status);

struct ControllerStatus {
    // The configured URLs or the built-in defaults.
    std::string url;
    std::string auth_url;
    std::optional<std::string> display_login_email;
    // Secret: shown only in a report rendered with secrets.
    std::optional<std::string> shared_secret;
    ControllerConnectionStatus connection_status;

    bool operator==(const ControllerStatus&) const = default;
};

struct Status {
    VersionInfo version_info;
    std::optional<std::string> update_available;
    std::optional<UpdateStatus> update_status;
    AgentStatus agent_status = AgentStatus::DISCONNECTED;
    std::string config_path;
    // Holds the node's secret key: rendered masked unless secrets are asked for.
    p2p::NodeOpts node_opts;
    bool dns_disabled = false;
    uint16_t tun_mtu = 0;
    std::optional<std::chrono::nanoseconds> time_deviation;
    ControllerStatus controller;
    p2p::PubKey default_route;
    // The maps carry no order; the report sorts them.
    std::unordered_map<p2p::PubKey, SuperPeerStatus> super_peers;
    std::unordered_map<p2p::PubKey, NodePeerStatus> node_peers;
    std::unordered_map<Url, NetworkStatus> networks;
    // Kept for completeness; the text report does not show it.
    std::optional<LoginStatus> login_status;

    explicit Status(p2p::NodeOpts opts) : node_opts(std::move(opts)) {}

    // Reads the running agent: the node's options, super peers and their statistics, the node
    // peers the firewall holds, and, under the state's read lock taken twice (once for the
    // networks, once for the controller, time and update values), the rest. Never fails; waits
    // while a housekeeping pass holds the state lock. `now` gives the one instant at which the
    // super peers are asked for their statistics.
    static boost::asio::awaitable<Status> from_agent(const Agent& agent, NowFn now = {});

    // The snapshot of an agent that is not running: node options as the configuration and the
    // "QUORVEL_" environment give them, no peers, no networks. A malformed UDP_ADDRS or UDP_PORT
    // value gives no addresses or no port. Fails only when the node options cannot be built
    // ("Failed to build node opts: ...").
    static Result<Status, Error> from_config(const AgentConfig& config, std::string config_path);

    // The report text. Without secrets, the secret key and the shared secret read "****" and
    // credentials in URLs are masked.
    std::string to_string_with_secrets(bool with_secrets, const NowFn& now = {}) const;
};

// The report of a running agent without secrets: what the exported C status function hands the
// host. Await it on the agent's runtime (for instance through `Runtime::block_on` on a thread that
// is not one of the runtime's workers). Always completes with a text.
boost::asio::awaitable<std::string> agent_status_text(const Agent& agent, NowFn now = {});

}  // namespace quorvel::agent
