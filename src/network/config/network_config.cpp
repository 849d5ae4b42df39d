#include "network/config/network_config.h"

#include <algorithm>
#include <cstdint>

#include "util/unicode.h"
#include "util/uuid.h"

namespace quorvel::network {

namespace {

using toml_read::Fields;

Result<Ipv4Addr, std::string> parse_addr(std::string_view text) {
    if (auto addr = Ipv4Addr::parse(text)) {
        return *addr;
    }
    return unexpected(std::string("invalid IPv4 address syntax"));
}

Result<Ipv4Net, std::string> parse_net(std::string_view text) {
    if (auto net = Ipv4Net::parse(text)) {
        return *net;
    }
    return unexpected(std::string("invalid IPv4 network syntax"));
}

Result<p2p::PubKey, std::string> parse_pub_key(std::string_view text) {
    auto key = p2p::PubKey::parse(text);
    if (!key) {
        return unexpected(key.error().to_string());
    }
    return *key;
}

Result<Ipv4Addr, TomlError> read_addr(const toml::node& node) {
    return toml_read::read_from_str(node, "IPv4 address", parse_addr);
}

Result<Ipv4Net, TomlError> read_net(const toml::node& node) {
    return toml_read::read_from_str(node, "IPv4 network address", parse_net);
}

Result<p2p::PubKey, TomlError> read_pub_key(const toml::node& node) {
    return toml_read::read_from_str(node, "a public key", parse_pub_key);
}

Result<boost::uuids::uuid, TomlError> read_uuid(const toml::node& node) {
    return toml_read::read_from_str(node, "a UUID string", parse_uuid);
}

Result<NetworkNode, TomlError> read_node(const toml::node& node) {
    return toml_read::read_struct<NetworkNode>(
        node, "struct NetworkNode", [](Fields& fields, NetworkNode& out) {
            fields.required("pk", out.pk, read_pub_key);
            fields.required("ip", out.ip, read_addr);
            fields.required("hostname", out.hostname, toml_read::read_string);
            fields.defaulted("groups", out.groups, deserialize_groups);
        });
}

Result<NetworkRoute, TomlError> read_route(const toml::node& node) {
    return toml_read::read_struct<NetworkRoute>(
        node, "struct NetworkRoute", [](Fields& fields, NetworkRoute& out) {
            fields.required("dest", out.dest, read_net);
            fields.required("gw", out.gw, read_pub_key);
            fields.defaulted("groups", out.groups, deserialize_groups);
        });
}

Result<NetworkPolicy, TomlError> read_policy(const toml::node& node) {
    return toml_read::read_struct<NetworkPolicy>(
        node, "struct NetworkPolicy", [](Fields& fields, NetworkPolicy& out) {
            fields.required("source_groups", out.source_groups, deserialize_groups);
            fields.required("destination_groups", out.destination_groups, deserialize_groups);
        });
}

// The longest DNS label.
constexpr size_t kMaxHostnameBytes = 63;

// A host name must be one DNS label in its lower-case form.
bool is_valid_hostname(std::string_view lower) {
    if (lower.empty() || lower.size() > kMaxHostnameBytes || lower.front() == '-' ||
        lower.back() == '-') {
        return false;
    }
    return std::all_of(lower.begin(), lower.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    });
}

}  // namespace

size_t NetworkPolicyHash::operator()(const NetworkPolicy& policy) const noexcept {
    // Sets have no order of their own: hash each in sorted order so that equal policies agree.
    auto hash_set = [](const GroupSet& groups, size_t seed) {
        std::vector<std::string_view> sorted(groups.begin(), groups.end());
        std::sort(sorted.begin(), sorted.end());
        for (std::string_view name : sorted) {
            seed ^= std::hash<std::string_view>{}(name) + 0x9e3779b97f4a7c15ULL + (seed << 6) +
                    (seed >> 2);
        }
        // Mark the end of the set, so that names cannot move between the two sets unnoticed.
        return seed * 0xff51afd7ed558ccdULL + sorted.size();
    };
    return hash_set(policy.destination_groups, hash_set(policy.source_groups, 0));
}

Result<GroupSet, TomlError> deserialize_groups(const toml::node& node) {
    GroupSet groups;
    auto read = toml_read::read_sequence(node, toml_read::read_string,
                                         [&](std::string&& name, const toml::node&) {
                                             groups.insert(std::move(name));
                                             return Result<void, TomlError>();
                                         });
    if (!read) {
        return unexpected(std::move(read.error()));
    }
    return groups;
}

Result<NodeMap, TomlError> deserialize_nodes(const toml::node& node) {
    // Every node is read before any duplicate is looked for.
    std::vector<std::pair<NetworkNode, const toml::node*>> read;
    auto all =
        toml_read::read_sequence(node, read_node, [&](NetworkNode&& entry, const toml::node& at) {
            read.emplace_back(std::move(entry), &at);
            return Result<void, TomlError>();
        });
    if (!all) {
        return unexpected(std::move(all.error()));
    }

    NodeMap nodes;
    std::unordered_set<Ipv4Addr> addresses;
    std::unordered_set<std::string> hostnames;
    for (auto& [entry, at] : read) {
        if (nodes.contains(entry.pk)) {
            return unexpected(
                toml_read::custom("duplicate public key: " + entry.pk.to_string(), *at));
        }
        if (!addresses.insert(entry.ip).second) {
            return unexpected(
                toml_read::custom("duplicate IP address: " + entry.ip.to_string(), *at));
        }
        if (!hostnames.insert(unicode_to_lower(entry.hostname)).second) {
            return unexpected(toml_read::custom("duplicate hostname: " + entry.hostname, *at));
        }
        const p2p::PubKey key = entry.pk;
        nodes.emplace(key, std::move(entry));
    }
    return nodes;
}

