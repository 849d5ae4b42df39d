// A fresh directory under the test temporary folder, removed with everything in it.
#pragma once

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace quorvel::testing {

class TempDir {
  public:
    TempDir() {
        std::string pattern = ::testing::TempDir() + "quorvel_test_XXXXXX";
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        // The tests may leave read-only folders behind; rm copes with that.
        [[maybe_unused]] int rc = std::system(("rm -rf '" + path_ + "'").c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

    // The names in the folder, without "." and "..".
    std::set<std::string> entries() const {
        std::set<std::string> names;
        if (DIR* dir = ::opendir(path_.c_str())) {
            while (dirent* e = ::readdir(dir)) {
                std::string name = e->d_name;
                if (name != "." && name != "..") {
                    names.insert(name);
                }
            }
            ::closedir(dir);
        }
        return names;
    }

  private:
    std::string path_;
};

inline void write_file(const std::string& path, const std::string& contents, mode_t mode = 0644) {
    std::ofstream(path, std::ios::binary) << contents;
    ::chmod(path.c_str(), mode);
}

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline mode_t file_mode(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return 0;
    }
    return st.st_mode & 07777;
}

// Limits the size of files this process writes for the guard's lifetime, so that a write past
// `bytes` fails with EFBIG as it would on a full disk (the signal that would end the process is
// ignored meanwhile).
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGXFSZ, &ignore, &previous_action_);
        ::getrlimit(RLIMIT_FSIZE, &previous_limit_);
        struct rlimit small = previous_limit_;
        small.rlim_cur = bytes;
        active_ = ::setrlimit(RLIMIT_FSIZE, &small) == 0;
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &previous_limit_);
        ::sigaction(SIGXFSZ, &previous_action_, nullptr);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    bool active() const { return active_; }

  private:
    struct sigaction previous_action_ {};
    struct rlimit previous_limit_ {};
    bool active_ = false;
};

// Runs `body` without the superuser's privileges, which would make every file readable: as root
// in a child process that has switched to the unprivileged user, otherwise directly. Returns what
// `body` returned.
inline std::string without_privileges(const std::function<std::string()>& body) {
    if (::geteuid() != 0) {
        return body();
    }
    int fds[2];
    if (::pipe(fds) != 0) {
        return "pipe failed";
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        std::string out = (::setgid(65534) == 0 && ::setuid(65534) == 0) ? body() : "setuid failed";
        [[maybe_unused]] auto n = ::write(fds[1], out.data(), out.size());
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string out;
    char buffer[512];
    ssize_t n = 0;
    while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) {
        out.append(buffer, static_cast<size_t>(n));
    }
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return out;
}

}  // namespace quorvel::testing
