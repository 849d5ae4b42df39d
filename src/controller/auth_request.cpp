#include "controller/auth_request.h"

#include "controller/base64url.h"
#include "util/shown_text.h"

#include <array>
#include <utility>
#include <vector>

namespace quorvel::controller {

namespace {

using Kind = AuthServerError::Kind;

constexpr std::array<std::pair<std::string_view, Kind>, 9> kKindNames = {{
    {"NotFound", Kind::NotFound},
    {"Unauthorized", Kind::Unauthorized},
    {"Forbidden", Kind::Forbidden},
    {"InternalServerError", Kind::InternalServerError},
    {"BadGateway", Kind::BadGateway},
    {"ServiceUnavailable", Kind::ServiceUnavailable},
    {"GatewayTimeout", Kind::GatewayTimeout},
    {"ServerError", Kind::ServerError},
    {"AlreadyLoggedIn", Kind::AlreadyLoggedIn},
}};

constexpr std::string_view kEnumExpecting = "enum AuthServerError";
constexpr std::string_view kServerErrorExpecting = "struct variant AuthServerError::ServerError";

const Kind* find_kind(std::string_view name) {
    for (const auto& [known, kind] : kKindNames) {
        if (known == name) {
            return &kind;
        }
    }
    return nullptr;
}

// `name` is the server's: outside text.
JsonError unknown_variant(std::string_view name) {
    std::string expected;
    for (const auto& entry : kKindNames) {
        expected += expected.empty() ? "" : ", ";
        expected += fmt::format("`{}`", entry.first);
    }
    return JsonError(
        fmt::format("unknown variant `{}`, expected one of {}", outside_text(name), expected));
}

// Signs `message` and assembles the answer from the challenge, the signature and the name.
template <class Signed, class Challenge>
Result<Signed, p2p::crypto::Error> signed_request(Challenge challenge,
                                                  const std::vector<uint8_t>& message,
                                                  const p2p::SecKey& sk,
                                                  std::optional<std::string> name) {
    auto signature = p2p::crypto::sign_ed25519(sk, message);
    if (!signature) {
        return unexpected(std::move(signature.error()));
    }
    return Signed{std::move(challenge), "Ed25519", base64url_encode(*signature), std::move(name)};
}

}  // namespace

std::string AuthServerError::message() const {
    switch (kind_) {
        case Kind::NotFound:
            return "Not found (404)";
        case Kind::Unauthorized:
            return "Unauthorized (401)";
        case Kind::Forbidden:
            return "Forbidden (403)";
        case Kind::InternalServerError:
            return "Internal server error (500)";
        case Kind::BadGateway:
            return "Bad gateway (502)";
        case Kind::ServiceUnavailable:
            return "Service unavailable (503)";
        case Kind::GatewayTimeout:
            return "Gateway timeout (504)";
        case Kind::ServerError:
            return fmt::format("Server error ({})", status_);
        case Kind::AlreadyLoggedIn:
            return "Already logged in";
    }
    return "Server error";
}

Result<AuthServerError, JsonError> AuthServerError::read(const nlohmann::json& value) {
    if (value.is_string()) {
        const auto& name = value.get_ref<const std::string&>();
        const Kind* kind = find_kind(name);
        if (kind == nullptr) {
            return unexpected(unknown_variant(name));
        }
        if (*kind == Kind::ServerError) {
            return unexpected(JsonError(
                fmt::format("invalid type: unit variant, expected {}", kServerErrorExpecting)));
        }
        return AuthServerError(*kind);
    }
    if (!value.is_object() || value.size() != 1) {
        return unexpected(json_read::invalid_type(value, kEnumExpecting));
    }
    const auto entry = value.begin();
    const Kind* kind = find_kind(entry.key());
    if (kind == nullptr) {
        return unexpected(unknown_variant(entry.key()));
    }
    if (*kind != Kind::ServerError) {
        // A kind without payload may still be written as a map whose value is null.
        if (!entry.value().is_null()) {
            return unexpected(json_read::invalid_type(entry.value(), "unit"));
        }
        return AuthServerError(*kind);
    }
    auto status = json_read::read_struct<uint16_t>(
        entry.value(), kServerErrorExpecting, [](json_read::Fields& fields, uint16_t& out) {
            fields.required("status", out, json_read::read_integer<uint16_t>);
        });
    if (!status) {
        return unexpected(std::move(status.error()));
    }
    return server_error(*status);
}

Result<AuthServerError, JsonError> AuthServerError::from_json(std::string_view text) {
    auto document = parse_json(text);
    if (!document) {
        return unexpected(std::move(document.error()));
    }
    return read(*document);
}

Result<SignedLinkRequest, p2p::crypto::Error> build_link_request(
    controller_api::request::node::NodeLinkChallengePayload challenge, const p2p::SecKey& sk,
    std::optional<std::string> node_name) {
    const auto message = controller_api::utils::link_signature_message_bytes(
        challenge.node_pk, challenge.account_id, challenge.account_email, challenge.issued_at,
        challenge.expires_at, challenge.challenge_id, node_name.value_or(std::string()));
    return signed_request<SignedLinkRequest>(std::move(challenge), message, sk,
                                             std::move(node_name));
}

Result<SignedDeviceAuthRequest, p2p::crypto::Error> build_device_auth_request(
    controller_api::request::node::DeviceAuthChallengePayload challenge, const p2p::SecKey& sk,
    std::optional<std::string> device_name) {
    const auto message = controller_api::utils::device_auth_signature_message_bytes(
        challenge.node_pk, challenge.user_code, challenge.issued_at, challenge.challenge_id,
        challenge.nonce, device_name.value_or(std::string()));
    return signed_request<SignedDeviceAuthRequest>(std::move(challenge), message, sk,
                                                   std::move(device_name));
}

Result<NodeUnlinkResponseDto, JsonError> NodeUnlinkResponseDto::from_json(std::string_view text) {
    return json_read::read_struct_from_text<NodeUnlinkResponseDto>(
        text, "struct NodeUnlinkResponseDto",
        [](json_read::Fields& fields, NodeUnlinkResponseDto& out) {
            fields.required("node_pk", out.node_pk, json_read::read_string);
            fields.required("unlinked", out.unlinked, json_read::read_bool);
        });
}

}  // namespace quorvel::controller
