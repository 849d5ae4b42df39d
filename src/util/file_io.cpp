#include "util/file_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "util/shown_text.h"
#include "util/unicode.h"

namespace quorvel {
namespace {

IoError last_error() {
    return IoError::from_errno(errno);
}

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }
    // Closes now so that a failing close is seen.
    int close() {
        int rc = ::close(fd_);
        fd_ = -1;
        return rc;
    }

  private:
    int fd_;
};

struct DirCloser {
    void operator()(DIR* dir) const noexcept { ::closedir(dir); }
};

Result<void, IoError> write_all(int fd, std::string_view contents) {
    const char* data = contents.data();
    size_t left = contents.size();
    while (left > 0) {
        ssize_t n = ::write(fd, data, left);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return unexpected(last_error());
        }
        data += n;
        left -= static_cast<size_t>(n);
    }
    return {};
}

std::string directory_of(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

std::string base_name_of(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Makes a rename or link in `directory` durable. Best effort: some file systems refuse to sync a
// directory, and the data itself is already on disk.
void sync_directory(const std::string& directory) {
    int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

// The name of a temporary file beside `target`: "." + the target's name + ".tmp." + six letters
// or digits that mkstemp chose.
std::string temp_pattern(const std::string& target) {
    return directory_of(target) + "/." + base_name_of(target) + ".tmp.XXXXXX";
}

bool is_temp_name_of(std::string_view name, std::string_view base) {
    const std::string prefix = "." + std::string(base) + ".tmp.";
    if (name.size() != prefix.size() + 6 || !name.starts_with(prefix)) {
        return false;
    }
    for (char c : name.substr(prefix.size())) {
        const bool alnum =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum) {
            return false;
        }
    }
    return true;
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Renames `from` to `to` unless `to` exists (EEXIST then), in one step, so that no second name
// of the file is ever left behind. ENOTSUP, EINVAL or ENOSYS where the file system or the
// system cannot.
int rename_no_replace(const std::string& from, const std::string& to) {
#if defined(__APPLE__)
    return ::renamex_np(from.c_str(), to.c_str(), RENAME_EXCL) == 0 ? 0 : errno;
#else
    return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0 ? 0
                                                                                            : errno;
#endif
}

// A flushed temporary file beside `target`, removed again unless it was handed on. It stays open
// and locked until then: a lock that is free marks the temporary of a save that died, which
// `remove_stale_temp_files` may remove, while a save in progress keeps its own.
class TempFile {
  public:
    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        if (!path_.empty()) {
            ::unlink(path_.c_str());
        }
        // Closing drops the lock, after the name is gone.
    }

    // `owner`, when given, is the (uid, gid) the replaced file had; it is kept where the process
    // may give files away, and silently not elsewhere.
    Result<void, IoError> write(const std::string& target, std::string_view contents, mode_t mode,
                                std::optional<std::pair<uid_t, gid_t>> owner = std::nullopt) {
        if (auto created = create(target); !created) {
            return created;
        }
        if (owner) {
            [[maybe_unused]] int rc = ::fchown(fd_->get(), owner->first, owner->second);
        }
        if (::fchmod(fd_->get(), mode & 07777) != 0) {
            return unexpected(last_error());
        }
        if (auto written = write_all(fd_->get(), contents); !written) {
            return written;
        }
        if (::fsync(fd_->get()) != 0) {
            return unexpected(last_error());
        }
        return {};
    }

    const std::string& path() const { return path_; }
    // The name went elsewhere: nothing to remove. The contents were flushed before, so the
    // file is complete whatever closing says.
    void release() {
        path_.clear();
        fd_.reset();
    }

  private:
    Result<void, IoError> create(const std::string& target) {
        // A cleaner may take a fresh file for a stale one in the moment before it is locked;
        // then the name is gone or another file's, and a new name is tried.
        for (int attempt = 0; attempt < 8; ++attempt) {
            std::string pattern = temp_pattern(target);
            // mkstemp creates the file with mode 0600, so a secret never sits in a wider file.
            int raw = ::mkostemp(pattern.data(), O_CLOEXEC);
            if (raw < 0) {
                return unexpected(last_error());
            }
            fd_.emplace(raw);
            // Where the file system has no locks, no cleaner can take the lock either, so the
            // temporary is safe without one.
            [[maybe_unused]] int locked = ::flock(raw, LOCK_EX);
            struct stat ours {};
            struct stat named {};
            if (::fstat(raw, &ours) == 0 && ::stat(pattern.c_str(), &named) == 0 &&
                same_file(ours, named)) {
                path_ = std::move(pattern);
                return {};
            }
        }
        return unexpected(IoError::from_errno(EEXIST));
    }

    std::optional<Fd> fd_;
    std::string path_;
};

}  // namespace

namespace {

// The rest of `fd` as UTF-8 text; fails with `too_large` once more than `max_bytes` show, having
// read no more than `max_bytes` + 1 bytes.
Result<std::string, IoError> read_rest(int fd, std::size_t max_bytes,
                                       const std::function<IoError()>& too_large) {
    std::string contents;
    char buffer[8192];
    for (;;) {
        // One byte beyond the cap tells a file that is too large; nothing further is asked for.
        const std::size_t left = max_bytes - contents.size();
        ssize_t n = ::read(fd, buffer, left < sizeof buffer ? left + 1 : sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return unexpected(last_error());
        }
        if (n == 0) {
            break;
        }
        if (static_cast<size_t>(n) > max_bytes - contents.size()) {
            return unexpected(too_large());
        }
        contents.append(buffer, static_cast<size_t>(n));
    }
    if (!is_valid_utf8(contents)) {
        return unexpected(IoError::invalid_utf8());
    }
    return contents;
}

// Opens the file that `located` (a descriptor that only locates it, or -1) stands for, for
// reading: through /proc the very same file; without either, by its name again, which the caller
// checks for another file swapped in meanwhile. Never waits for a lease that another process
// holds.
Result<int, IoError> reopen_for_reading(int located, const std::string& path) {
    constexpr int kFlags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    int fd = -1;
    if (located >= 0) {
        const std::string same = "/proc/self/fd/" + std::to_string(located);
        fd = ::open(same.c_str(), kFlags);
    }
    // No /proc, or nothing that locates the file.
    if (located < 0 || (fd < 0 && errno == ENOENT)) {
        fd = ::open(path.c_str(), kFlags);
    }
    if (fd < 0) {
        return unexpected(last_error());
    }
    return fd;
}

// How a reading of a regular file words its two refusals.
struct Refusals {
    // What is not a regular file, by its `st_mode`; a regular one for another file swapped in
    // between the judging and the opening.
    std::function<IoError(mode_t)> not_regular;
    std::function<IoError()> too_large;
};

// The reading behind `read_regular_file` and `read_state_file`.
Result<std::string, IoError> read_regular(const std::string& path, std::size_t max_bytes,
                                          const Refusals& refusals) {
    // The type is judged before the file is opened for reading: opening a device for reading may
    // act on it (a watchdog arms itself), and opening a FIFO waits for a writer. Where a
    // descriptor can only locate a file, it is judged on one and that very file opened; elsewhere
    // by name, and the file opened is checked again.
    struct stat judged {};
#ifdef O_PATH
    Fd located(::open(path.c_str(), O_PATH | O_CLOEXEC));
    if (located.get() < 0 || ::fstat(located.get(), &judged) != 0) {
        return unexpected(last_error());
    }
#else
    if (::stat(path.c_str(), &judged) != 0) {
        return unexpected(last_error());
    }
#endif
    if (!S_ISREG(judged.st_mode)) {
        return unexpected(refusals.not_regular(judged.st_mode));
    }
#ifdef O_PATH
    auto opened = reopen_for_reading(located.get(), path);
#else
    auto opened = reopen_for_reading(-1, path);
#endif
    if (!opened) {
        return unexpected(std::move(opened).error());
    }
    Fd fd(*opened);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) {
        return unexpected(last_error());
    }
    // Opened by name again, it may be another file than the one judged.
    if (!same_file(st, judged)) {
        return unexpected(refusals.not_regular(S_IFREG));
    }
    if (static_cast<std::make_unsigned_t<off_t>>(st.st_size) > max_bytes) {
        return unexpected(refusals.too_large());
    }
    // Opened without waiting; reading a regular file waits for the disk as it should.
    if (int flags = ::fcntl(fd.get(), F_GETFL); flags >= 0 && (flags & O_NONBLOCK) != 0) {
        ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    }
    return read_rest(fd.get(), max_bytes, refusals.too_large);
}

IoError state_file_not_regular(const std::string& path, mode_t mode) {
    if (S_ISDIR(mode)) {
        // The system itself refuses a folder: reading one fails with EISDIR, and so does renaming
        // a file over one. Its own words are kept; only the kinds it would open, read and block
        // on (FIFOs, devices, sockets) are named by us.
        return IoError::from_errno(EISDIR);
    }
    if (S_ISREG(mode)) {
        // Another file was swapped in between the judging and the opening.
        return IoError::other(outside_text(path) + " changed while it was opened");
    }
    return IoError::other(outside_text(path) + " is " + std::string(file_type_name(mode)) +
                          ", not a regular file");
}

}  // namespace

