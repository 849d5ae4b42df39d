// Probes of this process's sockets for tests that check when an address is free again: a loopback
// UDP port bound and closed at once, and the count of open descriptors.
#pragma once

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <set>

namespace quorvel::testing {

// Binds a UDP socket to `port` on the loopback address (0: any free one) and closes it again at
// once; the port it was bound to, or 0 when it could not bind.
inline uint16_t bind_loopback_udp(uint16_t port) {
    const int probe = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return 0;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    socklen_t length = sizeof addr;
    uint16_t bound = 0;
    if (::bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        ::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &length) == 0) {
        bound = ntohs(addr.sin_port);
    }
    ::close(probe);
    return bound;
}

// A UDP port on the loopback address that nothing holds now; 0 when none could be had.
inline uint16_t free_loopback_port() {
    return bind_loopback_udp(0);
}

// Whether a socket of this process can bind the loopback port now.
inline bool port_bindable(uint16_t port) {
    return bind_loopback_udp(port) == port;
}

inline size_t open_fd_count() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
        ++n;
    }
    return n;
}

// The numbers of this process's open descriptors (without the one that lists them).
inline std::set<int> open_fds() {
    std::set<int> fds;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return fds;
    }
    const int own = ::dirfd(dir);
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.' && std::atoi(entry->d_name) != own) {
            fds.insert(std::atoi(entry->d_name));
        }
    }
    ::closedir(dir);
    return fds;
}

// The descriptors open now that were not open in `before`: what a test's work left open, however
// other threads' descriptors closed meanwhile.
inline std::set<int> fds_opened_since(const std::set<int>& before) {
    std::set<int> opened;
    for (const int fd : open_fds()) {
        if (before.count(fd) == 0) {
            opened.insert(fd);
        }
    }
    return opened;
}

}  // namespace quorvel::testing
