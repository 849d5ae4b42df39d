// An asynchronous notification between tasks. notify_one wakes the longest waiting task, or, when
// none waits, stores one permit that the next wait takes at once; notify_waiters wakes every task
// waiting now and stores nothing. A waiter cancelled after it was picked by notify_one passes the
// notification on, so none is lost.
#pragma once

#include "util/wakeup.h"

#include <boost/asio/awaitable.hpp>

#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>

namespace quorvel {

class Notify {
  public:
    Notify() : state_(std::make_shared<State>()) {}

    void notify_one();
    void notify_waiters();
    boost::asio::awaitable<void> notified();

    // For tests and diagnostics.
    std::size_t waiters() const;
    bool has_permit() const;

  private:
    struct Waiter {
        std::shared_ptr<detail::Wakeup> wakeup;
        bool notified = false;
        bool by_notify_one = false;
    };
    struct State {
        mutable std::mutex mutex;
        bool permit = false;
        std::deque<std::shared_ptr<Waiter>> waiters;

        void notify_one_locked();
    };
    std::shared_ptr<State> state_;
};

}  // namespace quorvel
