// Blocking calls kept off the runtime's worker threads: each call runs on a thread of its own and
// the awaiting coroutine resumes on its executor when the call returns. Abandoning the await (the
// task cancelled or destroyed, the runtime going away) leaves the thread to finish alone and drops
// what it returns. `run_blocking` is meant for calls that end in bounded time; `AbandonableCalls`
// for calls that may never return.
#pragma once

#include "util/channel.h"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <atomic>
#include <chrono>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

namespace quorvel {

namespace detail {

template <class T>
struct BlockingOutcome {
    std::optional<T> value;
    std::exception_ptr failure;

    // The value, or what the call threw.
    T take() {
        if (failure) {
            std::rethrow_exception(failure);
        }
        return std::move(*value);
    }
};

// Starts `work()` on a detached thread that owns everything it uses; its outcome arrives on the
// returned receiver, or is dropped when the receiver is gone by then.
template <class Work>
OneshotReceiver<BlockingOutcome<std::invoke_result_t<Work&>>> start_blocking(Work work) {
    using Outcome = BlockingOutcome<std::invoke_result_t<Work&>>;
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
    return std::move(receiver);
}

}  // namespace detail

// Runs `work()` on a new thread and completes with what it returns, or rethrows what it throws.
template <class Work>
boost::asio::awaitable<std::invoke_result_t<Work&>> run_blocking(Work work) {
    auto receiver = detail::start_blocking(std::move(work));
    auto outcome = co_await receiver.recv();
    if (!outcome) {
        throw std::logic_error("a blocking call ended without an outcome");
    }
    co_return outcome->take();
}

// Blocking calls that may never return, such as a read from a network file system that stopped
// answering: each is awaited for a bounded time, and at most one runs per key. A call that
// outlasts its wait is abandoned to its thread, which ends when the call returns; until then a
// call under the same key fails at once instead of starting another thread.
//
// Nothing waits for an abandoned thread: neither the owner of this object nor the process's exit,
// which would hang on the same stuck call. The threads are detached, and exit ends them wherever
// they are (a stuck network file system read can be killed). They touch nothing static and
// nothing of this object: each owns its work, the channel of its outcome and its running mark
// through shared ownership, so destructors that run at exit, or when this object goes, cannot
// pull anything from under them.
template <class T>
class AbandonableCalls {
  public:
    // `work()`'s value; nullopt when `timeout` passed first, or at once, without running `work`,
    // while an abandoned call under `key` still runs. Rethrows what `work` throws.
    template <class Work>
    boost::asio::awaitable<std::optional<T>> run(std::string key, Work work,
                                                 std::chrono::steady_clock::duration timeout) {
        // A copy of the registry: a call in progress keeps it alive even if this object goes.
        const std::shared_ptr<Registry> registry = registry_;
        auto returned = std::make_shared<std::atomic<bool>>(false);
        {
            std::lock_guard lock(registry->mutex);
            std::erase_if(registry->calls, [](const auto& entry) { return entry.second->load(); });
            if (!registry->calls.try_emplace(std::move(key), returned).second) {
                co_return std::nullopt;
            }
        }
        auto call = [work = std::move(work), returned]() mutable -> T {
            struct MarkReturned {
                const std::shared_ptr<std::atomic<bool>>& returned;
                ~MarkReturned() { returned->store(true); }
            } mark{returned};
            return work();
        };
        // The two branches of the wait must not complete on two threads at once (their
        // cancellation slots are not thread-safe): they run on a strand of their own.
        auto strand = boost::asio::make_strand(co_await boost::asio::this_coro::executor);
        auto wait = wait_for(std::move(call), timeout);
        auto outcome =
            co_await boost::asio::co_spawn(strand, std::move(wait), boost::asio::use_awaitable);
        if (!outcome) {
            co_return std::nullopt;
        }
        co_return outcome->take();
    }

  private:
    struct Registry {
        std::mutex mutex;
        // Calls by key, each with its mark of having returned; a mark that is set frees the key.
        std::map<std::string, std::shared_ptr<const std::atomic<bool>>> calls;
    };

    template <class Call>
    static boost::asio::awaitable<std::optional<detail::BlockingOutcome<T>>> wait_for(
        Call call, std::chrono::steady_clock::duration timeout) {
        using namespace boost::asio::experimental::awaitable_operators;
        boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, timeout);
        auto receiver = detail::start_blocking(std::move(call));
        // Receiving fails only by cancellation, and the call's own failure comes as a value: the
        // timer does not win over a call that threw.
        auto first = co_await (receiver.recv() || timer.async_wait(boost::asio::use_awaitable));
        if (first.index() == 1) {
            co_return std::nullopt;
        }
        auto& received = std::get<0>(first);
        if (!received) {
            throw std::logic_error("a blocking call ended without an outcome");
        }
        co_return std::move(received).value();
    }

    std::shared_ptr<Registry> registry_ = std::make_shared<Registry>();
};

}  // namespace quorvel
