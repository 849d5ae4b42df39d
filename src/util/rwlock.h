// An asynchronous read-write lock for coroutines. Fair: waiters are served in arrival order, so a
// waiting writer holds back readers that come after it, and a stream of readers cannot starve a
// writer. Guards release on destruction and may be released on any thread. Waiting is
// cancellation-safe: a waiter whose coroutine is cancelled or destroyed leaves the queue, and a
// grant that raced with the cancellation is handed on.
#pragma once

#include "util/wakeup.h"

#include <boost/asio/awaitable.hpp>

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace quorvel {

namespace detail {

class RwLockCore {
  public:
    enum class Mode { Read, Write };

    struct Waiter {
        Mode mode;
        std::shared_ptr<Wakeup> wakeup;
        bool granted = false;
    };

    bool try_acquire(Mode mode) {
        std::lock_guard lock(mutex_);
        return try_acquire_locked(mode);
    }

    // Queues a waiter unless the lock can be taken at once (then returns null).
    std::shared_ptr<Waiter> acquire_or_enqueue(Mode mode, std::shared_ptr<Wakeup> wakeup) {
        std::lock_guard lock(mutex_);
        if (try_acquire_locked(mode)) {
            return nullptr;
        }
        auto waiter = std::make_shared<Waiter>(Waiter{mode, std::move(wakeup)});
        queue_.push_back(waiter);
        return waiter;
    }

    // After a wake-up: true when the waiter now holds the lock.
    bool is_granted(const std::shared_ptr<Waiter>& waiter) {
        std::lock_guard lock(mutex_);
        return waiter->granted;
    }

    // A waiter that gives up: leaves the queue, or releases what it was granted meanwhile.
    void abandon(const std::shared_ptr<Waiter>& waiter) {
        std::lock_guard lock(mutex_);
        if (waiter->granted) {
            release_locked(waiter->mode);
            return;
        }
        std::erase(queue_, waiter);
        // A writer at the head may have been holding back readers behind it.
        grant_locked();
    }

    void release(Mode mode) {
        std::lock_guard lock(mutex_);
        release_locked(mode);
    }

    std::size_t readers() const {
        std::lock_guard lock(mutex_);
        return readers_;
    }
    bool writer() const {
        std::lock_guard lock(mutex_);
        return writer_;
    }

  private:
    bool try_acquire_locked(Mode mode) {
        if (writer_ || !queue_.empty()) {
            return false;
        }
        if (mode == Mode::Read) {
            ++readers_;
            return true;
        }
        if (readers_ != 0) {
            return false;
        }
        writer_ = true;
        return true;
    }

    void release_locked(Mode mode) {
        if (mode == Mode::Read) {
            --readers_;
        } else {
            writer_ = false;
        }
        grant_locked();
    }

    void grant_locked() {
        while (!queue_.empty() && !writer_) {
            auto& head = queue_.front();
            if (head->mode == Mode::Write) {
                if (readers_ != 0) {
                    return;
                }
                writer_ = true;
            } else {
                ++readers_;
            }
            head->granted = true;
            head->wakeup->wake();
            queue_.pop_front();
        }
    }

    mutable std::mutex mutex_;
    std::size_t readers_ = 0;
    bool writer_ = false;
    std::deque<std::shared_ptr<Waiter>> queue_;
};

// Waits for the lock in `mode`; on return the caller holds it.
boost::asio::awaitable<void> rwlock_acquire(std::shared_ptr<RwLockCore> core,
                                            RwLockCore::Mode mode);

}  // namespace detail

template <class T>
class RwLock {
    struct Shared {
        template <class... A>
        explicit Shared(A&&... args) : value(std::forward<A>(args)...) {}
        std::shared_ptr<detail::RwLockCore> core = std::make_shared<detail::RwLockCore>();
        T value;
    };

  public:
    template <detail::RwLockCore::Mode M>
    class Guard {
      public:
        Guard() = default;
        Guard(Guard&& other) noexcept : shared_(std::move(other.shared_)) {}
        Guard& operator=(Guard&& other) noexcept {
            if (this != &other) {
                unlock();
                shared_ = std::move(other.shared_);
            }
            return *this;
        }
        ~Guard() { unlock(); }

        // Releases the lock early; the guard is empty afterwards.
        void unlock() {
            if (auto shared = std::move(shared_)) {
                shared->core->release(M);
            }
        }
        explicit operator bool() const { return shared_ != nullptr; }

        const T& operator*() const { return shared_->value; }
        const T* operator->() const { return &shared_->value; }
        template <detail::RwLockCore::Mode N = M>
        requires(N == detail::RwLockCore::Mode::Write) T& operator*() { return shared_->value; }
        template <detail::RwLockCore::Mode N = M>
        requires(N == detail::RwLockCore::Mode::Write) T* operator->() { return &shared_->value; }

      private:
        friend class RwLock;
        explicit Guard(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
        std::shared_ptr<Shared> shared_;
    };

    using ReadGuard = Guard<detail::RwLockCore::Mode::Read>;
    using WriteGuard = Guard<detail::RwLockCore::Mode::Write>;

    template <class... A>
    explicit RwLock(A&&... args) : shared_(std::make_shared<Shared>(std::forward<A>(args)...)) {}

    // The guards keep the protected value alive, so a guard may outlive the lock object.
    boost::asio::awaitable<ReadGuard> read() const {
        co_await detail::rwlock_acquire(shared_->core, detail::RwLockCore::Mode::Read);
        co_return ReadGuard(shared_);
    }
    boost::asio::awaitable<WriteGuard> write() const {
        co_await detail::rwlock_acquire(shared_->core, detail::RwLockCore::Mode::Write);
        co_return WriteGuard(shared_);
    }

    std::optional<ReadGuard> try_read() const {
        if (!shared_->core->try_acquire(detail::RwLockCore::Mode::Read)) {
            return std::nullopt;
        }
        return ReadGuard(shared_);
    }
    std::optional<WriteGuard> try_write() const {
        if (!shared_->core->try_acquire(detail::RwLockCore::Mode::Write)) {
            return std::nullopt;
        }
        return WriteGuard(shared_);
    }

    // For tests and diagnostics.
    std::size_t active_readers() const { return shared_->core->readers(); }
    bool write_locked() const { return shared_->core->writer(); }

  private:
    std::shared_ptr<Shared> shared_;
};

}  // namespace quorvel
