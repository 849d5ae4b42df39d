// The controller and embedded-DNS sections of the agent configuration, and the controller
// connection status that lives only in memory.
#pragma once

#include <optional>
#include <string>

#include <fmt/format.h>

namespace quorvel::agent {

inline constexpr std::string_view kDefaultControllerUrl = "https://controller.quorvel.net/api";
inline constexpr std::string_view kDefaultAuthUrl =
    "https://login.quorvel.net/application/o/quorvel-agent/";
inline constexpr std::string_view kDefaultAuthClientId = "Rk4Tw8Yq2Mz6Np0Xs5Lv9Hb3Jd7Fc1Gq6Wt2Za8E";

// Set by every housekeeping pass; never read from or written to the file.
class ControllerConnectionStatus {
  public:
    enum class Kind { Initializing = 0, LoggedOut = 1, Ok = 2, Err = 3 };

    ControllerConnectionStatus() = default;
    static ControllerConnectionStatus initializing() { return {Kind::Initializing, {}}; }
    static ControllerConnectionStatus logged_out() { return {Kind::LoggedOut, {}}; }
    static ControllerConnectionStatus ok() { return {Kind::Ok, {}}; }
    static ControllerConnectionStatus err(std::string text) { return {Kind::Err, std::move(text)}; }

    Kind kind() const { return kind_; }
    // The error text of `Err`; empty for the others.
    const std::string& text() const { return text_; }

    // "Initializing", "LoggedOut", "Ok", or "Err: " and the text with the user information of
    // the URLs it quotes hidden.
    std::string to_string() const;

    bool operator==(const ControllerConnectionStatus&) const = default;

  private:
    ControllerConnectionStatus(Kind kind, std::string text) : kind_(kind), text_(std::move(text)) {}

    Kind kind_ = Kind::Initializing;
    std::string text_;
};

struct ControllerConfig {
    std::optional<std::string> url;
    std::optional<std::string> auth_url;
    std::optional<std::string> auth_client_id;
    std::optional<std::string> display_login_email;
    // Authorises the node's controller requests; never shown unmasked.
    std::optional<std::string> shared_secret;
    ControllerConnectionStatus status;

    // The configured value, or the built-in default when it is absent (an empty text is kept).
    std::string url_or_default() const { return url ? *url : std::string(kDefaultControllerUrl); }
    std::string auth_url_or_default() const {
        return auth_url ? *auth_url : std::string(kDefaultAuthUrl);
    }
    std::string auth_client_id_or_default() const {
        return auth_client_id ? *auth_client_id : std::string(kDefaultAuthClientId);
    }

    bool operator==(const ControllerConfig&) const = default;
};

struct DnsConfig {
    // The embedded DNS is left out exactly when this is present and true.
    std::optional<bool> disabled;

    bool operator==(const DnsConfig&) const = default;
};

}  // namespace quorvel::agent

template <>
struct fmt::formatter<quorvel::agent::ControllerConnectionStatus>
    : fmt::formatter<std::string_view> {
    auto format(const quorvel::agent::ControllerConnectionStatus& s, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(s.to_string(), ctx);
    }
};
