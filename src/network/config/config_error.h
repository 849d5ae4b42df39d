// The errors of reading and checking a network configuration document. Each variant has one fixed
// display text; the TOML reading error is wrapped with its own text.
#pragma once

#include <string>
#include <variant>

#include <fmt/format.h>

#include "p2p/keys.h"
#include "util/ipv4.h"
#include "util/toml_read.h"

namespace quorvel::network {

class ConfigError {
  public:
    // A node's address outside the document's network.
    struct IpNotInNetwork {
        Ipv4Addr ip;
        Ipv4Net network;
        bool operator==(const IpNotInNetwork&) const = default;
    };
    // A gateway key that names no node of the document.
    struct GatewayNotFound {
        p2p::PubKey pk;
        bool operator==(const GatewayNotFound&) const = default;
    };
    // The text is not TOML or does not form a document.
    struct TomlDeserialization {
        TomlError error;
        bool operator==(const TomlDeserialization&) const = default;
    };
    // Two derived access rules with the same direction, source and destination.
    struct DuplicateRoute {
        bool operator==(const DuplicateRoute&) const = default;
    };
    // A node on the address the embedded DNS server takes.
    struct ReservedIp {
        Ipv4Addr ip;
        bool operator==(const ReservedIp&) const = default;
    };
    // A host name that is not a single DNS label; kept as written.
    struct InvalidHostname {
        std::string hostname;
        bool operator==(const InvalidHostname&) const = default;
    };
    // A route destination with host bits set.
    struct HostAddress {
        Ipv4Net network;
        bool operator==(const HostAddress&) const = default;
    };

    using Variant = std::variant<IpNotInNetwork, GatewayNotFound, TomlDeserialization,
                                 DuplicateRoute, ReservedIp, InvalidHostname, HostAddress>;

    template <class V>
    requires std::is_constructible_v<Variant, V&&> ConfigError(V&& v)
        : value_(std::forward<V>(v)) {}

    const Variant& value() const { return value_; }
    template <class V>
    bool is() const {
        return std::holds_alternative<V>(value_);
    }
    template <class V>
    const V* get_if() const {
        return std::get_if<V>(&value_);
    }

    std::string to_string() const;

    bool operator==(const ConfigError&) const = default;

  private:
    Variant value_;
};

}  // namespace quorvel::network

template <>
struct fmt::formatter<quorvel::network::ConfigError> : fmt::formatter<std::string_view> {
    auto format(const quorvel::network::ConfigError& e, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(e.to_string(), ctx);
    }
};
