// Packets per second of the two packet paths beside a bare loop doing the same I/O, two ways.
//
// Pinned (BM_PacketPathOutbound, BM_PacketPathInbound): everything on one thread, the agent's
// tasks run by polling its io_context; run it pinned to one core:
// `taskset -c 2 quorvel_bench --benchmark_filter=PacketPath`. This shows what each path costs,
// but hides every hand-off between threads.
//
// Threaded (BM_PacketPathOutboundThreaded, BM_PacketPathInboundThreaded): the agent's tasks run
// on a runtime with the default thread count (one worker per core), the bare loop on a thread of
// its own, and the benchmark thread writes a burst and waits until all of it has arrived at the
// far end; timed is the whole burst, its hand-offs included. Run it unpinned.
//
// Outbound: the host writes a burst into a packet socket pair; timed is the agent's tunnel
// driver reading it, parsing, looking the transmit trie up and sending each packet through the
// P2P stand-in to a peer node, against a loop that reads the same socket pair and sends each
// packet on a plain UDP socket. Inbound: a stand-in peer sends a burst; timed is the agent's node
// receiving it, the node-peer driver checking each packet against the receive trie and writing
// it into the socket pair, against a loop that reads a plain UDP socket and writes each datagram
// into the socket pair. Both outbound loops send to a stand-in node that is never run, so the
// receiving socket costs both the same. The counters give both rates and R = agent / bare.
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "agent/firewall/agent_firewall.h"
#include "agent/netif/async_device.h"
#include "agent/netif/node_peer.h"
#include "agent/netif/tun_device.h"
#include "p2p/identity.h"
#include "p2p/node.h"
#include "p2p/node_opts.h"
#include "util/runtime.h"

#include "../p2p/src/node_internal.h"

namespace quorvel::agent {
namespace {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

// Packets per timed burst: small enough for every socket buffer on the way.
constexpr int kBurst = 32;
constexpr std::uint16_t kMtu = 1500;

const Ipv4Addr kLocal(10, 0, 0, 1);
const Ipv4Addr kRemote(10, 0, 0, 2);

std::vector<std::uint8_t> packet(Ipv4Addr src, Ipv4Addr dst, std::size_t len) {
    std::vector<std::uint8_t> p(len, 0x5a);
    p[0] = 0x45;
    p[1] = 0;
    p[2] = static_cast<std::uint8_t>(len >> 8);
    p[3] = static_cast<std::uint8_t>(len);
    p[6] = 0;
    p[8] = 64;
    p[9] = 17;
    src.to_bytes(&p[12]);
    dst.to_bytes(&p[16]);
    return p;
}

// A node of a fresh identity on a free loopback port.
p2p::NodeOpts loopback_node_opts() {
    const p2p::Identity id(p2p::SecKey::random(), p2p::Pow(0));
    return *p2p::NodeOptsBuilder()
                .id(id)
                .udp_addrs({asio::ip::make_address("127.0.0.1")})
                .udp_port(0)
                .min_pow_difficulty(0)
                .build();
}

p2p::NodeRef bind_node(asio::io_context& io) {
    auto bound = asio::co_spawn(io, p2p::Node::bind(io.get_executor(), loopback_node_opts()),
                                asio::use_future);
    while (bound.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
        io.run_one();
    }
    return bound.get().value();
}

p2p::NodeRef bind_node(Runtime& runtime) {
    return runtime.block_on(p2p::Node::bind(runtime.executor(), loopback_node_opts()))
        .value()
        .value();
}

// Receives datagrams or packets on `fd` until `count` of `length` bytes have arrived (others,
// such as a node's greetings, are passed over); false when the stream stops for a second first.
bool await_arrivals(int fd, int count, std::size_t length) {
    std::uint8_t buffer[2048];
    for (int arrived = 0; arrived < count;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n >= 0) {
            arrived += static_cast<std::size_t>(n) == length ? 1 : 0;
            continue;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0) {
            return false;
        }
    }
    return true;
}

void set_buffers(int fd) {
    const int size = 1 << 20;
    (void)::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

// A packet socket pair: `agent` is the agent's end, `host` the host's.
struct Tunnel {
    Tunnel() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) == 0) {
            agent = fds[0];
            host = fds[1];
            set_buffers(agent);
            set_buffers(host);
        }
    }
    ~Tunnel() {
        if (host >= 0) {
            ::close(host);
        }
    }
    void host_write_burst(const std::vector<std::uint8_t>& p) const {
        for (int i = 0; i < kBurst; ++i) {
            (void)::send(host, p.data(), p.size(), 0);
        }
    }
    // Reads what the agent wrote; the number of packets.
    int host_drain() const {
        std::vector<std::uint8_t> buffer(2048);
        int n = 0;
        while (::recv(host, buffer.data(), buffer.size(), MSG_DONTWAIT) >= 0) {
            ++n;
        }
        return n;
    }

    int agent = -1;  // owned by the device once one is made over it
    int host = -1;
};

