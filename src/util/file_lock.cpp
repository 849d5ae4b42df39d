#include "util/file_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <thread>
#include <utility>

#include <fmt/format.h>

#include "util/file_io.h"

namespace quorvel {
namespace {

// The longest pause between two attempts: short against the few milliseconds an edit holds the
// lock, long enough that waiters do not spin.
constexpr std::chrono::milliseconds kLongestPause{50};

}  // namespace

Result<FileLock, IoError> FileLock::acquire(const std::string& lock_path,
                                            std::chrono::milliseconds timeout) {
    auto not_regular = [](mode_t mode) {
        return IoError::other("it is " + std::string(file_type_name(mode)) +
                              ", not a regular file");
    };
    // Judged before it is opened: opening a device may act on it. A link is left to the open,
    // which refuses it.
    struct stat found {};
    if (::lstat(lock_path.c_str(), &found) == 0 && !S_ISREG(found.st_mode) &&
        !S_ISLNK(found.st_mode)) {
        return unexpected(not_regular(found.st_mode));
    }
    // Never written; opened for writing all the same, since where flock() is emulated
    // with record locks (NFS) an exclusive lock needs a descriptor open for writing. Opening
    // never waits, whatever was swapped in meanwhile.
    const int fd = ::open(lock_path.c_str(),
                          O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0600);
    if (fd < 0) {
        return unexpected(IoError::from_errno(errno));
    }
    FileLock lock(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return unexpected(IoError::from_errno(errno));
    }
    if (!S_ISREG(st.st_mode)) {
        return unexpected(not_regular(st.st_mode));
    }

    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    // The kernel queues no flock() waiter with a time limit, so a waiter polls, backing off.
    std::chrono::milliseconds pause{1};
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return lock;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EWOULDBLOCK) {
            return unexpected(IoError::from_errno(errno));
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            return unexpected(IoError::other(
                fmt::format("timed out after {} ms waiting for another holder to release it",
                            timeout.count())));
        }
        std::this_thread::sleep_for(std::min<Clock::duration>(pause, deadline - now));
        pause = std::min(pause * 2, kLongestPause);
    }
}

FileLock::FileLock(FileLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

FileLock::~FileLock() {
    // Closing the only descriptor of the open file description drops the lock.
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

std::string lock_file_path(const std::string& path) {
    return replacement_target(path) + ".lock";
}

}  // namespace quorvel
