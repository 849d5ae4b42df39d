#include "agent/netif/control_packet.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvel::agent {
namespace {

using Bytes = std::vector<uint8_t>;

// An IPv4 packet with the given header length field and protocol, options zeroed, followed by a
// UDP header (or whatever the protocol) and `payload`.
Bytes make_packet(uint8_t ihl, uint8_t protocol, const Bytes& payload) {
    Bytes p(size_t{ihl} * 4, 0);
    p[0] = static_cast<uint8_t>(0x40 | ihl);
    p[9] = protocol;
    const Bytes transport = {0x30, 0x39, 0x30, 0x3a, 0x00, 0x10, 0x00, 0x00};
    p.insert(p.end(), transport.begin(), transport.end());
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

const Bytes kMarker = {0x1e, 0x3f, 0x50, 0x01};

struct ControlCase {
    std::string name;
    Bytes packet;
    bool expected;
};

class ControlPacketTest : public ::testing::TestWithParam<ControlCase> {};

TEST_P(ControlPacketTest, Recognises) {
    EXPECT_EQ(is_quorvel_control_packet(GetParam().packet), GetParam().expected);
}

Bytes with(Bytes p, size_t at, uint8_t value) {
    p.at(at) = value;
    return p;
}

Bytes marker_then(const Bytes& rest) {
    Bytes payload = kMarker;
    payload.insert(payload.end(), rest.begin(), rest.end());
    return payload;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ControlPacketTest,
    ::testing::Values(
        ControlCase{"empty", {}, false}, ControlCase{"nineteen_bytes", Bytes(19, 0x45), false},
        ControlCase{"udp_ihl5_marker", make_packet(5, 17, kMarker), true},
        ControlCase{"udp_ihl5_marker_and_more", make_packet(5, 17, marker_then({1, 2, 3})), true},
        ControlCase{"udp_ihl6_marker_at_32", make_packet(6, 17, kMarker), true},
        // With IHL 6 the marker at offset 28 lies inside the UDP header, not where it counts.
        ControlCase{"udp_ihl6_marker_at_28",
                    [] {
                        Bytes p = make_packet(6, 17, {0, 0, 0, 0});
                        std::copy(kMarker.begin(), kMarker.end(), p.begin() + 28);
                        return p;
                    }(),
                    false},
        ControlCase{"tcp_with_marker", make_packet(5, 6, kMarker), false},
        ControlCase{"icmp_with_marker", make_packet(5, 1, kMarker), false},
        ControlCase{"udp_three_payload_bytes", make_packet(5, 17, {0x1e, 0x3f, 0x50}), false},
        ControlCase{"udp_no_payload", make_packet(5, 17, {}), false},
        ControlCase{"udp_other_payload", make_packet(5, 17, {0x1e, 0x3f, 0x50, 0x02}), false},
        ControlCase{"ipv6_version", with(make_packet(5, 17, kMarker), 0, 0x65), false},
        ControlCase{"ihl4", with(make_packet(5, 17, kMarker), 0, 0x44), false},
        ControlCase{"ihl_beyond_buffer", with(make_packet(5, 17, kMarker), 0, 0x4f), false},
        // Fragment offset, total length and checksum are not looked at.
        ControlCase{"non_first_fragment", with(make_packet(5, 17, kMarker), 7, 0x10), true},
        ControlCase{"wrong_total_length", with(make_packet(5, 17, kMarker), 3, 0xff), true}),
    [](const ::testing::TestParamInfo<ControlCase>& info) { return info.param.name; });

}  // namespace
}  // namespace quorvel::agent