// A UDP socket on loopback with its address.
struct UdpSocket {
    UdpSocket() {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        set_buffers(fd);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        (void)::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        (void)::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    }
    ~UdpSocket() { ::close(fd); }
    int fd = -1;
    sockaddr_in addr{};
};

// A stand-in node that the benchmark never runs after binding: where the outbound loops send,
// so that the agent's sends and the bare ones meet the same receiving socket.
struct RemoteNode {
    RemoteNode() : node(bind_node(io)), addr(node->local_addr()) {}
    ~RemoteNode() { node->stop(); }
    asio::io_context io;
    p2p::NodeRef node;
    p2p::SocketAddr addr;
};

// Runs the agent's tasks until none is ready.
void run_until_idle(asio::io_context& io) {
    io.restart();
    while (io.poll() > 0) {
    }
}

// A firewall over real node peers: `peer` carries 10.0.0.1 -> 10.0.0.2 and may send back.
void route_through(AgentFirewall& firewall, const NodePeer& peer) {
    PrefixTrie<NodePeer>::Builder tx_inner;
    tx_inner.insert_or_assign(Ipv4Net(kLocal, 32), peer);
    AgentFirewall::TxTrie::Builder tx;
    tx.insert_or_assign(Ipv4Net(kRemote, 32), std::move(tx_inner).build());
    firewall.store_tx_trie(std::make_shared<const AgentFirewall::TxTrie>(std::move(tx).build()));
    PrefixTrie<p2p::PubKey>::Builder rx_inner;
    rx_inner.insert_or_assign(Ipv4Net(kLocal, 32), peer.pk());
    AgentFirewall::RxTrie::Builder rx;
    rx.insert_or_assign(Ipv4Net(kRemote, 32), std::move(rx_inner).build());
    firewall.store_rx_trie(std::make_shared<const AgentFirewall::RxTrie>(std::move(rx).build()));
}

// The agent's half of both paths: its node, tunnel device and a node peer for the remote node.
// The remote node runs on its own io_context, which the benchmark never runs after binding.
// With a runtime, the agent's tasks run on its workers instead.
struct AgentSide {
    explicit AgentSide(RuntimePtr on_runtime = nullptr)
        : runtime(std::move(on_runtime)),
          node(runtime ? bind_node(*runtime) : bind_node(io)),
          remote(bind_node(remote_io)) {
        const asio::any_io_executor executor =
            runtime ? asio::any_io_executor(runtime->executor()) : io.get_executor();
        auto made = AsyncDevice::from_fd(executor, tunnel.agent);
        device = std::move(made).value();
        tun = TunDevice::create(executor, device, firewall, nullptr, kMtu);
        peer.emplace(
            NodePeer::create(*node, remote->pk(), NodePeerSetup{firewall, tun, kMtu, executor})
                .value());
        route_through(*firewall, *peer);
        run_until_idle(io);
    }
    ~AgentSide() {
        firewall->store_tx_trie(nullptr);
        peer.reset();
        tun.reset();
        device.reset();
        run_until_idle(io);
        node->stop();
        remote->stop();
        run_until_idle(io);
        if (runtime) {
            // The tasks go with the runtime, before the node's parts they hold.
            runtime->stop();
        }
    }

