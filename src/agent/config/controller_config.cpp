#include "agent/config/controller_config.h"

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
            return "Err: " + text_;
    }
    return "Initializing";
}

}  // namespace quorvel::agent
