// Queries answered per second by the embedded DNS server through the tunnel: the host writes DNS
// queries as IPv4/UDP packets into one end of a packet socket pair, the agent's end is read by a
// loop that hands every packet to the DNS component's intake (as the outbound pass does for
// packets without a route), and the replies come back through the same socket pair.
//
// Beside it, a bare loop on the same kind of socket pair reads each packet and writes it straight
// back with its addresses and ports swapped: the floor of what any server behind the tunnel can
// reach. The ratio of the two rates is the figure of merit.
//
// Both keep a window of queries in flight, so they measure throughput rather than one round
// trip's latency.
#include <benchmark/benchmark.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "agent/config/agent_config.h"
#include "agent/dns/mobile_dns.h"
#include "agent/netif/async_device.h"
#include "util/ip_packet.h"
#include "util/runtime.h"

namespace quorvel::agent {
namespace {

constexpr int kWindow = 128;
const Ipv4Addr kClient(10, 1, 0, 5);
const Ipv4Addr kDnsAddr(10, 1, 255, 254);

std::vector<uint8_t> query_message() {
    // id 0x1234, RD, one question: alpha.quorvel.internal. A IN
    std::vector<uint8_t> m = {0x12, 0x34, 0x01, 0x00, 0, 1, 0, 0, 0, 0, 0, 0};
    for (std::string_view label : {"alpha", "quorvel", "internal"}) {
        m.push_back(static_cast<uint8_t>(label.size()));
        m.insert(m.end(), label.begin(), label.end());
    }
    m.insert(m.end(), {0, 0, 1, 0, 1});
    return m;
}

std::vector<uint8_t> query_packet() {
    auto packet = ip::build_ipv4_udp(kClient, 40000, kDnsAddr, 53, query_message());
    return std::move(*packet);
}

enum class Mode { Dns, Echo };

// The agent's side: reads the tunnel and either offers each packet to the DNS intake or echoes
// it with addresses and ports swapped.
boost::asio::awaitable<void> agent_loop(std::shared_ptr<AsyncDevice> device,
                                        std::shared_ptr<AgentDns> dns, Mode mode) {
    std::vector<uint8_t> buf(2048);
    for (;;) {
        auto n = co_await device->recv(buf);
        if (!n || *n == 0) {
            co_return;
        }
        std::span<const uint8_t> packet(buf.data(), *n);
        auto header = ip::Ipv4HeaderSlice::from_slice(packet);
        if (!header) {
            continue;
        }
        if (mode == Mode::Dns) {
            dns->handle_outbound_packet(packet, *header, device);
            continue;
        }
        auto udp = ip::UdpHeader::from_slice(packet.subspan(header->header_len()));
        if (!udp) {
            continue;
        }
        auto reply = ip::build_ipv4_udp(header->destination_addr(), udp->destination_port,
                                        header->source_addr(), udp->source_port,
                                        packet.subspan(header->header_len() + ip::kUdpHeaderLen));
        if (reply && !co_await device->send(*reply)) {
            co_return;
        }
    }
}

void run(benchmark::State& state, Mode mode) {
    auto runtime = Runtime::create(static_cast<std::size_t>(state.range(0)));
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
        state.SkipWithError("no socket pair");
        return;
    }
    auto device = AsyncDevice::from_fd(runtime->executor(), fds[0]);
    if (!device) {
        state.SkipWithError("no device");
        return;
    }
    std::shared_ptr<MobileAgentDns> dns;
    if (mode == Mode::Dns) {
        dns = MobileAgentDns::create(runtime->executor());
        AgentConfig config(p2p::Identity(p2p::SecKey::random(), p2p::Pow(0)));
        Url url = *Url::parse("https://example.com/n.toml");
        auto& network = config.network.insert_or_assign(url, network::Network(url)).first->second;
        network.current_state.ip = {*Ipv4Net::parse("10.1.0.5/16"), std::nullopt};
        network::HostnameList hosts;
        hosts.hosts.emplace(Ipv4Addr(10, 1, 0, 1), "alpha");
        network.desired_state.hostnames = {hosts, std::nullopt};
        (void)runtime->block_on(dns->apply_desired_state(config));
    }
    runtime->spawn(agent_loop(*device, dns, mode), "bench agent loop");

    const int host = fds[1];
    const auto query = query_packet();
    std::vector<uint8_t> reply(2048);
    int in_flight = 0;
    for (; in_flight < kWindow; ++in_flight) {
        (void)::send(host, query.data(), query.size(), 0);
    }
    int64_t answered = 0;
    for (auto _ : state) {
        const ssize_t n = ::recv(host, reply.data(), reply.size(), 0);
        if (n <= 28) {
            state.SkipWithError("bad reply");
            break;
        }
        ++answered;
        (void)::send(host, query.data(), query.size(), 0);
    }
    state.SetItemsProcessed(answered);
    if (dns) {
        dns->shutdown();
    }
    ::close(host);
    runtime->stop();
}

void BM_DnsQueriesThroughTunnel(benchmark::State& state) {
    run(state, Mode::Dns);
}
BENCHMARK(BM_DnsQueriesThroughTunnel)->Arg(1)->Arg(4)->UseRealTime()->MinTime(2.0);

void BM_BareEchoThroughTunnel(benchmark::State& state) {
    run(state, Mode::Echo);
}
BENCHMARK(BM_BareEchoThroughTunnel)->Arg(1)->Arg(4)->UseRealTime()->MinTime(2.0);

}  // namespace
}  // namespace quorvel::agent
