#include "p2p/env.h"

#include <cstdlib>
#include <limits>

#include "util/unicode.h"

namespace quorvel::p2p::util::system {

namespace {

// The variable's text, or nothing when it is absent or not UTF-8.
std::optional<std::string> read(std::string_view key) {
    std::string name(ENV_PREFIX);
    name += key;
    const char* value = std::getenv(name.c_str());
    if (value == nullptr) {
        return std::nullopt;
    }
    std::string text(value);
    if (!is_valid_utf8(text)) {
        return std::nullopt;
    }
    return text;
}

}  // namespace

std::optional<uint64_t> parse_unsigned(std::string_view text, uint64_t max) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        auto digit = static_cast<uint64_t>(c - '0');
        if (value > (max - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

uint8_t get_env(std::string_view key, uint8_t default_value) {
    auto text = read(key);
    if (!text) {
        return default_value;
    }
    auto value = parse_unsigned(*text, std::numeric_limits<uint8_t>::max());
    return value ? static_cast<uint8_t>(*value) : default_value;
}

uint64_t get_env(std::string_view key, uint64_t default_value) {
    auto text = read(key);
    if (!text) {
        return default_value;
    }
    return parse_unsigned(*text, std::numeric_limits<uint64_t>::max()).value_or(default_value);
}

std::string get_env(std::string_view key, std::string default_value) {
    auto text = read(key);
    return text ? std::move(*text) : std::move(default_value);
}

std::string get_env(std::string_view key, const char* default_value) {
    return get_env(key, std::string(default_value));
}

bool get_env(std::string_view key, bool default_value) {
    auto text = read(key);
    if (text == "true") {
        return true;
    }
    if (text == "false") {
        return false;
    }
    return default_value;
}

}  // namespace quorvel::p2p::util::system
