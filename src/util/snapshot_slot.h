// A slot holding one shared, immutable version of a value, which hot paths load on every use and
// a control path replaces whole. A loaded version stays alive for as long as its holder keeps it;
// the old version is destroyed by whichever holder releases it last, never inside the slot.
//
// Why not std::atomic<std::shared_ptr>: GCC 12's implementation releases its internal lock bit
// with relaxed ordering after a load, so the load's read of the stored pointer is not ordered
// before a later store's write of it. That is a data race by the memory model (ThreadSanitizer
// reports it), and on weakly ordered processors a load could in principle pair the new pointer with
// the old reference count. Here the flag is taken with acquire and given back with release on both
// sides.
//
// The flag is held only to copy the pointer (one reference-count increment) or to swap it, never
// while a version is used or destroyed, so readers never wait on each other's work.
#pragma once

#include <atomic>
#include <memory>
#include <thread>
#include <utility>

namespace quorvel {

template <class T>
class SnapshotSlot {
  public:
    explicit SnapshotSlot(std::shared_ptr<const T> initial) : value_(std::move(initial)) {}
    SnapshotSlot(const SnapshotSlot&) = delete;
    SnapshotSlot& operator=(const SnapshotSlot&) = delete;

    std::shared_ptr<const T> load() const {
        lock();
        std::shared_ptr<const T> copy = value_;
        unlock();
        return copy;
    }

    // Publishes `next`; readers that loaded the old version keep it.
    void store(std::shared_ptr<const T> next) { exchange(std::move(next)); }

    // Publishes `next` and hands back the version it replaced.
    std::shared_ptr<const T> exchange(std::shared_ptr<const T> next) {
        lock();
        value_.swap(next);
        unlock();
        return next;
    }

  private:
    void lock() const {
        for (int spins = 0; flag_.exchange(true, std::memory_order_acquire);) {
            while (flag_.load(std::memory_order_relaxed)) {
                // The holder only copies or swaps a pointer; yield only if it was preempted.
                if (++spins > 64) {
                    std::this_thread::yield();
                }
            }
        }
    }
    void unlock() const { flag_.store(false, std::memory_order_release); }

    mutable std::atomic<bool> flag_{false};
    std::shared_ptr<const T> value_;
};

}  // namespace quorvel
