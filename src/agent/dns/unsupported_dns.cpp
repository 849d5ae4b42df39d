#include "agent/dns/unsupported_dns.h"

#include "agent/config/agent_config.h"
#include "util/log.h"

namespace quorvel::agent {

UnsupportedPlatformAgentDns::UnsupportedPlatformAgentDns(std::string reason)
    : reason_(std::move(reason)) {
    auto [sender, receiver] = unbounded_channel<DnsServerRequest>();
    closed_ = std::move(sender);
}

boost::asio::awaitable<void> UnsupportedPlatformAgentDns::apply_desired_state(AgentConfig& config) {
    QV_TRACE(kDnsTarget, "DNS is not supported on this platform: {}", reason_);
    for (auto& [url, network] : config.network) {
        network.current_state.hostnames = {std::nullopt, reason_};
    }
    co_return;
}

}  // namespace quorvel::agent
