#include "version_info.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <fstream>
#include <iomanip>
#include <regex>
#include <sstream>
#include <string>

namespace quorvel {
namespace {

TEST(VersionInfoTest, BuildConstantsHaveTheirShapes) {
    VersionInfo info;
    EXPECT_EQ(info.version, "1.0.0-beta.7");
    EXPECT_TRUE(std::regex_match(info.git_commit, std::regex("[0-9a-f]{7}"))) << info.git_commit;
    EXPECT_TRUE(info.git_dirty == "true" || info.git_dirty == "false");
    EXPECT_EQ(info.build_timestamp.size(), 30u) << info.build_timestamp;
    EXPECT_TRUE(std::regex_match(info.build_timestamp,
                                 std::regex(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}\.\d{9}Z)")))
        << info.build_timestamp;
#ifdef NDEBUG
    EXPECT_EQ(info.debug, "false");
#else
    EXPECT_EQ(info.debug, "true");
#endif
    EXPECT_EQ(info.features, "ffi");
    EXPECT_EQ(VersionInfo(), info);
}

TEST(VersionInfoTest, DerivedTexts) {
    VersionInfo info;
    info.version = "1.0.0-beta.7";
    info.git_commit = "abc1234";
    info.build_timestamp = "2026-01-02T03:04:05.123456789Z";
    info.features = "ffi";

    struct Case {
        const char* dirty;
        const char* debug;
        const char* commit;
        const char* profile;
    };
    const Case cases[] = {
        {"true", "true", "abc1234-dirty", "debug"},
        {"false", "false", "abc1234", "release"},
        {"TRUE", "True", "abc1234", "release"},
        {"", "1", "abc1234", "release"},
    };
    for (const auto& c : cases) {
        info.git_dirty = c.dirty;
        info.debug = c.debug;
        EXPECT_EQ(info.full_commit(), c.commit);
        EXPECT_EQ(info.profile(), c.profile);
    }

    info.git_dirty = "true";
    info.debug = "false";
    EXPECT_EQ(info.to_string(),
              "  Version: 1.0.0-beta.7\n"
              "  Git Commit: abc1234-dirty\n"
              "  Build Profile: release\n"
              "  Build Timestamp: 2026-01-02T03:04:05.123456789Z\n"
              "  Features: ffi\n");
    EXPECT_EQ(fmt::format("{}", info), info.to_string());
}

#ifdef QUORVEL_AGENT_OBJECT_LIST
// Every build that makes a new library takes its own time: the stamp is never older than any
// object of the library it is in (a stamp kept from an earlier build of the same revision is).
TEST(VersionInfoTest, BuildTimestampIsTakenAfterTheLibrarysObjects) {
    std::ifstream list(QUORVEL_AGENT_OBJECT_LIST);
    if (!list) {
        GTEST_SKIP() << "the build folder's object list is not here";
    }
    std::tm parts{};
    std::istringstream text(VersionInfo().build_timestamp);
    text >> std::get_time(&parts, "%Y-%m-%dT%H:%M:%S");
    ASSERT_FALSE(text.fail()) << VersionInfo().build_timestamp;
    char dot = 0;
    long nanos = 0;
    text >> dot >> nanos;
    const auto stamp =
        std::chrono::system_clock::from_time_t(::timegm(&parts)) + std::chrono::nanoseconds(nanos);
    size_t objects = 0;
    for (std::string path; std::getline(list, path);) {
        struct stat st {};
        if (path.empty() || ::stat(path.c_str(), &st) != 0) {
            continue;
        }
        ++objects;
        const auto written = std::chrono::system_clock::time_point(
            std::chrono::duration_cast<std::chrono::system_clock::duration>(
                std::chrono::seconds(st.st_mtim.tv_sec) +
                std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
        EXPECT_LE(written, stamp) << path << " is newer than the build time stamp "
                                  << VersionInfo().build_timestamp;
    }
    if (objects == 0) {
        GTEST_SKIP() << "the library's objects are not here";
    }
}
#endif

}  // namespace
}  // namespace quorvel
