// The update check's comparison of release versions. This platform runs no update check; the
// comparison is kept with the rest of the update logic all the same.
#pragma once

#include <string_view>

namespace quorvel::agent {

// True when `candidate` is a newer release than `current`. When both are semantic versions they
// compare by version precedence, build metadata included; when either is not one (a "v" prefix, a
// blank, a missing part), the texts compare byte by byte, unsigned, a text above its own prefix.
// Equal texts are never newer.
bool is_newer_version(std::string_view candidate, std::string_view current);

}  // namespace quorvel::agent
