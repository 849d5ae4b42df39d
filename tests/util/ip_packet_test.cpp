#include "util/ip_packet.h"
#include "util/reference_checksum.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvel::ip {
namespace {

using Bytes = std::vector<uint8_t>;

using quorvel::testing::reference_checksum;

Bytes pseudo_header_and_segment(const Bytes& packet) {
    Bytes data(packet.begin() + 12, packet.begin() + 20);
    const size_t udp_len = packet.size() - 20;
    data.insert(data.end(),
                {0, 17, static_cast<uint8_t>(udp_len >> 8), static_cast<uint8_t>(udp_len)});
    data.insert(data.end(), packet.begin() + 20, packet.end());
    data[12 + 6] = 0;  // the checksum field counts as zero
    data[12 + 7] = 0;
    return data;
}

TEST(InternetChecksumTest, PiecesOfAnyLengthSumAsOneBuffer) {
    Bytes data;
    for (int i = 0; i < 37; ++i) {
        data.push_back(static_cast<uint8_t>(i * 41 + 7));
    }
    const uint16_t whole = internet_checksum(data);
    EXPECT_EQ(whole, reference_checksum(data));
    for (size_t split1 = 0; split1 <= data.size(); ++split1) {
        for (size_t split2 = split1; split2 <= data.size(); split2 += 5) {
            InternetChecksum sum;
            std::span<const uint8_t> all(data);
            sum.add(all.first(split1));
            sum.add(all.subspan(split1, split2 - split1));
            sum.add(all.subspan(split2));
            ASSERT_EQ(sum.finish(), whole) << split1 << " " << split2;
        }
    }
}

TEST(InternetChecksumTest, KnownHeaderChecksum) {
    // A commonly quoted example header whose checksum is 0xb861.
    Bytes header = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                    0x00, 0x00, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
    EXPECT_EQ(internet_checksum(header), 0xb861);
    header[10] = 0xb8;
    header[11] = 0x61;
    EXPECT_EQ(internet_checksum(header), 0);
}

struct HeaderErrorCase {
    std::string name;
    Bytes packet;
    Ipv4HeaderError expected;
    std::string text;
};

class Ipv4HeaderErrorTest : public ::testing::TestWithParam<HeaderErrorCase> {};

TEST_P(Ipv4HeaderErrorTest, RejectsInOrder) {
    const auto& c = GetParam();
    auto header = Ipv4HeaderSlice::from_slice(c.packet);
    ASSERT_FALSE(header.has_value());
    EXPECT_EQ(header.error(), c.expected);
    EXPECT_EQ(header.error().to_string(), c.text);
    EXPECT_EQ(fmt::format("{}", header.error()), c.text);
}

Bytes filled(size_t len, uint8_t first) {
    Bytes p(len, 0);
    if (!p.empty()) {
        p[0] = first;
    }
    return p;
}

using Kind = Ipv4HeaderError::Kind;

INSTANTIATE_TEST_SUITE_P(
    Cases, Ipv4HeaderErrorTest,
    ::testing::Values(
        HeaderErrorCase{"empty",
                        {},
                        {Kind::TooShort, 0},
                        "IPv4 header needs at least 20 bytes, but only 0 were given"},
        // Length comes before version and header length.
        HeaderErrorCase{"ten_bytes_v6",
                        filled(10, 0x60),
                        {Kind::TooShort, 10},
                        "IPv4 header needs at least 20 bytes, but only 10 were given"},
        HeaderErrorCase{"nineteen",
                        filled(19, 0x45),
                        {Kind::TooShort, 19},
                        "IPv4 header needs at least 20 bytes, but only 19 were given"},
        HeaderErrorCase{"version6",
                        filled(40, 0x60),
                        {Kind::UnexpectedVersion, 40, 6, 0},
                        "IP version 6 is not IPv4"},
        // Version comes before the header length.
        HeaderErrorCase{"version0_ihl0",
                        filled(20, 0x00),
                        {Kind::UnexpectedVersion, 20, 0, 0},
                        "IP version 0 is not IPv4"},
        HeaderErrorCase{"ihl4",
                        filled(20, 0x44),
                        {Kind::HeaderLengthTooSmall, 20, 4, 4},
                        "IPv4 header length field 4 is below the minimum of 5"},
        HeaderErrorCase{"ihl6_in_20",
                        filled(20, 0x46),
                        {Kind::HeaderLengthExceedsData, 20, 4, 6},
                        "IPv4 header length field 6 announces 24 bytes, but only 20 were given"},
        HeaderErrorCase{"ihl15_in_59",
                        filled(59, 0x4f),
                        {Kind::HeaderLengthExceedsData, 59, 4, 15},
                        "IPv4 header length field 15 announces 60 bytes, but only 59 were given"}),
    [](const ::testing::TestParamInfo<HeaderErrorCase>& info) { return info.param.name; });

TEST(Ipv4HeaderSliceTest, ReadsEveryField) {
    Bytes packet = {0x46, 0xb8, 0x05, 0xdc, 0x12, 0x34, 0x5f, 0xff, 7,    17,   0xaa, 0xbb, 10,
                    1,    2,    3,    192,  168,  0,    255,  0x01, 0x02, 0x03, 0x04, 0xde, 0xad};
    auto header = Ipv4HeaderSlice::from_slice(packet);
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(header->version(), 4);
    EXPECT_EQ(header->ihl(), 6);
    EXPECT_EQ(header->header_len(), 24u);
    EXPECT_EQ(header->slice().size(), 24u);
    EXPECT_EQ(header->slice().data(), packet.data());
    EXPECT_EQ(header->tos(), 0xb8);
    EXPECT_EQ(header->total_len(), 1500);
    EXPECT_EQ(header->identification(), 0x1234);
    EXPECT_TRUE(header->dont_fragment());
    EXPECT_FALSE(header->more_fragments());
    EXPECT_EQ(header->fragment_offset(), 0x1fff);
    EXPECT_EQ(header->ttl(), 7);
    EXPECT_EQ(header->protocol(), 17);
    EXPECT_EQ(header->header_checksum(), 0xaabb);
    EXPECT_EQ(header->source_addr(), Ipv4Addr(10, 1, 2, 3));
    EXPECT_EQ(header->destination_addr(), Ipv4Addr(192, 168, 0, 255));
    EXPECT_EQ(Bytes(header->options().begin(), header->options().end()), Bytes({1, 2, 3, 4}));
    EXPECT_FALSE(header->checksum_valid());
}

TEST(Ipv4HeaderSliceTest, IgnoresTotalLengthAndChecksum) {
    Bytes packet = filled(20, 0x45);
    packet[2] = 0xff;  // total length far beyond the buffer
    packet[3] = 0xff;
    auto header = Ipv4HeaderSlice::from_slice(packet);
    ASSERT_TRUE(header.has_value());
    EXPECT_EQ(header->total_len(), 0xffff);
    EXPECT_FALSE(header->dont_fragment());
    packet[6] = 0x20;
    EXPECT_TRUE(Ipv4HeaderSlice::from_slice(packet)->more_fragments());
}

TEST(TransportHeaderTest, ReadsUdpAndIcmpHeaders) {
    const Bytes bytes = {0x30, 0x39, 0x00, 0x35, 0x00, 0x1c, 0xab, 0xcd, 0x99};
    auto udp = UdpHeader::from_slice(bytes);
    ASSERT_TRUE(udp.has_value());
    EXPECT_EQ(udp->source_port, 12345);
    EXPECT_EQ(udp->destination_port, 53);
    EXPECT_EQ(udp->length, 28);
    EXPECT_EQ(udp->checksum, 0xabcd);
    auto icmp = Icmpv4Header::from_slice(bytes);
    ASSERT_TRUE(icmp.has_value());
    EXPECT_EQ(icmp->type, 0x30);
    EXPECT_EQ(icmp->code, 0x39);
    EXPECT_EQ(icmp->checksum, 0x0035);
    EXPECT_EQ(icmp->rest, (std::array<uint8_t, 4>{0x00, 0x1c, 0xab, 0xcd}));

    const Bytes seven(7, 0);
    ASSERT_FALSE(UdpHeader::from_slice(seven).has_value());
    EXPECT_EQ(UdpHeader::from_slice(seven).error(), 7u);
    EXPECT_FALSE(Icmpv4Header::from_slice(seven).has_value());
}

TEST(BuildIpv4UdpTest, LayoutAndChecksums) {
    const Bytes payload = {0xde, 0xad, 0xbe, 0xef, 0x01};
    auto packet =
        build_ipv4_udp(Ipv4Addr(100, 64, 0, 254), 53, Ipv4Addr(100, 64, 0, 7), 40000, payload);
    ASSERT_TRUE(packet.has_value());
    const Bytes& p = *packet;
    ASSERT_EQ(p.size(), ipv4_udp_packet_size(payload.size()));
    ASSERT_EQ(p.size(), 33u);
    const Bytes head = {0x45, 0x00, 0x00, 0x21, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11};
    EXPECT_EQ(Bytes(p.begin(), p.begin() + 10), head);
    EXPECT_EQ(reference_checksum(Bytes(p.begin(), p.begin() + 20)), 0);
    EXPECT_EQ(Bytes(p.begin() + 12, p.begin() + 20), Bytes({100, 64, 0, 254, 100, 64, 0, 7}));
    const Bytes udp_head = {0x00, 0x35, 0x9c, 0x40, 0x00, 0x0d};
    EXPECT_EQ(Bytes(p.begin() + 20, p.begin() + 26), udp_head);
    EXPECT_EQ(Bytes(p.begin() + 28, p.end()), payload);
    const uint16_t stored = static_cast<uint16_t>(p[26] << 8 | p[27]);
    EXPECT_EQ(stored, reference_checksum(pseudo_header_and_segment(p)));
    EXPECT_NE(stored, 0);
}

TEST(BuildIpv4UdpTest, ChecksumComputingToZeroIsSentAsAllOnes) {
    const Ipv4Addr src(10, 0, 0, 1);
    const Ipv4Addr dst(10, 0, 0, 2);
    // With a zero data word the checksum is c; a data word equal to c brings the sum to all ones,
    // whose complement is 0.
    auto first = build_ipv4_udp(src, 1000, dst, 2000, Bytes{0, 0});
    ASSERT_TRUE(first.has_value());
    const uint16_t c = static_cast<uint16_t>((*first)[26] << 8 | (*first)[27]);
    ASSERT_NE(c, 0xffff);
    auto packet = build_ipv4_udp(src, 1000, dst, 2000,
                                 Bytes{static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c)});
    ASSERT_TRUE(packet.has_value());
    EXPECT_EQ(reference_checksum(pseudo_header_and_segment(*packet)), 0);
    EXPECT_EQ((*packet)[26], 0xff);
    EXPECT_EQ((*packet)[27], 0xff);
}

