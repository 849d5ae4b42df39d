#include "agent/error.h"

#include "util/http_status.h"

namespace quorvel::agent {
namespace {

struct Display {
    std::string operator()(const Error::Http& e) const { return "HTTP client error: " + e.message; }
    std::string operator()(const Error::Utf8& e) const { return "UTF8 error: " + e.message; }
    std::string operator()(const Error::Io& e) const { return "I/O error: " + e.error.to_string(); }
    std::string operator()(const Error::Toml& e) const {
        return "TOML error: " + e.error.to_string();
    }
    std::string operator()(const Error::UrlParse& e) const {
        return "URL parsing error: " + e.error.to_string();
    }
    std::string operator()(const Error::Network& e) const {
        return "Network error: " + e.error.to_string();
    }
    std::string operator()(const Error::Identity& e) const {
        return "Identity error: " + e.error.to_string();
    }
    std::string operator()(const Error::Node& e) const {
        return "Node error: " + e.error.to_string();
    }
    std::string operator()(const Error::TomlSerialization& e) const {
        return "TOML serialization error: " + e.message;
    }
    std::string operator()(const Error::ConfigParse& e) const {
        return "Configuration parse error: " + e.msg;
    }
    std::string operator()(const Error::NetworkAlreadyExists& e) const {
        return "Network already exists: " + e.network;
    }
    std::string operator()(const Error::NetworkNotFound& e) const {
        return "Network not found: " + e.network;
    }
    std::string operator()(const Error::ControllerManagedNetwork& e) const {
        return "Controller-managed networks cannot be added or removed manually: " + e.network;
    }
    std::string operator()(const Error::UnsupportedTunCreationPlatform&) const {
        return "Unsupported TUN creation platform";
    }
    std::string operator()(const Error::NotLoggedIn&) const { return "Not logged in"; }
    std::string operator()(const Error::ControllerUnlinkFailed& e) const {
        return fmt::format("Controller unlink failed (HTTP {}): {}", http_status_text(e.status),
                           e.body);
    }
};

}  // namespace

std::string Error::to_string() const {
    return std::visit(Display{}, value_);
}

}  // namespace quorvel::agent
