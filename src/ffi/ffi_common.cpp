#include "ffi/ffi_common.h"

#include "util/http_client.h"
#include "util/log.h"
#include "util/shown_text.h"
#include "util/unicode.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

namespace quorvel::ffi {

namespace {

// Positions 12 and 13 map to -117 and -116 in this order: hosts rely on these fixed values.
constexpr std::array<int32_t, 16> kAgentErrorCodes = {
    -101, -104, -105, -106, -108, -109, -110, -111, -112, -113, -114, -115, -117, -116, -118, -119,
};
static_assert(kAgentErrorCodes.size() == agent::Error::kVariantCount);

}  // namespace

int32_t error_code_at(std::size_t position) {
    return position < kAgentErrorCodes.size() ? kAgentErrorCodes[position]
                                              : QUORVEL_AGENT_ERR_FAILURE;
}

int32_t error_code(const agent::Error& error) {
    return error_code_at(error.index());
}

Result<std::string_view, CStringError> read_c_string(const char* text) {
    if (text == nullptr) {
        return unexpected(CStringError::Null);
    }
    std::string_view view(text);
    if (!is_valid_utf8(view)) {
        return unexpected(CStringError::Utf8);
    }
    return view;
}

namespace {

std::atomic<HostAllocator> host_allocator{nullptr};

}  // namespace

void* allocate_for_host(std::size_t size) noexcept {
    const HostAllocator allocator = host_allocator.load(std::memory_order_acquire);
    return allocator != nullptr ? allocator(size) : std::malloc(size);
}

HostAllocator replace_host_allocator_for_tests(HostAllocator allocator) noexcept {
    return host_allocator.exchange(allocator, std::memory_order_acq_rel);
}

char* malloc_c_string(std::string_view text) noexcept {
    if (text.find('\0') != std::string_view::npos || text.size() == SIZE_MAX) {
        return nullptr;
    }
    auto* out = static_cast<char*>(allocate_for_host(text.size() + 1));
    if (out == nullptr) {
        return nullptr;
    }
    std::memcpy(out, text.data(), text.size());
    out[text.size()] = '\0';
    return out;
}

void report_exception(std::string_view function, const char* what) noexcept {
    try {
        QV_ERROR(kTarget, "{} failed: {}", function, outside_text(what));
    } catch (...) {
        // Nothing is left to tell the host with; the result code says the call failed.
    }
}

char* status_c_string(std::string_view report) noexcept {
    if (report.find('\0') != std::string_view::npos) {
        return malloc_c_string("Status generation failed");
    }
    return malloc_c_string(report);
}

namespace {

// The runtime behind the shares, and what must stay until its workers are joined.
class RuntimeOwner {
  public:
    explicit RuntimeOwner(std::shared_ptr<Runtime> runtime) : runtime_(std::move(runtime)) {}

    ~RuntimeOwner() {
        runtime_->stop();
        // After the stop, so that the kept devices close with it, and before the runtime, whose
        // reactor they are registered with.
        kept_.clear();
    }

    // Takes the one device in `node` into the kept ones, unless it is kept already; allocates
    // nothing. What is not taken goes with `node`, after the lock.
    void keep(std::list<std::shared_ptr<agent::AsyncDevice>>& node) noexcept {
        std::lock_guard lock(mutex_);
        if (std::find(kept_.begin(), kept_.end(), node.front()) == kept_.end()) {
            kept_.splice(kept_.end(), node);
        }
    }

