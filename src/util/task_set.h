// A set of spawned tasks that can be awaited one by one as they end, and aborted together. Each
// task runs on a strand of its own. Releasing the set aborts the tasks still in it; an aborted
// task ends at its next suspension point (every later await in it fails as well).
#pragma once

#include "util/result.h"
#include "util/runtime.h"
#include "util/wakeup.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace quorvel {

// Why a task of a set did not return: it was aborted, or it ended with an exception.
struct JoinError {
    enum class Kind { Cancelled, Panic };
    Kind kind;
    uint64_t id;
    // The exception's text for Panic, taken in as outside text where it is read
    // (`exception_text`): bounded and masked, so that whoever logs the error may quote it.
    std::string message;

    bool is_cancelled() const { return kind == Kind::Cancelled; }
    bool is_panic() const { return kind == Kind::Panic; }
};

// "task {id} was cancelled" or "task {id} panicked with message {message}", the message quoted
// and escaped as a debug string.
std::string to_string(const JoinError& error);

namespace detail {

struct TaskAbort {
    explicit TaskAbort(boost::asio::strand<boost::asio::any_io_executor> s)
        : strand(std::move(s)) {}
    boost::asio::strand<boost::asio::any_io_executor> strand;
    boost::asio::cancellation_signal signal;
    std::atomic<bool> requested{false};

    static void request(const std::shared_ptr<TaskAbort>& abort) {
        if (abort->requested.exchange(true)) {
            return;
        }
        // Cancellation slots are not thread-safe: emit on the task's own strand.
        boost::asio::post(abort->strand,
                          [abort] { abort->signal.emit(boost::asio::cancellation_type::all); });
    }
};

}  // namespace detail

template <class T>
class TaskSet {
    using Outcome = Result<std::conditional_t<std::is_void_v<T>, std::monostate, T>, JoinError>;

  public:
    using JoinResult = Outcome;

    TaskSet() : state_(std::make_shared<State>()) {}
    TaskSet(TaskSet&&) noexcept = default;
    TaskSet& operator=(TaskSet&& other) noexcept {
        if (this != &other) {
            abort_all();
            state_ = std::move(other.state_);
        }
        return *this;
    }
    ~TaskSet() { abort_all(); }

    // Spawns `task` on `executor`; returns the task's id.
    uint64_t spawn(const boost::asio::any_io_executor& executor, boost::asio::awaitable<T> task) {
        auto abort = std::make_shared<detail::TaskAbort>(boost::asio::make_strand(executor));
        uint64_t id;
        {
            std::lock_guard lock(state_->mutex);
            id = state_->next_id++;
            state_->running.emplace(id, abort);
        }
        auto strand = abort->strand;
        auto slot = abort->signal.slot();
        boost::asio::co_spawn(
            strand, std::move(task),
            boost::asio::bind_cancellation_slot(slot, Completion{state_, abort, id}));
        return id;
    }

    // The outcome of the next task to end, or nullopt when the set holds no task.
    boost::asio::awaitable<std::optional<JoinResult>> join_next() {
        auto state = state_;
        co_await detail::park_until(
            state, [](const State& s) { return !s.finished.empty() || s.running.empty(); });
        std::lock_guard lock(state->mutex);
        if (state->finished.empty()) {
            co_return std::nullopt;
        }
        JoinResult outcome = std::move(state->finished.front());
        state->finished.pop_front();
        co_return std::optional<JoinResult>(std::move(outcome));
    }

    // Asks every task still running to stop; their outcomes become Cancelled.
    void abort_all() {
        if (!state_) {
            return;
        }
        std::map<uint64_t, std::shared_ptr<detail::TaskAbort>> running;
        {
            std::lock_guard lock(state_->mutex);
            running = state_->running;
        }
        for (auto& [id, abort] : running) {
            detail::TaskAbort::request(abort);
        }
    }

    // Tasks running or ended but not yet joined.
    std::size_t size() const {
        std::lock_guard lock(state_->mutex);
        return state_->running.size() + state_->finished.size();
    }
    bool empty() const { return size() == 0; }

  private:
    struct State {
        std::mutex mutex;
        uint64_t next_id = 1;
        std::map<uint64_t, std::shared_ptr<detail::TaskAbort>> running;
        std::deque<JoinResult> finished;
        std::shared_ptr<detail::Wakeup> waiter;
    };

    struct Completion {
        std::shared_ptr<State> state;
        std::shared_ptr<detail::TaskAbort> abort;
        uint64_t id;

        template <class... V>
        void operator()(std::exception_ptr error, V&&... value) {
            std::optional<JoinResult> outcome;
            if (error) {
                if (abort->requested.load()) {
                    outcome.emplace(unexpected(JoinError{JoinError::Kind::Cancelled, id, ""}));
                } else {
                    outcome.emplace(
                        unexpected(JoinError{JoinError::Kind::Panic, id, exception_text(error)}));
                }
            } else if constexpr (std::is_void_v<T>) {
                outcome.emplace(std::monostate{});
            } else {
                outcome.emplace(std::forward<V>(value)...);
            }
            std::lock_guard lock(state->mutex);
            state->running.erase(id);
            state->finished.push_back(std::move(*outcome));
            if (state->waiter) {
                state->waiter->wake();
            }
        }
    };

    std::shared_ptr<State> state_;
};

}  // namespace quorvel
