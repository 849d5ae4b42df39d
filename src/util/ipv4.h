// IPv4 address and network values. Text forms are strict: dotted quads of decimal octets without
// leading zeros, networks as "address/prefix" with a prefix of 0 to 32. A network keeps the host
// bits it was written with; ordering is by address, then prefix length.
#pragma once

#include <compare>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace quorvel {

class Ipv4Addr {
  public:
    constexpr Ipv4Addr() = default;
    constexpr explicit Ipv4Addr(uint32_t host_order) : value_(host_order) {}
    constexpr Ipv4Addr(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
        : value_((uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | uint32_t{d}) {}

    static std::optional<Ipv4Addr> parse(std::string_view text);
    // Reads four bytes in network order.
    static Ipv4Addr from_bytes(const uint8_t* bytes) {
        return Ipv4Addr(bytes[0], bytes[1], bytes[2], bytes[3]);
    }

    constexpr uint32_t to_u32() const { return value_; }
    void to_bytes(uint8_t* out) const {
        out[0] = static_cast<uint8_t>(value_ >> 24);
        out[1] = static_cast<uint8_t>(value_ >> 16);
        out[2] = static_cast<uint8_t>(value_ >> 8);
        out[3] = static_cast<uint8_t>(value_);
    }
    constexpr bool is_unspecified() const { return value_ == 0; }
    std::string to_string() const;

    constexpr auto operator<=>(const Ipv4Addr&) const = default;

  private:
    uint32_t value_ = 0;
};

class Ipv4Net {
  public:
    constexpr Ipv4Net() = default;
    // `prefix_len` must be at most 32; use `create` for unchecked input.
    constexpr Ipv4Net(Ipv4Addr addr, uint8_t prefix_len) : addr_(addr), prefix_len_(prefix_len) {}
    static std::optional<Ipv4Net> create(Ipv4Addr addr, uint8_t prefix_len);
    static std::optional<Ipv4Net> parse(std::string_view text);

    constexpr Ipv4Addr addr() const { return addr_; }
    constexpr uint8_t prefix_len() const { return prefix_len_; }
    constexpr uint32_t netmask_u32() const {
        return prefix_len_ == 0 ? 0 : ~uint32_t{0} << (32 - prefix_len_);
    }
    constexpr Ipv4Addr netmask() const { return Ipv4Addr(netmask_u32()); }
    constexpr Ipv4Addr hostmask() const { return Ipv4Addr(~netmask_u32()); }
    // The address with the host bits cleared.
    constexpr Ipv4Addr network() const { return Ipv4Addr(addr_.to_u32() & netmask_u32()); }
    // The address with the host bits set.
    constexpr Ipv4Addr broadcast() const { return Ipv4Addr(addr_.to_u32() | ~netmask_u32()); }
    // The same prefix with the host bits cleared.
    constexpr Ipv4Net trunc() const { return Ipv4Net(network(), prefix_len_); }
    constexpr bool contains(Ipv4Addr ip) const {
        return (ip.to_u32() & netmask_u32()) == network().to_u32();
    }
    // True when `other` lies wholly inside this network.
    constexpr bool contains(const Ipv4Net& other) const {
        return other.prefix_len_ >= prefix_len_ && contains(other.addr_);
    }
    std::string to_string() const;

    constexpr auto operator<=>(const Ipv4Net&) const = default;

  private:
    Ipv4Addr addr_;
    uint8_t prefix_len_ = 0;
};

}  // namespace quorvel

template <>
struct std::hash<quorvel::Ipv4Addr> {
    size_t operator()(const quorvel::Ipv4Addr& a) const noexcept {
        return std::hash<uint32_t>{}(a.to_u32());
    }
};

template <>
struct std::hash<quorvel::Ipv4Net> {
    size_t operator()(const quorvel::Ipv4Net& n) const noexcept {
        return std::hash<uint64_t>{}((uint64_t{n.addr().to_u32()} << 8) | n.prefix_len());
    }
};

template <>
struct fmt::formatter<quorvel::Ipv4Addr> : fmt::formatter<std::string_view> {
    auto format(const quorvel::Ipv4Addr& a, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(a.to_string(), ctx);
    }
};

template <>
struct fmt::formatter<quorvel::Ipv4Net> : fmt::formatter<std::string_view> {
    auto format(const quorvel::Ipv4Net& n, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(n.to_string(), ctx);
    }
};
