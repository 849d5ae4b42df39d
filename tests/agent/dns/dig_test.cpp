// A real resolver as the client: `dig` asks the DNS component through a TUN device that lives in a
// network namespace the test creates and removes; nothing is configured in the machine's own
// namespace. Skipped where dig, ip, TUN devices or network namespaces are not available, or where
// no command can run inside a namespace.
#include "agent/dns/mobile_dns.h"

#include "agent/agent_test_util.h"
#include "agent/dns/dns_test_util.h"
#include "util/async_test_util.h"
#include "util/log.h"
#include "util/runtime.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <future>
#include <optional>
#include <string>
#include <thread>

namespace quorvel::agent {
namespace {

using namespace testing;

// Runs a shell command; its exit status and standard output (standard error joined).
std::pair<int, std::string> run(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) {
        return {-1, output};
    }
    std::array<char, 512> buf{};
    while (std::fgets(buf.data(), static_cast<int>(buf.size()), pipe) != nullptr) {
        output += buf.data();
    }
    const int status = ::pclose(pipe);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

// A named network namespace, removed with the object.
class NetNs {
  public:
    explicit NetNs(std::string name) : name_(std::move(name)) {
        ok_ = run("ip netns add " + name_).first == 0;
    }
    ~NetNs() {
        if (ok_) {
            run("ip netns del " + name_);
        }
    }
    bool ok() const { return ok_; }
    const std::string& name() const { return name_; }
    std::pair<int, std::string> exec(const std::string& command) const {
        return run("ip netns exec " + name_ + " " + command);
    }
    // Why no command can run inside the namespace, or nothing when one can. Creating a namespace
    // can work where entering one with `ip` cannot (it remounts /, which fails where / is not a
    // mount point).
    std::optional<std::string> exec_refused() const {
        auto [status, output] = exec("true");
        if (status == 0) {
            return std::nullopt;
        }
        while (!output.empty() && output.back() == '\n') {
            output.pop_back();
        }
        return "cannot run commands in network namespace " + name_ + ": " + output;
    }

