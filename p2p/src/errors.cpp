// Display texts and debug forms of the node's errors.
#include <fmt/format.h>

#include "p2p/node_error.h"
#include "p2p/peer_errors.h"
#include "util/debug_text.h"

namespace quorvel::p2p {

std::string io_error_debug(const IoError& e) {
    if (e.os_code()) {
        return fmt::format("Os {{ code: {}, message: {} }}", *e.os_code(),
                           debug_quoted(e.description()));
    }
    return fmt::format("Custom {{ message: {} }}", debug_quoted(e.description()));
}

std::string InitiateError::to_string() const {
    switch (kind_) {
        case Kind::SendToSelf:
            return "cannot initiate contact with the node's own key";
        case Kind::PeersListCapacityExceeded:
            return fmt::format("peer list capacity of {} exceeded", max_peers_);
        case Kind::NodeStopped:
            return "the node has stopped";
        case Kind::Refused:
            return fmt::format("initiating contact with {} was refused", pk_);
    }
    return "initiate failed";
}

std::string InitiateError::debug() const {
    switch (kind_) {
        case Kind::SendToSelf:
            return "SendToSelf";
        case Kind::PeersListCapacityExceeded:
            return fmt::format("PeersListCapacityExceeded({})", max_peers_);
        case Kind::NodeStopped:
            return "NodeStopped";
        case Kind::Refused:
            return fmt::format("Refused({})", pk_);
    }
    return "Unknown";
}

std::string SendDatagramError::to_string() const {
    switch (kind_) {
        case Kind::PeerUnreachable:
            return fmt::format("no address known for peer {}", pk_);
        case Kind::NodeStopped:
            return "the node has stopped";
        case Kind::TooLarge:
            return fmt::format("datagram of {} bytes exceeds the limit of {} bytes", size_, max_);
        case Kind::Io:
            return "failed to send datagram: " + (io_ ? io_->to_string() : std::string());
    }
    return "send failed";
}

std::string SendDatagramError::debug() const {
    switch (kind_) {
        case Kind::PeerUnreachable:
            return fmt::format("PeerUnreachable({})", pk_);
        case Kind::NodeStopped:
            return "NodeStopped";
        case Kind::TooLarge:
            return fmt::format("TooLarge({}, {})", size_, max_);
        case Kind::Io:
            return "Io(" + (io_ ? io_error_debug(*io_) : std::string()) + ")";
    }
    return "Unknown";
}

namespace node {

std::string_view kind_name(Error::Kind kind) {
    using K = Error::Kind;
    switch (kind) {
        case K::SendFailed:
            return "SendFailed";
        case K::MessageError:
            return "MessageError";
        case K::CryptoError:
            return "CryptoError";
        case K::BindParseError:
            return "BindParseError";
        case K::BindError:
            return "BindError";
        case K::NetworkIdMismatch:
            return "NetworkIdMismatch";
        case K::SuperPeerNetworkIdMismatch:
            return "SuperPeerNetworkIdMismatch";
        case K::PowInvalid:
            return "PowInvalid";
        case K::MessageUnarmed:
            return "MessageUnarmed";
        case K::MessageArmed:
            return "MessageArmed";
        case K::MessageTypeUnexpected:
            return "MessageTypeUnexpected";
        case K::NoSuperPeers:
            return "NoSuperPeers";
        case K::MessageInvalidRecipient:
            return "MessageInvalidRecipient";
        case K::AckTimeIsInFuture:
            return "AckTimeIsInFuture";
        case K::AckTooOld:
            return "AckTooOld";
        case K::RecvBufDisconnected:
            return "RecvBufDisconnected";
        case K::MessageTypeInvalid:
            return "MessageTypeInvalid";
        case K::GetAddrsFailed:
            return "GetAddrsFailed";
        case K::SendingDirectError:
            return "SendingDirectError";
        case K::SendingRelayedError:
            return "SendingRelayedError";
        case K::UdpLocalAddrError:
            return "UdpLocalAddrError";
        case K::PeerNotPresent:
            return "PeerNotPresent";
        case K::TcpShutdownError:
            return "TcpShutdownError";
        case K::HousekeepingFailed:
            return "HousekeepingFailed";
        case K::HelloEndpointInvalid:
            return "HelloEndpointInvalid";
        case K::HelloAddressInvalid:
            return "HelloAddressInvalid";
        case K::AppLenInvalid:
            return "AppLenInvalid";
        case K::PeersListCapacityExceeded:
            return "PeersListCapacityExceeded";
        case K::SuperPeerResolveWrongFamily:
            return "SuperPeerResolveWrongFamily";
        case K::SendHandleAlreadyCreated:
            return "SendHandleAlreadyCreated";
        case K::ShortIdOutdated:
            return "ShortIdOutdated";
        case K::SendHandleClosed:
            return "SendHandleClosed";
        case K::RecipientIsSuperPeer:
            return "RecipientIsSuperPeer";
        case K::SendToSelf:
            return "SendToSelf";
        case K::AgreementPkNotPresent:
            return "AgreementPkNotPresent";
        case K::AgreementSkNotPresent:
            return "AgreementSkNotPresent";
        case K::InitiateError:
            return "InitiateError";
        case K::PacketDecodeError:
            return "PacketDecodeError";
        case K::NoAsyncRuntimeFound:
            return "NoAsyncRuntimeFound";
    }
    return "Unknown";
}

Error Error::send_failed(TransportProt prot, IoError io) {
    Error e(Kind::SendFailed);
    e.prot_ = prot;
    e.io_ = std::move(io);
    return e;
}
Error Error::message_error(std::string codec_error) {
    Error e(Kind::MessageError);
    e.text_ = std::move(codec_error);
    return e;
}
Error Error::crypto_error(crypto::Error c) {
    Error e(Kind::CryptoError);
    e.crypto_ = std::move(c);
    return e;
}
Error Error::bind_parse_error(std::string parse_error) {
    Error e(Kind::BindParseError);
    e.text_ = std::move(parse_error);
    return e;
}
Error Error::bind_error(IoError io, uint16_t port) {
    Error e(Kind::BindError);
    e.io_ = std::move(io);
    e.num_a_ = port;
    return e;
}
Error Error::network_id_mismatch(NetworkId id) {
    Error e(Kind::NetworkIdMismatch);
    e.id_a_ = id;
    return e;
}
Error Error::super_peer_network_id_mismatch(NetworkId expected, NetworkId found) {
    Error e(Kind::SuperPeerNetworkIdMismatch);
    e.id_a_ = expected;
    e.id_b_ = found;
    return e;
}
Error Error::message_type_unexpected(uint8_t type) {
    Error e(Kind::MessageTypeUnexpected);
    e.num_a_ = type;
    return e;
}
Error Error::ack_too_old(uint64_t age_ms) {
    Error e(Kind::AckTooOld);
    e.num_a_ = age_ms;
    return e;
}
Error Error::get_addrs_failed(IoError io) {
    Error e(Kind::GetAddrsFailed);
    e.io_ = std::move(io);
    return e;
}
Error Error::sending_direct_error(IoError io, SocketAddr addr) {
    Error e(Kind::SendingDirectError);
    e.io_ = std::move(io);
    e.addr_ = addr;
    return e;
}
Error Error::sending_relayed_error(PubKey via, PubKey to) {
    Error e(Kind::SendingRelayedError);
    e.pk_a_ = via;
    e.pk_b_ = to;
    return e;
}
Error Error::udp_local_addr_error(IoError io) {
    Error e(Kind::UdpLocalAddrError);
    e.io_ = std::move(io);
    return e;
}
Error Error::tcp_shutdown_error(IoError io) {
    Error e(Kind::TcpShutdownError);
    e.io_ = std::move(io);
    return e;
}
Error Error::housekeeping_failed(std::string join_error) {
    Error e(Kind::HousekeepingFailed);
    e.text_ = std::move(join_error);
    return e;
}
Error Error::hello_endpoint_invalid(std::string text) {
    Error e(Kind::HelloEndpointInvalid);
    e.text_ = std::move(text);
    return e;
}
Error Error::hello_address_invalid(std::string text) {
    Error e(Kind::HelloAddressInvalid);
    e.text_ = std::move(text);
    return e;
}
Error Error::app_len_invalid(size_t len, size_t max) {
    Error e(Kind::AppLenInvalid);
    e.num_a_ = len;
    e.num_b_ = max;
    return e;
}
Error Error::peers_list_capacity_exceeded(uint64_t capacity) {
    Error e(Kind::PeersListCapacityExceeded);
    e.num_a_ = capacity;
    return e;
}
Error Error::recipient_is_super_peer(PubKey pk) {
    Error e(Kind::RecipientIsSuperPeer);
    e.pk_a_ = pk;
    return e;
}
Error Error::initiate_error(InitiateError ie) {
    Error e(Kind::InitiateError);
    e.initiate_ = std::move(ie);
    return e;
}
Error Error::packet_decode_error(std::string decoder_error) {
    Error e(Kind::PacketDecodeError);
    e.text_ = std::move(decoder_error);
    return e;
}

namespace {

std::string io_text(const std::optional<IoError>& io) {
    return io ? io->to_string() : "";
}
std::string io_debug(const std::optional<IoError>& io) {
    return io ? io_error_debug(*io) : "";
}
std::string pk_debug(const PubKey& pk) {
    return fmt::format("PubKey({})", pk);
}

}  // namespace

std::string Error::to_string() const {
    switch (kind_) {
        case Kind::SendFailed:
            return fmt::format("failed to send over {}: {}", transport_prot_name(prot_),
                               io_text(io_));
        case Kind::MessageError:
            return "message error: " + text_;
        case Kind::CryptoError:
            return "crypto error: " + (crypto_ ? crypto_->to_string() : std::string());
        case Kind::BindParseError:
            return "invalid bind parameters: " + text_;
        case Kind::BindError:
            return fmt::format("failed to bind UDP port {}: {}", num_a_, io_text(io_));
        case Kind::NetworkIdMismatch:
            return fmt::format("message from network {}", id_a_.to_string());
        case Kind::SuperPeerNetworkIdMismatch:
            return fmt::format("super peer belongs to network {} instead of {}", id_b_.to_string(),
                               id_a_.to_string());
        case Kind::PowInvalid:
            return "proof of work is invalid";
        case Kind::MessageUnarmed:
            return "message is not armed";
        case Kind::MessageArmed:
            return "message is armed";
        case Kind::MessageTypeUnexpected:
            return fmt::format("unexpected message type {}", num_a_);
        case Kind::NoSuperPeers:
            return "no super peers configured";
        case Kind::MessageInvalidRecipient:
            return "message is addressed to another node";
        case Kind::AckTimeIsInFuture:
            return "acknowledgement time is in the future";
        case Kind::AckTooOld:
            return fmt::format("acknowledgement is {} ms old", num_a_);
        case Kind::RecvBufDisconnected:
            return "receive buffer disconnected";
        case Kind::MessageTypeInvalid:
            return "invalid message type";
        case Kind::GetAddrsFailed:
            return "failed to enumerate local addresses: " + io_text(io_);
        case Kind::SendingDirectError:
            return fmt::format("failed to send to {}: {}",
                               addr_ ? socket_addr_to_string(*addr_) : std::string(), io_text(io_));
        case Kind::SendingRelayedError:
            return fmt::format("failed to relay to {} via {}", pk_b_, pk_a_);
        case Kind::UdpLocalAddrError:
            return "failed to read the UDP socket's local address: " + io_text(io_);
        case Kind::PeerNotPresent:
            return "peer not present";
        case Kind::TcpShutdownError:
            return "failed to shut down TCP connection: " + io_text(io_);
        case Kind::HousekeepingFailed:
            return "housekeeping failed: " + text_;
        case Kind::HelloEndpointInvalid:
            return "invalid HELLO endpoint: " + text_;
        case Kind::HelloAddressInvalid:
            return "invalid HELLO address: " + text_;
        case Kind::AppLenInvalid:
            return fmt::format("application message of {} bytes exceeds {} bytes", num_a_, num_b_);
        case Kind::PeersListCapacityExceeded:
            return fmt::format("peer list capacity of {} exceeded", num_a_);
        case Kind::SuperPeerResolveWrongFamily:
            return "super peer resolved to an address of the wrong family";
        case Kind::SendHandleAlreadyCreated:
            return "send handle already created";
        case Kind::ShortIdOutdated:
            return "short id outdated";
        case Kind::SendHandleClosed:
            return "send handle closed";
        case Kind::RecipientIsSuperPeer:
            return fmt::format("recipient {} is a super peer", pk_a_);
        case Kind::SendToSelf:
            return "cannot send to self";
        case Kind::AgreementPkNotPresent:
            return "agreement public key not present";
        case Kind::AgreementSkNotPresent:
            return "agreement secret key not present";
        case Kind::InitiateError:
            return "initiate error: " + (initiate_ ? initiate_->to_string() : std::string());
        case Kind::PacketDecodeError:
            return "packet decode error: " + text_;
        case Kind::NoAsyncRuntimeFound:
            return "no async runtime found";
    }
    return "node error";
}

std::string Error::debug() const {
    std::string_view name = kind_name(kind_);
    switch (kind_) {
        case Kind::SendFailed:
            return fmt::format("{}({}, {})", name, transport_prot_name(prot_), io_debug(io_));
        case Kind::MessageError:
        case Kind::BindParseError:
        case Kind::HousekeepingFailed:
        case Kind::HelloEndpointInvalid:
        case Kind::HelloAddressInvalid:
        case Kind::PacketDecodeError:
            return fmt::format("{}({})", name, debug_quoted(text_));
        case Kind::CryptoError:
            return fmt::format("{}({})", name, crypto_ ? crypto_->debug() : std::string());
        case Kind::BindError:
            return fmt::format("{}({}, {})", name, io_debug(io_), num_a_);
        case Kind::NetworkIdMismatch:
            return fmt::format("{}({})", name, id_a_.debug());
        case Kind::SuperPeerNetworkIdMismatch:
            return fmt::format("{}({}, {})", name, id_a_.debug(), id_b_.debug());
        case Kind::MessageTypeUnexpected:
        case Kind::AckTooOld:
        case Kind::PeersListCapacityExceeded:
            return fmt::format("{}({})", name, num_a_);
        case Kind::GetAddrsFailed:
        case Kind::UdpLocalAddrError:
        case Kind::TcpShutdownError:
            return fmt::format("{}({})", name, io_debug(io_));
        case Kind::SendingDirectError:
            return fmt::format("{}({}, {})", name, io_debug(io_),
                               addr_ ? socket_addr_to_string(*addr_) : std::string());
        case Kind::SendingRelayedError:
            return fmt::format("{}({}, {})", name, pk_debug(pk_a_), pk_debug(pk_b_));
        case Kind::AppLenInvalid:
            return fmt::format("{}({}, {})", name, num_a_, num_b_);
        case Kind::RecipientIsSuperPeer:
            return fmt::format("{}({})", name, pk_debug(pk_a_));
        case Kind::InitiateError:
            return fmt::format("{}({})", name, initiate_ ? initiate_->debug() : std::string());
        default:
            return std::string(name);
    }
}

}  // namespace node

}  // namespace quorvel::p2p
