// Arbitrary packets through both packet passes with a small rule set: tunnel packets through the
// outbound pass (to a node peer whose sends are captured, or back into the tunnel), and datagrams
// from a peer through the inbound pass (the receive trie, the ICMP reply, the tunnel writer).
//
// Input: the first byte chooses the pass (even: outbound, odd: inbound) and, for the inbound
// pass, how the tunnel write behaves; the rest is a sequence of packets, each a big-endian
// 16-bit length followed by that many bytes (cut at the end of the input).
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/use_future.hpp>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

#include "agent/firewall/agent_firewall.h"
#include "agent/netif/node_peer.h"
#include "agent/netif/tun_device.h"
#include "p2p/identity.h"
#include "p2p/node.h"
#include "p2p/node_opts.h"
#include "p2p/testing.h"

namespace {

using namespace quorvel;
using namespace quorvel::agent;
namespace asio = boost::asio;

constexpr std::uint16_t kMtu = 1280;

class ScriptedReader final : public tun_device::TunDevicePoller {
  public:
    Poll<Result<ReceivedPackets, IoError>> poll_recv(const Waker&, std::size_t) override {
        if (packets.empty()) {
            return std::nullopt;
        }
        ReceivedPackets r;
        r.count = 1;
        r.packets.push_back(std::move(packets.front()));
        packets.pop_front();
        return Result<ReceivedPackets, IoError>(std::move(r));
    }
    std::deque<Bytes> packets;
};

class ScriptedPeerReader final : public node_peer::NodePeerPoller {
  public:
    Poll<node_peer::ReceivedDatagrams> poll_recv(const Waker&, std::size_t slots) override {
        if (datagrams.empty()) {
            return std::nullopt;
        }
        node_peer::ReceivedDatagrams r;
        r.slots.resize(slots);
        while (r.count < slots && !datagrams.empty()) {
            r.slots[r.count++] = std::move(datagrams.front());
            datagrams.pop_front();
        }
        return r;
    }
    std::deque<p2p::DatagramBuffer> datagrams;
};

// Completes, fails or stays pending by the input's choice.
class ScriptedWriter final : public node_peer::TunDevicePoller {
  public:
    Poll<Result<std::size_t, IoError>> poll_send(const Waker&,
                                                 std::vector<BytesMut> packets) override {
        if (!in_flight) {
            in_flight = std::move(packets);
        }
        if (mode == 2 && ++polls % 3 != 0) {
            return std::nullopt;
        }
        const std::size_t n = in_flight->size();
        in_flight.reset();
        if (mode == 1) {
            return Result<std::size_t, IoError>(unexpected(IoError::from_errno(EIO)));
        }
        return Result<std::size_t, IoError>(n);
    }
    int mode = 0;
    int polls = 0;
    std::optional<std::vector<BytesMut>> in_flight;
};

p2p::PubKey key_of(std::uint8_t b) {
    p2p::PubKey::Bytes bytes{};
    bytes.fill(b);
    return p2p::PubKey(bytes);
}

Ipv4Net net(const char* text) {
    return Ipv4Net::parse(text).value();
}

struct World {
    World() {
        const p2p::Identity id(p2p::SecKey::random(), p2p::Pow(0));
        auto opts = p2p::NodeOptsBuilder()
                        .id(id)
                        .udp_addrs({asio::ip::make_address("127.0.0.1")})
                        .udp_port(0)
                        .build();
        auto bound =
            asio::co_spawn(io, p2p::Node::bind(io.get_executor(), *opts), asio::use_future);
        while (bound.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            io.run_one();
        }
        node = bound.get().value();
        hooks = p2p::testing::hooks_for(node->pk());
        hooks->capture_sends(false);

        int fds[2];
        (void)::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds);
        host = fds[1];
        device = AsyncDevice::from_fd(io.get_executor(), fds[0]).value();

