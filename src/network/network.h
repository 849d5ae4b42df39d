// A joined network: the part the configuration file keeps (URL, disabled flag, name) and the part
// the running agent keeps beside it (health, the latest retrieval of the configuration document,
// and the desired and current applied state).
#pragma once

#include <optional>
#include <string>
#include <utility>

#include <fmt/format.h>

#include "agent/error.h"
#include "network/config/effective.h"
#include "network/config/network_config.h"
#include "util/ipv4.h"
#include "util/result.h"
#include "util/url.h"

namespace quorvel::network {

// A network's condition as shown to the user. Two variants carry the display text of the error
// that caused them.
class NetworkHealth {
  public:
    enum class Kind {
        Initializing = 0,
        Disabled = 1,
        Ok = 2,
        Pending = 3,
        RetrieveConfigError = 4,
        NotAMemberError = 5,
        InvalidConfigError = 6,
    };

    NetworkHealth() = default;
    static NetworkHealth initializing() { return NetworkHealth(Kind::Initializing); }
    static NetworkHealth disabled() { return NetworkHealth(Kind::Disabled); }
    static NetworkHealth ok() { return NetworkHealth(Kind::Ok); }
    static NetworkHealth pending() { return NetworkHealth(Kind::Pending); }
    static NetworkHealth retrieve_config_error(std::string text) {
        return NetworkHealth(Kind::RetrieveConfigError, std::move(text));
    }
    static NetworkHealth not_a_member_error() { return NetworkHealth(Kind::NotAMemberError); }
    static NetworkHealth invalid_config_error(std::string text) {
        return NetworkHealth(Kind::InvalidConfigError, std::move(text));
    }

    Kind kind() const { return kind_; }
    // The error text of the two error variants that carry one; empty for the others.
    const std::string& text() const { return text_; }

    // The variant name, and for the variants with a text "(", the text quoted, ")".
    std::string debug() const;

    bool operator==(const NetworkHealth&) const = default;

  private:
    explicit NetworkHealth(Kind kind, std::string text = {})
        : kind_(kind), text_(std::move(text)) {}

    Kind kind_ = Kind::Initializing;
    std::string text_;
};

// A value that a component applied, with the error of its last attempt to apply it. Lists
// compare equal when they hold the same entries in any order.
template <class T>
struct AppliedStatus {
    std::optional<T> applied;
    std::optional<std::string> error;

    bool is_empty() const { return !applied && !error; }

    // "None", or the value's text, followed by " (Error: e)" when an error is kept.
    std::string to_string() const requires requires(const T& v) { fmt::format("{}", v); }
    {
        std::string text = applied ? fmt::format("{}", *applied) : std::string("None");
        if (error) {
            text += " (Error: " + *error + ")";
        }
        return text;
    }

    bool operator==(const AppliedStatus&) const = default;
};

// What is (or is to be) applied for one network; the desired and the current copy have the same
// shape, and the empty state is the one in which nothing is applied.
struct AgentState {
    AppliedStatus<Ipv4Net> ip;
    AppliedStatus<EffectiveAccessRuleList> access_rules;
    AppliedStatus<EffectiveRoutingList> routes;
    AppliedStatus<EffectiveForwardingList> forwardings;
    AppliedStatus<HostnameList> hostnames;

    bool is_empty() const {
        return ip.is_empty() && access_rules.is_empty() && routes.is_empty() &&
               forwardings.is_empty() && hostnames.is_empty();
    }

    bool operator==(const AgentState&) const = default;
};

// The latest retrieval of a network's configuration document. An error is shared between the
// copies of a network rather than copied.
using ConfigRetrieval = Result<NetworkConfig, agent::SharedError>;

struct Network {
    Url config_url;
    bool disabled = false;
    std::optional<std::string> name;
    NetworkHealth health;
    AgentState desired_state;
    AgentState current_state;
    // Absent before the first retrieval.
    std::optional<ConfigRetrieval> config;

    // A network as read from the file or added by the user: healthy-initialising, nothing
    // applied, nothing retrieved.
    explicit Network(Url url, bool disabled = false, std::optional<std::string> name = {})
        : config_url(std::move(url)), disabled(disabled), name(std::move(name)) {}

    // True exactly when the URL's scheme is "controller".
    bool is_controller_managed() const { return config_url.scheme() == "controller"; }

    // Every field; a retrieval error compares by identity or, failing that, by value.
    bool operator==(const Network& other) const;
};

}  // namespace quorvel::network
