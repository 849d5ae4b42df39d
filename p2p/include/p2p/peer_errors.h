// Why the node could not start contact with a peer, or could not send a peer's datagrams.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "p2p/keys.h"
#include "util/io_error.h"

namespace quorvel::p2p {

class InitiateError {
  public:
    enum class Kind { SendToSelf, PeersListCapacityExceeded, NodeStopped, Refused };

    static InitiateError send_to_self() { return InitiateError(Kind::SendToSelf); }
    static InitiateError capacity_exceeded(uint64_t max_peers) {
        InitiateError e(Kind::PeersListCapacityExceeded);
        e.max_peers_ = max_peers;
        return e;
    }
    static InitiateError node_stopped() { return InitiateError(Kind::NodeStopped); }
    // A test turned this key away (see p2p/testing.h).
    static InitiateError refused(const PubKey& pk) {
        InitiateError e(Kind::Refused);
        e.pk_ = pk;
        return e;
    }

    Kind kind() const { return kind_; }
    std::string to_string() const;
    std::string debug() const;
    bool operator==(const InitiateError&) const = default;

  private:
    explicit InitiateError(Kind kind) : kind_(kind) {}
    Kind kind_;
    uint64_t max_peers_ = 0;
    PubKey pk_;
};

class SendDatagramError {
  public:
    enum class Kind { PeerUnreachable, NodeStopped, TooLarge, Io };

    // No address of the peer is known: it is not bound in this process and has not written to us.
    static SendDatagramError peer_unreachable(const PubKey& pk) {
        SendDatagramError e(Kind::PeerUnreachable);
        e.pk_ = pk;
        return e;
    }
    static SendDatagramError node_stopped() { return SendDatagramError(Kind::NodeStopped); }
    static SendDatagramError too_large(size_t size, size_t max) {
        SendDatagramError e(Kind::TooLarge);
        e.size_ = size;
        e.max_ = max;
        return e;
    }
    static SendDatagramError io(IoError error) {
        SendDatagramError e(Kind::Io);
        e.io_ = std::move(error);
        return e;
    }

    Kind kind() const { return kind_; }
    const std::optional<IoError>& io_error() const { return io_; }
    std::string to_string() const;
    std::string debug() const;
    bool operator==(const SendDatagramError&) const = default;

  private:
    explicit SendDatagramError(Kind kind) : kind_(kind) {}
    Kind kind_;
    PubKey pk_;
    size_t size_ = 0;
    size_t max_ = 0;
    std::optional<IoError> io_;
};

// `Os { code: 98, message: "Address already in use" }` or `Custom { message: "..." }`.
std::string io_error_debug(const IoError& e);

}  // namespace quorvel::p2p

template <>
struct fmt::formatter<quorvel::p2p::InitiateError> : fmt::formatter<std::string_view> {
    auto format(const quorvel::p2p::InitiateError& e, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(e.to_string(), ctx);
    }
};

template <>
struct fmt::formatter<quorvel::p2p::SendDatagramError> : fmt::formatter<std::string_view> {
    auto format(const quorvel::p2p::SendDatagramError& e, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(e.to_string(), ctx);
    }
};
