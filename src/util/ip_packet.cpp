#include "util/ip_packet.h"

#include <algorithm>

namespace quorvel::ip {

void InternetChecksum::add(std::span<const uint8_t> bytes) {
    size_t i = 0;
    if (odd_ && !bytes.empty()) {
        sum_ += bytes[0];
        odd_ = false;
        i = 1;
    }
    for (; i + 1 < bytes.size(); i += 2) {
        sum_ += read_u16(&bytes[i]);
    }
    if (i < bytes.size()) {
        sum_ += uint64_t{bytes[i]} << 8;
        odd_ = true;
    }
}

void InternetChecksum::add_u16(uint16_t value) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    add(bytes);
}

void InternetChecksum::add_u32(uint32_t value) {
    add_u16(static_cast<uint16_t>(value >> 16));
    add_u16(static_cast<uint16_t>(value));
}

uint16_t InternetChecksum::finish() const {
    uint64_t sum = sum_;
    while (sum >> 16) {
        sum = (sum & 0xffff) + (sum >> 16);
    }
    return static_cast<uint16_t>(~sum);
}

uint16_t internet_checksum(std::span<const uint8_t> bytes) {
    InternetChecksum sum;
    sum.add(bytes);
    return sum.finish();
}

std::string Ipv4HeaderError::to_string() const {
    switch (kind) {
        case Kind::TooShort:
            return fmt::format("IPv4 header needs at least {} bytes, but only {} were given",
                               kIpv4MinHeaderLen, data_len);
        case Kind::UnexpectedVersion:
            return fmt::format("IP version {} is not IPv4", version);
        case Kind::HeaderLengthTooSmall:
            return fmt::format("IPv4 header length field {} is below the minimum of 5", ihl);
        case Kind::HeaderLengthExceedsData:
            return fmt::format(
                "IPv4 header length field {} announces {} bytes, but only {} were given", ihl,
                size_t{ihl} * 4, data_len);
    }
    return "invalid IPv4 header";
}

Result<Ipv4HeaderSlice, Ipv4HeaderError> Ipv4HeaderSlice::from_slice(
    std::span<const uint8_t> packet) {
    using Kind = Ipv4HeaderError::Kind;
    if (packet.size() < kIpv4MinHeaderLen) {
        return unexpected(Ipv4HeaderError{Kind::TooShort, packet.size()});
    }
    const uint8_t version = packet[0] >> 4;
    const uint8_t ihl = packet[0] & 0x0f;
    if (version != 4) {
        return unexpected(Ipv4HeaderError{Kind::UnexpectedVersion, packet.size(), version, ihl});
    }
    if (ihl < 5) {
        return unexpected(Ipv4HeaderError{Kind::HeaderLengthTooSmall, packet.size(), version, ihl});
    }
    const size_t header_len = size_t{ihl} * 4;
    if (packet.size() < header_len) {
        return unexpected(
            Ipv4HeaderError{Kind::HeaderLengthExceedsData, packet.size(), version, ihl});
    }
    return Ipv4HeaderSlice(packet.first(header_len));
}

Result<UdpHeader, size_t> UdpHeader::from_slice(std::span<const uint8_t> bytes) {
    if (bytes.size() < kUdpHeaderLen) {
        return unexpected(bytes.size());
    }
    return UdpHeader{read_u16(&bytes[0]), read_u16(&bytes[2]), read_u16(&bytes[4]),
                     read_u16(&bytes[6])};
}

Result<Icmpv4Header, size_t> Icmpv4Header::from_slice(std::span<const uint8_t> bytes) {
    if (bytes.size() < kIcmpv4HeaderLen) {
        return unexpected(bytes.size());
    }
    return Icmpv4Header{
        bytes[0], bytes[1], read_u16(&bytes[2]), {bytes[4], bytes[5], bytes[6], bytes[7]}};
}

std::string PayloadTooLarge::to_string() const {
    return fmt::format("payload of {} bytes exceeds the maximum of {} bytes", payload_len,
                       max_payload_len);
}

