#include "agent/netif/async_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "util/poll_await.h"

namespace quorvel::agent {

namespace {

constexpr std::size_t kPacketInformationLength = 4;
// AF_INET in network byte order, as the mobile platform frames IPv4 packets.
constexpr std::uint8_t kAfInetHeader[kPacketInformationLength] = {0, 0, 0, AF_INET};

// Readiness waits cannot watch regular files and directories: one reactor refuses them, another
// reports them always ready, and either way the device would never work as a packet device. They
// are refused up front, with the error the refusing reactor gives, on every platform alike.
int readiness_pollable(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        return errno;
    }
    if (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
        return EPERM;
    }
    return 0;
}

// The other end of a packet socket pair hangs up when the host closes it; a TUN device never
// does. Where the hang-up of the reading side alone has no flag, the full hang-up still shows.
#ifdef POLLRDHUP
constexpr short kHangUpEvents = POLLHUP | POLLRDHUP;
#else
constexpr short kHangUpEvents = POLLHUP;
#endif

// Whether a read of 0 bytes on `fd` was the end of file rather than a datagram of length 0: the
// other end has hung up and nothing is left to read. A packet still queued, even behind further
// empty datagrams, keeps the device going until it has been read. A peek cannot tell a queued
// empty datagram from the end, as both read 0 bytes; the bytes queued on a packet socket count
// the whole queue, so that empty datagrams alone left at a close count as its end.
bool peer_closed(int fd) {
    pollfd entry{fd, static_cast<short>(POLLIN | kHangUpEvents), 0};
    if (::poll(&entry, 1, 0) != 1 || (entry.revents & kHangUpEvents) == 0) {
        return false;
    }
    int queued = 0;
    if (::ioctl(fd, FIONREAD, &queued) == 0) {
        return queued == 0;
    }
    std::uint8_t byte = 0;
    return ::recv(fd, &byte, sizeof byte, MSG_PEEK | MSG_DONTWAIT) <= 0;
}

IoError end_of_file() {
    return IoError::other("end of file: the other end of the tunnel was closed");
}

}  // namespace

// The tasks waiting for one readiness of the descriptor, behind the one wait started for them.
// The wait's completion handler owns the list, so the wakers (and the tasks behind them) are
// released when the runtime drops the wait, and the device holds the list only weakly.
class AsyncDevice::WaitList {
  public:
    // False once the wait has completed; the caller then starts a new one.
    bool add(const Waker& waker) {
        std::lock_guard lock(mutex_);
        if (fired_) {
            return false;
        }
        for (const auto& w : wakers_) {
            if (w.will_wake(waker)) {
                return true;
            }
        }
        wakers_.push_back(waker);
        return true;
    }
    void fire() {
        std::vector<Waker> wakers;
        {
            std::lock_guard lock(mutex_);
            fired_ = true;
            wakers.swap(wakers_);
        }
        for (const auto& w : wakers) {
            w.wake();
        }
    }

  private:
    std::mutex mutex_;
    bool fired_ = false;
    std::vector<Waker> wakers_;
};

AsyncDevice::AsyncDevice(const boost::asio::any_io_executor& executor, AsyncDeviceOptions options)
    : descriptor_(executor), options_(options) {}

AsyncDevice::~AsyncDevice() = default;

Result<std::shared_ptr<AsyncDevice>, IoError> AsyncDevice::from_fd(
    const boost::asio::any_io_executor& executor, int fd, AsyncDeviceOptions options) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) {
        return unexpected(IoError::from_errno(errno));
    }
    if (const int err = readiness_pollable(fd); err != 0) {
        return unexpected(IoError::from_errno(err));
    }
    std::shared_ptr<AsyncDevice> device(new AsyncDevice(executor, options));
    boost::system::error_code ec;
    device->descriptor_.assign(fd, ec);
    if (ec) {
        // Registration failed, so the descriptor object never took the descriptor.
        return unexpected(IoError::from_errno(ec.value()));
    }
    if ((flags & O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        const IoError error = IoError::from_errno(errno);
        // Give the descriptor back without closing it.
        (void)device->descriptor_.release();
        return unexpected(error);
    }
    return device;
}

