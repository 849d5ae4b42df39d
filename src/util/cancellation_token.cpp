#include "util/cancellation_token.h"

#include "util/wakeup.h"

#include <exception>
#include <vector>

namespace quorvel {

CancellationToken::CancellationToken() : state_(std::make_shared<State>()) {}

void CancellationToken::cancel() const {
    std::map<uint64_t, std::function<void()>> callbacks;
    {
        std::lock_guard lock(state_->mutex);
        if (state_->cancelled.exchange(true, std::memory_order_acq_rel)) {
            return;
        }
        callbacks.swap(state_->callbacks);
    }
    // Every callback runs, whatever one of them throws; the first exception is passed on after.
    std::exception_ptr first_failure;
    for (auto& [id, callback] : callbacks) {
        try {
            callback();
        } catch (...) {
            if (!first_failure) {
                first_failure = std::current_exception();
            }
        }
    }
    if (first_failure) {
        std::rethrow_exception(first_failure);
    }
}

CancellationToken::Registration CancellationToken::on_cancel(std::function<void()> callback) const {
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->cancelled.load(std::memory_order_acquire)) {
            uint64_t id = state_->next_id++;
            state_->callbacks.emplace(id, std::move(callback));
            return Registration(std::static_pointer_cast<void>(state_), id);
        }
    }
    callback();
    return Registration();
}

CancellationToken CancellationToken::child_token() const {
    CancellationToken child;
    // The parent keeps a callback for as long as it lives; the child holds no reference back.
    std::weak_ptr<State> weak_child = child.state_;
    auto registration = on_cancel([weak_child] {
        if (auto state = weak_child.lock()) {
            CancellationToken token;
            token.state_ = state;
            token.cancel();
        }
    });
    // Leave the callback registered for the parent's lifetime.
    registration.state_.reset();
    return child;
}

boost::asio::awaitable<void> CancellationToken::cancelled() const {
    if (is_cancelled()) {
        co_return;
    }
    auto wakeup = co_await detail::Wakeup::create();
    // The token keeps only a weak reference: a parked waiter must not keep itself alive through it.
    std::weak_ptr<detail::Wakeup> weak = wakeup;
    auto registration = on_cancel([weak] {
        if (auto w = weak.lock()) {
            w->wake();
        }
    });
    co_await wakeup->wait();
}

void CancellationToken::deregister(const std::shared_ptr<State>& state, uint64_t id) {
    std::function<void()> dropped;
    std::lock_guard lock(state->mutex);
    auto it = state->callbacks.find(id);
    if (it != state->callbacks.end()) {
        dropped = std::move(it->second);
        state->callbacks.erase(it);
    }
}

CancellationToken::Registration::Registration(Registration&& other) noexcept
    : state_(std::move(other.state_)), id_(other.id_) {
    other.state_.reset();
}

CancellationToken::Registration& CancellationToken::Registration::operator=(
    Registration&& other) noexcept {
    if (this != &other) {
        reset();
        state_ = std::move(other.state_);
        id_ = other.id_;
        other.state_.reset();
    }
    return *this;
}

CancellationToken::Registration::~Registration() {
    reset();
}

void CancellationToken::Registration::reset() {
    if (auto state = state_.lock()) {
        CancellationToken::deregister(std::static_pointer_cast<CancellationToken::State>(state),
                                      id_);
    }
    state_.reset();
}

}  // namespace quorvel
