// A packet socket pair whose first end is wrapped as a tunnel device; the test plays the host on
// the other end.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/any_io_executor.hpp>
#include <memory>

#include "agent/netif/async_device.h"

namespace quorvel::agent::testing {

struct DevicePair {
    DevicePair() = default;
    DevicePair(const DevicePair&) = delete;
    DevicePair& operator=(const DevicePair&) = delete;
    ~DevicePair() {
        device.reset();
        if (host >= 0) {
            ::close(host);
        }
    }

    // Null when the pair could not be made.
    std::shared_ptr<AsyncDevice> device;
    int host = -1;
};

inline std::unique_ptr<DevicePair> make_device_pair(const boost::asio::any_io_executor& executor,
                                                    AsyncDeviceOptions options = {}) {
    auto pair = std::make_unique<DevicePair>();
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) {
        return pair;
    }
    pair->host = fds[1];
    auto device = AsyncDevice::from_fd(executor, fds[0], options);
    if (device) {
        pair->device = std::move(*device);
    } else {
        ::close(fds[0]);
    }
    return pair;
}

}  // namespace quorvel::agent::testing