    RuntimePtr runtime;
    asio::io_context io;
    asio::io_context remote_io;
    p2p::NodeRef node;
    p2p::NodeRef remote;
    Tunnel tunnel;
    std::shared_ptr<AsyncDevice> device;
    std::shared_ptr<AgentFirewall> firewall = std::make_shared<AgentFirewall>();
    std::shared_ptr<TunDevice> tun;
    std::optional<NodePeer> peer;
};

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Each runner moves one burst and returns the seconds of its timed part.
struct OutboundAgent {
    explicit OutboundAgent(std::size_t len) : p(packet(kLocal, kRemote, len)) {}
    double burst() {
        side.tunnel.host_write_burst(p);
        const auto start = Clock::now();
        run_until_idle(side.io);
        return seconds_since(start);
    }
    AgentSide side;
    std::vector<std::uint8_t> p;
};

// Reads the socket pair and sends each packet to a stand-in node's socket; `framed` sends it
// the way the stand-in does (sendmsg behind a 77-byte header), which is not part of R but shows
// what the framing costs.
struct OutboundBare {
    OutboundBare(std::size_t len, bool framed) : p(packet(kLocal, kRemote, len)), framed(framed) {}
    ~OutboundBare() { ::close(tunnel.agent); }
    double burst() {
        tunnel.host_write_burst(p);
        const auto start = Clock::now();
        for (;;) {
            const ssize_t n = ::recv(tunnel.agent, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n < 0) {
                break;
            }
            if (!framed) {
                (void)::sendto(out.fd, buffer.data(), static_cast<std::size_t>(n), MSG_DONTWAIT,
                               destination.addr.data(), destination.addr.size());
                continue;
            }
            iovec iov[2] = {{header.data(), header.size()},
                            {buffer.data(), static_cast<std::size_t>(n)}};
            msghdr msg{};
            msg.msg_name = destination.addr.data();
            msg.msg_namelen = static_cast<socklen_t>(destination.addr.size());
            msg.msg_iov = iov;
            msg.msg_iovlen = 2;
            (void)::sendmsg(out.fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
        }
        const double burst_seconds = seconds_since(start);
        seconds += burst_seconds;
        return burst_seconds;
    }
    Tunnel tunnel;
    UdpSocket out;
    RemoteNode destination;
    std::vector<std::uint8_t> p;
    bool framed;
    double seconds = 0;  // of all bursts so far
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(kMtu);
    std::vector<std::uint8_t> header = std::vector<std::uint8_t>(77, 0x1e);
};

struct InboundAgent {
    explicit InboundAgent(std::size_t len)
        : to_agent(side.remote->initiate(side.node->pk()).value()),
          p(packet(kRemote, kLocal, len)) {}
    double burst() {
        for (int i = 0; i < kBurst; ++i) {
            (void)to_agent.send_datagram(p);
        }
        const auto start = Clock::now();
        run_until_idle(side.io);
        const double seconds = seconds_since(start);
        delivered = side.tunnel.host_drain() == kBurst;
        return seconds;
    }
    AgentSide side;
    p2p::NodePeer to_agent;
    std::vector<std::uint8_t> p;
    bool delivered = true;
};

// Reads a plain UDP socket and writes each datagram into the socket pair.
struct InboundBare {
    explicit InboundBare(std::size_t len) : p(packet(kRemote, kLocal, len)) {}
    ~InboundBare() { ::close(tunnel.agent); }
    double burst() {
        for (int i = 0; i < kBurst; ++i) {
            (void)::sendto(peer.fd, p.data(), p.size(), 0,
                           reinterpret_cast<const sockaddr*>(&in.addr), sizeof in.addr);
        }
        const auto start = Clock::now();
        for (;;) {
            const ssize_t n = ::recv(in.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n < 0) {
                break;
            }
            (void)::send(tunnel.agent, buffer.data(), static_cast<std::size_t>(n), MSG_DONTWAIT);
        }
        const double seconds = seconds_since(start);
        delivered = tunnel.host_drain() == kBurst;
        return seconds;
    }
    Tunnel tunnel;
    UdpSocket peer;
    UdpSocket in;
    std::vector<std::uint8_t> p;
    std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(65536);
    bool delivered = true;
};

// A bare bridge on a thread of its own: reads `from` (blocking, one packet at a time) and sends
// each packet on `to`, to `destination` when given; until released.
class BareBridge {
  public:
    BareBridge(int from, int to, std::optional<p2p::SocketAddr> destination = std::nullopt)
        : from_(from), to_(to), destination_(std::move(destination)), thread_([this] { run(); }) {}
    ~BareBridge() {
        stop_ = true;
        thread_.join();
    }

