// The housekeeping loop's timing and the parts of the pass that other modules and tests name: the
// interval that paces the passes, the log targets, and the network-change record a pass builds.
// The pass itself and the loop are operations of `AgentInner` (inner.h).
#pragma once

#include "agent/config/agent_config.h"
#include "agent/network_listener.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/basic_waitable_timer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/wait_traits.hpp>

#include <optional>
#include <string_view>

namespace quorvel::agent {

inline constexpr std::string_view kHousekeepingTarget = "quorvel_agent::agent::housekeeping";
inline constexpr std::string_view kNetworkListenerTarget = "quorvel_agent::agent::network_listener";

// A periodic tick on `Clock`: the first tick completes at once, each later one a period after the
// one before. Ticks that fell due while the owner was busy complete at once, one after another,
// until the interval has caught up: none is skipped and the schedule never shifts to the time of
// a late tick. One waiter at a time; an abandoned wait leaves the schedule where it was.
template <class Clock, class WaitTraits = boost::asio::wait_traits<Clock>>
class BasicInterval {
  public:
    using Timer = boost::asio::basic_waitable_timer<Clock, WaitTraits>;

    BasicInterval(const boost::asio::any_io_executor& executor, typename Clock::duration period)
        : timer_(executor), period_(period), next_(Clock::now()) {}

    boost::asio::awaitable<void> tick() {
        timer_.expires_at(next_);
        co_await timer_.async_wait(boost::asio::use_awaitable);
        next_ += period_;
    }

    // When the next tick falls due.
    typename Clock::time_point next_tick() const { return next_; }

  private:
    Timer timer_;
    typename Clock::duration period_;
    typename Clock::time_point next_;
};

using Interval = BasicInterval<std::chrono::steady_clock>;

// The record reported to the host for these networks: every applied tunnel address and every
// destination of the applied routes, each list sorted by address and prefix length with
// duplicates kept, and `dns_server`. Logs each network's contribution at trace.
NetworkChange collect_network_change(const NetworkMap& networks,
                                     std::optional<Ipv4Addr> dns_server);

}  // namespace quorvel::agent
