// The status function of the C interface.
#include "ffi/ffi_common.h"

#include "agent/status/status.h"
#include "util/log.h"

namespace ffi = quorvel::ffi;

extern "C" {

char* quorvel_agent_status(const RuntimePtr* runtime, const AgentPtr* agent) noexcept {
    return ffi::guarded("quorvel_agent_status", static_cast<char*>(nullptr), [&]() -> char* {
        QV_TRACE(quorvel::ffi::kTarget, "FFI: Starting agent status request");
        if (runtime == nullptr || agent == nullptr || agent->runtime != runtime->runtime ||
            quorvel::ffi::on_runtime_thread()) {
            return nullptr;
        }
        QV_TRACE(quorvel::ffi::kTarget, "FFI: Converted runtime and agent pointers");
        auto report = runtime->runtime->block_on(quorvel::agent::agent_status_text(*agent->agent));
        if (!report) {
            // Only a runtime that stopped meanwhile ends the collection without a text.
            QV_WARN(quorvel::ffi::kTarget, "Agent status request did not complete: {}",
                    quorvel::to_string(report.error()));
            return nullptr;
        }
        QV_TRACE(quorvel::ffi::kTarget, "FFI: Status request completed successfully");
        return quorvel::ffi::status_c_string(*report);
    });
}

}  // extern "C"
