// An exclusive advisory lock that lets one read-change-write cycle of a state file run at a time,
// between the threads of a process and between processes (an app and its extension editing one
// configuration).
//
// The lock is an flock() on a lock file of its own beside the state file, never on the state file
// itself: saves replace that file by renaming a new one over it, which would leave a lock on the
// old inode behind. The lock file is created empty (0600) when missing, and is never written or
// removed, so that every party always locks the same inode.
//
// flock() locks belong to the open file description: each acquire opens the file anew, so two
// threads of one process exclude each other just as two processes do. The kernel drops the lock
// when its holder closes it or dies, and the descriptor is closed on exec, so a program the
// holder starts never keeps it.
#pragma once

#include <chrono>
#include <string>

#include "util/io_error.h"
#include "util/result.h"

namespace quorvel {

class FileLock {
  public:
    // Takes the exclusive lock on the file at `lock_path`, creating the file when missing. Waits
    // for another holder for up to `timeout`, then fails with "timed out after N ms waiting for
    // another holder to release it". Opening never waits: anything but a regular file there (a
    // FIFO, a device, a folder) fails as "it is a FIFO, not a regular file" (a device is refused
    // before it is opened), and a symbolic link there is refused (ELOOP) rather than followed.
    static Result<FileLock, IoError> acquire(const std::string& lock_path,
                                             std::chrono::milliseconds timeout);

    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    // Releases the lock.
    ~FileLock();

  private:
    explicit FileLock(int fd) : fd_(fd) {}
    int fd_ = -1;
};

// The lock file that serialises the edits of the state file at `path`: beside the file a save
// replaces (a symbolic link's target, so that edits through the link and through the target
// exclude each other), with ".lock" added to its name. Temporary copies of saves are named
// differently ("." + name + ".tmp." + six characters), so their clean-up never takes it for one.
std::string lock_file_path(const std::string& path);

}  // namespace quorvel
