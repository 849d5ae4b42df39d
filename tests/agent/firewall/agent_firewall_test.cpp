#include "agent/firewall/agent_firewall.h"

#include <gtest/gtest.h>

#include <boost/unordered/unordered_flat_map.hpp>

#include <atomic>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quorvel::agent {
namespace {

using p2p::PubKey;
using Packet = std::shared_ptr<const std::vector<uint8_t>>;

PubKey key(uint8_t n) {
    PubKey::Bytes bytes{};
    bytes.fill(n);
    return PubKey(bytes);
}

// A node peer handle for these tests: equal by key like the real one, while `identity` tells
// apart two handles of the same key.
struct TestPeer {
    PubKey key;
    std::shared_ptr<int> identity = std::make_shared<int>(0);

    const PubKey& pk() const { return key; }
    bool operator==(const TestPeer& other) const { return key == other.key; }
};

struct TestPeerHash {
    size_t operator()(const TestPeer& p) const { return std::hash<PubKey>{}(p.key); }
};

using Firewall = BasicAgentFirewall<TestPeer>;
using BatchMap = boost::unordered_flat_map<TestPeer, std::vector<Packet>, TestPeerHash>;

Ipv4Net net(std::string_view text) {
    return Ipv4Net::parse(text).value();
}
Ipv4Addr addr(std::string_view text) {
    return Ipv4Addr::parse(text).value();
}

template <class V>
using Inner = std::vector<std::pair<std::string_view, V>>;

template <class V>
std::shared_ptr<const PrefixTrie<PrefixTrie<V>>> make_trie(
    const std::vector<std::pair<std::string_view, Inner<V>>>& outer) {
    typename PrefixTrie<PrefixTrie<V>>::Builder builder;
    for (const auto& [outer_net, inner] : outer) {
        typename PrefixTrie<V>::Builder inner_builder;
        for (const auto& [inner_net, value] : inner) {
            inner_builder.insert_or_assign(net(inner_net), value);
        }
        builder.insert_or_assign(net(outer_net), std::move(inner_builder).build());
    }
    return std::make_shared<const PrefixTrie<PrefixTrie<V>>>(std::move(builder).build());
}

Packet make_packet(Ipv4Addr src, Ipv4Addr dst, uint8_t fill = 0) {
    std::vector<uint8_t> bytes(28, fill);
    bytes[0] = 0x45;
    bytes[9] = 17;
    src.to_bytes(&bytes[12]);
    dst.to_bytes(&bytes[16]);
    return std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
}

ip::Ipv4HeaderSlice header_of(const Packet& packet) {
    return ip::Ipv4HeaderSlice::from_slice(*packet).value();
}

std::optional<std::string> field(const log::Event& event, std::string_view name) {
    for (const auto& f : event.fields) {
        if (f.name == name) {
            return f.value;
        }
    }
    return std::nullopt;
}

TEST(AgentFirewallTest, NewFirewallMissesEverything) {
    log::ScopedCapture capture;
    Firewall firewall;
    ASSERT_NE(firewall.load_tx_trie(), nullptr);
    ASSERT_NE(firewall.load_rx_trie(), nullptr);
    EXPECT_TRUE(firewall.load_tx_trie()->empty());
    EXPECT_TRUE(firewall.load_rx_trie()->empty());

    const Packet packet = make_packet(addr("10.0.0.1"), addr("10.0.0.2"));
    BatchMap batches;
    EXPECT_FALSE(firewall.handle_outbound_packet(packet, header_of(packet), batches));
    EXPECT_TRUE(batches.empty());
    std::vector<std::vector<uint8_t>> writes;
    EXPECT_FALSE(firewall.handle_inbound_packet(*packet, header_of(packet), key(1), writes));
    EXPECT_TRUE(writes.empty());
    // A miss of the destination is reported by the caller, not here.
    EXPECT_TRUE(capture.sink().events().empty());
}

struct OutboundCase {
    std::string name;
    std::string_view src;
    std::string_view dst;
    std::optional<uint8_t> peer;          // key byte of the peer chosen, none for a miss
    std::optional<std::string> dest_net;  // the destination entry that won, if any
};

class OutboundLookupTest : public ::testing::TestWithParam<OutboundCase> {
  protected:
    // 10.1.0.0/16 lets everything through to peer 1; the more specific 10.1.2.3/32 takes only
    // 192.168.0.0/24 (peer 2) and a single host (peer 3), so it hides the wider entry for every
    // other source. 0.0.0.0/0 catches every other destination, but only from 100.64.0.0/10.
    Firewall firewall;
    void SetUp() override {
        firewall.store_tx_trie(make_trie<TestPeer>({
            {"10.1.0.0/16", {{"0.0.0.0/0", TestPeer{key(1)}}}},
            {"10.1.2.3/32",
             {{"192.168.0.0/24", TestPeer{key(2)}}, {"192.168.0.7/32", TestPeer{key(3)}}}},
            {"0.0.0.0/0", {{"100.64.0.0/10", TestPeer{key(4)}}}},
        }));
    }
};

TEST_P(OutboundLookupTest, MostSpecificDestinationThenItsSources) {
    const OutboundCase& c = GetParam();
    log::ScopedCapture capture;
    const Packet packet = make_packet(addr(c.src), addr(c.dst));
    BatchMap batches;
    const bool hit = firewall.handle_outbound_packet(packet, header_of(packet), batches);
    const auto events = capture.sink().events();

    EXPECT_EQ(hit, c.peer.has_value());
    if (!c.dest_net) {
        EXPECT_TRUE(events.empty());
        EXPECT_TRUE(batches.empty());
        return;
    }
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0].level, log::Level::Trace);
    EXPECT_EQ(events[0].target, "quorvel_agent::agent::firewall");
    EXPECT_EQ(events[0].message, "Found dest trie entry with net " + *c.dest_net);
    EXPECT_EQ(field(events[0], "src"), std::string(c.src));
    EXPECT_EQ(field(events[0], "dst"), std::string(c.dst));
    if (!c.peer) {
        ASSERT_EQ(events.size(), 2u);
        EXPECT_EQ(events[1].level, log::Level::Debug);
        EXPECT_EQ(events[1].message, fmt::format("No outbound route found for source: {} -> {} "
                                                 "(source IP not in routing table)",
                                                 c.src, c.dst));
        EXPECT_EQ(field(events[1], "src"), std::string(c.src));
        EXPECT_EQ(field(events[1], "dst"), std::string(c.dst));
        EXPECT_TRUE(batches.empty());
        return;
    }
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].message,
              fmt::format("Found corresponding source entry: {} -> {}", c.src, key(*c.peer)));
    EXPECT_TRUE(events[1].fields.empty());
    EXPECT_EQ(events[2].message,
              fmt::format("Successfully forwarded packet to channel: {} -> {}", c.src, c.dst));
    EXPECT_EQ(field(events[2], "src"), std::string(c.src));
    EXPECT_EQ(field(events[2], "dst"), std::string(c.dst));
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(batches.begin()->first.key, key(*c.peer));
    ASSERT_EQ(batches.begin()->second.size(), 1u);
    // Queued, not copied.
    EXPECT_EQ(batches.begin()->second[0].get(), packet.get());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OutboundLookupTest,
    ::testing::Values(
        OutboundCase{"wide_destination", "172.16.0.1", "10.1.9.9", 1, "10.1.0.0/16"},
        OutboundCase{"host_destination_network_source", "192.168.0.9", "10.1.2.3", 2,
                     "10.1.2.3/32"},
        OutboundCase{"host_destination_host_source", "192.168.0.7", "10.1.2.3", 3, "10.1.2.3/32"},
        // The /32 entry wins and has no source for this packet: the /16 entry is not consulted.
        OutboundCase{"hidden_by_more_specific_destination", "172.16.0.1", "10.1.2.3", std::nullopt,
                     "10.1.2.3/32"},
        OutboundCase{"default_destination", "100.100.1.1", "8.8.8.8", 4, "0.0.0.0/0"},
        OutboundCase{"default_destination_unknown_source", "10.1.0.1", "8.8.8.8", std::nullopt,
                     "0.0.0.0/0"}),
    [](const ::testing::TestParamInfo<OutboundCase>& info) { return info.param.name; });

