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
            // The text is an error whose outside text (the controller's answer, an HTTP library's
            // message) came in through `outside_text`, masked: masking again changes nothing
            // there, and hides a URL's password in a text given otherwise. (The report escapes its
            // control characters with every value.)
            return "Err: " + mask_credentials(text_);
    }
    return "Initializing";
}

}  // namespace quorvel::agent
