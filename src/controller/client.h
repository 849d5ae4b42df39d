// The controller client: the agent's only speaker of the controller's HTTPS protocol. It builds one
// request with the controller's authorisation headers, sends it on an HTTP client of its own (no
// connection outlives the request) and turns the answer into a value or a `controller::Error`.
//
// A client is used by one task at a time and must outlive the operations awaited on it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include <boost/asio/awaitable.hpp>
#include <nlohmann/json.hpp>

#include "controller/error.h"
#include "controller_api/metrics.h"
#include "network/config/network_config.h"
#include "p2p/keys.h"
#include "util/http_client.h"
#include "util/http_status.h"
#include "util/result.h"

namespace quorvel::controller {

// How requests are authorised.
class ControllerAuth {
  public:
    struct None {
        bool operator==(const None&) const = default;
    };
    struct Bearer {
        std::string token;
        bool operator==(const Bearer&) const = default;
    };
    // The controller shared secret as configured: unpadded URL-safe base64, decoded anew for
    // every request.
    struct Hmac {
        std::string shared_secret;
        bool operator==(const Hmac&) const = default;
    };
    using Variant = std::variant<None, Bearer, Hmac>;

    static ControllerAuth none() { return ControllerAuth(None{}); }
    static ControllerAuth bearer(std::string token) {
        return ControllerAuth(Bearer{std::move(token)});
    }
    static ControllerAuth hmac(std::string shared_secret) {
        return ControllerAuth(Hmac{std::move(shared_secret)});
    }

    const Variant& value() const { return value_; }
    bool operator==(const ControllerAuth&) const = default;

  private:
    explicit ControllerAuth(Variant value) : value_(std::move(value)) {}
    Variant value_;
};

// The status and the whole body of an answer, whatever the status.
struct ControllerResponse {
    uint16_t status = 0;
    std::string body;
};

// The HTTP settings of every controller client: 5 seconds for the whole exchange, body
// included; no idle connection kept; at most 5 redirects; bodies above the HTTP client's cap
// refused.
HttpClientOptions controller_http_options();

// "sha256:32:hmac:" and the MAC in unpadded URL-safe base64 (43 characters).
std::string encode_hmac_sha256_tag(const std::array<uint8_t, 32>& mac);

// "HMAC-Auth {timestamp}:{tag}" over the controller library's message bytes of `timestamp` and
// `body`, keyed by the decoded shared secret. A secret that does not decode, or a message that
// cannot be formed, fails with RequestBuildFailed: such a request must not be sent.
Result<std::string, Error> build_hmac_auth_header(std::string_view shared_secret,
                                                  std::span<const uint8_t> body, int64_t timestamp);

class ControllerClient {
  public:
    // Builds the client's own HTTP client with `controller_http_options()`. The base URL is kept
    // as given: request URLs are the base URL text followed directly by the path.
    static Result<ControllerClient, Error> create(std::string base_url, ControllerAuth auth,
                                                  std::optional<p2p::PubKey> public_key);
    // The same with other HTTP settings (for example an extra trusted root certificate).
    static Result<ControllerClient, Error> create(std::string base_url, ControllerAuth auth,
                                                  std::optional<p2p::PubKey> public_key,
                                                  HttpClientOptions options);

    const std::string& base_url() const { return base_url_; }
    const ControllerAuth& auth() const { return auth_; }
    const std::optional<p2p::PubKey>& public_key() const { return public_key_; }

    // The request, unsent. Headers in this order: "Connection: close"; "Authorization" when the
    // client authorises; "quorvel-pk" when it has a key; "Accept" when given; one
    // "Content-Type: application/json" when no Accept is given or the body is not empty. A URL
    // or header that the HTTP library refuses fails when the request is sent.
    Result<HttpRequest, Error> build_request(std::string_view method, std::string_view path,
                                             std::string body,
                                             std::optional<std::string> accept) const;

    // The Authorization value for `body`, or none without authorisation.
    Result<std::optional<std::string>, Error> build_auth_header(
        std::span<const uint8_t> body) const;

    // Serialises `record` as compact JSON (when given), builds, sends and reads the whole body.
    // The status is not judged.
    boost::asio::awaitable<Result<ControllerResponse, Error>> request_raw(
        std::string method, std::string path, std::optional<nlohmann::ordered_json> record,
        std::optional<std::string> accept) const;

    // `request_raw` without body and with "Accept: application/toml"; a status outside 200-299
    // fails with ResponseError; the body is then read with `T::from_toml`.
    template <class T>
    boost::asio::awaitable<Result<T, Error>> request_toml(std::string method,
                                                          std::string path) const;

    // `request_raw` without Accept; success for a status from 200 to 299, the body dropped.
    boost::asio::awaitable<Result<void, Error>> request_unit(
        std::string method, std::string path, std::optional<nlohmann::ordered_json> record) const;

    // GET "/nodes/me/networks/config.toml"; needs the node's public key.
    boost::asio::awaitable<Result<network::MultiNetworkConfig, Error>> get_networks_config_toml()
        const;

    // PUT "/nodes/me/metrics" with the record as JSON; needs HMAC authorisation.
    boost::asio::awaitable<Result<void, Error>> upload_metrics(
        controller_api::request::metrics::UpdateNodeMetricsRequest request) const;

  private:
    ControllerClient(std::string base_url, HttpClient client, ControllerAuth auth,
                     std::optional<p2p::PubKey> public_key)
        : base_url_(std::move(base_url)),
          client_(std::move(client)),
          auth_(std::move(auth)),
          public_key_(public_key) {}

    std::string base_url_;
    HttpClient client_;
    ControllerAuth auth_;
    std::optional<p2p::PubKey> public_key_;
};

template <class T>
boost::asio::awaitable<Result<T, Error>> ControllerClient::request_toml(std::string method,
                                                                        std::string path) const {
    auto response = co_await request_raw(std::move(method), std::move(path), std::nullopt,
                                         std::string("application/toml"));
    if (!response) {
        co_return unexpected(std::move(response).error());
    }
    if (!http_status_is_success(response->status)) {
        co_return unexpected(Error::response_error(response->status, std::move(response->body)));
    }
    auto parsed = T::from_toml(response->body);
    if (!parsed) {
        co_return unexpected(Error::response_body_json_failed("Failed to parse TOML response: " +
                                                              parsed.error().to_string()));
    }
    co_return std::move(parsed).value();
}

}  // namespace quorvel::controller