TEST(AgentFirewallTest, OutboundMissWithoutCatchAllDestination) {
    log::ScopedCapture capture;
    Firewall firewall;
    firewall.store_tx_trie(make_trie<TestPeer>({{"10.1.0.0/16", {{"0.0.0.0/0", {key(1)}}}}}));
    const Packet packet = make_packet(addr("10.1.0.1"), addr("10.2.0.1"));
    BatchMap batches;
    EXPECT_FALSE(firewall.handle_outbound_packet(packet, header_of(packet), batches));
    EXPECT_TRUE(batches.empty());
    EXPECT_TRUE(capture.sink().events().empty());
}

TEST(AgentFirewallTest, PacketsForOnePeerShareItsBatchUnderTheFirstHandle) {
    Firewall firewall;
    const TestPeer in_trie{key(7)};
    firewall.store_tx_trie(make_trie<TestPeer>(
        {{"10.0.0.0/8", {{"0.0.0.0/0", in_trie}}}, {"10.9.0.0/16", {{"0.0.0.0/0", in_trie}}}}));

    BatchMap batches;
    const Packet first = make_packet(addr("100.64.0.1"), addr("10.0.0.1"), 1);
    ASSERT_TRUE(firewall.handle_outbound_packet(first, header_of(first), batches));
    ASSERT_EQ(batches.size(), 1u);
    const std::shared_ptr<int> first_identity = batches.begin()->first.identity;
    EXPECT_EQ(first_identity, in_trie.identity);

    // A second packet through another destination entry naming the same peer.
    const Packet second = make_packet(addr("100.64.0.1"), addr("10.9.0.1"), 2);
    ASSERT_TRUE(firewall.handle_outbound_packet(second, header_of(second), batches));
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(batches.begin()->first.identity, first_identity);
    ASSERT_EQ(batches.begin()->second.size(), 2u);
    EXPECT_EQ(batches.begin()->second[0].get(), first.get());
    EXPECT_EQ(batches.begin()->second[1].get(), second.get());

    // A batch opened under another handle of the same key keeps that handle.
    BatchMap other;
    const TestPeer earlier{key(7)};
    other[earlier];
    ASSERT_TRUE(firewall.handle_outbound_packet(first, header_of(first), other));
    ASSERT_EQ(other.size(), 1u);
    EXPECT_EQ(other.begin()->first.identity, earlier.identity);
    EXPECT_EQ(other.begin()->second.size(), 1u);
}

