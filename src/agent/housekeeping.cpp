// The housekeeping loop and its pass: the agent's main loop, which brings the running agent in
// line with the controller and the networks' documents every ten seconds. A pass holds the state's
// write lock from start to end and never fails as a whole: every failure inside is logged and
// passed over, and the next pass is the retry.
#include "agent/housekeeping.h"

#include "agent/controller_fetch.h"
#include "agent/inner.h"
#include "agent/metrics.h"
#include "agent/retrieval.h"
#include "util/debug_text.h"
#include "util/log.h"
#include "util/shown_text.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

namespace quorvel::agent {

namespace {

using Health = network::NetworkHealth;

// A name from a document is outside text: the log shows it as the report does (`outside_text`).
std::string debug_name(const std::optional<std::string>& name) {
    return name ? "Some(" + debug_quoted(outside_text(*name)) + ")" : std::string("None");
}

std::string debug_ip(const std::optional<Ipv4Net>& ip) {
    return ip ? fmt::format("Some({})", *ip) : std::string("None");
}

// `Some(EffectiveRoutingList { routes: {dest: EffectiveRoute { dest: .., gw: .. }, ..} })`, the
// routes by destination so that equal lists log alike.
std::string debug_routes(const std::optional<network::EffectiveRoutingList>& routes) {
    if (!routes) {
        return "None";
    }
    std::vector<network::EffectiveRoute> sorted;
    sorted.reserve(routes->size());
    for (const auto& [dest, route] : *routes) {
        sorted.push_back(route);
    }
    std::sort(sorted.begin(), sorted.end(),
              [](const auto& a, const auto& b) { return a.dest < b.dest; });
    std::vector<std::string> entries;
    entries.reserve(sorted.size());
    for (const auto& route : sorted) {
        entries.push_back(fmt::format("{}: EffectiveRoute {{ dest: {}, gw: {} }}", route.dest,
                                      route.dest, route.gw));
    }
    return fmt::format("Some(EffectiveRoutingList {{ routes: {{{}}} }})", fmt::join(entries, ", "));
}

// Logs a name change and takes the document's name; true when the name changed.
bool take_name(network::Network& network, const std::optional<std::string>& name) {
    if (network.name == name) {
        return false;
    }
    QV_TRACE(kHousekeepingTarget, "Network name changed from '{}' to '{}'",
             debug_name(network.name), debug_name(name));
    network.name = name;
    return true;
}

// What the local node derives from a document that names it: its desired state, or the health
// that says why it gets none.
struct Derivation {
    std::optional<Health> health;
    network::AgentState desired;
};

Derivation derive(const network::NetworkConfig& config, const p2p::PubKey& own, bool with_dns) {
    auto node = config.nodes.find(own);
    if (node == config.nodes.end()) {
        QV_TRACE(kHousekeepingTarget, "I'm not member of this network.");
        return {Health::not_a_member_error(), {}};
    }
    // Documents from the controller arrive unchecked: a node outside the subnet, on the DNS
    // server's address or with a bad host name must not reach the hooks, tries and DNS.
    if (auto valid = config.validate(); !valid) {
        return {Health::invalid_config_error(valid.error().to_string()), {}};
    }
    auto access_rules = config.effective_access_rule_list(own);
    auto routes = config.effective_routing_list(own);
    if (!access_rules) {
        return {Health::invalid_config_error(access_rules.error().to_string()), {}};
    }
    if (!routes) {
        return {Health::invalid_config_error(routes.error().to_string()), {}};
    }
    network::AgentState desired;
    desired.ip.applied = Ipv4Net(node->second.ip, config.network.prefix_len());
    desired.access_rules.applied = std::move(*access_rules);
    desired.routes.applied = std::move(*routes);
    desired.forwardings.applied = config.effective_forwarding_list(own);
    if (with_dns) {
        desired.hostnames.applied = config.hostnames(own);
    }
    return {std::nullopt, std::move(desired)};
}

// Completes on the first of the token's cancellation and the tick.
boost::asio::awaitable<void> tick_or_cancel(
    const CancellationToken* token, const std::function<boost::asio::awaitable<void>()>* tick) {
    using namespace boost::asio::experimental::awaitable_operators;
    co_await (token->cancelled() || (*tick)());
}

std::vector<Url> keys_of(const NetworkMap& networks) {
    std::vector<Url> keys;
    keys.reserve(networks.size());
    for (const auto& [url, network] : networks) {
        keys.push_back(url);
    }
    return keys;
}

}  // namespace

NetworkChange collect_network_change(const NetworkMap& networks,
                                     std::optional<Ipv4Addr> dns_server) {
    QV_TRACE(kNetworkListenerTarget, "Collecting routes from {} networks", networks.size());
    std::vector<Ipv4Net> routes;
    for (const auto& [url, network] : networks) {
        const auto& applied = network.current_state.routes.applied;
        QV_TRACE(kNetworkListenerTarget, "Processing network {}: routes={}", mask_url(url),
                 debug_routes(applied));
        if (applied) {
            for (const auto& [dest, route] : *applied) {
                routes.push_back(route.dest);
            }
        }
    }
    std::stable_sort(routes.begin(), routes.end());
    QV_TRACE(kNetworkListenerTarget, "Collected {} routes: [{}]", routes.size(),
             fmt::join(routes, ", "));

    std::vector<Ipv4Net> ips;
    for (const auto& [url, network] : networks) {
        const auto& applied = network.current_state.ip.applied;
        QV_TRACE(kNetworkListenerTarget, "Processing network {}: ip={}", mask_url(url),
                 debug_ip(applied));
        if (applied) {
            ips.push_back(*applied);
        }
    }
    std::stable_sort(ips.begin(), ips.end());
    QV_TRACE(kNetworkListenerTarget, "Collected {} IPs: [{}]", ips.size(), fmt::join(ips, ", "));
    return NetworkChange{std::move(ips), std::move(routes), dns_server};
}

boost::asio::awaitable<void> AgentInner::housekeeping_runner(std::shared_ptr<AgentInner> self,
                                                             CancellationToken token) {
    Interval interval(co_await boost::asio::this_coro::executor, self->housekeeping_period_);
    std::function<boost::asio::awaitable<void>()> tick = [&interval] { return interval.tick(); };
    co_await housekeeping_loop(std::move(self), std::move(token), std::move(tick));
}

boost::asio::awaitable<void> AgentInner::housekeeping_loop(
    std::shared_ptr<AgentInner> self, CancellationToken token,
    std::function<boost::asio::awaitable<void>()> tick) {
    // The two branches of the wait must not complete on two threads at once (their cancellation
    // slots are not thread-safe): they run on a strand of their own.
    auto strand = boost::asio::make_strand(co_await boost::asio::this_coro::executor);
    for (;;) {
        if (!token.is_cancelled()) {
            auto wait = tick_or_cancel(&token, &tick);
            co_await boost::asio::co_spawn(strand, std::move(wait), boost::asio::use_awaitable);
        }
        // Cancellation wins over a tick that is due at the same time.
        if (token.is_cancelled()) {
            QV_TRACE(kHousekeepingTarget, "Housekeeping runner cancelled");
            break;
        }
        try {
            auto ran = co_await run_pass(self, token);
            if (!ran) {
                QV_ERROR(kHousekeepingTarget, "Error in housekeeping: {}", ran.error().to_string());
            }
        } catch (const boost::system::system_error& e) {
            // The runtime is going away: end with it.
            if (e.code() == boost::asio::error::operation_aborted) {
                throw;
            }
            QV_ERROR(kHousekeepingTarget, "Error in housekeeping: {}", outside_text(e.what()));
        } catch (const std::exception& e) {
            // A library's message may quote what it read.
            QV_ERROR(kHousekeepingTarget, "Error in housekeeping: {}", outside_text(e.what()));
        }
    }
    QV_TRACE(kHousekeepingTarget, "Housekeeping runner finished");
}

boost::asio::awaitable<Result<bool, Error>> AgentInner::run_pass(std::shared_ptr<AgentInner> self,
                                                                 CancellationToken token) {
    auto state = co_await self->state_.write();
    // A pass that waited for the lock while shutdown held it must not undo the shutdown's
    // withdrawal, nor report to the host after shutdown has returned.
    if (token.is_cancelled()) {
        QV_TRACE(kInnerTarget, "Agent cancelled; housekeeping pass skipped");
        co_return false;
    }
    auto done = co_await housekeeping(self, *state);
    ++self->completed_passes_;
    if (!done) {
        co_return unexpected(std::move(done).error());
    }
    co_return true;
}

boost::asio::awaitable<Result<void, Error>> AgentInner::housekeeping(
    std::shared_ptr<AgentInner> self, inner::State& state) {
    const std::optional<std::string> ui_version = state.ui_version;

    bool config_changed = co_await sync_controller_networks(self, state);
    co_await sync_manual_networks(self, state);
    config_changed = self->process_network_configs(state) || config_changed;

    if (config_changed) {
        state.save_pending = true;
    }
    if (state.save_pending) {
        auto saved = state.save_config(self->config_path_);
        if (saved) {
            state.save_pending = false;
        } else {
            QV_WARN(kHousekeepingTarget, "Failed to save config after housekeeping: {}",
                    saved.error().to_string());
        }
    }

    co_await apply_desired_state(self, state);
    self->notify_on_network_change(state);
    QV_TRACE(kHousekeepingTarget, "Finished housekeeping");
    check_and_update_time_deviation(state);

    if (auto secret = state.config.shared_secret()) {
        std::string shared_secret = std::move(*secret);
        auto sent = co_await send_metrics(self, state, std::move(shared_secret), ui_version);
        if (!sent) {
            QV_TRACE(kHousekeepingTarget, "Failed to send metrics to controller: {}",
                     sent.error().to_string());
        }
    }
    co_return Result<void, Error>{};
}

boost::asio::awaitable<bool> AgentInner::sync_controller_networks(std::shared_ptr<AgentInner> self,
                                                                  inner::State& state) {
    auto& config = state.config;
    const auto secret = config.shared_secret();
    if (!config.controller || !secret) {
        config.set_controller_status(ControllerConnectionStatus::logged_out());
        co_return false;
    }
    std::string controller_url = config.controller_url();
    std::string shared_secret = *secret;
    auto fetched = co_await fetch_controller_networks(self, std::move(controller_url),
                                                      std::move(shared_secret));
    if (!fetched) {
        const std::string text = fetched.error().to_string();
        QV_TRACE(kHousekeepingTarget, "Unexpected error fetching controller networks: {}", text);
        config.set_controller_status(ControllerConnectionStatus::err(text));
        co_return false;
    }
    auto& outcome = *fetched;
    if (auto* listed = outcome.get_if<ControllerFetchResult::Networks>()) {
        config.set_controller_status(ControllerConnectionStatus::ok());
        const bool merged = merge_controller_networks(state, listed->networks);
        const bool removed =
            co_await remove_unlisted_controller_networks(self, state, listed->networks);
        co_return merged || removed;
    }
    if (const auto* refused = outcome.get_if<ControllerFetchResult::AuthError>()) {
        config.set_controller_status(ControllerConnectionStatus::err(refused->text));
        const ControllerNetworks none;
        co_return co_await remove_unlisted_controller_networks(self, state, none);
    }
    if (const auto* missing = outcome.get_if<ControllerFetchResult::NotFound>()) {
        QV_TRACE(kHousekeepingTarget, "Controller error occurred, preserving existing networks");
        config.set_controller_status(ControllerConnectionStatus::err(missing->text));
        co_return false;
    }
    QV_TRACE(kHousekeepingTarget, "Controller connection error, preserving existing networks");
    config.set_controller_status(ControllerConnectionStatus::err("Controller not reachable"));
    co_return false;
}

boost::asio::awaitable<void> AgentInner::sync_manual_networks(std::shared_ptr<AgentInner> self,
                                                              inner::State& state) {
    QV_TRACE(kHousekeepingTarget, "Running housekeeping for manual networks");
    std::vector<Url> manual;
    for (const auto& [url, network] : state.config.network) {
        if (!network.is_controller_managed()) {
            manual.push_back(url);
        }
    }
    const std::shared_ptr<const AgentInner> reader = self;
    for (auto& url : manual) {
        co_await fetch_network_config(reader, state.config, std::move(url));
    }
}

bool AgentInner::merge_controller_networks(
    inner::State& state, const std::unordered_map<Url, network::NetworkConfig>& listed) {
    bool changed = false;
    auto& networks = state.config.network;
    for (const auto& [url, config] : listed) {
        auto found = networks.find(url);
        if (found != networks.end()) {
            QV_TRACE(kHousekeepingTarget, "Updating existing controller network: {}",
                     mask_url(url));
            auto& network = found->second;
            network.config = network::ConfigRetrieval(config);
            changed = take_name(network, config.name) || changed;
        } else {
            QV_TRACE(kHousekeepingTarget, "Adding new controller network: {}", mask_url(url));
            network::Network network(url, false, config.name);
            network.health = Health::initializing();
            network.config = network::ConfigRetrieval(config);
            networks.emplace(url, std::move(network));
            changed = true;
        }
    }
    return changed;
}

boost::asio::awaitable<bool> AgentInner::remove_unlisted_controller_networks(
    std::shared_ptr<AgentInner> self, inner::State& state,
    const std::unordered_map<Url, network::NetworkConfig>& listed) {
    std::vector<Url> controller_urls;
    for (const auto& [url, network] : state.config.network) {
        if (network.is_controller_managed()) {
            controller_urls.push_back(url);
        }
    }
    bool changed = false;
    auto& networks = state.config.network;
    auto remove = [&](const Url& url) {
        QV_TRACE(kHousekeepingTarget, "Removing controller network that no longer exists: {}",
                 mask_url(url));
        networks.erase(url);
        changed = true;
    };
    for (const auto& url : controller_urls) {
        if (listed.contains(url)) {
            continue;
        }
        auto found = networks.find(url);
        if (found == networks.end()) {
            continue;
        }
        if (found->second.current_state.is_empty()) {
            remove(url);
            continue;
        }
        QV_TRACE(kHousekeepingTarget,
                 "Resetting controller network to default state before removal: {}", mask_url(url));
        found->second.desired_state = network::AgentState{};
        co_await apply_desired_state(self, state);
        found = networks.find(url);
        if (found == networks.end()) {
            continue;
        }
        if (found->second.current_state.is_empty()) {
            remove(url);
        } else {
            // Its last document must not make the rest of the pass apply it again: it stays
            // withdrawn until a later pass can remove it.
            found->second.config.reset();
            QV_WARN(kHousekeepingTarget,
                    "Controller network {} not yet in default state, keeping it", mask_url(url));
        }
    }
    co_return changed;
}

bool AgentInner::process_network_configs(inner::State& state) const {
    bool changed = false;
    auto& networks = state.config.network;
    for (const auto& url : keys_of(networks)) {
        auto found = networks.find(url);
        if (found == networks.end()) {
            continue;
        }
        auto& network = found->second;
        std::optional<Health> new_health;
        if (!network.config) {
            QV_TRACE(kHousekeepingTarget, "Network config is None");
        } else if (!network.config->has_value()) {
            const auto& error = network.config->error();
            std::string text = error ? error->to_string() : std::string();
            QV_WARN(kHousekeepingTarget, "Failed to retrieve network config: {}", text);
            new_health = Health::retrieve_config_error(std::move(text));
        } else {
            QV_TRACE(kHousekeepingTarget, "Network config retrieved successfully");
            const auto kind = network.health.kind();
            // A node that is a member again clears like the other error states.
            if (kind == Health::Kind::RetrieveConfigError ||
                kind == Health::Kind::InvalidConfigError || kind == Health::Kind::NotAMemberError) {
                QV_TRACE(kHousekeepingTarget,
                         "Resetting config error status after successful config retrieval");
                network.health = Health::pending();
            }
            const auto& config = network.config->value();
            changed = take_name(network, config.name) || changed;
            auto derived = derive(config, public_key(), dns_ != nullptr);
            new_health = std::move(derived.health);
            network.desired_state = std::move(derived.desired);
        }

        if (network.disabled) {
            network.desired_state = network::AgentState{};
            network.health = Health::disabled();
        } else if (new_health) {
            network.health = std::move(*new_health);
        } else if (network.health.kind() == Health::Kind::Disabled) {
            network.health = Health::initializing();
        }
    }
    return changed;
}

void AgentInner::notify_on_network_change(inner::State& state) const {
    QV_TRACE(kNetworkListenerTarget, "Networks change listener set, check if we have a change");
    auto change = collect_network_change(state.config.network,
                                         dns_ ? dns_->server_ip() : std::optional<Ipv4Addr>());
    if (state.last_network_change && *state.last_network_change == change) {
        QV_TRACE(kNetworkListenerTarget,
                 "Network change is identical to last one, skipping notification");
        return;
    }
    QV_TRACE(kNetworkListenerTarget, "Network change detected, notifying listener: old={} new={}",
             state.last_network_change ? "Some(" + state.last_network_change->debug() + ")"
                                       : std::string("None"),
             change.debug());
    state.last_network_change = change;
    const auto& listener = platform_dependent_->network_listener;
    if (listener) {
        listener(std::move(change));
    }
}

void AgentInner::check_and_update_time_deviation(inner::State& state) {
    QV_TRACE(kHousekeepingTarget, "SNTP synchronization not supported on this platform");
    QV_TRACE(kHousekeepingTarget,
             "SNTP synchronization failed, unable to determine time deviation");
    state.time_deviation.reset();
}

}  // namespace quorvel::agent
