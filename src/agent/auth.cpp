#include "agent/auth.h"

namespace quorvel::agent {

Result<DeviceEndpointProviderMetadata, JsonError> DeviceEndpointProviderMetadata::from_json(
    std::string_view text) {
    return json_read::read_struct_from_text<DeviceEndpointProviderMetadata>(
        text, "struct DeviceEndpointProviderMetadata",
        [](json_read::Fields& fields, DeviceEndpointProviderMetadata& out) {
            fields.required("issuer", out.issuer, json_read::read_string);
            fields.required("device_authorization_endpoint", out.device_authorization_endpoint,
                            json_read::read_string);
            fields.required("token_endpoint", out.token_endpoint, json_read::read_string);
        });
}

}  // namespace quorvel::agent
