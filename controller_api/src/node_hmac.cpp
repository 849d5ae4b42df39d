#include "controller_api/node_hmac.h"

#include <string>
#include <string_view>

namespace quorvel::controller_api::utils {

namespace {
// Keeps the MAC of a request apart from anything else the same secret might ever authenticate.
constexpr std::string_view kLabel = "QV-NODE-HMAC-1";
}  // namespace

std::optional<std::vector<uint8_t>> node_hmac_message_bytes(int64_t timestamp,
                                                            std::span<const uint8_t> body) {
    const std::string ts = std::to_string(timestamp);
    std::vector<uint8_t> message;
    message.reserve(kLabel.size() + 1 + ts.size() + 1 + body.size());
    message.insert(message.end(), kLabel.begin(), kLabel.end());
    message.push_back('\n');
    message.insert(message.end(), ts.begin(), ts.end());
    message.push_back('\n');
    message.insert(message.end(), body.begin(), body.end());
    return message;
}

}  // namespace quorvel::controller_api::utils
