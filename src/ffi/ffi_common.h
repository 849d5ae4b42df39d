// What the exported C functions share: the handle records behind the header's opaque types, the
// result codes, the conversion of agent errors to codes, and the reading and making of C strings.
#pragma once

#include "agent/agent.h"
#include "agent/config/agent_config.h"
#include "agent/error.h"
#include "agent/netif/async_device.h"
#include "util/log.h"
#include "util/runtime.h"

#include <quorvel/agent.h>

#include <cstdint>
#include <exception>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace quorvel::ffi {

// A share of the runtime behind the handles. The runtime handle and every device and agent handle
// made on that runtime hold one, so the host may release them in any order: the runtime's threads
// stop, are joined and take every task still on the runtime with them when the last share goes.
// When that happens on one of the runtime's own threads, a new thread does the stopping, since a
// thread cannot join itself.
using RuntimeShare = std::shared_ptr<Runtime>;
RuntimeShare share_runtime(std::shared_ptr<Runtime> runtime);

// A device made ready to be kept by `keep_until_stopped`: what keeping it needs is allocated here,
// before the start that keeps it, so that once an agent runs with the device nothing is left that
// can fail.
class DeviceToKeep {
  public:
    explicit DeviceToKeep(std::shared_ptr<agent::AsyncDevice> device);

  private:
    friend void keep_until_stopped(const RuntimeShare& share, DeviceToKeep device) noexcept;
    std::list<std::shared_ptr<agent::AsyncDevice>> node_;
};

// Keeps the device open until the runtime of `share` (made by share_runtime) has stopped: the
// device a started agent uses is then closed at that stop, never before, whichever of the agent's
// tasks let go of it last. Allocates nothing, and never fails.
void keep_until_stopped(const RuntimeShare& share, DeviceToKeep device) noexcept;

}  // namespace quorvel::ffi

// The handle records. The host only ever sees their addresses.
struct RuntimePtr {
    quorvel::ffi::RuntimeShare runtime;
};
struct AgentConfigPtr {
    std::unique_ptr<quorvel::agent::AgentConfig> config;
};
// The share comes first so that the agent and the device, which live in the runtime's reactor,
// are released before it. The record is made before the agent starts and the agent moved into it
// (which cannot fail) once it runs.
struct AgentPtr {
    quorvel::ffi::RuntimeShare runtime;
    std::optional<quorvel::agent::Agent> agent;
};
struct TunDevicePtr {
    quorvel::ffi::RuntimeShare runtime;
    std::shared_ptr<quorvel::agent::AsyncDevice> device;
};

namespace quorvel::ffi {

inline constexpr std::string_view kTarget = "quorvel_agent::ffi";

// The code of an agent error, by the variant's position.
int32_t error_code(const agent::Error& error);
// The code of the variant at `position` (0 to 15).
int32_t error_code_at(std::size_t position);

enum class CStringError { Null, Utf8 };

// The text of a NUL-terminated argument, measured up to its NUL, if it is present and UTF-8.
Result<std::string_view, CStringError> read_c_string(const char* text);

// -2 for a NULL argument, -1 for invalid UTF-8.
inline int32_t code_of(CStringError error) {
    return error == CStringError::Null ? QUORVEL_AGENT_ERR_FAILURE : QUORVEL_AGENT_ERR_UTF8;
}

// What the C interface allocates for the host to release with free() (strings, the network
// list) is allocated with this function: std::malloc, or what a test put in place.
using HostAllocator = void* (*)(std::size_t size);
void* allocate_for_host(std::size_t size) noexcept;

// Puts `allocator` (which returns memory that free() releases, or null) in place of std::malloc
// for what the C interface hands to the host, and returns the one it replaced; null restores
// std::malloc. For tests that make memory run out. The library's shared object exports only the
// quorvel_agent_ functions: no host can reach it.
HostAllocator replace_host_allocator_for_tests(HostAllocator allocator) noexcept;

// A malloc'ed NUL-terminated copy (allocate_for_host), or null when `text` holds a NUL byte (a C
// string cannot carry it) or memory runs out. A caller that must tell the two apart looks for the
// NUL itself.
char* malloc_c_string(std::string_view text) noexcept;

// The status report as the host receives it: a malloc'ed copy of `report`, or of "Status
// generation failed" when the report holds a NUL byte; null when memory runs out.
char* status_c_string(std::string_view report) noexcept;

// Logs that the work of the exported function `function` threw; never throws itself.
void report_exception(std::string_view function, const char* what) noexcept;

// A TRACE line that is only tried: should memory run out for it, the line is lost and nothing
// else. For the steps of a release and of the functions that cannot fail, which go on whatever the
// log does.
template <class... Args>
void trace_if_possible(fmt::format_string<Args...> format, Args&&... args) noexcept {
    try {
        QV_TRACE(kTarget, format, std::forward<Args>(args)...);
    } catch (...) {
    }
}

// Runs the work of an exported function so that no exception leaves the C interface: what the
// work throws (memory running out, a library's own exception) is logged where logging still works,
// and the function returns `failed`.
template <class R, class Work>
R guarded(std::string_view function, R failed, Work&& work) noexcept {
    try {
        return std::forward<Work>(work)();
    } catch (const std::exception& e) {
        report_exception(function, e.what());
    } catch (...) {
        report_exception(function, "an exception of an unknown type");
    }
    return failed;
}

template <class Work>
void guarded(std::string_view function, Work&& work) noexcept {
    guarded(function, false, [&] {
        std::forward<Work>(work)();
        return true;
    });
}

// Host-facing blocking calls refuse on a runtime worker thread (the callback among them): the
// operation would wait for the thread it blocks.
bool on_runtime_thread();

}  // namespace quorvel::ffi
