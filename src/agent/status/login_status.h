// The state of the controller login flow and of an update, as the agent's state keeps them for
// the status report. Nothing on this platform moves them away from their initial values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace quorvel::agent {

struct LoginStatus {
    struct NotStarted {
        bool operator==(const NotStarted&) const = default;
    };
    struct Pending {
        std::string url;
        std::string code;
        std::optional<std::string> expires;
        bool operator==(const Pending&) const = default;
    };
    struct Expired {
        std::string message;
        bool operator==(const Expired&) const = default;
    };
    struct AccessDenied {
        std::string message;
        bool operator==(const AccessDenied&) const = default;
    };
    struct Error {
        std::optional<std::string> message;
        std::pair<uint16_t, uint16_t> code;
        bool operator==(const Error&) const = default;
    };
    struct Success {
        std::string email;
        std::optional<std::string> name;
        bool operator==(const Success&) const = default;
    };

    std::variant<NotStarted, Pending, Expired, AccessDenied, Error, Success> value;

    bool operator==(const LoginStatus&) const = default;
    bool is_not_started() const { return std::holds_alternative<NotStarted>(value); }
};

enum class UpdateStatus { Downloading, Installing };

}  // namespace quorvel::agent
