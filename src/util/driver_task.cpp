#include "util/driver_task.h"

#include <algorithm>

namespace quorvel {

DriverTaskBase::DriverTaskBase(boost::asio::any_io_executor executor, int polls_per_run)
    : executor_(std::move(executor)),
      polls_per_run_(std::max(polls_per_run, 1)),
      spans_(log::current_spans()) {}

void DriverTaskBase::start() {
    {
        std::lock_guard lock(mutex_);
        state_ = RunState::Scheduled;
    }
    post_run();
}

bool DriverTaskBase::finished() const {
    std::lock_guard lock(mutex_);
    return state_ == RunState::Done;
}

void DriverTaskBase::wake() const {
    bool post = false;
    {
        std::lock_guard lock(mutex_);
        switch (state_) {
            case RunState::Idle:
                state_ = RunState::Scheduled;
                post = true;
                break;
            case RunState::Running:
                state_ = RunState::Notified;
                break;
            case RunState::Scheduled:
            case RunState::Notified:
            case RunState::Done:
                break;
        }
    }
    if (post) {
        post_run();
    }
}

// The posted run keeps the task alive until it has run. A runtime that is going away destroys its
// queued work instead: then the driver is released here, so that what it holds (its handle, an
// operation in flight that keeps the task's waker) does not keep the task and itself alive in a
// circle with nobody left to wake it.
struct DriverTaskBase::PostedRun {
    explicit PostedRun(std::shared_ptr<DriverTaskBase> task) : task(std::move(task)) {}
    PostedRun(PostedRun&& other) noexcept : task(std::move(other.task)) {}
    PostedRun(const PostedRun&) = delete;
    PostedRun& operator=(const PostedRun&) = delete;
    PostedRun& operator=(PostedRun&&) = delete;
    ~PostedRun() {
        if (task) {
            task->abandon();
        }
    }
    void operator()() {
        auto running = std::move(task);
        running->run();
    }

    std::shared_ptr<DriverTaskBase> task;
};

// Deferred rather than posted: woken from a handler running on one of the executor's workers
// (a readiness wait that completed, another driver's pass, a P2P receive), the re-poll is queued
// as a continuation of that handler and runs on the same worker right after it, without waking
// an idle worker, so a packet does not cross threads. Woken from any other thread it is posted.
void DriverTaskBase::post_run() const {
    auto self = std::const_pointer_cast<DriverTaskBase>(shared_from_this());
    boost::asio::defer(executor_, PostedRun(std::move(self)));
}

void DriverTaskBase::abandon() {
    {
        std::lock_guard lock(mutex_);
        if (state_ == RunState::Done) {
            return;
        }
        state_ = RunState::Done;
    }
    release_driver();
}

// A driver woken during its own poll (a pass that stopped at its budget with work left) is polled
// again in the same run while the run has made fewer than `polls_per_run_` polls: going back
// through the executor's queue for each pass costs a queue round trip and, on a runtime with
// several workers, often a wake of an idle worker and a move to it, while the packets the driver
// has yet to read wait (and, in a full queue, get dropped). After that the next poll is queued
// behind the executor's other work, as every re-poll of other wakes is.
void DriverTaskBase::run() {
    {
        std::lock_guard lock(mutex_);
        if (state_ != RunState::Scheduled) {
            return;
        }
        state_ = RunState::Running;
    }
    for (int polls = 1;; ++polls) {
        bool done = false;
        {
            log::ScopedSpans spans(spans_);
            const Waker waker(std::static_pointer_cast<const WakeTarget>(shared_from_this()));
            done = poll_once(waker);
        }
        bool again = false;
        bool queue = false;
        bool orphaned = false;
        {
            std::lock_guard lock(mutex_);
            if (done) {
                state_ = RunState::Done;
            } else if (state_ == RunState::Notified) {
                again = true;
                queue = polls >= polls_per_run_;
                state_ = queue ? RunState::Scheduled : RunState::Running;
            } else {
                state_ = RunState::Idle;
                // Between polls only the holders of its waker own the task. The run that called
                // us holds one reference; nothing else means no waker was kept and no wake can
                // come.
                orphaned = kCheckWakers && weak_from_this().use_count() <= 1;
            }
        }
        if (orphaned) {
            log::ScopedSpans spans(spans_);
            QV_ERROR(kDriverTaskTarget,
                     "Driver returned pending without keeping its waker; its task ends unfinished");
        }
        if (!again) {
            return;
        }
        if (queue) {
            post_run();
            return;
        }
    }
}

}  // namespace quorvel
