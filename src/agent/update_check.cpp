#include "agent/update_check.h"

#include "util/semver.h"

namespace quorvel::agent {

bool is_newer_version(std::string_view candidate, std::string_view current) {
    auto candidate_version = semver::Version::parse(candidate);
    auto current_version = semver::Version::parse(current);
    if (candidate_version && current_version) {
        return *candidate_version > *current_version;
    }
    // string_view compares through char_traits<char>, which orders bytes as unsigned char.
    return candidate > current;
}

}  // namespace quorvel::agent
