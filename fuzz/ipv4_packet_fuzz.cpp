// Feeds arbitrary bytes to the IPv4 header reader, the control-packet check and the ICMP reply
// builders, and checks what must hold for every input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "agent/netif/control_packet.h"
#include "agent/netif/icmp_reply.h"
#include "util/ip_packet.h"

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void check_reply(std::span<const uint8_t> packet, const quorvel::ip::Ipv4HeaderSlice& header,
                 const std::vector<uint8_t>& reply) {
    using namespace quorvel::ip;
    const size_t quoted = std::min(packet.size(), header.header_len() + kUdpHeaderLen);
    check(reply.size() == 28 + quoted);
    auto parsed = Ipv4HeaderSlice::from_slice(reply);
    check(parsed.has_value());
    check(parsed->checksum_valid());
    check(parsed->total_len() == reply.size());
    check(parsed->source_addr() == header.destination_addr());
    check(parsed->destination_addr() == header.source_addr());
    check(internet_checksum(std::span<const uint8_t>(reply).subspan(kIpv4MinHeaderLen)) == 0);
    check(std::equal(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(quoted),
                     reply.begin() + 28));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace quorvel;
    const std::span<const uint8_t> packet(data, size);
    auto header = ip::Ipv4HeaderSlice::from_slice(packet);
    const bool control = agent::is_quorvel_control_packet(packet);
    if (!header) {
        check(!control);
        (void)header.error().to_string();
        return 0;
    }
    check(header->header_len() >= ip::kIpv4MinHeaderLen && header->header_len() <= size);
    if (control) {
        check(header->protocol() == ip::kProtocolUdp);
        check(size >= header->header_len() + ip::kUdpHeaderLen + 4);
    }
    check_reply(packet, *header, agent::create_icmp_host_unreachable(packet, *header));
    const uint16_t mtu = size >= 2 ? static_cast<uint16_t>(data[0] << 8 | data[1]) : 0;
    auto frag = agent::create_icmp_fragmentation_needed(packet, *header, mtu);
    check_reply(packet, *header, frag);
    check(frag[26] == (mtu >> 8) && frag[27] == (mtu & 0xff));
    return 0;
}
