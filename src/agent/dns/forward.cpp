#include "agent/dns/forward.h"

#include "p2p/crypto.h"
#include "util/ip_packet.h"
#include "util/log.h"
#include "util/runtime.h"

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/write.hpp>

#include <fmt/format.h>

#include <array>
#include <cstdlib>
#include <optional>

// Last: ldns's header may define bool and false as macros for C, which the C++ headers must not
// see.
#include <ldns/ldns.h>

namespace quorvel::agent::dns {

namespace {

constexpr std::string_view kForwardTarget = "quorvel_agent::agent::dns::forward";
// Upstream queries carry no EDNS, so a UDP answer fits in 512 bytes; a larger datagram is cut
// here, fails to decode and is ignored.
constexpr std::size_t kUdpReceiveSize = 4096;

using Clock = std::chrono::steady_clock;

std::string addr_text(const SocketAddr& addr) {
    return addr.address().is_v6() ? fmt::format("[{}]:{}", addr.address().to_string(), addr.port())
                                  : fmt::format("{}:{}", addr.address().to_string(), addr.port());
}

// With the source port, the id is what an off-path sender must guess to have its answer taken: it
// comes from the system's random source, not from a generator that a few ids give away.
uint16_t random_id() {
    std::array<uint8_t, 2> bytes{};
    p2p::crypto::random_bytes(bytes);
    return ip::read_u16(bytes.data());
}

bool same_name(std::span<const uint8_t> a, const ldns_rdf* b) {
    if (b == nullptr || ldns_rdf_size(b) != a.size()) {
        return false;
    }
    const auto lower = [](uint8_t c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; };
    const uint8_t* data = ldns_rdf_data(b);
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(data[i])) {
            return false;
        }
    }
    return true;
}

// One attempt: `query`, sent with `id` for `question`, to `server`, answered by `deadline`.
struct Attempt {
    const SocketAddr& server;
    const std::vector<uint8_t>& query;
    uint16_t id;
    const Query& question;
    Clock::time_point deadline;
};

// Sends the query over UDP and waits until the deadline for a datagram that answers it.
boost::asio::awaitable<UpstreamAnswer> ask_udp(const Attempt& attempt) {
    using namespace boost::asio::experimental::awaitable_operators;
    const auto& [server, query, id, question, deadline] = attempt;
    auto executor = co_await boost::asio::this_coro::executor;
    boost::asio::ip::udp::socket socket(executor);
    boost::system::error_code ec;
    socket.open(server.protocol(), ec);
    if (!ec) {
        // Connected: only the server's datagrams come in.
        socket.connect(server, ec);
    }
    if (!ec) {
        co_await socket.async_send(boost::asio::buffer(query),
                                   boost::asio::redirect_error(boost::asio::use_awaitable, ec));
    }
    if (ec) {
        QV_DEBUG(kForwardTarget, "upstream {}: {}", addr_text(server), ec.message());
        co_return UpstreamAnswer{};
    }
    boost::asio::steady_timer timer(executor, deadline);
    std::vector<uint8_t> buf(kUdpReceiveSize);
    for (;;) {
        auto got =
            co_await (socket.async_receive(boost::asio::buffer(buf),
                                           boost::asio::as_tuple(boost::asio::use_awaitable)) ||
                      timer.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable)));
        if (got.index() == 1) {
            QV_DEBUG(kForwardTarget, "upstream {}: no answer in time", addr_text(server));
            co_return UpstreamAnswer{};
        }
        auto [error, n] = std::get<0>(got);
        if (error) {
            // A refused port shows as an error on the connected socket: nobody answers there.
            QV_DEBUG(kForwardTarget, "upstream {}: {}", addr_text(server), error.message());
            co_return UpstreamAnswer{};
        }
        auto answer = read_upstream_answer(std::span(buf).first(n), id, question);
        if (answer.kind != UpstreamAnswer::Kind::Ignored) {
            co_return answer;
        }
        QV_DEBUG(kForwardTarget, "upstream {}: ignoring a datagram that does not answer {}",
                 addr_text(server), id);
    }
}

