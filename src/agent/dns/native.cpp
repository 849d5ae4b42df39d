#include "agent/dns/native.h"

#include "agent/dns/mobile_dns.h"

namespace quorvel::agent {

std::shared_ptr<AgentDns> native_dns_component(const boost::asio::any_io_executor& executor) {
    return MobileAgentDns::create(executor);
}

}  // namespace quorvel::agent
