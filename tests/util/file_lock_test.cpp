#include "util/file_lock.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "util/file_io.h"
#include "util/temp_dir.h"

extern char** environ;

namespace quorvel {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;

std::string outcome(const Result<FileLock, IoError>& lock) {
    return lock ? std::string("locked") : lock.error().to_string();
}

std::string timed_out(int ms) {
    return "timed out after " + std::to_string(ms) + " ms waiting for another holder to release it";
}

// A child process that takes the lock and keeps it until it is killed.
class ChildHolder {
  public:
    explicit ChildHolder(const std::string& lock_path) {
        int ready[2];
        if (::pipe(ready) != 0) {
            return;
        }
        pid_ = ::fork();
        if (pid_ == 0) {
            // Never outlives a test that fails to kill it.
            ::alarm(60);
            ::close(ready[0]);
            auto lock = FileLock::acquire(lock_path, 10s);
            const char byte = lock ? 'y' : 'n';
            [[maybe_unused]] ssize_t n = ::write(ready[1], &byte, 1);
            for (;;) {
                ::pause();
            }
        }
        ::close(ready[1]);
        char byte = 0;
        holds_ = pid_ > 0 && ::read(ready[0], &byte, 1) == 1 && byte == 'y';
        ::close(ready[0]);
    }
    ~ChildHolder() { kill(); }
    ChildHolder(const ChildHolder&) = delete;
    ChildHolder& operator=(const ChildHolder&) = delete;

    bool holds() const { return holds_; }
    // True when the child ended by SIGKILL.
    bool kill() {
        if (pid_ <= 0) {
            return false;
        }
        ::kill(pid_, SIGKILL);
        int status = 0;
        const bool killed = ::waitpid(pid_, &status, 0) == pid_ && WIFSIGNALED(status) &&
                            WTERMSIG(status) == SIGKILL;
        pid_ = -1;
        return killed;
    }

