// Version, logging and runtime functions of the C interface.
#include "ffi/ffi_common.h"

#include "util/log.h"
#include "version_info.h"

#include <atomic>
#include <exception>

namespace ffi = quorvel::ffi;

namespace {

// What the version function gives should its text be impossible to build.
constexpr const char* kUnknownVersion = "unknown (unknown)";

std::string version_text() {
    quorvel::VersionInfo info;
    return info.version + " (" + info.full_commit() + ")";
}

}  // namespace

extern "C" {

const char* quorvel_agent_version(void) noexcept {
    return ffi::guarded(
        "quorvel_agent_version", static_cast<const char*>(kUnknownVersion), [&]() -> const char* {
            // Built once, by whichever caller comes first, and never destroyed: a host's exit
            // handler may still ask for it after the static destructors have begun.
            static const std::string* const version = new std::string(version_text());
            return version->c_str();
        });
}

int32_t quorvel_agent_init_logging(void) noexcept {
    return ffi::guarded("quorvel_agent_init_logging", int32_t{QUORVEL_AGENT_ERR_FAILURE},
                        [&]() -> int32_t {
                            static std::atomic<bool> installed{false};
                            if (installed.exchange(true)) {
                                return QUORVEL_AGENT_ERR_FAILURE;
                            }
                            // A call that runs out of memory leaves logging as it was, and a
                            // later call may install it.
                            try {
                                auto sink = std::make_shared<quorvel::log::StderrSink>();
                                quorvel::log::set_min_level(quorvel::log::Level::Trace);
                                quorvel::log::add_sink(std::move(sink));
                            } catch (...) {
                                installed.store(false);
                                throw;
                            }
                            return QUORVEL_AGENT_OK;
                        });
}

int32_t quorvel_agent_runtime(RuntimePtr** out_runtime) noexcept {
    return ffi::guarded("quorvel_agent_runtime", int32_t{QUORVEL_AGENT_ERR_FAILURE},
                        [&]() -> int32_t {
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
                            *out_runtime = new RuntimePtr{ffi::share_runtime(std::move(runtime))};
                            return QUORVEL_AGENT_OK;
                        });
}

void quorvel_agent_runtime_free(RuntimePtr* runtime) noexcept {
    ffi::guarded("quorvel_agent_runtime_free", [&] {
        // The runtime stops with the last of its shares, which may be this one.
        delete runtime;
    });
}

}  // extern "C"
