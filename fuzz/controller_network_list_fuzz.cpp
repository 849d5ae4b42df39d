// Feeds arbitrary text to the reading of the controller's network list, as a 200 answer's body
// goes through it: the TOML list, then the map by "controller://{id}". Every input must end in a
// map or an error, never in a crash, a leak or undefined behaviour.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "agent/controller_fetch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto list = quorvel::network::MultiNetworkConfig::from_toml(text);
    if (!list) {
        (void)list.error().to_string();
        return 0;
    }
    const size_t listed = list->network.size();
    auto networks = quorvel::agent::controller_networks_from_list(std::move(list).value());
    if (!networks) {
        (void)networks.error().to_string();
    } else if (networks->size() > listed) {
        __builtin_trap();
    }
    return 0;
}