TEST(BuildIpv4UdpTest, RefusesPayloadBeyondTotalLength) {
    const Bytes largest(65535 - 28, 0x11);
    auto ok = build_ipv4_udp(Ipv4Addr(1, 2, 3, 4), 1, Ipv4Addr(5, 6, 7, 8), 2, largest);
    ASSERT_TRUE(ok.has_value());
    EXPECT_EQ(ok->size(), 65535u);
    EXPECT_EQ((*ok)[2], 0xff);
    EXPECT_EQ((*ok)[3], 0xff);
    EXPECT_EQ(reference_checksum(pseudo_header_and_segment(*ok)),
              static_cast<uint16_t>((*ok)[26] << 8 | (*ok)[27]));

    const Bytes too_large(65535 - 27, 0x11);
    auto err = build_ipv4_udp(Ipv4Addr(1, 2, 3, 4), 1, Ipv4Addr(5, 6, 7, 8), 2, too_large);
    ASSERT_FALSE(err.has_value());
    EXPECT_EQ(err.error().payload_len, 65508u);
    EXPECT_EQ(err.error().max_payload_len, 65507u);
    EXPECT_EQ(err.error().to_string(), "payload of 65508 bytes exceeds the maximum of 65507 bytes");
}

TEST(BuildIpv4Icmpv4Test, ReadsBackWhatWasBuilt) {
    const Bytes payload = {1, 2, 3};
    auto packet = build_ipv4_icmpv4(Ipv4Addr(8, 8, 8, 8), Ipv4Addr(100, 64, 0, 1), 3, 13,
                                    {9, 8, 7, 6}, payload);
    ASSERT_TRUE(packet.has_value());
    auto header = Ipv4HeaderSlice::from_slice(*packet);
    ASSERT_TRUE(header.has_value());
    EXPECT_TRUE(header->checksum_valid());
    EXPECT_EQ(header->total_len(), packet->size());
    EXPECT_EQ(header->protocol(), kProtocolIcmp);
    EXPECT_TRUE(header->dont_fragment());
    EXPECT_EQ(header->ttl(), 64);
    EXPECT_EQ(header->source_addr(), Ipv4Addr(8, 8, 8, 8));
    EXPECT_EQ(header->destination_addr(), Ipv4Addr(100, 64, 0, 1));
    const std::span<const uint8_t> icmp_bytes = std::span<const uint8_t>(*packet).subspan(20);
    auto icmp = Icmpv4Header::from_slice(icmp_bytes);
    ASSERT_TRUE(icmp.has_value());
    EXPECT_EQ(icmp->type, 3);
    EXPECT_EQ(icmp->code, 13);
    EXPECT_EQ(icmp->rest, (std::array<uint8_t, 4>{9, 8, 7, 6}));
    EXPECT_EQ(reference_checksum(Bytes(icmp_bytes.begin(), icmp_bytes.end())), 0);
}

}  // namespace
}  // namespace quorvel::ip
