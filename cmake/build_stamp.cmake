# Writes the source that holds the build time. Run as a script:
#   cmake -DOUTPUT=... -P build_stamp.cmake
# The build runs it whenever an object of the agent library changed, so every build that makes a
# new library carries its own time, and a build that changes nothing relinks nothing.
string(TIMESTAMP stamp "%Y-%m-%dT%H:%M:%S.%f000Z" UTC)
file(WRITE "${OUTPUT}" "// Generated at build time; do not edit.
namespace quorvel {
extern const char kBuildTimestamp[];
const char kBuildTimestamp[] = \"${stamp}\";
}  // namespace quorvel
")
