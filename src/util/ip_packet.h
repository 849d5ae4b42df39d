// Reading and building IPv4, UDP and ICMPv4 headers, with the internet checksums (RFC 791, 768,
// 792). Plain functions over byte spans: no I/O, no logging, and reading never allocates.
//
// Reading checks only what is needed to address the header safely: at least 20 bytes, version 4,
// a header length field of at least 5 and at least that many 32-bit words present. The total
// length, the checksum and the options are left for the caller to judge.
//
// Built packets carry a 20-byte IPv4 header with TOS 0, identification 0, don't-fragment set,
// time to live 64 and the header checksum filled in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "util/ipv4.h"
#include "util/result.h"

namespace quorvel::ip {

inline constexpr size_t kIpv4MinHeaderLen = 20;
inline constexpr size_t kIpv4MaxHeaderLen = 60;
inline constexpr size_t kUdpHeaderLen = 8;
inline constexpr size_t kIcmpv4HeaderLen = 8;
inline constexpr size_t kIpv4MaxPacketLen = 65535;

inline constexpr uint8_t kProtocolIcmp = 1;
inline constexpr uint8_t kProtocolTcp = 6;
inline constexpr uint8_t kProtocolUdp = 17;

inline constexpr uint8_t kBuiltTtl = 64;
inline constexpr uint16_t kFlagDontFragment = 0x4000;
inline constexpr uint16_t kFlagMoreFragments = 0x2000;

inline uint16_t read_u16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline void write_u16(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}

// One's-complement sum of 16-bit big-endian words. Bytes may be added in pieces of any length; an
// odd piece is continued by the next one, as if all pieces were one buffer.
class InternetChecksum {
  public:
    void add(std::span<const uint8_t> bytes);
    void add_u16(uint16_t value);
    void add_u32(uint32_t value);
    // The complemented, folded sum: the value to store in a checksum field. Over data that already
    // holds a correct checksum field it is 0.
    uint16_t finish() const;

  private:
    uint64_t sum_ = 0;
    bool odd_ = false;  // the last byte added was the high byte of an unfinished word
};

uint16_t internet_checksum(std::span<const uint8_t> bytes);

// Why bytes do not hold a readable IPv4 header. Checked in this order.
struct Ipv4HeaderError {
    enum class Kind {
        TooShort,                 // fewer than 20 bytes
        UnexpectedVersion,        // the version nibble is not 4
        HeaderLengthTooSmall,     // the header length field is below 5
        HeaderLengthExceedsData,  // fewer bytes than the header length field announces
    };
    Kind kind;
    size_t data_len = 0;
    uint8_t version = 0;
    uint8_t ihl = 0;

    std::string to_string() const;
    bool operator==(const Ipv4HeaderError&) const = default;
};

// A checked view of the IPv4 header at the start of a packet. It refers to the caller's bytes and
// is valid only while they are.
class Ipv4HeaderSlice {
  public:
    static Result<Ipv4HeaderSlice, Ipv4HeaderError> from_slice(std::span<const uint8_t> packet);

    // The header bytes, options included (IHL*4 bytes).
    std::span<const uint8_t> slice() const { return header_; }
    uint8_t version() const { return header_[0] >> 4; }
    uint8_t ihl() const { return header_[0] & 0x0f; }
    size_t header_len() const { return header_.size(); }
    uint8_t tos() const { return header_[1]; }
    uint16_t total_len() const { return read_u16(&header_[2]); }
    uint16_t identification() const { return read_u16(&header_[4]); }
    bool dont_fragment() const { return (header_[6] & 0x40) != 0; }
    bool more_fragments() const { return (header_[6] & 0x20) != 0; }
    uint16_t fragment_offset() const { return read_u16(&header_[6]) & 0x1fff; }
    uint8_t ttl() const { return header_[8]; }
    uint8_t protocol() const { return header_[9]; }
    uint16_t header_checksum() const { return read_u16(&header_[10]); }
    Ipv4Addr source_addr() const { return Ipv4Addr::from_bytes(&header_[12]); }
    Ipv4Addr destination_addr() const { return Ipv4Addr::from_bytes(&header_[16]); }
    std::span<const uint8_t> options() const { return header_.subspan(kIpv4MinHeaderLen); }
    // True when the header checksum field matches the header's bytes.
    bool checksum_valid() const { return internet_checksum(header_) == 0; }

  private:
    explicit Ipv4HeaderSlice(std::span<const uint8_t> header) : header_(header) {}
    std::span<const uint8_t> header_;
};

struct UdpHeader {
    uint16_t source_port = 0;
    uint16_t destination_port = 0;
    uint16_t length = 0;
    uint16_t checksum = 0;

    // Reads the first 8 bytes; fails only when fewer are given.
    static Result<UdpHeader, size_t> from_slice(std::span<const uint8_t> bytes);
};

struct Icmpv4Header {
    uint8_t type = 0;
    uint8_t code = 0;
    uint16_t checksum = 0;
    std::array<uint8_t, 4> rest{};  // the type-specific second word

    // Reads the first 8 bytes; fails only when fewer are given.
    static Result<Icmpv4Header, size_t> from_slice(std::span<const uint8_t> bytes);
};

inline constexpr uint8_t kIcmpv4DestinationUnreachable = 3;
inline constexpr uint8_t kIcmpv4CodeHostUnreachable = 1;
inline constexpr uint8_t kIcmpv4CodeFragmentationNeeded = 4;

// A packet to build would exceed the 65535 bytes that the IPv4 total length can express.
struct PayloadTooLarge {
    size_t payload_len = 0;
    size_t max_payload_len = 0;
    std::string to_string() const;
};

// The UDP checksum over the IPv4 pseudo-header and the whole UDP segment (header with its
// checksum field, then data). A sum that computes to 0 is given as 0xFFFF, since 0 on the wire
// means "no checksum".
uint16_t udp_checksum_ipv4(Ipv4Addr source, Ipv4Addr destination,
                           std::span<const uint8_t> udp_segment);

// Writes the 20-byte built header for a packet carrying `payload_len` bytes after it.
void write_ipv4_header(std::span<uint8_t, kIpv4MinHeaderLen> out, Ipv4Addr source,
                       Ipv4Addr destination, uint8_t protocol, uint16_t payload_len);

// Size of an IPv4/UDP packet carrying `payload_len` bytes of data.
constexpr size_t ipv4_udp_packet_size(size_t payload_len) {
    return kIpv4MinHeaderLen + kUdpHeaderLen + payload_len;
}

// One IPv4/UDP datagram with both checksums.
Result<std::vector<uint8_t>, PayloadTooLarge> build_ipv4_udp(Ipv4Addr source, uint16_t source_port,
                                                             Ipv4Addr destination,
                                                             uint16_t destination_port,
                                                             std::span<const uint8_t> payload);

// One IPv4/ICMPv4 message: type, code, the type-specific second word, then `payload`. The ICMP
// checksum covers the ICMP header and the payload.
Result<std::vector<uint8_t>, PayloadTooLarge> build_ipv4_icmpv4(Ipv4Addr source,
                                                                Ipv4Addr destination, uint8_t type,
                                                                uint8_t code,
                                                                std::array<uint8_t, 4> rest,
                                                                std::span<const uint8_t> payload);

}  // namespace quorvel::ip

template <>
struct fmt::formatter<quorvel::ip::Ipv4HeaderError> : fmt::formatter<std::string_view> {
    auto format(const quorvel::ip::Ipv4HeaderError& e, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(e.to_string(), ctx);
    }
};
