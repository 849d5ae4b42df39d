// The node's error type. Each variant has a fixed display text and a debug form that names the
// variant with its fields in parentheses.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "p2p/crypto.h"
#include "p2p/keys.h"
#include "p2p/network_id.h"
#include "p2p/peer_errors.h"
#include "p2p/stats.h"
#include "util/io_error.h"

namespace quorvel::p2p::node {

class Error {
  public:
    enum class Kind {
        SendFailed,
        MessageError,
        CryptoError,
        BindParseError,
        BindError,
        NetworkIdMismatch,
        SuperPeerNetworkIdMismatch,
        PowInvalid,
        MessageUnarmed,
        MessageArmed,
        MessageTypeUnexpected,
        NoSuperPeers,
        MessageInvalidRecipient,
        AckTimeIsInFuture,
        AckTooOld,
        RecvBufDisconnected,
        MessageTypeInvalid,
        GetAddrsFailed,
        SendingDirectError,
        SendingRelayedError,
        UdpLocalAddrError,
        PeerNotPresent,
        TcpShutdownError,
        HousekeepingFailed,
        HelloEndpointInvalid,
        HelloAddressInvalid,
        AppLenInvalid,
        PeersListCapacityExceeded,
        SuperPeerResolveWrongFamily,
        SendHandleAlreadyCreated,
        ShortIdOutdated,
        SendHandleClosed,
        RecipientIsSuperPeer,
        SendToSelf,
        AgreementPkNotPresent,
        AgreementSkNotPresent,
        InitiateError,
        PacketDecodeError,
        NoAsyncRuntimeFound,
    };

    // Variants without fields.
    explicit Error(Kind kind) : kind_(kind) {}

    static Error send_failed(TransportProt prot, IoError io);
    static Error message_error(std::string codec_error);
    static Error crypto_error(crypto::Error e);
    static Error bind_parse_error(std::string parse_error);
    static Error bind_error(IoError io, uint16_t port);
    static Error network_id_mismatch(NetworkId id);
    static Error super_peer_network_id_mismatch(NetworkId expected, NetworkId found);
    static Error message_type_unexpected(uint8_t type);
    static Error ack_too_old(uint64_t age_ms);
    static Error get_addrs_failed(IoError io);
    static Error sending_direct_error(IoError io, SocketAddr addr);
    static Error sending_relayed_error(PubKey via, PubKey to);
    static Error udp_local_addr_error(IoError io);
    static Error tcp_shutdown_error(IoError io);
    static Error housekeeping_failed(std::string join_error);
    static Error hello_endpoint_invalid(std::string text);
    static Error hello_address_invalid(std::string text);
    static Error app_len_invalid(size_t len, size_t max);
    static Error peers_list_capacity_exceeded(uint64_t capacity);
    static Error recipient_is_super_peer(PubKey pk);
    static Error initiate_error(InitiateError e);
    static Error packet_decode_error(std::string decoder_error);

    Kind kind() const { return kind_; }
    std::string to_string() const;
    std::string debug() const;

    const std::optional<IoError>& io_error() const { return io_; }
    const std::optional<crypto::Error>& crypto() const { return crypto_; }

    bool operator==(const Error&) const = default;

  private:
    Kind kind_;
    std::optional<IoError> io_;
    std::optional<crypto::Error> crypto_;
    std::optional<InitiateError> initiate_;
    std::optional<SocketAddr> addr_;
    TransportProt prot_ = TransportProt::UDP;
    NetworkId id_a_;
    NetworkId id_b_;
    PubKey pk_a_;
    PubKey pk_b_;
    std::string text_;
    uint64_t num_a_ = 0;
    uint64_t num_b_ = 0;
};

// The variant's name, e.g. "BindError".
std::string_view kind_name(Error::Kind kind);

}  // namespace quorvel::p2p::node

template <>
struct fmt::formatter<quorvel::p2p::node::Error> : fmt::formatter<std::string_view> {
    auto format(const quorvel::p2p::node::Error& e, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(e.to_string(), ctx);
    }
};
