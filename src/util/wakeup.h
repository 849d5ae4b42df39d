// A one-shot wake-up that a coroutine can await: the building block under the lock, channel,
// notification and task-set primitives. Waking may come from any thread, before or after the
// waiter starts waiting; a wake that comes first is kept. The pending wait is an operation of the
// io_context, so tearing the runtime down destroys a parked coroutine instead of leaking it.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/error_code.hpp>

#include <memory>

namespace quorvel::detail {

class Wakeup {
  public:
    explicit Wakeup(const boost::asio::any_io_executor& executor) : channel_(executor, 1) {}

    // Creates a wake-up bound to the executor of the calling coroutine.
    static boost::asio::awaitable<std::shared_ptr<Wakeup>> create() {
        auto executor = co_await boost::asio::this_coro::executor;
        co_return std::make_shared<Wakeup>(executor);
    }

    // Thread-safe and never blocks; extra wakes are dropped.
    void wake() { channel_.try_send(boost::system::error_code{}); }

    // Completes once wake() has been called. Throws boost::system::system_error when the waiting
    // coroutine is cancelled (operation_aborted).
    boost::asio::awaitable<void> wait() {
        co_await channel_.async_receive(boost::asio::use_awaitable);
    }

  private:
    boost::asio::experimental::concurrent_channel<void(boost::system::error_code)> channel_;
};

}  // namespace quorvel::detail
