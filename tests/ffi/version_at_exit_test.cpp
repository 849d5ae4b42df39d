// The version text stays valid for the life of the process: a host's exit handler may still log
// it after the library's static objects have been destroyed.
#include <quorvel/agent.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

char g_version[256];

// Registered before the version text is first asked for, so it runs after whatever that first
// call registered for the exit.
void compare_version_at_exit() {
    if (std::strcmp(quorvel_agent_version(), g_version) != 0) {
        std::fputs("the version text changed at exit\n", stderr);
        std::_Exit(3);
    }
}

TEST(FfiVersionDeathTest, VersionTextOutlivesTheStaticObjects) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            std::atexit(compare_version_at_exit);
            std::snprintf(g_version, sizeof g_version, "%s", quorvel_agent_version());
            std::exit(g_version[0] != '\0' ? 0 : 4);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
