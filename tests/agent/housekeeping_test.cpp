// Scripted housekeeping passes against real parts: network documents in files, a loopback
// controller, a socket pair as the host's tunnel. Each agent runs its first pass on its own at
// start; the tests then drive further passes one at a time.
#include "agent/housekeeping.h"

#include "agent/agent.h"
#include "agent/agent_test_util.h"
#include "agent/retrieval.h"
#include "agent/status/status.h"
#include "agent/stuck_reader.h"
#include "util/async_test_util.h"
#include "util/file_io.h"
#include "util/log.h"
#include "util/malformed_urls.h"
#include "util/runtime.h"
#include "util/temp_dir.h"

#include <httplib.h>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/this_coro.hpp>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

namespace quorvel::agent {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;
using namespace testing;
using ::quorvel::testing::eventually;
using Health = network::NetworkHealth;
using Status = ControllerConnectionStatus;

// A node of a document: every node is in group "g", and one policy links "g" with itself.
struct DocNode {
    p2p::PubKey pk;
    std::string ip;
    std::string hostname;
};

struct DocRoute {
    std::string dest;
    p2p::PubKey gw;
};

struct Doc {
    std::string subnet;
    std::optional<std::string> name;
    std::vector<DocNode> nodes;
    std::vector<DocRoute> routes;
    std::optional<std::string> id = std::nullopt;  // only in the controller's list

