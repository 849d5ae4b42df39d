// The challenges that the controller's authentication server hands a node, and the exact bytes a
// node signs with its Ed25519 key to answer them. The server rebuilds the same bytes to verify an
// answer, so each layout is fixed once; "Login and link messages" in controller_api/README.md
// describes them byte by byte.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel::controller_api {

// A 16-byte value of a challenge (an identifier or a nonce); signed as its raw bytes.
using Bytes16 = std::array<uint8_t, 16>;

namespace request::node {

// The server's challenge for linking this node to a user's account.
struct NodeLinkChallengePayload {
    std::string node_pk;        // the node's public key in its text form
    std::string account_id;     // the account the node is to be linked to
    std::string account_email;  // that account's e-mail address, as shown to the user
    std::string issued_at;      // when the server issued the challenge (RFC 3339)
    std::string expires_at;     // after this the server refuses any answer (RFC 3339)
    Bytes16 challenge_id{};     // the server's identifier of this challenge

    bool operator==(const NodeLinkChallengePayload&) const = default;
};

// The server's challenge for authorising a login from this device.
struct DeviceAuthChallengePayload {
    std::string node_pk;     // the node's public key in its text form
    std::string user_code;   // the code the user confirms on another device
    std::string issued_at;   // when the server issued the challenge (RFC 3339)
    Bytes16 challenge_id{};  // the server's identifier of this challenge
    Bytes16 nonce{};         // random bytes the server keeps to refuse a replayed answer
    // How long the node waits between polls for the outcome. Advice to the node only, so it is
    // not signed; the answer carries it back unchanged.
    uint64_t poll_interval_secs = 0;

    bool operator==(const DeviceAuthChallengePayload&) const = default;
};

}  // namespace request::node

namespace utils {

// The bytes that answer a link challenge: its fields in declaration order, then the name the
// node asks to be listed under (empty when it asks for none). Never fails.
std::vector<uint8_t> link_signature_message_bytes(
    std::string_view node_pk, std::string_view account_id, std::string_view account_email,
    std::string_view issued_at, std::string_view expires_at, const Bytes16& challenge_id,
    std::string_view node_name);

// The bytes that answer a device-authorisation challenge: its fields in declaration order except
// `poll_interval_secs`, then the name of the device (empty when there is none). Never fails.
std::vector<uint8_t> device_auth_signature_message_bytes(
    std::string_view node_pk, std::string_view user_code, std::string_view issued_at,
    const Bytes16& challenge_id, const Bytes16& nonce, std::string_view device_name);

}  // namespace utils

}  // namespace quorvel::controller_api
