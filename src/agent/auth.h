// What the authentication provider publishes about its device-authorisation endpoints.
#pragma once

#include <string>
#include <string_view>

#include "util/json_read.h"
#include "util/result.h"

namespace quorvel::agent {

// The provider's metadata document, named as OAuth servers name these values.
struct DeviceEndpointProviderMetadata {
    std::string issuer;                         // the provider's identifier (a URL)
    std::string device_authorization_endpoint;  // where a device asks for a user code
    std::string token_endpoint;                 // where a device polls for the outcome

    // Reads the provider's JSON document; other keys are ignored.
    static Result<DeviceEndpointProviderMetadata, JsonError> from_json(std::string_view text);

    bool operator==(const DeviceEndpointProviderMetadata&) const = default;
};

}  // namespace quorvel::agent
