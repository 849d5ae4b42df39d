// The agent's DNS component: the one object through which desired-state application applies host
// names and DNS server addresses, the housekeeping pass learns the DNS server it reports to the
// host, shutdown stops the server, and the packet path hands over DNS queries it has no route for.
//
// A component is shared: every operation may run on any runtime worker while others run on other
// workers, so implementations keep their mutable parts in atomics, snapshots, channels or behind
// locks of their own. Only apply_desired_state waits; it runs under the agent's state write lock.
#pragma once

#include "agent/netif/async_device.h"
#include "util/channel.h"
#include "util/ip_packet.h"
#include "util/ipv4.h"
#include "util/result.h"

#include <boost/asio/awaitable.hpp>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::agent {

struct AgentConfig;

inline constexpr std::string_view kDnsTarget = "quorvel_agent::agent::dns";

// The number of queries a server holds at once, queued and running together. A host process may
// live under a tight memory limit, so a flood of queries must not grow without bound.
class QueryLimit {
  public:
    explicit QueryLimit(std::size_t max) : max_(max) {}
    // Takes one slot; false when all are taken.
    bool try_acquire() {
        if (count_.fetch_add(1, std::memory_order_relaxed) >= max_) {
            count_.fetch_sub(1, std::memory_order_relaxed);
            return false;
        }
        return true;
    }
    void release() { count_.fetch_sub(1, std::memory_order_relaxed); }
    std::size_t in_use() const { return count_.load(std::memory_order_relaxed); }
    std::size_t max() const { return max_; }

  private:
    std::atomic<std::size_t> count_{0};
    std::size_t max_;
};

// One taken slot of a QueryLimit, given back when the permit goes: with the query that holds it,
// whether that query is answered or discarded in the queue.
class QueryPermit {
  public:
    QueryPermit() = default;
    explicit QueryPermit(std::shared_ptr<QueryLimit> limit) : limit_(std::move(limit)) {}
    QueryPermit(QueryPermit&& other) noexcept = default;
    QueryPermit& operator=(QueryPermit&& other) noexcept {
        if (this != &other) {
            reset();
            limit_ = std::move(other.limit_);
        }
        return *this;
    }
    ~QueryPermit() { reset(); }
    void reset() {
        if (auto limit = std::move(limit_)) {
            limit->release();
        }
    }

  private:
    std::shared_ptr<QueryLimit> limit_;
};

// One DNS query captured from the tunnel.
struct DnsServerRequest {
    std::vector<uint8_t> payload;      // every byte after the UDP header
    std::shared_ptr<AsyncDevice> tun;  // where the reply is written
    Ipv4Addr src;
    Ipv4Addr dst;
    uint16_t src_port = 0;
    uint16_t dst_port = 0;  // always 53
    // The query's slot in its server's limit, when the component counts its queries.
    QueryPermit permit;
};

class AgentDns {
  public:
    virtual ~AgentDns() = default;

    // Brings every network's current host names (and the server's addresses) up to the desired
    // ones. Uses only the configuration's networks map and writes at most each network's current
    // `hostnames` status.
    virtual boost::asio::awaitable<void> apply_desired_state(AgentConfig& config) = 0;
    // True when `addr` is one of the component's DNS server addresses. Never waits.
    virtual bool is_server_ip(Ipv4Addr addr) const = 0;
    // The DNS server address currently set, reported to the host; absent when none is set.
    virtual std::optional<Ipv4Addr> server_ip() const = 0;
    // Queues a query for the server; "Failed to send DNS request" when the server's driver is gone.
    virtual Result<void, std::string> send(DnsServerRequest request) const;
    // The sending end of the server's request channel.
    virtual UnboundedSender<DnsServerRequest> send_channel() const = 0;
    // Stops the server's driver; later calls do nothing.
    virtual void shutdown() = 0;
    // Takes the packet as a DNS query when it is UDP to port 53 of one of the server addresses
    // with a whole UDP header (then true, also when queueing failed); otherwise false and `tun`
    // is released. `header` is the packet's parsed IPv4 header. Never waits.
    virtual bool handle_outbound_packet(std::span<const uint8_t> packet,
                                        const ip::Ipv4HeaderSlice& header,
                                        std::shared_ptr<AsyncDevice> tun) const;
};

}  // namespace quorvel::agent
