// Feeds arbitrary text to the network configuration readers: every input must end in a document
// or an error, never in a crash, a leak or undefined behaviour. Build with clang and
// -fsanitize=fuzzer,address,undefined against the agent library's network configuration sources.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "network/config/network_config.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto config = quorvel::network::NetworkConfig::try_from(text);
    if (!config) {
        (void)config.error().to_string();
    } else {
        (void)config->clone();
    }
    auto multi = quorvel::network::MultiNetworkConfig::from_toml(text);
    if (!multi) {
        (void)multi.error().to_string();
    }
    return 0;
}
