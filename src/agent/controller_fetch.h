// The controller synchronisation of a housekeeping pass: the fetch of the node's network list from
// the controller and the classification of its failures. The pass acts on the result: it merges
// the networks, or removes the controller-managed networks on an authorisation failure, or keeps
// them on any other failure.
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <variant>

#include <boost/asio/awaitable.hpp>

#include "agent/error.h"
#include "controller/error.h"
#include "network/config/network_config.h"
#include "p2p/keys.h"
#include "util/http_client.h"
#include "util/result.h"
#include "util/url.h"

namespace quorvel::agent {

class AgentInner;

inline constexpr std::string_view kControllerFetchTarget = "quorvel_agent::agent::controller_fetch";

// The controller's networks by their "controller://{id}" URL, as read (not validated).
using ControllerNetworks = std::unordered_map<Url, network::NetworkConfig>;

class ControllerFetchResult {
  public:
    // The controller answered with a readable list; every listed network is here.
    struct Networks {
        ControllerNetworks networks;
        bool operator==(const Networks&) const = default;
    };
    // The controller refused the node's credentials: the controller-managed networks go.
    struct AuthError {
        std::string text;
        bool operator==(const AuthError&) const = default;
    };
    // The controller answered 404: the networks stay.
    struct NotFound {
        std::string text;
        bool operator==(const NotFound&) const = default;
    };
    // Any other failure: the networks stay.
    struct ConnectionError {
        bool operator==(const ConnectionError&) const = default;
    };
    using Variant = std::variant<Networks, AuthError, NotFound, ConnectionError>;

    template <class V>
    requires std::is_constructible_v<Variant, V&&> &&
        (!std::is_same_v<std::decay_t<V>, ControllerFetchResult>)ControllerFetchResult(V&& v)
        : value_(std::forward<V>(v)) {}

    const Variant& value() const& { return value_; }
    Variant& value() & { return value_; }
    Variant&& value() && { return std::move(value_); }
    template <class V>
    bool is() const {
        return std::holds_alternative<V>(value_);
    }
    template <class V>
    const V* get_if() const {
        return std::get_if<V>(&value_);
    }
    template <class V>
    V* get_if() {
        return std::get_if<V>(&value_);
    }

    bool operator==(const ControllerFetchResult&) const = default;

  private:
    Variant value_;
};

// Fetches the node's network list with HMAC authorisation by `shared_secret`, the node's own key
// in "quorvel-pk". Fails only when the answer was read but an entry is unusable (no id, or an id
// that makes no URL); every failure of the exchange is classified instead.
boost::asio::awaitable<Result<ControllerFetchResult, Error>> fetch_controller_networks(
    std::shared_ptr<AgentInner> self, std::string controller_url, std::string shared_secret);

// The same for a node key, on a controller client built with `options`.
boost::asio::awaitable<Result<ControllerFetchResult, Error>> fetch_controller_networks(
    p2p::PubKey public_key, std::string controller_url, std::string shared_secret,
    HttpClientOptions options);

// The listed networks by "controller://{id}", a later entry replacing an earlier one of the same
// id. An entry without id, or whose id makes no URL, fails the whole list.
Result<ControllerNetworks, Error> controller_networks_from_list(network::MultiNetworkConfig list);

// AuthenticationFailed, 401 and 403: AuthError; 404: NotFound; anything else: ConnectionError.
// Each case logs its trace line.
ControllerFetchResult handle_controller_error(controller::Error error);

}  // namespace quorvel::agent
