// The error of the agent's own operations: configuration loading and saving, network retrieval
// and validation, start-up, network-list editing and controller unlinking. Lower-layer errors are
// wrapped as values. The order of the variants is fixed: the C interface maps each position to
// its own result code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include <fmt/format.h>

#include "network/config/config_error.h"
#include "p2p/identity.h"
#include "p2p/node_error.h"
#include "util/io_error.h"
#include "util/toml_read.h"
#include "util/url.h"

namespace quorvel::agent {

class Error {
  public:
    // The HTTP client's error text.
    struct Http {
        std::string message;
        bool operator==(const Http&) const = default;
    };
    // The failure of turning a byte buffer into UTF-8 text.
    struct Utf8 {
        std::string message;
        bool operator==(const Utf8&) const = default;
    };
    struct Io {
        IoError error;
        bool operator==(const Io&) const = default;
    };
    struct Toml {
        TomlError error;
        bool operator==(const Toml&) const = default;
    };
    struct UrlParse {
        UrlError error;
        bool operator==(const UrlParse&) const = default;
    };
    struct Network {
        network::ConfigError error;
        bool operator==(const Network&) const = default;
    };
    struct Identity {
        p2p::identity::Error error;
        bool operator==(const Identity&) const = default;
    };
    struct Node {
        p2p::node::Error error;
        bool operator==(const Node&) const = default;
    };
    struct TomlSerialization {
        std::string message;
        bool operator==(const TomlSerialization&) const = default;
    };
    struct ConfigParse {
        std::string msg;
        bool operator==(const ConfigParse&) const = default;
    };
    struct NetworkAlreadyExists {
        std::string network;
        bool operator==(const NetworkAlreadyExists&) const = default;
    };
    struct NetworkNotFound {
        std::string network;
        bool operator==(const NetworkNotFound&) const = default;
    };
    struct ControllerManagedNetwork {
        std::string network;
        bool operator==(const ControllerManagedNetwork&) const = default;
    };
    struct UnsupportedTunCreationPlatform {
        bool operator==(const UnsupportedTunCreationPlatform&) const = default;
    };
    struct NotLoggedIn {
        bool operator==(const NotLoggedIn&) const = default;
    };
    struct ControllerUnlinkFailed {
        uint16_t status;
        std::string body;
        bool operator==(const ControllerUnlinkFailed&) const = default;
    };

    using Variant =
        std::variant<Http, Utf8, Io, Toml, UrlParse, Network, Identity, Node, TomlSerialization,
                     ConfigParse, NetworkAlreadyExists, NetworkNotFound, ControllerManagedNetwork,
                     UnsupportedTunCreationPlatform, NotLoggedIn, ControllerUnlinkFailed>;
    static constexpr size_t kVariantCount = std::variant_size_v<Variant>;

    template <class V>
    requires std::is_constructible_v<Variant, V&&> &&
        (!std::is_same_v<std::decay_t<V>, Error>)Error(V&& v)
        : value_(std::forward<V>(v)) {}

    // The variant's position, 0 to 15.
    size_t index() const { return value_.index(); }
    const Variant& value() const { return value_; }
    template <class V>
    bool is() const {
        return std::holds_alternative<V>(value_);
    }
    template <class V>
    const V* get_if() const {
        return std::get_if<V>(&value_);
    }

    // A fixed prefix ending in ": " followed by the wrapped error's or the payload's own text.
    std::string to_string() const;

    bool operator==(const Error&) const = default;

  private:
    Variant value_;
};

// An error kept by several holders, for example a network's last retrieval result.
using SharedError = std::shared_ptr<const Error>;

}  // namespace quorvel::agent

template <>
struct fmt::formatter<quorvel::agent::Error> : fmt::formatter<std::string_view> {
    auto format(const quorvel::agent::Error& e, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(e.to_string(), ctx);
    }
};
