// Text forms of the small shared values and the path statistics.
#include <fmt/format.h>

#include "p2p/network_id.h"
#include "p2p/stats.h"

namespace quorvel::p2p {

std::string NetworkId::to_string() const {
    return to_hex(bytes);
}

std::string NetworkId::debug() const {
    return fmt::format("NetworkId([{}, {}, {}, {}])", bytes[0], bytes[1], bytes[2], bytes[3]);
}

std::string_view transport_prot_name(TransportProt prot) {
    return prot == TransportProt::TCP ? "TCP" : "UDP";
}

std::string_view pow_status_name(PowStatus status) {
    switch (status) {
        case PowStatus::Unknw:
            return "Unknw";
        case PowStatus::Ok:
            return "Ok";
        case PowStatus::Nok:
            return "Nok";
    }
    return "Unknw";
}

std::string socket_addr_to_string(const SocketAddr& addr) {
    if (addr.address().is_v6()) {
        return fmt::format("[{}]:{}", addr.address().to_string(), addr.port());
    }
    return fmt::format("{}:{}", addr.address().to_string(), addr.port());
}

std::string PeerPathKey::to_string() const {
    return socket_addr_to_string(local) + "->" + socket_addr_to_string(remote);
}

bool PeerPath::is_reachable(Instant now, uint64_t hello_timeout_ms) const {
    return last_ack_time && now - *last_ack_time <= std::chrono::milliseconds(hello_timeout_ms);
}

void PeerPath::record_hello(Instant sent) {
    if (!unanswered_hello_since) {
        unanswered_hello_since = sent;
    }
}

void PeerPath::record_ack(Instant sent, Instant received) {
    unanswered_hello_since.reset();
    last_ack_time = received;
    auto rtt = std::chrono::duration_cast<std::chrono::microseconds>(received - sent).count();
    latencies.push_back(rtt < 0 ? 0 : static_cast<uint64_t>(rtt));
    if (latencies.size() > MAX_LATENCIES) {
        latencies.pop_front();
    }
}

}  // namespace quorvel::p2p

size_t std::hash<quorvel::p2p::PeerPathKey>::operator()(
    const quorvel::p2p::PeerPathKey& k) const noexcept {
    auto one = [](const quorvel::p2p::SocketAddr& a) {
        size_t h = std::hash<unsigned short>{}(a.port());
        if (a.address().is_v4()) {
            h ^= std::hash<uint32_t>{}(a.address().to_v4().to_uint()) * 0x9e3779b97f4a7c15ULL;
        } else {
            auto bytes = a.address().to_v6().to_bytes();
            for (auto b : bytes) {
                h = h * 131 + b;
            }
        }
        return h;
    };
    return one(k.local) * 31 + one(k.remote);
}