std::string replacement_target(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                             &std::free);
        if (resolved) {
            return resolved.get();
        }
    }
    return path;
}

std::string_view file_type_name(mode_t mode) {
    switch (mode & S_IFMT) {
        case S_IFREG:
            return "a regular file";
        case S_IFDIR:
            return "a directory";
        case S_IFIFO:
            return "a FIFO";
        case S_IFCHR:
            return "a character device";
        case S_IFBLK:
            return "a block device";
        case S_IFSOCK:
            return "a socket";
        case S_IFLNK:
            return "a symbolic link";
        default:
            return "a file of an unknown type";
    }
}

Result<std::string, IoError> read_regular_file(const std::string& path, std::size_t max_bytes) {
    return read_regular(
        path, max_bytes,
        Refusals{
            .not_regular = [&](mode_t) { return IoError::other("not a regular file: " + path); },
            .too_large =
                [&] {
                    return IoError::other("file exceeds the limit of " + std::to_string(max_bytes) +
                                          " bytes: " + path);
                },
        });
}

Result<std::string, IoError> read_state_file(const std::string& path, std::size_t max_bytes) {
    return read_regular(
        path, max_bytes,
        Refusals{
            .not_regular = [&](mode_t mode) { return state_file_not_regular(path, mode); },
            .too_large =
                [&] {
                    return IoError::other(outside_text(path) + " exceeds the limit of " +
                                          std::to_string(max_bytes) + " bytes");
                },
        });
}

