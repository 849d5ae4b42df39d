// Super peers: the well-known nodes a node keeps contact with. A super peer is named by a URL of
// the form "HOST:PORT/PUBKEY" or "HOST:PORT/PUBKEY/NETWORKID" (an IPv6 host in brackets, the key
// in its text form, the network as eight hexadecimal digits, NETWORK_ID_DEFAULT when absent).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "p2p/crypto.h"
#include "p2p/keys.h"
#include "p2p/network_id.h"
#include "p2p/stats.h"
#include "util/result.h"

namespace quorvel::p2p {

struct SuperPeerUrlError {
    std::string message;
    std::string to_string() const { return message; }
    bool operator==(const SuperPeerUrlError&) const = default;
};

class SuperPeerUrl {
  public:
    static Result<SuperPeerUrl, SuperPeerUrlError> parse(std::string_view text);

    // "HOST:PORT", the text that is looked up.
    const std::string& addr() const { return addr_; }
    const std::string& host() const { return host_; }
    uint16_t port() const { return port_; }
    const PubKey& pk() const { return pk_; }
    const NetworkId& network_id() const { return network_id_; }

    // Always the long form "HOST:PORT/PUBKEY/NETWORKID".
    std::string to_string() const;
    bool operator==(const SuperPeerUrl&) const = default;

  private:
    std::string addr_;
    std::string host_;
    uint16_t port_ = 0;
    PubKey pk_;
    NetworkId network_id_;
};

// The built-in super peers: loopback addresses only, so that a node left with the defaults
// contacts nothing beyond this machine.
const std::vector<SuperPeerUrl>& SUPER_PEERS_DEFAULT();

namespace testing {
class TestHooks;
}

// One super peer of a running node. Its paths are updated by the node's driver and housekeeping.
class SuperPeer {
  public:
    // `hello_timeout_ms`: how long after its last ACK a path still counts as reachable. `hooks`:
    // the test controls of the node, which can pin the statistics.
    SuperPeer(SuperPeerUrl url, std::optional<crypto::SessionKeys> session_keys,
              std::optional<std::set<SocketAddr>> resolved, std::set<SocketAddr> local_addrs,
              uint64_t hello_timeout_ms, std::shared_ptr<testing::TestHooks> hooks = nullptr);

    const SuperPeerUrl& url() const { return url_; }
    bool has_session_keys() const { return session_keys_.has_value(); }
    std::optional<std::set<SocketAddr>> resolved_addrs() const;

    // A snapshot for the status report; `now` decides reachability.
    SuperPeerStats stats(Instant now) const;

    // Called by the node.
    void record_hello(const SocketAddr& local, const SocketAddr& remote, Instant sent);
    void record_ack(const SocketAddr& local, const SocketAddr& remote, Instant sent,
                    Instant received);

  private:
    PeerPath& path_for(const SocketAddr& local, const SocketAddr& remote);

    const SuperPeerUrl url_;
    const std::optional<crypto::SessionKeys> session_keys_;
    const uint64_t hello_timeout_ms_;
    const std::shared_ptr<testing::TestHooks> hooks_;
    mutable std::mutex mutex_;
    std::optional<std::set<SocketAddr>> resolved_;
    std::set<SocketAddr> local_addrs_;
    std::deque<PeerPathKey> path_order_;
    std::unordered_map<PeerPathKey, PeerPath> paths_;
};

using SuperPeerRef = std::shared_ptr<SuperPeer>;

}  // namespace quorvel::p2p

template <>
struct fmt::formatter<quorvel::p2p::SuperPeerUrl> : fmt::formatter<std::string_view> {
    auto format(const quorvel::p2p::SuperPeerUrl& u, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(u.to_string(), ctx);
    }
};
