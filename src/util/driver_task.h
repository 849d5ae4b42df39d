// Runs a poll-model driver as a task on an executor. Each wake queues one re-poll of the driver,
// on the waking worker when a worker of the executor wakes it; wakes that arrive while a re-poll
// is already queued are folded into it, and a wake that arrives during a poll makes exactly one
// more poll: queued like the others, or, for a task spawned with more than one poll per run, run
// right after it in the same run until the run has made that many polls. Two polls of one driver
// never run at the same time. The task ends when the driver's poll
// is ready: the driver is released first, then the completion callback gets the driver's output.
//
// Between polls the task is owned by whatever holds its waker (a pending I/O wait, a stored
// waker slot) and by a queued re-poll; when the last of them is released the task and its
// driver go with it, which is how stopping the runtime stops every task.
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/defer.hpp>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "util/log.h"
#include "util/poll.h"

namespace quorvel {

inline constexpr std::string_view kDriverTaskTarget = "quorvel_agent::util::driver_task";

#ifdef NDEBUG
inline constexpr bool kCheckWakers = false;
#else
// Debug builds report a driver whose poll returned pending without keeping a copy of its waker
// anywhere: such a task would silently end, since its waker is all that keeps it.
inline constexpr bool kCheckWakers = true;
#endif

// Polls per run for a driver that should keep its worker while it has work: one that drains a
// queue the kernel drops from when it is full, such as the tunnel's reader.
inline constexpr int kPollsPerRun = 8;

class DriverTaskBase : public WakeTarget, public std::enable_shared_from_this<DriverTaskBase> {
  public:
    DriverTaskBase(boost::asio::any_io_executor executor, int polls_per_run);
    void wake() const override;
    // Posts the first poll.
    void start();
    bool finished() const;

  protected:
    // Polls the driver once; true when the task has ended.
    virtual bool poll_once(const Waker& waker) = 0;
    // Releases the driver without polling it again: the runtime dropped the task's posted run.
    virtual void release_driver() = 0;

  private:
    enum class RunState { Idle, Scheduled, Running, Notified, Done };
    struct PostedRun;
    void run();
    void post_run() const;
    // The runtime is going away: its queued work is destroyed instead of run.
    void abandon();

    boost::asio::any_io_executor executor_;
    const int polls_per_run_;
    mutable std::mutex mutex_;
    mutable RunState state_ = RunState::Idle;
    std::vector<log::SpanRecord> spans_;
};

// `Driver` has `Poll<Output> poll(const Waker&)`; `OnDone` is called with the output once the
// driver has been released.
template <class Driver, class OnDone>
class DriverTask final : public DriverTaskBase {
  public:
    DriverTask(boost::asio::any_io_executor executor, Driver driver, OnDone on_done,
               int polls_per_run)
        : DriverTaskBase(std::move(executor), polls_per_run),
          driver_(std::move(driver)),
          on_done_(std::move(on_done)) {}

  protected:
    bool poll_once(const Waker& waker) override {
        auto output = driver_->poll(waker);
        if (!output) {
            return false;
        }
        driver_.reset();
        on_done_(std::move(*output));
        return true;
    }
    void release_driver() override { driver_.reset(); }

  private:
    std::optional<Driver> driver_;
    OnDone on_done_;
};

// Spawns the driver as a detached task inside the spans current on the calling thread; nothing
// waits for it. `polls_per_run` bounds the polls one run makes (see above). The returned pointer is
// for observing it in tests; holding it keeps the task's memory, not the task running.
template <class Driver, class OnDone>
std::shared_ptr<DriverTaskBase> spawn_driver(boost::asio::any_io_executor executor, Driver driver,
                                             OnDone on_done, int polls_per_run = 1) {
    auto task = std::make_shared<DriverTask<Driver, OnDone>>(std::move(executor), std::move(driver),
                                                             std::move(on_done), polls_per_run);
    task->start();
    return task;
}

}  // namespace quorvel
