// Building blocks for tests of the packet passes: a bound P2P node on loopback with its test
// controls, IPv4 packets, transmit and receive tries over real node peers, and scripted pollers.
#pragma once

#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "agent/firewall/agent_firewall.h"
#include "agent/netif/node_peer.h"
#include "agent/netif/tun_device.h"
#include "p2p/identity.h"
#include "p2p/node.h"
#include "p2p/node_opts.h"
#include "p2p/testing.h"
#include "util/ip_packet.h"

namespace quorvel::agent::testing {

inline p2p::PubKey key_of(std::uint8_t b) {
    p2p::PubKey::Bytes bytes{};
    bytes.fill(b);
    return p2p::PubKey(bytes);
}

// A waker that counts its wakes.
struct Counter {
    std::shared_ptr<int> n = std::make_shared<int>(0);
    Waker waker{[n = n] { ++*n; }};
};

// Runs `step` on a thread of its own and waits for it. A step that has not returned after half a
// minute is stuck for good (a thread waiting on a lock it holds itself): the test binary is
// stopped with `what` rather than left hanging.
inline void within_deadline(const char* what, const std::function<void()>& step) {
    std::packaged_task<void()> task(step);
    auto done = task.get_future();
    std::thread runner(std::move(task));
    if (done.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        std::fprintf(stderr, "Stuck for 30 s: %s\n", what);
        std::fflush(stderr);
        std::abort();
    }
    runner.join();
    done.get();
}

inline Ipv4Addr addr(std::string_view text) {
    return Ipv4Addr::parse(text).value();
}

// An IPv4 packet of `len` bytes (at least 28): a 20-byte header with a correct checksum, then a
// UDP-like header with ports 1000 -> 2000, then bytes counting up from `fill`.
inline std::vector<std::uint8_t> ipv4_packet(std::string_view src, std::string_view dst,
                                             std::size_t len, bool dont_fragment = false,
                                             std::uint8_t protocol = ip::kProtocolUdp,
                                             std::uint8_t fill = 0) {
    std::vector<std::uint8_t> p(len, 0);
    p[0] = 0x45;
    ip::write_u16(&p[2], static_cast<std::uint16_t>(len));
    p[6] = dont_fragment ? 0x40 : 0;
    p[8] = 64;
    p[9] = protocol;
    addr(src).to_bytes(&p[12]);
    addr(dst).to_bytes(&p[16]);
    ip::write_u16(&p[10], ip::internet_checksum(std::span(p.data(), 20)));
    if (len >= 28) {
        ip::write_u16(&p[20], 1000);
        ip::write_u16(&p[22], 2000);
        ip::write_u16(&p[24], static_cast<std::uint16_t>(len - 20));
    }
    for (std::size_t i = 28; i < len; ++i) {
        p[i] = static_cast<std::uint8_t>(fill + i);
    }
    return p;
}

// A P2P node bound on loopback, driven by `io` when the test runs it.
class BoundNode {
  public:
    explicit BoundNode(boost::asio::io_context& io) : io_(io) {
        const p2p::Identity id(p2p::SecKey::random(), p2p::Pow(0));
        auto opts = p2p::NodeOptsBuilder()
                        .id(id)
                        .udp_addrs({boost::asio::ip::make_address("127.0.0.1")})
                        .udp_port(0)
                        .build();
        EXPECT_TRUE(opts.has_value());
        std::optional<Result<p2p::NodeRef, p2p::node::Error>> bound;
        boost::asio::co_spawn(
            io_,
            [&]() -> boost::asio::awaitable<void> {
                bound = co_await p2p::Node::bind(io_.get_executor(), *opts);
            },
            boost::asio::detached);
        while (!bound) {
            io_.run_one();
        }
        EXPECT_TRUE(bound->has_value());
        node = **bound;
        hooks = p2p::testing::hooks_for(node->pk());
    }
    ~BoundNode() {
        const auto pk = node->pk();
        node->stop();
        node.reset();
        p2p::testing::forget_hooks(pk);
    }

    p2p::NodeRef node;
    std::shared_ptr<p2p::testing::TestHooks> hooks;

