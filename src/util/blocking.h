// Blocking calls kept off the runtime's worker threads: each call runs on a thread of its own and
// the awaiting coroutine resumes on its executor when the call returns. Abandoning the await (the
// task cancelled or destroyed, the runtime going away) leaves the thread to finish alone and drops
// what it returns. Meant for calls that end in bounded time, such as reading a regular file.
#pragma once

#include "util/wakeup.h"

#include <boost/asio/awaitable.hpp>

#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

namespace quorvel {

namespace detail {

template <class T>
struct BlockingCall {
    std::mutex mutex;
    std::shared_ptr<Wakeup> waiter;
    bool done = false;
    std::optional<T> result;
    std::exception_ptr failure;
};

}  // namespace detail

// Runs `work()` on a new thread and completes with what it returns, or rethrows what it throws.
template <class Work>
boost::asio::awaitable<std::invoke_result_t<Work&>> run_blocking(Work work) {
    using T = std::invoke_result_t<Work&>;
    auto call = std::make_shared<detail::BlockingCall<T>>();
    std::thread([call, work = std::move(work)]() mutable {
        std::optional<T> result;
        std::exception_ptr failure;
        try {
            result.emplace(work());
        } catch (...) {
            failure = std::current_exception();
        }
        // Waking under the lock: the wake-up belongs to the runtime, and its waiter lets go of
        // it under the same lock.
        std::lock_guard lock(call->mutex);
        call->done = true;
        call->result = std::move(result);
        call->failure = failure;
        if (call->waiter) {
            call->waiter->wake();
        }
    }).detach();
    co_await detail::park_until(call, [](const detail::BlockingCall<T>& c) { return c.done; });
    std::lock_guard lock(call->mutex);
    if (call->failure) {
        std::rethrow_exception(call->failure);
    }
    co_return std::move(*call->result);
}

}  // namespace quorvel
