#include "agent/dns/native.h"

#include "agent/dns/unsupported_dns.h"

namespace quorvel::agent {

// The embedded DNS server is not part of this build yet: the component records that it cannot
// serve host names, answers no query, and reports no DNS server to the host.
std::shared_ptr<AgentDns> native_dns_component() {
    return std::make_shared<UnsupportedPlatformAgentDns>(
        "the embedded DNS server is not available in this build");
}

}  // namespace quorvel::agent
