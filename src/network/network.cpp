#include "network/network.h"

#include "util/debug_text.h"

namespace quorvel::network {

std::string NetworkHealth::debug() const {
    switch (kind_) {
        case Kind::Initializing:
            return "Initializing";
        case Kind::Disabled:
            return "Disabled";
        case Kind::Ok:
            return "Ok";
        case Kind::Pending:
            return "Pending";
        case Kind::RetrieveConfigError:
            return "RetrieveConfigError(" + debug_quoted(text_) + ")";
        case Kind::NotAMemberError:
            return "NotAMemberError";
        case Kind::InvalidConfigError:
            return "InvalidConfigError(" + debug_quoted(text_) + ")";
    }
    return "Initializing";
}

namespace {

bool same_retrieval(const std::optional<ConfigRetrieval>& a,
                    const std::optional<ConfigRetrieval>& b) {
    if (a.has_value() != b.has_value()) {
        return false;
    }
    if (!a) {
        return true;
    }
    if (a->has_value() != b->has_value()) {
        return false;
    }
    if (a->has_value()) {
        return **a == **b;
    }
    const auto& ea = a->error();
    const auto& eb = b->error();
    return ea == eb || (ea && eb && *ea == *eb);
}

}  // namespace

bool Network::operator==(const Network& other) const {
    return config_url == other.config_url && disabled == other.disabled && name == other.name &&
           health == other.health && desired_state == other.desired_state &&
           current_state == other.current_state && same_retrieval(config, other.config);
}

}  // namespace quorvel::network
