#include "controller/client.h"

#include <chrono>
#include <exception>

#include "controller/base64url.h"
#include "controller_api/node_hmac.h"
#include "p2p/crypto.h"
#include "util/log.h"
#include "util/url.h"

namespace quorvel::controller {

namespace {

constexpr std::string_view kTarget = "quorvel_agent::controller::client";

int64_t unix_seconds_now() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::span<const uint8_t> as_bytes(std::string_view text) {
    return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

}  // namespace

HttpClientOptions controller_http_options() {
    using namespace std::chrono_literals;
    return HttpClientOptions{.pool_max_idle_per_host = 0, .timeout = 5000ms, .max_redirects = 5};
}

std::string encode_hmac_sha256_tag(const std::array<uint8_t, 32>& mac) {
    return "sha256:32:hmac:" + base64url_encode(mac);
}

Result<std::string, Error> build_hmac_auth_header(std::string_view shared_secret,
                                                  std::span<const uint8_t> body,
                                                  int64_t timestamp) {
    auto key = base64url_decode(shared_secret);
    if (!key) {
        return unexpected(
            Error::request_build_failed("Shared secret is not valid unpadded URL-safe base64"));
    }
    auto message = controller_api::utils::node_hmac_message_bytes(timestamp, body);
    if (!message) {
        return unexpected(Error::request_build_failed("Failed to form the HMAC message"));
    }
    auto mac = p2p::crypto::hmac_sha256(*key, *message);
    return "HMAC-Auth " + std::to_string(timestamp) + ":" + encode_hmac_sha256_tag(mac);
}

Result<ControllerClient, Error> ControllerClient::create(std::string base_url, ControllerAuth auth,
                                                         std::optional<p2p::PubKey> public_key) {
    return create(std::move(base_url), std::move(auth), public_key, controller_http_options());
}

Result<ControllerClient, Error> ControllerClient::create(std::string base_url, ControllerAuth auth,
                                                         std::optional<p2p::PubKey> public_key,
                                                         HttpClientOptions options) {
    auto client = HttpClient::build(std::move(options));
    if (!client) {
        return unexpected(
            Error::client_build_failed("Failed to create HTTP client: " + client.error().message));
    }
    return ControllerClient(std::move(base_url), std::move(client).value(), std::move(auth),
                            public_key);
}

Result<std::optional<std::string>, Error> ControllerClient::build_auth_header(
    std::span<const uint8_t> body) const {
    struct Visitor {
        std::span<const uint8_t> body;
        Result<std::optional<std::string>, Error> operator()(const ControllerAuth::None&) const {
            return std::optional<std::string>();
        }
        Result<std::optional<std::string>, Error> operator()(
            const ControllerAuth::Bearer& bearer) const {
            return std::optional<std::string>("Bearer " + bearer.token);
        }
        Result<std::optional<std::string>, Error> operator()(
            const ControllerAuth::Hmac& hmac) const {
            auto value = build_hmac_auth_header(hmac.shared_secret, body, unix_seconds_now());
            if (!value) {
                return unexpected(std::move(value).error());
            }
            return std::optional<std::string>(std::move(value).value());
        }
    };
    return std::visit(Visitor{body}, auth_.value());
}

Result<HttpRequest, Error> ControllerClient::build_request(
    std::string_view method, std::string_view path, std::string body,
    std::optional<std::string> accept) const {
    HttpRequest request;
    request.method = std::string(method);
    request.url = base_url_ + std::string(path);
    // An upload that a redirect turned into a GET would upload nothing: its 3xx is its answer.
    request.follow_redirects = request.method == "GET" || request.method == "HEAD";
    QV_TRACE(kTarget, "Controller API request: {} {}", request.method, mask_url_text(request.url));
    request.headers.emplace_back("Connection", "close");
    auto authorization = build_auth_header(as_bytes(body));
    if (!authorization) {
        return unexpected(std::move(authorization).error());
    }
    if (*authorization) {
        request.headers.emplace_back("Authorization", std::move(**authorization));
    }
    if (public_key_) {
        request.headers.emplace_back("quorvel-pk", public_key_->to_string());
    }
    // One Content-Type at most: a JSON body, or a request that names no Accept, declares JSON.
    const bool content_type = !accept || !body.empty();
    if (accept) {
        request.headers.emplace_back("Accept", std::move(*accept));
    }
    if (content_type) {
        request.headers.emplace_back("Content-Type", "application/json");
    }
    if (!body.empty()) {
        request.body = std::move(body);
    }
    return request;
}

boost::asio::awaitable<Result<ControllerResponse, Error>> ControllerClient::request_raw(
    std::string method, std::string path, std::optional<nlohmann::ordered_json> record,
    std::optional<std::string> accept) const {
    std::string body;
    if (record) {
        try {
            body = controller_api::request::metrics::to_compact_json(*record);
        } catch (const std::exception& e) {
            co_return unexpected(Error::request_build_failed(
                std::string("Failed to serialize request body: ") + e.what()));
        }
    }
    auto request = build_request(method, path, std::move(body), std::move(accept));
    if (!request) {
        co_return unexpected(std::move(request).error());
    }
    // The HTTP client is a shared handle: this copy keeps it for the whole exchange.
    const HttpClient client = client_;
    auto response = co_await client.execute(std::move(request).value());
    if (!response) {
        const HttpError& error = response.error();
        if (error.in_body) {
            co_return unexpected(
                Error::response_body_read_failed("Failed to read response body: " + error.message));
        }
        co_return unexpected(Error::request_failed("HTTP request failed: " + error.message));
    }
    const auto status = static_cast<uint16_t>(response->status);
    QV_TRACE(kTarget, "Controller API response status: {}", http_status_text(status));
    co_return ControllerResponse{status, response_text(*response)};
}

boost::asio::awaitable<Result<void, Error>> ControllerClient::request_unit(
    std::string method, std::string path, std::optional<nlohmann::ordered_json> record) const {
    auto response =
        co_await request_raw(std::move(method), std::move(path), std::move(record), std::nullopt);
    if (!response) {
        co_return unexpected(std::move(response).error());
    }
    if (!http_status_is_success(response->status)) {
        co_return unexpected(Error::response_error(response->status, std::move(response->body)));
    }
    co_return Result<void, Error>();
}

boost::asio::awaitable<Result<network::MultiNetworkConfig, Error>>
ControllerClient::get_networks_config_toml() const {
    if (!public_key_) {
        co_return unexpected(Error::request_build_failed(
            "get_networks_config_toml requires node public key to be set"));
    }
    co_return co_await request_toml<network::MultiNetworkConfig>("GET",
                                                                 "/nodes/me/networks/config.toml");
}

boost::asio::awaitable<Result<void, Error>> ControllerClient::upload_metrics(
    controller_api::request::metrics::UpdateNodeMetricsRequest request) const {
    if (!std::holds_alternative<ControllerAuth::Hmac>(auth_.value())) {
        co_return unexpected(
            Error::request_build_failed("upload_metrics requires HMAC authentication"));
    }
    co_return co_await request_unit("PUT", "/nodes/me/metrics",
                                    controller_api::request::metrics::to_json(request));
}

}  // namespace quorvel::controller