  private:
    void run() {
        std::vector<std::uint8_t> buffer(65536);
        while (!stop_) {
            const ssize_t n = ::recv(from_, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n < 0) {
                pollfd p{from_, POLLIN, 0};
                (void)::poll(&p, 1, 50);
                continue;
            }
            if (destination_) {
                (void)::sendto(to_, buffer.data(), static_cast<std::size_t>(n), MSG_DONTWAIT,
                               destination_->data(), destination_->size());
            } else {
                (void)::send(to_, buffer.data(), static_cast<std::size_t>(n), MSG_DONTWAIT);
            }
        }
    }

    int from_;
    int to_;
    std::optional<p2p::SocketAddr> destination_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The threaded runners: timed is a whole burst, from its first write to its last arrival.
// `delivered` is false once a burst did not arrive whole.
struct OutboundAgentThreaded {
    explicit OutboundAgentThreaded(std::size_t len)
        : side(Runtime::create()),
          p(packet(kLocal, kRemote, len)),
          destination(side.remote->core()->transport->fd) {}
    double burst() {
        const auto start = Clock::now();
        side.tunnel.host_write_burst(p);
        delivered = await_arrivals(destination, kBurst, p.size() + p2p::detail::wire::HEADER_LEN);
        return seconds_since(start);
    }
    AgentSide side;
    std::vector<std::uint8_t> p;
    int destination;  // the remote node's socket, which only the benchmark reads
    bool delivered = true;
};

struct OutboundBareThreaded {
    explicit OutboundBareThreaded(std::size_t len)
        : p(packet(kLocal, kRemote, len)),
          bridge(std::in_place, tunnel.agent, out.fd, destination.addr),
          arrivals(destination.node->core()->transport->fd) {}
    ~OutboundBareThreaded() {
        bridge.reset();
        ::close(tunnel.agent);
    }
    double burst() {
        const auto start = Clock::now();
        tunnel.host_write_burst(p);
        delivered = await_arrivals(arrivals, kBurst, p.size());
        return seconds_since(start);
    }
    Tunnel tunnel;
    UdpSocket out;
    RemoteNode destination;
    std::vector<std::uint8_t> p;
    std::optional<BareBridge> bridge;
    int arrivals;
    bool delivered = true;
};

struct InboundAgentThreaded {
    explicit InboundAgentThreaded(std::size_t len)
        : side(Runtime::create()),
          to_agent(side.remote->initiate(side.node->pk()).value()),
          p(packet(kRemote, kLocal, len)) {}
    double burst() {
        const auto start = Clock::now();
        for (int i = 0; i < kBurst; ++i) {
            (void)to_agent.send_datagram(p);
        }
        delivered = await_arrivals(side.tunnel.host, kBurst, p.size());
        return seconds_since(start);
    }
    AgentSide side;
    p2p::NodePeer to_agent;
    std::vector<std::uint8_t> p;
    bool delivered = true;
};

struct InboundBareThreaded {
    explicit InboundBareThreaded(std::size_t len)
        : p(packet(kRemote, kLocal, len)), bridge(std::in_place, in.fd, tunnel.agent) {}
    ~InboundBareThreaded() {
        bridge.reset();
        ::close(tunnel.agent);
    }
    double burst() {
        const auto start = Clock::now();
        for (int i = 0; i < kBurst; ++i) {
            (void)::sendto(peer.fd, p.data(), p.size(), 0,
                           reinterpret_cast<const sockaddr*>(&in.addr), sizeof in.addr);
        }
        delivered = await_arrivals(tunnel.host, kBurst, p.size());
        return seconds_since(start);
    }
    Tunnel tunnel;
    UdpSocket peer;
    UdpSocket in;
    std::vector<std::uint8_t> p;
    std::optional<BareBridge> bridge;
    bool delivered = true;
};

// The agent's and the bare loop's bursts alternate within every iteration, so that the load of
// a shared machine weighs on both alike. The time of an iteration is the agent's.
void report(benchmark::State& state, double agent_seconds, double bare_seconds) {
    const double packets = static_cast<double>(state.iterations()) * kBurst;
    state.counters["agent_pps"] = packets / agent_seconds;
    state.counters["bare_pps"] = packets / bare_seconds;
    state.counters["R"] = bare_seconds / agent_seconds;
    state.SetItemsProcessed(static_cast<std::int64_t>(packets));
}

// False once a runner's last burst did not arrive whole; runners that cannot tell are whole.
template <class Runner>
bool whole(const Runner& runner) {
    if constexpr (requires { runner.delivered; }) {
        return runner.delivered;
    } else {
        return true;
    }
}

// Alternates the agent's and the bare loop's bursts, and those of each of `others` (which keep
// their own time), until the benchmark has enough or a burst did not arrive whole.
template <class Agent, class Bare, class... Others>
void run_alternating(benchmark::State& state, Agent& agent, Bare& bare, Others&... others) {
    double agent_seconds = 0;
    double bare_seconds = 0;
    for (auto _ : state) {
        const double a = agent.burst();
        bare_seconds += bare.burst();
        (others.burst(), ...);
        agent_seconds += a;
        state.SetIterationTime(a);
        if (!whole(agent) || !whole(bare)) {
            state.SkipWithError("a burst did not arrive whole");
            break;
        }
    }
    report(state, agent_seconds, bare_seconds);
}

void BM_PacketPathOutbound(benchmark::State& state) {
    const auto len = static_cast<std::size_t>(state.range(0));
    OutboundAgent agent(len);
    OutboundBare bare(len, false);
    OutboundBare framed(len, true);
    run_alternating(state, agent, bare, framed);
    state.counters["framed_pps"] =
        static_cast<double>(state.iterations()) * kBurst / framed.seconds;
}

void BM_PacketPathInbound(benchmark::State& state) {
    const auto len = static_cast<std::size_t>(state.range(0));
    InboundAgent agent(len);
    InboundBare bare(len);
    run_alternating(state, agent, bare);
}

template <class Agent, class Bare>
void run_threaded(benchmark::State& state) {
    const auto len = static_cast<std::size_t>(state.range(0));
    Agent agent(len);
    Bare bare(len);
    run_alternating(state, agent, bare);
    state.counters["workers"] = static_cast<double>(agent.side.runtime->worker_count());
}

void BM_PacketPathOutboundThreaded(benchmark::State& state) {
    run_threaded<OutboundAgentThreaded, OutboundBareThreaded>(state);
}

void BM_PacketPathInboundThreaded(benchmark::State& state) {
    run_threaded<InboundAgentThreaded, InboundBareThreaded>(state);
}

BENCHMARK(BM_PacketPathOutbound)->Arg(64)->Arg(1400)->UseManualTime();
BENCHMARK(BM_PacketPathInbound)->Arg(64)->Arg(1400)->UseManualTime();
BENCHMARK(BM_PacketPathOutboundThreaded)->Arg(64)->Arg(1400)->UseManualTime();
BENCHMARK(BM_PacketPathInboundThreaded)->Arg(64)->Arg(1400)->UseManualTime();

}  // namespace
}  // namespace quorvel::agent
