#include "util/rwlock.h"

namespace quorvel::detail {

namespace {

// Gives the lock back, or leaves the queue, unless the waiting coroutine got through.
class WaitGuard {
  public:
    WaitGuard(std::shared_ptr<RwLockCore> core, std::shared_ptr<RwLockCore::Waiter> waiter)
        : core_(std::move(core)), waiter_(std::move(waiter)) {}
    ~WaitGuard() {
        if (waiter_) {
            core_->abandon(waiter_);
        }
    }
    void dismiss() { waiter_.reset(); }

  private:
    std::shared_ptr<RwLockCore> core_;
    std::shared_ptr<RwLockCore::Waiter> waiter_;
};

}  // namespace

boost::asio::awaitable<void> rwlock_acquire(std::shared_ptr<RwLockCore> core,
                                            RwLockCore::Mode mode) {
    if (core->try_acquire(mode)) {
        co_return;
    }
    auto wakeup = co_await Wakeup::create();
    auto waiter = core->acquire_or_enqueue(mode, wakeup);
    if (!waiter) {
        co_return;
    }
    WaitGuard guard(core, waiter);
    // Only a grant wakes this waiter, so one wake-up is enough.
    co_await wakeup->wait();
    if (core->is_granted(waiter)) {
        guard.dismiss();
    }
}

}  // namespace quorvel::detail
