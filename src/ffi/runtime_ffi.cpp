// Version, logging and runtime functions of the C interface.
#include "ffi/ffi_common.h"

#include "util/log.h"
#include "version_info.h"

#include <atomic>
#include <exception>
#include <thread>

namespace ffi = quorvel::ffi;

namespace {

std::string version_text() {
    quorvel::VersionInfo info;
    return info.version + " (" + info.full_commit() + ")";
}

}  // namespace

extern "C" {

const char* quorvel_agent_version(void) noexcept {
    // Built once, by whichever caller comes first; never freed.
    static const std::string version = version_text();
    return version.c_str();
}

int32_t quorvel_agent_init_logging(void) noexcept {
    static std::atomic<bool> installed{false};
    if (installed.exchange(true)) {
        return QUORVEL_AGENT_ERR_FAILURE;
    }
    quorvel::log::set_min_level(quorvel::log::Level::Trace);
    quorvel::log::add_sink(std::make_shared<quorvel::log::StderrSink>());
    return QUORVEL_AGENT_OK;
}

int32_t quorvel_agent_runtime(RuntimePtr** out_runtime) noexcept {
    if (out_runtime == nullptr) {
        return QUORVEL_AGENT_ERR_FAILURE;
    }
    std::shared_ptr<quorvel::Runtime> runtime;
    try {
        runtime = quorvel::Runtime::create();
    } catch (const std::system_error&) {
        // Worker threads or the reactor could not be created.
        return QUORVEL_AGENT_ERR_FAILURE;
    }
    *out_runtime = new RuntimePtr{std::move(runtime)};
    return QUORVEL_AGENT_OK;
}

void quorvel_agent_runtime_free(RuntimePtr* runtime) noexcept {
    if (runtime == nullptr) {
        return;
    }
    std::unique_ptr<RuntimePtr> record(runtime);
    if (record->runtime->is_worker_thread()) {
        // A worker cannot join itself: release the runtime from a thread of its own, which
        // waits until this worker has left the callback.
        std::thread([owned = std::move(record)]() mutable { owned.reset(); }).detach();
    }
}

}  // extern "C"
