// Feeds arbitrary text to the configuration file reader and the URL parser, and checks what must
// hold for every input: whatever reads back writes a document that reads back equal, and a
// normalised URL normalises to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "agent/config/agent_config.h"
#include "util/secrets.h"
#include "util/url.h"

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // Each input starts with no secret known: the agent keeps every secret it reads for the life of
    // the process, and a fuzzer's inputs would make that a set without bound.
    quorvel::secrets::forget_all_for_tests();

    if (auto url = quorvel::Url::parse(text)) {
        auto again = quorvel::Url::parse(url->raw_text());
        check(again.has_value() && *again == *url);
        (void)quorvel::mask_url(*url);
    }

    auto root = quorvel::parse_toml(text);
    if (!root) {
        return 0;
    }
    auto config = quorvel::agent::AgentConfig::deserialize(*root);
    if (!config) {
        return 0;
    }
    auto written = config->to_toml();
    check(written.has_value());
    auto reread_root = quorvel::parse_toml(*written);
    check(reread_root.has_value());
    auto reread = quorvel::agent::AgentConfig::deserialize(*reread_root);
    check(reread.has_value() && *reread == *config);
    return 0;
}
