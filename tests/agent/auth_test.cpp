#include "agent/auth.h"

#include <gtest/gtest.h>

namespace quorvel::agent {
namespace {

TEST(DeviceEndpointProviderMetadataTest, ReadsTheDocumentAndRefusesOtherShapes) {
    auto read = DeviceEndpointProviderMetadata::from_json(R"({
        "issuer": "https://auth.example.com",
        "device_authorization_endpoint": "https://auth.example.com/device",
        "token_endpoint": "https://auth.example.com/token",
        "grant_types_supported": ["urn:ietf:params:oauth:grant-type:device_code"]
    })");
    ASSERT_TRUE(read) << read.error().message();
    EXPECT_EQ(read->issuer, "https://auth.example.com");
    EXPECT_EQ(read->device_authorization_endpoint, "https://auth.example.com/device");
    EXPECT_EQ(read->token_endpoint, "https://auth.example.com/token");

    const std::pair<const char*, const char*> cases[] = {
        {"null", "invalid type: null, expected struct DeviceEndpointProviderMetadata"},
        {"1e20",
         "invalid type: floating point `1e20`, expected struct DeviceEndpointProviderMetadata"},
        {R"({"issuer": "i", "token_endpoint": "t"})",
         "missing field `device_authorization_endpoint`"},
        {R"({"issuer": "i", "device_authorization_endpoint": "d", "token_endpoint": false})",
         "invalid type: boolean `false`, expected a string"},
        {R"({"issuer": "i\u0001", "device_authorization_endpoint": {}, "token_endpoint": "t"})",
         "invalid type: map, expected a string"},
    };
    for (const auto& [text, message] : cases) {
        auto result = DeviceEndpointProviderMetadata::from_json(text);
        ASSERT_FALSE(result) << text;
        EXPECT_EQ(result.error().message(), message) << text;
    }
}

}  // namespace
}  // namespace quorvel::agent
