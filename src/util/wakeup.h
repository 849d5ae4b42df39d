// A one-shot wake-up that a coroutine can await: the building block under the lock, channel,
// notification and task-set primitives. Waking may come from any thread, before or after the
// waiter starts waiting; a wake that comes first is kept. The pending wait is an operation of the
// io_context, so tearing the runtime down destroys a parked coroutine instead of leaking it.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/execution_context.hpp>
#include <boost/asio/experimental/concurrent_channel.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/error_code.hpp>

#include <atomic>
#include <memory>
#include <mutex>

namespace quorvel::detail {

// Marks a context whose teardown has begun. Asio's channel service abandons the receives still
// waiting when the context shuts down but leaves each channel in its waiting state, and a send into
// such a channel then calls through a null waiter. Destroying the abandoned coroutines runs
// destructors that wake other waits (a dropped sender wakes its receiver), so wakes must leave
// the channels alone from then on; nothing runs on the context any more anyway. A wake-up
// registers this service after the channel service, so it is shut down first.
class WakeupTeardown : public boost::asio::execution_context::service {
  public:
    using key_type = WakeupTeardown;
    static inline boost::asio::execution_context::id id;

    explicit WakeupTeardown(boost::asio::execution_context& context) : service(context) {}
    bool begun() const { return begun_.load(std::memory_order_acquire); }

  private:
    void shutdown() override { begun_.store(true, std::memory_order_release); }

    std::atomic<bool> begun_{false};
};

class Wakeup {
  public:
    explicit Wakeup(const boost::asio::any_io_executor& executor)
        : channel_(executor, 1),
          teardown_(boost::asio::use_service<WakeupTeardown>(
              boost::asio::query(executor, boost::asio::execution::context))) {}

    // Creates a wake-up bound to the executor of the calling coroutine.
    static boost::asio::awaitable<std::shared_ptr<Wakeup>> create() {
        auto executor = co_await boost::asio::this_coro::executor;
        co_return std::make_shared<Wakeup>(executor);
    }

    // Thread-safe, never blocks and never throws; extra wakes are dropped. Only the first wake
    // reaches the channel. When the waiter is already parked, that wake posts its resumption,
    // which allocates; if the allocation fails, Asio has taken the waiter off the channel and
    // destroys its coroutine instead of resuming it, and the channel is left unfit for another
    // send, which the one-shot flag spares it. So a wake that finds no memory ends its waiter,
    // and whoever called it (often a destructor) goes on.
    void wake() noexcept {
        if (teardown_.begun() || sent_.exchange(true, std::memory_order_acq_rel)) {
            return;
        }
        try {
            channel_.try_send(boost::system::error_code{});
        } catch (...) {  // nothing is left to wake
        }
    }

    // Completes once wake() has been called. Throws boost::system::system_error when the waiting
    // coroutine is cancelled (operation_aborted).
    boost::asio::awaitable<void> wait() {
        co_await channel_.async_receive(boost::asio::use_awaitable);
    }

  private:
    // The channel first: constructing it registers the channel service before the teardown mark.
    boost::asio::experimental::concurrent_channel<void(boost::system::error_code)> channel_;
    const WakeupTeardown& teardown_;
    std::atomic<bool> sent_{false};
};

// Waits until `ready(*shared)` holds, checking it under `shared->mutex`. Between checks the waiter
// parks a wake-up in `shared->waiter`, which whoever makes it ready wakes. Meant for state with a
// single waiter. The parked wake-up is cleared when the wait ends or its coroutine is destroyed, so
// none outlives the wait (and with it, the runtime).
template <class Shared, class Ready>
boost::asio::awaitable<void> park_until(std::shared_ptr<Shared> shared, Ready ready) {
    struct Parked {
        std::shared_ptr<Shared> shared;
        std::shared_ptr<Wakeup> wakeup;
        ~Parked() {
            std::shared_ptr<Wakeup> released;
            std::lock_guard lock(shared->mutex);
            if (shared->waiter == wakeup) {
                released = std::move(shared->waiter);
            }
        }
    };
    for (;;) {
        {
            std::lock_guard lock(shared->mutex);
            if (ready(*shared)) {
                co_return;
            }
        }
        auto wakeup = co_await Wakeup::create();
        {
            std::lock_guard lock(shared->mutex);
            if (ready(*shared)) {
                co_return;
            }
            shared->waiter = wakeup;
        }
        Parked parked{shared, wakeup};
        co_await wakeup->wait();
    }
}

}  // namespace quorvel::detail
