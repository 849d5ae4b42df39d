// A running P2P node: its UDP socket, its super peers and the peers the application talks to.
//
// Nodes find each other by public key: a bound node enters its address in a directory of this
// process, and a node learns the address of any node that writes to it. Every datagram the node
// puts on the wire starts with the control-packet marker 1E 3F 50 01.
//
// Lifetime: `bind` starts two tasks on the given executor (the receive driver and the node's
// housekeeping); they end when the node's cancellation token fires, which releasing the last
// `NodeRef` does. Peer handles stay valid after that, but their sends fail with NodeStopped and
// their reads never complete. Release the node before its io_context is destroyed.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/address.hpp>

#include "p2p/node_error.h"
#include "p2p/node_opts.h"
#include "p2p/node_peer.h"
#include "p2p/super_peer.h"
#include "util/cancellation_token.h"
#include "util/io_error.h"
#include "util/result.h"

namespace quorvel::p2p {

namespace detail {
struct NodeCore;
struct SocketRelease;
}  // namespace detail

namespace util::net {
// Interface name to its addresses.
using Addrs = std::map<std::string, std::vector<boost::asio::ip::address>>;
Result<Addrs, IoError> get_addrs();
}  // namespace util::net

// Replaceable parts of binding, for tests; the defaults are what a real node does.
struct BindHooks {
    using Resolver = std::function<boost::asio::awaitable<Result<std::vector<SocketAddr>, IoError>>(
        std::string host, uint16_t port)>;
    // Looks up a super peer's host. The default takes IP literals and "localhost" only and never
    // asks a name server.
    Resolver resolve;
    std::chrono::milliseconds resolve_timeout{10000};
    std::function<Result<util::net::Addrs, IoError>()> get_addrs;
};

class Node;
using NodeRef = std::shared_ptr<Node>;

class Node {
  public:
    // The send and receive buffer each node socket asks for: room for a burst of some thousands
    // of full datagrams, so that a peer's burst is not dropped while the receive task waits for
    // a worker. The system may give less (on Linux at most net.core.rmem_max and wmem_max).
    static constexpr int SOCKET_BUFFER_REQUEST = 4 * 1024 * 1024;
    // What the system gave a socket, in bytes as it reports them (Linux reports twice the size
    // it set, counting its own bookkeeping in).
    struct SocketBuffers {
        int receive = 0;
        int send = 0;
        bool operator==(const SocketBuffers&) const = default;
    };

    // Binds a node with `opts` on `executor` (the node's tasks run there). Awaited inside the
    // runtime; an empty executor gives NoAsyncRuntimeFound.
    static boost::asio::awaitable<Result<NodeRef, node::Error>> bind(
        boost::asio::any_io_executor executor, NodeOpts opts, BindHooks hooks = {});
    // The same on the awaiting coroutine's own executor.
    static boost::asio::awaitable<Result<NodeRef, node::Error>> bind(NodeOpts opts,
                                                                     BindHooks hooks = {});

    ~Node();
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    const NodeOpts& opts() const;
    const PubKey& pk() const;
    // The address the socket is bound to.
    SocketAddr local_addr() const;
    // The socket's buffers as the system gave them.
    SocketBuffers socket_buffers() const;
    std::set<SocketAddr> local_addrs() const;
    const CancellationToken& cancellation_token() const;

    // Starts (or rejoins) contact with `pk`; returns at once. Two calls for one key reach the
    // same peer while a handle of it is held; the peer goes with its last handle.
    Result<NodePeer, InitiateError> initiate(const PubKey& pk) const;

    // The first super peer of the options: where traffic goes that has no better path.
    std::optional<PubKey> default_route() const;
    // A copy of the super-peer table, taken under the node's lock.
    std::vector<std::pair<PubKey, SuperPeerRef>> super_peers() const;

    // Stops the node's tasks and closes its socket; releasing the last NodeRef does the same.
    // The socket closes on the node's strand soon after, whoever still holds the node's parts
    // (peer handles, a task that has yet to end): `socket_closed` tells when.
    void stop();

    // Tells when the node's socket is closed and its address free again, which a stop brings
    // about on the node's executor. It stays usable after the node is released.
    class SocketClosed {
      public:
        explicit SocketClosed(std::shared_ptr<detail::SocketRelease> release)
            : release_(std::move(release)) {}
        // Blocks until the socket is closed. Not for a thread that the node's executor needs to
        // get there: once the node is stopped, the close needs one turn of the executor.
        void wait() const;
        bool closed() const;

      private:
        std::shared_ptr<detail::SocketRelease> release_;
    };
    SocketClosed socket_closed() const;

    explicit Node(std::shared_ptr<detail::NodeCore> core);
    const std::shared_ptr<detail::NodeCore>& core() const { return core_; }

    // The building blocks of `bind`.
    struct BoundSocket {
        int fd = -1;
        SocketAddr addr;
        SocketBuffers buffers;
    };
    // Binds the node's socket, asking for `buffer_request` bytes of send and receive buffer
    // (0 keeps the system's defaults).
    static Result<BoundSocket, node::Error> bind_udp_socket(
        const std::vector<boost::asio::ip::address>& udp_addrs, uint16_t port,
        int buffer_request = SOCKET_BUFFER_REQUEST);
    static std::set<SocketAddr> local_addrs_for_socket(const util::net::Addrs& addrs,
                                                       const SocketAddr& bound);
    static std::set<SocketAddr> resolved_addrs_for_socket(const std::vector<SocketAddr>& resolved,
                                                          const SocketAddr& bound);

  private:
    std::shared_ptr<detail::NodeCore> core_;
};

}  // namespace quorvel::p2p
