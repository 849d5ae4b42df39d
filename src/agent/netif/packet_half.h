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
#include <vector>

#include "util/io_error.h"
#include "util/log.h"
#include "util/poll.h"
#include "util/result.h"

namespace quorvel::agent::packet_half {

template <class Inner>
concept ParksDriver = requires(Inner& inner) {
    { inner.state.driver_waker } -> std::convertible_to<Waker&>;
};

namespace detail {

// A handle release held back until its thread's passes have unlocked.
struct HeldRelease {
    std::shared_ptr<void> inner;
    void (*release)(std::shared_ptr<void>);
};

struct HeldReleases {
    int depth = 0;
    std::vector<HeldRelease> held;
};

inline thread_local HeldReleases held_releases;

}  // namespace detail

// While one of these lives on a thread, the counted handles released on that thread are held and
// let go only when the outermost one ends. A pass holds its state's lock and may drop a peer, a
// batch or a trie version whose last handle it turns out to be; the release of that handle (and
// whatever goes with the object behind it, such as the tunnel-device handle a node peer keeps)
// takes state locks too, the pass's own among them. Declared before the lock, so that the held
// releases run after unlocking.
class HoldReleases {
  public:
    HoldReleases() { ++detail::held_releases.depth; }
    HoldReleases(const HoldReleases&) = delete;
    HoldReleases& operator=(const HoldReleases&) = delete;
    ~HoldReleases() {
        auto& queue = detail::held_releases;
        if (--queue.depth != 0) {
            return;
        }
        // Releases made while these run are not held (the depth is 0 again), unless one of them
        // holds releases itself (the last handle of a node peer wakes its driver, and a waker may
        // run a pass inline); that holding collects into the thread's list and lets its own go
        // when it ends. So these are let go from a list of their own, which then goes back to
        // keep its storage for the thread's next pass.
        std::vector<detail::HeldRelease> held;
        held.swap(queue.held);
        for (auto& next : held) {
            next.release(std::move(next.inner));
        }
        held.clear();
        if (queue.held.empty()) {
            queue.held.swap(held);
        }
    }

    // Whether releases on this thread are held now.
    static bool active() { return detail::held_releases.depth > 0; }
};

// Copies are counted in the state; the count is 0 exactly when one handle of the first is left.
// A moved-from handle holds and counts nothing. A release on a thread that holds releases
// (`HoldReleases`) happens, count and all, when the holding ends.
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
        if (HoldReleases::active()) {
            detail::held_releases.held.push_back({std::move(inner_), &release_erased});
            return;
        }
        release_now(std::move(inner_));
    }

    static void release_erased(std::shared_ptr<void> inner) {
        release_now(std::static_pointer_cast<Inner>(std::move(inner)));
    }

    // The wake and the reference go after unlocking: the reference may be the last one.
    static void release_now(std::shared_ptr<Inner> inner) {
        Waker waker;
        {
            std::lock_guard lock(inner->mutex);
            auto& state = inner->state;
            if (state.ref_count != 0) {
                --state.ref_count;
                if constexpr (ParksDriver<Inner>) {
                    if (state.ref_count == 0) {
                        waker = std::exchange(state.driver_waker, Waker());
                    }
                }
            }
        }
        // Only schedules the driver, which then takes the lock for its last pass.
        waker.wake();
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
// Handles the pass releases are let go after the lock.
template <class Inner>
Poll<Result<void, IoError>> poll_driver(Inner& inner, const Waker& waker,
                                        const DriverTexts& texts) {
    QV_TRACE(texts.target, "{}", texts.poll);
    // Both go after the lock: what the pass released, and the waker parked before this one.
    HoldReleases hold;
    Waker replaced;
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
        replaced = std::exchange(state.driver_waker, waker);
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
