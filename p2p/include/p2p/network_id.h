// Small values the node's options and errors share.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvel::p2p {

// Identifies one overlay: nodes and super peers of different networks never talk to each other.
struct NetworkId {
    std::array<uint8_t, 4> bytes{};
    // Eight lower-case hexadecimal digits.
    std::string to_string() const;
    // `NetworkId([1, 2, 3, 4])`.
    std::string debug() const;
    auto operator<=>(const NetworkId&) const = default;
};

// The network every node of this library belongs to.
inline constexpr NetworkId NETWORK_ID_DEFAULT{{0x71, 0x76, 0x00, 0x01}};

enum class TransportProt { TCP, UDP };
std::string_view transport_prot_name(TransportProt prot);

}  // namespace quorvel::p2p
