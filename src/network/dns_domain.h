// The overlay's DNS domain. Every node of a network is served as its host name, ".", this domain
// and "." (absolute); the host-name table prints the same names without the final dot.
#pragma once

#include <string_view>

namespace quorvel {

// A private-use top-level name, so overlay names can never shadow public ones.
inline constexpr std::string_view QUORVEL_DOMAIN = "quorvel.internal";

}  // namespace quorvel
