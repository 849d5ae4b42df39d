#include "util/file_io.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <cerrno>

#include <gtest/gtest.h>

#include "util/temp_dir.h"

namespace quorvel {
namespace {

using testing::TempDir;

// How many bytes this thread has asked read() for and received so far (the kernel's count).
std::optional<uint64_t> bytes_read_by_this_thread() {
    std::ifstream io("/proc/thread-self/io");
    std::string key;
    uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "rchar:") {
            return value;
        }
    }
    return std::nullopt;
}

// A state file that a host names: only a regular file, links followed, is read, and what is not
// one is named in the error; nothing waits (a FIFO with a writer holding it open included), and a
// file larger than the cap is refused after no more than the cap and one byte were read.
TEST(FileIoTest, StateFileIsARegularFileWithinTheCap) {
    TempDir dir;
    testing::write_file(dir.file("ok"), "héllo");
    testing::write_file(dir.file("ten"), "0123456789");
    testing::write_file(dir.file("eleven"), "0123456789a");
    testing::write_file(dir.file("bad"), "a\xff");
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(dir.file("written-fifo").c_str(), 0600), 0);
    const int writer = ::open(dir.file("written-fifo").c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0700), 0);
    ASSERT_EQ(::symlink(dir.file("ok").c_str(), dir.file("to-ok").c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("fifo").c_str(), dir.file("to-fifo").c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("nothing").c_str(), dir.file("dangling").c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("folder").c_str(), dir.file("to-folder").c_str()), 0);
    // A socket's name in the file system.
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socket_path = dir.file("sock");
    ASSERT_LT(socket_path.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    // A file its reader may not open: only a process without the power to override permissions
    // is refused.
    testing::write_file(dir.file("closed"), "x");
    ASSERT_EQ(::chmod(dir.file("closed").c_str(), 0), 0);
    const bool permissions_hold = ::access(dir.file("closed").c_str(), R_OK) != 0;
    struct Case {
        std::string path;
        std::string outcome;  // the text, or the error's text
        // Whether a non-regular file stands there, which `refuse_non_regular_file` refuses too.
        bool not_regular = false;
    };
    // The system refuses a folder, a missing path and a file without permission itself, and its
    // words stand; what it would open and block on is named by the reader.
    std::vector<Case> cases = {
        {dir.file("ok"), "héllo"},
        {dir.file("to-ok"), "héllo"},
        {dir.file("ten"), "0123456789"},
        {dir.file("eleven"), dir.file("eleven") + " exceeds the limit of 10 bytes"},
        {dir.file("bad"), "stream did not contain valid UTF-8"},
        {dir.file("fifo"), dir.file("fifo") + " is a FIFO, not a regular file", true},
        {dir.file("written-fifo"), dir.file("written-fifo") + " is a FIFO, not a regular file",
         true},
        {dir.file("to-fifo"), dir.file("to-fifo") + " is a FIFO, not a regular file", true},
        {dir.file("sock"), dir.file("sock") + " is a socket, not a regular file", true},
        {"/dev/zero", "/dev/zero is a character device, not a regular file", true},
        {"/dev/null", "/dev/null is a character device, not a regular file", true},
        {dir.file("folder"), "Is a directory (os error 21)", true},
        {dir.file("to-folder"), "Is a directory (os error 21)", true},
        {dir.path() + "/", "Is a directory (os error 21)", true},
        {dir.file("dangling"), "No such file or directory (os error 2)"},
        {dir.file("missing"), "No such file or directory (os error 2)"},
        {dir.file("ok") + "/x", "Not a directory (os error 20)"},
    };
    if (permissions_hold) {
        cases.push_back({dir.file("closed"), "Permission denied (os error 13)"});
    }
    for (const auto& c : cases) {
        auto text = read_state_file(c.path, 10);
        EXPECT_EQ(text ? *text : text.error().to_string(), c.outcome) << c.path;
        auto usable = refuse_non_regular_file(c.path);
        EXPECT_EQ(usable.has_value(), !c.not_regular) << c.path;
        if (!usable && !text) {
            // Both say the same of what stands there.
            EXPECT_EQ(usable.error().to_string(), text.error().to_string()) << c.path;
        }
    }
    ::close(listener);
    ::close(writer);

    // A regular file whose size says nothing (the kernel's files give 0) is read up to the cap
    // and one byte, not whole.
    const auto before = bytes_read_by_this_thread();
    auto status = read_state_file("/proc/self/status", 10);
    const auto after = bytes_read_by_this_thread();
    ASSERT_FALSE(status.has_value());
    EXPECT_EQ(status.error().to_string(), "/proc/self/status exceeds the limit of 10 bytes");
    if (!before || !after) {
        GTEST_SKIP() << "no /proc/thread-self/io: the bytes read were not counted";
    }
    // The count read first includes that reading's own text.
    const std::string first = testing::read_file("/proc/thread-self/io");
    EXPECT_LE(*after - *before, 11u + first.size() + 64) << "bytes read";
    EXPECT_LT(*after - *before, 512u) << "bytes read";
}

