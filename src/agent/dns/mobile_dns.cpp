#include "agent/dns/mobile_dns.h"

#include "agent/config/agent_config.h"
#include "util/log.h"
#include "util/runtime.h"

#include <fmt/ranges.h>

namespace quorvel::agent {

namespace {

boost::asio::awaitable<void> run_driver(DnsServerDriver driver,
                                        std::vector<log::SpanRecord> spans) {
    auto result = co_await DnsServerDriver::run(std::move(driver));
    if (!result) {
        log::ScopedSpans entered(spans);
        QV_ERROR(kDnsMobileTarget, "I/O error: {}", result.error());
    }
}

}  // namespace

MobileAgentDns::MobileAgentDns(DnsServerRef server, UnboundedSender<DnsServerRequest> request_tx,
                               std::size_t max_queries)
    : server_(std::move(server)),
      request_tx_(std::move(request_tx)),
      allowed_server_ips_(std::make_shared<const DnsServerIpSet>()),
      query_limit_(std::make_shared<QueryLimit>(max_queries)) {}

std::shared_ptr<MobileAgentDns> MobileAgentDns::create(const boost::asio::any_io_executor& executor,
                                                       std::size_t max_queries) {
    auto [request_tx, request_rx] = unbounded_channel<DnsServerRequest>();
    auto [server, shutdown_rx] = DnsServerRef::create(dns::UpstreamServers{});
    DnsServerDriver driver(server, std::move(request_rx), std::move(shutdown_rx));
    spawn_detached(executor, run_driver(std::move(driver), log::current_spans()), "dns driver");
    return std::make_shared<MobileAgentDns>(std::move(server), std::move(request_tx), max_queries);
}

boost::asio::awaitable<void> MobileAgentDns::apply_desired_state(AgentConfig& config) {
    co_await apply_desired_state_common(*this, current_server_ip_, allowed_server_ips_, server_,
                                        config.network);
}

bool MobileAgentDns::is_server_ip(Ipv4Addr addr) const {
    const auto ips = allowed_server_ips_.load();
    const bool result = ips->contains(addr);
    if (log::enabled(log::Level::Trace)) {
        QV_TRACE(kDnsMobileTarget,
                 "Checking if IP {} is a DNS server IP: {} (allowed_server_ips: [{}])", addr,
                 result, fmt::join(*ips, ", "));
    }
    return result;
}

std::optional<Ipv4Addr> MobileAgentDns::server_ip() const {
    const uint32_t ip = current_server_ip_.load();
    return ip == 0 ? std::nullopt : std::optional<Ipv4Addr>(Ipv4Addr(ip));
}

Result<void, std::string> MobileAgentDns::send(DnsServerRequest request) const {
    if (!query_limit_->try_acquire()) {
        if (!dropping_.exchange(true, std::memory_order_relaxed)) {
            QV_WARN(kDnsMobileTarget,
                    "Dropping DNS query from {}:{}: {} queries are already queued or running",
                    request.src, request.src_port, query_limit_->max());
        }
        return unexpected(std::string("Failed to send DNS request"));
    }
    if (dropping_.load(std::memory_order_relaxed)) {
        dropping_.store(false, std::memory_order_relaxed);
    }
    request.permit = QueryPermit(query_limit_);
    return AgentDns::send(std::move(request));
}

void MobileAgentDns::shutdown() {
    server_.with_state([](server::State& state) {
        if (auto tx = std::move(state.shutdown_tx)) {
            state.shutdown_tx.reset();
            // A full or closed channel means the driver is stopping already.
            (void)std::move(*tx).send(Unit{});
        }
    });
}

boost::asio::awaitable<Result<std::optional<Ipv4Addr>, std::string>>
MobileAgentDns::get_current_dns_ip() {
    co_return server_ip();
}

boost::asio::awaitable<Result<void, std::string>> MobileAgentDns::set_dns_ip(Ipv4Addr) {
    co_return Result<void, std::string>{};
}

boost::asio::awaitable<Result<void, std::string>> MobileAgentDns::remove_dns_ip() {
    co_return Result<void, std::string>{};
}

boost::asio::awaitable<Result<void, std::string>> MobileAgentDns::flush_caches() {
    co_return Result<void, std::string>{};
}

}  // namespace quorvel::agent