struct InboundCase {
    std::string name;
    std::string_view src;
    std::string_view dst;
    uint8_t sender;
    bool result;
    bool written;
    std::optional<uint8_t> expected_peer;  // the key the warning names, when refused
};

class InboundCheckTest : public ::testing::TestWithParam<InboundCase> {
  protected:
    // From 10.2.0.0/16 only peer 1 may send to us, except that 10.2.5.0/24 belongs to peer 2 for
    // traffic to 100.64.0.1. Peer 3 may send from anywhere, but only to 100.64.9.0/24.
    Firewall firewall;
    void SetUp() override {
        firewall.store_rx_trie(make_trie<PubKey>({
            {"10.2.0.0/16", {{"100.64.0.0/10", key(1)}}},
            {"10.2.5.0/24", {{"100.64.0.1/32", key(2)}}},
            {"0.0.0.0/0", {{"100.64.9.0/24", key(3)}}},
        }));
    }
};

TEST_P(InboundCheckTest, AcceptsOnlyTheNamedPeer) {
    const InboundCase& c = GetParam();
    log::ScopedCapture capture;
    const Packet packet = make_packet(addr(c.src), addr(c.dst), 0x5a);
    std::vector<std::vector<uint8_t>> writes;
    EXPECT_EQ(firewall.handle_inbound_packet(*packet, header_of(packet), key(c.sender), writes),
              c.result);
    const auto events = capture.sink().events();
    if (c.written) {
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(writes[0], *packet);
        EXPECT_NE(writes[0].data(), packet->data());
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].level, log::Level::Trace);
        EXPECT_EQ(
            events[0].message,
            fmt::format("Successfully forwarded packet to TUN device: {} -> {}", c.src, c.dst));
        EXPECT_EQ(field(events[0], "peer"), key(c.sender).to_string());
        EXPECT_EQ(field(events[0], "src"), std::string(c.src));
        EXPECT_EQ(field(events[0], "dst"), std::string(c.dst));
        return;
    }
    EXPECT_TRUE(writes.empty());
    if (!c.expected_peer) {
        EXPECT_TRUE(events.empty());
        return;
    }
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].level, log::Level::Warn);
    EXPECT_EQ(events[0].target, "quorvel_agent::agent::firewall");
    EXPECT_EQ(events[0].message,
              fmt::format("Security violation: packet source mismatch - received from peer {} "
                          "with source IP {} but expected peer {} for this route",
                          key(c.sender), c.src, key(*c.expected_peer)));
    ASSERT_EQ(events[0].fields.size(), 4u);
    EXPECT_EQ(field(events[0], "peer"), key(c.sender).to_string());
    EXPECT_EQ(field(events[0], "expected_peer"), key(*c.expected_peer).to_string());
    EXPECT_EQ(field(events[0], "src"), std::string(c.src));
    EXPECT_EQ(field(events[0], "dst"), std::string(c.dst));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InboundCheckTest,
    ::testing::Values(
        InboundCase{"accepted", "10.2.0.9", "100.64.0.1", 1, true, true, std::nullopt},
        InboundCase{"accepted_specific", "10.2.5.1", "100.64.0.1", 2, true, true, std::nullopt},
        InboundCase{"wrong_peer", "10.2.0.9", "100.64.0.1", 2, true, false, 1},
        InboundCase{"wrong_peer_specific", "10.2.5.1", "100.64.0.1", 1, true, false, 2},
        // 10.2.5.0/24 wins for the source and has no entry for this destination: no fallback to
        // the /16 entry.
        InboundCase{"hidden_by_more_specific_source", "10.2.5.1", "100.64.0.2", 1, false, false,
                    std::nullopt},
        InboundCase{"no_destination", "10.2.0.9", "192.168.1.1", 1, false, false, std::nullopt},
        InboundCase{"catch_all_source", "8.8.8.8", "100.64.9.9", 3, true, true, std::nullopt},
        InboundCase{"catch_all_source_wrong_peer", "8.8.8.8", "100.64.9.9", 1, true, false, 3},
        InboundCase{"catch_all_source_no_destination", "8.8.8.8", "100.64.0.1", 3, false, false,
                    std::nullopt}),
    [](const ::testing::TestParamInfo<InboundCase>& info) { return info.param.name; });

