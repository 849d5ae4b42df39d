// Feeds arbitrary pairs of texts (split at the first line feed) to the version parser and the
// release comparison: every input must parse or be refused without a crash, and the comparison
// must never call each of two texts newer than the other.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "agent/update_check.h"
#include "util/semver.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t split = input.find('\n');
    const std::string_view a = input.substr(0, split);
    const std::string_view b = split == std::string_view::npos ? "" : input.substr(split + 1);
    auto va = quorvel::semver::Version::parse(a);
    auto vb = quorvel::semver::Version::parse(b);
    if (!va) {
        (void)va.error().to_string();
    }
    if (!vb) {
        (void)vb.error().to_string();
    }
    if (va && vb && (*va <=> *vb) != (0 <=> (*vb <=> *va))) {
        std::abort();
    }
    if (va && vb && ((*va == *vb) != (a == b))) {
        std::abort();
    }
    if (quorvel::agent::is_newer_version(a, b) && quorvel::agent::is_newer_version(b, a)) {
        std::abort();
    }
    return 0;
}
