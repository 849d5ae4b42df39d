// The controller client's error. It stays apart from the agent's own error: the housekeeping pass
// decides from it whether the controller revoked the node's access or only failed for a moment.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace quorvel::controller {

class Error {
  public:
    // In this order; every kind but ResponseError carries a reason text.
    enum class Kind {
        ClientBuildFailed = 0,
        UriParseFailed = 1,
        RequestBuildFailed = 2,
        RequestFailed = 3,
        ResponseBodyReadFailed = 4,
        ResponseBodyUtf8Failed = 5,
        ResponseBodyJsonFailed = 6,
        AuthenticationFailed = 7,
        ResponseError = 8,
    };

    static Error client_build_failed(std::string reason) {
        return Error(Kind::ClientBuildFailed, std::move(reason));
    }
    static Error uri_parse_failed(std::string reason) {
        return Error(Kind::UriParseFailed, std::move(reason));
    }
    static Error request_build_failed(std::string reason) {
        return Error(Kind::RequestBuildFailed, std::move(reason));
    }
    static Error request_failed(std::string reason) {
        return Error(Kind::RequestFailed, std::move(reason));
    }
    static Error response_body_read_failed(std::string reason) {
        return Error(Kind::ResponseBodyReadFailed, std::move(reason));
    }
    static Error response_body_utf8_failed(std::string reason) {
        return Error(Kind::ResponseBodyUtf8Failed, std::move(reason));
    }
    static Error response_body_json_failed(std::string reason) {
        return Error(Kind::ResponseBodyJsonFailed, std::move(reason));
    }
    static Error authentication_failed(std::string reason) {
        return Error(Kind::AuthenticationFailed, std::move(reason));
    }
    // `status` is the answer's HTTP status code, `body` its body as read.
    static Error response_error(uint16_t status, std::string body) {
        Error e(Kind::ResponseError, std::move(body));
        e.status_ = status;
        return e;
    }

    Kind kind() const { return kind_; }
    // The reason of the kinds that carry one; empty for ResponseError.
    const std::string& reason() const;
    // ResponseError only; 0 otherwise.
    uint16_t status() const { return status_; }
    // ResponseError only; empty otherwise.
    const std::string& body() const;

    // The kind's fixed prefix and the reason, or for ResponseError "Controller response error ",
    // the status with its reason phrase, ": " and the body. Both show the user information of
    // no URL they quote (`mask_credentials`); `reason` and `body` keep the text as it came.
    std::string to_string() const;
    // `RequestFailed { reason: "..." }` or `ResponseError { status: 401, body: "..." }`.
    std::string debug() const;

    bool operator==(const Error&) const = default;

  private:
    Error(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

    Kind kind_;
    uint16_t status_ = 0;
    // The reason, or the body of ResponseError.
    std::string text_;
};

// The kind's name as written in the debug form.
std::string_view kind_name(Error::Kind kind);

}  // namespace quorvel::controller

template <>
struct fmt::formatter<quorvel::controller::Error> : fmt::formatter<std::string_view> {
    auto format(const quorvel::controller::Error& e, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(e.to_string(), ctx);
    }
};
