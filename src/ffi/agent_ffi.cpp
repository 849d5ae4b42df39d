// Agent lifecycle functions of the C interface: start, shutdown and release.
#include "ffi/ffi_common.h"
#include "ffi/network_change.h"

#include "util/log.h"

#include <memory>
#include <optional>
#include <type_traits>

namespace ffi = quorvel::ffi;

extern "C" {

int32_t quorvel_agent_start(const RuntimePtr* runtime, const AgentConfigPtr* config,
                            const char* config_path, const TunDevicePtr* tun_device,
                            QuorvelNetworkChangeCallback network_change_callback, void* /*ignored*/,
                            AgentPtr** out_agent) noexcept {
    return ffi::guarded(
        "quorvel_agent_start", int32_t{QUORVEL_AGENT_ERR_FAILURE}, [&]() -> int32_t {
            if (runtime == nullptr || config == nullptr || config_path == nullptr ||
                network_change_callback == nullptr || out_agent == nullptr) {
                return QUORVEL_AGENT_ERR_FAILURE;
            }
            auto path = ffi::read_c_string(config_path);
            if (!path) {
                return ffi::code_of(path.error());
            }
            // The device lives in its own runtime's reactor, which that runtime's handles keep
            // alive, not this one's.
            if (tun_device != nullptr && tun_device->runtime != runtime->runtime) {
                return QUORVEL_AGENT_ERR_FAILURE;
            }
            if (ffi::on_runtime_thread()) {
                return QUORVEL_AGENT_ERR_FAILURE;
            }
            // Whatever can fail is done before the agent starts: once it runs, it is handed to
            // the host by steps that cannot fail, the out-parameter written last. A start that
            // fails leaves nothing running and `*out_agent` as it was.
            auto record = std::make_unique<AgentPtr>(AgentPtr{runtime->runtime, std::nullopt});
            std::optional<ffi::DeviceToKeep> device;
            if (tun_device != nullptr) {
                device.emplace(tun_device->device);
            }
            quorvel::agent::PlatformDependent platform{
                .tun_device = tun_device != nullptr ? tun_device->device : nullptr,
                .network_listener = ffi::network_change_listener(network_change_callback),
            };
            auto started = runtime->runtime->block_on(quorvel::agent::Agent::start(
                *config->config, std::string(*path), std::move(platform)));
            if (!started) {
                QV_WARN(ffi::kTarget, "Agent start did not complete: {}",
                        quorvel::to_string(started.error()));
                return QUORVEL_AGENT_ERR_FAILURE;
            }
            if (!*started) {
                return ffi::error_code(started->error());
            }
            static_assert(std::is_nothrow_move_constructible_v<quorvel::agent::Agent>);
            record->agent.emplace(std::move(**started));
            if (device) {
                ffi::keep_until_stopped(runtime->runtime, std::move(*device));
            }
            *out_agent = record.release();
            return QUORVEL_AGENT_OK;
        });
}

int32_t quorvel_agent_shutdown(const RuntimePtr* runtime, const AgentPtr* agent) noexcept {
    return ffi::guarded("quorvel_agent_shutdown", int32_t{QUORVEL_AGENT_ERR_FAILURE},
                        [&]() -> int32_t {
                            if (runtime == nullptr || agent == nullptr ||
                                agent->runtime != runtime->runtime || ffi::on_runtime_thread()) {
                                return QUORVEL_AGENT_ERR_FAILURE;
                            }
                            auto done = runtime->runtime->block_on(agent->agent->shutdown());
                            if (!done) {
                                QV_WARN(ffi::kTarget, "Agent shutdown did not complete: {}",
                                        quorvel::to_string(done.error()));
                                return QUORVEL_AGENT_ERR_FAILURE;
                            }
                            return QUORVEL_AGENT_OK;
                        });
}

void quorvel_agent_free(AgentPtr* agent) noexcept {
    if (agent == nullptr) {
        return;
    }
    // Each step below goes on whatever the one before it met: memory running out may lose a log
    // line or leave a task of the agent asleep until its runtime stops, but never keeps the
    // socket open or the handle's share of the runtime.
    //
    // The node of an agent that was shut down (its token is cancelled, as shutdown does first)
    // stops now: nothing of the agent sends any more, and the status report that reads the node
    // is no longer asked for once the handle goes. Its socket then closes on the runtime, which
    // the record's share keeps running until then; the stop closes it at once, without the
    // runtime, when memory runs out for that. On a host thread the free waits for the close, so
    // that a start right after it binds the same port. On a runtime's thread (a callback that
    // frees an agent) it does not: the close may need that very thread. An agent still running
    // keeps its node: its tasks run on until they end or the runtime stops.
    std::optional<quorvel::p2p::Node::SocketClosed> socket;
    if (agent->agent && agent->agent->inner()->cancellation_token().is_cancelled()) {
        if (const quorvel::p2p::NodeRef node = agent->agent->node()) {
            ffi::trace_if_possible("Stop the node of the shut-down agent");
            node->stop();
            socket.emplace(node->socket_closed());
        }
    }
    agent->agent.reset();
    if (socket && !ffi::on_runtime_thread()) {
        socket->wait();
    }
    // Then the record's share of the runtime, perhaps the last one.
    delete agent;
}

}  // extern "C"
