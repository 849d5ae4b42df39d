#include "version_info.h"

#include "version_info_gen.h"

namespace quorvel {

// Defined in a source generated at every build of the library (cmake/build_stamp.cmake).
extern const char kBuildTimestamp[];

VersionInfo::VersionInfo()
    : version(QUORVEL_RELEASE_VERSION),
      git_commit(QUORVEL_GIT_COMMIT),
      git_dirty(QUORVEL_GIT_DIRTY),
      build_timestamp(kBuildTimestamp),
      debug(QUORVEL_BUILD_DEBUG),
      features(QUORVEL_BUILD_FEATURES) {}

std::string VersionInfo::full_commit() const {
    return git_dirty == "true" ? git_commit + "-dirty" : git_commit;
}

std::string VersionInfo::profile() const {
    return debug == "true" ? "debug" : "release";
}

std::string VersionInfo::to_string() const {
    return fmt::format(
        "  Version: {}\n  Git Commit: {}\n  Build Profile: {}\n  Build Timestamp: {}\n"
        "  Features: {}\n",
        version, full_commit(), profile(), build_timestamp, features);
}

}  // namespace quorvel
