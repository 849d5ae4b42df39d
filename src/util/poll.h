// The poll model of the packet drivers. A driver pass is a plain function that polls its
// operations; an operation that cannot finish yet registers the pass's `Waker` and returns
// `Pending` (an empty `Poll`). Waking posts one re-poll of the driver onto its executor.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace quorvel {

// nullopt means pending; a value means the operation is ready with that value.
template <class T>
using Poll = std::optional<T>;

class Waker {
  public:
    Waker() = default;
    explicit Waker(std::function<void()> wake)
        : wake_(std::make_shared<const std::function<void()>>(std::move(wake))) {}

    // Safe to call from any thread, any number of times.
    void wake() const {
        if (wake_ && *wake_) {
            (*wake_)();
        }
    }
    bool will_wake(const Waker& other) const { return wake_ == other.wake_; }
    explicit operator bool() const { return wake_ != nullptr; }

  private:
    std::shared_ptr<const std::function<void()>> wake_;
};

// Holds the waker of the one task waiting on a resource; a new registration replaces the old.
class WakerSlot {
  public:
    void register_waker(const Waker& waker) {
        std::lock_guard lock(mutex_);
        waker_ = waker;
    }
    // Wakes and clears the registered waker, if any.
    void wake() {
        Waker waker;
        {
            std::lock_guard lock(mutex_);
            waker = std::move(waker_);
            waker_ = Waker();
        }
        waker.wake();
    }

  private:
    std::mutex mutex_;
    Waker waker_;
};

}  // namespace quorvel