uint16_t udp_checksum_ipv4(Ipv4Addr source, Ipv4Addr destination,
                           std::span<const uint8_t> udp_segment) {
    InternetChecksum sum;
    sum.add_u32(source.to_u32());
    sum.add_u32(destination.to_u32());
    sum.add_u16(kProtocolUdp);
    sum.add_u16(static_cast<uint16_t>(udp_segment.size()));
    // The checksum field itself counts as zero.
    sum.add(udp_segment.first(std::min<size_t>(6, udp_segment.size())));
    if (udp_segment.size() > kUdpHeaderLen) {
        sum.add(udp_segment.subspan(kUdpHeaderLen));
    }
    const uint16_t checksum = sum.finish();
    return checksum == 0 ? 0xffff : checksum;
}

void write_ipv4_header(std::span<uint8_t, kIpv4MinHeaderLen> out, Ipv4Addr source,
                       Ipv4Addr destination, uint8_t protocol, uint16_t payload_len) {
    out[0] = 0x45;
    out[1] = 0;
    write_u16(&out[2], static_cast<uint16_t>(kIpv4MinHeaderLen + payload_len));
    write_u16(&out[4], 0);
    write_u16(&out[6], kFlagDontFragment);
    out[8] = kBuiltTtl;
    out[9] = protocol;
    write_u16(&out[10], 0);
    source.to_bytes(&out[12]);
    destination.to_bytes(&out[16]);
    write_u16(&out[10], internet_checksum(out));
}

namespace {

// Makes a buffer with room for a 20-byte IPv4 header, a transport header and the payload, the
// payload already in place; or reports that the total length field cannot express it.
Result<std::vector<uint8_t>, PayloadTooLarge> allocate_packet(size_t transport_header_len,
                                                              std::span<const uint8_t> payload) {
    const size_t max_payload = kIpv4MaxPacketLen - kIpv4MinHeaderLen - transport_header_len;
    if (payload.size() > max_payload) {
        return unexpected(PayloadTooLarge{payload.size(), max_payload});
    }
    std::vector<uint8_t> packet(kIpv4MinHeaderLen + transport_header_len + payload.size());
    std::copy(payload.begin(), payload.end(),
              packet.begin() + static_cast<ptrdiff_t>(kIpv4MinHeaderLen + transport_header_len));
    return packet;
}

}  // namespace

Result<std::vector<uint8_t>, PayloadTooLarge> build_ipv4_udp(Ipv4Addr source, uint16_t source_port,
                                                             Ipv4Addr destination,
                                                             uint16_t destination_port,
                                                             std::span<const uint8_t> payload) {
    auto packet = allocate_packet(kUdpHeaderLen, payload);
    if (!packet) {
        return packet;
    }
    std::span<uint8_t> bytes(*packet);
    const auto udp_len = static_cast<uint16_t>(kUdpHeaderLen + payload.size());
    write_ipv4_header(bytes.first<kIpv4MinHeaderLen>(), source, destination, kProtocolUdp, udp_len);
    auto udp = bytes.subspan(kIpv4MinHeaderLen);
    write_u16(&udp[0], source_port);
    write_u16(&udp[2], destination_port);
    write_u16(&udp[4], udp_len);
    write_u16(&udp[6], udp_checksum_ipv4(source, destination, udp));
    return packet;
}

Result<std::vector<uint8_t>, PayloadTooLarge> build_ipv4_icmpv4(Ipv4Addr source,
                                                                Ipv4Addr destination, uint8_t type,
                                                                uint8_t code,
                                                                std::array<uint8_t, 4> rest,
                                                                std::span<const uint8_t> payload) {
    auto packet = allocate_packet(kIcmpv4HeaderLen, payload);
    if (!packet) {
        return packet;
    }
    std::span<uint8_t> bytes(*packet);
    write_ipv4_header(bytes.first<kIpv4MinHeaderLen>(), source, destination, kProtocolIcmp,
                      static_cast<uint16_t>(kIcmpv4HeaderLen + payload.size()));
    auto icmp = bytes.subspan(kIpv4MinHeaderLen);
    icmp[0] = type;
    icmp[1] = code;
    std::copy(rest.begin(), rest.end(), icmp.begin() + 4);
    write_u16(&icmp[2], internet_checksum(icmp));
    return packet;
}

}  // namespace quorvel::ip
