#include "util/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include <memory>
#include <optional>
#include <utility>

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

// A flushed temporary file beside `target`, removed again unless it was handed on.
class TempFile {
  public:
    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        if (!path_.empty()) {
            ::unlink(path_.c_str());
        }
    }

    // `owner`, when given, is the (uid, gid) the replaced file had; it is kept where the process
    // may give files away, and silently not elsewhere.
    Result<void, IoError> write(const std::string& target, std::string_view contents, mode_t mode,
                                std::optional<std::pair<uid_t, gid_t>> owner = std::nullopt) {
        std::string pattern = directory_of(target) + "/." + base_name_of(target) + ".tmp.XXXXXX";
        // mkstemp creates the file with mode 0600, so a secret never sits in a wider file.
        int raw = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (raw < 0) {
            return unexpected(last_error());
        }
        path_ = pattern;
        Fd fd(raw);
        if (owner) {
            [[maybe_unused]] int rc = ::fchown(fd.get(), owner->first, owner->second);
        }
        if (::fchmod(fd.get(), mode & 07777) != 0) {
            return unexpected(last_error());
        }
        if (auto written = write_all(fd.get(), contents); !written) {
            return written;
        }
        if (::fsync(fd.get()) != 0) {
            return unexpected(last_error());
        }
        if (fd.close() != 0) {
            return unexpected(last_error());
        }
        return {};
    }

    const std::string& path() const { return path_; }
    void release() { path_.clear(); }

  private:
    std::string path_;
};

}  // namespace

Result<std::string, IoError> read_to_string(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        return unexpected(last_error());
    }
    std::string contents;
    char buffer[8192];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return unexpected(last_error());
        }
        if (n == 0) {
            break;
        }
        contents.append(buffer, static_cast<size_t>(n));
    }
    if (!is_valid_utf8(contents)) {
        return unexpected(IoError::invalid_utf8());
    }
    return contents;
}

Result<void, IoError> write_file_atomically(const std::string& path, std::string_view contents,
                                            mode_t new_file_mode) {
    std::string target = path;
    mode_t mode = new_file_mode;
    std::optional<std::pair<uid_t, gid_t>> owner;
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        // Replace what the link points at, not the link.
        std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                             &std::free);
        if (resolved) {
            target = resolved.get();
        }
    }
    if (::stat(target.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            return unexpected(IoError::from_errno(EISDIR));
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
    if (::rename(temp.path().c_str(), target.c_str()) != 0) {
        return unexpected(last_error());
    }
    temp.release();
    sync_directory(directory_of(target));
    return {};
}

Result<void, IoError> create_file_exclusively(const std::string& path, std::string_view contents,
                                              mode_t mode) {
    TempFile temp;
    if (auto written = temp.write(path, contents, mode); !written) {
        return written;
    }
    // link() refuses an existing name, which makes the creation both exclusive and atomic.
    if (::link(temp.path().c_str(), path.c_str()) == 0) {
        sync_directory(directory_of(path));
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
    sync_directory(directory_of(path));
    return {};
}

}  // namespace quorvel
