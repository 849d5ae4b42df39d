// The DNS component of the mobile platform. The host application, not the agent, configures the
// device's resolver from the DNS server in the network-change report; so this component only
// records the address it "set", answers queries sent into the tunnel to any network's DNS server
// address, and keeps the server's catalog in step with the networks' host names.
#pragma once

#include "agent/dns/agent_dns.h"
#include "agent/dns/common.h"
#include "agent/dns/server.h"
#include "util/snapshot_slot.h"

#include <boost/asio/any_io_executor.hpp>

#include <atomic>
#include <cstddef>
#include <memory>
#include <string_view>

namespace quorvel::agent {

inline constexpr std::string_view kDnsMobileTarget = "quorvel_agent::agent::dns::mobile";

// Queries queued and running at once; past it new queries are dropped.
inline constexpr std::size_t kMaxDnsQueriesInFlight = 4096;

class MobileAgentDns final : public AgentDns, public PlatformDnsOps {
  public:
    // Creates the server and spawns its driver on `executor`, inside the spans current on the
    // calling thread. The driver ends on `shutdown` or when the component is released.
    static std::shared_ptr<MobileAgentDns> create(const boost::asio::any_io_executor& executor,
                                                  std::size_t max_queries = kMaxDnsQueriesInFlight);

    boost::asio::awaitable<void> apply_desired_state(AgentConfig& config) override;
    bool is_server_ip(Ipv4Addr addr) const override;
    std::optional<Ipv4Addr> server_ip() const override;
    // Queues the query when the server has room for it; past the limit the query is dropped with
    // a warning (once per run of dropped queries).
    Result<void, std::string> send(DnsServerRequest request) const override;
    UnboundedSender<DnsServerRequest> send_channel() const override { return request_tx_; }
    void shutdown() override;

    // The platform's side: nothing to change on this platform, so none of these fails.
    boost::asio::awaitable<Result<std::optional<Ipv4Addr>, std::string>> get_current_dns_ip()
        override;
    boost::asio::awaitable<Result<void, std::string>> set_dns_ip(Ipv4Addr addr) override;
    boost::asio::awaitable<Result<void, std::string>> remove_dns_ip() override;
    boost::asio::awaitable<Result<void, std::string>> flush_caches() override;

    const DnsServerRef& server() const { return server_; }
    const QueryLimit& query_limit() const { return *query_limit_; }

    MobileAgentDns(DnsServerRef server, UnboundedSender<DnsServerRequest> request_tx,
                   std::size_t max_queries);

  private:
    DnsServerRef server_;
    UnboundedSender<DnsServerRequest> request_tx_;
    SnapshotSlot<DnsServerIpSet> allowed_server_ips_;
    std::atomic<uint32_t> current_server_ip_{0};
    std::shared_ptr<QueryLimit> query_limit_;
    // Set while queries are being dropped, so that one warning covers a whole flood.
    mutable std::atomic<bool> dropping_{false};
};

}  // namespace quorvel::agent