// The message names what stands at the path, and shows the path as outside text does: a long one
// is cut, a password in it masked.
TEST(FileIoTest, StateFileErrorsShowThePathAsOutsideText) {
    TempDir dir;
    const std::string folder = dir.file("u:hunter2pw@h");
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    ASSERT_EQ(::mkfifo((folder + "/fifo").c_str(), 0600), 0);
    auto refused = read_state_file(folder + "/fifo", 10);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().to_string().find("hunter2pw"), std::string::npos)
        << refused.error().to_string();
    EXPECT_TRUE(refused.error().to_string().ends_with("/fifo is a FIFO, not a regular file"))
        << refused.error().to_string();

    std::string deep = dir.path();
    while (deep.size() < 3000) {
        deep += "/" + std::string(200, 'd');
        ASSERT_EQ(::mkdir(deep.c_str(), 0700), 0);
    }
    ASSERT_EQ(::mkfifo((deep + "/fifo").c_str(), 0600), 0);
    auto long_path = read_state_file(deep + "/fifo", 10);
    ASSERT_FALSE(long_path.has_value());
    const std::string text = long_path.error().to_string();
    EXPECT_LT(text.size(), 1200u);
    EXPECT_NE(text.find(" bytes left out]"), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with(" is a FIFO, not a regular file")) << text;
}

// Files that anyone may name: nothing blocks, nothing but a regular file is read, and no more
// than the cap is ever held. /proc/self/status is regular but claims a size of 0, so only the
// reading itself finds it too large.
TEST(FileIoTest, ReadRegularFileRefusesWhatIsNotAFileOrTooLarge) {
    TempDir dir;
    testing::write_file(dir.file("ten"), "0123456789");
    testing::write_file(dir.file("eleven"), "0123456789a");
    testing::write_file(dir.file("bad"), "a\xff");
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink(dir.file("fifo").c_str(), dir.file("link").c_str()), 0);
    struct Case {
        std::string path;
        std::string outcome;  // the text, or the error's text
    };
    const Case cases[] = {
        {dir.file("ten"), "0123456789"},
        {dir.file("eleven"), "file exceeds the limit of 10 bytes: " + dir.file("eleven")},
        {"/proc/self/status", "file exceeds the limit of 10 bytes: /proc/self/status"},
        {dir.file("bad"), "stream did not contain valid UTF-8"},
        {dir.file("fifo"), "not a regular file: " + dir.file("fifo")},
        {dir.file("link"), "not a regular file: " + dir.file("link")},
        {dir.path(), "not a regular file: " + dir.path()},
        {"/dev/zero", "not a regular file: /dev/zero"},
        {dir.file("missing"), "No such file or directory (os error 2)"},
    };
    for (const auto& c : cases) {
        auto text = read_regular_file(c.path, 10);
        EXPECT_EQ(text ? *text : text.error().to_string(), c.outcome) << c.path;
    }
}

