// A document file reader for tests whose reads of one path do not return until the test releases
// them, like a read from a network file system that stopped answering; other paths are read as
// usual. Its state is shared with the reads it starts, so an abandoned read may outlive it.
#pragma once

#include "agent/retrieval.h"
#include "util/file_io.h"

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <string>

namespace quorvel::agent::testing {

class StuckReader {
  public:
    explicit StuckReader(std::string stuck_path) : stuck_path_(std::move(stuck_path)) {}
    // Lets the reads it holds end, so that no thread outlives the test.
    ~StuckReader() { release(); }
    StuckReader(const StuckReader&) = delete;
    StuckReader& operator=(const StuckReader&) = delete;

    // The reader, waited for `timeout` at most by a retrieval.
    DocumentFileReader reader(std::chrono::milliseconds timeout) const {
        auto read = [gate = gate_, stuck = stuck_path_](const std::string& path,
                                                        std::size_t max_bytes) {
            if (path == stuck) {
                std::unique_lock lock(gate->mutex);
                ++gate->calls;
                gate->changed.wait(lock, [&] { return gate->released; });
            }
            auto text = read_regular_file(path, max_bytes);
            if (path == stuck) {
                std::lock_guard lock(gate->mutex);
                ++gate->returned;
                gate->changed.notify_all();
            }
            return text;
        };
        return DocumentFileReader{read, timeout};
    }

    // From now on, reads of the stuck path return.
    void release() {
        std::lock_guard lock(gate_->mutex);
        gate_->released = true;
        gate_->changed.notify_all();
    }
    // Reads of the stuck path begun so far.
    int calls() const {
        std::lock_guard lock(gate_->mutex);
        return gate_->calls;
    }
    // Waits up to a minute until every read of the stuck path begun so far has returned.
    bool all_returned() const {
        std::unique_lock lock(gate_->mutex);
        return gate_->changed.wait_for(lock, std::chrono::minutes(1),
                                       [&] { return gate_->returned == gate_->calls; });
    }

    // Runs `step` on a thread of its own; true when it returned within `deadline`, a guard against
    // hanging that is generous for a loaded machine. A step still running then is let go by
    // releasing the reads, and waited for.
    template <class Step>
    bool returns_within(std::chrono::seconds deadline, Step step) {
        auto done = std::async(std::launch::async, std::move(step));
        if (done.wait_for(deadline) == std::future_status::ready) {
            done.get();
            return true;
        }
        release();
        done.get();
        return false;
    }

  private:
    struct Gate {
        std::mutex mutex;
        std::condition_variable changed;
        bool released = false;
        int calls = 0;
        int returned = 0;
    };
    std::shared_ptr<Gate> gate_ = std::make_shared<Gate>();
    std::string stuck_path_;
};

}  // namespace quorvel::agent::testing
