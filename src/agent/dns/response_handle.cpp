#include "agent/dns/response_handle.h"

#include "util/ip_packet.h"
#include "util/log.h"
#include "util/runtime.h"

namespace quorvel::agent::dns {

namespace {

constexpr std::size_t kInitialMessageCapacity = 512;

std::vector<log::Field> id_field(uint16_t id) {
    return {{"id", std::to_string(id)}};
}

}  // namespace

Result<ResponseInfo, IoError> encode_response(const MessageResponse& response,
                                              std::vector<uint8_t>& message) {
    const uint16_t id = response.header.id;
    const std::size_t max_size = response.edns ? response.edns->max_payload : kDefaultMaxPayload;
    QV_TRACE(kServerTarget, "setting response max size: {} for protocol: Udp", max_size);
    auto encoded = emit_response(response, message, max_size);
    if (encoded) {
        return *encoded;
    }
    QV_LOG_FIELDS(log::Level::Error, kServerTarget,
                  (std::vector<log::Field>{{"error", encoded.error().to_string()}}),
                  "error encoding message");
    QV_TRACE(kServerTarget, "Falling back to SERVFAIL response due to encoding error");
    auto fallback = encode_fallback_servfail_response(id, message);
    if (!fallback) {
        return unexpected(IoError::other(fallback.error().to_string()));
    }
    return *fallback;
}

void log_request_error(const IoError& error) {
    QV_ERROR(kServerTarget, "request error: {}", error);
}

Result<ResponseInfo, IoError> ResponseHandle::send_response(MessageResponse response) {
    const uint16_t id = response.header.id;
    log::SpanGuard span(log::Level::Info, "send_response", [id] { return id_field(id); });
    QV_TRACE(kServerTarget, "Starting DNS response encoding for ID: {}", id);
    QV_LOG_FIELDS(log::Level::Debug, kServerTarget,
                  (std::vector<log::Field>{
                      {"id", std::to_string(id)},
                      {"response_code", response_code_text(response.header.response_code)}}),
                  "sending response");
    std::vector<uint8_t> message;
    message.reserve(kInitialMessageCapacity);
    auto encoded = encode_response(response, message);
    if (!encoded) {
        return unexpected(std::move(encoded).error());
    }
    if (!src_.address().is_v4()) {
        return unexpected(IoError::other("src: Only IPv4 supported"));
    }
    if (!dst_.address().is_v4()) {
        return unexpected(IoError::other("dst: Only IPv4 supported"));
    }
    auto packet =
        ip::build_ipv4_udp(Ipv4Addr(src_.address().to_v4().to_uint()), src_.port(),
                           Ipv4Addr(dst_.address().to_v4().to_uint()), dst_.port(), message);
    if (!packet) {
        return unexpected(IoError::other(packet.error().to_string()));
    }
    if (!tun_) {
        return unexpected(IoError::other("no tunnel device to answer on"));
    }
    // An empty waker: a reply that cannot be written now is handed to a task below, which
    // waits for the tunnel with its own.
    auto written = tun_->poll_send(Waker(), *packet);
    if (written) {
        if (!*written) {
            return unexpected(std::move(*written).error());
        }
        return *encoded;
    }
    spawn_detached(
        executor_,
        [](std::shared_ptr<AsyncDevice> tun, std::vector<uint8_t> packet, uint16_t id,
           QueryPermit permit) -> boost::asio::awaitable<void> {
            auto sent = co_await tun->send(packet);
            permit.reset();
            if (!sent) {
                log::SpanGuard span(log::Level::Info, "send_response",
                                    [id] { return id_field(id); });
                log_request_error(sent.error());
            }
        }(tun_, std::move(*packet), id, std::move(permit_)),
        "dns reply");
    return *encoded;
}

}  // namespace quorvel::agent::dns
