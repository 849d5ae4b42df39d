#include "agent/inner.h"

#include "agent/firewall/firewall_rebuild.h"
#include "util/log.h"

#include <unordered_map>

namespace quorvel::agent {

namespace {

using Health = network::NetworkHealth;

}  // namespace

LoginState LoginState::default_state() {
    return LoginState{LoginStatus{}, std::make_shared<Notify>(), nullptr};
}

AgentInner::AgentInner(Parts parts)
    : cancellation_token_(std::move(parts.cancellation_token)),
      node_(std::move(parts.node)),
      netif_(std::move(parts.netif)),
      firewall_(std::move(parts.firewall)),
      router_(std::move(parts.router)),
      dns_(std::move(parts.dns)),
      config_path_(std::move(parts.config_path)),
      platform_dependent_(std::move(parts.platform_dependent)),
      client_(std::move(parts.client)),
      state_(std::move(parts.config)),
      identity_(std::move(parts.identity)),
      mtu_(parts.mtu),
      executor_(std::move(parts.executor)),
      housekeeping_period_(parts.housekeeping_period) {}

namespace {

// With the tries empty no new batch can be parked; the parked ones still keep their peers, which
// keep the tunnel device, which keeps the batches.
void drop_parked_sends(const AgentNetif& netif) {
    if (auto tun = netif.load_tun_device()) {
        tun->drop_parked_sends();
    }
}

}  // namespace

AgentInner::~AgentInner() {
    // Node peers in the tries keep the tunnel device, and the tunnel device keeps the firewall:
    // empty tries break that circle, so that the peers' drivers end and everything is released.
    // Nothing here allocates: a destructor that threw would end the process.
    if (firewall_) {
        firewall_->clear_tries();
    }
    if (netif_) {
        drop_parked_sends(*netif_);
    }
    node_.reset();
    netif_.reset();
    firewall_.reset();
    router_.reset();
    dns_.reset();
    platform_dependent_.reset();
}

boost::asio::awaitable<void> AgentInner::apply_desired_state(std::shared_ptr<AgentInner> self,
                                                             inner::State& state) {
    auto& networks = state.config.network;

    // The tunnel addresses as applied before this application: the tries depend on them too.
    std::unordered_map<Url, std::optional<Ipv4Net>> applied_ips;
    for (const auto& [url, network] : networks) {
        applied_ips.emplace(url, network.current_state.ip.applied);
    }

    co_await self->netif_->apply_desired_state(self, state.config);
    co_await self->router_->apply_desired_state(state.config);

    apply_firewall_desired_state(self, networks, applied_ips);

    if (self->dns_) {
        co_await self->dns_->apply_desired_state(state.config);
    }

    for (auto& [url, network] : networks) {
        const auto kind = network.health.kind();
        if (kind == Health::Kind::Initializing || kind == Health::Kind::Ok ||
            kind == Health::Kind::Pending) {
            network.health =
                network.current_state == network.desired_state ? Health::ok() : Health::pending();
        }
    }
    self.reset();
}

boost::asio::awaitable<void> AgentInner::shutdown() {
    QV_TRACE(kInnerTarget, "Cancel agent token");
    cancellation_token_.cancel();
    auto state = co_await state_.write();
    for (auto& [url, network] : state->config.network) {
        network.desired_state = network::AgentState{};
    }
    co_await apply_desired_state(shared_from_this(), *state);
    drop_parked_sends(*netif_);
    if (dns_) {
        dns_->shutdown();
    }
}

}  // namespace quorvel::agent
