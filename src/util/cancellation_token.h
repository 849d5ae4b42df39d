// A cancellation signal shared by copies. Cancelling is one-way and wakes every registered
// callback once; child tokens are cancelled with their parent but not the other way round.
#pragma once

#include <boost/asio/awaitable.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace quorvel {

class CancellationToken {
  public:
    // Deregisters its callback when destroyed; a callback that already ran is not run again.
    class [[nodiscard]] Registration {
      public:
        Registration() = default;
        Registration(Registration&& other) noexcept;
        Registration& operator=(Registration&& other) noexcept;
        ~Registration();
        void reset();

      private:
        friend class CancellationToken;
        Registration(std::weak_ptr<void> state, uint64_t id) : state_(std::move(state)), id_(id) {}
        std::weak_ptr<void> state_;
        uint64_t id_ = 0;
    };

    CancellationToken();

    // Runs every registered callback, each once, even when one throws; the first exception a
    // callback threw is rethrown once all have run.
    void cancel() const;
    bool is_cancelled() const { return state_->cancelled.load(std::memory_order_acquire); }

    // Runs `callback` once on cancellation, on the cancelling thread; at once (on this thread)
    // when the token is already cancelled. The callback must not block.
    Registration on_cancel(std::function<void()> callback) const;

    CancellationToken child_token() const;

    // Completes once the token is cancelled (at once if it already is). Safe to abandon: a
    // cancelled or destroyed wait leaves nothing registered on the token.
    boost::asio::awaitable<void> cancelled() const;

    bool same_as(const CancellationToken& other) const { return state_ == other.state_; }

  private:
    struct State {
        std::atomic<bool> cancelled{false};
        std::mutex mutex;
        uint64_t next_id = 1;
        std::map<uint64_t, std::function<void()>> callbacks;
    };
    friend class Registration;
    static void deregister(const std::shared_ptr<State>& state, uint64_t id);

    std::shared_ptr<State> state_;
};

}  // namespace quorvel
