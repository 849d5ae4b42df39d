#include "util/notify.h"

#include <algorithm>

namespace quorvel {

void Notify::State::notify_one_locked() {
    if (waiters.empty()) {
        permit = true;
        return;
    }
    auto waiter = waiters.front();
    waiters.pop_front();
    waiter->notified = true;
    waiter->by_notify_one = true;
    waiter->wakeup->wake();
}

void Notify::notify_one() {
    std::lock_guard lock(state_->mutex);
    state_->notify_one_locked();
}

void Notify::notify_waiters() {
    std::lock_guard lock(state_->mutex);
    for (auto& waiter : state_->waiters) {
        waiter->notified = true;
        waiter->wakeup->wake();
    }
    state_->waiters.clear();
}

std::size_t Notify::waiters() const {
    std::lock_guard lock(state_->mutex);
    return state_->waiters.size();
}

bool Notify::has_permit() const {
    std::lock_guard lock(state_->mutex);
    return state_->permit;
}

namespace {

template <class State, class Waiter>
class WaitGuard {
  public:
    WaitGuard(std::shared_ptr<State> state, std::shared_ptr<Waiter> waiter)
        : state_(std::move(state)), waiter_(std::move(waiter)) {}
    ~WaitGuard() {
        if (!waiter_) {
            return;
        }
        std::lock_guard lock(state_->mutex);
        if (!waiter_->notified) {
            std::erase(state_->waiters, waiter_);
        } else if (waiter_->by_notify_one) {
            // Picked but never resumed: hand the notification to the next waiter.
            state_->notify_one_locked();
        }
    }
    void dismiss() { waiter_.reset(); }

  private:
    std::shared_ptr<State> state_;
    std::shared_ptr<Waiter> waiter_;
};

}  // namespace

boost::asio::awaitable<void> Notify::notified() {
    auto state = state_;
    {
        std::lock_guard lock(state->mutex);
        if (state->permit) {
            state->permit = false;
            co_return;
        }
    }
    auto waiter = std::make_shared<Waiter>();
    waiter->wakeup = co_await detail::Wakeup::create();
    {
        std::lock_guard lock(state->mutex);
        if (state->permit) {
            state->permit = false;
            co_return;
        }
        state->waiters.push_back(waiter);
    }
    WaitGuard guard(state, waiter);
    co_await waiter->wakeup->wait();
    guard.dismiss();
}

}  // namespace quorvel
