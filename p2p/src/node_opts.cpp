#include "p2p/node_opts.h"

#include "util/debug_text.h"

namespace quorvel::p2p {

std::string NodeOptsBuilderError::to_string() const {
    if (kind_ == Kind::UninitializedField) {
        return fmt::format("`{}` must be initialized", detail_);
    }
    return detail_;
}

std::string NodeOptsBuilderError::debug() const {
    return fmt::format("{}({})",
                       kind_ == Kind::UninitializedField ? "UninitializedField" : "ValidationError",
                       debug_quoted(detail_));
}

NodeOptsBuilder& NodeOptsBuilder::id(Identity id) {
    id_ = std::move(id);
    return *this;
}
NodeOptsBuilder& NodeOptsBuilder::udp_addrs(std::vector<boost::asio::ip::address> addrs) {
    udp_addrs_ = std::move(addrs);
    return *this;
}
NodeOptsBuilder& NodeOptsBuilder::udp_port(std::optional<uint16_t> port) {
    udp_port_ = port;
    return *this;
}
NodeOptsBuilder& NodeOptsBuilder::super_peers(std::vector<SuperPeerUrl> peers) {
    super_peers_ = std::move(peers);
    return *this;
}
NodeOptsBuilder& NodeOptsBuilder::max_peers(uint64_t max_peers) {
    max_peers_ = max_peers;
    return *this;
}
NodeOptsBuilder& NodeOptsBuilder::min_pow_difficulty(uint8_t difficulty) {
    min_pow_difficulty_ = difficulty;
    return *this;
}
NodeOptsBuilder& NodeOptsBuilder::arm_messages(bool arm) {
    arm_messages_ = arm;
    return *this;
}
NodeOptsBuilder& NodeOptsBuilder::hello_timeout(std::chrono::milliseconds timeout) {
    hello_timeout_ = timeout;
    return *this;
}
NodeOptsBuilder& NodeOptsBuilder::hello_max_age(std::chrono::milliseconds max_age) {
    hello_max_age_ = max_age;
    return *this;
}
NodeOptsBuilder& NodeOptsBuilder::mtu(uint64_t mtu) {
    mtu_ = mtu;
    return *this;
}
NodeOptsBuilder& NodeOptsBuilder::process_unites(bool process) {
    process_unites_ = process;
    return *this;
}
NodeOptsBuilder& NodeOptsBuilder::housekeeping_interval(std::chrono::milliseconds interval) {
    housekeeping_interval_ = interval;
    return *this;
}
NodeOptsBuilder& NodeOptsBuilder::enforce_tcp(bool enforce) {
    enforce_tcp_ = enforce;
    return *this;
}

Result<NodeOpts, NodeOptsBuilderError> NodeOptsBuilder::build() const {
    if (!id_) {
        return unexpected(NodeOptsBuilderError::uninitialized_field("id"));
    }
    // Zero is an ordinary setting (the node then keeps house at its shortest pace); only a
    // negative duration, which no setting gives, is refused.
    if (housekeeping_interval_.count() < 0) {
        return unexpected(
            NodeOptsBuilderError::validation_error("housekeeping_interval must not be negative"));
    }
    return NodeOpts{
        .id = *id_,
        .udp_addrs = udp_addrs_,
        .udp_port = udp_port_,
        .super_peers = super_peers_ ? *super_peers_ : SUPER_PEERS_DEFAULT(),
        .max_peers = max_peers_,
        .min_pow_difficulty = min_pow_difficulty_,
        .arm_messages = arm_messages_,
        .hello_timeout = hello_timeout_,
        .hello_max_age = hello_max_age_,
        .mtu = mtu_,
        .process_unites = process_unites_,
        .housekeeping_interval = housekeeping_interval_,
        .enforce_tcp = enforce_tcp_,
    };
}

}  // namespace quorvel::p2p
