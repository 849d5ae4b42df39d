#include "agent/netif/icmp_reply.h"
#include "util/reference_checksum.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace quorvel::agent {
namespace {

using Bytes = std::vector<uint8_t>;

using quorvel::testing::reference_checksum;

// 40 bytes: a UDP datagram 10.1.0.5:54321 -> 10.1.0.9:53 with 12 bytes of data.
Bytes udp_packet_40() {
    Bytes p = {0x45, 0x00, 0x00, 0x28, 0x12, 0x34, 0x00, 0x00, 0x40, 0x11, 0xab, 0xcd, 10,   1,
               0,    5,    10,   1,    0,    9,    0xd4, 0x31, 0x00, 0x35, 0x00, 0x14, 0xbe, 0xef};
    for (uint8_t i = 1; i <= 12; ++i) {
        p.push_back(i);
    }
    return p;
}

// 24 bytes: the first word of an ICMP echo request 100.64.0.7 -> 8.8.8.8.
Bytes icmp_packet_24() {
    return {0x45, 0x00, 0x00, 0x18, 0x00, 0x07, 0x00, 0x00, 0x40, 0x01, 0x00, 0x00,
            100,  64,   0,    7,    8,    8,    8,    8,    0x08, 0x00, 0xf7, 0xff};
}

// 160 bytes: a 60-byte header full of options (IHL 15), TCP, more-fragments set, TTL 5,
// 192.168.7.1 -> 100.64.0.2, then 100 bytes of data.
Bytes max_header_packet() {
    Bytes p = {0x4f, 0x10, 0x00, 0xa0, 0xbe, 0xef, 0x20, 0x00, 5, 6,
               0,    0,    192,  168,  7,    1,    100,  64,   0, 2};
    for (int i = 20; i < 60; ++i) {
        p.push_back(static_cast<uint8_t>(i * 7));
    }
    for (int i = 0; i < 100; ++i) {
        p.push_back(static_cast<uint8_t>(i * 3));
    }
    return p;
}

ip::Ipv4HeaderSlice parse(const Bytes& packet) {
    auto header = ip::Ipv4HeaderSlice::from_slice(packet);
    EXPECT_TRUE(header.has_value());
    return header.value();
}

TEST(IcmpReplyTest, HostUnreachableFor40BytePacketIsByteExact) {
    const Bytes packet = udp_packet_40();
    const Bytes expected = {0x45, 0x00, 0x00, 0x38, 0x00, 0x00, 0x40, 0x00, 0x40, 0x01, 0x26, 0xb6,
                            0x0a, 0x01, 0x00, 0x09, 0x0a, 0x01, 0x00, 0x05, 0x03, 0x01, 0x12, 0x49,
                            0x00, 0x00, 0x00, 0x00, 0x45, 0x00, 0x00, 0x28, 0x12, 0x34, 0x00, 0x00,
                            0x40, 0x11, 0xab, 0xcd, 0x0a, 0x01, 0x00, 0x05, 0x0a, 0x01, 0x00, 0x09,
                            0xd4, 0x31, 0x00, 0x35, 0x00, 0x14, 0xbe, 0xef};
    EXPECT_EQ(create_icmp_host_unreachable(packet, parse(packet)), expected);
}

TEST(IcmpReplyTest, FragmentationNeededFor40BytePacketIsByteExact) {
    const Bytes packet = udp_packet_40();
    const Bytes expected = {0x45, 0x00, 0x00, 0x38, 0x00, 0x00, 0x40, 0x00, 0x40, 0x01, 0x26, 0xb6,
                            0x0a, 0x01, 0x00, 0x09, 0x0a, 0x01, 0x00, 0x05, 0x03, 0x04, 0x0d, 0x46,
                            0x00, 0x00, 0x05, 0x00, 0x45, 0x00, 0x00, 0x28, 0x12, 0x34, 0x00, 0x00,
                            0x40, 0x11, 0xab, 0xcd, 0x0a, 0x01, 0x00, 0x05, 0x0a, 0x01, 0x00, 0x09,
                            0xd4, 0x31, 0x00, 0x35, 0x00, 0x14, 0xbe, 0xef};
    EXPECT_EQ(create_icmp_fragmentation_needed(packet, parse(packet), 1280), expected);
}

TEST(IcmpReplyTest, HostUnreachableFor24BytePacketQuotesItWhole) {
    const Bytes packet = icmp_packet_24();
    const Bytes expected = {0x45, 0x00, 0x00, 0x34, 0x00, 0x00, 0x40, 0x00, 0x40, 0x01, 0xc6,
                            0x72, 0x08, 0x08, 0x08, 0x08, 0x64, 0x40, 0x00, 0x07, 0x03, 0x01,
                            0x03, 0x87, 0x00, 0x00, 0x00, 0x00, 0x45, 0x00, 0x00, 0x18, 0x00,
                            0x07, 0x00, 0x00, 0x40, 0x01, 0x00, 0x00, 0x64, 0x40, 0x00, 0x07,
                            0x08, 0x08, 0x08, 0x08, 0x08, 0x00, 0xf7, 0xff};
    EXPECT_EQ(create_icmp_host_unreachable(packet, parse(packet)), expected);
}

TEST(IcmpReplyTest, MaximumHeaderQuotesHeaderAndEightBytes) {
    const Bytes packet = max_header_packet();
    const Bytes reply = create_icmp_fragmentation_needed(packet, parse(packet), 1400);
    ASSERT_EQ(reply.size(), 96u);
    const Bytes expected_head = {0x45, 0x00, 0x00, 0x60, 0x00, 0x00, 0x40, 0x00, 0x40, 0x01,
                                 0x0e, 0xb2, 0x64, 0x40, 0x00, 0x02, 0xc0, 0xa8, 0x07, 0x01,
                                 0x03, 0x04, 0x15, 0xd7, 0x00, 0x00, 0x05, 0x78};
    EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 28), expected_head);
    EXPECT_EQ(Bytes(reply.begin() + 28, reply.end()), Bytes(packet.begin(), packet.begin() + 68));
}

