#include "agent/dns/common.h"

#include "util/log.h"

namespace quorvel::agent {

namespace {

std::string debug_addr(const std::optional<Ipv4Addr>& addr) {
    return addr ? fmt::format("Some({})", *addr) : std::string("None");
}

}  // namespace

Ipv4Addr dns_server_ip(const Ipv4Net& tunnel) {
    const uint32_t broadcast = tunnel.broadcast().to_u32();
    return Ipv4Addr(broadcast == 0 ? 0 : broadcast - 1);
}

std::vector<Ipv4Addr> calculate_dns_server_ips(const NetworkMap& networks) {
    std::vector<Ipv4Addr> ips;
    for (const auto& [url, network] : networks) {
        if (network.disabled || !network.current_state.ip.applied) {
            continue;
        }
        ips.push_back(dns_server_ip(*network.current_state.ip.applied));
    }
    return ips;
}

void set_network_hostname_errors(NetworkMap& networks, const std::string& error) {
    for (auto& [url, network] : networks) {
        auto& hostnames = network.current_state.hostnames;
        if (hostnames.applied) {
            hostnames = {std::nullopt, error};
        }
    }
}

void update_hostname_mappings(const DnsServerRef& server, NetworkMap& networks) {
    bool changed = false;
    for (const auto& [url, network] : networks) {
        if (network.current_state.hostnames != network.desired_state.hostnames) {
            changed = true;
            break;
        }
    }
    if (!changed) {
        return;
    }
    server.with_state([&](server::State& state) { state.update_catalog(networks); });
    for (auto& [url, network] : networks) {
        network.current_state.hostnames = network.desired_state.hostnames;
    }
}

boost::asio::awaitable<void> apply_desired_state_common(
    PlatformDnsOps& platform, std::atomic<uint32_t>& current_server_ip,
    SnapshotSlot<DnsServerIpSet>& allowed_server_ips, const DnsServerRef& server,
    NetworkMap& networks) {
    auto got = co_await platform.get_current_dns_ip();
    if (!got) {
        QV_WARN(kDnsCommonTarget, "Unable to determine current DNS IP: {}", got.error());
        set_network_hostname_errors(networks, "Unable to determine current DNS IP: " + got.error());
        co_return;
    }
    std::optional<Ipv4Addr> current = *got;
    QV_TRACE(kDnsCommonTarget, "Current DNS IP: {}", debug_addr(current));

    const std::vector<Ipv4Addr> ips = calculate_dns_server_ips(networks);
    const std::optional<Ipv4Addr> desired =
        ips.empty() ? std::nullopt : std::optional<Ipv4Addr>(ips.front());
    allowed_server_ips.store(std::make_shared<const DnsServerIpSet>(ips.begin(), ips.end()));

    if (current && current != desired) {
        QV_TRACE(kDnsCommonTarget,
                 "Removing DNS server because current IP is not in desired state: current_ip={}, "
                 "desired_ip={}",
                 *current, debug_addr(desired));
        auto removed = co_await platform.remove_dns_ip();
        if (!removed) {
            QV_WARN(kDnsCommonTarget, "Unable to remove DNS server IP: {}.", removed.error());
            set_network_hostname_errors(networks,
                                        "Unable to remove DNS server IP: " + removed.error());
            co_return;
        }
        QV_TRACE(kDnsCommonTarget, "Successfully removed DNS server.");
        current.reset();
        current_server_ip.store(0);
    }
    if (desired && current != desired) {
        QV_TRACE(kDnsCommonTarget, "We need to set DNS server to {}.", *desired);
        auto set = co_await platform.set_dns_ip(*desired);
        if (!set) {
            QV_WARN(kDnsCommonTarget, "Unable to set DNS server IP: {}.", set.error());
            set_network_hostname_errors(networks, "Unable to set DNS server IP: " + set.error());
            co_return;
        }
        QV_TRACE(kDnsCommonTarget, "Successfully set DNS server to {}.", *desired);
        current_server_ip.store(desired->to_u32());
    }

    update_hostname_mappings(server, networks);

    auto flushed = co_await platform.flush_caches();
    if (!flushed) {
        QV_WARN(kDnsCommonTarget, "Unable to flush DNS caches: {}.", flushed.error());
    }
}

}  // namespace quorvel::agent
