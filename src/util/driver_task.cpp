#include "util/driver_task.h"

namespace quorvel {

DriverTaskBase::DriverTaskBase(boost::asio::any_io_executor executor)
    : executor_(std::move(executor)), spans_(log::current_spans()) {}

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

void DriverTaskBase::post_run() const {
    // The posted run keeps the task alive until it has run (or the executor drops it).
    auto self = std::const_pointer_cast<DriverTaskBase>(shared_from_this());
    boost::asio::post(executor_, [self = std::move(self)] { self->run(); });
}

void DriverTaskBase::run() {
    {
        std::lock_guard lock(mutex_);
        if (state_ != RunState::Scheduled) {
            return;
        }
        state_ = RunState::Running;
    }
    bool done = false;
    {
        log::ScopedSpans spans(spans_);
        const Waker waker(std::static_pointer_cast<const WakeTarget>(shared_from_this()));
        done = poll_once(waker);
    }
    bool again = false;
    {
        std::lock_guard lock(mutex_);
        if (done) {
            state_ = RunState::Done;
        } else if (state_ == RunState::Notified) {
            state_ = RunState::Scheduled;
            again = true;
        } else {
            state_ = RunState::Idle;
        }
    }
    if (again) {
        post_run();
    }
}

}  // namespace quorvel
