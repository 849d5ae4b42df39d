// Reading the node's settings from the process environment: "QUORVEL_" + key. A variable that is
// absent, not valid UTF-8 text, or not parsable as the default's type gives the default, silently.
// Integers: an optional "+" then decimal digits only, and the value must fit the type. Booleans:
// exactly "true" or "false". Text: unchanged, also when empty.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel::p2p::util::system {

inline constexpr std::string_view ENV_PREFIX = "QUORVEL_";

// The default's type chooses the parsing, so pass a typed default (uint8_t{24}, uint64_t{8192}).
uint8_t get_env(std::string_view key, uint8_t default_value);
uint64_t get_env(std::string_view key, uint64_t default_value);
std::string get_env(std::string_view key, std::string default_value);
std::string get_env(std::string_view key, const char* default_value);
bool get_env(std::string_view key, bool default_value);

// The integer rules above, for other callers that read the same kind of text.
std::optional<uint64_t> parse_unsigned(std::string_view text, uint64_t max);

}  // namespace quorvel::p2p::util::system