    // The document's TOML; `prefix` is "network." inside the controller's list.
    std::string toml(const std::string& prefix = "") const {
        std::string text;
        if (id) {
            text += "id = \"" + *id + "\"\n";
        }
        text += "network = \"" + subnet + "\"\n";
        if (name) {
            text += "name = \"" + *name + "\"\n";
        }
        for (const auto& n : nodes) {
            text += "[[" + prefix + "node]]\npk = \"" + n.pk.to_string() + "\"\nip = \"" + n.ip +
                    "\"\nhostname = \"" + n.hostname + "\"\ngroups = [\"g\"]\n";
        }
        for (const auto& r : routes) {
            text += "[[" + prefix + "route]]\ndest = \"" + r.dest + "\"\ngw = \"" +
                    r.gw.to_string() + "\"\n";
        }
        text += "[[" + prefix + "policy]]\nsource_groups = [\"g\"]\ndestination_groups = [\"g\"]\n";
        return text;
    }
};

std::string controller_list(const std::vector<Doc>& docs) {
    if (docs.empty()) {
        return "network = []\n";
    }
    std::string text;
    for (const auto& doc : docs) {
        text += "[[network]]\n" + doc.toml("network.");
    }
    return text;
}

// The controller on loopback: answers the network list with the scripted status and body, counts
// metrics uploads, and can hold the list's answer until released.
class TestController {
  public:
    TestController() {
        server_.Get("/nodes/me/networks/config.toml",
                    [this](const httplib::Request&, httplib::Response& res) {
                        std::unique_lock lock(mutex_);
                        ++list_requests_;
                        released_.wait(lock, [this] { return !held_; });
                        res.status = status_;
                        res.set_content(body_, "application/toml");
                    });
        server_.Put("/nodes/me/metrics", [this](const httplib::Request&, httplib::Response& res) {
            ++metrics_uploads_;
            res.status = 200;
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~TestController() {
        release();
        server_.stop();
        thread_.join();
    }

    void answer(int status, std::string body) {
        std::lock_guard lock(mutex_);
        status_ = status;
        body_ = std::move(body);
    }
    // Holds the list's answers until `release`.
    void hold() {
        std::lock_guard lock(mutex_);
        held_ = true;
    }
    void release() {
        {
            std::lock_guard lock(mutex_);
            held_ = false;
        }
        released_.notify_all();
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    int list_requests() {
        std::lock_guard lock(mutex_);
        return list_requests_;
    }
    int metrics_uploads() const { return metrics_uploads_.load(); }

  private:
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable released_;
    bool held_ = false;
    int status_ = 200;
    std::string body_ = "network = []\n";
    int list_requests_ = 0;
    std::atomic<int> metrics_uploads_{0};
};

std::string closed_port_url() {
    return "http://127.0.0.1:" + std::to_string(closed_port());
}

class HousekeepingTest : public ::testing::Test {
  protected:
    HousekeepingTest() : runtime_(Runtime::create(4)) {}
    ~HousekeepingTest() override {
        if (host_fd_ >= 0) {
            close(host_fd_);
        }
    }

    AgentConfig base_config(bool dns = false) {
        AgentConfig config(identity_);
        if (!dns) {
            config.dns = DnsConfig{true};
        }
        return config;
    }

    void with_controller(AgentConfig& config, const TestController& controller) {
        config.controller = ControllerConfig{};
        config.controller->url = controller.url();
        config.controller->display_login_email = "user@example.com";
        config.controller->shared_secret = "c2VjcmV0LWtleS1mb3ItdGVzdHM";
    }

    // A file network whose document is `doc`; returns its URL.
    std::string file_network(AgentConfig& config, const std::string& name, const Doc& doc) {
        write_doc(name, doc);
        const std::string url_text = "file://" + dir_.file(name);
        add_network(config, url_text);
        return url_text;
    }
    void write_doc(const std::string& name, const Doc& doc) {
        quorvel::testing::write_file(dir_.file(name), doc.toml());
    }

    std::shared_ptr<AsyncDevice> make_device() {
        return tunnel_pair(runtime_->executor(), host_fd_);
    }

    // Starts the agent and waits for its first pass; the next one on its own is an hour away.
    Agent start(AgentConfig config, std::shared_ptr<AsyncDevice> device = nullptr) {
        PlatformDependent platform{std::move(device), [this](NetworkChange change) {
                                       std::lock_guard lock(mutex_);
                                       changes_.push_back(std::move(change));
                                   }};
        auto started = runtime_->block_on(
            Agent::start(std::move(config), config_path(), std::move(platform), 1h));
        EXPECT_TRUE(started.has_value() && started->has_value());
        Agent agent = std::move(started.value().value());
        EXPECT_TRUE(eventually([&] { return agent.inner()->completed_passes() >= 1; }));
        return agent;
    }

    // One more pass, run to its end.
    void pass(const Agent& agent) {
        auto ran = runtime_->block_on(
            AgentInner::run_pass(agent.inner(), agent.inner()->cancellation_token()));
        ASSERT_TRUE(ran.has_value());
        ASSERT_TRUE(ran->has_value());
        ASSERT_TRUE(ran->value());
    }

    // Runs `body` on the running state under the write lock.
    template <class Body>
    void with_state(const Agent& agent, Body body) {
        auto done = runtime_->block_on(
            [](std::shared_ptr<AgentInner> inner, Body body) -> asio::awaitable<void> {
                auto state = co_await inner->state().write();
                co_await body(inner, *state);
            }(agent.inner(), std::move(body)));
        ASSERT_TRUE(done.has_value());
    }

    AgentConfig running(const Agent& agent) { return running_config_of(*runtime_, agent); }

    std::vector<NetworkChange> changes() {
        std::lock_guard lock(mutex_);
        return changes_;
    }

    void shutdown(const Agent& agent) {
        ASSERT_TRUE(runtime_->block_on(agent.shutdown()).has_value());
    }

    std::string config_path() const { return dir_.file("agent.toml"); }

    const p2p::PubKey& own() const { return identity_.pk(); }

    quorvel::testing::TempDir dir_;
    p2p::Identity identity_ = test_identity();
    p2p::PubKey peer_ = test_identity().pk();
    std::shared_ptr<Runtime> runtime_;
    int host_fd_ = -1;
    std::mutex mutex_;
    std::vector<NetworkChange> changes_;
};

const network::Network& network_at(const AgentConfig& config, const std::string& text) {
    return config.network.at(url(text));
}

// An agent on a socket-pair tunnel reports addresses, routes and DNS server in its first pass;
// an identical pass reports nothing, a changed route is reported again. Two networks with the
// same route destination report it twice, sorted among the others.
TEST_F(HousekeepingTest, FirstPassAlwaysReportsAndAnIdenticalPassDoesNot) {
    log::ScopedCapture capture;
    auto config = base_config(/*dns=*/true);
    const auto n = file_network(config, "n.toml",
                                Doc{"10.1.0.0/16",
                                    "home",
                                    {{own(), "10.1.2.3", "me"}, {peer_, "10.1.0.9", "peer"}},
                                    {{"10.9.0.0/16", peer_}, {"10.3.0.0/16", peer_}}});
    file_network(config, "b.toml",
                 Doc{"10.2.0.0/24",
                     "b",
                     {{own(), "10.2.0.1", "me"}, {peer_, "10.2.0.2", "p"}},
                     {{"10.9.0.0/16", peer_}}});
    auto agent = start(std::move(config), make_device());
    ASSERT_NE(agent.inner()->dns(), nullptr);

    auto reported = changes();
    ASSERT_EQ(reported.size(), 1u);
    const NetworkChange first{
        std::vector{net("10.1.2.3/16"), net("10.2.0.1/24")},
        std::vector{net("10.3.0.0/16"), net("10.9.0.0/16"), net("10.9.0.0/16")},
        agent.inner()->dns()->server_ip()};
    EXPECT_EQ(reported[0], first);
    // A DNS component that serves reports the DNS address of one of the two networks: its
    // broadcast address minus one.
    if (first.dns_server) {
        EXPECT_TRUE(*first.dns_server == *Ipv4Addr::parse("10.1.255.254") ||
                    *first.dns_server == *Ipv4Addr::parse("10.2.0.254"))
            << first.dns_server->to_string();
    }
    EXPECT_TRUE(capture->contains(
        log::Level::Trace,
        "Network change detected, notifying listener: old=None new=" + first.debug()));
    EXPECT_TRUE(
        capture->contains(log::Level::Trace, "Collected 2 IPs: [10.1.2.3/16, 10.2.0.1/24]"));
    EXPECT_TRUE(
        capture->contains(log::Level::Trace, "Processing network " + n + ": ip=Some(10.1.2.3/16)"));
    // The tunnel device was made and the peer's rules reached the tries.
    EXPECT_NE(agent.inner()->netif()->load_tun_device(), nullptr);
    EXPECT_FALSE(agent.inner()->firewall()->load_tx_trie()->empty());
    // The retrieval's events are inside the span naming the network.
    bool in_span = false;
    for (const auto& e : capture->events()) {
        if (e.message.starts_with("Reading file: ")) {
            for (const auto& span : e.spans) {
                in_span =
                    in_span || (span.name == "fetch_network_config" && !span.fields.empty() &&
                                span.fields[0].name == "network" && span.fields[0].value == n);
            }
        }
    }
    EXPECT_TRUE(in_span);

    auto after = running(agent);
    const auto& network = network_at(after, n);
    EXPECT_EQ(network.desired_state.ip.applied, net("10.1.2.3/16"));
    EXPECT_EQ(network.current_state.ip, network.desired_state.ip);
    ASSERT_TRUE(network.desired_state.access_rules.applied.has_value());
    EXPECT_FALSE(network.desired_state.access_rules.applied->empty());
    // With DNS on, the host names of both linked nodes are wanted.
    ASSERT_TRUE(network.desired_state.hostnames.applied.has_value());
    EXPECT_EQ(network.desired_state.hostnames.applied->size(), 2u);
    // Without a controller section: LoggedOut, nothing fetched.
    ASSERT_TRUE(after.controller.has_value());
    EXPECT_EQ(after.controller->status, Status::logged_out());
    EXPECT_EQ(capture->count(log::Level::Trace, "Finished housekeeping"), 1u);
    EXPECT_TRUE(capture->contains(
        log::Level::Trace, "SNTP synchronization failed, unable to determine time deviation"));

    pass(agent);
    EXPECT_EQ(changes().size(), 1u);
    EXPECT_TRUE(capture->contains(
        log::Level::Trace, "Network change is identical to last one, skipping notification"));

    write_doc("n.toml", Doc{"10.1.0.0/16",
                            "home",
                            {{own(), "10.1.2.3", "me"}, {peer_, "10.1.0.9", "peer"}},
                            {{"10.9.0.0/16", peer_}}});
    pass(agent);
    reported = changes();
    ASSERT_EQ(reported.size(), 2u);
    EXPECT_EQ(reported[1].routes, (std::vector{net("10.9.0.0/16"), net("10.9.0.0/16")}));
    shutdown(agent);
}

// Even with nothing to report, the first pass reports: empty lists, no DNS server without DNS.
TEST_F(HousekeepingTest, EmptyAgentReportsEmptyListsOnce) {
    auto agent = start(base_config());
    pass(agent);
    auto reported = changes();
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_EQ(reported[0],
              (NetworkChange{std::vector<Ipv4Net>{}, std::vector<Ipv4Net>{}, std::nullopt}));
    shutdown(agent);
}

TEST_F(HousekeepingTest, ControllerOutcomesDecideWhichControllerNetworksStay) {
    TestController controller;
    const Doc a{"10.5.0.0/24",
                "a",
                {{own(), "10.5.0.1", "me"}, {peer_, "10.5.0.2", "p"}},
                {},
                "6f1c8a52-3d2b-4e4f-9a55-1b2c3d4e5f60"};
    const Doc b{"10.6.0.0/24",
                "b",
                {{own(), "10.6.0.1", "me"}, {peer_, "10.6.0.2", "p"}},
                {},
                "0a1b2c3d-4e5f-4071-8293-a4b5c6d7e8f9"};
    const std::string a_url = "controller://" + *a.id;
    const std::string b_url = "controller://" + *b.id;
    controller.answer(200, controller_list({a, b}));

    log::ScopedCapture capture;
    auto config = base_config();
    with_controller(config, controller);
    const auto manual =
        file_network(config, "m.toml", Doc{"10.1.0.0/16", "m", {{own(), "10.1.0.1", "me"}}, {}});
    auto agent = start(std::move(config));
    EXPECT_TRUE(capture->contains(log::Level::Trace, "Adding new controller network: " + a_url));
    auto state = running(agent);
    EXPECT_EQ(state.controller->status, Status::ok());
    ASSERT_EQ(state.network.size(), 3u);
    EXPECT_EQ(network_at(state, a_url).name, "a");
    EXPECT_EQ(network_at(state, a_url).health, Health::ok());
    EXPECT_EQ(network_at(state, b_url).current_state.ip.applied, net("10.6.0.1/24"));
    // New networks are written to the file; metrics went up with the shared secret.
    auto saved = AgentConfig::load(config_path());
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->network.size(), 3u);
    EXPECT_TRUE(eventually([&] { return controller.metrics_uploads() == 1; }));
    EXPECT_EQ(changes().back().ips,
              (std::vector{net("10.1.0.1/16"), net("10.5.0.1/24"), net("10.6.0.1/24")}));

    struct Case {
        int status;
        std::string body;
        std::string expected_status;  // the status text starts with this
        std::string log_line;
    };
    const Case kept[] = {
        {404, "nope", "Controller response error 404 Not Found: nope",
         "Controller error occurred, preserving existing networks"},
        {500, "nope", "Controller not reachable",
         "Controller connection error, preserving existing networks"},
        {400, "nope", "Controller not reachable",
         "Controller connection error, preserving existing networks"},
        {200, "not toml [", "Controller not reachable",
         "Controller connection error, preserving existing networks"},
        // A list entry without id fails the whole fetch: nothing of that answer is merged.
        {200, controller_list({Doc{"10.7.0.0/24", "x", {{own(), "10.7.0.1", "me"}}, {}}}),
         "Configuration parse error: Network config missing id",
         "Unexpected error fetching controller networks: Configuration parse error: Network "
         "config missing id"},
    };
    for (const auto& c : kept) {
        SCOPED_TRACE(c.status);
        capture.sink().clear();
        controller.answer(c.status, c.body);
        pass(agent);
        state = running(agent);
        EXPECT_EQ(state.controller->status.kind(), Status::Kind::Err);
        EXPECT_TRUE(state.controller->status.text().starts_with(c.expected_status))
            << state.controller->status.text();
        EXPECT_EQ(state.network.size(), 3u);
        EXPECT_EQ(network_at(state, a_url).health, Health::ok());
        EXPECT_TRUE(capture->contains(log::Level::Trace, c.log_line));
    }

    // Nobody listening: the connection error keeps the networks too.
    capture.sink().clear();
    with_state(agent, [&](auto, inner::State& s) -> asio::awaitable<void> {
        s.config.controller->url = closed_port_url();
        co_return;
    });
    pass(agent);
    state = running(agent);
    EXPECT_EQ(state.controller->status, Status::err("Controller not reachable"));
    EXPECT_EQ(state.network.size(), 3u);
    with_state(agent, [&](auto, inner::State& s) -> asio::awaitable<void> {
        s.config.controller->url = controller.url();
        co_return;
    });

    // A network the controller stops listing is reset, then removed in the same pass; a renamed
    // one takes the new name; both are saved.
    capture.sink().clear();
    Doc renamed = a;
    renamed.name = "a2";
    controller.answer(200, controller_list({renamed}));
    pass(agent);
    EXPECT_TRUE(
        capture->contains(log::Level::Trace, "Updating existing controller network: " + a_url));
    EXPECT_TRUE(capture->contains(log::Level::Trace,
                                  "Network name changed from 'Some(\"a\")' to 'Some(\"a2\")'"));
    EXPECT_TRUE(capture->contains(
        log::Level::Trace,
        "Resetting controller network to default state before removal: " + b_url));
    EXPECT_TRUE(capture->contains(log::Level::Trace,
                                  "Removing controller network that no longer exists: " + b_url));
    state = running(agent);
    EXPECT_FALSE(state.network.contains(url(b_url)));
    EXPECT_EQ(network_at(state, a_url).name, "a2");
    saved = AgentConfig::load(config_path());
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->network.size(), 2u);
    EXPECT_EQ(saved->network.at(url(a_url)).name, "a2");

    // 401 and 403 remove every controller network; the manual one stays.
    for (int status : {401, 403}) {
        SCOPED_TRACE(status);
        controller.answer(200, controller_list({a, b}));
        pass(agent);
        ASSERT_EQ(running(agent).network.size(), 3u);
        controller.answer(status, "denied");
        pass(agent);
        state = running(agent);
        EXPECT_EQ(state.controller->status.kind(), Status::Kind::Err);
        EXPECT_TRUE(state.controller->status.text().starts_with("Controller response error " +
                                                                std::to_string(status)));
        ASSERT_EQ(state.network.size(), 1u);
        EXPECT_TRUE(state.network.contains(url(manual)));
        saved = AgentConfig::load(config_path());
        ASSERT_TRUE(saved.has_value());
        EXPECT_EQ(saved->network.size(), 1u);
        EXPECT_EQ(changes().back().ips, std::vector{net("10.1.0.1/16")});
    }
    EXPECT_EQ(controller.list_requests(), 1 + 5 + 1 + 4);
    shutdown(agent);
}

// A controller network whose applied state the application cannot withdraw (without a DNS
// component nothing clears its host names) is kept with a warning and tried again next pass;
// meanwhile its last document does not bring its address, rules and routes back.
TEST_F(HousekeepingTest, UnlistedNetworkThatStaysAppliedIsKept) {
    TestController controller;
    const Doc a{"10.5.0.0/24",
                "a",
                {{own(), "10.5.0.1", "me"}},
                {},
                "6f1c8a52-3d2b-4e4f-9a55-1b2c3d4e5f60"};
    const std::string a_url = "controller://" + *a.id;
    controller.answer(200, controller_list({a}));
    log::ScopedCapture capture;
    auto config = base_config();
    with_controller(config, controller);
    auto agent = start(std::move(config));
    with_state(agent, [&](auto, inner::State& s) -> asio::awaitable<void> {
        s.config.network.at(url(a_url)).current_state.hostnames = {network::HostnameList{},
                                                                   std::nullopt};
        co_return;
    });
    controller.answer(200, controller_list({}));
    for (int i = 1; i <= 2; ++i) {
        pass(agent);
        const auto state = running(agent);
        ASSERT_TRUE(state.network.contains(url(a_url)));
        EXPECT_TRUE(state.network.at(url(a_url)).desired_state.is_empty());
        EXPECT_TRUE(state.network.at(url(a_url)).current_state.ip.is_empty());
        EXPECT_TRUE(state.network.at(url(a_url)).current_state.access_rules.is_empty());
        EXPECT_TRUE(changes().back().ips->empty());
        EXPECT_EQ(capture->count(log::Level::Warn, "Controller network " + a_url +
                                                       " not yet in default state, keeping it"),
                  static_cast<size_t>(i));
    }
    EXPECT_FALSE(capture->contains(log::Level::Trace,
                                   "Removing controller network that no longer exists: " + a_url));
    shutdown(agent);
}

// A shared secret but no controller reachable right after start: controller networks from the
// file keep an absent document, so their empty desired state counts as applied.
TEST_F(HousekeepingTest, UnreachableControllerAtStartLeavesFileNetworksEmptyButOk) {
    log::ScopedCapture capture;
    auto config = base_config();
    config.controller = ControllerConfig{};
    config.controller->url = closed_port_url();
    config.controller->shared_secret = "c2VjcmV0";
    const std::string c_url = "controller://6f1c8a52-3d2b-4e4f-9a55-1b2c3d4e5f60";
    add_network(config, c_url);
    auto agent = start(std::move(config));
    auto state = running(agent);
    EXPECT_EQ(state.controller->status, Status::err("Controller not reachable"));
    EXPECT_EQ(network_at(state, c_url).health, Health::ok());
    EXPECT_TRUE(network_at(state, c_url).desired_state.is_empty());
    EXPECT_TRUE(capture->contains(log::Level::Trace, "Network config is None"));
    shutdown(agent);
}

// Controller documents arrive unchecked: one with a node outside its subnet becomes
// InvalidConfigError and applies nothing. A node missing from a document is NotAMemberError,
// which clears once the node is listed again.
TEST_F(HousekeepingTest, InvalidControllerDocumentsAndMembershipSetHealth) {
    TestController controller;
    Doc doc{"10.5.0.0/24",
            "c",
            {{own(), "10.7.0.1", "me"}},
            {},
            "6f1c8a52-3d2b-4e4f-9a55-1b2c3d4e5f60"};
    const std::string c_url = "controller://" + *doc.id;
    controller.answer(200, controller_list({doc}));
    auto config = base_config();
    with_controller(config, controller);
    auto agent = start(std::move(config));
    auto state = running(agent);
    EXPECT_EQ(network_at(state, c_url).health,
              Health::invalid_config_error(
                  network::ConfigError(network::ConfigError::IpNotInNetwork{
                                           *Ipv4Addr::parse("10.7.0.1"), net("10.5.0.0/24")})
                      .to_string()));
    EXPECT_TRUE(network_at(state, c_url).current_state.is_empty());
    EXPECT_TRUE(changes().back().ips->empty());

    // Valid, but without the local node.
    doc.nodes = {{peer_, "10.5.0.2", "p"}};
    controller.answer(200, controller_list({doc}));
    pass(agent);
    EXPECT_EQ(network_at(running(agent), c_url).health, Health::not_a_member_error());

    // A member again: the error clears and the address is applied.
    doc.nodes = {{own(), "10.5.0.1", "me"}, {peer_, "10.5.0.2", "p"}};
    controller.answer(200, controller_list({doc}));
    pass(agent);
    state = running(agent);
    EXPECT_EQ(network_at(state, c_url).health, Health::ok());
    EXPECT_EQ(network_at(state, c_url).current_state.ip.applied, net("10.5.0.1/24"));
    EXPECT_EQ(changes().back().ips, std::vector{net("10.5.0.1/24")});
    shutdown(agent);
}

// The failure of one retrieval keeps the last good desired state applied; the next good
// retrieval clears the error.
TEST_F(HousekeepingTest, RetrievalErrorKeepsThePreviousDesiredState) {
    log::ScopedCapture capture;
    auto config = base_config();
    const Doc doc{"10.1.0.0/16",
                  "n",
                  {{own(), "10.1.2.3", "me"}, {peer_, "10.1.0.9", "p"}},
                  {{"10.9.0.0/16", peer_}}};
    const auto n = file_network(config, "n.toml", doc);
    auto agent = start(std::move(config));
    const auto before = network_at(running(agent), n);
    ASSERT_EQ(before.health, Health::ok());

    ASSERT_EQ(::unlink(dir_.file("n.toml").c_str()), 0);
    pass(agent);
    auto after = network_at(running(agent), n);
    EXPECT_EQ(after.health.kind(), Health::Kind::RetrieveConfigError);
    EXPECT_TRUE(capture->contains(log::Level::Warn,
                                  "Failed to retrieve network config: " + after.health.text()));
    EXPECT_EQ(after.desired_state, before.desired_state);
    EXPECT_FALSE(after.desired_state.hostnames.applied.has_value()) << "no DNS component";
    EXPECT_EQ(after.current_state, before.current_state);
    EXPECT_EQ(changes().size(), 1u) << "nothing the host sees changed";

    write_doc("n.toml", doc);
    pass(agent);
    EXPECT_TRUE(capture->contains(
        log::Level::Trace, "Resetting config error status after successful config retrieval"));
    EXPECT_EQ(network_at(running(agent), n).health, Health::ok());
    shutdown(agent);
}

// Disabling withdraws everything at once; enabling again starts over from Initializing, which the
// application then settles.
TEST_F(HousekeepingTest, DisabledThenEnabledNetworkGoesDisabledThenInitializing) {
    auto config = base_config();
    const auto n = file_network(
        config, "n.toml",
        Doc{"10.1.0.0/16", "n", {{own(), "10.1.2.3", "me"}, {peer_, "10.1.0.9", "p"}}, {}});
    auto agent = start(std::move(config));
    ASSERT_EQ(changes().back().ips, std::vector{net("10.1.2.3/16")});

    with_state(agent, [&](auto, inner::State& s) -> asio::awaitable<void> {
        s.config.network.at(url(n)).disabled = true;
        co_return;
    });
    pass(agent);
    auto state = running(agent);
    EXPECT_EQ(network_at(state, n).health, Health::disabled());
    EXPECT_TRUE(network_at(state, n).desired_state.is_empty());
    EXPECT_TRUE(network_at(state, n).current_state.is_empty());
    EXPECT_FALSE(network_at(state, n).config.has_value()) << "a disabled network keeps no document";
    EXPECT_TRUE(changes().back().ips->empty());

    // Step by step: retrieval and derivation make it Initializing, the application Ok.
    with_state(agent,
               [&](std::shared_ptr<AgentInner> self, inner::State& s) -> asio::awaitable<void> {
                   s.config.network.at(url(n)).disabled = false;
                   co_await AgentInner::sync_manual_networks(self, s);
                   self->process_network_configs(s);
                   EXPECT_EQ(s.config.network.at(url(n)).health, Health::initializing());
                   co_await AgentInner::apply_desired_state(self, s);
                   EXPECT_EQ(s.config.network.at(url(n)).health, Health::ok());
               });
    pass(agent);
    EXPECT_EQ(changes().back().ips, std::vector{net("10.1.2.3/16")});
    shutdown(agent);
}

// The file is written only when the network list or a name changed, and a save that failed is
// made again by the next pass, without the file on disk ever being lost.
TEST_F(HousekeepingTest, SavesOnlyChangesAndRetriesAFailedSave) {
    log::ScopedCapture capture;
    auto config = base_config();
    const auto n = file_network(config, "n.toml",
                                Doc{"10.1.0.0/16", "first", {{own(), "10.1.2.3", "me"}}, {}});
    ASSERT_TRUE(config.save(config_path()).has_value());
    auto agent = start(std::move(config));
    // The name came with the document: saved.
    auto saved = AgentConfig::load(config_path());
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->network.at(url(n)).name, "first");
    EXPECT_TRUE(capture->contains(log::Level::Trace,
                                  "Network name changed from 'None' to 'Some(\"first\")'"));

    // Nothing changed: the file is left alone.
    const std::string marked = quorvel::testing::read_file(config_path()) + "# untouched\n";
    quorvel::testing::write_file(config_path(), marked, 0600);
    pass(agent);
    EXPECT_EQ(quorvel::testing::read_file(config_path()), marked);

    // A renamed network whose save fails: the old file stays whole, and the next pass saves.
    write_doc("n.toml", Doc{"10.1.0.0/16", "second", {{own(), "10.1.2.3", "me"}}, {}});
    {
        quorvel::testing::FileSizeLimit limit(16);
        ASSERT_TRUE(limit.active());
        pass(agent);
    }
    EXPECT_TRUE(capture->contains_substring(log::Level::Warn,
                                            "Failed to save config after housekeeping: "));
    EXPECT_EQ(quorvel::testing::read_file(config_path()), marked);
    pass(agent);
    saved = AgentConfig::load(config_path());
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->network.at(url(n)).name, "second");
    // Saved once: the pass after it leaves the file alone again.
    const std::string remarked = quorvel::testing::read_file(config_path()) + "# again\n";
    quorvel::testing::write_file(config_path(), remarked, 0600);
    pass(agent);
    EXPECT_EQ(quorvel::testing::read_file(config_path()), remarked);
    shutdown(agent);
}

// A cancellation during a pass (here while the controller's answer is awaited) lets the pass
// finish, metrics included; the runner then ends.
TEST_F(HousekeepingTest, PassCancelledMidwayCompletesThenTheRunnerEnds) {
    TestController controller;
    controller.hold();
    log::ScopedCapture capture;
    auto config = base_config();
    with_controller(config, controller);
    file_network(config, "n.toml", Doc{"10.1.0.0/16", "n", {{own(), "10.1.2.3", "me"}}, {}});
    auto started = runtime_->block_on(
        Agent::start(std::move(config), config_path(), PlatformDependent{nullptr, nullptr}, 1h));
    ASSERT_TRUE(started.has_value() && started->has_value());
    Agent agent = std::move(started.value().value());
    ASSERT_TRUE(eventually([&] { return controller.list_requests() == 1; }));
    agent.inner()->cancellation_token().cancel();
    controller.release();

    ASSERT_TRUE(eventually(
        [&] { return capture->contains(log::Level::Trace, "Housekeeping runner finished"); }));
    EXPECT_EQ(agent.inner()->completed_passes(), 1u);
    EXPECT_EQ(controller.metrics_uploads(), 1);
    EXPECT_EQ(running(agent).network.size(), 1u);
    std::vector<std::string> order;
    for (const auto& e : capture->events()) {
        for (const char* line :
             {"Finished housekeeping", "SNTP synchronization not supported on this platform",
              "Housekeeping runner cancelled", "Housekeeping runner finished"}) {
            if (e.message == line) {
                order.push_back(line);
            }
        }
    }
    EXPECT_EQ(order,
              (std::vector<std::string>{
                  "Finished housekeeping", "SNTP synchronization not supported on this platform",
                  "Housekeeping runner cancelled", "Housekeeping runner finished"}));
    shutdown(agent);
}

// A pass that fails (here the host's listener throws) is logged, and the loop goes on with the
// next tick.
TEST_F(HousekeepingTest, FailedPassIsLoggedAndTheLoopGoesOn) {
    std::atomic<int> calls{0};
    PlatformDependent platform{nullptr, [&](NetworkChange) {
                                   if (++calls == 1) {
                                       throw std::runtime_error("listener failed");
                                   }
                               }};
    log::ScopedCapture capture;
    auto started =
        runtime_->block_on(Agent::start(base_config(), config_path(), std::move(platform), 1h));
    ASSERT_TRUE(started.has_value() && started->has_value());
    Agent agent = std::move(started.value().value());
    ASSERT_TRUE(eventually([&] {
        return capture->contains(log::Level::Error, "Error in housekeeping: listener failed");
    }));
    EXPECT_EQ(calls.load(), 1);
    // The report counts as made; the loop still runs passes.
    CancellationToken token;
    std::atomic<int> ticks{0};
    std::function<asio::awaitable<void>()> tick = [&]() -> asio::awaitable<void> {
        if (++ticks == 2) {
            token.cancel();
        }
        co_return;
    };
    ASSERT_TRUE(
        runtime_->block_on(AgentInner::housekeeping_loop(agent.inner(), token, tick)).has_value());
    EXPECT_TRUE(capture->contains(
        log::Level::Trace, "Network change is identical to last one, skipping notification"));
    EXPECT_EQ(calls.load(), 1);
    shutdown(agent);
}

// A clock the test moves by hand; timers on it look at it every millisecond.
struct ManualClock {
    using rep = int64_t;
    using period = std::nano;
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<ManualClock>;
    static constexpr bool is_steady = true;
    static std::atomic<int64_t> now_ns;
    static time_point now() { return time_point(duration(now_ns.load())); }
    static void advance(duration d) { now_ns += d.count(); }
};
std::atomic<int64_t> ManualClock::now_ns{0};

struct ManualWaitTraits {
    static typename ManualClock::duration to_wait_duration(const ManualClock::duration&) {
        return 1ms;
    }
    static typename ManualClock::duration to_wait_duration(const ManualClock::time_point&) {
        return 1ms;
    }
};

TEST(HousekeepingIntervalTest, FirstTickAtOnceThenMissedTicksBackToBack) {
    auto runtime = Runtime::create(1);
    std::atomic<int> ticks{0};
    CancellationToken stop;
    runtime->spawn([](std::atomic<int>* ticks, CancellationToken stop) -> asio::awaitable<void> {
        using namespace asio::experimental::awaitable_operators;
        BasicInterval<ManualClock, ManualWaitTraits> interval(co_await asio::this_coro::executor,
                                                              10s);
        while (!stop.is_cancelled()) {
            co_await (stop.cancelled() || interval.tick());
            if (!stop.is_cancelled()) {
                ++*ticks;
            }
        }
    }(&ticks, stop));
    ASSERT_TRUE(eventually([&] { return ticks.load() == 1; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(ticks.load(), 1);
    ManualClock::advance(9s);
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(ticks.load(), 1);
    ManualClock::advance(1s);
    EXPECT_TRUE(eventually([&] { return ticks.load() == 2; }));
    // Three periods and a half late: the ticks due at 20, 30 and 40 come at once, the one at 50
    // keeps its place (no shift to the late time).
    ManualClock::advance(35s);
    EXPECT_TRUE(eventually([&] { return ticks.load() == 5; }));
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(ticks.load(), 5);
    ManualClock::advance(5s);
    EXPECT_TRUE(eventually([&] { return ticks.load() == 6; }));
    stop.cancel();
}

// The loop looks at the token before every wait: a token cancelled while a tick is due runs no
// pass; otherwise each tick runs one pass.
TEST_F(HousekeepingTest, LoopRunsOnePassPerTickAndCancellationWins) {
    auto agent = start(base_config());
    const uint64_t before = agent.inner()->completed_passes();
    log::ScopedCapture capture;
    CancellationToken token;
    std::atomic<int> ticks{0};
    auto tick = [&]() -> asio::awaitable<void> {
        if (++ticks == 4) {
            token.cancel();
        }
        co_return;
    };
    auto done = runtime_->block_on(AgentInner::housekeeping_loop(agent.inner(), token, tick));
    ASSERT_TRUE(done.has_value());
    EXPECT_EQ(ticks.load(), 4);
    EXPECT_EQ(agent.inner()->completed_passes(), before + 3);
    EXPECT_TRUE(capture->contains(log::Level::Trace, "Housekeeping runner cancelled"));
    EXPECT_TRUE(capture->contains(log::Level::Trace, "Housekeeping runner finished"));

    // Cancelled before the first wait: no tick is awaited at all.
    ticks = 0;
    auto again = runtime_->block_on(AgentInner::housekeeping_loop(agent.inner(), token, tick));
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(ticks.load(), 0);
    EXPECT_EQ(agent.inner()->completed_passes(), before + 3);
    shutdown(agent);
}

// Runs `body` on a thread of its own. A body still running after a minute hangs: that ends the
// test process at once instead of at the suite's time limit.
template <class Body>
void without_hanging(Body body) {
    auto done = std::async(std::launch::async, std::move(body));
    if (done.wait_for(60s) != std::future_status::ready) {
        ADD_FAILURE() << "still running after a minute";
        std::abort();
    }
    done.get();
}

// Documents behind a FIFO that nobody writes, a folder, /dev/zero, a file past the cap, an HTTP
// URL with a password on a closed port, and URLs with a password typed without their scheme (the
// user name then reads as one): each of those networks fails alone with its reason while the
// good one is applied, the status report and shutdown return, and the passwords show in the
// configuration file and in the report that is asked for secrets, nowhere else.
TEST_F(HousekeepingTest, FaultyDocumentSourcesFailAloneAndLeakNoPassword) {
    ASSERT_EQ(::mkfifo(dir_.file("fifo").c_str(), 0600), 0);
    // A file URL whose path holds an "@" shows its path masked like the URL, in its failure too.
    const std::string at_folder = dir_.file("u:s3cr3tPW@h");
    ASSERT_EQ(::mkdir(at_folder.c_str(), 0700), 0);
    ASSERT_EQ(::mkfifo((at_folder + "/fifo").c_str(), 0600), 0);
    ASSERT_EQ(::mkdir(dir_.file("folder").c_str(), 0700), 0);
    std::ofstream(dir_.file("big.toml")).put('#');
    ASSERT_EQ(::truncate(dir_.file("big.toml").c_str(), (16 << 20) + 1), 0);
    auto config = base_config();
    const auto good = file_network(config, "good.toml",
                                   Doc{"10.1.0.0/16", "good", {{own(), "10.1.2.3", "me"}}, {}});
    const std::string host = "127.0.0.1:" + std::to_string(closed_port());
    const std::string secret_url = "http://user:password@" + host + "/net.toml";
    struct Case {
        std::string url;
        std::string health;  // the start of its text
    };
    std::vector<Case> failing = {
        {"file://" + dir_.file("fifo"), "I/O error: not a regular file: " + dir_.file("fifo")},
        {"file://" + at_folder + "/fifo", "I/O error: not a regular file: /****:****@h/fifo"},
        {"file://" + dir_.file("folder"), "I/O error: not a regular file: " + dir_.file("folder")},
        {"file:///dev/zero", "I/O error: not a regular file: /dev/zero"},
        {"file://" + dir_.file("big.toml"),
         "I/O error: file exceeds the limit of 16777216 bytes: " + dir_.file("big.toml")},
        {secret_url, "HTTP client error: error sending request for url (http://****:****@" + host +
                         "/net.toml): "},
    };
    std::vector<std::string> shown_masked;
    for (const auto& c : quorvel::testing::malformed_urls()) {
        if (c.error == nullptr) {
            if (const auto failure = quorvel::testing::retrieval_failure(c)) {
                failing.push_back({c.text, *failure});
            } else {
                add_network(config, c.text);
            }
            shown_masked.push_back("  " + quorvel::testing::masked_value(c) + ":\n");
        }
    }
    ASSERT_FALSE(shown_masked.empty());
    shown_masked.push_back("  file:///****:****@h/fifo:\n");
    for (const auto& c : failing) {
        add_network(config, c.url);
    }
    log::ScopedCapture capture;
    std::string report;
    std::string report_with_secrets;
    without_hanging([&] {
        auto agent = start(std::move(config), make_device());
        const auto state = running(agent);
        EXPECT_EQ(network_at(state, good).health, Health::ok());
        EXPECT_EQ(network_at(state, good).current_state.ip.applied, net("10.1.2.3/16"));
        for (const auto& c : failing) {
            const auto& health = network_at(state, c.url).health;
            EXPECT_EQ(health.kind(), Health::Kind::RetrieveConfigError) << c.url;
            EXPECT_TRUE(health.text().starts_with(c.health)) << health.text();
            EXPECT_TRUE(capture->contains(log::Level::Warn,
                                          "Failed to retrieve network config: " + health.text()));
        }
        report = runtime_->block_on(agent_status_text(agent)).value_or("");
        auto status = runtime_->block_on(agent::Status::from_agent(agent));
        ASSERT_TRUE(status.has_value());
        report_with_secrets = status->to_string_with_secrets(true);
        shutdown(agent);
    });
    EXPECT_NE(report.find("  http://****:****@" + host + "/net.toml:\n"), std::string::npos)
        << report;
    EXPECT_NE(report.find("error sending request for url (http://****:****@" + host),
              std::string::npos)
        << report;
    EXPECT_NE(report_with_secrets.find("  " + secret_url + ":\n"), std::string::npos);
    for (const auto& masked : shown_masked) {
        EXPECT_NE(report.find(masked), std::string::npos) << masked << report;
    }
    const auto leaks = [](std::string_view text) {
        return text.find("password") != std::string_view::npos ||
               quorvel::testing::names_password(text);
    };
    for (const auto& event : capture->events()) {
        EXPECT_FALSE(leaks(log::format_event(event))) << log::format_event(event);
    }
    EXPECT_FALSE(leaks(report)) << report;
    EXPECT_TRUE(quorvel::testing::names_password(report_with_secrets));
    std::ifstream saved(config_path());
    const std::string file{std::istreambuf_iterator<char>(saved), {}};
    EXPECT_NE(file.find("\"" + secret_url + "\""), std::string::npos) << file;
}

// A document file whose read does not return (a network file system that stopped answering)
// fails its network alone after the retrieval timeout: the other network is applied, the status
// report and shutdown return, and a later pass fails the network at once without starting another
// read, saying that the previous read has not returned.
TEST_F(HousekeepingTest, DocumentReadThatDoesNotReturnFailsItsNetworkAlone) {
    auto config = base_config();
    const auto good = file_network(config, "good.toml",
                                   Doc{"10.1.0.0/16", "good", {{own(), "10.1.2.3", "me"}}, {}});
    const auto stuck = file_network(config, "stuck.toml",
                                    Doc{"10.2.0.0/24", "stuck", {{own(), "10.2.0.1", "me"}}, {}});
    const std::string timed_out = "I/O error: timed out reading " + dir_.file("stuck.toml");
    const std::string not_returned =
        "I/O error: a previous read of " + dir_.file("stuck.toml") + " has not returned";
    testing::StuckReader reader(dir_.file("stuck.toml"));
    // Long enough for the good document's read to return on a loaded machine.
    ScopedDocumentFileReader scoped(reader.reader(2000ms));
    auto guarded = [&](auto step) { EXPECT_TRUE(reader.returns_within(30s, std::move(step))); };
    log::ScopedCapture capture;
    auto started = runtime_->block_on(Agent::start(std::move(config), config_path(),
                                                   PlatformDependent{make_device(), nullptr}, 1h));
    ASSERT_TRUE(started.has_value() && started->has_value());
    const Agent agent = std::move(started.value().value());

    // The first pass runs meanwhile; the report waits for it.
    guarded([&] { EXPECT_TRUE(runtime_->block_on(agent_status_text(agent)).has_value()); });
    EXPECT_TRUE(eventually([&] { return agent.inner()->completed_passes() >= 1; }));
    for (int pass_number = 1; pass_number <= 2; ++pass_number) {
        SCOPED_TRACE(pass_number);
        std::optional<AgentConfig> state;
        guarded([&] { state.emplace(running(agent)); });
        ASSERT_TRUE(state.has_value());
        EXPECT_EQ(network_at(*state, good).health, Health::ok());
        EXPECT_EQ(network_at(*state, good).current_state.ip.applied, net("10.1.2.3/16"));
        EXPECT_EQ(network_at(*state, stuck).health,
                  Health::retrieve_config_error(pass_number == 1 ? timed_out : not_returned));
        EXPECT_EQ(
            capture->count(log::Level::Warn, "Failed to retrieve network config: " + timed_out),
            1u);
        EXPECT_EQ(
            capture->count(log::Level::Warn, "Failed to retrieve network config: " + not_returned),
            static_cast<size_t>(pass_number - 1));
        // The stuck read's thread counts its call once it runs, which on a loaded machine may be
        // after the pass gave up waiting for it.
        EXPECT_TRUE(eventually([&] { return reader.calls() == 1; }));
        if (pass_number == 1) {
            guarded([&] { pass(agent); });
        }
    }
    std::string report;
    guarded([&] { report = runtime_->block_on(agent_status_text(agent)).value_or(""); });
    EXPECT_NE(report.find(not_returned.substr(std::string("I/O error: ").size())),
              std::string::npos)
        << report;
    guarded([&] { shutdown(agent); });
    EXPECT_EQ(reader.calls(), 1);
    reader.release();
    EXPECT_TRUE(reader.all_returned());
}

// Agents of one runtime started together on one file network share the read of its document:
// each reports its own address in its first network change, and no retrieval fails. Files are
// read as usual, or slowly enough that the agents' first passes come while the read runs.
TEST_F(HousekeepingTest, AgentsStartedTogetherOnOneFileNetworkAllGetTheirAddressFirst) {
    struct Case {
        int agents;
        std::chrono::milliseconds read_delay;
    };
    const Case cases[] = {{2, 300ms}, {8, 0ms}, {8, 300ms}};
    for (const auto& c : cases) {
        const std::string name =
            std::to_string(c.agents) + "-" + std::to_string(c.read_delay.count());
        SCOPED_TRACE(name);
        std::vector<p2p::Identity> identities;
        std::set<uint16_t> ports;
        Doc doc{"10.5.0.0/24", "shared", {}, {}};
        for (int i = 0; i < c.agents; ++i) {
            identities.push_back(identity_on_a_free_port(ports));
            doc.nodes.push_back(DocNode{identities.back().pk(), "10.5.0." + std::to_string(i + 1),
                                        "node" + std::to_string(i)});
        }
        write_doc("shared-" + name + ".toml", doc);
        const std::string network_url = "file://" + dir_.file("shared-" + name + ".toml");
        std::optional<ScopedDocumentFileReader> slow;
        if (c.read_delay > 0ms) {
            slow.emplace(DocumentFileReader{
                [delay = c.read_delay](const std::string& path, std::size_t max_bytes) {
                    std::this_thread::sleep_for(delay);
                    return read_regular_file(path, max_bytes);
                },
                kRetrievalTimeout});
        }
        log::ScopedCapture capture;

        struct Heard {
            std::mutex mutex;
            std::vector<NetworkChange> changes;
        };
        std::vector<std::shared_ptr<Heard>> heard;
        std::vector<int> host_fds(c.agents, -1);
        std::vector<std::future<Result<Result<Agent, Error>, RuntimeError>>> starting;
        for (int i = 0; i < c.agents; ++i) {
            AgentConfig config(identities[i]);
            config.dns = DnsConfig{true};
            add_network(config, network_url);
            auto listener = heard.emplace_back(std::make_shared<Heard>());
            PlatformDependent platform{tunnel_pair(runtime_->executor(), host_fds[i]),
                                       [listener](NetworkChange change) {
                                           std::lock_guard lock(listener->mutex);
                                           listener->changes.push_back(std::move(change));
                                       }};
            const std::string path = dir_.file("agent-" + name + "-" + std::to_string(i) + ".toml");
            starting.push_back(std::async(
                std::launch::async,
                [this, config = std::move(config), platform = std::move(platform), path]() mutable {
                    return runtime_->block_on(
                        Agent::start(std::move(config), path, std::move(platform), 1h));
                }));
        }
        std::vector<Agent> agents;
        for (auto& started : starting) {
            auto agent = started.get();
            ASSERT_TRUE(agent.has_value() && agent->has_value())
                << (agent.has_value() ? agent->error().to_string() : to_string(agent.error()));
            agents.push_back(std::move(agent->value()));
        }
        for (int i = 0; i < c.agents; ++i) {
            SCOPED_TRACE(i);
            EXPECT_TRUE(eventually([&] { return agents[i].inner()->completed_passes() >= 1; }));
            std::lock_guard lock(heard[i]->mutex);
            ASSERT_FALSE(heard[i]->changes.empty());
            EXPECT_EQ(heard[i]->changes.front().ips,
                      std::vector{net(("10.5.0." + std::to_string(i + 1) + "/24").c_str())});
        }
        for (const auto& event : capture->events()) {
            EXPECT_FALSE(event.message.starts_with("Failed to retrieve network config"))
                << event.message;
        }
        for (const auto& agent : agents) {
            shutdown(agent);
        }
        for (int fd : host_fds) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
}

}  // namespace
}  // namespace quorvel::agent
