#include "controller/auth_request.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <functional>
#include <string>
#include <vector>

namespace quorvel::controller {
namespace {

using controller_api::request::node::DeviceAuthChallengePayload;
using controller_api::request::node::NodeLinkChallengePayload;

const p2p::SecKey kKey(p2p::SecKey::Bytes{7,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                                          11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21,
                                          22, 23, 24, 25, 26, 27, 28, 29, 30, 31});

NodeLinkChallengePayload link_challenge() {
    NodeLinkChallengePayload challenge{
        .node_pk = p2p::crypto::derive_public_key(kKey).to_string(),
        .account_id = "acct-42",
        .account_email = "user@example.com",
        .issued_at = "2026-12-07T11:00:00Z",
        .expires_at = "2026-12-07T11:10:00Z",
    };
    for (size_t i = 0; i < challenge.challenge_id.size(); ++i) {
        challenge.challenge_id[i] = static_cast<uint8_t>(i * 17);
    }
    return challenge;
}

DeviceAuthChallengePayload device_challenge() {
    DeviceAuthChallengePayload challenge{
        .node_pk = p2p::crypto::derive_public_key(kKey).to_string(),
        .user_code = "WDJB-MJHT",
        .issued_at = "2026-12-07T11:00:00Z",
        .poll_interval_secs = 5,
    };
    challenge.challenge_id.fill(0x5a);
    for (size_t i = 0; i < challenge.nonce.size(); ++i) {
        challenge.nonce[i] = static_cast<uint8_t>(0xff - i);
    }
    return challenge;
}

// Decodes as the server does: strict unpadded base64url of exactly 64 bytes.
std::optional<p2p::crypto::Signature> decode_signature(const std::string& text) {
    p2p::crypto::Signature signature{};
    size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(signature.data(), signature.size(), text.data(), text.size(), nullptr,
                          &length, &end, sodium_base64_VARIANT_URLSAFE_NO_PADDING) != 0 ||
        end != text.data() + text.size() || length != signature.size()) {
        return std::nullopt;
    }
    return signature;
}

// What the server checks: the signature over the message rebuilt from the answer's fields.
bool server_accepts(const SignedLinkRequest& request, const p2p::PubKey& pk) {
    const auto& c = request.challenge;
    const auto message = controller_api::utils::link_signature_message_bytes(
        c.node_pk, c.account_id, c.account_email, c.issued_at, c.expires_at, c.challenge_id,
        request.node_name.value_or(""));
    const auto signature = decode_signature(request.signature);
    return request.algorithm == "Ed25519" && signature &&
           p2p::crypto::verify_ed25519(pk, message, *signature);
}

bool server_accepts(const SignedDeviceAuthRequest& request, const p2p::PubKey& pk) {
    const auto& c = request.challenge;
    const auto message = controller_api::utils::device_auth_signature_message_bytes(
        c.node_pk, c.user_code, c.issued_at, c.challenge_id, c.nonce,
        request.device_name.value_or(""));
    const auto signature = decode_signature(request.signature);
    return request.algorithm == "Ed25519" && signature &&
           p2p::crypto::verify_ed25519(pk, message, *signature);
}

void expect_base64url_signature(const std::string& signature) {
    EXPECT_EQ(signature.size(), 86u);
    EXPECT_EQ(signature.find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
              std::string::npos)
        << signature;
}

TEST(BuildLinkRequestTest, SignsTheChallengeSoThatTheServerAcceptsIt) {
    const p2p::PubKey pk = p2p::crypto::derive_public_key(kKey);
    for (const std::optional<std::string>& name :
         {std::optional<std::string>(), std::optional<std::string>(""),
          std::optional<std::string>("laptop"), std::optional<std::string>("caf\xc3\xa9 \n")}) {
        auto request = build_link_request(link_challenge(), kKey, name);
        ASSERT_TRUE(request);
        EXPECT_EQ(request->challenge, link_challenge());
        EXPECT_EQ(request->algorithm, "Ed25519");
        EXPECT_EQ(request->node_name, name);
        expect_base64url_signature(request->signature);
        EXPECT_TRUE(server_accepts(*request, pk)) << name.value_or("(absent)");
        // Another node's key does not verify it.
        EXPECT_FALSE(server_accepts(*request, p2p::crypto::derive_public_key(p2p::SecKey())));
    }
}

TEST(BuildLinkRequestTest, AnyChangedFieldBreaksTheSignature) {
    const p2p::PubKey pk = p2p::crypto::derive_public_key(kKey);
    const std::vector<std::function<void(SignedLinkRequest&)>> changes = {
        [](auto& r) { r.challenge.node_pk[0] ^= 1; },
        [](auto& r) { r.challenge.account_id += "3"; },
        [](auto& r) { r.challenge.account_email = "other@example.com"; },
        [](auto& r) { r.challenge.issued_at = "2026-12-07T11:00:01Z"; },
        [](auto& r) { r.challenge.expires_at = "2027-12-07T11:10:00Z"; },
        [](auto& r) { r.challenge.challenge_id[15] ^= 0x80; },
        [](auto& r) { r.node_name = "phone"; },
        // Moving text across a field boundary keeps the concatenation but not the message.
        [](auto& r) {
            r.challenge.account_id.pop_back();
            r.challenge.account_email.insert(0, "2");
        },
        [](auto& r) { r.signature[10] = r.signature[10] == 'A' ? 'B' : 'A'; },
        [](auto& r) { r.signature.pop_back(); },
        [](auto& r) { r.signature += "A"; },
        [](auto& r) { r.algorithm = "HMAC"; },
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        auto request = build_link_request(link_challenge(), kKey, "laptop");
        ASSERT_TRUE(request);
        ASSERT_TRUE(server_accepts(*request, pk));
        changes[i](*request);
        EXPECT_FALSE(server_accepts(*request, pk)) << "change " << i;
    }
}

TEST(BuildLinkRequestTest, AnAbsentNameSignsLikeAnEmptyOneYetStaysAbsent) {
    auto absent = build_link_request(link_challenge(), kKey, std::nullopt);
    auto empty = build_link_request(link_challenge(), kKey, std::string());
    ASSERT_TRUE(absent);
    ASSERT_TRUE(empty);
    EXPECT_EQ(absent->signature, empty->signature);
    EXPECT_EQ(absent->node_name, std::nullopt);
    EXPECT_EQ(empty->node_name, std::optional<std::string>(""));
    auto named = build_link_request(link_challenge(), kKey, std::string("x"));
    ASSERT_TRUE(named);
    EXPECT_NE(named->signature, empty->signature);
}

TEST(BuildDeviceAuthRequestTest, SignsTheChallengeSoThatTheServerAcceptsIt) {
    const p2p::PubKey pk = p2p::crypto::derive_public_key(kKey);
    auto request = build_device_auth_request(device_challenge(), kKey, std::nullopt);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->challenge, device_challenge());
    EXPECT_EQ(request->algorithm, "Ed25519");
    EXPECT_EQ(request->device_name, std::nullopt);
    expect_base64url_signature(request->signature);
    EXPECT_TRUE(server_accepts(*request, pk));

