// The status function of the C interface.
#include "ffi/ffi_common.h"

#include "util/log.h"

namespace ffi = quorvel::ffi;

extern "C" {

char* quorvel_agent_status(const RuntimePtr* runtime, const AgentPtr* agent) noexcept {
    QV_TRACE(ffi::kTarget, "FFI: Starting agent status request");
    if (runtime == nullptr || agent == nullptr || ffi::on_runtime_thread()) {
        return nullptr;
    }
    QV_TRACE(ffi::kTarget, "FFI: Converted runtime and agent pointers");
    // INTEGRATOR: the status collection and its text come with the status report
    // (src/agent/status/); until they are on this branch there is no report to hand over.
    return nullptr;
}

}  // extern "C"
