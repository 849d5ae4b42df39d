// The host's tunnel descriptor as an asynchronous packet device. It owns the descriptor (closed
// with the last reference), keeps it non-blocking and registered with the runtime's reactor, and
// moves one whole packet per read and per write. Reads and writes may come from several tasks at
// once: the outbound driver reads while node-peer drivers and DNS replies write.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

#include <sys/uio.h>

#include "util/io_error.h"
#include "util/poll.h"
#include "util/result.h"

namespace quorvel::agent {

struct AsyncDeviceOptions {
    // Each packet on the descriptor carries a 4-byte address-family header (AF_INET, big-endian),
    // stripped on read and added on write. The mobile platform's tunnel works this way; a Linux
    // TUN without packet information, or a packet socket pair, does not.
    bool packet_information = false;
};

class AsyncDevice : public std::enable_shared_from_this<AsyncDevice> {
  public:
    // Takes over `fd`: makes it non-blocking and registers it with the executor's reactor. On
    // failure the descriptor stays the caller's, open and with its flags unchanged. Must be
    // called where the executor's context is alive; the device must be released before it.
    static Result<std::shared_ptr<AsyncDevice>, IoError> from_fd(
        const boost::asio::any_io_executor& executor, int fd, AsyncDeviceOptions options = {});

    AsyncDevice(const AsyncDevice&) = delete;
    AsyncDevice& operator=(const AsyncDevice&) = delete;
    ~AsyncDevice();

    // Reads one packet into `buffer`; ready with the packet's length (at most the buffer's size:
    // the descriptor cuts a longer packet). Pending registers `waker` for readability. A
    // would-block result never reaches the caller. Once the other end of a packet socket has
    // closed and what it queued has been read, every read fails with an end-of-file error; a
    // datagram of length 0 from an open end is ready with 0.
    Poll<Result<std::size_t, IoError>> poll_recv(const Waker& waker,
                                                 std::span<std::uint8_t> buffer);
    // Writes one whole packet; ready with the bytes written. Pending registers `waker` for
    // writability.
    Poll<Result<std::size_t, IoError>> poll_send(const Waker& waker,
                                                 std::span<const std::uint8_t> packet);

    boost::asio::awaitable<Result<std::size_t, IoError>> recv(std::span<std::uint8_t> buffer);
    boost::asio::awaitable<Result<std::size_t, IoError>> send(std::span<const std::uint8_t> packet);

    int native_handle();
    const AsyncDeviceOptions& options() const { return options_; }

  private:
    class WaitList;
    enum class Direction { Read = 0, Write = 1 };

    AsyncDevice(const boost::asio::any_io_executor& executor, AsyncDeviceOptions options);
    void register_waker(Direction direction, const Waker& waker);
    // One read or write of one packet, retried on interruption; would-block registers `waker`.
    Poll<Result<std::size_t, IoError>> poll_io(Direction direction, const Waker& waker, iovec* iov,
                                               int iov_count);

    boost::asio::posix::stream_descriptor descriptor_;
    AsyncDeviceOptions options_;
    // Guards starting waits on the descriptor object, which several threads share.
    std::mutex mutex_;
    std::weak_ptr<WaitList> waits_[2];
};

}  // namespace quorvel::agent
