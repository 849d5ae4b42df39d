// The DNS component that agent start-up builds on this platform when DNS is enabled.
#pragma once

#include "agent/dns/agent_dns.h"

#include <boost/asio/any_io_executor.hpp>

#include <memory>

namespace quorvel::agent {

// Spawns the component's server driver on `executor`.
std::shared_ptr<AgentDns> native_dns_component(const boost::asio::any_io_executor& executor);

}  // namespace quorvel::agent
