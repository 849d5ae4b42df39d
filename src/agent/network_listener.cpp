#include "agent/network_listener.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace quorvel::agent {

namespace {

std::string debug_nets(const std::optional<std::vector<Ipv4Net>>& nets) {
    if (!nets) {
        return "None";
    }
    return fmt::format("Some([{}])", fmt::join(*nets, ", "));
}

}  // namespace

std::string NetworkChange::debug() const {
    return fmt::format("NetworkChange {{ ips: {}, routes: {}, dns_server: {} }}", debug_nets(ips),
                       debug_nets(routes),
                       dns_server ? fmt::format("Some({})", *dns_server) : std::string("None"));
}

}  // namespace quorvel::agent