    auto empty = build_device_auth_request(device_challenge(), kKey, std::string());
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->signature, request->signature);
    EXPECT_EQ(empty->device_name, std::optional<std::string>(""));
}

TEST(BuildDeviceAuthRequestTest, AnySignedFieldChangedBreaksTheSignature) {
    const p2p::PubKey pk = p2p::crypto::derive_public_key(kKey);
    const std::vector<std::function<void(SignedDeviceAuthRequest&)>> changes = {
        [](auto& r) { r.challenge.node_pk.back() ^= 1; },
        [](auto& r) { r.challenge.user_code = "WDJB-MJHU"; },
        [](auto& r) { r.challenge.issued_at.clear(); },
        [](auto& r) { r.challenge.challenge_id[0] ^= 1; },
        [](auto& r) { r.challenge.nonce[7] ^= 1; },
        [](auto& r) { std::swap(r.challenge.challenge_id, r.challenge.nonce); },
        [](auto& r) { r.device_name = "tablet"; },
    };
    for (size_t i = 0; i < changes.size(); ++i) {
        auto request = build_device_auth_request(device_challenge(), kKey, std::nullopt);
        ASSERT_TRUE(request);
        changes[i](*request);
        EXPECT_FALSE(server_accepts(*request, pk)) << "change " << i;
    }
    // The poll interval is advice to the node and not covered by the signature.
    auto request = build_device_auth_request(device_challenge(), kKey, std::nullopt);
    ASSERT_TRUE(request);
    request->challenge.poll_interval_secs = 60;
    EXPECT_TRUE(server_accepts(*request, pk));
}