// The message that answers `query` over a new connection to `to`, or why there is none. Failures
// come back as a value, not an exception: racing the deadline with `||` ends only when an operand
// finishes without throwing, so a thrown failure would leave the attempt waiting for its timer.
boost::asio::awaitable<Result<std::vector<uint8_t>, boost::system::error_code>> tcp_exchange(
    boost::asio::ip::tcp::socket& socket, const boost::asio::ip::tcp::endpoint& to,
    const std::vector<uint8_t>& query) {
    try {
        co_await socket.async_connect(to, boost::asio::use_awaitable);
        std::vector<uint8_t> framed(2);
        ip::write_u16(framed.data(), static_cast<uint16_t>(query.size()));
        framed.insert(framed.end(), query.begin(), query.end());
        co_await boost::asio::async_write(socket, boost::asio::buffer(framed),
                                          boost::asio::use_awaitable);
        uint8_t len[2];
        co_await boost::asio::async_read(socket, boost::asio::buffer(len),
                                         boost::asio::use_awaitable);
        // At most 64 KiB, and the read is bounded by the attempt's deadline.
        std::vector<uint8_t> message(ip::read_u16(len));
        co_await boost::asio::async_read(socket, boost::asio::buffer(message),
                                         boost::asio::use_awaitable);
        co_return message;
    } catch (const boost::system::system_error& e) {
        co_return unexpected(e.code());
    }
}

// Asks again over TCP, within the same deadline.
boost::asio::awaitable<UpstreamAnswer> ask_tcp(const Attempt& attempt) {
    using namespace boost::asio::experimental::awaitable_operators;
    const auto& [server, query, id, question, deadline] = attempt;
    const boost::asio::ip::tcp::endpoint to(server.address(), server.port());
    auto executor = co_await boost::asio::this_coro::executor;
    boost::asio::ip::tcp::socket socket(executor);
    boost::asio::steady_timer timer(executor, deadline);
    auto got =
        co_await (tcp_exchange(socket, to, query) || timer.async_wait(boost::asio::use_awaitable));
    if (got.index() == 1) {
        QV_DEBUG(kForwardTarget, "upstream {} over TCP: no answer in time", addr_text(server));
        co_return UpstreamAnswer{};
    }
    auto& message = std::get<0>(got);
    if (!message) {
        QV_DEBUG(kForwardTarget, "upstream {} over TCP: {}", addr_text(server),
                 message.error().message());
        co_return UpstreamAnswer{};
    }
    auto answer = read_upstream_answer(*message, id, question);
    if (answer.kind == UpstreamAnswer::Kind::Truncated) {
        answer.kind = UpstreamAnswer::Kind::Ignored;  // nothing more to fall back to
    }
    co_return answer;
}

// Sends the completed response, as the catalog does for an answer sent at once.
void send_forwarded(MessageResponse& response, std::optional<UpstreamAnswer> answer,
                    ResponseHandler& handler) {
    complete_forwarded_response(response, std::move(answer));
    auto sent = handler.send_response(std::move(response));
    if (!sent) {
        log_request_error(sent.error());
    }
}

// `slot` is held until the answer has gone.
boost::asio::awaitable<void> lookup(std::shared_ptr<const ForwardAuthority> self, Query question,
                                    MessageResponse response,
                                    std::unique_ptr<ResponseHandler> handler,
                                    [[maybe_unused]] QueryPermit slot) {
    const UpstreamServers& upstream = self->upstream();
    std::optional<UpstreamAnswer> answer;
    for (std::size_t attempt = 0; attempt < upstream.options.attempts && !upstream.servers.empty();
         ++attempt) {
        const SocketAddr& server = upstream.servers[attempt % upstream.servers.size()];
        const uint16_t id = random_id();
        const auto query = build_upstream_query(id, question);
        const Attempt asked{server, query, id, question, Clock::now() + upstream.options.timeout};
        auto got = co_await ask_udp(asked);
        if (got.kind == UpstreamAnswer::Kind::Truncated) {
            got = co_await ask_tcp(asked);
        }
        if (got.kind == UpstreamAnswer::Kind::Answered) {
            answer = std::move(got);
            break;
        }
        if (got.kind == UpstreamAnswer::Kind::Failed) {
            QV_DEBUG(kForwardTarget, "upstream {}: {}", addr_text(server),
                     response_code_text(got.response_code));
        }
    }
    if (!answer) {
        QV_DEBUG(kForwardTarget, "error resolving: {}: no upstream answer",
                 name_text(question.name));
    }
    send_forwarded(response, std::move(answer), *handler);
}

}  // namespace