Result<RouteMap, TomlError> deserialize_routes(const toml::node& node) {
    // As with nodes, a malformed route anywhere in the array is reported ahead of a repeated
    // destination.
    std::vector<std::pair<NetworkRoute, const toml::node*>> read;
    auto all =
        toml_read::read_sequence(node, read_route, [&](NetworkRoute&& route, const toml::node& at) {
            read.emplace_back(std::move(route), &at);
            return Result<void, TomlError>();
        });
    if (!all) {
        return unexpected(std::move(all.error()));
    }

    RouteMap routes;
    for (auto& [route, at] : read) {
        const Ipv4Net dest = route.dest;
        if (!routes.emplace(dest, std::move(route)).second) {
            return unexpected(
                toml_read::custom("duplicate route destination: " + dest.to_string(), *at));
        }
    }
    return routes;
}

Result<PolicySet, TomlError> deserialize_policies(const toml::node& node) {
    PolicySet policies;
    auto read =
        toml_read::read_sequence(node, read_policy, [&](NetworkPolicy&& policy, const toml::node&) {
            policies.insert(std::move(policy));
            return Result<void, TomlError>();
        });
    if (!read) {
        return unexpected(std::move(read.error()));
    }
    return policies;
}

Result<NetworkConfig, TomlError> NetworkConfig::deserialize(const toml::node& node) {
    return toml_read::read_struct<NetworkConfig>(
        node, "struct NetworkConfig", [](Fields& fields, NetworkConfig& out) {
            fields.optional("id", out.id, read_uuid);
            fields.required("network", out.network, read_net);
            fields.optional("name", out.name, toml_read::read_string);
            fields.defaulted("node", out.nodes, deserialize_nodes);
            fields.defaulted("route", out.routes, deserialize_routes);
            fields.defaulted("policy", out.policies, deserialize_policies);
        });
}

Result<void, ConfigError> NetworkConfig::validate() const {
    const NetworkConfig& config = *this;
    // The embedded DNS server takes the address below the broadcast address in every network.
    const Ipv4Addr reserved(config.network.broadcast().to_u32() - uint32_t{1});
    for (const auto& [pk, node] : config.nodes) {
        if (!config.network.contains(node.ip)) {
            return unexpected(ConfigError(ConfigError::IpNotInNetwork{node.ip, config.network}));
        }
        if (node.ip == reserved) {
            return unexpected(ConfigError(ConfigError::ReservedIp{node.ip}));
        }
        // A label's lower case holds at least a byte for each character of at most four: a longer
        // name fails without being lowered whole.
        if (node.hostname.size() > 4 * kMaxHostnameBytes ||
            !is_valid_hostname(unicode_to_lower(node.hostname))) {
            return unexpected(ConfigError(ConfigError::InvalidHostname{node.hostname}));
        }
    }
    for (const auto& [dest, route] : config.routes) {
        if (dest.addr() != dest.network()) {
            return unexpected(ConfigError(ConfigError::HostAddress{dest}));
        }
        if (!config.nodes.contains(route.gw)) {
            return unexpected(ConfigError(ConfigError::GatewayNotFound{route.gw}));
        }
    }
    return {};
}

Result<NetworkConfig, ConfigError> NetworkConfig::try_from(std::string_view text) {
    auto root = parse_toml(text);
    if (!root) {
        return unexpected(ConfigError(ConfigError::TomlDeserialization{std::move(root.error())}));
    }
    auto config = deserialize(*root);
    if (!config) {
        return unexpected(ConfigError(ConfigError::TomlDeserialization{std::move(config.error())}));
    }
    if (auto valid = config->validate(); !valid) {
        return unexpected(std::move(valid.error()));
    }
    return std::move(*config);
}

Result<MultiNetworkConfig, TomlError> MultiNetworkConfig::deserialize(const toml::node& node) {
    auto read_list = [](const toml::node& value) -> Result<std::vector<NetworkConfig>, TomlError> {
        std::vector<NetworkConfig> list;
        auto read = toml_read::read_sequence(value, NetworkConfig::deserialize,
                                             [&](NetworkConfig&& config, const toml::node&) {
                                                 list.push_back(std::move(config));
                                                 return Result<void, TomlError>();
                                             });
        if (!read) {
            return unexpected(std::move(read.error()));
        }
        return list;
    };
    return toml_read::read_struct<MultiNetworkConfig>(
        node, "struct MultiNetworkConfig", [&](Fields& fields, MultiNetworkConfig& out) {
            fields.required("network", out.network, read_list);
        });
}

Result<MultiNetworkConfig, TomlError> MultiNetworkConfig::from_toml(std::string_view text) {
    auto root = parse_toml(text);
    if (!root) {
        return unexpected(std::move(root.error()));
    }
    return deserialize(*root);
}

}  // namespace quorvel::network
