#include "network/config/config_error.h"

#include "util/shown_text.h"

namespace quorvel::network {

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace

std::string ConfigError::to_string() const {
    return std::visit(
        Overloaded{
            [](const IpNotInNetwork& e) {
                return fmt::format("IP address {} is not in network {}", e.ip, e.network);
            },
            [](const GatewayNotFound& e) {
                return fmt::format("gateway {} not found in nodes", e.pk);
            },
            [](const TomlDeserialization& e) {
                return fmt::format("TOML deserialization error: {}", e.error);
            },
            [](const DuplicateRoute&) { return std::string("duplicate route"); },
            [](const ReservedIp& e) { return fmt::format("IP address {} is reserved", e.ip); },
            [](const InvalidHostname& e) {
                // The name as the document holds it, which may be a URL with its password, and
                // of any length: outside text, cut before it is masked.
                return fmt::format("invalid hostname: {}", outside_text(e.hostname));
            },
            [](const HostAddress& e) {
                return fmt::format("invalid network address: {} is a host address", e.network);
            },
        },
        value_);
}

}  // namespace quorvel::network
