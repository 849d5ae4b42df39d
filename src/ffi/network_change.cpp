#include "ffi/network_change.h"

#include "ffi/ffi_common.h"
#include "util/log.h"

#include <fmt/ranges.h>

namespace quorvel::ffi {

namespace {

std::string join_networks(const std::optional<std::vector<Ipv4Net>>& networks) {
    return networks ? fmt::format("{}", fmt::join(*networks, ",")) : std::string();
}

}  // namespace

NetworkChangeTexts network_change_texts(const agent::NetworkChange& change) {
    return NetworkChangeTexts{
        .ips = join_networks(change.ips),
        .routes = join_networks(change.routes),
        .dns_server = change.dns_server ? change.dns_server->to_string() : std::string(),
    };
}

agent::NetworkListener network_change_listener(QuorvelNetworkChangeCallback callback) {
    return [callback](agent::NetworkChange change) {
        NetworkChangeTexts texts = network_change_texts(change);
        QV_TRACE(kTarget,
                 "Calling network_change_callback with NetworkChange: ips='{}', routes='{}'",
                 texts.ips, texts.routes);
        // Address and network texts never hold a NUL byte.
        const NetworkChangeInfo info{texts.ips.c_str(), texts.routes.c_str(),
                                     texts.dns_server.c_str()};
        callback(&info);
    };
}

}  // namespace quorvel::ffi

extern "C" {

const char* quorvel_agent_network_change_ips(const NetworkChangeInfo* info) noexcept {
    return info == nullptr ? nullptr : info->ips;
}

const char* quorvel_agent_network_change_routes(const NetworkChangeInfo* info) noexcept {
    return info == nullptr ? nullptr : info->routes;
}

const char* quorvel_agent_network_change_dns_server(const NetworkChangeInfo* info) noexcept {
    return info == nullptr ? nullptr : info->dns_server;
}

}  // extern "C"
