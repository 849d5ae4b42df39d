// Rendering the status snapshot as the report text.
#include <algorithm>
#include <iterator>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "agent/status/status.h"
#include "agent/status/text_lines.h"
#include "util/debug_text.h"
#include "util/shown_text.h"

namespace quorvel::agent {

namespace {

constexpr std::string_view kOnlyWhenUp = "Information only available when agent is UP";
constexpr std::string_view kMasked = "****";

// One line of the report, as a person is shown it (`append_shown`): names, paths, URLs and error
// texts come from the host, files and servers and may quote the agent's own secrets. The report's
// own text is printable and holds no secret, so showing the whole line shows exactly its values.
template <class... Args>
void line(std::string& out, fmt::format_string<Args...> format, Args&&... args) {
    append_shown(out, fmt::format(format, std::forward<Args>(args)...));
    out += '\n';
}

// A line whose value is one of the agent's secrets when the caller asked to see them: then only
// escaped, otherwise shown as every line is.
template <class... Args>
void secret_line(std::string& out, bool with_secrets, fmt::format_string<Args...> format,
                 Args&&... args) {
    if (!with_secrets) {
        line(out, format, std::forward<Args>(args)...);
        return;
    }
    append_escaping_controls(out, fmt::format(format, std::forward<Args>(args)...));
    out += '\n';
}

// A URL text for the report: credentials masked unless secrets are shown.
std::string url_text(std::string_view text, bool with_secrets) {
    return with_secrets ? std::string(text) : mask_url_text(text);
}

std::string port_text(const p2p::NodeOpts& opts) {
    if (!opts.udp_port) {
        return fmt::format("{} (derived from own public key)", opts.id.pk().udp_port());
    }
    return *opts.udp_port == 0 ? std::string("random") : std::to_string(*opts.udp_port);
}

void append_info(std::string& out, const Status& status) {
    const VersionInfo& v = status.version_info;
    line(out, "Info:");
    line(out, "  Version: {} ({})", v.version, v.full_commit());
    line(out, "  Built: {}", v.build_timestamp);
    line(out, "  Profile: {}", v.profile());
    line(out, "  Features: {}", v.features);
    if (status.update_available) {
        line(out, "  Update Available: {}", *status.update_available);
    }
    if (status.update_status) {
        line(out, "  Update Status: {}",
             *status.update_status == UpdateStatus::Downloading ? "Downloading" : "Installing");
    }
    line(out, "  Agent Status: {}", to_string(status.agent_status));
    out += '\n';
}

void append_config(std::string& out, const Status& status, bool with_secrets) {
    const p2p::NodeOpts& opts = status.node_opts;
    line(out, "Config:");
    line(out, "  Config Path: {}", status.config_path);
    line(out, "  Identity:");
    secret_line(out, with_secrets, "    Secret Key: {}",
                with_secrets ? opts.id.sk().to_string() : std::string(kMasked));
    line(out, "    Public Key: {}", opts.id.pk());
    line(out, "    PoW: {}", opts.id.pow());
    line(out, "  UDP:");
    std::vector<std::string> addrs;
    for (const auto& addr : opts.udp_addrs) {
        addrs.push_back(addr.to_string());
    }
    line(out, "    Addresses: {}", fmt::join(addrs, ", "));
    line(out, "    Port: {}", port_text(opts));
    line(out, "  Arm Messages: {}", opts.arm_messages);
    line(out, "  Max. Peers: {}", opts.max_peers);
    line(out, "  Min. PoW Difficulty: {}", opts.min_pow_difficulty);
    line(out, "  HELLO Timeout: {}", format_duration(opts.hello_timeout));
    line(out, "  HELLO Max. Age: {}", format_duration(opts.hello_max_age));
    line(out, "  Super Peers:");
    for (const auto& url : opts.super_peers) {
        line(out, "    {}", url);
    }
    line(out, "  Network MTU: {}", opts.mtu);
    line(out, "  DNS: {}", status.dns_disabled ? "disabled" : "enabled");
    line(out, "  Process UNITEs: {}", opts.process_unites);
    line(out, "  Housekeeping Interval: {}", format_duration(opts.housekeeping_interval));
    line(out, "  Enforce TCP: {}", opts.enforce_tcp);
    line(out, "  TUN MTU: {}", status.tun_mtu);
}

void append_time_sync(std::string& out, const Status& status, bool connected) {
    line(out, "Time Synchronization:");
    if (!connected) {
        line(out, "  {}", kOnlyWhenUp);
    } else if (!status.time_deviation) {
        line(out, "  Deviation: Unable to determine (SNTP check failed)");
    } else {
        const std::chrono::nanoseconds deviation = *status.time_deviation;
        line(out, "  Deviation: {}", format_duration(deviation));
        if (deviation > kTimeDeviationThreshold) {
            line(out,
                 "  ERROR: System time deviation exceeds threshold ({}s), connectivity with P2P "
                 "network may be lost!",
                 std::chrono::duration_cast<std::chrono::seconds>(deviation).count());
        }
    }
    out += '\n';
}

void append_controller(std::string& out, const ControllerStatus& controller, bool connected,
                       bool with_secrets) {
    line(out, "Controller:");
    secret_line(out, with_secrets, "  URL: {}", url_text(controller.url, with_secrets));
    secret_line(out, with_secrets, "  Auth URL: {}", url_text(controller.auth_url, with_secrets));
    line(out, "  Logged in as: {}", controller.display_login_email.value_or("None"));
    if (!controller.shared_secret) {
        line(out, "  HMAC Auth Shared Secret: None");
    } else {
        secret_line(out, with_secrets, "  HMAC Auth Shared Secret: {}",
                    with_secrets ? *controller.shared_secret : std::string(kMasked));
    }
    if (!connected) {
        line(out, "  Connection Status: {}", kOnlyWhenUp);
    } else {
        line(out, "  Connection Status: {}", controller.connection_status.to_string());
    }
    out += '\n';
}

// One block per peer, by ascending public key: the key, then the peer's own text four spaces in.
template <class PeerStatus>
void append_peers(std::string& out, const std::unordered_map<p2p::PubKey, PeerStatus>& peers,
                  bool with_secrets, const NowFn& now) {
    std::vector<const std::pair<const p2p::PubKey, PeerStatus>*> sorted;
    sorted.reserve(peers.size());
    for (const auto& entry : peers) {
        sorted.push_back(&entry);
    }
    std::sort(sorted.begin(), sorted.end(),
              [](const auto* a, const auto* b) { return a->first < b->first; });
    for (const auto* entry : sorted) {
        line(out, "  {}:", entry->first);
        append_shown_lines(out, entry->second.to_string_with_secrets(with_secrets, now), "    ");
    }
}

void append_networks(std::string& out, const std::unordered_map<Url, NetworkStatus>& networks,
                     bool with_secrets) {
    std::vector<const std::pair<const Url, NetworkStatus>*> sorted;
    sorted.reserve(networks.size());
    for (const auto& entry : networks) {
        sorted.push_back(&entry);
    }
    std::sort(sorted.begin(), sorted.end(),
              [](const auto* a, const auto* b) { return a->first < b->first; });
    for (const auto* entry : sorted) {
        secret_line(out, with_secrets,
                    "  {}:", with_secrets ? entry->first.raw_text() : mask_url(entry->first));
        append_shown_lines(out, entry->second.to_string(), "    ");
    }
}

}  // namespace

std::string_view to_string(AgentStatus status) {
    return status == AgentStatus::CONNECTED ? "CONNECTED" : "DISCONNECTED";
}

std::string Status::to_string_with_secrets(bool with_secrets, const NowFn& now) const {
    const bool connected = agent_status == AgentStatus::CONNECTED;
    std::string out;
    out.reserve(4096);
    append_info(out, *this);
    append_config(out, *this, with_secrets);
    append_time_sync(out, *this, connected);
    append_controller(out, controller, connected, with_secrets);

    line(out, "Default Route: {}", default_route);
    line(out, "Super Peers:");
    if (!connected) {
        line(out, "  {}", kOnlyWhenUp);
    } else {
        append_peers(out, super_peers, with_secrets, now);
    }
    line(out, "Node Peers:");
    if (!connected) {
        line(out, "  {}", kOnlyWhenUp);
    } else {
        append_peers(out, node_peers, with_secrets, now);
    }
    out += '\n';

    line(out, "Networks:");
    if (!connected) {
        line(out, "  {}", kOnlyWhenUp);
    } else {
        append_networks(out, networks, with_secrets);
    }
    return out;
}

}  // namespace quorvel::agent