Result<void, IoError> refuse_non_regular_file(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        return unexpected(state_file_not_regular(path, st.st_mode));
    }
    return {};
}

Result<void, IoError> write_file_atomically(const std::string& path, std::string_view contents,
                                            mode_t new_file_mode) {
    // Replace what a link points at, not the link.
    const std::string target = replacement_target(path);
    mode_t mode = new_file_mode;
    std::optional<std::pair<uid_t, gid_t>> owner;
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0) {
        // Renaming over a FIFO or a device would replace the node itself (as the superuser, in
        // /dev too); a folder cannot be replaced so.
        if (!S_ISREG(st.st_mode)) {
            return unexpected(state_file_not_regular(path, st.st_mode));
        }
        // Replacing goes through the folder, which would let a save overwrite a file that the
        // process may not write to; such a file stays protected.
        if (::access(target.c_str(), W_OK) != 0) {
            return unexpected(last_error());
        }
        mode = st.st_mode & 07777;
        owner.emplace(st.st_uid, st.st_gid);
    }

    TempFile temp;
    if (auto written = temp.write(target, contents, mode, owner); !written) {
        return written;
    }
    // Known before the rename: once the file is replaced, nothing may fail any more, so that a
    // failure always means the file is as it was.
    const std::string directory = directory_of(target);
    if (::rename(temp.path().c_str(), target.c_str()) != 0) {
        return unexpected(last_error());
    }
    temp.release();
    sync_directory(directory);
    return {};
}

Result<void, IoError> create_file_exclusively(const std::string& path, std::string_view contents,
                                              mode_t mode) {
    TempFile temp;
    if (auto written = temp.write(path, contents, mode); !written) {
        return written;
    }
    // Known before the file is created: from then on nothing may fail any more.
    const std::string directory = directory_of(path);
    // Renaming without replacing makes the creation exclusive and atomic, and unlike a hard link
    // leaves no second name of the file behind, even when the process dies midway.
    int rename_errno = rename_no_replace(temp.path(), path);
    if (rename_errno == 0) {
        temp.release();
        sync_directory(directory);
        return {};
    }
    if (rename_errno != EINVAL && rename_errno != ENOSYS && rename_errno != ENOTSUP &&
        rename_errno != EOPNOTSUPP) {
        return unexpected(IoError::from_errno(rename_errno));
    }
    // link() refuses an existing name as well; the temporary's name goes again right after.
    if (::link(temp.path().c_str(), path.c_str()) == 0) {
        sync_directory(directory);
        return {};
    }
    const int link_errno = errno;
    if (link_errno != EPERM && link_errno != ENOTSUP && link_errno != ENOSYS &&
        link_errno != EOPNOTSUPP) {
        return unexpected(IoError::from_errno(link_errno));
    }

    // A file system without hard links: create the name exclusively and fill it, removing it
    // again if that fails part-way, since nobody else can have used it yet.
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode & 07777));
    if (fd.get() < 0) {
        return unexpected(last_error());
    }
    auto fail = [&](IoError error) -> Result<void, IoError> {
        ::unlink(path.c_str());
        return unexpected(std::move(error));
    };
    if (::fchmod(fd.get(), mode & 07777) != 0) {
        return fail(last_error());
    }
    if (auto written = write_all(fd.get(), contents); !written) {
        return fail(written.error());
    }
    if (::fsync(fd.get()) != 0) {
        return fail(last_error());
    }
    if (fd.close() != 0) {
        return fail(last_error());
    }
    sync_directory(directory);
    return {};
}

void remove_stale_temp_files(const std::string& path) {
    const std::string target = replacement_target(path);
    const std::string directory = directory_of(target);
    const std::string base = base_name_of(target);
    std::vector<std::string> candidates;
    {
        // Closed however the listing ends: a name that cannot be kept throws.
        const std::unique_ptr<DIR, DirCloser> dir(::opendir(directory.c_str()));
        if (dir == nullptr) {
            return;
        }
        while (const dirent* entry = ::readdir(dir.get())) {
            if (is_temp_name_of(entry->d_name, base)) {
                candidates.emplace_back(entry->d_name);
            }
        }
    }
    for (const auto& name : candidates) {
        const std::string candidate = directory + "/" + name;
        Fd fd(::open(candidate.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat opened {};
        if (fd.get() < 0 || ::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) {
            continue;
        }
        // A save in progress holds the lock of its temporary.
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            continue;
        }
        struct stat named {};
        if (::lstat(candidate.c_str(), &named) == 0 && same_file(opened, named)) {
            ::unlink(candidate.c_str());
        }
    }
}

}  // namespace quorvel
