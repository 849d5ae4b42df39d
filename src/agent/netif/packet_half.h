// The machinery shared by the two halves of the packet path (the tunnel-device half and the
// node-peer halves): counted handles over a shared inner object, and the driver's poll.
//
// An `Inner` has a `std::mutex mutex` and a `state` with a 64-bit `ref_count` and a pass
// `Result<bool, IoError> drive_transmit(const Waker&)`; a state that also has a `Waker
// driver_waker` parks its driver there and is woken when its count drops to 0.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>

#include "util/io_error.h"
#include "util/log.h"
#include "util/poll.h"
#include "util/result.h"

namespace quorvel::agent::packet_half {

template <class Inner>
concept ParksDriver = requires(Inner& inner) {
    { inner.state.driver_waker } -> std::convertible_to<Waker&>;
};

// Copies are counted in the state; the count is 0 exactly when one handle of the first is left.
// A moved-from handle holds and counts nothing.
template <class Inner>
class CountedRef {
  public:
    explicit CountedRef(std::shared_ptr<Inner> inner) : inner_(std::move(inner)) {}
    CountedRef(const CountedRef& other) : inner_(other.inner_) {
        if (inner_) {
            std::lock_guard lock(inner_->mutex);
            ++inner_->state.ref_count;
        }
    }
    CountedRef(CountedRef&& other) noexcept = default;
    CountedRef& operator=(CountedRef other) noexcept {
        std::swap(inner_, other.inner_);
        return *this;
    }
    ~CountedRef() { release(); }

    Inner& inner() const { return *inner_; }
    const std::shared_ptr<Inner>& shared() const { return inner_; }

  private:
    void release() {
        if (!inner_) {
            return;
        }
        {
            std::lock_guard lock(inner_->mutex);
            auto& state = inner_->state;
            if (state.ref_count != 0) {
                --state.ref_count;
                if constexpr (ParksDriver<Inner>) {
                    if (state.ref_count == 0) {
                        // Only schedules the driver, which then waits for this lock.
                        Waker waker = std::exchange(state.driver_waker, Waker());
                        waker.wake();
                    }
                }
            }
        }
        inner_.reset();
    }

    std::shared_ptr<Inner> inner_;
};

// The trace messages of one driver.
struct DriverTexts {
    std::string_view target;
    std::string_view poll;
    std::string_view keep_going;
    std::string_view ready;
    std::string_view pending;
};

// One poll of a driver: one pass under the state lock, then the count test. The pass comes
// first, so a driver whose count has dropped to 0 does one more pass in the poll that ends it.
template <class Inner>
Poll<Result<void, IoError>> poll_driver(Inner& inner, const Waker& waker,
                                        const DriverTexts& texts) {
    QV_TRACE(texts.target, "{}", texts.poll);
    std::lock_guard lock(inner.mutex);
    auto& state = inner.state;
    Result<bool, IoError> pass = state.drive_transmit(waker);
    if (!pass) {
        return Result<void, IoError>(unexpected(std::move(pass).error()));
    }
    const bool keep_going = *pass;
    QV_TRACE(texts.target, "{}{}", texts.keep_going, keep_going);
    if (state.ref_count == 0) {
        QV_TRACE(texts.target, "{}", texts.ready);
        return Result<void, IoError>();
    }
    if (keep_going) {
        waker.wake();
    } else if constexpr (ParksDriver<Inner>) {
        state.driver_waker = waker;
    }
    QV_TRACE(texts.target, "{}", texts.pending);
    return std::nullopt;
}

// What a driver task does once its driver has been released.
inline void log_driver_end(std::string_view target, const Result<void, IoError>& outcome) {
    if (!outcome) {
        QV_ERROR(target, "I/O error: {}", outcome.error());
    }
}

}  // namespace quorvel::agent::packet_half