struct ReplyCase {
    std::string name;
    Bytes packet;
    bool fragmentation_needed;
    uint16_t mtu;
    size_t quoted;
};

class IcmpReplyLayoutTest : public ::testing::TestWithParam<ReplyCase> {};

// The properties every reply has, whatever the offending packet carried.
TEST_P(IcmpReplyLayoutTest, LayoutAddressesAndChecksums) {
    const ReplyCase& c = GetParam();
    const auto header = parse(c.packet);
    const Bytes reply = c.fragmentation_needed
                            ? create_icmp_fragmentation_needed(c.packet, header, c.mtu)
                            : create_icmp_host_unreachable(c.packet, header);
    ASSERT_EQ(reply.size(), 28 + c.quoted);
    EXPECT_EQ(reply[0], 0x45);
    EXPECT_EQ(reply[1], 0);
    EXPECT_EQ(size_t{reply[2]} << 8 | reply[3], reply.size());
    EXPECT_EQ(reply[4], 0);
    EXPECT_EQ(reply[5], 0);
    EXPECT_EQ(reply[6], 0x40);
    EXPECT_EQ(reply[7], 0);
    EXPECT_EQ(reply[8], 64);
    EXPECT_EQ(reply[9], 1);
    // Swapped addresses.
    EXPECT_EQ(Bytes(reply.begin() + 12, reply.begin() + 16),
              Bytes(c.packet.begin() + 16, c.packet.begin() + 20));
    EXPECT_EQ(Bytes(reply.begin() + 16, reply.begin() + 20),
              Bytes(c.packet.begin() + 12, c.packet.begin() + 16));
    EXPECT_EQ(reply[20], 3);
    EXPECT_EQ(reply[21], c.fragmentation_needed ? 4 : 1);
    EXPECT_EQ(reply[24], 0);
    EXPECT_EQ(reply[25], 0);
    EXPECT_EQ(size_t{reply[26]} << 8 | reply[27], c.fragmentation_needed ? c.mtu : 0);
    EXPECT_EQ(Bytes(reply.begin() + 28, reply.end()),
              Bytes(c.packet.begin(), c.packet.begin() + static_cast<ptrdiff_t>(c.quoted)));
    // Both checksums verify: a sum over data holding its correct checksum comes to zero.
    EXPECT_EQ(reference_checksum(std::span(reply).first(20)), 0);
    EXPECT_EQ(reference_checksum(std::span(reply).subspan(20)), 0);
}

Bytes udp_packet_with_options() {
    // IHL 6, one 4-byte option, UDP header, 20 bytes of data: 52 bytes.
    Bytes p = {0x46, 0xb8, 0x00, 0x34, 0xff, 0xff, 0x3f, 0xff, 1, 17, 0x12, 0x34, 172, 16, 0,
               1,    255,  255,  255,  255,  1,    1,    0,    0, 0,  68,   0,    67,  0,  28};
    p.resize(52, 0xaa);
    return p;
}

// Only the 20 header bytes of the 24-byte packet.
Bytes header_only_packet() {
    Bytes p = icmp_packet_24();
    p.resize(20);
    return p;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, IcmpReplyLayoutTest,
    ::testing::Values(ReplyCase{"udp40_host", udp_packet_40(), false, 0, 28},
                      ReplyCase{"udp40_frag_min_mtu", udp_packet_40(), true, 68, 28},
                      ReplyCase{"udp40_frag_max_mtu", udp_packet_40(), true, 65535, 28},
                      ReplyCase{"icmp24_host", icmp_packet_24(), false, 0, 24},
                      ReplyCase{"icmp24_frag", icmp_packet_24(), true, 1280, 24},
                      ReplyCase{"header_only", header_only_packet(), false, 0, 20},
                      ReplyCase{"max_header_host", max_header_packet(), false, 0, 68},
                      ReplyCase{"max_header_frag", max_header_packet(), true, 1328, 68},
                      ReplyCase{"options_broadcast_host", udp_packet_with_options(), false, 0, 32}),
    [](const ::testing::TestParamInfo<ReplyCase>& info) { return info.param.name; });

}  // namespace
}  // namespace quorvel::agent
