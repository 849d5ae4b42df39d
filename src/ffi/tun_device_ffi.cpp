// Tunnel-device and socket functions of the C interface.
#include "ffi/ffi_common.h"

#include "util/log.h"

#include <boost/asio/this_coro.hpp>

#include <memory>

namespace ffi = quorvel::ffi;

namespace {

using DeviceResult =
    quorvel::Result<std::shared_ptr<quorvel::agent::AsyncDevice>, quorvel::IoError>;

// Registers the descriptor with the runtime's reactor from inside the runtime.
boost::asio::awaitable<DeviceResult> create_device(int fd) {
    auto executor = co_await boost::asio::this_coro::executor;
    co_return quorvel::agent::AsyncDevice::from_fd(executor, fd);
}

}  // namespace

extern "C" {

int32_t quorvel_agent_tun_device_create(const RuntimePtr* runtime, int32_t fd,
                                        TunDevicePtr** out_device) noexcept {
    return ffi::guarded(
        "quorvel_agent_tun_device_create", int32_t{QUORVEL_AGENT_ERR_FAILURE}, [&]() -> int32_t {
            if (runtime == nullptr || out_device == nullptr) {
                return QUORVEL_AGENT_ERR_FAILURE;
            }
            if (ffi::on_runtime_thread()) {
                // The host keeps its descriptor: nothing was tried.
                return QUORVEL_AGENT_ERR_FAILURE;
            }
            // The record is made first: once the device holds the descriptor, nothing may fail,
            // since a device released closes it, and the host must find it as it was.
            auto record = std::make_unique<TunDevicePtr>(TunDevicePtr{runtime->runtime, nullptr});
            auto created = runtime->runtime->block_on(create_device(fd));
            if (!created || !*created) {
                // The device leaves a descriptor it could not take over to the host, open and
                // unchanged.
                QV_TRACE(ffi::kTarget, "Failed to create TUN device from file descriptor {}", fd);
                return QUORVEL_AGENT_ERR_FAILURE;
            }
            record->device = std::move(**created);
            *out_device = record.release();
            return QUORVEL_AGENT_OK;
        });
}

void quorvel_agent_tun_device_free(TunDevicePtr* device) noexcept {
    ffi::guarded("quorvel_agent_tun_device_free", [&] { delete device; });
}

int32_t quorvel_agent_close_udp_sockets(void* /*ignored*/) noexcept {
    return ffi::guarded(
        "quorvel_agent_close_udp_sockets", int32_t{QUORVEL_AGENT_ERR_FAILURE}, [&]() -> int32_t {
            ffi::trace_if_possible("FFI: Starting UDP sockets closure");
            ffi::trace_if_possible(
                "FFI: Node uses single UDP socket (no per-interface sockets to close)");
            ffi::trace_if_possible("FFI: Operation successful");
            return QUORVEL_AGENT_OK;
        });
}

}  // extern "C"
