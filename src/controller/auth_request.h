// The node's side of the authentication server's two challenge flows: answering a link challenge
// and a device-authorisation challenge with an Ed25519 signature made with the node's secret key,
// the server's error vocabulary, and the answer to an unlink request. The signed bytes are the
// controller API's (controller_api/auth.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "controller_api/auth.h"
#include "p2p/crypto.h"
#include "p2p/keys.h"
#include "util/json_read.h"
#include "util/result.h"

namespace quorvel::controller {

// What the authentication server answers instead of a result. Its texts speak of logging in.
class AuthServerError {
  public:
    enum class Kind {
        NotFound,
        Unauthorized,
        Forbidden,
        InternalServerError,
        BadGateway,
        ServiceUnavailable,
        GatewayTimeout,
        ServerError,  // any other status, carried in `status()`
        AlreadyLoggedIn,
    };

    // Any kind but ServerError, which takes its status from `server_error`.
    explicit AuthServerError(Kind kind) : kind_(kind) {}
    static AuthServerError server_error(uint16_t status) {
        AuthServerError error(Kind::ServerError);
        error.status_ = status;
        return error;
    }

    Kind kind() const { return kind_; }
    // The HTTP status of a ServerError; 0 for the other kinds.
    uint16_t status() const { return status_; }

    // "Not found (404)", ..., "Server error (418)", "Already logged in".
    std::string message() const;

    // Reads the server's JSON form: a kind's name as a string ("NotFound"), and ServerError as
    // {"ServerError": {"status": 502}}. Anything else is refused with a reading message, such as
    // "invalid type: integer `5`, expected enum AuthServerError".
    static Result<AuthServerError, JsonError> read(const nlohmann::json& value);
    static Result<AuthServerError, JsonError> from_json(std::string_view text);

    bool operator==(const AuthServerError&) const = default;

  private:
    Kind kind_;
    uint16_t status_ = 0;
};

// The signed answer to a link challenge.
struct SignedLinkRequest {
    controller_api::request::node::NodeLinkChallengePayload challenge;  // as the server sent it
    std::string algorithm;                                              // "Ed25519"
    std::string signature;                 // unpadded base64url, 86 characters
    std::optional<std::string> node_name;  // as the caller gave it
};

// The signed answer to a device-authorisation challenge.
struct SignedDeviceAuthRequest {
    controller_api::request::node::DeviceAuthChallengePayload challenge;  // as the server sent it
    std::string algorithm;                                                // "Ed25519"
    std::string signature;                   // unpadded base64url, 86 characters
    std::optional<std::string> device_name;  // as the caller gave it
};

// Signs the link message of `challenge` and `node_name` with `sk`. An absent name signs like an
// empty one, yet stays absent in the answer. Fails only when signing fails.
Result<SignedLinkRequest, p2p::crypto::Error> build_link_request(
    controller_api::request::node::NodeLinkChallengePayload challenge, const p2p::SecKey& sk,
    std::optional<std::string> node_name);

// Signs the device-authorisation message of `challenge` and `device_name` with `sk`, as
// `build_link_request` does.
Result<SignedDeviceAuthRequest, p2p::crypto::Error> build_device_auth_request(
    controller_api::request::node::DeviceAuthChallengePayload challenge, const p2p::SecKey& sk,
    std::optional<std::string> device_name);

// The server's answer to an unlink request.
struct NodeUnlinkResponseDto {
    std::string node_pk;    // the node that was unlinked, in its key's text form
    bool unlinked = false;  // false when the node was not linked to begin with

    // Reads {"node_pk": "...", "unlinked": true}; other keys are ignored.
    static Result<NodeUnlinkResponseDto, JsonError> from_json(std::string_view text);

    bool operator==(const NodeUnlinkResponseDto&) const = default;
};

}  // namespace quorvel::controller
