#include "agent/dns/common.h"

#include "agent/agent_test_util.h"
#include "util/log.h"
#include "util/runtime.h"

#include <gtest/gtest.h>

namespace quorvel::agent {
namespace {

using namespace testing;

TEST(DnsServerIpTest, BroadcastMinusOne) {
    struct Case {
        const char* tunnel;
        const char* dns;
    };
    for (const Case c : {Case{"10.1.0.5/16", "10.1.255.254"},
                         Case{"192.168.7.9/24", "192.168.7.254"}, Case{"10.0.0.1/32", "10.0.0.0"},
                         Case{"0.0.0.0/32", "0.0.0.0"}, Case{"10.0.0.1/0", "255.255.255.254"}}) {
        EXPECT_EQ(dns_server_ip(net(c.tunnel)), *Ipv4Addr::parse(c.dns)) << c.tunnel;
    }
}

TEST(DnsServerIpTest, OnlyEnabledNetworksWithAnAppliedAddressCount) {
    AgentConfig config(test_identity());
    add_network(config, "https://example.com/a.toml").current_state.ip = {net("10.1.0.5/16"),
                                                                          std::nullopt};
    add_network(config, "https://example.com/same.toml").current_state.ip = {net("10.1.0.9/16"),
                                                                             std::nullopt};
    auto& disabled = add_network(config, "https://example.com/off.toml");
    disabled.disabled = true;
    disabled.current_state.ip = {net("10.3.0.1/24"), std::nullopt};
    add_network(config, "https://example.com/desired-only.toml").desired_state.ip = {
        net("10.4.0.1/24"), std::nullopt};
    const auto ips = calculate_dns_server_ips(config.network);
    EXPECT_EQ(ips, (std::vector<Ipv4Addr>(2, Ipv4Addr(10, 1, 255, 254))));
}

// A platform whose answers the test sets, recording the calls it gets.
class FakePlatform final : public PlatformDnsOps {
  public:
    std::optional<std::string> get_error, set_error, remove_error, flush_error;
    std::optional<Ipv4Addr> current;
    std::vector<std::string> calls;

    boost::asio::awaitable<Result<std::optional<Ipv4Addr>, std::string>> get_current_dns_ip()
        override {
        calls.push_back("get");
        if (get_error) {
            co_return unexpected(*get_error);
        }
        co_return current;
    }
    boost::asio::awaitable<Result<void, std::string>> set_dns_ip(Ipv4Addr addr) override {
        calls.push_back("set " + addr.to_string());
        if (set_error) {
            co_return unexpected(*set_error);
        }
        current = addr;
        co_return Result<void, std::string>{};
    }
    boost::asio::awaitable<Result<void, std::string>> remove_dns_ip() override {
        calls.push_back("remove");
        if (remove_error) {
            co_return unexpected(*remove_error);
        }
        current.reset();
        co_return Result<void, std::string>{};
    }
    boost::asio::awaitable<Result<void, std::string>> flush_caches() override {
        calls.push_back("flush");
        if (flush_error) {
            co_return unexpected(*flush_error);
        }
        co_return Result<void, std::string>{};
    }
};

network::HostnameList one_host(const char* name, Ipv4Addr addr) {
    network::HostnameList list;
    list.hosts.emplace(addr, name);
    return list;
}

class ApplyDnsTest : public ::testing::Test {
  protected:
    ApplyDnsTest()
        : runtime_(Runtime::create(1)),
          config_(test_identity()),
          allowed_(std::make_shared<const DnsServerIpSet>()) {
        auto [server, rx] = DnsServerRef::create({});
        server_.emplace(std::move(server));
        shutdown_rx_ = std::move(rx);
    }

    network::Network& network(const char* url, const char* tunnel) {
        auto& n = add_network(config_, url);
        n.current_state.ip = {net(tunnel), std::nullopt};
        return n;
    }