int AsyncDevice::native_handle() {
    return descriptor_.native_handle();
}

void AsyncDevice::register_waker(Direction direction, const Waker& waker) {
    std::lock_guard lock(mutex_);
    auto& slot = waits_[static_cast<int>(direction)];
    auto list = slot.lock();
    if (list && list->add(waker)) {
        return;
    }
    list = std::make_shared<WaitList>();
    list->add(waker);
    slot = list;
    const auto type = direction == Direction::Read
                          ? boost::asio::posix::stream_descriptor::wait_read
                          : boost::asio::posix::stream_descriptor::wait_write;
    // Any completion, an error included, wakes the waiters: their retry meets the real outcome.
    descriptor_.async_wait(type, [list](const boost::system::error_code&) { list->fire(); });
}

Poll<Result<std::size_t, IoError>> AsyncDevice::poll_io(Direction direction, const Waker& waker,
                                                        iovec* iov, int iov_count) {
    const int fd = descriptor_.native_handle();
    for (;;) {
        // A single buffer takes the plain calls, which the kernel serves a little faster.
        ssize_t n = 0;
        if (iov_count == 1) {
            n = direction == Direction::Read ? ::read(fd, iov[0].iov_base, iov[0].iov_len)
                                             : ::write(fd, iov[0].iov_base, iov[0].iov_len);
        } else {
            n = direction == Direction::Read ? ::readv(fd, iov, iov_count)
                                             : ::writev(fd, iov, iov_count);
        }
        if (n == 0 && direction == Direction::Read && peer_closed(fd)) {
            return Result<std::size_t, IoError>(unexpected(end_of_file()));
        }
        if (n >= 0) {
            if (options_.packet_information) {
                // The address-family header is not part of the packet.
                n = std::max<ssize_t>(n - static_cast<ssize_t>(kPacketInformationLength), 0);
            }
            return Result<std::size_t, IoError>(static_cast<std::size_t>(n));
        }
        const int err = errno;
        if (err == EINTR) {
            continue;
        }
        if (err != EAGAIN && err != EWOULDBLOCK) {
            return Result<std::size_t, IoError>(unexpected(IoError::from_errno(err)));
        }
        register_waker(direction, waker);
        // Readiness that arrived between the attempt and the registration is reported by the
        // wait itself, which re-arms the descriptor when it starts.
        return std::nullopt;
    }
}

Poll<Result<std::size_t, IoError>> AsyncDevice::poll_recv(const Waker& waker,
                                                          std::span<std::uint8_t> buffer) {
    std::uint8_t header[kPacketInformationLength];
    iovec iov[2] = {{header, sizeof header}, {buffer.data(), buffer.size()}};
    return options_.packet_information ? poll_io(Direction::Read, waker, iov, 2)
                                       : poll_io(Direction::Read, waker, iov + 1, 1);
}

Poll<Result<std::size_t, IoError>> AsyncDevice::poll_send(const Waker& waker,
                                                          std::span<const std::uint8_t> packet) {
    // writev does not write through these pointers.
    iovec iov[2] = {{const_cast<std::uint8_t*>(kAfInetHeader), sizeof kAfInetHeader},
                    {const_cast<std::uint8_t*>(packet.data()), packet.size()}};
    return options_.packet_information ? poll_io(Direction::Write, waker, iov, 2)
                                       : poll_io(Direction::Write, waker, iov + 1, 1);
}

boost::asio::awaitable<Result<std::size_t, IoError>> AsyncDevice::recv(
    std::span<std::uint8_t> buffer) {
    auto self = shared_from_this();
    co_return co_await poll_await(
        [&](const Waker& waker) { return self->poll_recv(waker, buffer); });
}

boost::asio::awaitable<Result<std::size_t, IoError>> AsyncDevice::send(
    std::span<const std::uint8_t> packet) {
    auto self = shared_from_this();
    co_return co_await poll_await(
        [&](const Waker& waker) { return self->poll_send(waker, packet); });
}

}  // namespace quorvel::agent
