#include "controller_api/auth.h"

#include <initializer_list>

namespace quorvel::controller_api::utils {

namespace {

// Each message starts with its own context text and a zero byte, so that a signature made for one
// kind of message can never pass as one of another kind.
constexpr std::string_view kLinkContext = "quorvel-node-link-v1";
constexpr std::string_view kDeviceAuthContext = "quorvel-device-auth-v1";

class MessageBuilder {
  public:
    explicit MessageBuilder(std::string_view context, size_t payload_size) {
        bytes_.reserve(context.size() + 1 + payload_size);
        bytes_.insert(bytes_.end(), context.begin(), context.end());
        bytes_.push_back(0);
    }

    // Texts carry their length in front (64 bits, big-endian), so that no two different field
    // lists give the same bytes, whatever the texts hold.
    MessageBuilder& text(std::string_view value) {
        const uint64_t length = value.size();
        for (int shift = 56; shift >= 0; shift -= 8) {
            bytes_.push_back(static_cast<uint8_t>(length >> shift));
        }
        bytes_.insert(bytes_.end(), value.begin(), value.end());
        return *this;
    }

    MessageBuilder& fixed(const Bytes16& value) {
        bytes_.insert(bytes_.end(), value.begin(), value.end());
        return *this;
    }

    std::vector<uint8_t> take() { return std::move(bytes_); }

  private:
    std::vector<uint8_t> bytes_;
};

size_t texts_size(std::initializer_list<std::string_view> texts) {
    size_t size = 0;
    for (std::string_view text : texts) {
        size += 8 + text.size();
    }
    return size;
}

}  // namespace

std::vector<uint8_t> link_signature_message_bytes(
    std::string_view node_pk, std::string_view account_id, std::string_view account_email,
    std::string_view issued_at, std::string_view expires_at, const Bytes16& challenge_id,
    std::string_view node_name) {
    const size_t size =
        texts_size({node_pk, account_id, account_email, issued_at, expires_at, node_name}) + 16;
    return MessageBuilder(kLinkContext, size)
        .text(node_pk)
        .text(account_id)
        .text(account_email)
        .text(issued_at)
        .text(expires_at)
        .fixed(challenge_id)
        .text(node_name)
        .take();
}

std::vector<uint8_t> device_auth_signature_message_bytes(
    std::string_view node_pk, std::string_view user_code, std::string_view issued_at,
    const Bytes16& challenge_id, const Bytes16& nonce, std::string_view device_name) {
    const size_t size = texts_size({node_pk, user_code, issued_at, device_name}) + 32;
    return MessageBuilder(kDeviceAuthContext, size)
        .text(node_pk)
        .text(user_code)
        .text(issued_at)
        .fixed(challenge_id)
        .fixed(nonce)
        .text(device_name)
        .take();
}

}  // namespace quorvel::controller_api::utils
