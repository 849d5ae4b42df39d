// Channels between tasks. An unbounded multi-producer channel (senders never wait; the receiver
// awaits the next value and learns when every sender is gone) and a one-slot channel that carries
// a single value once. Sending works from any thread, also from outside the runtime. Receiving is
// cancellation-safe: a cancelled receive loses no value.
#pragma once

#include "util/result.h"
#include "util/wakeup.h"

#include <boost/asio/awaitable.hpp>

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace quorvel {

// The value that could not be sent, because the receiving side is gone.
template <class T>
struct SendError {
    T value;
};

enum class TryRecvError { Empty, Disconnected };

namespace detail {

template <class T>
struct UnboundedShared {
    std::mutex mutex;
    std::deque<T> queue;
    std::size_t senders = 0;
    bool receiver_alive = true;
    std::shared_ptr<Wakeup> waiter;

    void wake_locked() {
        if (waiter) {
            waiter->wake();
        }
    }
};

}  // namespace detail

template <class T>
class UnboundedReceiver;

template <class T>
class UnboundedSender {
  public:
    UnboundedSender() = default;
    UnboundedSender(const UnboundedSender& other) : shared_(other.shared_) { add(); }
    UnboundedSender(UnboundedSender&& other) noexcept : shared_(std::move(other.shared_)) {}
    UnboundedSender& operator=(UnboundedSender other) noexcept {
        std::swap(shared_, other.shared_);
        return *this;
    }
    ~UnboundedSender() { drop(); }

    // Queues the value; fails (handing it back) when the receiver is gone. Never waits.
    Result<void, SendError<T>> send(T value) const {
        if (!shared_) {
            return unexpected(SendError<T>{std::move(value)});
        }
        std::lock_guard lock(shared_->mutex);
        if (!shared_->receiver_alive) {
            return unexpected(SendError<T>{std::move(value)});
        }
        shared_->queue.push_back(std::move(value));
        shared_->wake_locked();
        return {};
    }

    bool is_closed() const {
        if (!shared_) {
            return true;
        }
        std::lock_guard lock(shared_->mutex);
        return !shared_->receiver_alive;
    }

    bool same_channel(const UnboundedSender& other) const { return shared_ == other.shared_; }

  private:
    template <class U>
    friend std::pair<UnboundedSender<U>, UnboundedReceiver<U>> unbounded_channel();
    explicit UnboundedSender(std::shared_ptr<detail::UnboundedShared<T>> shared)
        : shared_(std::move(shared)) {
        add();
    }
    void add() {
        if (shared_) {
            std::lock_guard lock(shared_->mutex);
            ++shared_->senders;
        }
    }
    void drop() {
        if (auto shared = std::move(shared_)) {
            std::lock_guard lock(shared->mutex);
            if (--shared->senders == 0) {
                shared->wake_locked();
            }
        }
    }

    std::shared_ptr<detail::UnboundedShared<T>> shared_;
};

template <class T>
class UnboundedReceiver {
  public:
    UnboundedReceiver() = default;
    UnboundedReceiver(UnboundedReceiver&&) noexcept = default;
    UnboundedReceiver& operator=(UnboundedReceiver&& other) noexcept {
        if (this != &other) {
            close();
            shared_ = std::move(other.shared_);
        }
        return *this;
    }
    ~UnboundedReceiver() { close(); }

    // The next value, or nullopt once every sender is gone and the queue is empty.
    boost::asio::awaitable<std::optional<T>> recv() {
        co_await detail::park_until(shared_, [](const detail::UnboundedShared<T>& shared) {
            return !shared.queue.empty() || shared.senders == 0;
        });
        std::lock_guard lock(shared_->mutex);
        if (shared_->queue.empty()) {
            co_return std::nullopt;
        }
        T value = std::move(shared_->queue.front());
        shared_->queue.pop_front();
        co_return std::optional<T>(std::move(value));
    }

    Result<T, TryRecvError> try_recv() {
        std::lock_guard lock(shared_->mutex);
        if (!shared_->queue.empty()) {
            T value = std::move(shared_->queue.front());
            shared_->queue.pop_front();
            return value;
        }
        return unexpected(shared_->senders == 0 ? TryRecvError::Disconnected : TryRecvError::Empty);
    }

    // Refuses further sends and drops what is queued.
    void close() {
        if (!shared_) {
            return;
        }
        std::deque<T> dropped;
        std::lock_guard lock(shared_->mutex);
        shared_->receiver_alive = false;
        dropped.swap(shared_->queue);
        shared_->waiter.reset();
    }

    std::size_t size() const {
        std::lock_guard lock(shared_->mutex);
        return shared_->queue.size();
    }

  private:
    template <class U>
    friend std::pair<UnboundedSender<U>, UnboundedReceiver<U>> unbounded_channel();
    explicit UnboundedReceiver(std::shared_ptr<detail::UnboundedShared<T>> shared)
        : shared_(std::move(shared)) {}

    std::shared_ptr<detail::UnboundedShared<T>> shared_;
};

template <class T>
std::pair<UnboundedSender<T>, UnboundedReceiver<T>> unbounded_channel() {
    auto shared = std::make_shared<detail::UnboundedShared<T>>();
    UnboundedSender<T> sender(shared);
    UnboundedReceiver<T> receiver(std::move(shared));
    return {std::move(sender), std::move(receiver)};
}

// ---- one-slot channel ----

enum class OneshotRecvError { Closed };  // the sender went away without sending

namespace detail {

template <class T>
struct OneshotShared {
    std::mutex mutex;
    std::optional<T> value;
    bool sender_alive = true;
    bool receiver_alive = true;
    std::shared_ptr<Wakeup> waiter;
};

}  // namespace detail

template <class T>
class OneshotReceiver;

template <class T>
class OneshotSender {
  public:
    OneshotSender() = default;
    OneshotSender(OneshotSender&&) noexcept = default;
    OneshotSender& operator=(OneshotSender&& other) noexcept {
        if (this != &other) {
            drop();
            shared_ = std::move(other.shared_);
        }
        return *this;
    }
    ~OneshotSender() { drop(); }

    // Sends the one value; fails (handing it back) when the receiver is gone. Consumes the sender.
    Result<void, SendError<T>> send(T value) && {
        auto shared = std::move(shared_);
        if (!shared) {
            return unexpected(SendError<T>{std::move(value)});
        }
        std::lock_guard lock(shared->mutex);
        shared->sender_alive = false;
        if (!shared->receiver_alive) {
            return unexpected(SendError<T>{std::move(value)});
        }
        shared->value.emplace(std::move(value));
        if (shared->waiter) {
            shared->waiter->wake();
        }
        return {};
    }

    bool is_closed() const {
        if (!shared_) {
            return true;
        }
        std::lock_guard lock(shared_->mutex);
        return !shared_->receiver_alive;
    }

  private:
    template <class U>
    friend std::pair<OneshotSender<U>, OneshotReceiver<U>> oneshot_channel();
    explicit OneshotSender(std::shared_ptr<detail::OneshotShared<T>> shared)
        : shared_(std::move(shared)) {}
    void drop() {
        if (auto shared = std::move(shared_)) {
            std::lock_guard lock(shared->mutex);
            shared->sender_alive = false;
            if (shared->waiter) {
                shared->waiter->wake();
            }
        }
    }

    std::shared_ptr<detail::OneshotShared<T>> shared_;
};

template <class T>
class OneshotReceiver {
  public:
    OneshotReceiver() = default;
    OneshotReceiver(OneshotReceiver&&) noexcept = default;
    OneshotReceiver& operator=(OneshotReceiver&& other) noexcept {
        if (this != &other) {
            drop();
            shared_ = std::move(other.shared_);
        }
        return *this;
    }
    ~OneshotReceiver() { drop(); }

    // The value, or Closed when the sender was dropped without sending. Receive at most once.
    boost::asio::awaitable<Result<T, OneshotRecvError>> recv() {
        co_await detail::park_until(shared_, [](const detail::OneshotShared<T>& shared) {
            return shared.value.has_value() || !shared.sender_alive;
        });
        co_return *take();
    }

    // The value if it has arrived; Empty while the sender may still send.
    Result<T, TryRecvError> try_recv() {
        std::lock_guard lock(shared_->mutex);
        if (shared_->value) {
            T value = std::move(*shared_->value);
            shared_->value.reset();
            shared_->sender_alive = false;
            return value;
        }
        return unexpected(shared_->sender_alive ? TryRecvError::Empty : TryRecvError::Disconnected);
    }

  private:
    template <class U>
    friend std::pair<OneshotSender<U>, OneshotReceiver<U>> oneshot_channel();
    explicit OneshotReceiver(std::shared_ptr<detail::OneshotShared<T>> shared)
        : shared_(std::move(shared)) {}

    std::optional<Result<T, OneshotRecvError>> take() {
        std::lock_guard lock(shared_->mutex);
        if (shared_->value) {
            T value = std::move(*shared_->value);
            shared_->value.reset();
            return Result<T, OneshotRecvError>(std::move(value));
        }
        if (!shared_->sender_alive) {
            return Result<T, OneshotRecvError>(unexpected(OneshotRecvError::Closed));
        }
        return std::nullopt;
    }
    void drop() {
        if (auto shared = std::move(shared_)) {
            std::optional<T> dropped;
            std::lock_guard lock(shared->mutex);
            shared->receiver_alive = false;
            dropped.swap(shared->value);
            shared->waiter.reset();
        }
    }

    std::shared_ptr<detail::OneshotShared<T>> shared_;
};

template <class T>
std::pair<OneshotSender<T>, OneshotReceiver<T>> oneshot_channel() {
    auto shared = std::make_shared<detail::OneshotShared<T>>();
    OneshotSender<T> sender(shared);
    OneshotReceiver<T> receiver(std::move(shared));
    return {std::move(sender), std::move(receiver)};
}

}  // namespace quorvel
