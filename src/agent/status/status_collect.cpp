// Taking the status snapshot: from a running agent, or from a configuration alone.
#include <algorithm>
#include <vector>

#include <boost/asio/ip/address.hpp>

#include "agent/agent.h"
#include "agent/node_options.h"
#include "agent/status/status.h"
#include "p2p/env.h"
#include "p2p/node.h"
#include "util/log.h"
#include "util/unicode.h"

namespace quorvel::agent {

namespace {

// The text without surrounding white space, as a port number.
std::optional<uint16_t> trimmed_udp_port(std::string_view text) {
    const auto pieces = split_unicode_white_space(text);
    if (pieces.empty()) {
        return std::nullopt;
    }
    const char* begin = pieces.front().data();
    const char* end = pieces.back().data() + pieces.back().size();
    auto port = p2p::util::system::parse_unsigned(std::string_view(begin, end - begin), 65535);
    if (!port) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(*port);
}

// The controller part with its built-in defaults; `status` is the connection status to show
// when the configuration has a controller section.
ControllerStatus controller_status(const std::optional<ControllerConfig>& section,
                                   ControllerConnectionStatus status) {
    if (!section) {
        return ControllerStatus{std::string(kDefaultControllerUrl), std::string(kDefaultAuthUrl),
                                std::nullopt, std::nullopt,
                                ControllerConnectionStatus::logged_out()};
    }
    return ControllerStatus{section->url_or_default(), section->auth_url_or_default(),
                            section->display_login_email, section->shared_secret,
                            std::move(status)};
}

}  // namespace

boost::asio::awaitable<Status> Status::from_agent(const Agent& agent, NowFn now) {
    // Its own handle: the agent may be released while the status waits for the state lock.
    const std::shared_ptr<AgentInner> inner = agent.inner();
    const p2p::Node& node = *inner->node();
    Status status(node.opts());

    QV_TRACE(kStatusTarget, "Getting peers");
    status.default_route = node.default_route().value_or(node.pk());
    {
        auto super_peers = node.super_peers();
        const p2p::Instant at = read_now(now);
        for (const auto& [pk, super_peer] : super_peers) {
            status.super_peers.insert_or_assign(pk, SuperPeerStatus{super_peer->stats(at)});
        }
    }
    {
        // A snapshot: the packet path keeps using the trie while the peers are read.
        const auto tx_trie = inner->firewall()->load_tx_trie();
        for (const auto& dest : *tx_trie) {
            for (const auto& source : dest.value) {
                const NodePeer& peer = source.value;
                status.node_peers.insert_or_assign(peer.pk(),
                                                   NodePeerStatus{peer.p2p_peer().stats()});
            }
        }
    }
    status.tun_mtu = inner->mtu();
    status.dns_disabled = inner->dns() == nullptr;

    QV_TRACE(kStatusTarget, "Locking state to get status");
    {
        auto state = co_await inner->state().read();
        for (const auto& [url, network] : state->config.network) {
            status.networks.insert_or_assign(url, NetworkStatus(network));
        }
    }
    QV_TRACE(kStatusTarget, "Networks retrieved");
    {
        // A housekeeping pass may have run since the networks were copied.
        auto state = co_await inner->state().read();
        status.time_deviation = state->time_deviation;
        status.update_available = state->update_available;
        status.update_status = state->update_status;
        status.login_status = state->login.status;
        const auto& section = state->config.controller;
        status.controller = controller_status(
            section, section ? section->status : ControllerConnectionStatus::logged_out());
    }

    status.config_path = inner->config_path();
    status.agent_status = AgentStatus::CONNECTED;
    co_return status;
}

Result<Status, Error> Status::from_config(const AgentConfig& config, std::string config_path) {
    const NodeEnv env = NodeEnv::read();
    p2p::NodeOptsBuilder builder;
    builder.id(config.identity)
        .udp_addrs(parse_udp_addrs(env.udp_addrs).value_or(std::vector<boost::asio::ip::address>{}))
        .udp_port(trimmed_udp_port(env.udp_port))
        .arm_messages(env.arm_messages)
        .max_peers(env.max_peers)
        .min_pow_difficulty(env.min_pow_difficulty)
        .hello_timeout(saturating_millis(env.hello_timeout))
        .hello_max_age(saturating_millis(env.hello_max_age))
        .super_peers(config.super_peers_or_default());
    auto opts = builder.build();
    if (!opts) {
        return unexpected(
            Error(Error::ConfigParse{"Failed to build node opts: " + opts.error().to_string()}));
    }

    Status status(std::move(*opts));
    status.tun_mtu = config.mtu.value_or(AgentConfig::default_mtu());
    status.dns_disabled = config.dns && config.dns->disabled.value_or(false);
    const auto& section = config.controller;
    status.controller =
        controller_status(section, section && section->shared_secret && section->display_login_email
                                       ? ControllerConnectionStatus::initializing()
                                       : ControllerConnectionStatus::logged_out());
    status.config_path = std::move(config_path);
    status.default_route = config.identity.pk();
    status.agent_status = AgentStatus::DISCONNECTED;
    return status;
}

boost::asio::awaitable<std::string> agent_status_text(const Agent& agent, NowFn now) {
    Status status = co_await Status::from_agent(agent, now);
    QV_TRACE(kStatusTarget, "Status generated");
    std::string text = status.to_string_with_secrets(false, now);
    QV_TRACE(kStatusTarget, "Status converted to string without secrets");
    co_return text;
}

}  // namespace quorvel::agent
