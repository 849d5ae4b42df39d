// How a finished DNS response leaves the server. The embedded server owns no socket: each query's
// `ResponseHandle` encodes the catalog's response under the size limit (a bare SERVFAIL header
// when that fails), wraps it in an IPv4/UDP packet from the DNS server address to the client and
// writes it straight into the tunnel the query came from, past the packet path.
//
// The write is tried at once. Only a reply that the tunnel cannot take yet goes on in a task of
// its own, which waits until the tunnel is writable: so a full tunnel never holds up the queries
// behind it, and a query costs no task hand-over in the common case.
#pragma once

#include "agent/dns/agent_dns.h"
#include "agent/dns/message.h"
#include "agent/netif/async_device.h"
#include "util/io_error.h"
#include "util/result.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/ip/udp.hpp>

#include <memory>
#include <string_view>
#include <vector>

namespace quorvel::agent::dns {

inline constexpr std::string_view kServerTarget = "quorvel_agent::agent::dns::server";
inline constexpr std::size_t kDefaultMaxPayload = 4096;

using SocketAddr = boost::asio::ip::udp::endpoint;

// Where the catalog delivers its response; called once per query. Never waits.
class ResponseHandler {
  public:
    virtual ~ResponseHandler() = default;
    virtual Result<ResponseInfo, IoError> send_response(MessageResponse response) = 0;
    // Where an answer that comes later (from upstream) is worked out.
    virtual boost::asio::any_io_executor executor() const = 0;
    // Moves this handler, with everything it holds, into one that answers later, after the
    // query's task has gone on.
    virtual std::unique_ptr<ResponseHandler> detach() = 0;
};

// Logs a reply that could not be sent ("request error: {error}").
void log_request_error(const IoError& error);

// The encoded message for `response`: within the response's EDNS payload size (4096 without
// EDNS), or the 12-byte SERVFAIL header with its id when it cannot be encoded (logged). Fails
// only when the fallback cannot be encoded either.
Result<ResponseInfo, IoError> encode_response(const MessageResponse& response,
                                              std::vector<uint8_t>& message);

class ResponseHandle final : public ResponseHandler {
  public:
    // `src`: the DNS server address the query went to, port 53; `dst`: the client's address and
    // port; `tun`: the device the query was read from; `executor`: where a reply that must wait
    // for the tunnel goes on.
    // `permit`: the query's slot in its server's limit, kept by a reply that must wait, so that
    // replies waiting for a full tunnel count against the limit too.
    ResponseHandle(SocketAddr src, SocketAddr dst, std::shared_ptr<AsyncDevice> tun,
                   boost::asio::any_io_executor executor, QueryPermit permit = {})
        : src_(std::move(src)),
          dst_(std::move(dst)),
          tun_(std::move(tun)),
          executor_(std::move(executor)),
          permit_(std::move(permit)) {}

    // Encodes the response, builds the reply packet and writes it to the tunnel. Errors: "src:
    // Only IPv4 supported" / "dst: Only IPv4 supported" for an IPv6 address, the packet builder's
    // refusal of an oversized message, the tunnel's write error. A write that must wait succeeds
    // here and reports its own failure later. Nothing is retried.
    Result<ResponseInfo, IoError> send_response(MessageResponse response) override;
    boost::asio::any_io_executor executor() const override { return executor_; }
    // The query's slot in the limit goes along.
    std::unique_ptr<ResponseHandler> detach() override {
        return std::make_unique<ResponseHandle>(std::move(*this));
    }

    const SocketAddr& src() const { return src_; }
    const SocketAddr& dst() const { return dst_; }

  private:
    SocketAddr src_;
    SocketAddr dst_;
    std::shared_ptr<AsyncDevice> tun_;
    boost::asio::any_io_executor executor_;
    QueryPermit permit_;
};

}  // namespace quorvel::agent::dns