  private:
    std::shared_ptr<Runtime> runtime_;
    std::mutex mutex_;
    std::list<std::shared_ptr<agent::AsyncDevice>> kept_;
};

// A runtime's owner, alone in a list node: moved between lists by splicing, which allocates
// nothing.
using OwnerNode = std::list<std::unique_ptr<RuntimeOwner>>;

// Stops, one after another on a thread of its own, the runtimes whose last share went on a
// runtime's worker: one of their own, which cannot join itself, or another runtime's, which must
// not wait for them (two runtimes whose callbacks free each other's agents would each wait for
// the other, and a worker held for a whole stop holds its agent's tasks with it).
//
// There is one for the process, made with the first runtime share and never destroyed: a last
// share may go at any point of the process's exit (a host's own exit handler may free handles on
// the worker that called exit()), and must never meet a stopper that is gone. Its exit handler
// waits for the stops in hand; a stop handed over after that leaves its runtime running until the
// process has ended, as a handle still held does, instead of starting a thread the exit would
// not wait for.
class Stopper {
  public:
    static Stopper& instance() {
        static Stopper* const stopper = [] {
            // The libraries that a stop uses are set up first, so that any exit handler of
            // theirs runs after this one.
            (void)http_client_global_init();
            auto* made = new Stopper;
            std::atexit([] { instance().finish(); });
            return made;
        }();
        return *stopper;
    }

    // Takes the one runtime in `node` (a list node made with the runtime's shares, so that
    // handing it over allocates nothing): it runs on a worker, which may be ending a free whose
    // memory ran out, and inside a share's deleter, which must not throw.
    void stop(OwnerNode& node) noexcept {
        std::lock_guard lock(mutex_);
        if (!exiting_ && !thread_.joinable()) {
            try {
                thread_ = std::thread([this] { run(); });
            } catch (...) {
                // No thread for the stop (memory or threads ran out): the runtime is left
                // running, as below.
            }
        }
        if (exiting_ || !thread_.joinable()) {
            // Held where the leak check finds it: the process's end takes it.
            left_.splice(left_.end(), node);
            return;
        }
        queue_.splice(queue_.end(), node);
        wake_.notify_one();
    }

  private:
    Stopper() = default;

    void finish() {
        // exit() called on a runtime worker (a host callback may) runs this there, and a stop in
        // hand may be that worker's runtime: the stop must not wait for this thread while it
        // waits for the stop.
        Runtime::worker_leaves_with_the_process();
        {
            std::lock_guard lock(mutex_);
            exiting_ = true;
        }
        wake_.notify_one();
        // Nothing starts the thread any more, so it is read without the lock.
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    void run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return exiting_ || !queue_.empty(); });
            if (queue_.empty()) {
                return;
            }
            OwnerNode runtime;
            runtime.splice(runtime.end(), queue_, queue_.begin());
            lock.unlock();
            // Joins the workers, the one that released the runtime among them unless it is
            // ending the process.
            runtime.clear();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    OwnerNode queue_;
    bool exiting_ = false;
    OwnerNode left_;
    std::thread thread_;
};

// The deleter of the shares, which owns the runtime. A last share released on any runtime's
// worker hands the stop to the stopper; only a host thread stops and joins on the spot.
struct LastShare {
    // The owner, alone in a list node that the stopper takes over without allocating.
    OwnerNode owner;

    void operator()(Runtime* /*last*/) noexcept {
        if (Runtime::on_worker_thread()) {
            Stopper::instance().stop(owner);
        } else {
            owner.clear();
        }
    }
};

}  // namespace

RuntimeShare share_runtime(std::shared_ptr<Runtime> runtime) {
    // Made before any share can go, so that its exit handler is in place whenever a stop is
    // handed to it.
    Stopper::instance();
    Runtime* shared = runtime.get();
    OwnerNode owner;
    owner.push_back(std::make_unique<RuntimeOwner>(std::move(runtime)));
    return RuntimeShare(shared, LastShare{std::move(owner)});
}

// Handed to keep_until_stopped by value once the agent runs: moving it must not fail either.
static_assert(std::is_nothrow_move_constructible_v<DeviceToKeep>);

DeviceToKeep::DeviceToKeep(std::shared_ptr<agent::AsyncDevice> device) {
    node_.push_back(std::move(device));
}

void keep_until_stopped(const RuntimeShare& share, DeviceToKeep device) noexcept {
    // Every share comes from share_runtime, and the caller's share keeps the owner in place.
    std::get_deleter<LastShare>(share)->owner.front()->keep(device.node_);
}

bool on_runtime_thread() {
    return Runtime::on_worker_thread();
}

}  // namespace quorvel::ffi
