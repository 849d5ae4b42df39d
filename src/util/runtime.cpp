#include "util/runtime.h"

#include "util/log.h"
#include "util/shown_text.h"

#include <boost/asio/post.hpp>

#include <algorithm>

namespace quorvel {

namespace {

constexpr std::string_view kTarget = "quorvel_agent::util::runtime";

// The runtime whose worker is the current thread, and that worker's index. Set for the whole
// life of a worker thread.
thread_local Runtime* tls_current_runtime = nullptr;
thread_local std::size_t tls_worker_index = 0;

}  // namespace

std::string to_string(const RuntimeError& error) {
    switch (error.kind) {
        case RuntimeError::Kind::OnWorkerThread:
            return "Cannot block on the runtime from one of its worker threads";
        case RuntimeError::Kind::Stopped:
            return "Runtime stopped";
        case RuntimeError::Kind::Failed:
            return error.message;
    }
    return error.message;
}

std::string exception_text(const std::exception_ptr& error) {
    if (!error) {
        return "";
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return outside_text(e.what());
    } catch (...) {
        return "unknown exception";
    }
}

std::shared_ptr<Runtime> Runtime::create(std::size_t worker_threads) {
    if (worker_threads == 0) {
        worker_threads = std::max(1u, std::thread::hardware_concurrency());
    }
    std::shared_ptr<Runtime> runtime(new Runtime(worker_threads));
    runtime->start_workers(worker_threads);
    return runtime;
}

Runtime::Runtime(std::size_t worker_threads)
    : context_(static_cast<int>(worker_threads)), work_(boost::asio::make_work_guard(context_)) {}

void Runtime::start_workers(std::size_t count) {
    worker_ends_.assign(count, WorkerEnd::Running);
    workers_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        workers_.emplace_back([this, i] { worker_main(i); });
    }
}

void Runtime::worker_main(std::size_t index) {
    tls_current_runtime = this;
    tls_worker_index = index;
    for (;;) {
        try {
            context_.run();
            break;
        } catch (...) {
            // A handler let an exception escape; the worker goes on serving the others.
            QV_ERROR(kTarget, "Runtime worker caught an exception: {}",
                     exception_text(std::current_exception()));
        }
    }
    tls_current_runtime = nullptr;
    std::lock_guard lock(workers_mutex_);
    worker_ends_[index] = WorkerEnd::Returned;
    worker_ended_.notify_all();
}

Runtime::~Runtime() {
    stop();
    // context_ is destroyed after this body: that destroys every handler still queued or parked,
    // and with them the coroutine frames of unfinished tasks.
}

void Runtime::stop() {
    std::vector<Blocker> blockers;
    {
        std::lock_guard lock(stop_mutex_);
        if (stopped_) {
            return;
        }
        stopped_ = true;
        blockers.swap(blockers_);
    }
    work_.reset();
    context_.stop();
    for (std::size_t i = 0; i < workers_.size(); ++i) {
        if (wait_for_worker(i)) {
            workers_[i].join();
        } else {
            // It runs the process's exit on a stack that holds frames of this runtime, and never
            // returns to them.
            workers_[i].detach();
        }
    }
    for (auto& blocker : blockers) {
        if (auto state = blocker.state.lock()) {
            blocker.abandon(state.get());
        }
    }
}

bool Runtime::wait_for_worker(std::size_t index) {
    std::unique_lock lock(workers_mutex_);
    worker_ended_.wait(lock, [&] { return worker_ends_[index] != WorkerEnd::Running; });
    return worker_ends_[index] == WorkerEnd::Returned;
}

void Runtime::worker_leaves_with_the_process() {
    Runtime* runtime = tls_current_runtime;
    if (runtime == nullptr) {
        return;
    }
    // Notified under the lock: the stop that wakes may release the runtime at once.
    std::lock_guard lock(runtime->workers_mutex_);
    runtime->worker_ends_[tls_worker_index] = WorkerEnd::LeavesWithTheProcess;
    runtime->worker_ended_.notify_all();
}

bool Runtime::is_worker_thread() const {
    return tls_current_runtime == this;
}

Runtime* Runtime::current() {
    return tls_current_runtime;
}

bool Runtime::on_worker_thread() {
    return tls_current_runtime != nullptr;
}

void Runtime::register_blocker(const std::shared_ptr<void>& state, void (*abandon)(void*)) {
    bool stopped;
    {
        std::lock_guard lock(stop_mutex_);
        stopped = stopped_;
        if (!stopped) {
            blockers_.push_back(Blocker{state, abandon});
        }
    }
    if (stopped) {
        abandon(state.get());
    }
}

void Runtime::unregister_blocker(const void* state) {
    std::lock_guard lock(stop_mutex_);
    std::erase_if(blockers_, [&](const Blocker& b) {
        auto locked = b.state.lock();
        return !locked || locked.get() == state;
    });
}

void Runtime::spawn(boost::asio::awaitable<void> task, std::string name) {
    spawn_detached(context_.get_executor(), std::move(task), std::move(name));
}

void spawn_detached(const boost::asio::any_io_executor& executor, boost::asio::awaitable<void> task,
                    std::string name) {
    boost::asio::co_spawn(executor, std::move(task),
                          [name = std::move(name)](std::exception_ptr error) {
                              if (error) {
                                  QV_ERROR(kTarget, "Task {} ended with an exception: {}", name,
                                           exception_text(error));
                              }
                          });
}

}  // namespace quorvel
