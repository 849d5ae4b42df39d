// The running agent's shared part, `AgentInner`: one object behind one shared handle, kept by the
// agent handle and by the agent's tasks. Its mutable part, `inner::State`, sits behind one fair
// asynchronous read-write lock: held for writing by each housekeeping pass and by shutdown, read
// by the status report. Everything else in it is fixed at start or reached through the
// components' own locks, atomics and snapshots.
#pragma once

#include "agent/config/agent_config.h"
#include "agent/dns/agent_dns.h"
#include "agent/firewall/agent_firewall.h"
#include "agent/netif/agent_netif.h"
#include "agent/netif/node_peer.h"
#include "agent/network_listener.h"
#include "agent/platform_dependent.h"
#include "agent/router/agent_router.h"
#include "agent/status/login_status.h"
#include "p2p/identity.h"
#include "p2p/node.h"
#include "util/cancellation_token.h"
#include "util/http_client.h"
#include "util/notify.h"
#include "util/rwlock.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

namespace quorvel::agent {

inline constexpr std::string_view kInnerTarget = "quorvel_agent::agent::inner";

using AgentFirewall = BasicAgentFirewall<NodePeer>;

// The login flow's record. Nothing on this platform changes it after start; the status report
// reads it.
struct LoginState {
    LoginStatus status;
    std::shared_ptr<Notify> notify;
    // The login flow's task, when one runs; never on this platform.
    std::shared_ptr<void> task;

    // Status `NotStarted`, a new notification with no waiter and no stored permit, no task.
    static LoginState default_state();
};

namespace inner {

struct State {
    AgentConfig config;
    std::optional<std::string> update_available;
    std::optional<std::string> ui_version;
    std::optional<NetworkChange> last_network_change;
    LoginState login;
    std::optional<std::chrono::nanoseconds> time_deviation;
    std::optional<UpdateStatus> update_status;

    // A change of the network list or of a name that is not in the file yet: set by a pass that
    // changed either, cleared only by a save that succeeded, so a failed save is tried again.
    bool save_pending = false;

    explicit State(AgentConfig running_config)
        : config(std::move(running_config)), login(LoginState::default_state()) {}

    // Writes the running configuration to `path` (atomically: a failed save leaves the file as
    // it was).
    Result<void, Error> save_config(const std::string& path) const { return config.save(path); }
};

}  // namespace inner

class AgentInner : public std::enable_shared_from_this<AgentInner> {
  public:
    struct Parts {
        CancellationToken cancellation_token;
        p2p::NodeRef node;
        std::shared_ptr<AgentNetif> netif;
        std::shared_ptr<AgentFirewall> firewall;
        std::unique_ptr<AgentRouter> router;
        std::shared_ptr<AgentDns> dns;
        std::string config_path;
        std::shared_ptr<PlatformDependent> platform_dependent;
        HttpClient client;
        AgentConfig config;
        p2p::Identity identity;
        uint16_t mtu;
        boost::asio::any_io_executor executor;
        // Time between housekeeping passes.
        std::chrono::milliseconds housekeeping_period{std::chrono::seconds(10)};
    };

    explicit AgentInner(Parts parts);
    // Releases the parts in the order of their declaration: the node first, the executor last.
    ~AgentInner();

    AgentInner(const AgentInner&) = delete;
    AgentInner& operator=(const AgentInner&) = delete;

    // Pushes every network's desired state into the components, in a fixed order: interface hook,
    // route hook, firewall, DNS; then updates the networks' health. The caller holds the state's
    // write lock across the call; `self` is this object's own shared handle.
    static boost::asio::awaitable<void> apply_desired_state(std::shared_ptr<AgentInner> self,
                                                            inner::State& state);

