// The DNS component of a platform without DNS support: it serves nothing and records why as the
// host-name error of every network.
#pragma once

#include "agent/dns/agent_dns.h"

#include <string>

namespace quorvel::agent {

class UnsupportedPlatformAgentDns final : public AgentDns {
  public:
    explicit UnsupportedPlatformAgentDns(std::string reason);

    boost::asio::awaitable<void> apply_desired_state(AgentConfig& config) override;
    bool is_server_ip(Ipv4Addr) const override { return false; }
    std::optional<Ipv4Addr> server_ip() const override { return std::nullopt; }
    // A channel whose receiver is gone: every query sent there is refused.
    UnboundedSender<DnsServerRequest> send_channel() const override { return closed_; }
    void shutdown() override {}

    const std::string& reason() const { return reason_; }

  private:
    std::string reason_;
    UnboundedSender<DnsServerRequest> closed_;
};

}  // namespace quorvel::agent