    void apply() {
        ASSERT_TRUE(runtime_->block_on(
            apply_desired_state_common(platform_, current_, allowed_, *server_, config_.network)));
    }

    std::shared_ptr<Runtime> runtime_;
    AgentConfig config_;
    FakePlatform platform_;
    std::atomic<uint32_t> current_{0};
    SnapshotSlot<DnsServerIpSet> allowed_;
    std::optional<DnsServerRef> server_;
    OneshotReceiver<Unit> shutdown_rx_;
};

TEST_F(ApplyDnsTest, SetsTheFirstAddressAndAppliesHostNames) {
    auto& n = network("https://example.com/a.toml", "10.1.0.5/16");
    n.desired_state.hostnames = {one_host("alpha", Ipv4Addr(10, 1, 0, 1)), std::nullopt};
    log::ScopedCapture capture;
    apply();
    EXPECT_EQ(platform_.calls, (std::vector<std::string>{"get", "set 10.1.255.254", "flush"}));
    EXPECT_EQ(current_.load(), Ipv4Addr(10, 1, 255, 254).to_u32());
    EXPECT_TRUE(allowed_.load()->contains(Ipv4Addr(10, 1, 255, 254)));
    EXPECT_EQ(n.current_state.hostnames, n.desired_state.hostnames);
    EXPECT_EQ(server_->catalog()->zone_count(), 1u);
    EXPECT_TRUE(capture->contains(log::Level::Trace, "Current DNS IP: None"));
    EXPECT_TRUE(capture->contains(log::Level::Trace, "We need to set DNS server to 10.1.255.254."));
    EXPECT_TRUE(
        capture->contains(log::Level::Trace, "Successfully set DNS server to 10.1.255.254."));
    for (const auto& e : capture->events()) {
        EXPECT_TRUE(e.target == kDnsCommonTarget || e.target == "quorvel_agent::agent::dns::server")
            << e.target;
    }

    // Nothing changed: no platform change, no catalog rebuild.
    capture.sink().clear();
    const auto catalog = server_->catalog();
    apply();
    EXPECT_EQ(platform_.calls,
              (std::vector<std::string>{"get", "set 10.1.255.254", "flush", "get", "flush"}));
    EXPECT_EQ(server_->catalog(), catalog);
    EXPECT_TRUE(capture->contains(log::Level::Trace, "Current DNS IP: Some(10.1.255.254)"));
    EXPECT_FALSE(capture->contains_substring(log::Level::Trace, "Removing DNS server"));
    EXPECT_FALSE(capture->contains_substring(log::Level::Trace, "We need to set"));

    // Another network's address replaces it: removal first, then the new one.
    config_.network.clear();
    network("https://example.com/b.toml", "10.2.0.7/24");
    capture.sink().clear();
    apply();
    EXPECT_TRUE(capture->contains(log::Level::Trace,
                                  "Removing DNS server because current IP is not in desired state: "
                                  "current_ip=10.1.255.254, desired_ip=Some(10.2.0.254)"));
    EXPECT_EQ(current_.load(), Ipv4Addr(10, 2, 0, 254).to_u32());
    EXPECT_FALSE(allowed_.load()->contains(Ipv4Addr(10, 1, 255, 254)));

    // No network left: removed, none set, the set empty.
    config_.network.clear();
    capture.sink().clear();
    apply();
    EXPECT_TRUE(capture->contains(log::Level::Trace,
                                  "Removing DNS server because current IP is not in desired state: "
                                  "current_ip=10.2.0.254, desired_ip=None"));
    EXPECT_TRUE(capture->contains(log::Level::Trace, "Successfully removed DNS server."));
    EXPECT_EQ(current_.load(), 0u);
    EXPECT_TRUE(allowed_.load()->empty());
}

TEST_F(ApplyDnsTest, PlatformFailuresAreRecordedInTheNetworks) {
    struct Case {
        const char* name;
        std::optional<std::string> FakePlatform::*field;
        std::optional<Ipv4Addr> current;
        const char* warning;
        const char* recorded;    // null: nothing recorded
        uint32_t current_after;  // kFirstAddress: the first network's in the map's order
    };
    constexpr uint32_t kFirstAddress = ~uint32_t{0};
    const uint32_t old_ip = Ipv4Addr(10, 9, 255, 254).to_u32();
    const Case cases[] = {
        {"get", &FakePlatform::get_error, std::nullopt, "Unable to determine current DNS IP: boom",
         "Unable to determine current DNS IP: boom", 0},
        {"remove", &FakePlatform::remove_error, Ipv4Addr(old_ip),
         "Unable to remove DNS server IP: boom.", "Unable to remove DNS server IP: boom", old_ip},
        {"set", &FakePlatform::set_error, Ipv4Addr(old_ip), "Unable to set DNS server IP: boom.",
         "Unable to set DNS server IP: boom", 0},
        {"flush", &FakePlatform::flush_error, std::nullopt, "Unable to flush DNS caches: boom.",
         nullptr, kFirstAddress},
    };
    for (const auto& c : cases) {
        config_.network.clear();
        platform_ = FakePlatform{};
        platform_.*c.field = "boom";
        platform_.current = c.current;
        current_ = c.current ? c.current->to_u32() : 0;
        auto& applied = network("https://example.com/a.toml", "10.1.0.5/16");
        applied.current_state.hostnames = {one_host("old", Ipv4Addr(10, 1, 0, 3)), std::nullopt};
        applied.desired_state.hostnames = {one_host("new", Ipv4Addr(10, 1, 0, 4)), std::nullopt};
        // Without applied host names a network keeps its status, older error included.
        auto& pending = network("https://example.com/b.toml", "10.2.0.5/24");
        pending.current_state.hostnames = {std::nullopt, std::string("older")};

        log::ScopedCapture capture;
        apply();
        EXPECT_TRUE(capture->contains(log::Level::Warn, c.warning)) << c.name;
        const auto& a = config_.network.at(url("https://example.com/a.toml"));
        const auto& b = config_.network.at(url("https://example.com/b.toml"));
        if (c.recorded != nullptr) {
            EXPECT_EQ(a.current_state.hostnames,
                      (network::AppliedStatus<network::HostnameList>{std::nullopt, c.recorded}))
                << c.name;
        } else {
            EXPECT_EQ(a.current_state.hostnames, a.desired_state.hostnames) << c.name;
        }
        EXPECT_EQ(b.current_state.hostnames.error,
                  c.recorded ? "older" : std::optional<std::string>())
            << c.name;
        const uint32_t expected = c.current_after == kFirstAddress
                                      ? calculate_dns_server_ips(config_.network).front().to_u32()
                                      : c.current_after;
        EXPECT_EQ(current_.load(), expected) << c.name;
    }

    // A recorded error differs from the desired status: the next good pass clears it.
    platform_ = FakePlatform{};
    apply();
    const auto& a = config_.network.at(url("https://example.com/a.toml"));
    EXPECT_EQ(a.current_state.hostnames, a.desired_state.hostnames);
}

TEST_F(ApplyDnsTest, FailureBeforeAnyHostNamesOnlyWarns) {
    platform_.get_error = "not yet";
    auto& n = network("https://example.com/a.toml", "10.1.0.5/16");
    n.desired_state.hostnames = {one_host("alpha", Ipv4Addr(10, 1, 0, 1)), std::nullopt};
    log::ScopedCapture capture;
    apply();
    EXPECT_TRUE(capture->contains(log::Level::Warn, "Unable to determine current DNS IP: not yet"));
    EXPECT_TRUE(n.current_state.hostnames.is_empty());
    // The pass ended before publishing addresses.
    EXPECT_TRUE(allowed_.load()->empty());
}

}  // namespace
}  // namespace quorvel::agent
