// The metrics report of a housekeeping pass: a description of the device and the agent's version,
// together with what is wrong with the agent (controller-managed networks in a bad state,
// overlapping subnets, unreachable super peers), uploaded to the controller.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <boost/asio/awaitable.hpp>

#include "agent/config/agent_config.h"
#include "agent/error.h"
#include "controller_api/metrics.h"
#include "p2p/keys.h"
#include "p2p/stats.h"
#include "p2p/super_peer.h"
#include "util/http_client.h"
#include "util/ipv4.h"
#include "util/result.h"
#include "util/url.h"
#include "version_info.h"

namespace quorvel::agent {

class AgentInner;
namespace inner {
struct State;
}

inline constexpr std::string_view kMetricsTarget = "quorvel_agent::agent::metrics";

using controller_api::request::metrics::UpdateNodeMetricsRequest;

enum class Os {
    MacOs,
    Windows,
    TvOs,
    Ios,
    IpadOs,
    Android,
    Linux,
    Ubuntu,
    Debian,
    Fedora,
    CentOs,
    Rhel,
    Arch,
    OpenSuse,
    Sles,
    Gentoo,
    Slackware,
    LinuxMint,
    ElementaryOs,
    Manjaro,
    Raspbian,
};

// "macOS", "iOS", "iPadOS", "Linux Mint", ...
std::string_view os_display(Os os);

// The parser's failure; it carries nothing.
struct OsParseError {
    bool operator==(const OsParseError&) const = default;
};

// An exact display text (or one of the further names of a value), else the first matching rule
// over the lower-cased text.
Result<Os, OsParseError> parse_os(std::string_view text);

// Runs system commands for the device description.
class CommandRunner {
  public:
    virtual ~CommandRunner() = default;
    // Runs `program` (found on the search path) with `args`, no standard input, and waits for
    // it. The whole standard output, or none when the program could not be started.
    virtual std::optional<std::string> run(const std::string& program,
                                           const std::vector<std::string>& args) = 0;
};

// Starts real child processes.
CommandRunner& system_command_runner();

// The architecture the agent is built for: "aarch64" on 64-bit Arm.
std::string_view build_arch();

// The record of one report: device description from `runner`, the agent version from `version`,
// the two texts moved in unchanged. Never fails.
UpdateNodeMetricsRequest build_metrics_request(CommandRunner& runner, const VersionInfo& version,
                                               std::optional<std::string> ui_version,
                                               std::optional<std::string> error_logs);
// The same with the system's commands and this build's version.
UpdateNodeMetricsRequest build_metrics_request(std::optional<std::string> ui_version,
                                               std::optional<std::string> error_logs);

struct SubnetOverlap {
    Url first_url;
    Url second_url;
    Ipv4Net first_net;
    Ipv4Net second_net;

    bool operator==(const SubnetOverlap&) const = default;
};

// Every pair of enabled networks whose desired tunnel subnets share an address, each pair once,
// in the map's iteration order.
std::vector<SubnetOverlap> find_overlapping_subnets(const NetworkMap& networks);

using SuperPeerList = std::vector<std::pair<p2p::PubKey, p2p::SuperPeerRef>>;

// The report's error lines: controller-managed networks by health, subnet conflicts, then super
// peers that are not reachable at `now` and are named in the configured super-peer list.
std::vector<std::string> metrics_error_lines(const AgentConfig& config,
                                             const SuperPeerList& super_peers, p2p::Instant now);

// What a report uses of the running agent.
struct MetricsContext {
    p2p::PubKey public_key;
    SuperPeerList super_peers;
    CommandRunner* runner = nullptr;
    HttpClientOptions http_options;
};

// Builds and uploads one report. A failed upload is logged at WARN and still counts as success;
// only a controller client that cannot be created is returned as an error (nothing is sent).
boost::asio::awaitable<Result<void, Error>> send_metrics(MetricsContext context,
                                                         const AgentConfig& config,
                                                         std::string shared_secret,
                                                         std::optional<std::string> ui_version);
// The same for the running agent: its key, its node's super peers, the system's commands.
boost::asio::awaitable<Result<void, Error>> send_metrics(std::shared_ptr<AgentInner> self,
                                                         const inner::State& state,
                                                         std::string shared_secret,
                                                         std::optional<std::string> ui_version);

}  // namespace quorvel::agent

template <>
struct fmt::formatter<quorvel::agent::Os> : fmt::formatter<std::string_view> {
    auto format(quorvel::agent::Os os, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(quorvel::agent::os_display(os), ctx);
    }
};
