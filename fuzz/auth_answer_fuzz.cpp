// Feeds arbitrary text to the readers of the authentication server's answers: every input must
// end in a record or a reading error, never in a crash, a leak or undefined behaviour.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "agent/auth.h"
#include "controller/auth_request.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto error = quorvel::controller::AuthServerError::from_json(text);
    if (error && error->message().empty()) {
        std::abort();
    }
    if (!error && error.error().message().empty()) {
        std::abort();
    }
    auto unlink = quorvel::controller::NodeUnlinkResponseDto::from_json(text);
    if (!unlink) {
        (void)unlink.error().message();
    }
    auto metadata = quorvel::agent::DeviceEndpointProviderMetadata::from_json(text);
    if (!metadata) {
        (void)metadata.error().message();
    }
    return 0;
}
