#include "p2p/super_peer.h"

#include "p2p/env.h"
#include "p2p/testing.h"
#include "util/debug_text.h"
#include "util/shown_text.h"

namespace quorvel::p2p {

namespace {

constexpr std::string_view kForm = "HOST:PORT/PUBKEY or HOST:PORT/PUBKEY/NETWORKID";

// A message quotes the entry only through `quoted`.
Result<SuperPeerUrl, SuperPeerUrlError> fail(std::string message) {
    return unexpected(SuperPeerUrlError{std::move(message)});
}

// The entry as a message quotes it: an entry may come from a file or a server, of any length, and
// may be a URL typed with its password in place of a super peer. Outside text (`outside_text`).
std::string quoted(std::string_view entry) {
    return debug_quoted(outside_text(entry));
}

}  // namespace

Result<SuperPeerUrl, SuperPeerUrlError> SuperPeerUrl::parse(std::string_view text) {
    SuperPeerUrl url;
    size_t slash = text.find('/');
    if (slash == std::string_view::npos) {
        return fail(fmt::format("super peer URL {} is not of the form {}", quoted(text), kForm));
    }
    std::string_view addr = text.substr(0, slash);
    std::string_view rest = text.substr(slash + 1);
    std::string_view key_text = rest;
    std::optional<std::string_view> network_text;
    if (size_t second = rest.find('/'); second != std::string_view::npos) {
        key_text = rest.substr(0, second);
        network_text = rest.substr(second + 1);
    }

    std::string_view host;
    std::string_view port_text;
    if (!addr.empty() && addr.front() == '[') {
        size_t close = addr.find(']');
        if (close == std::string_view::npos || close + 1 >= addr.size() || addr[close + 1] != ':') {
            return fail(fmt::format("super peer address {} needs a port after the bracketed host",
                                    quoted(addr)));
        }
        host = addr.substr(1, close - 1);
        port_text = addr.substr(close + 2);
    } else {
        size_t colon = addr.rfind(':');
        if (colon == std::string_view::npos) {
            return fail(fmt::format("super peer address {} has no port", quoted(addr)));
        }
        host = addr.substr(0, colon);
        port_text = addr.substr(colon + 1);
        if (host.find(':') != std::string_view::npos) {
            return fail(fmt::format("super peer address {} must put an IPv6 host in brackets",
                                    quoted(addr)));
        }
    }
    if (host.empty()) {
        return fail(fmt::format("super peer address {} has no host", quoted(addr)));
    }
    auto port = util::system::parse_unsigned(port_text, 65535);
    if (!port || *port == 0) {
        return fail(fmt::format("super peer address {} has an invalid port", quoted(addr)));
    }
    auto pk = PubKey::parse(key_text);
    if (!pk) {
        return fail("invalid public key in super peer URL: " + pk.error().to_string());
    }
    url.network_id_ = NETWORK_ID_DEFAULT;
    if (network_text) {
        if (auto r = from_hex(*network_text, url.network_id_.bytes); !r) {
            return fail("invalid network id in super peer URL: " + r.error().to_string());
        }
    }
    url.addr_ = std::string(addr);
    url.host_ = std::string(host);
    url.port_ = static_cast<uint16_t>(*port);
    url.pk_ = *pk;
    return url;
}

std::string SuperPeerUrl::to_string() const {
    return fmt::format("{}/{}/{}", addr_, pk_.to_string(), network_id_.to_string());
}

const std::vector<SuperPeerUrl>& SUPER_PEERS_DEFAULT() {
    // Never destroyed: nodes on runtime workers read it until the process has ended.
    static const std::vector<SuperPeerUrl>& peers = *new std::vector<SuperPeerUrl>([] {
        std::vector<SuperPeerUrl> out;
        // Fixed seeds give fixed keys that are valid curve points, so that agreement keys can be
        // derived from them.
        for (uint16_t port : {27401, 27402}) {
            std::string seed_text = fmt::format("quorvel default super peer {}", port);
            auto seed = crypto::sha256(std::span<const uint8_t>(
                reinterpret_cast<const uint8_t*>(seed_text.data()), seed_text.size()));
            PubKey pk = crypto::derive_public_key(SecKey(seed));
            auto url = SuperPeerUrl::parse(fmt::format("127.0.0.1:{}/{}", port, pk.to_string()));
            out.push_back(*url);
        }
        return out;
    }());
    return peers;
}

SuperPeer::SuperPeer(SuperPeerUrl url, std::optional<crypto::SessionKeys> session_keys,
                     std::optional<std::set<SocketAddr>> resolved, std::set<SocketAddr> local_addrs,
                     uint64_t hello_timeout_ms, std::shared_ptr<testing::TestHooks> hooks)
    : url_(std::move(url)),
      session_keys_(std::move(session_keys)),
      hello_timeout_ms_(hello_timeout_ms),
      hooks_(std::move(hooks)),
      resolved_(std::move(resolved)),
      local_addrs_(std::move(local_addrs)) {}

std::optional<std::set<SocketAddr>> SuperPeer::resolved_addrs() const {
    std::lock_guard lock(mutex_);
    return resolved_;
}

PeerPath& SuperPeer::path_for(const SocketAddr& local, const SocketAddr& remote) {
    PeerPathKey key{local, remote};
    auto [it, inserted] = paths_.try_emplace(key);
    if (inserted) {
        path_order_.push_back(key);
    }
    return it->second;
}

void SuperPeer::record_hello(const SocketAddr& local, const SocketAddr& remote, Instant sent) {
    std::lock_guard lock(mutex_);
    path_for(local, remote).record_hello(sent);
}

void SuperPeer::record_ack(const SocketAddr& local, const SocketAddr& remote, Instant sent,
                           Instant received) {
    std::lock_guard lock(mutex_);
    path_for(local, remote).record_ack(sent, received);
}

SuperPeerStats SuperPeer::stats(Instant now) const {
    if (hooks_) {
        if (auto pinned = hooks_->pinned_super_peer_stats(url_.pk())) {
            return std::move(*pinned);
        }
    }
    std::lock_guard lock(mutex_);
    SuperPeerStats stats;
    stats.address = url_.addr();
    stats.resolved_addrs = resolved_;
    stats.tcp_port = url_.port();
    stats.udp_paths = paths_;
    // Reachable paths first, each group in the order the paths were first used.
    for (bool want_reachable : {true, false}) {
        for (const auto& key : path_order_) {
            if (paths_.at(key).is_reachable(now, hello_timeout_ms_) == want_reachable) {
                stats.udp_path_order.push_back(key);
            }
        }
    }
    stats.reachable = !stats.udp_path_order.empty() &&
                      paths_.at(stats.udp_path_order.front()).is_reachable(now, hello_timeout_ms_);
    return stats;
}

}  // namespace quorvel::p2p
