// The DNS component that agent start-up builds on this platform when DNS is enabled.
#pragma once

#include "agent/dns/agent_dns.h"

#include <memory>

namespace quorvel::agent {

std::shared_ptr<AgentDns> native_dns_component();

}  // namespace quorvel::agent
