// Blocking calls kept off the runtime's worker threads: each call runs on a thread of its own and
// the awaiting coroutine resumes on its executor when the call returns. Abandoning the await (the
// task cancelled or destroyed, the runtime going away) leaves the thread to finish alone and drops
// what it returns. Meant for calls that end in bounded time, such as reading a regular file.
#pragma once

#include "util/channel.h"

#include <boost/asio/awaitable.hpp>

#include <exception>
#include <optional>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <utility>

namespace quorvel {

// Runs `work()` on a new thread and completes with what it returns, or rethrows what it throws.
template <class Work>
boost::asio::awaitable<std::invoke_result_t<Work&>> run_blocking(Work work) {
    using T = std::invoke_result_t<Work&>;
    struct Outcome {
        std::optional<T> value;
        std::exception_ptr failure;
    };
    auto [sender, receiver] = oneshot_channel<Outcome>();
    std::thread([sender = std::move(sender), work = std::move(work)]() mutable {
        Outcome outcome;
        try {
            outcome.value.emplace(work());
        } catch (...) {
            outcome.failure = std::current_exception();
        }
        // A receiver that is gone no longer wants the outcome.
        (void)std::move(sender).send(std::move(outcome));
    }).detach();
    auto outcome = co_await receiver.recv();
    if (!outcome) {
        throw std::logic_error("a blocking call ended without an outcome");
    }
    if (outcome->failure) {
        std::rethrow_exception(outcome->failure);
    }
    co_return std::move(*outcome->value);
}

}  // namespace quorvel
