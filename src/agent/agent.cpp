#include "agent/agent.h"

#include "agent/dns/native.h"
#include "agent/monitor.h"
#include "agent/netif/mobile_netif.h"
#include "agent/node_options.h"
#include "agent/retrieval.h"
#include "agent/router/mobile_router.h"
#include "util/log.h"
#include "util/runtime.h"
#include "util/secrets.h"

#include <boost/asio/this_coro.hpp>

namespace quorvel::agent {

namespace {

using namespace std::chrono_literals;

// The HTTP client of network documents fetched by URL: no idle connections kept, the retrieval
// timeout per request, at most five redirects.
Result<HttpClient, Error> build_http_client() {
    auto client = HttpClient::build(HttpClientOptions{
        .pool_max_idle_per_host = 0, .timeout = kRetrievalTimeout, .max_redirects = 5});
    if (!client) {
        return unexpected(
            Error(Error::Http{"Failed to create HTTP client: " + client.error().message}));
    }
    return std::move(*client);
}

// The controller connection status a running configuration starts with: Initializing with both
// a login e-mail and a shared secret, LoggedOut with either missing.
void reset_controller_status(AgentConfig& config) {
    if (!config.controller) {
        return;
    }
    auto& controller = *config.controller;
    controller.status = controller.display_login_email && controller.shared_secret
                            ? ControllerConnectionStatus::initializing()
                            : ControllerConnectionStatus::logged_out();
}

std::shared_ptr<AgentDns> make_dns_component(const AgentConfig& config,
                                             const boost::asio::any_io_executor& executor) {
    const bool disabled = config.dns && config.dns->disabled.value_or(false);
    if (disabled) {
        return nullptr;
    }
    return native_dns_component(executor);
}

}  // namespace

boost::asio::awaitable<Result<Agent, Error>> Agent::start(AgentConfig config,
                                                          std::string config_path,
                                                          PlatformDependent platform) {
    co_return co_await start(std::move(config), std::move(config_path), std::move(platform),
                             std::chrono::seconds(10));
}

boost::asio::awaitable<Result<Agent, Error>> Agent::start(
    AgentConfig config, std::string config_path, PlatformDependent platform,
    std::chrono::milliseconds housekeeping_period) {
    QV_INFO(kAgentTarget, "Start agent.");
    // A host may have built the configuration itself, and the proxy settings are read by every
    // request the agent makes: whatever quotes them from now on shows the mask.
    config.remember_secrets();
    secrets::remember_proxy_settings();
    auto executor = co_await boost::asio::this_coro::executor;
    CancellationToken token;

    auto opts = build_node_opts(NodeEnv::read(), config.identity, config.super_peers_or_default());
    if (!opts) {
        QV_ERROR(kAgentTarget, "{}", opts.error().to_string());
        co_return unexpected(std::move(opts).error());
    }
    auto bound = co_await p2p::Node::bind(executor, std::move(*opts));
    if (!bound) {
        QV_ERROR(kAgentTarget, "Failed to bind node: {}", bound.error().to_string());
        co_return unexpected(Error(Error::Node{std::move(bound).error()}));
    }
    p2p::NodeRef node = std::move(*bound);

    const uint16_t mtu = config.mtu.value_or(AgentConfig::default_mtu());
    auto dns = make_dns_component(config, executor);
    auto client = build_http_client();
    if (!client) {
        // Nothing may outlive a failed start: stop what already runs.
        if (dns) {
            dns->shutdown();
        }
        node->stop();
        co_return unexpected(std::move(client).error());
    }
    AgentConfig running = config;
    reset_controller_status(running);

    auto inner = std::make_shared<AgentInner>(AgentInner::Parts{
        .cancellation_token = token,
        .node = std::move(node),
        .netif = std::make_shared<MobileAgentNetIf>(),
        .firewall = std::make_shared<AgentFirewall>(),
        .router = std::make_unique<MobileAgentRouter>(),
        .dns = std::move(dns),
        .config_path = std::move(config_path),
        .platform_dependent = std::make_shared<PlatformDependent>(std::move(platform)),
        .client = std::move(*client),
        .config = std::move(running),
        .identity = config.identity,
        .mtu = mtu,
        .executor = executor,
        .housekeeping_period = housekeeping_period,
    });

    TaskSet<void> tasks;
    tasks.spawn(executor, AgentInner::housekeeping_runner(inner, token));
    if (config.update_check.value_or(true)) {
        QV_DEBUG(kAgentTarget, "Update check is not available on this platform");
    }
    spawn_detached(executor, monitor_tasks(std::move(tasks), token), "monitor");
    QV_INFO(kAgentTarget, "Agent started.");
    co_return Agent(std::move(inner));
}

Agent::~Agent() {
    if (inner_) {
        QV_TRACE(kAgentTarget, "Drop agent.");
    }
}

boost::asio::awaitable<void> Agent::shutdown() const {
    QV_INFO(kAgentTarget, "Shutdown agent.");
    co_await inner_->shutdown();
    QV_INFO(kAgentTarget, "Agent shut down.");
}

boost::asio::awaitable<void> Agent::cancelled() const {
    co_await inner_->cancellation_token().cancelled();
}

}  // namespace quorvel::agent
