// The agent's persistent configuration: the node identity, the joined networks, a few optional
// settings, the embedded-DNS switch and the controller section; with its TOML file format and the
// operations that load, generate and save the file.
//
// The file holds the node's secret key in clear text: a file created here is owner-only (0600)
// from its creation on, and every save replaces the file atomically, so a crash or a full disk
// never leaves a truncated identity behind. Loading and saving remove the temporary copies that
// saves killed midway left beside the file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <toml++/toml.h>

#include "agent/config/controller_config.h"
#include "agent/error.h"
#include "network/network.h"
#include "p2p/identity.h"
#include "p2p/super_peer.h"
#include "util/cancellation_token.h"
#include "util/result.h"
#include "util/toml_read.h"
#include "util/url.h"

namespace quorvel::agent {

// The largest configuration file that is read or written: as large as the largest network
// document (util/http_client.h, kDefaultMaxBodyBytes), room for about a hundred thousand networks.
inline constexpr std::size_t kMaxConfigFileBytes = 16 * 1024 * 1024;

// The joined networks by configuration URL; each value's `config_url` equals its key.
using NetworkMap = std::unordered_map<Url, network::Network>;

struct AgentConfig {
    p2p::Identity identity;
    NetworkMap network;
    // Tunnel MTU; `default_mtu()` applies when absent.
    std::optional<uint16_t> mtu;
    // The super peers to use, order kept; the P2P library's built-in list applies when absent.
    std::optional<std::vector<p2p::SuperPeerUrl>> super_peers;
    std::optional<bool> update_check;
    // Only carried through loading and saving.
    std::optional<bool> auto_connect;
    std::optional<DnsConfig> dns;
    std::optional<ControllerConfig> controller;

    // A configuration with `identity`, no networks and no optional setting.
    explicit AgentConfig(p2p::Identity id) : identity(std::move(id)) {}

    // Reads and parses an existing file. Symbolic links are followed; anything but a regular file
    // (a FIFO, a device, a folder) fails at once, without being opened for reading, with an I/O
    // error "PATH is a FIFO, not a regular file", and a file of more than kMaxConfigFileBytes with
    // "PATH exceeds the limit of N bytes", no more than that being read (util/file_io.h,
    // read_state_file).
    static Result<AgentConfig, Error> load(const std::string& path);
    // Loads the file, or, when nothing is found at the path (ENOENT), generates a new identity
    // (which can take long; `cancel` stops it) and creates the file. An existing file is never
    // replaced here; a path that cannot be looked up for another reason fails with that error,
    // before any identity is made.
    static Result<AgentConfig, Error> load_or_generate(
        const std::string& path, std::optional<CancellationToken> cancel = std::nullopt);
    // Replaces the file's contents with this configuration, atomically. Only a regular file is
    // replaced (a FIFO or a device at the path fails and stays); a text of more than
    // kMaxConfigFileBytes, which could not be loaded again, is not written.
    Result<void, Error> save(const std::string& path) const;

    // Reading and writing the document; the writer's layout is fixed (see the source).
    static Result<AgentConfig, TomlError> deserialize(const toml::table& root);
    Result<std::string, Error> to_toml() const;

    // 1280 when the environment option ARM_MESSAGES is true (its default), 1328 when false.
    static uint16_t default_mtu();
    // The controller section's URL, or the default controller API endpoint.
    std::string controller_url() const;
    std::optional<std::string> shared_secret() const;

    // Adds the secrets this configuration holds to the agent's known secrets (`secrets::remember`):
    // the user information of the controller's URLs and of every network URL, and the shared
    // secret, so that no log line or report shows them whatever quotes them.
    void remember_secrets() const;
    // A copy of the configured list (also an empty one), or of the built-in list.
    std::vector<p2p::SuperPeerUrl> super_peers_or_default() const;
    // Adds an all-absent controller section when there is none, then replaces its status.
    void set_controller_status(ControllerConnectionStatus status);

    bool operator==(const AgentConfig&) const = default;
};

// The reader of the `network` key: the networks by their normalised URL; two entries whose URLs
// normalise alike are refused.
Result<NetworkMap, TomlError> deserialize_networks(const toml::node& node);

}  // namespace quorvel::agent
