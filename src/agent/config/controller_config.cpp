#include "agent/config/controller_config.h"

#include "util/url.h"

namespace quorvel::agent {

std::string ControllerConnectionStatus::to_string() const {
    switch (kind_) {
        case Kind::Initializing:
            return "Initializing";
        case Kind::LoggedOut:
            return "LoggedOut";
        case Kind::Ok:
            return "Ok";
        case Kind::Err:
            // The text comes from the controller's answer or an HTTP library: it may quote a URL
            // with its password. (The report escapes its control characters with every value.)
            return "Err: " + mask_credentials(text_);
    }
    return "Initializing";
}

}  // namespace quorvel::agent
