#include "agent/controller_fetch.h"

#include "agent/inner.h"
#include "controller/client.h"
#include "util/debug_text.h"
#include "util/log.h"
#include "util/shown_text.h"
#include "util/url.h"
#include "util/uuid.h"

namespace quorvel::agent {

namespace {

// A name from the controller's list is outside text: the log shows it as the report shows a
// network's name (`outside_text`).
std::string debug_name(const std::optional<std::string>& name) {
    return name ? "Some(" + debug_quoted(outside_text(*name)) + ")" : std::string("None");
}

}  // namespace

boost::asio::awaitable<Result<ControllerFetchResult, Error>> fetch_controller_networks(
    std::shared_ptr<AgentInner> self, std::string controller_url, std::string shared_secret) {
    const p2p::PubKey public_key = self->public_key();
    co_return co_await fetch_controller_networks(public_key, std::move(controller_url),
                                                 std::move(shared_secret),
                                                 controller::controller_http_options());
}

boost::asio::awaitable<Result<ControllerFetchResult, Error>> fetch_controller_networks(
    p2p::PubKey public_key, std::string controller_url, std::string shared_secret,
    HttpClientOptions options) {
    QV_TRACE(kControllerFetchTarget, "Starting to fetch controller networks");
    QV_TRACE(kControllerFetchTarget, "Found shared_secret, controller URL: {}",
             mask_url_text(controller_url));
    QV_TRACE(kControllerFetchTarget, "Creating controller client with HMAC authentication");
    auto client = controller::ControllerClient::create(
        controller_url, controller::ControllerAuth::hmac(shared_secret), public_key,
        std::move(options));
    if (!client) {
        QV_TRACE(kControllerFetchTarget, "Failed to create controller client for URL: {}",
                 mask_url_text(controller_url));
        co_return ControllerFetchResult(ControllerFetchResult::ConnectionError{});
    }
    QV_TRACE(kControllerFetchTarget, "Controller client created, requesting networks config");
    auto list = co_await client->get_networks_config_toml();
    if (!list) {
        co_return handle_controller_error(std::move(list).error());
    }
    QV_TRACE(kControllerFetchTarget, "get_networks_config_toml response: {} networks",
             list->network.size());
    auto networks = controller_networks_from_list(std::move(list).value());
    if (!networks) {
        co_return unexpected(std::move(networks).error());
    }
    QV_TRACE(kControllerFetchTarget, "Successfully processed {} controller networks",
             networks->size());
    QV_TRACE(kControllerFetchTarget, "Finished fetching controller networks: {} networks found",
             networks->size());
    co_return ControllerFetchResult(ControllerFetchResult::Networks{std::move(networks).value()});
}

Result<ControllerNetworks, Error> controller_networks_from_list(network::MultiNetworkConfig list) {
    ControllerNetworks networks;
    for (auto& entry : list.network) {
        if (!entry.id) {
            QV_TRACE(kControllerFetchTarget, "Network config missing id");
            return unexpected(Error(Error::ConfigParse{"Network config missing id"}));
        }
        auto url = Url::parse("controller://" + uuid_to_string(*entry.id));
        if (!url) {
            QV_TRACE(kControllerFetchTarget, "Failed to parse network URL: {}", url.error());
            return unexpected(Error(
                Error::ConfigParse{"Failed to parse network URL: " + url.error().to_string()}));
        }
        QV_TRACE(kControllerFetchTarget, "Network: {} (subnet: {}) -> {}", debug_name(entry.name),
                 entry.network, *url);
        networks.insert_or_assign(std::move(url).value(), std::move(entry));
    }
    return networks;
}

ControllerFetchResult handle_controller_error(controller::Error error) {
    using Kind = controller::Error::Kind;
    const bool auth =
        error.kind() == Kind::AuthenticationFailed ||
        (error.kind() == Kind::ResponseError && (error.status() == 401 || error.status() == 403));
    if (auth) {
        QV_TRACE(kControllerFetchTarget,
                 "Controller returned auth error ({}), removing controller networks",
                 error.debug());
        return ControllerFetchResult::AuthError{error.to_string()};
    }
    if (error.kind() == Kind::ResponseError && error.status() == 404) {
        QV_TRACE(kControllerFetchTarget,
                 "Controller returned Not Found (404), preserving controller networks");
        return ControllerFetchResult::NotFound{error.to_string()};
    }
    QV_TRACE(kControllerFetchTarget, "Controller error occurred: {}, preserving existing networks",
             error);
    return ControllerFetchResult::ConnectionError{};
}

}  // namespace quorvel::agent
