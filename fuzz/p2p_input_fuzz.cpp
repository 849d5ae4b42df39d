// Feeds arbitrary bytes to what the P2P node reads from outside: key and super-peer URL texts
// (from configuration files) and datagrams (from the network), and checks what must hold for
// every input: parsed values print back to text that parses to the same value, and the receive
// path neither crashes nor delivers what is not an application datagram for a known peer.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "../p2p/src/node_internal.h"
#include "p2p/keys.h"
#include "p2p/super_peer.h"

namespace {

using namespace quorvel;
using namespace quorvel::p2p;

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// One node core without tasks, whose replies go to a socket nobody reads.
struct Receiver {
    Receiver() {
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        SocketAddr local(boost::asio::ip::address_v4::loopback(), 0);
        check(fd >= 0 && ::bind(fd, local.data(), static_cast<socklen_t>(local.size())) == 0);
        socklen_t len = static_cast<socklen_t>(local.capacity());
        check(::getsockname(fd, local.data(), &len) == 0);
        Identity id(SecKey::random(), Pow(0));
        auto opts = NodeOptsBuilder().id(id).min_pow_difficulty(0).build();
        auto transport =
            std::make_shared<detail::Transport>(fd, local, id, opts->network_id(), nullptr);
        core = std::make_shared<detail::NodeCore>(*opts, CancellationToken(), transport,
                                                  std::set<SocketAddr>{}, nullptr);
        from = local;
    }
    std::shared_ptr<detail::NodeCore> core;
    SocketAddr from;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    if (auto pk = PubKey::parse(text)) {
        auto again = PubKey::parse(pk->to_string());
        check(again.has_value() && *again == *pk);
    }
    if (auto url = SuperPeerUrl::parse(text)) {
        auto again = SuperPeerUrl::parse(url->to_string());
        check(again.has_value() && *again == *url);
    }

    static Receiver receiver;
    std::span<const uint8_t> datagram(data, size);
    auto header = detail::wire::read_header(datagram);
    check(!header || size >= detail::wire::HEADER_LEN);
    if (header) {
        // Address the datagram to the receiver and make its sender a known peer, so that the
        // whole path runs.
        std::vector<uint8_t> copy(datagram.begin(), datagram.end());
        std::memcpy(copy.data() + 45, receiver.core->opts.id.pk().as_bytes().data(), KEY_LEN);
        auto peer = receiver.core->initiate(header->sender);
        receiver.core->handle_datagram(copy, receiver.from, Clock::now());
        if (peer) {
            std::vector<DatagramBuffer> bufs(4);
            auto n = peer->poll_read_datagrams(Waker(), bufs);
            bool app = header->type == detail::wire::Type::App &&
                       header->network == receiver.core->opts.network_id() &&
                       header->sender != receiver.core->opts.id.pk();
            check(!n || app);
            if (n) {
                check(*n == 1 && bufs[0].size() == size - detail::wire::HEADER_LEN);
            }
        }
    } else {
        receiver.core->handle_datagram(datagram, receiver.from, Clock::now());
    }
    return 0;
}
