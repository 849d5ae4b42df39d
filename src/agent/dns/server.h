// The embedded DNS server: its shared state behind a blocking mutex, the counted handles to it
// (`DnsServerRef`), the driver task that takes captured queries off the request channel, and the
// handling of one query.
//
// Each query is answered on its own: nothing in one query waits for another. Decoding, lookup and
// encoding never wait, so the driver does them itself as each query arrives; the one step that
// may wait, a write to a full tunnel, goes on in a task of its own (see ResponseHandle). Handing
// every query to a new task instead costs a wake-up of another worker per query, which the
// benchmark showed to halve the queries answered per second.
//
// Handle counting: the handle that `create` returns counts 0 and each clone adds 1; a release
// takes 1 off (never below 0) and, when the count is then 0, drops the shutdown sender, which
// stops the driver. With the two handles the DNS component makes (its own and the driver's),
// releasing either one stops the driver.
#pragma once

#include "agent/config/agent_config.h"
#include "agent/dns/agent_dns.h"
#include "agent/dns/catalog.h"
#include "agent/dns/forward.h"
#include "util/channel.h"
#include "util/io_error.h"
#include "util/result.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <cstddef>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace quorvel::agent {

struct Unit {};

namespace server {

struct State {
    // Never null and never changed in place: a rebuild swaps in a new catalog.
    std::shared_ptr<const dns::Catalog> catalog;
    // The servers the root forwarder asks; set at creation and never changed. The agent gives
    // none, so its catalogs refuse names outside the overlay zone.
    dns::UpstreamServers upstream_servers;
    // The lookups waiting on those servers, counted across every forwarder the server builds.
    std::shared_ptr<QueryLimit> forward_slots =
        std::make_shared<QueryLimit>(dns::kMaxForwardsInFlight);
    // Present until a release that leaves the count at 0, or the component's shutdown, takes it.
    std::optional<OneshotSender<Unit>> shutdown_tx;
    std::size_t handle_count = 0;

    // Builds a new catalog from the networks' desired host names (the overlay zone with an A
    // record, TTL 10, per host name and address) and, with upstream servers, a new root
    // forwarder, and swaps it in. The caller holds the lock.
    void update_catalog(const NetworkMap& networks);
};

}  // namespace server

struct DnsServerInner {
    std::mutex mutex;
    server::State state;
};

class DnsServerRef {
  public:
    // A new server with an empty catalog that forwards to `upstream` once its catalog is built:
    // its first handle and the shutdown receiver.
    static std::pair<DnsServerRef, OneshotReceiver<Unit>> create(dns::UpstreamServers upstream);

    // Counting clone.
    DnsServerRef(const DnsServerRef& other);
    DnsServerRef(DnsServerRef&& other) noexcept = default;
    DnsServerRef& operator=(const DnsServerRef&) = delete;
    DnsServerRef& operator=(DnsServerRef&&) = delete;
    ~DnsServerRef();

    // Runs `fn` on the state with the lock held. `fn` must not wait on anything.
    template <class Fn>
    decltype(auto) with_state(Fn&& fn) const {
        std::lock_guard lock(inner_->mutex);
        return std::forward<Fn>(fn)(inner_->state);
    }

    // The current catalog.
    std::shared_ptr<const dns::Catalog> catalog() const {
        return with_state([](server::State& s) { return s.catalog; });
    }

  private:
    explicit DnsServerRef(std::shared_ptr<DnsServerInner> inner) : inner_(std::move(inner)) {}
    std::shared_ptr<DnsServerInner> inner_;
};

class DnsServerDriver {
  public:
    DnsServerDriver(DnsServerRef server, UnboundedReceiver<DnsServerRequest> request_rx,
                    OneshotReceiver<Unit> shutdown_rx)
        : server_(std::move(server)),
          request_rx_(std::move(request_rx)),
          shutdown_rx_(std::move(shutdown_rx)) {}

    // Serves requests until the shutdown signal arrives or its channel closes (success), or every
    // request sender is gone (broken pipe: "DNS server receiver channel was closed"). A shutdown
    // signal wins over a request that is ready at the same time. Requests still queued at the
    // end are discarded unanswered. Consumes the driver.
    static boost::asio::awaitable<Result<void, IoError>> run(DnsServerDriver driver);

  private:
    // The loop itself; runs on a strand, since waiting for either channel cancels the other
    // wait, and cancellation is not safe across threads.
    static boost::asio::awaitable<Result<void, IoError>> serve(DnsServerDriver driver);

    DnsServerRef server_;
    UnboundedReceiver<DnsServerRequest> request_rx_;
    OneshotReceiver<Unit> shutdown_rx_;
};

// Answers one captured query from `catalog`: decodes it, drops undecodable messages and
// responses, and hands the rest to the catalog with a response handle on the query's tunnel.
// Never waits: a reply the tunnel cannot take yet goes on as a task on `executor`.
void handle_dns_request(DnsServerRequest request, std::shared_ptr<const dns::Catalog> catalog,
                        const boost::asio::any_io_executor& executor);

}  // namespace quorvel::agent