TEST(BuildRequestTest, LinkAndDeviceSignaturesNeverStandForEachOther) {
    // The same texts in both challenges still give different messages, so a link signature is
    // no device-authorisation answer.
    const p2p::PubKey pk = p2p::crypto::derive_public_key(kKey);
    auto link = build_link_request(link_challenge(), kKey, std::nullopt);
    ASSERT_TRUE(link);
    SignedDeviceAuthRequest forged{
        .challenge = device_challenge(),
        .algorithm = "Ed25519",
        .signature = link->signature,
        .device_name = std::nullopt,
    };
    EXPECT_FALSE(server_accepts(forged, pk));
}

TEST(AuthServerErrorTest, MessagesOfEveryKind) {
    using Kind = AuthServerError::Kind;
    const std::pair<AuthServerError, const char*> cases[] = {
        {AuthServerError(Kind::NotFound), "Not found (404)"},
        {AuthServerError(Kind::Unauthorized), "Unauthorized (401)"},
        {AuthServerError(Kind::Forbidden), "Forbidden (403)"},
        {AuthServerError(Kind::InternalServerError), "Internal server error (500)"},
        {AuthServerError(Kind::BadGateway), "Bad gateway (502)"},
        {AuthServerError(Kind::ServiceUnavailable), "Service unavailable (503)"},
        {AuthServerError(Kind::GatewayTimeout), "Gateway timeout (504)"},
        {AuthServerError::server_error(418), "Server error (418)"},
        {AuthServerError::server_error(0), "Server error (0)"},
        {AuthServerError::server_error(65535), "Server error (65535)"},
        {AuthServerError(Kind::AlreadyLoggedIn), "Already logged in"},
    };
    for (const auto& [error, message] : cases) {
        EXPECT_EQ(error.message(), message);
    }
}

TEST(AuthServerErrorTest, ReadsTheServersJsonForm) {
    using Kind = AuthServerError::Kind;
    const std::pair<const char*, AuthServerError> cases[] = {
        {R"("NotFound")", AuthServerError(Kind::NotFound)},
        {R"("Unauthorized")", AuthServerError(Kind::Unauthorized)},
        {R"("Forbidden")", AuthServerError(Kind::Forbidden)},
        {R"("InternalServerError")", AuthServerError(Kind::InternalServerError)},
        {R"("BadGateway")", AuthServerError(Kind::BadGateway)},
        {R"("ServiceUnavailable")", AuthServerError(Kind::ServiceUnavailable)},
        {R"(  "GatewayTimeout" )", AuthServerError(Kind::GatewayTimeout)},
        {R"("AlreadyLoggedIn")", AuthServerError(Kind::AlreadyLoggedIn)},
        {R"({"AlreadyLoggedIn": null})", AuthServerError(Kind::AlreadyLoggedIn)},
        {R"({"ServerError": {"status": 418}})", AuthServerError::server_error(418)},
        {R"({"ServerError": {"status": 0, "detail": "x"}})", AuthServerError::server_error(0)},
        {R"({"ServerError": {"status": 65535}})", AuthServerError::server_error(65535)},
    };
    for (const auto& [text, expected] : cases) {
        auto error = AuthServerError::from_json(text);
        ASSERT_TRUE(error) << text << ": " << error.error().message();
        EXPECT_EQ(*error, expected) << text;
    }
}

