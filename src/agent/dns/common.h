// The DNS component's desired-state application, written once over the platform's DNS operations:
// each network's DNS server address (its applied tunnel subnet's broadcast address minus one),
// the set of those addresses for the packet path, the platform's DNS server (the first address),
// the server's catalog in step with the networks' desired host names, and failures recorded in
// the networks' host-name status.
#pragma once

#include "agent/config/agent_config.h"
#include "agent/dns/server.h"
#include "util/ipv4.h"
#include "util/result.h"
#include "util/snapshot_slot.h"

#include <boost/asio/awaitable.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::agent {

inline constexpr std::string_view kDnsCommonTarget = "quorvel_agent::agent::dns::common";

using DnsServerIpSet = boost::unordered_flat_set<Ipv4Addr, std::hash<Ipv4Addr>>;

// The platform's DNS settings as the application reaches them. Each result is success or an
// error text; only apply_desired_state_common calls them, at most once each per application.
class PlatformDnsOps {
  public:
    virtual ~PlatformDnsOps() = default;
    // The DNS server the agent has set on the platform, if any.
    virtual boost::asio::awaitable<Result<std::optional<Ipv4Addr>, std::string>>
    get_current_dns_ip() = 0;
    virtual boost::asio::awaitable<Result<void, std::string>> set_dns_ip(Ipv4Addr addr) = 0;
    virtual boost::asio::awaitable<Result<void, std::string>> remove_dns_ip() = 0;
    virtual boost::asio::awaitable<Result<void, std::string>> flush_caches() = 0;
};

// The DNS server address of a network with the applied tunnel address `tunnel`: its subnet's
// broadcast address minus one (0.0.0.0 when the broadcast address is 0.0.0.0).
Ipv4Addr dns_server_ip(const Ipv4Net& tunnel);

// The DNS server address of every enabled network with an applied tunnel address, in the map's
// order, duplicates kept.
std::vector<Ipv4Addr> calculate_dns_server_ips(const NetworkMap& networks);

// Replaces the host-name status of every network that has applied host names by "not applied"
// with `error`.
void set_network_hostname_errors(NetworkMap& networks, const std::string& error);

// Rebuilds the server's catalog when some network's current host names differ from its desired
// ones, then makes every network's current host names a copy of its desired ones.
void update_hostname_mappings(const DnsServerRef& server, NetworkMap& networks);

// One application; the caller holds the agent's state write lock. Never fails towards its
// caller: failures of the platform are logged and recorded in the networks.
boost::asio::awaitable<void> apply_desired_state_common(
    PlatformDnsOps& platform, std::atomic<uint32_t>& current_server_ip,
    SnapshotSlot<DnsServerIpSet>& allowed_server_ips, const DnsServerRef& server,
    NetworkMap& networks);

}  // namespace quorvel::agent
