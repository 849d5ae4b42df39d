// The bytes a node authenticates with its controller shared secret: the HMAC-SHA-256 input of
// every controller request. The layout is described in controller_api/README.md; the controller
// computes the same bytes to check a request.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quorvel::controller_api::utils {

// `timestamp` is the request's time in Unix seconds, `body` exactly the bytes sent (empty for a
// request without body).
std::optional<std::vector<uint8_t>> node_hmac_message_bytes(int64_t timestamp,
                                                            std::span<const uint8_t> body);

}  // namespace quorvel::controller_api::utils