TEST(AuthServerErrorTest, RefusesOtherFormsWithReadingMessages) {
    const std::string variants =
        "expected one of `NotFound`, `Unauthorized`, `Forbidden`, `InternalServerError`, "
        "`BadGateway`, `ServiceUnavailable`, `GatewayTimeout`, `ServerError`, `AlreadyLoggedIn`";
    const std::pair<const char*, std::string> cases[] = {
        {"5", "invalid type: integer `5`, expected enum AuthServerError"},
        {"-5", "invalid type: integer `-5`, expected enum AuthServerError"},
        {"1.5", "invalid type: floating point `1.5`, expected enum AuthServerError"},
        {"true", "invalid type: boolean `true`, expected enum AuthServerError"},
        {"null", "invalid type: null, expected enum AuthServerError"},
        {"[]", "invalid type: sequence, expected enum AuthServerError"},
        {"{}", "invalid type: map, expected enum AuthServerError"},
        {R"({"NotFound": null, "Forbidden": null})",
         "invalid type: map, expected enum AuthServerError"},
        {R"("notfound")", "unknown variant `notfound`, " + variants},
        {R"({"Teapot": {}})", "unknown variant `Teapot`, " + variants},
        {R"("ServerError")",
         "invalid type: unit variant, expected struct variant AuthServerError::ServerError"},
        {R"({"ServerError": 500})",
         "invalid type: integer `500`, expected struct variant AuthServerError::ServerError"},
        {R"({"ServerError": {}})", "missing field `status`"},
        {R"({"ServerError": {"status": 65536}})", "invalid value: integer `65536`, expected u16"},
        {R"({"ServerError": {"status": -1}})", "invalid value: integer `-1`, expected u16"},
        {R"({"ServerError": {"status": "500"}})", "invalid type: string \"500\", expected u16"},
        {R"({"ServerError": {"status": 500.0}})",
         "invalid type: floating point `500.0`, expected u16"},
        {R"({"NotFound": {}})", "invalid type: map, expected unit"},
    };
    for (const auto& [text, message] : cases) {
        auto error = AuthServerError::from_json(text);
        ASSERT_FALSE(error) << text;
        EXPECT_EQ(error.error().message(), message) << text;
    }
    // Syntax errors and invalid UTF-8 are refused with the parser's message.
    for (const char* text : {"", "\"NotFound", "{\"ServerError\": {\"status\": 5}", "\"\xff\""}) {
        auto error = AuthServerError::from_json(text);
        ASSERT_FALSE(error) << text;
        EXPECT_NE(error.error().message().find("parse error"), std::string::npos)
            << error.error().message();
    }
}

TEST(NodeUnlinkResponseDtoTest, ReadsTheAnswerAndRefusesOtherShapes) {
    auto read = NodeUnlinkResponseDto::from_json(
        R"({"unlinked": true, "node_pk": "ab01", "extra": [1, 2]})");
    ASSERT_TRUE(read) << read.error().message();
    EXPECT_EQ(*read, (NodeUnlinkResponseDto{.node_pk = "ab01", .unlinked = true}));

    const std::pair<const char*, const char*> cases[] = {
        {R"("ab01")", "invalid type: string \"ab01\", expected struct NodeUnlinkResponseDto"},
        {R"([])", "invalid type: sequence, expected struct NodeUnlinkResponseDto"},
        {R"({"node_pk": "ab01"})", "missing field `unlinked`"},
        {R"({})", "missing field `node_pk`"},
        {R"({"node_pk": 1, "unlinked": true})", "invalid type: integer `1`, expected a string"},
        // A wrong value is reported before a missing field.
        {R"({"unlinked": "yes"})", "invalid type: string \"yes\", expected a boolean"},
    };
    for (const auto& [text, message] : cases) {
        auto result = NodeUnlinkResponseDto::from_json(text);
        ASSERT_FALSE(result) << text;
        EXPECT_EQ(result.error().message(), message) << text;
    }
}

}  // namespace
}  // namespace quorvel::controller
