#include "agent/status/peer_status.h"

#include <algorithm>
#include <iterator>
#include <vector>

#include <fmt/format.h>

#include "agent/status/text_lines.h"
#include "util/debug_text.h"
#include "util/shown_text.h"

namespace quorvel::agent {

namespace {

void append_millis(std::string& out, uint64_t micros) {
    fmt::format_to(std::back_inserter(out), "{:.3f}", static_cast<double>(micros) / 1000.0);
}

// The samples' median in whole microseconds: the middle one, or the mean of the two middle ones
// rounded down.
uint64_t median_micros(std::vector<uint64_t> samples) {
    std::sort(samples.begin(), samples.end());
    const size_t mid = samples.size() / 2;
    if (samples.size() % 2 == 1) {
        return samples[mid];
    }
    // Sorted, so the difference cannot wrap; the sum could.
    return samples[mid - 1] + (samples[mid] - samples[mid - 1]) / 2;
}

std::string format_path(const p2p::PeerPath& path, const NowFn& now) {
    std::string out = "Unanswered HELLO Since: ";
    if (path.unanswered_hello_since) {
        out += time_ago_in_words(*path.unanswered_hello_since, read_now(now));
    } else {
        out += "No unanswered HELLO";
    }
    out += "\nLast ACK Time: ";
    if (path.last_ack_time) {
        out += time_ago_in_words(*path.last_ack_time, read_now(now));
        out += " ago";
    } else {
        out += "Never";
    }
    out += "\nLatencies:";
    if (path.latencies.empty()) {
        out += "\n  Median Latency: None";
    } else {
        const char* separator = " ";
        for (uint64_t sample : path.latencies) {
            out += separator;
            append_millis(out, sample);
            separator = " ms, ";
        }
        out += " ms\n  Median Latency: ";
        append_millis(out, median_micros({path.latencies.begin(), path.latencies.end()}));
        out += " ms";
    }
    fmt::format_to(std::back_inserter(out), "\n[Reachable: {}]",
                   path.is_reachable(read_now(now), kPathReachableWindowMs));
    return out;
}

void append_reachable(std::string& out, bool reachable) {
    fmt::format_to(std::back_inserter(out), "[Reachable: {}]\n", reachable);
}

// "<label>: <elapsed> ago", or "<label>: Never".
void append_age_line(std::string& out, std::string_view label,
                     const std::optional<p2p::Instant>& at, const NowFn& now) {
    out += label;
    out += ": ";
    out += at ? time_ago_in_words(*at, read_now(now)) + " ago" : std::string("Never");
    out += '\n';
}

template <class Key>
void append_best(std::string& out, std::string_view label, const std::deque<Key>& order) {
    out += label;
    out += order.empty() ? std::string("None") : order.front().to_string();
    out += '\n';
}

// Byte-wise order of the key texts; a text that is a prefix of another comes first.
bool by_key_text(const std::pair<std::string, const p2p::PeerPath*>& a,
                 const std::pair<std::string, const p2p::PeerPath*>& b) {
    return a.first < b.first;
}

}  // namespace

std::string format_sp_path(const p2p::PeerPath& path, const NowFn& now) {
    return format_path(path, now);
}

std::string format_np_path(const p2p::PeerPath& path, const NowFn& now) {
    return format_path(path, now);
}

std::string SuperPeerStatus::to_string_with_secrets(bool /*with_secrets*/, const NowFn& now) const {
    // The address as configured: the text of a super-peer entry, which the host may have set.
    std::string out = "Address: " + shown(stats.address) + "\n";
    if (!stats.resolved_addrs) {
        out += "Resolved Addresses: None\n";
    } else {
        out += "Resolved Addresses:\n";
        for (const auto& addr : *stats.resolved_addrs) {
            out += "  " + p2p::socket_addr_to_string(addr) + "\n";
        }
    }
    fmt::format_to(std::back_inserter(out), "TCP:\n  Port: {}\n", stats.tcp_port);
    if (!stats.tcp_path) {
        out += "  Connection: Not present\n";
    } else {
        const p2p::PeerPath& tcp = *stats.tcp_path;
        if (!tcp.unanswered_hello_since && !tcp.last_ack_time) {
            out += "  Connection: Establishing\n";
        } else {
            out += "  Connection: Established (" +
                   (stats.tcp_path_key ? stats.tcp_path_key->to_string() : std::string("None")) +
                   ")\n";
        }
        append_lines(out, format_sp_path(tcp, now), "  ");
    }
    out += "UDP:\n";
    append_best(out, "  Best Path: ", stats.udp_path_order);
    out += "  Paths:\n";
    for (const auto& key : stats.udp_path_order) {
        auto path = stats.udp_paths.find(key);
        if (path == stats.udp_paths.end()) {
            continue;
        }
        out += "    " + key.to_string() + ":\n";
        append_lines(out, format_sp_path(path->second, now), "      ");
    }
    append_reachable(out, stats.reachable);
    return out;
}

std::string NodePeerStatus::to_string_with_secrets(bool /*with_secrets*/, const NowFn& now) const {
    std::string out;
    fmt::format_to(std::back_inserter(out), "PoW State: {}\nProtocol Version 2 Supported: {}\n",
                   p2p::pow_status_name(stats.pow_status), stats.protocol_v2_supported);
    out += "Created At: " + time_ago_in_words(stats.created_at, read_now(now)) + " ago\n";
    append_age_line(out, "APP TX", stats.app_tx, now);
    append_age_line(out, "APP RX", stats.app_rx, now);

    append_best(out, "Best Direct Path: ", stats.direct_path_order);
    if (stats.direct_paths.empty()) {
        out += "Direct Paths: None\n";
    } else {
        out += "Direct Paths:\n";
        auto append_direct = [&](const std::string& key_text, const p2p::PeerPath& path) {
            out += "  " + key_text + ":\n";
            append_lines(out, format_np_path(path, now), "    ");
        };
        for (const auto& key : stats.direct_path_order) {
            if (auto path = stats.direct_paths.find(key); path != stats.direct_paths.end()) {
                append_direct(key.to_string(), path->second);
            }
        }
        std::vector<std::pair<std::string, const p2p::PeerPath*>> others;
        for (const auto& [key, path] : stats.direct_paths) {
            if (std::find(stats.direct_path_order.begin(), stats.direct_path_order.end(), key) ==
                stats.direct_path_order.end()) {
                others.emplace_back(key.to_string(), &path);
            }
        }
        std::sort(others.begin(), others.end(), by_key_text);
        for (const auto& [key_text, path] : others) {
            append_direct(key_text, *path);
        }
    }

    append_best(out, "Best Relay Path: ", stats.relay_path_order);
    if (stats.relay_paths.empty()) {
        out += "Relay Paths: None\n";
    } else {
        out += "Relay Paths:\n";
        std::vector<std::pair<std::string, const p2p::PeerPath*>> relays;
        for (const auto& [super_peer, path] : stats.relay_paths) {
            relays.emplace_back(super_peer.to_string(), &path);
        }
        std::sort(relays.begin(), relays.end(), by_key_text);
        for (const auto& [key_text, path] : relays) {
            out += "  Super Peer " + key_text + ":\n";
            append_lines(out, format_np_path(*path, now), "    ");
        }
    }

    out += "TX Short ID: " +
           (stats.tx_short_id ? stats.tx_short_id->to_string() : std::string("None")) + "\n";
    out += "RX Short ID: " + stats.rx_short_id.to_string() + "\n";
    append_reachable(out, stats.reachable);
    return out;
}

}  // namespace quorvel::agent
