// The agent's build identity: release version, source revision, build profile, build time and
// build features, fixed when the agent is built.
#pragma once

#include <string>

#include <fmt/format.h>

namespace quorvel {

struct VersionInfo {
    std::string version;
    // Seven lower-case hexadecimal digits.
    std::string git_commit;
    // "true" or "false"; only the exact text "true" counts as set.
    std::string git_dirty;
    // RFC 3339, UTC, nine fractional digits, "Z".
    std::string build_timestamp;
    // "true" or "false"; only the exact text "true" counts as set.
    std::string debug;
    std::string features;

    // The values of this build.
    VersionInfo();

    // The commit, with "-dirty" appended for a build of a changed tree.
    std::string full_commit() const;
    // "debug" or "release".
    std::string profile() const;
    // Five labelled lines, each ending in a line feed.
    std::string to_string() const;

    bool operator==(const VersionInfo&) const = default;
};

}  // namespace quorvel

template <>
struct fmt::formatter<quorvel::VersionInfo> : fmt::formatter<std::string_view> {
    auto format(const quorvel::VersionInfo& v, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(v.to_string(), ctx);
    }
};
