// The agent's asynchronous runtime: one io_context run by one worker thread per core. Tasks are
// coroutines spawned onto it. Host threads drive an operation to its end with block_on, which a
// worker thread may not call (it would wait on itself). Releasing the runtime stops the workers,
// joins them and destroys every task still on it.
#pragma once

#include "util/result.h"

#include <boost/asio/awaitable.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <vector>

namespace quorvel {

struct RuntimeError {
    enum class Kind {
        OnWorkerThread,  // block_on called on one of the runtime's worker threads
        Stopped,         // the runtime was stopped before the operation ended
        Failed,          // the operation ended with an exception
    };
    Kind kind;
    std::string message;

    bool operator==(const RuntimeError&) const = default;
};

// "Cannot block on the runtime from one of its worker threads", "Runtime stopped", or the text of
// the exception that ended the operation.
std::string to_string(const RuntimeError& error);

// The text of an exception held in `error`: what() for std::exception, else "unknown exception".
// What a library or a task's code throws may quote anything (a server's answer, a URL with its
// password): the text is taken in as outside text (`outside_text`), so that it is bounded and
// masked wherever the runtime's and the task set's errors show it.
std::string exception_text(const std::exception_ptr& error);

class Runtime : public std::enable_shared_from_this<Runtime> {
  public:
    using Executor = boost::asio::io_context::executor_type;

    // 0 worker threads means one per core (at least one).
    static std::shared_ptr<Runtime> create(std::size_t worker_threads = 0);
    ~Runtime();

    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    Executor executor() { return context_.get_executor(); }
    boost::asio::io_context& context() { return context_; }
    std::size_t worker_count() const { return workers_.size(); }

    // True on a worker thread of this runtime.
    bool is_worker_thread() const;
    // The runtime whose worker thread calls this, or null on any other thread. A plain pointer on
    // purpose: a task must not own its runtime, since the last owner releasing it on a worker
    // thread would have that worker join itself.
    static Runtime* current();
    // True on a worker thread of any runtime.
    static bool on_worker_thread();

    // Runs `task` detached. An exception that ends it is logged at error level under `name`.
    void spawn(boost::asio::awaitable<void> task, std::string name = "task");

    // Runs `task` on the runtime and blocks the calling (non-worker) thread until it ends.
    template <class T>
    Result<T, RuntimeError> block_on(boost::asio::awaitable<T> task);

    // Stops the workers and joins them; idempotent. Tasks stay suspended until the runtime is
    // released. Must not be called from a worker thread, and the runtime must not be released on
    // one.
    void stop();

    // For the process's exit handlers when exit() was called on a worker thread (from a task or a
    // host callback): that worker never comes back to its runtime, so a stop of that runtime, on
    // another thread the handlers wait for, leaves it to the process's end instead of joining it.
    // Does nothing on other threads.
    static void worker_leaves_with_the_process();

  private:
    explicit Runtime(std::size_t worker_threads);
    void start_workers(std::size_t count);
    void worker_main(std::size_t index);
    // Waits until worker `index` has left the io_context or is leaving with the process; true for
    // the former.
    bool wait_for_worker(std::size_t index);

    template <class T>
    struct BlockState;
    template <class T>
    class BlockNotifier;

    // Wakes every block_on waiter when the runtime stops.
    void register_blocker(const std::shared_ptr<void>& state, void (*abandon)(void*));
    void unregister_blocker(const void* state);

    boost::asio::io_context context_;
    std::optional<boost::asio::executor_work_guard<Executor>> work_;
    std::vector<std::thread> workers_;
    // Per worker, by index: how it ended, under workers_mutex_.
    enum class WorkerEnd { Running, Returned, LeavesWithTheProcess };
    std::mutex workers_mutex_;
    std::condition_variable worker_ended_;
    std::vector<WorkerEnd> worker_ends_;
    std::mutex stop_mutex_;
    bool stopped_ = false;
    struct Blocker {
        std::weak_ptr<void> state;
        void (*abandon)(void*);
    };
    std::vector<Blocker> blockers_;
};

using RuntimePtr = std::shared_ptr<Runtime>;

// Spawns a detached task on `executor`, logging an exception that ends it under `name`.
void spawn_detached(const boost::asio::any_io_executor& executor, boost::asio::awaitable<void> task,
                    std::string name = "task");

// ---- implementation ----

template <class T>
struct Runtime::BlockState {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    std::optional<std::conditional_t<std::is_void_v<T>, bool, T>> value;
    std::optional<RuntimeError> error;

    void finish(std::optional<RuntimeError> failure) {
        std::lock_guard lock(mutex);
        if (done) {
            return;
        }
        done = true;
        error = std::move(failure);
        cv.notify_all();
    }
    static void abandon(void* self) {
        static_cast<BlockState*>(self)->finish(RuntimeError{RuntimeError::Kind::Stopped, ""});
    }
};

// The completion handler of a blocked-on task. If the runtime destroys it without calling it
// (the task never ended), the waiting thread is released with Stopped.
template <class T>
class Runtime::BlockNotifier {
  public:
    explicit BlockNotifier(std::shared_ptr<BlockState<T>> state) : state_(std::move(state)) {}
    BlockNotifier(BlockNotifier&&) noexcept = default;
    BlockNotifier& operator=(BlockNotifier&&) noexcept = default;
    ~BlockNotifier() {
        if (state_) {
            state_->finish(RuntimeError{RuntimeError::Kind::Stopped, ""});
        }
    }

    template <class... V>
    void operator()(std::exception_ptr error, V&&... value) {
        auto state = std::move(state_);
        if (error) {
            state->finish(RuntimeError{RuntimeError::Kind::Failed, exception_text(error)});
            return;
        }
        {
            std::lock_guard lock(state->mutex);
            if constexpr (std::is_void_v<T>) {
                state->value.emplace(true);
            } else {
                // The value arrives wrapped in an optional that always holds it.
                (state->value.emplace(std::move(*value)), ...);
            }
        }
        state->finish(std::nullopt);
    }

  private:
    std::shared_ptr<BlockState<T>> state_;
};

template <class T>
Result<T, RuntimeError> Runtime::block_on(boost::asio::awaitable<T> task) {
    if (on_worker_thread()) {
        return unexpected(RuntimeError{RuntimeError::Kind::OnWorkerThread, ""});
    }
    auto state = std::make_shared<BlockState<T>>();
    {
        std::lock_guard lock(stop_mutex_);
        if (stopped_) {
            return unexpected(RuntimeError{RuntimeError::Kind::Stopped, ""});
        }
    }
    register_blocker(state, &BlockState<T>::abandon);
    if constexpr (std::is_void_v<T>) {
        boost::asio::co_spawn(context_, std::move(task), BlockNotifier<T>(state));
    } else {
        // Asio needs a default-constructible result to report an exception with; an optional is.
        boost::asio::co_spawn(
            context_,
            [](boost::asio::awaitable<T> inner) -> boost::asio::awaitable<std::optional<T>> {
                co_return std::optional<T>(co_await std::move(inner));
            }(std::move(task)),
            BlockNotifier<T>(state));
    }
    {
        std::unique_lock lock(state->mutex);
        state->cv.wait(lock, [&] { return state->done; });
    }
    unregister_blocker(state.get());
    if (state->error) {
        return unexpected(std::move(*state->error));
    }
    if constexpr (std::is_void_v<T>) {
        return {};
    } else {
        return std::move(*state->value);
    }
}

}  // namespace quorvel
