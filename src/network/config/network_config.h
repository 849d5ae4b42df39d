// A network's configuration document: the overlay subnet, its member nodes, routes and group
// policies, read from TOML text. Documents are built whole or not at all and are never modified
// afterwards; holders keep them by value.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <toml++/toml.h>
#include <boost/uuid/uuid.hpp>

#include "network/config/config_error.h"
#include "network/config/effective.h"
#include "p2p/keys.h"
#include "util/ipv4.h"
#include "util/result.h"
#include "util/toml_read.h"

namespace quorvel::network {

// Group names as written: compared exactly, case-sensitive, each kept once.
using GroupSet = std::unordered_set<std::string>;

struct NetworkNode {
    p2p::PubKey pk;
    Ipv4Addr ip;
    // In the case in which it was written; uniqueness and validity go by its lower-case form.
    std::string hostname;
    GroupSet groups;

    bool operator==(const NetworkNode&) const = default;
};

struct NetworkRoute {
    // Exactly as written, host bits included.
    Ipv4Net dest;
    p2p::PubKey gw;
    GroupSet groups;

    bool operator==(const NetworkRoute&) const = default;
};

// Equal when both group sets are equal, whatever order the names were listed in.
struct NetworkPolicy {
    GroupSet source_groups;
    GroupSet destination_groups;

    bool operator==(const NetworkPolicy&) const = default;
};

struct NetworkPolicyHash {
    size_t operator()(const NetworkPolicy& policy) const noexcept;
};

using NodeMap = std::unordered_map<p2p::PubKey, NetworkNode>;
using RouteMap = std::unordered_map<Ipv4Net, NetworkRoute>;
using PolicySet = std::unordered_set<NetworkPolicy, NetworkPolicyHash>;

struct NetworkConfig {
    std::optional<boost::uuids::uuid> id;
    // Exactly as written, host bits included.
    Ipv4Net network;
    std::optional<std::string> name;
    NodeMap nodes;
    RouteMap routes;
    PolicySet policies;

    // Reads and validates a whole document.
    static Result<NetworkConfig, ConfigError> try_from(std::string_view text);
    // Reads one document table without validating it; the failures are TOML reading errors.
    static Result<NetworkConfig, TomlError> deserialize(const toml::node& node);
    // The checks `try_from` makes after reading: node addresses inside the network and off the
    // DNS server's address, host names that are one DNS label, route destinations without host
    // bits and gateways that are nodes. The first failing check is the error.
    Result<void, ConfigError> validate() const;

    NetworkConfig clone() const { return *this; }

    // What the node keyed `local` derives for itself (see effective.h). The access rules and the
    // routes expect `local` to name a node of the document; for a key that names none they are
    // empty.
    std::optional<Ipv4Addr> ip(const p2p::PubKey& pk) const;
    GroupIndex groups() const;
    // True when a policy links the two nodes, and always for a key with itself. Symmetric.
    bool matching_policy(const p2p::PubKey& a, const p2p::PubKey& b) const;
    // Fails with DuplicateRoute when two derived rules share direction, source and destination.
    Result<EffectiveAccessRuleList, ConfigError> effective_access_rule_list(
        const p2p::PubKey& local) const;
    // Fails with GatewayNotFound for a route the local node installs whose gateway is no node.
    Result<EffectiveRoutingList, ConfigError> effective_routing_list(
        const p2p::PubKey& local) const;
    EffectiveForwardingList effective_forwarding_list(const p2p::PubKey& local) const;
    HostnameList hostnames(const p2p::PubKey& local) const;

    bool operator==(const NetworkConfig&) const = default;
};

// The controller's list of documents, in document order. Its entries are read but not validated.
struct MultiNetworkConfig {
    std::vector<NetworkConfig> network;

    static Result<MultiNetworkConfig, TomlError> from_toml(std::string_view text);
    static Result<MultiNetworkConfig, TomlError> deserialize(const toml::node& node);

    bool operator==(const MultiNetworkConfig&) const = default;
};

// The collection readers of a document table, each given the value of one key.
Result<NodeMap, TomlError> deserialize_nodes(const toml::node& node);
Result<RouteMap, TomlError> deserialize_routes(const toml::node& node);
Result<PolicySet, TomlError> deserialize_policies(const toml::node& node);
Result<GroupSet, TomlError> deserialize_groups(const toml::node& node);

}  // namespace quorvel::network