  private:
    std::string name_;
    bool ok_ = false;
};

// Opens a TUN device (no packet information) inside the namespace, from a thread that enters it,
// so the calling thread's namespace stays as it was. -1 with a reason on failure.
std::pair<int, std::string> open_tun_in(const NetNs& ns, const char* ifname) {
    auto task = std::async(std::launch::async, [&]() -> std::pair<int, std::string> {
        const int ns_fd = ::open(("/var/run/netns/" + ns.name()).c_str(), O_RDONLY | O_CLOEXEC);
        if (ns_fd < 0 || ::setns(ns_fd, CLONE_NEWNET) != 0) {
            if (ns_fd >= 0) {
                ::close(ns_fd);
            }
            return {-1, std::string("cannot enter the namespace: ") + std::strerror(errno)};
        }
        ::close(ns_fd);
        const int fd = ::open("/dev/net/tun", O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            return {-1, std::string("cannot open /dev/net/tun: ") + std::strerror(errno)};
        }
        ifreq ifr{};
        ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
        std::strncpy(ifr.ifr_name, ifname, IFNAMSIZ - 1);
        if (::ioctl(fd, TUNSETIFF, &ifr) != 0) {
            const std::string reason = std::strerror(errno);
            ::close(fd);
            return {-1, "cannot create the TUN device: " + reason};
        }
        return {fd, ""};
    });
    return task.get();
}

// The agent's side of the tunnel: every packet read goes to the DNS intake, as the outbound pass
// hands over packets it has no route for. Ends at the first packet read once `stop` is set.
boost::asio::awaitable<void> intake_loop(std::shared_ptr<AsyncDevice> device,
                                         std::shared_ptr<AgentDns> dns, std::atomic<bool>& stop,
                                         std::atomic<bool>& stopped) {
    std::vector<uint8_t> buf(2048);
    for (;;) {
        auto n = co_await device->recv(buf);
        if (!n || stop) {
            stopped = true;
            co_return;
        }
        std::span<const uint8_t> packet(buf.data(), *n);
        if (auto header = ip::Ipv4HeaderSlice::from_slice(packet)) {
            dns->handle_outbound_packet(packet, *header, device);
        }
    }
}

TEST(DnsDigTest, ResolverGetsAnswersThroughATunInANamespace) {
    if (run("command -v dig").first != 0 || run("command -v ip").first != 0) {
        GTEST_SKIP() << "dig or ip is not installed (packages dnsutils, iproute2)";
    }
    if (::access("/dev/net/tun", R_OK | W_OK) != 0) {
        GTEST_SKIP() << "no usable /dev/net/tun";
    }
    NetNs ns("quorvel-dns-test-" + std::to_string(::getpid()));
    if (!ns.ok()) {
        GTEST_SKIP() << "cannot create a network namespace";
    }
    if (auto refused = ns.exec_refused()) {
        GTEST_SKIP() << *refused;
    }
    auto [fd, reason] = open_tun_in(ns, "qvdns0");
    if (fd < 0) {
        GTEST_SKIP() << reason;
    }
    ASSERT_EQ(ns.exec("ip addr add 10.1.0.5/16 dev qvdns0").first, 0);
    ASSERT_EQ(ns.exec("ip link set qvdns0 up").first, 0);

    auto runtime = Runtime::create(2);
    auto device = AsyncDevice::from_fd(runtime->executor(), fd);
    ASSERT_TRUE(device.has_value());
    auto dns = MobileAgentDns::create(runtime->executor());
    AgentConfig config(test_identity());
    auto& n = add_network(config, "https://example.com/n.toml");
    n.current_state.ip = {net("10.1.0.5/16"), std::nullopt};
    n.desired_state.hostnames = {
        hosts({{Ipv4Addr(10, 1, 0, 1), "alpha"}, {Ipv4Addr(10, 1, 0, 5), "me"}}), std::nullopt};
    ASSERT_TRUE(runtime->block_on(dns->apply_desired_state(config)));
    std::atomic<bool> stop{false};
    std::atomic<bool> stopped{false};
    runtime->spawn(intake_loop(*device, dns, stop, stopped), "dig test intake");

    const std::string dig = "dig @10.1.255.254 +tries=1 +time=3 ";
    auto [status, out] = ns.exec(dig + "+short alpha.quorvel.internal A");
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(out, "10.1.0.1\n");

    std::tie(status, out) = ns.exec(dig + "ME.quorvel.internal A");
    EXPECT_NE(out.find("status: NOERROR"), std::string::npos) << out;
    EXPECT_NE(out.find("ANSWER: 1"), std::string::npos) << out;
    EXPECT_NE(out.find("\t10\tIN\tA\t10.1.0.5"), std::string::npos) << out;

    std::tie(status, out) = ns.exec(dig + "alpha.quorvel.internal AAAA");
    EXPECT_NE(out.find("status: NOERROR"), std::string::npos) << out;
    EXPECT_NE(out.find("ANSWER: 0"), std::string::npos) << out;

    std::tie(status, out) = ns.exec(dig + "nobody.quorvel.internal A");
    EXPECT_NE(out.find("status: NXDOMAIN"), std::string::npos) << out;

    std::tie(status, out) = ns.exec(dig + "example.com A");
    EXPECT_NE(out.find("status: REFUSED"), std::string::npos) << out;

    std::tie(status, out) = ns.exec(dig + "+norecurse alpha.quorvel.internal A");
    EXPECT_NE(out.find("status: REFUSED"), std::string::npos) << out;

    std::tie(status, out) = ns.exec(dig + "+edns=1 +noednsnegotiation alpha.quorvel.internal A");
    EXPECT_NE(out.find("status: BADVERS"), std::string::npos) << out;

    // One more packet into the tunnel lets the loop see that it is to end.
    stop = true;
    ns.exec("bash -c 'echo > /dev/udp/10.1.255.254/9'");
    EXPECT_TRUE(::quorvel::testing::eventually([&] { return stopped.load(); }));
    dns->shutdown();
    runtime->stop();
}

}  // namespace
}  // namespace quorvel::agent
