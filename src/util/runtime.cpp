#include "util/runtime.h"

#include "util/log.h"

#include <boost/asio/post.hpp>

#include <algorithm>

namespace quorvel {

namespace {

constexpr std::string_view kTarget = "quorvel_agent::util::runtime";

// The runtime whose worker is the current thread. Set for the whole life of a worker thread.
thread_local Runtime* tls_current_runtime = nullptr;

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
        return e.what();
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
    workers_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        workers_.emplace_back([this] { worker_main(); });
    }
}

void Runtime::worker_main() {
    tls_current_runtime = this;
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
    for (auto& worker : workers_) {
        if (worker.joinable()) {
            worker.join();
        }
    }
    for (auto& blocker : blockers) {
        if (auto state = blocker.state.lock()) {
            blocker.abandon(state.get());
        }
    }
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
