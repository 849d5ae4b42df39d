// The report's view of one joined network: name, disabled flag, health, and the current and
// desired copies of its applied state. Each part of the state is shown once when both copies
// agree, and as a Current/Desired pair when they differ.
#pragma once

#include <optional>
#include <string>

#include "network/network.h"
#include "util/url.h"

namespace quorvel::agent {

struct NetworkStatus {
    std::optional<std::string> name;
    bool disabled = false;
    network::NetworkHealth health;
    network::AgentState current_state;
    network::AgentState desired_state;

    NetworkStatus() = default;
    // Copies of the network's name, flag, health and both states.
    explicit NetworkStatus(const network::Network& network);

    // One phrase for the network's condition, such as "Ok", "Disabling..." or
    // "Config Error - " and the error text.
    std::string status_text() const;
    // True exactly when the URL's scheme is "controller".
    static bool is_controller_managed(const Url& url);

    // Name, disabled flag, health, tunnel address, access rules, routes, forwardings, host names
    // and, when host names and an address are applied, the DNS server address; every line ends
    // with a line feed.
    std::string to_string() const;

    bool operator==(const NetworkStatus&) const = default;
};

}  // namespace quorvel::agent
