// The options a node is bound with, and the builder the agent fills from its configuration and
// the environment. Every setter only stores; `build` checks the set as a whole.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <boost/asio/ip/address.hpp>

#include "p2p/identity.h"
#include "p2p/network_id.h"
#include "p2p/super_peer.h"
#include "util/result.h"

namespace quorvel::p2p {

inline constexpr uint8_t MIN_POW_DIFFICULTY_DEFAULT = 24;
inline constexpr bool ARM_MESSAGES_DEFAULT = true;
inline constexpr uint64_t MAX_PEERS_DEFAULT = 8192;
inline constexpr uint64_t HELLO_TIMEOUT_DEFAULT_MS = 30000;
inline constexpr uint64_t HELLO_MAX_AGE_DEFAULT_MS = 60000;
inline constexpr bool PROCESS_UNITES_DEFAULT = true;
inline constexpr uint64_t HOUSEKEEPING_INTERVAL_DEFAULT_MS = 5000;
inline constexpr bool ENFORCE_TCP_DEFAULT = false;
inline constexpr uint64_t MTU_DEFAULT = 1200;

struct NodeOpts {
    Identity id;
    // Addresses the node binds; empty binds the loopback address 127.0.0.1.
    std::vector<boost::asio::ip::address> udp_addrs;
    // Absent: the port derived from the public key (PubKey::udp_port); 0: any free port.
    std::optional<uint16_t> udp_port;
    std::vector<SuperPeerUrl> super_peers;
    // 0 (no limit) or a power of two: the most peers the node keeps.
    uint64_t max_peers = MAX_PEERS_DEFAULT;
    uint8_t min_pow_difficulty = MIN_POW_DIFFICULTY_DEFAULT;
    bool arm_messages = ARM_MESSAGES_DEFAULT;
    std::chrono::milliseconds hello_timeout{HELLO_TIMEOUT_DEFAULT_MS};
    std::chrono::milliseconds hello_max_age{HELLO_MAX_AGE_DEFAULT_MS};
    uint64_t mtu = MTU_DEFAULT;
    bool process_unites = PROCESS_UNITES_DEFAULT;
    std::chrono::milliseconds housekeeping_interval{HOUSEKEEPING_INTERVAL_DEFAULT_MS};
    bool enforce_tcp = ENFORCE_TCP_DEFAULT;

    // The UDP port the node binds.
    uint16_t effective_udp_port() const { return udp_port.value_or(id.pk().udp_port()); }
    NetworkId network_id() const { return NETWORK_ID_DEFAULT; }
};

class NodeOptsBuilderError {
  public:
    enum class Kind { UninitializedField, ValidationError };
    static NodeOptsBuilderError uninitialized_field(std::string field) {
        return NodeOptsBuilderError(Kind::UninitializedField, std::move(field));
    }
    static NodeOptsBuilderError validation_error(std::string message) {
        return NodeOptsBuilderError(Kind::ValidationError, std::move(message));
    }

    Kind kind() const { return kind_; }
    // The field name or the validation message.
    const std::string& detail() const { return detail_; }
    std::string to_string() const;
    // `UninitializedField("id")` or `ValidationError("...")`.
    std::string debug() const;
    bool operator==(const NodeOptsBuilderError&) const = default;

  private:
    NodeOptsBuilderError(Kind kind, std::string detail) : kind_(kind), detail_(std::move(detail)) {}
    Kind kind_;
    std::string detail_;
};

// Every option but the identity has the default of the matching environment variable; the
// super-peer list defaults to SUPER_PEERS_DEFAULT.
class NodeOptsBuilder {
  public:
    NodeOptsBuilder& id(Identity id);
    NodeOptsBuilder& udp_addrs(std::vector<boost::asio::ip::address> addrs);
    NodeOptsBuilder& udp_port(std::optional<uint16_t> port);
    NodeOptsBuilder& super_peers(std::vector<SuperPeerUrl> peers);
    NodeOptsBuilder& max_peers(uint64_t max_peers);
    NodeOptsBuilder& min_pow_difficulty(uint8_t difficulty);
    NodeOptsBuilder& arm_messages(bool arm);
    NodeOptsBuilder& hello_timeout(std::chrono::milliseconds timeout);
    NodeOptsBuilder& hello_max_age(std::chrono::milliseconds max_age);
    NodeOptsBuilder& mtu(uint64_t mtu);
    NodeOptsBuilder& process_unites(bool process);
    NodeOptsBuilder& housekeeping_interval(std::chrono::milliseconds interval);
    NodeOptsBuilder& enforce_tcp(bool enforce);

    // Fails without an identity, and with a zero housekeeping interval (the node's housekeeping
    // would never rest).
    Result<NodeOpts, NodeOptsBuilderError> build() const;

  private:
    std::optional<Identity> id_;
    std::vector<boost::asio::ip::address> udp_addrs_;
    std::optional<uint16_t> udp_port_;
    std::optional<std::vector<SuperPeerUrl>> super_peers_;
    uint64_t max_peers_ = MAX_PEERS_DEFAULT;
    uint8_t min_pow_difficulty_ = MIN_POW_DIFFICULTY_DEFAULT;
    bool arm_messages_ = ARM_MESSAGES_DEFAULT;
    std::chrono::milliseconds hello_timeout_{HELLO_TIMEOUT_DEFAULT_MS};
    std::chrono::milliseconds hello_max_age_{HELLO_MAX_AGE_DEFAULT_MS};
    uint64_t mtu_ = MTU_DEFAULT;
    bool process_unites_ = PROCESS_UNITES_DEFAULT;
    std::chrono::milliseconds housekeeping_interval_{HOUSEKEEPING_INTERVAL_DEFAULT_MS};
    bool enforce_tcp_ = ENFORCE_TCP_DEFAULT;
};

}  // namespace quorvel::p2p

template <>
struct fmt::formatter<quorvel::p2p::NodeOptsBuilderError> : fmt::formatter<std::string_view> {
    auto format(const quorvel::p2p::NodeOptsBuilderError& e, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(e.to_string(), ctx);
    }
};
