// A fresh directory under the test temporary folder, removed with everything in it.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
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

}  // namespace quorvel::testing