std::string UpstreamServers::debug_text() const {
    std::string out = "[";
    for (std::size_t i = 0; i < servers.size(); ++i) {
        if (i > 0) {
            out += ", ";
        }
        out += addr_text(servers[i]);
    }
    out += "]";
    return out;
}

std::vector<uint8_t> build_upstream_query(uint16_t id, const Query& query) {
    std::vector<uint8_t> out(kHeaderLen);
    ip::write_u16(out.data(), id);
    out[2] = 0x01;  // RD
    ip::write_u16(out.data() + 4, 1);
    out.insert(out.end(), query.name.begin(), query.name.end());
    const std::size_t at = out.size();
    out.resize(at + 4);
    ip::write_u16(out.data() + at, query.query_type);
    ip::write_u16(out.data() + at + 2, query.query_class);
    return out;
}

UpstreamAnswer read_upstream_answer(std::span<const uint8_t> bytes, uint16_t id,
                                    const Query& query) {
    UpstreamAnswer out;
    if (bytes.size() < kHeaderLen || ip::read_u16(bytes.data()) != id) {
        return out;
    }
    ldns_pkt* decoded = nullptr;
    if (ldns_wire2pkt(&decoded, bytes.data(), bytes.size()) != LDNS_STATUS_OK) {
        return out;
    }
    std::unique_ptr<ldns_pkt, decltype(&ldns_pkt_free)> pkt(decoded, &ldns_pkt_free);
    const ldns_rr_list* questions = ldns_pkt_question(decoded);
    if (!ldns_pkt_qr(decoded) || ldns_pkt_get_opcode(decoded) != LDNS_PACKET_QUERY ||
        questions == nullptr || ldns_rr_list_rr_count(questions) != 1) {
        return out;
    }
    const ldns_rr* asked = ldns_rr_list_rr(questions, 0);
    if (!same_name(query.name, ldns_rr_owner(asked)) ||
        static_cast<uint16_t>(ldns_rr_get_type(asked)) != query.query_type ||
        static_cast<uint16_t>(ldns_rr_get_class(asked)) != query.query_class) {
        return out;
    }
    if (ldns_pkt_tc(decoded)) {
        out.kind = UpstreamAnswer::Kind::Truncated;
        return out;
    }
    out.response_code = static_cast<uint16_t>(ldns_pkt_get_rcode(decoded) |
                                              (ldns_pkt_edns_extended_rcode(decoded) << 4));
    if (out.response_code != response_code::kNoError &&
        out.response_code != response_code::kNxDomain) {
        out.kind = UpstreamAnswer::Kind::Failed;
        return out;
    }
    const ldns_rr_list* answers = ldns_pkt_answer(decoded);
    const std::size_t count = answers ? ldns_rr_list_rr_count(answers) : 0;
    out.records.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        uint8_t* wire = nullptr;
        std::size_t size = 0;
        if (ldns_rr2wire(&wire, ldns_rr_list_rr(answers, i), LDNS_SECTION_ANSWER, &size) !=
            LDNS_STATUS_OK) {
            std::free(wire);
            return UpstreamAnswer{};
        }
        out.records.emplace_back(wire, wire + size);
        std::free(wire);
    }
    out.kind = UpstreamAnswer::Kind::Answered;
    return out;
}

void complete_forwarded_response(MessageResponse& response, std::optional<UpstreamAnswer> answer) {
    if (!answer || answer->kind != UpstreamAnswer::Kind::Answered) {
        response.header.response_code = response_code::kServFail;
        response.records.clear();
        return;
    }
    response.header.response_code = answer->response_code;
    response.records = std::move(answer->records);
}

void ForwardAuthority::forward(std::shared_ptr<const ForwardAuthority> self, Query query,
                               MessageResponse response, std::unique_ptr<ResponseHandler> handler) {
    if (!self->slots_->try_acquire()) {
        QV_DEBUG(kForwardTarget, "error resolving: {}: {} lookups already waiting upstream",
                 name_text(query.name), self->slots_->max());
        send_forwarded(response, std::nullopt, *handler);
        return;
    }
    QueryPermit slot(self->slots_);
    // On a strand: each wait races a socket against a timer, and the loser is cancelled.
    auto strand = boost::asio::make_strand(handler->executor());
    spawn_detached(strand,
                   lookup(std::move(self), std::move(query), std::move(response),
                          std::move(handler), std::move(slot)),
                   "dns forward");
}

}  // namespace quorvel::agent::dns