  private:
    pid_t pid_ = -1;
    bool holds_ = false;
};

// One holder at a time; a moved lock stays held; replacing and cleaning up the state file leave
// the lock and its file alone, and the lock never changes the state file's bytes.
TEST(FileLockTest, OneHolderAtATimeBesideAStateFileItNeverChanges) {
    TempDir dir;
    const std::string path = dir.file("agent.toml");
    testing::write_file(path, "[identity]\n", 0644);
    const std::string lock_path = lock_file_path(path);
    EXPECT_EQ(lock_path, path + ".lock");

    std::optional<FileLock> moved;
    {
        auto first = FileLock::acquire(lock_path, 0ms);
        ASSERT_TRUE(first.has_value()) << first.error().to_string();
        EXPECT_EQ(testing::file_mode(lock_path), 0600u);
        EXPECT_EQ(outcome(FileLock::acquire(lock_path, 0ms)), timed_out(0));
        EXPECT_EQ(testing::read_file(path), "[identity]\n");

        // A save renames a new file over the state file, and its clean-up looks for leftovers
        // beside it; neither touches the lock.
        ASSERT_TRUE(write_file_atomically(path, "[identity]\nsaved = 1\n", 0600).has_value());
        remove_stale_temp_files(path);
        EXPECT_EQ(dir.entries(), (std::set<std::string>{"agent.toml", "agent.toml.lock"}));
        EXPECT_EQ(outcome(FileLock::acquire(lock_path, 0ms)), timed_out(0));
        moved.emplace(std::move(*first));
    }
    EXPECT_EQ(outcome(FileLock::acquire(lock_path, 0ms)), timed_out(0));
    moved.reset();
    EXPECT_EQ(outcome(FileLock::acquire(lock_path, 0ms)), "locked");

    remove_stale_temp_files(path);
    EXPECT_EQ(dir.entries(), (std::set<std::string>{"agent.toml", "agent.toml.lock"}));
    EXPECT_EQ(testing::read_file(path), "[identity]\nsaved = 1\n");
    EXPECT_EQ(testing::read_file(lock_path), "");
    EXPECT_EQ(testing::file_mode(path), 0644u);
}

// Threads of one process exclude each other: no two are ever inside at once, and every waiter
// gets its turn.
TEST(FileLockTest, ThreadsTakeTurns) {
    TempDir dir;
    const std::string lock_path = dir.file("state.lock");
    constexpr int kThreads = 8;
    constexpr int kRounds = 40;
    std::atomic<int> inside{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> failures{0};
    // Read and written in two steps: only the lock keeps turns from being lost.
    std::atomic<int> turns{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                auto lock = FileLock::acquire(lock_path, 30s);
                if (!lock) {
                    ++failures;
                    continue;
                }
                if (inside.fetch_add(1) != 0) {
                    ++overlaps;
                }
                const int seen = turns.load();
                std::this_thread::yield();
                turns.store(seen + 1);
                inside.fetch_sub(1);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(turns.load(), kThreads * kRounds);
}

// A waiter that has to wait gets the lock once the holder lets go.
TEST(FileLockTest, WaiterGetsTheLockWhenTheHolderLetsGo) {
    TempDir dir;
    const std::string lock_path = dir.file("state.lock");
    auto held = std::make_optional(FileLock::acquire(lock_path, 0ms));
    ASSERT_TRUE(held->has_value());
    std::atomic<bool> released{false};
    std::string got;
    bool released_first = false;
    std::thread waiter([&] {
        got = outcome(FileLock::acquire(lock_path, 30s));
        released_first = released.load();
    });
    std::this_thread::sleep_for(200ms);
    released = true;
    held.reset();
    waiter.join();
    EXPECT_EQ(got, "locked");
    EXPECT_TRUE(released_first);
}

// A holder in another process: a waiter gives up after its time with the exact error, and the
// kernel frees the lock when the holder is killed.
TEST(FileLockTest, ProcessHolderBlocksUntilItDies) {
    TempDir dir;
    const std::string lock_path = dir.file("agent.toml.lock");
    ChildHolder holder(lock_path);
    ASSERT_TRUE(holder.holds());

    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(outcome(FileLock::acquire(lock_path, 200ms)), timed_out(200));
    EXPECT_GE(std::chrono::steady_clock::now() - started, 200ms);

    ASSERT_TRUE(holder.kill());
    EXPECT_EQ(outcome(FileLock::acquire(lock_path, 10s)), "locked");
    EXPECT_EQ(testing::read_file(lock_path), "");
}

// A program that the holder starts does not inherit the lock: once the holder lets go, the lock
// is free although the program still runs.
TEST(FileLockTest, ProgramsStartedByTheHolderDoNotKeepIt) {
    TempDir dir;
    const std::string lock_path = dir.file("agent.toml.lock");
    auto held = std::make_optional(FileLock::acquire(lock_path, 0ms));
    ASSERT_TRUE(held->has_value());
    // posix_spawn returns once the program runs in place of the child.
    pid_t pid = -1;
    char sleep_path[] = "/bin/sleep";
    char seconds[] = "60";
    char* argv[] = {sleep_path, seconds, nullptr};
    ASSERT_EQ(::posix_spawn(&pid, sleep_path, nullptr, nullptr, argv, environ), 0);
    held.reset();
    EXPECT_EQ(outcome(FileLock::acquire(lock_path, 0ms)), "locked");
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

// What cannot be a lock file fails at once, with the reason, creating and following nothing.
TEST(FileLockTest, PlacesThatCannotHoldALock) {
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0700), 0);
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("target", dir.file("link").c_str()), 0);
    ASSERT_EQ(::mkdir(dir.file("readonly").c_str(), 0555), 0);
    struct Case {
        std::string path;
        std::string error;
        bool unprivileged;
    };
    const Case cases[] = {
        {dir.file("missing/agent.toml.lock"), "No such file or directory (os error 2)", false},
        {dir.file("folder"), "it is a directory, not a regular file", false},
        {dir.file("fifo"), "it is a FIFO, not a regular file", false},
        // Refused by its type before it is opened.
        {"/dev/null", "it is a character device, not a regular file", false},
        {dir.file("link"), "Too many levels of symbolic links (os error 40)", false},
        {dir.file("readonly/agent.toml.lock"), "Permission denied (os error 13)", true},
    };
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    for (const auto& c : cases) {
        auto attempt = [&] { return outcome(FileLock::acquire(c.path, 10s)); };
        EXPECT_EQ(c.unprivileged ? testing::without_privileges(attempt) : attempt(), c.error)
            << c.path;
    }
    EXPECT_EQ(dir.entries(), (std::set<std::string>{"fifo", "folder", "link", "readonly"}));
    struct stat st {};
    EXPECT_NE(::stat(dir.file("readonly/agent.toml.lock").c_str(), &st), 0);
}

// The lock file of a state file reached through a symbolic link is beside the linked file.
TEST(FileLockTest, LockFileOfALinkIsBesideTheLinkedFile) {
    TempDir dir;
    TempDir other;
    testing::write_file(dir.file("agent.toml"), "x", 0600);
    ASSERT_EQ(::symlink(dir.file("agent.toml").c_str(), other.file("link.toml").c_str()), 0);
    ASSERT_EQ(::symlink("missing.toml", other.file("dangling.toml").c_str()), 0);
    EXPECT_EQ(lock_file_path(other.file("link.toml")), dir.file("agent.toml.lock"));
    EXPECT_EQ(lock_file_path(other.file("dangling.toml")), other.file("dangling.toml.lock"));
    EXPECT_EQ(lock_file_path(other.file("new.toml")), other.file("new.toml.lock"));
}

}  // namespace
}  // namespace quorvel
