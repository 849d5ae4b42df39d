#include "agent/dns/agent_dns.h"

#include "util/log.h"

#include <gtest/gtest.h>

#include <set>

namespace quorvel::agent {
namespace {

// A component with a fixed set of server addresses and a request channel of its own.
class FixedAddressDns final : public AgentDns {
  public:
    explicit FixedAddressDns(std::set<Ipv4Addr> addrs) : addrs_(std::move(addrs)) {
        auto [tx, rx] = unbounded_channel<DnsServerRequest>();
        tx_ = std::move(tx);
        rx_ = std::move(rx);
    }
    boost::asio::awaitable<void> apply_desired_state(AgentConfig&) override { co_return; }
    bool is_server_ip(Ipv4Addr addr) const override { return addrs_.contains(addr); }
    std::optional<Ipv4Addr> server_ip() const override { return std::nullopt; }
    UnboundedSender<DnsServerRequest> send_channel() const override { return tx_; }
    void shutdown() override { rx_.close(); }

    UnboundedReceiver<DnsServerRequest>& requests() { return rx_; }

  private:
    std::set<Ipv4Addr> addrs_;
    UnboundedSender<DnsServerRequest> tx_;
    UnboundedReceiver<DnsServerRequest> rx_;
};

const Ipv4Addr kClient = *Ipv4Addr::parse("10.1.0.5");
const Ipv4Addr kServer = *Ipv4Addr::parse("10.1.0.254");

// An IPv4 packet with `ihl` header words, protocol `protocol`, and `transport` after the header.
std::vector<uint8_t> packet(uint8_t protocol, Ipv4Addr dst, std::vector<uint8_t> transport,
                            uint8_t ihl = 5) {
    std::vector<uint8_t> bytes(ihl * 4, 0);
    bytes[0] = static_cast<uint8_t>(0x40 | ihl);
    bytes[9] = protocol;
    kClient.to_bytes(&bytes[12]);
    dst.to_bytes(&bytes[16]);
    const uint16_t total = static_cast<uint16_t>(bytes.size() + transport.size());
    bytes[2] = static_cast<uint8_t>(total >> 8);
    bytes[3] = static_cast<uint8_t>(total);
    bytes.insert(bytes.end(), transport.begin(), transport.end());
    return bytes;
}

std::vector<uint8_t> udp(uint16_t dst_port, std::vector<uint8_t> payload) {
    std::vector<uint8_t> out = {
        0x9c, 0x41, static_cast<uint8_t>(dst_port >> 8), static_cast<uint8_t>(dst_port), 0, 0,
        0,    0};
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

TEST(AgentDnsIntakeTest, TakesOnlyUdpQueriesToServerAddressesOnPort53) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        bool taken;
        std::vector<uint8_t> payload;
    };
    const Case cases[] = {
        {"plain query", packet(17, kServer, udp(53, {1, 2, 3})), true, {1, 2, 3}},
        {"header with options", packet(17, kServer, udp(53, {7}), 6), true, {7}},
        {"empty payload", packet(17, kServer, udp(53, {})), true, {}},
        {"seven bytes of UDP", packet(17, kServer, {0x9c, 0x41, 0, 53, 0, 0, 0}), false, {}},
        {"other port", packet(17, kServer, udp(5353, {1})), false, {}},
        {"TCP", packet(6, kServer, udp(53, {1})), false, {}},
        {"ICMP", packet(1, kServer, {8, 0, 0, 0, 0, 0, 0, 0}), false, {}},
        {"not a server address", packet(17, *Ipv4Addr::parse("10.1.0.1"), udp(53, {1})), false, {}},
    };
    for (const auto& c : cases) {
        FixedAddressDns dns({kServer});
        auto header = ip::Ipv4HeaderSlice::from_slice(c.bytes);
        ASSERT_TRUE(header.has_value()) << c.name;
        EXPECT_EQ(dns.handle_outbound_packet(c.bytes, *header, nullptr), c.taken) << c.name;
        auto request = dns.requests().try_recv();
        ASSERT_EQ(request.has_value(), c.taken) << c.name;
        if (c.taken) {
            EXPECT_EQ(request->payload, c.payload) << c.name;
            EXPECT_EQ(request->src, kClient);
            EXPECT_EQ(request->dst, kServer);
            EXPECT_EQ(request->src_port, 0x9c41);
            EXPECT_EQ(request->dst_port, 53);
        }
    }
}

TEST(AgentDnsIntakeTest, QueryToAClosedChannelIsTakenAndDroppedSilently) {
    FixedAddressDns dns({kServer});
    dns.shutdown();
    auto bytes = packet(17, kServer, udp(53, {1}));
    auto header = ip::Ipv4HeaderSlice::from_slice(bytes);
    ASSERT_TRUE(header.has_value());
    log::ScopedCapture capture;
    EXPECT_TRUE(dns.handle_outbound_packet(bytes, *header, nullptr));
    EXPECT_TRUE(
        capture->contains(log::Level::Trace, "Got potential DNS request: 10.1.0.5 -> 10.1.0.254"));
    DnsServerRequest request;
    auto sent = dns.send(std::move(request));
    ASSERT_FALSE(sent.has_value());
    EXPECT_EQ(sent.error(), "Failed to send DNS request");
}

}  // namespace
}  // namespace quorvel::agent
