#include "agent/dns/server.h"

#include "agent/dns/response_handle.h"
#include "network/dns_domain.h"
#include "util/log.h"
#include "util/runtime.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <variant>

namespace quorvel::agent {

namespace {

using dns::kServerTarget;

dns::SocketAddr socket_addr(Ipv4Addr addr, uint16_t port) {
    return {boost::asio::ip::address_v4(addr.to_u32()), port};
}

std::string overlay_origin_text() {
    return std::string(QUORVEL_DOMAIN) + ".";
}

}  // namespace

void server::State::update_catalog(const NetworkMap& networks) {
    QV_TRACE(kServerTarget, "Building DNS catalog");
    auto next = std::make_shared<dns::Catalog>();
    const std::string upstream_text = upstream_servers.debug_text();
    QV_TRACE(kServerTarget, "Using upstream servers: {}", upstream_text);
    if (!upstream_servers.empty()) {
        // A new forwarder each time: of the previous catalog only the count of lookups in flight
        // carries over.
        next->upsert_root(
            std::make_shared<const dns::ForwardAuthority>(upstream_servers, forward_slots));
        QV_TRACE(kServerTarget,
                 "Added ForwardAuthority for root zone with upstream DNS forwarding: {}",
                 upstream_text);
    } else {
        QV_TRACE(kServerTarget,
                 "No upstream servers configured, skipping ForwardAuthority for root zone");
    }
    const std::string origin_text = overlay_origin_text();
    auto origin = dns::name_wire(origin_text);
    if (!origin) {
        QV_ERROR(kServerTarget, "Invalid overlay DNS domain: {}", origin_text);
        return;
    }
    auto zone = std::make_shared<dns::InMemoryAuthority>(*origin, dns::ZoneType::External);
    for (const auto& [url, network] : networks) {
        const auto& hostnames = network.desired_state.hostnames.applied;
        if (!hostnames || hostnames->empty()) {
            continue;
        }
        for (const auto& [addr, host] : *hostnames) {
            QV_TRACE(kServerTarget, "Adding DNS A record: {}.{} -> {}", host, QUORVEL_DOMAIN, addr);
            if (!zone->upsert(host, addr)) {
                // Host names pass the network document's rule, so this means a broken document.
                QV_WARN(kServerTarget, "Skipping invalid host name: {}", host);
            }
        }
    }
    next->upsert(std::move(zone));
    catalog = std::move(next);
}

std::pair<DnsServerRef, OneshotReceiver<Unit>> DnsServerRef::create(dns::UpstreamServers upstream) {
    auto [shutdown_tx, shutdown_rx] = oneshot_channel<Unit>();
    auto inner = std::make_shared<DnsServerInner>();
    inner->state.catalog = std::make_shared<const dns::Catalog>();
    inner->state.upstream_servers = std::move(upstream);
    inner->state.shutdown_tx.emplace(std::move(shutdown_tx));
    return {DnsServerRef(std::move(inner)), std::move(shutdown_rx)};
}

DnsServerRef::DnsServerRef(const DnsServerRef& other) : inner_(other.inner_) {
    std::lock_guard lock(inner_->mutex);
    ++inner_->state.handle_count;
}

DnsServerRef::~DnsServerRef() {
    if (!inner_) {
        return;
    }
    std::optional<OneshotSender<Unit>> dropped;
    std::lock_guard lock(inner_->mutex);
    auto& count = inner_->state.handle_count;
    if (count > 0) {
        --count;
    }
    if (count == 0) {
        dropped = std::move(inner_->state.shutdown_tx);
        inner_->state.shutdown_tx.reset();
    }
}

boost::asio::awaitable<Result<void, IoError>> DnsServerDriver::run(DnsServerDriver driver) {
    auto strand = boost::asio::make_strand(co_await boost::asio::this_coro::executor);
    co_return co_await boost::asio::co_spawn(strand, serve(std::move(driver)),
                                             boost::asio::use_awaitable);
}

boost::asio::awaitable<Result<void, IoError>> DnsServerDriver::serve(DnsServerDriver driver) {
    using namespace boost::asio::experimental::awaitable_operators;
    auto executor = co_await boost::asio::this_coro::executor;
    for (;;) {
        // The shutdown signal is looked at first, so it wins over a request ready at once.
        auto shutdown = driver.shutdown_rx_.try_recv();
        if (shutdown || shutdown.error() == TryRecvError::Disconnected) {
            co_return Result<void, IoError>{};
        }
        auto request = driver.request_rx_.try_recv();
        if (!request && request.error() == TryRecvError::Disconnected) {
            co_return unexpected(IoError::other("DNS server receiver channel was closed"));
        }
        if (!request) {
            // Nothing ready: wait for either, then look again in the same order.
            auto woken = co_await (driver.shutdown_rx_.recv() || driver.request_rx_.recv());
            if (woken.index() == 0) {
                co_return Result<void, IoError>{};
            }
            auto& received = std::get<1>(woken);
            if (!received) {
                continue;  // the request channel closed: reported by the check above
            }
            request = std::move(*received);
        }
        handle_dns_request(std::move(*request), driver.server_.catalog(), executor);
    }
}

void handle_dns_request(DnsServerRequest request, std::shared_ptr<const dns::Catalog> catalog,
                        const boost::asio::any_io_executor& executor) {
    const std::size_t len = request.payload.size();
    QV_LOG_FIELDS(log::Level::Trace, kServerTarget,
                  (std::vector<log::Field>{{"src", request.src.to_string()},
                                           {"src_port", std::to_string(request.src_port)},
                                           {"dst", request.dst.to_string()},
                                           {"dst_port", std::to_string(request.dst_port)},
                                           {"len", std::to_string(len)}}),
                  "Received DNS packet from {}:{} ({} bytes)", request.src, request.src_port, len);
    QV_TRACE(kServerTarget, "Processing DNS packet using embedded DNS");
    auto decoded = dns::MessageRequest::read(request.payload);
    if (!decoded) {
        QV_ERROR(kServerTarget, "Failed to decode DNS message: {}", decoded.error());
        QV_TRACE(kServerTarget, "DNS packet processing completed");
        return;
    }
    QV_TRACE(kServerTarget, "Successfully decoded DNS message");
    const dns::MessageRequest& message = *decoded;
    if (message.header.response) {
        QV_TRACE(kServerTarget, "Dropping DNS response message to prevent reflection attacks");
        return;
    }
    QV_TRACE(kServerTarget, "Processing DNS query message");
    const bool dnssec = message.edns && message.edns->dnssec_ok;
    if (log::enabled(log::Level::Trace)) {
        log::emit(log::Level::Trace, kServerTarget, "Parsed DNS message details",
                  {{"id", std::to_string(message.header.id)},
                   {"op_code", dns::op_code_text(message.header.op_code)},
                   {"message_type", "Query"},
                   {"dnssec", dnssec ? "true" : "false"}});
    }
    QV_DEBUG(kServerTarget, "request:{} src:UDP://{}#{} type:Query dnssec:{} {} qflags:{}",
             message.header.id, request.src, request.src_port, dnssec,
             dns::op_code_text(message.header.op_code), message.header.flags_text());
    if (log::enabled(log::Level::Debug)) {
        for (const auto& query : message.queries) {
            const std::string name = dns::name_text(query.name);
            const std::string type = dns::record_type_text(query.query_type);
            const std::string dns_class = dns::record_class_text(query.query_class);
            QV_LOG_FIELDS(
                log::Level::Trace, kServerTarget,
                (std::vector<log::Field>{{"query", name}, {"qtype", type}, {"class", dns_class}}),
                "Processing DNS query");
            QV_DEBUG(kServerTarget, "query:{}:{}:{}", name, type, dns_class);
        }
    }
    QV_TRACE(kServerTarget, "Handling DNS request with catalog");
    dns::ResponseHandle handle(socket_addr(request.dst, request.dst_port),
                               socket_addr(request.src, request.src_port), std::move(request.tun),
                               executor, std::move(request.permit));
    catalog->handle_request(message, handle);
    QV_TRACE(kServerTarget, "DNS request handling completed");
    QV_TRACE(kServerTarget, "DNS packet processing completed");
}

}  // namespace quorvel::agent
