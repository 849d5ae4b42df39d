// Awaits a poll-style operation from a coroutine: the operation is polled with a waker that
// resumes the coroutine, until it is ready.
#pragma once

#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/defer.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

#include "util/poll.h"

namespace quorvel {

namespace detail {

// One suspension of the awaiting coroutine. Owned by the waker copies that the operation keeps,
// so that an operation abandoned with its wakers also releases the suspended coroutine.
class PollAwaitWaiter final : public WakeTarget {
  public:
    template <class Handler>
    void park(Handler handler) {
        auto parked = std::make_unique<Parked<Handler>>(std::move(handler));
        std::unique_lock lock(mutex_);
        if (woken_) {
            lock.unlock();
            parked->resume();
            return;
        }
        parked_ = std::move(parked);
    }

    void wake() const override {
        std::unique_ptr<ParkedBase> parked;
        {
            std::lock_guard lock(mutex_);
            woken_ = true;
            parked = std::move(parked_);
        }
        if (parked) {
            parked->resume();
        }
    }

  private:
    struct ParkedBase {
        virtual ~ParkedBase() = default;
        virtual void resume() = 0;
    };
    template <class Handler>
    struct Parked final : ParkedBase {
        explicit Parked(Handler h) : handler(std::move(h)) {}
        // Woken on a worker of the coroutine's executor, the coroutine goes on there after the
        // waking handler, without waking another worker.
        void resume() override {
            auto executor = boost::asio::get_associated_executor(handler);
            boost::asio::defer(executor, std::move(handler));
        }
        Handler handler;
    };

    mutable std::mutex mutex_;
    mutable bool woken_ = false;
    mutable std::unique_ptr<ParkedBase> parked_;
};

// Suspends until the waiter is woken. A plain function, so that the waiter is handed over outside
// the awaiting coroutine's frame.
inline boost::asio::awaitable<void> park(std::shared_ptr<PollAwaitWaiter> waiter) {
    return boost::asio::async_initiate<const boost::asio::use_awaitable_t<>&, void()>(
        [waiter = std::move(waiter)](auto handler) mutable { waiter->park(std::move(handler)); },
        boost::asio::use_awaitable);
}

}  // namespace detail

// `poll` is called as `poll(const Waker&)` and returns a `Poll<T>`; the coroutine yields T.
template <class PollFn>
auto poll_await(PollFn poll)
    -> boost::asio::awaitable<typename std::invoke_result_t<PollFn&, const Waker&>::value_type> {
    for (;;) {
        auto waiter = std::make_shared<detail::PollAwaitWaiter>();
        {
            const Waker waker(std::static_pointer_cast<const WakeTarget>(waiter));
            auto ready = poll(waker);
            if (ready) {
                co_return std::move(*ready);
            }
        }
        auto parked = detail::park(std::move(waiter));
        co_await std::move(parked);
    }
}

}  // namespace quorvel
