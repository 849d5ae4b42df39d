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

    static Error client_build_failed(std::string_view reason) {
        return Error(Kind::ClientBuildFailed, reason);
    }
    static Error uri_parse_failed(std::string_view reason) {
        return Error(Kind::UriParseFailed, reason);
    }
    static Error request_build_failed(std::string_view reason) {
        return Error(Kind::RequestBuildFailed, reason);
    }
    static Error request_failed(std::string_view reason) {
        return Error(Kind::RequestFailed, reason);
    }
    static Error response_body_read_failed(std::string_view reason) {
        return Error(Kind::ResponseBodyReadFailed, reason);
    }
    static Error response_body_utf8_failed(std::string_view reason) {
        return Error(Kind::ResponseBodyUtf8Failed, reason);
    }
    static Error response_body_json_failed(std::string_view reason) {
        return Error(Kind::ResponseBodyJsonFailed, reason);
    }
    static Error authentication_failed(std::string_view reason) {
        return Error(Kind::AuthenticationFailed, reason);
    }
    // `status` is the answer's HTTP status code, `body` its body as read.
    static Error response_error(uint16_t status, std::string_view body) {
        Error e(Kind::ResponseError, body);
        e.status_ = status;
        return e;
    }

    Kind kind() const { return kind_; }
    // The reason of the kinds that carry one, taken in as outside text (`outside_text`: bounded,
    // then masked); empty for ResponseError.
    const std::string& reason() const;
    // ResponseError only; 0 otherwise.
    uint16_t status() const { return status_; }
    // ResponseError only, taken in as the reason is: at most `kOutsideTextBound` bytes of the
    // body as read, then how many bytes were left out, the credentials of what was kept masked.
    // Empty otherwise.
    const std::string& body() const;

    // The kind's fixed prefix and the reason, or for ResponseError "Controller response error ",
    // the status with its reason phrase, ": " and the body, as kept.
    std::string to_string() const;
    // `RequestFailed { reason: "..." }` or `ResponseError { status: 401, body: "..." }`.
    std::string debug() const;

    bool operator==(const Error&) const = default;

  private:
    // A body or a reason may quote a server's answer or a library's message of any size: what
    // every log line and the status report show of the error stays bounded.
    Error(Kind kind, std::string_view text);

    Kind kind_;
    uint16_t status_ = 0;
    // The reason, or the body of ResponseError; as `outside_text` took it in.
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