  private:
    boost::asio::io_context& io_;
};

// Tries with one level each given as (outer, inner, value) rows.
template <class V>
std::shared_ptr<const PrefixTrie<PrefixTrie<V>>> make_trie(
    const std::vector<std::tuple<std::string_view, std::string_view, V>>& rows) {
    std::vector<std::pair<Ipv4Net, typename PrefixTrie<V>::Builder>> inners;
    for (const auto& [outer, inner, value] : rows) {
        const Ipv4Net key = Ipv4Net::parse(outer).value();
        auto it = std::find_if(inners.begin(), inners.end(),
                               [&](const auto& entry) { return entry.first == key; });
        if (it == inners.end()) {
            inners.emplace_back(key, typename PrefixTrie<V>::Builder());
            it = std::prev(inners.end());
        }
        it->second.insert_or_assign(Ipv4Net::parse(inner).value(), value);
    }
    typename PrefixTrie<PrefixTrie<V>>::Builder builder;
    for (auto& [key, inner] : inners) {
        builder.insert_or_assign(key, std::move(inner).build());
    }
    return std::make_shared<const PrefixTrie<PrefixTrie<V>>>(std::move(builder).build());
}

// Reads the tunnel from a script: each entry is one read's outcome; an empty script is pending.
class ScriptedTunReader final : public tun_device::TunDevicePoller {
  public:
    Poll<Result<ReceivedPackets, IoError>> poll_recv(const Waker& /*waker*/,
                                                     std::size_t /*count*/) override {
        ++reads;
        if (endless) {
            ReceivedPackets r;
            r.count = 1;
            r.packets.push_back(*endless);
            return Result<ReceivedPackets, IoError>(std::move(r));
        }
        if (script.empty()) {
            return std::nullopt;
        }
        auto next = std::move(script.front());
        script.pop_front();
        return next;
    }
    void push(std::vector<std::uint8_t> packet) {
        ReceivedPackets r;
        r.count = 1;
        r.packets.emplace_back(std::move(packet));
        script.emplace_back(std::move(r));
    }

    std::deque<Result<ReceivedPackets, IoError>> script;
    // When set, every read returns this packet.
    std::optional<Bytes> endless;
    std::size_t reads = 0;
};

// Writes into the tunnel from a script of outcomes; records what it was given.
class ScriptedTunWriter final : public node_peer::TunDevicePoller {
  public:
    Poll<Result<std::size_t, IoError>> poll_send(const Waker& /*waker*/,
                                                 std::vector<BytesMut> packets) override {
        if (!in_flight) {
            in_flight = std::move(packets);
        }
        if (pending) {
            return std::nullopt;
        }
        std::vector<BytesMut> done = std::move(*in_flight);
        in_flight.reset();
        if (fail) {
            return Result<std::size_t, IoError>(unexpected(*fail));
        }
        const std::size_t n = done.size();
        for (auto& p : done) {
            written.push_back(std::move(p));
        }
        ++writes;
        return Result<std::size_t, IoError>(n);
    }

    bool pending = false;
    std::optional<IoError> fail;
    std::optional<std::vector<BytesMut>> in_flight;
    std::vector<BytesMut> written;
    std::size_t writes = 0;
};

// Reads the peer's datagrams from a script; every read of `flood` returns the full slot count.
class ScriptedPeerReader final : public node_peer::NodePeerPoller {
  public:
    Poll<node_peer::ReceivedDatagrams> poll_recv(const Waker& /*waker*/,
                                                 std::size_t slots) override {
        ++reads;
        node_peer::ReceivedDatagrams r;
        r.slots.resize(slots);
        if (flood) {
            r.count = slots;
            for (auto& s : r.slots) {
                s = *flood;
            }
            return r;
        }
        if (script.empty()) {
            return std::nullopt;
        }
        auto batch = std::move(script.front());
        script.pop_front();
        r.count = batch.size();
        for (std::size_t i = 0; i < batch.size() && i < slots; ++i) {
            r.slots[i] = std::move(batch[i]);
        }
        return r;
    }

    std::deque<std::vector<p2p::DatagramBuffer>> script;
    std::optional<p2p::DatagramBuffer> flood;
    std::size_t reads = 0;
};

}  // namespace quorvel::agent::testing
