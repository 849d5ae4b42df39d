// Blocking calls kept off the runtime's worker threads: each call runs on a thread of its own and
// the awaiting coroutine resumes on its executor when the call returns. Abandoning the await (the
// task cancelled or destroyed, the runtime going away) leaves the thread to finish alone and drops
// what it returns. `run_blocking` is meant for calls that end in bounded time; `AbandonableCalls`
// for calls that may never return.
#pragma once

#include "util/channel.h"
#include "util/result.h"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

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

// A way to start a thread that nobody joins: it runs `body` and throws std::system_error, as
// std::thread does, when no thread can be started. Tests replace it to see the threads started or
// to make starting fail.
using ThreadStarter = std::function<void(std::function<void()> body)>;

inline void start_detached_thread(std::function<void()> body) {
    std::thread(std::move(body)).detach();
}

// Why an abandonable call handed its caller no outcome of its work.
struct CallRefusal {
    enum class Reason {
        // The caller's own wait ended first; the call goes on without it.
        TimedOut,
        // A call under the key outlasted its wait and has not returned yet; none was started.
        PreviousNotReturned,
        // No thread could be started for the call (`error` says why); the key is free again.
        NotStarted,
    };
    Reason reason;
    std::error_code error{};
};

// Blocking calls that may never return, such as a read from a network file system that stopped
// answering. At most one call runs per key: a caller that finds a call of its key running shares
// its outcome instead of starting another, so that callers that come together (several agents
// reading one document) neither race nor multiply threads. Every caller waits for a bounded time,
// its own, counted from when it came. A call that has not returned within the wait of the caller
// that started it is abandoned to its thread, which ends when the call returns; until then a
// caller under the same key is refused at once, so that a stuck call holds one thread however
// often it is asked for. Once a call has returned, its key is free: its outcome goes to the
// callers waiting at that moment and is kept for nobody else.
//
// Nothing waits for an abandoned thread: neither the owner of this object nor the process's exit,
// which would hang on the same stuck call. The threads are detached, and exit ends them wherever
// they are (a stuck network file system read can be killed). They touch nothing static and
// nothing of this object: each owns its work and its call's record (its end mark and the channels
// to its waiters) through shared ownership, so destructors that run at exit, or when this object
// goes, cannot pull anything from under them. A waiter that is gone by the time the outcome comes
// (its coroutine cancelled or destroyed with its runtime) has closed its channel, and the outcome
// is dropped for it.
template <class T>
class AbandonableCalls {
    // Each waiter of a shared call gets its own copy of the outcome.
    static_assert(std::is_copy_constructible_v<T>);

  public:
    // `work()`'s value, or what stopped this caller getting it. `work` runs on a thread of its own,
    // started by `start`, unless a call under `key` is running: then this caller waits for that
    // call's outcome instead, and `work` is dropped unrun. `timeout` bounds this caller's wait and,
    // for a call it starts, the time after which that call counts as abandoned. Rethrows what the
    // work that ran throws, to every caller that waited for it, and what `start` throws other than
    // std::system_error (the key stays free).
    template <class Work>
    boost::asio::awaitable<Result<T, CallRefusal>> run(
        std::string key, Work work, std::chrono::steady_clock::duration timeout,
        ThreadStarter start = start_detached_thread) {
        // A copy of the registry: a caller keeps it alive even if this object goes.
        const std::shared_ptr<Registry> registry = registry_;
        auto joined = join(*registry, std::move(key), std::move(work), timeout, start);
        if (!joined) {
            co_return unexpected(std::move(joined).error());
        }
        // The two branches of the wait must not complete on two threads at once (their
        // cancellation slots are not thread-safe): they run on a strand of their own.
        auto strand = boost::asio::make_strand(co_await boost::asio::this_coro::executor);
        auto wait = wait_for(std::move(joined).value(), timeout);
        auto outcome =
            co_await boost::asio::co_spawn(strand, std::move(wait), boost::asio::use_awaitable);
        if (!outcome) {
            co_return unexpected(CallRefusal{CallRefusal::Reason::TimedOut});
        }
        co_return outcome->take();
    }

