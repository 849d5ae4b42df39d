#include "util/ipv4.h"

namespace quorvel {

namespace {

// Reads a decimal number of at most `max_digits` digits, no sign, no leading zero.
std::optional<uint32_t> parse_decimal(std::string_view text, size_t max_digits) {
    if (text.empty() || text.size() > max_digits) {
        return std::nullopt;
    }
    if (text.size() > 1 && text[0] == '0') {
        return std::nullopt;
    }
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    return value;
}

}  // namespace

std::optional<Ipv4Addr> Ipv4Addr::parse(std::string_view text) {
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        size_t dot = text.find('.');
        std::string_view part = (i < 3) ? text.substr(0, dot) : text;
        if (i < 3 && dot == std::string_view::npos) {
            return std::nullopt;
        }
        auto octet = parse_decimal(part, 3);
        if (!octet || *octet > 255) {
            return std::nullopt;
        }
        value = (value << 8) | *octet;
        if (i < 3) {
            text.remove_prefix(dot + 1);
        }
    }
    return Ipv4Addr(value);
}

std::string Ipv4Addr::to_string() const {
    return fmt::format("{}.{}.{}.{}", value_ >> 24, (value_ >> 16) & 0xff, (value_ >> 8) & 0xff,
                       value_ & 0xff);
}

std::optional<Ipv4Net> Ipv4Net::create(Ipv4Addr addr, uint8_t prefix_len) {
    if (prefix_len > 32) {
        return std::nullopt;
    }
    return Ipv4Net(addr, prefix_len);
}

std::optional<Ipv4Net> Ipv4Net::parse(std::string_view text) {
    size_t slash = text.find('/');
    if (slash == std::string_view::npos) {
        return std::nullopt;
    }
    auto addr = Ipv4Addr::parse(text.substr(0, slash));
    auto len = parse_decimal(text.substr(slash + 1), 2);
    if (!addr || !len || *len > 32) {
        return std::nullopt;
    }
    return Ipv4Net(*addr, static_cast<uint8_t>(*len));
}

std::string Ipv4Net::to_string() const {
    return fmt::format("{}/{}", addr_.to_string(), prefix_len_);
}

}  // namespace quorvel
