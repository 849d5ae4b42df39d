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

// What a waker wakes. A task implements it so that handing out its waker costs no allocation.
class WakeTarget {
  public:
    virtual ~WakeTarget() = default;
    // Called from any thread, any number of times. May throw when the wake finds no memory; the
    // waker then ends what it would have woken (see Waker::wake).
    virtual void wake() const = 0;
};

class Waker {
  public:
    Waker() = default;
    explicit Waker(std::function<void()> wake)
        : target_(std::make_shared<const FunctionTarget>(std::move(wake))) {}
    explicit Waker(std::shared_ptr<const WakeTarget> target) : target_(std::move(target)) {}

    // Safe to call from any thread, any number of times, and never throws, so that destructors
    // may wake. A wake that finds no memory to queue the re-poll or the resumption leaves its
    // target ended rather than woken: a driver task is abandoned, an awaiting coroutine unwound.
    void wake() const noexcept {
        if (target_) {
            try {
                target_->wake();
            } catch (...) {  // the target is ended; nothing else is left to do
            }
        }
    }
    bool will_wake(const Waker& other) const { return target_ == other.target_; }
    explicit operator bool() const { return target_ != nullptr; }

  private:
    struct FunctionTarget final : WakeTarget {
        explicit FunctionTarget(std::function<void()> f) : fn(std::move(f)) {}
        void wake() const override {
            if (fn) {
                fn();
            }
        }
        std::function<void()> fn;
    };

    std::shared_ptr<const WakeTarget> target_;
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

// Keeps at most one operation in flight. `MakeFut` makes a `Fut` from a call's arguments; a `Fut`
// has `Poll<Output> poll(const Waker&)`. A call made while an operation is in flight polls that
// operation and releases its own arguments unused. The helper must not be moved while an
// operation is in flight, since an operation may refer to its own buffers.
template <class Fut, class MakeFut>
class PollHelper {
  public:
    explicit PollHelper(MakeFut make_fut) : make_fut_(std::move(make_fut)) {}
    PollHelper(const PollHelper&) = delete;
    PollHelper& operator=(const PollHelper&) = delete;

    template <class... Args>
    auto poll(const Waker& waker, Args&&... args) {
        if (!in_flight_) {
            in_flight_.emplace(make_fut_(std::forward<Args>(args)...));
        }
        auto result = in_flight_->poll(waker);
        if (result) {
            in_flight_.reset();
        }
        return result;
    }
    bool in_flight() const { return in_flight_.has_value(); }
    const MakeFut& make_fut() const { return make_fut_; }

  private:
    MakeFut make_fut_;
    std::optional<Fut> in_flight_;
};

}  // namespace quorvel