    // The callers still waiting for the call under `key` (0 when none runs).
    std::size_t waiting(const std::string& key) const {
        std::lock_guard lock(registry_->mutex);
        auto found = registry_->calls.find(key);
        if (found == registry_->calls.end()) {
            return 0;
        }
        std::lock_guard call_lock(found->second->mutex);
        return static_cast<std::size_t>(
            std::count_if(found->second->waiters.begin(), found->second->waiters.end(),
                          [](const Sender& waiter) { return !waiter.is_closed(); }));
    }

  private:
    using Outcome = detail::BlockingOutcome<T>;
    using Sender = OneshotSender<Outcome>;
    using Receiver = OneshotReceiver<Outcome>;

    // One call under a key, shared by the registry, the call's thread and nobody else.
    struct Call {
        Call(std::chrono::steady_clock::time_point started,
             std::chrono::steady_clock::duration timeout)
            : started(started), timeout(timeout) {}

        const std::chrono::steady_clock::time_point started;
        const std::chrono::steady_clock::duration timeout;
        std::mutex mutex;
        bool returned = false;
        // The channels to the callers waiting; emptied when the call returns.
        std::vector<Sender> waiters;

        bool has_returned() {
            std::lock_guard lock(mutex);
            return returned;
        }
        bool abandoned(std::chrono::steady_clock::time_point now) const {
            return now - started >= timeout;
        }
    };

    struct Registry {
        std::mutex mutex;
        // The call under each key; one that has returned frees its key.
        std::map<std::string, std::shared_ptr<Call>, std::less<>> calls;
    };

    // Runs on the call's own thread.
    template <class Work>
    static void perform(Call& call, Work& work) {
        Outcome outcome;
        try {
            outcome.value.emplace(work());
        } catch (...) {
            outcome.failure = std::current_exception();
        }
        std::vector<Sender> waiters;
        {
            std::lock_guard lock(call.mutex);
            call.returned = true;
            waiters.swap(call.waiters);
        }
        // Waiters that are gone no longer want the outcome.
        for (std::size_t i = 0; i + 1 < waiters.size(); ++i) {
            (void)std::move(waiters[i]).send(outcome);
        }
        if (!waiters.empty()) {
            (void)std::move(waiters.back()).send(std::move(outcome));
        }
    }

    // The channel on which the caller gets the outcome of the call under `key`: the running one,
    // or one started for it with `work`.
    template <class Work>
    static Result<Receiver, CallRefusal> join(Registry& registry, std::string key, Work work,
                                              std::chrono::steady_clock::duration timeout,
                                              const ThreadStarter& start) {
        auto [sender, receiver] = oneshot_channel<Outcome>();
        const auto now = std::chrono::steady_clock::now();
        std::lock_guard lock(registry.mutex);
        std::erase_if(registry.calls,
                      [](const auto& entry) { return entry.second->has_returned(); });
        if (auto found = registry.calls.find(key); found != registry.calls.end()) {
            Call& call = *found->second;
            std::lock_guard call_lock(call.mutex);
            if (!call.returned) {
                if (call.abandoned(now)) {
                    return unexpected(CallRefusal{CallRefusal::Reason::PreviousNotReturned});
                }
                // Callers whose wait ended leave their channels behind; they go here, so that a
                // long call does not gather them.
                std::erase_if(call.waiters,
                              [](const Sender& waiter) { return waiter.is_closed(); });
                call.waiters.push_back(std::move(sender));
                return std::move(receiver);
            }
            // Returned since the sweep above: its outcome is not for this caller.
            registry.calls.erase(found);
        }
        auto call = std::make_shared<Call>(now, timeout);
        call->waiters.push_back(std::move(sender));
        try {
            // Started under the registry's lock, so that nobody joins a call that never runs.
            start(
                [call, work = std::make_shared<Work>(std::move(work))] { perform(*call, *work); });
        } catch (const std::system_error& e) {
            return unexpected(CallRefusal{CallRefusal::Reason::NotStarted, e.code()});
        }
        registry.calls.emplace(std::move(key), std::move(call));
        return std::move(receiver);
    }

    static boost::asio::awaitable<std::optional<Outcome>> wait_for(
        Receiver receiver, std::chrono::steady_clock::duration timeout) {
        using namespace boost::asio::experimental::awaitable_operators;
        boost::asio::steady_timer timer(co_await boost::asio::this_coro::executor, timeout);
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