TEST(AgentFirewallTest, StoredTriesAreWhatLoadsReturnAndOldOnesStayAliveWhileHeld) {
    Firewall firewall;
    auto tx = make_trie<TestPeer>({{"10.0.0.0/8", {{"0.0.0.0/0", {key(1)}}}}});
    auto rx = make_trie<PubKey>({{"10.0.0.0/8", {{"0.0.0.0/0", key(1)}}}});
    firewall.store_tx_trie(tx);
    firewall.store_rx_trie(rx);
    EXPECT_EQ(firewall.load_tx_trie(), tx);
    EXPECT_EQ(firewall.load_rx_trie(), rx);

    std::weak_ptr<const Firewall::TxTrie> old_tx = tx;
    auto held = firewall.load_tx_trie();
    tx.reset();
    firewall.store_tx_trie(std::make_shared<const Firewall::TxTrie>());
    EXPECT_FALSE(old_tx.expired());
    EXPECT_EQ(held->size(), 1u);
    held.reset();
    EXPECT_TRUE(old_tx.expired());
}

// Readers look packets up without pause while the tries are replaced again and again. Version n
// of the tries sends 10.0.0.0/8 to peer n and accepts from peer n only, and a more specific
// destination entry for another source stands beside it in every version. Each reader must see
// whole versions only, in the order they were published.
TEST(AgentFirewallConcurrencyTest, LookupsWhileTriesAreReplaced) {
    constexpr int kVersions = 200;  // key bytes stay below 256
    constexpr int kReaders = 4;
    // A refused packet warns; a reader may check against a version that has just been replaced.
    const log::Level previous_level = log::min_level();
    log::set_min_level(log::Level::Error);
    Firewall firewall;
    auto publish = [&](uint8_t n) {
        firewall.store_tx_trie(make_trie<TestPeer>({
            {"10.0.0.0/8", {{"100.64.0.0/10", TestPeer{key(n)}}}},
            {"10.0.0.1/32", {{"192.168.0.0/16", TestPeer{key(static_cast<uint8_t>(n + 1))}}}},
        }));
        firewall.store_rx_trie(make_trie<PubKey>({{"10.0.0.0/8", {{"100.64.0.0/10", key(n)}}}}));
    };
    publish(1);

    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::atomic<int> started{0};
    std::vector<std::thread> readers;
    for (int r = 0; r < kReaders; ++r) {
        readers.emplace_back([&] {
            const Packet out = make_packet(addr("100.64.0.5"), addr("10.0.0.9"));
            const Packet hidden = make_packet(addr("100.64.0.5"), addr("10.0.0.1"));
            const Packet in = make_packet(addr("10.0.0.9"), addr("100.64.0.5"));
            uint8_t last_seen = 1;
            started.fetch_add(1);
            while (!done.load()) {
                BatchMap batches;
                if (!firewall.handle_outbound_packet(out, header_of(out), batches) ||
                    batches.size() != 1) {
                    failures.fetch_add(1);
                    continue;
                }
                const uint8_t seen = batches.begin()->first.key.as_bytes()[0];
                if (seen < last_seen) {
                    failures.fetch_add(1);
                }
                last_seen = seen;
                if (firewall.handle_outbound_packet(hidden, header_of(hidden), batches)) {
                    failures.fetch_add(1);
                }
                // The receive trie is published after the transmit trie, so it names the
                // version just seen or the one before it.
                std::vector<std::vector<uint8_t>> writes;
                const uint8_t from = firewall.load_rx_trie()
                                         ->lookup(addr("10.0.0.9"))
                                         ->lookup(addr("100.64.0.5"))
                                         ->as_bytes()[0];
                if (!firewall.handle_inbound_packet(*in, header_of(in), key(from), writes) ||
                    writes.size() > 1) {
                    failures.fetch_add(1);
                }
            }
        });
    }
    while (started.load() < kReaders) {
        std::this_thread::yield();
    }
    for (int n = 2; n <= kVersions; ++n) {
        publish(static_cast<uint8_t>(n));
    }
    done.store(true);
    for (auto& t : readers) {
        t.join();
    }
    log::set_min_level(previous_level);
    EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace quorvel::agent