// Tells which watched files were opened (inotify). A descriptor that only locates a file raises
// no open event on kernels since 6.5; `locating_is_silent` says whether this kernel is one.
class OpenWatch {
  public:
    OpenWatch() : fd_(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~OpenWatch() { ::close(fd_); }
    OpenWatch(const OpenWatch&) = delete;
    OpenWatch& operator=(const OpenWatch&) = delete;

    int watch(const std::string& path) {
        return ::inotify_add_watch(fd_, path.c_str(), IN_OPEN | IN_DONT_FOLLOW);
    }
    // The watches that saw an open since the last call.
    std::set<int> opened() {
        std::set<int> seen;
        alignas(inotify_event) char buffer[4096];
        ssize_t n = 0;
        while ((n = ::read(fd_, buffer, sizeof buffer)) > 0) {
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                if (event->mask & IN_OPEN) {
                    seen.insert(event->wd);
                }
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        return seen;
    }
    bool locating_is_silent(const std::string& path) {
        const int wd = watch(path);
        opened();
        const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
        ::close(fd);
        return fd >= 0 && !opened().contains(wd);
    }

  private:
    int fd_;
};

// Only a regular file is ever opened for reading: a FIFO that nobody writes (opened for reading it
// would wait for a writer), a folder and character devices are refused by their type alone, so
// naming a device cannot act on it. The regular file shows that the watch sees an open.
TEST(FileIoTest, ReadRegularFileJudgesTheTypeBeforeOpening) {
    TempDir dir;
    testing::write_file(dir.file("doc"), "text");
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink(dir.file("fifo").c_str(), dir.file("link").c_str()), 0);
    ASSERT_EQ(::mkdir(dir.file("folder").c_str(), 0700), 0);
    // A second name of the null device, so that no other process's opens are seen.
    const bool device = ::mknod(dir.file("null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) == 0;
    struct Case {
        std::string path;
        std::optional<std::string> watched;  // the file whose opens tell, if one can be watched
        std::string outcome;                 // the text, or the error's text
    };
    std::vector<Case> cases = {
        {dir.file("doc"), dir.file("doc"), "text"},
        {dir.file("fifo"), dir.file("fifo"), "not a regular file: " + dir.file("fifo")},
        {dir.file("link"), dir.file("fifo"), "not a regular file: " + dir.file("link")},
        {dir.file("folder"), dir.file("folder"), "not a regular file: " + dir.file("folder")},
        {"/dev/null", std::nullopt, "not a regular file: /dev/null"},
    };
    if (device) {
        cases.push_back(
            {dir.file("null"), dir.file("null"), "not a regular file: " + dir.file("null")});
    }
    OpenWatch watch;
    const bool silent = watch.locating_is_silent(dir.file("fifo"));
    for (const auto& c : cases) {
        const int wd = c.watched ? watch.watch(*c.watched) : -1;
        watch.opened();
        auto text = read_regular_file(c.path, 10);
        EXPECT_EQ(text ? *text : text.error().to_string(), c.outcome) << c.path;
        if (wd >= 0 && silent) {
            EXPECT_EQ(watch.opened().contains(wd), text.has_value()) << c.path;
        }
    }
    if (!silent || !device) {
        GTEST_SKIP() << "this kernel reports opens that only locate a file, or no device node "
                        "could be made: not every case was watched";
    }
}

TEST(FileIoTest, AtomicWriteCreatesOwnerOnlyAndKeepsExistingModes) {
    TempDir dir;
    const std::string fresh = dir.file("fresh.toml");
    ASSERT_TRUE(write_file_atomically(fresh, "one", 0600).has_value());
    EXPECT_EQ(testing::read_file(fresh), "one");
    EXPECT_EQ(testing::file_mode(fresh), 0600u);

    const std::string shared = dir.file("shared.toml");
    testing::write_file(shared, "old", 0644);
    ASSERT_TRUE(write_file_atomically(shared, "new", 0600).has_value());
    EXPECT_EQ(testing::read_file(shared), "new");
    EXPECT_EQ(testing::file_mode(shared), 0644u);

    // No temporary file is left behind.
    EXPECT_EQ(dir.entries(), (std::set<std::string>{"fresh.toml", "shared.toml"}));
}

TEST(FileIoTest, AtomicWriteKeepsTheOwnerWhereItMay) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "only the superuser can give files away";
    }
    TempDir dir;
    const std::string path = dir.file("owned.toml");
    testing::write_file(path, "old", 0640);
    ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    ASSERT_TRUE(write_file_atomically(path, "new", 0600).has_value());
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(testing::read_file(path), "new");
}

TEST(FileIoTest, AtomicWriteLeavesAFileItMayNotWriteAlone) {
    TempDir dir;
    // The folder lets anyone create and rename files; only the file itself is read-only.
    ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
    const std::string path = dir.file("readonly.toml");
    testing::write_file(path, "old", 0444);
    const std::string result = testing::without_privileges([&] {
        auto written = write_file_atomically(path, "new", 0600);
        return written ? std::string("written") : written.error().to_string();
    });
    EXPECT_EQ(result, "Permission denied (os error 13)");
    EXPECT_EQ(testing::read_file(path), "old");
    EXPECT_EQ(dir.entries(), std::set<std::string>{"readonly.toml"});
}

TEST(FileIoTest, AtomicWriteFollowsASymbolicLink) {
    TempDir dir;
    testing::write_file(dir.file("real.toml"), "old", 0640);
    ASSERT_EQ(::symlink("real.toml", dir.file("link.toml").c_str()), 0);
    ASSERT_TRUE(write_file_atomically(dir.file("link.toml"), "new", 0600).has_value());
    struct stat st {};
    ASSERT_EQ(::lstat(dir.file("link.toml").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(testing::read_file(dir.file("real.toml")), "new");
    EXPECT_EQ(testing::file_mode(dir.file("real.toml")), 0640u);
}

// Only a regular file is replaced: renaming over a FIFO or a device would replace the node
// itself. Nothing waits, and what stood there stays, links and all.
TEST(FileIoTest, AtomicWriteReplacesOnlyARegularFile) {
    TempDir dir;
    ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0755), 0);
    ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink(dir.file("fifo").c_str(), dir.file("to-fifo").c_str()), 0);
    const bool device = ::mknod(dir.file("null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) == 0;
    std::vector<std::pair<std::string, std::string>> cases = {
        // The system would refuse the rename over a folder in these words.
        {dir.file("sub"), "Is a directory (os error 21)"},
        {dir.file("fifo"), dir.file("fifo") + " is a FIFO, not a regular file"},
        {dir.file("to-fifo"), dir.file("to-fifo") + " is a FIFO, not a regular file"},
    };
    if (device) {
        cases.emplace_back(dir.file("null"),
                           dir.file("null") + " is a character device, not a regular file");
    }
    for (const auto& [path, error] : cases) {
        auto written = write_file_atomically(path, "x", 0600);
        ASSERT_FALSE(written.has_value()) << path;
        EXPECT_EQ(written.error().to_string(), error);
    }
    struct stat st {};
    ASSERT_EQ(::lstat(dir.file("fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ASSERT_EQ(::lstat(dir.file("to-fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    if (device) {
        ASSERT_EQ(::lstat(dir.file("null").c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode));
    }
    std::set<std::string> expected{"sub", "fifo", "to-fifo"};
    if (device) {
        expected.insert("null");
    }
    EXPECT_EQ(dir.entries(), expected);
}

// A write that fails part-way (here: the file-size limit is hit after a few bytes) leaves the old
// file exactly as it was and no temporary file behind.
TEST(FileIoTest, FailedWriteLeavesThePreviousFileIntact) {
    TempDir dir;
    const std::string path = dir.file("config.toml");
    const std::string old_contents = "previous contents\n";
    testing::write_file(path, old_contents, 0600);

    Result<void, IoError> written;
    Result<void, IoError> created;
    {
        testing::FileSizeLimit limit(8);
        ASSERT_TRUE(limit.active());
        written = write_file_atomically(path, std::string(4096, 'x'), 0600);
        created = create_file_exclusively(dir.file("new.toml"), std::string(4096, 'y'), 0600);
    }

    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error().to_string(), "File too large (os error 27)");
    ASSERT_FALSE(created.has_value());
    EXPECT_EQ(created.error().os_code(), EFBIG);
    EXPECT_EQ(testing::read_file(path), old_contents);
    EXPECT_EQ(dir.entries(), std::set<std::string>{"config.toml"});
}

TEST(FileIoTest, ExclusiveCreationNeverReplaces) {
    TempDir dir;
    const std::string path = dir.file("id.toml");
    ASSERT_TRUE(create_file_exclusively(path, "first", 0600).has_value());
    EXPECT_EQ(testing::file_mode(path), 0600u);
    EXPECT_EQ(testing::read_file(path), "first");

    auto again = create_file_exclusively(path, "second", 0600);
    ASSERT_FALSE(again.has_value());
    EXPECT_EQ(again.error().to_string(), "File exists (os error 17)");
    EXPECT_EQ(testing::read_file(path), "first");

    ASSERT_EQ(::symlink("nowhere", dir.file("dangling").c_str()), 0);
    auto dangling = create_file_exclusively(dir.file("dangling"), "x", 0600);
    ASSERT_FALSE(dangling.has_value());
    EXPECT_EQ(dangling.error().os_code(), EEXIST);

    auto missing_dir = create_file_exclusively(dir.file("no/such.toml"), "x", 0600);
    ASSERT_FALSE(missing_dir.has_value());
    EXPECT_EQ(missing_dir.error().os_code(), ENOENT);
    EXPECT_EQ(dir.entries(), (std::set<std::string>{"dangling", "id.toml"}));
}

// What saves that died left beside the file goes at the next load or save: temporaries of our
// own pattern whose save no longer runs, also a second name of the live file. Everything else
// stays, and so does the temporary of a save still in progress (it holds its lock).
TEST(FileIoTest, StaleTemporariesOfTheFileAreRemoved) {
    TempDir dir;
    const std::string path = dir.file("agent.toml");
    testing::write_file(path, "live", 0600);
    testing::write_file(dir.file(".agent.toml.tmp.AbC123"), "secret", 0600);
    ASSERT_EQ(::link(path.c_str(), dir.file(".agent.toml.tmp.Link00").c_str()), 0);
    const std::set<std::string> foreign = {
        ".agent.toml.tmp.abc12",  ".agent.toml.tmp.abc1234", ".agent.toml.tmp.ab_123",
        ".other.toml.tmp.AbC123", "agent.toml.tmp.AbC123",   ".agent.toml.tmp.Dir000",
        ".agent.toml.tmp.Sym000", ".agent.toml.tmp.Busy00",
    };
    for (const auto& name : foreign) {
        if (name == ".agent.toml.tmp.Dir000") {
            ASSERT_EQ(::mkdir(dir.file(name).c_str(), 0700), 0);
        } else if (name == ".agent.toml.tmp.Sym000") {
            ASSERT_EQ(::symlink("agent.toml", dir.file(name).c_str()), 0);
        } else {
            testing::write_file(dir.file(name), "x", 0600);
        }
    }
    int busy = ::open(dir.file(".agent.toml.tmp.Busy00").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(busy, 0);
    ASSERT_EQ(::flock(busy, LOCK_EX), 0);

    remove_stale_temp_files(path);
    std::set<std::string> expected = foreign;
    expected.insert("agent.toml");
    EXPECT_EQ(dir.entries(), expected);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u);
    EXPECT_EQ(testing::read_file(path), "live");

    // Through a symbolic link, the folder of the file it names is cleaned.
    ::close(busy);
    TempDir other;
    const std::string link = other.file("link.toml");
    ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
    remove_stale_temp_files(link);
    expected.erase(".agent.toml.tmp.Busy00");
    EXPECT_EQ(dir.entries(), expected);
}

// Kills a process that writes the file over and over at 200 random moments. The file is never
// torn, and after a clean-up nothing but the file is left; a creation never leaves the file with
// a second name, even before the clean-up.
TEST(FileIoTest, KilledWritesLeaveOneCompleteFileAndNoCopies) {
    TempDir dir;
    const std::string path = dir.file("agent.toml");
    const std::string contents[] = {std::string(3000, 'a'), std::string(5000, 'b')};
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        const bool create = round % 2 == 1;
        if (!create) {
            ASSERT_TRUE(write_file_atomically(path, contents[0], 0600).has_value());
        }
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (size_t i = 0;; ++i) {
                if (create) {
                    ::unlink(path.c_str());
                    (void)create_file_exclusively(path, contents[i % 2], 0600);
                } else {
                    (void)write_file_atomically(path, contents[i % 2], 0600);
                }
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);

        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) {
            EXPECT_EQ(st.st_nlink, 1u) << "round " << round;
            const std::string text = testing::read_file(path);
            EXPECT_TRUE(text == contents[0] || text == contents[1]) << "round " << round;
        } else {
            EXPECT_TRUE(create) << "round " << round;
        }
        remove_stale_temp_files(path);
        auto entries = dir.entries();
        entries.erase("agent.toml");
        ASSERT_TRUE(entries.empty()) << "round " << round << ": " << *entries.begin();
    }
}

}  // namespace
}  // namespace quorvel