    // The body of the housekeeping task: one pass at once, then one every housekeeping period
    // (10 seconds), passes of missed ticks back to back, until `token` is cancelled.
    static boost::asio::awaitable<void> housekeeping_runner(std::shared_ptr<AgentInner> self,
                                                            CancellationToken token);
    // The runner's loop with its clock given: `tick` completes when the next pass is due. The
    // token is looked at before every wait and wins over a tick due at the same time; a pass is
    // never cut short by it. A failed pass is logged and the loop goes on.
    static boost::asio::awaitable<void> housekeeping_loop(
        std::shared_ptr<AgentInner> self, CancellationToken token,
        std::function<boost::asio::awaitable<void>()> tick);

    // Cancels the token, then, holding the state's write lock, applies an empty desired state
    // for every network and shuts the DNS component down.
    boost::asio::awaitable<void> shutdown();

    const CancellationToken& cancellation_token() const { return cancellation_token_; }
    const p2p::NodeRef& node() const { return node_; }
    const std::shared_ptr<AgentNetif>& netif() const { return netif_; }
    const std::shared_ptr<AgentFirewall>& firewall() const { return firewall_; }
    AgentRouter& router() const { return *router_; }
    const std::shared_ptr<AgentDns>& dns() const { return dns_; }
    const std::string& config_path() const { return config_path_; }
    const std::shared_ptr<PlatformDependent>& platform_dependent() const {
        return platform_dependent_;
    }
    const HttpClient& client() const { return client_; }
    const RwLock<inner::State>& state() const { return state_; }
    const p2p::Identity& identity() const { return identity_; }
    const p2p::PubKey& public_key() const { return identity_.pk(); }
    uint16_t mtu() const { return mtu_; }
    // The runtime the agent's tasks run on.
    const boost::asio::any_io_executor& executor() const { return executor_; }

    // Housekeeping passes that ran to their end; for tests and diagnostics.
    uint64_t completed_passes() const { return completed_passes_.load(); }

    // One pass as the runner starts it: takes the state's write lock, gives up when `token` was
    // cancelled meanwhile, else runs the pass. True when the pass ran, or the pass's error.
    static boost::asio::awaitable<Result<bool, Error>> run_pass(std::shared_ptr<AgentInner> self,
                                                                CancellationToken token);

    // One housekeeping pass over the locked state: controller sync, retrieval of the manual
    // networks, health and desired state, save, application, host report, metrics. Every failure
    // inside is logged and passed over; the next pass is the retry.
    static boost::asio::awaitable<Result<void, Error>> housekeeping(
        std::shared_ptr<AgentInner> self, inner::State& state);

    // The steps of the pass, in pass order. The two that return a flag tell whether the network
    // list or a network's name changed, that is whether the file must be saved.
    static boost::asio::awaitable<bool> sync_controller_networks(std::shared_ptr<AgentInner> self,
                                                                 inner::State& state);
    static boost::asio::awaitable<void> sync_manual_networks(std::shared_ptr<AgentInner> self,
                                                             inner::State& state);
    bool process_network_configs(inner::State& state) const;
    void notify_on_network_change(inner::State& state) const;
    static void check_and_update_time_deviation(inner::State& state);

    // Controller sync's two halves: the listed documents become the networks' documents (new
    // networks are added), and controller networks no longer listed are reset and removed.
    static bool merge_controller_networks(
        inner::State& state, const std::unordered_map<Url, network::NetworkConfig>& listed);
    static boost::asio::awaitable<bool> remove_unlisted_controller_networks(
        std::shared_ptr<AgentInner> self, inner::State& state,
        const std::unordered_map<Url, network::NetworkConfig>& listed);

  private:
    CancellationToken cancellation_token_;
    p2p::NodeRef node_;
    std::shared_ptr<AgentNetif> netif_;
    std::shared_ptr<AgentFirewall> firewall_;
    std::unique_ptr<AgentRouter> router_;
    std::shared_ptr<AgentDns> dns_;
    std::string config_path_;
    std::shared_ptr<PlatformDependent> platform_dependent_;
    HttpClient client_;
    RwLock<inner::State> state_;
    p2p::Identity identity_;
    uint16_t mtu_;
    boost::asio::any_io_executor executor_;
    std::chrono::milliseconds housekeeping_period_;
    std::atomic<uint64_t> completed_passes_{0};
};

}  // namespace quorvel::agent
