#include "agent/status/network_status.h"

#include <algorithm>
#include <vector>

#include "agent/status/text_lines.h"
#include "util/debug_text.h"
#include "util/shown_text.h"

namespace quorvel::agent {

namespace {

using Health = network::NetworkHealth;

// An error text as the report shows it: credentials hidden, control characters escaped, so the
// text stays on its line. What came from outside entered the error through `outside_text`, which
// masked it; masking again changes nothing there and hides a URL's password in a text a host or a
// component gave.
std::string shown_value(std::string_view text) {
    return shown(mask_credentials(text));
}

// A network's name from its document, as the log shows it too: outside text (`outside_text`),
// bounded and masked, then shown.
std::string shown_name(std::string_view name) {
    return shown(outside_text(name));
}

// The health's debug form, its error text masked as it came, before quoting escapes it.
std::string health_text(const Health& health) {
    switch (health.kind()) {
        case Health::Kind::RetrieveConfigError:
            return Health::retrieve_config_error(mask_credentials(health.text())).debug();
        case Health::Kind::InvalidConfigError:
            return Health::invalid_config_error(mask_credentials(health.text())).debug();
        default:
            return health.debug();
    }
}

std::string table_text(const network::EffectiveAccessRuleList& list) {
    return list.to_string();
}

std::string table_text(const network::EffectiveRoutingList& list) {
    return list.to_string();
}

// Host names come from network documents: each is escaped before the table is laid out, so that
// a name holding a line feed stays in its row.
std::string table_text(const network::HostnameList& list) {
    network::HostnameList shown_list;
    for (const auto& [ip, name] : list) {
        shown_list.hosts.emplace(ip, shown(name));
    }
    return shown_list.to_string();
}

// One network per line, by address and then prefix length.
std::string table_text(const network::EffectiveForwardingList& list) {
    std::vector<Ipv4Net> sorted(list.networks.begin(), list.networks.end());
    std::sort(sorted.begin(), sorted.end(), [](const Ipv4Net& a, const Ipv4Net& b) {
        return a.network() != b.network() ? a.network() < b.network()
                                          : a.prefix_len() < b.prefix_len();
    });
    std::string out;
    for (const Ipv4Net& net : sorted) {
        out += net.to_string();
        out += '\n';
    }
    return out;
}

template <class List>
void append_applied_list(std::string& out, const network::AppliedStatus<List>& status,
                         std::string_view indent) {
    if (!status.applied || status.applied->empty()) {
        out += indent;
        out += status.applied ? "Empty" : "None";
        if (status.error) {
            out += " (Error: " + shown_value(*status.error) + ")";
        }
        out += '\n';
        return;
    }
    append_shown_lines(out, table_text(*status.applied), indent);
    if (status.error) {
        out += indent;
        out += "Error: " + shown_value(*status.error) + "\n";
    }
}

template <class List>
void append_list_block(std::string& out, std::string_view label,
                       const network::AppliedStatus<List>& current,
                       const network::AppliedStatus<List>& desired) {
    out += label;
    out += ":\n";
    if (current == desired) {
        append_applied_list(out, current, "  ");
        return;
    }
    out += "  Current:\n";
    append_applied_list(out, current, "    ");
    out += "  Desired:\n";
    append_applied_list(out, desired, "    ");
}

// The address the network's DNS server answers on: the broadcast address of the tunnel network
// minus one, never below 0.0.0.0.
Ipv4Addr dns_address(const Ipv4Net& tunnel) {
    const uint32_t broadcast = tunnel.broadcast().to_u32();
    return Ipv4Addr(broadcast == 0 ? 0 : broadcast - 1);
}

}  // namespace

NetworkStatus::NetworkStatus(const network::Network& network)
    : name(network.name),
      disabled(network.disabled),
      health(network.health),
      current_state(network.current_state),
      desired_state(network.desired_state) {}

std::string NetworkStatus::status_text() const {
    const Health::Kind kind = health.kind();
    if (disabled && kind != Health::Kind::Disabled) {
        return "Disabling...";
    }
    if (!disabled && kind == Health::Kind::Disabled) {
        return "Enabling...";
    }
    switch (kind) {
        case Health::Kind::Initializing:
            return "Initializing...";
        case Health::Kind::Disabled:
            return "Disabled";
        case Health::Kind::Ok:
            return "Ok";
        case Health::Kind::Pending:
            return "Pending";
        case Health::Kind::RetrieveConfigError:
        case Health::Kind::InvalidConfigError:
            return "Config Error - " + shown_value(health.text());
        case Health::Kind::NotAMemberError:
            return "Error - Not a Member";
    }
    return "Initializing...";
}

bool NetworkStatus::is_controller_managed(const Url& url) {
    return url.scheme() == "controller";
}

std::string NetworkStatus::to_string() const {
    std::string out = "Name: " + (name ? shown_name(*name) : std::string("None")) + "\n";
    out += disabled ? "Disabled: true\n" : "Disabled: false\n";
    out += "Status: " + health_text(health) + "\n";

    // An applied address shows with the error of its last attempt.
    if (current_state.ip == desired_state.ip) {
        out += "IP: " + shown_value(current_state.ip.to_string()) + "\n";
    } else {
        out += "IP:\n  Current: " + shown_value(current_state.ip.to_string()) + "\n";
        out += "  Desired: " + shown_value(desired_state.ip.to_string()) + "\n";
    }
    append_list_block(out, "Access Rules", current_state.access_rules, desired_state.access_rules);
    append_list_block(out, "Routes", current_state.routes, desired_state.routes);
    append_list_block(out, "Forwardings", current_state.forwardings, desired_state.forwardings);
    append_list_block(out, "Hostnames", current_state.hostnames, desired_state.hostnames);

    const auto& hostnames = current_state.hostnames.applied;
    const auto& ip = current_state.ip.applied;
    if (hostnames && !hostnames->empty() && ip) {
        out +=
            current_state.hostnames == desired_state.hostnames ? "DNS Server: " : "  DNS Server: ";
        out += dns_address(*ip).to_string() + "\n";
    }
    return out;
}

}  // namespace quorvel::agent