        // 10.1.0.0/24 and 10.2.0.9 are reachable from 10.0.0.0/24 through peer A; A may send
        // from 10.1.0.0/24, B from 10.3.0.0/16, to 10.0.0.0/24.
        const NodePeerSetup setup{firewall, nullptr, kMtu, io.get_executor()};
        peer_a.emplace(NodePeer::create(*node, key_of(0xa1), setup).value());
        PrefixTrie<NodePeer>::Builder sources;
        sources.insert_or_assign(net("10.0.0.0/24"), *peer_a);
        auto inner = std::move(sources).build();
        AgentFirewall::TxTrie::Builder tx;
        tx.insert_or_assign(net("10.1.0.0/24"), inner);
        tx.insert_or_assign(net("10.2.0.9/32"), inner);
        firewall->store_tx_trie(
            std::make_shared<const AgentFirewall::TxTrie>(std::move(tx).build()));
        AgentFirewall::RxTrie::Builder rx;
        PrefixTrie<p2p::PubKey>::Builder to_local_a;
        to_local_a.insert_or_assign(net("10.0.0.0/24"), key_of(0xa1));
        rx.insert_or_assign(net("10.1.0.0/24"), std::move(to_local_a).build());
        PrefixTrie<p2p::PubKey>::Builder to_local_b;
        to_local_b.insert_or_assign(net("10.0.0.0/24"), key_of(0xb2));
        rx.insert_or_assign(net("10.3.0.0/16"), std::move(to_local_b).build());
        firewall->store_rx_trie(
            std::make_shared<const AgentFirewall::RxTrie>(std::move(rx).build()));

        auto reader = std::make_unique<ScriptedReader>();
        tun_reader = reader.get();
        outbound.emplace(device, std::move(reader),
                         std::make_unique<tun_device::NodePeerPollHelper>(), firewall, nullptr);

        auto p2p_peer = node->initiate(key_of(0xa1)).value();
        auto peer_reader = std::make_unique<ScriptedPeerReader>();
        this->peer_reader = peer_reader.get();
        auto writer = std::make_unique<ScriptedWriter>();
        tun_writer = writer.get();
        inbound.emplace(p2p_peer, std::move(peer_reader), firewall, key_of(0xa1), std::move(writer),
                        kMtu);
    }

    void drain_host() const {
        std::vector<std::uint8_t> buffer(2048);
        while (::recv(host, buffer.data(), buffer.size(), MSG_DONTWAIT) >= 0) {
        }
    }

    asio::io_context io;
    p2p::NodeRef node;
    std::shared_ptr<p2p::testing::TestHooks> hooks;
    int host = -1;
    std::shared_ptr<AsyncDevice> device;
    std::shared_ptr<AgentFirewall> firewall = std::make_shared<AgentFirewall>();
    std::optional<NodePeer> peer_a;
    ScriptedReader* tun_reader = nullptr;
    std::optional<tun_device::State> outbound;
    ScriptedPeerReader* peer_reader = nullptr;
    ScriptedWriter* tun_writer = nullptr;
    std::optional<node_peer::State> inbound;
    Waker waker{[] {}};
};

World& world() {
    static World* w = new World();
    return *w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) {
        return 0;
    }
    World& w = world();
    const std::uint8_t mode = data[0];
    std::vector<std::vector<std::uint8_t>> packets;
    for (std::size_t at = 1; at + 2 <= size;) {
        const std::size_t len = (static_cast<std::size_t>(data[at]) << 8) | data[at + 1];
        at += 2;
        const std::size_t take = len < size - at ? len : size - at;
        packets.emplace_back(data + at, data + at + take);
        at += take;
    }
    if (mode % 2 == 0) {
        for (auto& p : packets) {
            w.tun_reader->packets.emplace_back(std::move(p));
        }
        // Passes end on the empty reader; a budget or the read cap makes another pass.
        while (w.outbound->drive_transmit(w.waker).value_or(false)) {
        }
        w.hooks->clear_sent();
        w.drain_host();
    } else {
        w.tun_writer->mode = (mode >> 1) % 3;
        for (auto& p : packets) {
            w.peer_reader->datagrams.push_back(std::move(p));
        }
        // A write left pending completes within three polls.
        for (int i = 0; i < 1000; ++i) {
            const bool again = w.inbound->drive_transmit(w.waker).value_or(false);
            if (!again && !w.inbound->pending_writes && w.peer_reader->datagrams.empty()) {
                break;
            }
        }
        w.hooks->clear_sent();
    }
    return 0;
}
