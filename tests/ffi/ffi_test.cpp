// The C interface's own rules as seen from C++: the agent error codes, the network-change texts
// and their log line, the network list's bounds, and refusals on the runtime's threads.
#include "ffi/ffi_common.h"
#include "ffi/network_change.h"
#include "ffi/network_list.h"
#include "ffi/started_agent.h"

#include "util/debug_text.h"
#include "util/log.h"
#include "util/malformed_urls.h"
#include "util/runtime.h"
#include "util/temp_dir.h"
#include "version_info.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <thread>
#include <utility>
#include <vector>

namespace quorvel::ffi {
namespace {

Ipv4Net net(const char* text) {
    return *Ipv4Net::parse(text);
}

TEST(FfiErrorCodeTest, EveryVariantHasItsFixedCode) {
    const int32_t expected[] = {-101, -104, -105, -106, -108, -109, -110, -111,
                                -112, -113, -114, -115, -117, -116, -118, -119};
    ASSERT_EQ(std::size(expected), agent::Error::kVariantCount);
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(error_code_at(i), expected[i]) << "position " << i;
    }
    EXPECT_EQ(error_code(agent::Error(agent::Error::ControllerManagedNetwork{"n"})), -117);
    EXPECT_EQ(error_code(agent::Error(agent::Error::UnsupportedTunCreationPlatform{})), -116);
    EXPECT_EQ(error_code(agent::Error(agent::Error::Io{IoError::from_errno(2)})), -105);
    EXPECT_EQ(error_code(agent::Error(agent::Error::ControllerUnlinkFailed{500, "x"})), -119);
}

TEST(FfiCStringTest, NullUtf8AndLength) {
    EXPECT_EQ(read_c_string(nullptr).error(), CStringError::Null);
    EXPECT_EQ(read_c_string("a\xff").error(), CStringError::Utf8);
    EXPECT_EQ(read_c_string("\xc3").error(), CStringError::Utf8);          // cut sequence
    EXPECT_EQ(read_c_string("\xed\xa0\x80").error(), CStringError::Utf8);  // surrogate
    EXPECT_EQ(*read_c_string("ü/é"), "ü/é");
    std::string long_text(1 << 20, 'a');
    EXPECT_EQ(read_c_string(long_text.c_str())->size(), long_text.size());
    EXPECT_EQ(code_of(CStringError::Null), -2);
    EXPECT_EQ(code_of(CStringError::Utf8), -1);

    char* copy = malloc_c_string("text");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "text");
    std::free(copy);
    EXPECT_EQ(malloc_c_string(std::string_view("a\0b", 3)), nullptr);
}

TEST(FfiCStringTest, StatusTextIsHandedOverOrReplaced) {
    char* text = status_c_string("line one\nline two\n");
    EXPECT_STREQ(text, "line one\nline two\n");
    std::free(text);
    text = status_c_string(std::string_view("name: a\0b\n", 11));
    EXPECT_STREQ(text, "Status generation failed");
    std::free(text);
}

// While it lives, what the C interface allocates for the host fails from the `fail_from`-th
// allocation on (counting from 0); `calls()` counts the allocations asked for.
class FailingHostAllocator {
  public:
    explicit FailingHostAllocator(int fail_from) {
        calls_ = 0;
        fail_from_ = fail_from;
        replaced_ = replace_host_allocator_for_tests(&allocate);
    }
    ~FailingHostAllocator() { replace_host_allocator_for_tests(replaced_); }
    FailingHostAllocator(const FailingHostAllocator&) = delete;
    FailingHostAllocator& operator=(const FailingHostAllocator&) = delete;

    static int calls() { return calls_; }

  private:
    static void* allocate(std::size_t size) {
        return calls_++ >= fail_from_ ? nullptr : std::malloc(size);
    }
    static inline std::atomic<int> calls_{0};
    static inline std::atomic<int> fail_from_{0};
    HostAllocator replaced_ = nullptr;
};

TEST(FfiCStringTest, CopiesAreNullWhenMemoryRunsOut) {
    FailingHostAllocator failing(0);
    EXPECT_EQ(malloc_c_string("text"), nullptr);
    EXPECT_EQ(status_c_string("line one\n"), nullptr);
    EXPECT_EQ(status_c_string(std::string_view("a\0b", 3)), nullptr);
    EXPECT_EQ(FailingHostAllocator::calls(), 3);
}

void no_change(const NetworkChangeInfo* /*info*/) {}

// The status report's copy for the host fails: the host gets NULL, as the header promises, and
// the process goes on (it used to abort); the next report, with memory, arrives whole.
TEST(FfiStatusTest, ReportIsNullWhenMemoryForItsCopyRunsOut) {
    testing::TempDir dir;
    const std::string path = dir.file("agent.toml");
    testing::write_file(path, testing::config_file_text("http://a.example/net.toml"), 0600);
    testing::StartedAgent running(path, no_change);
    ASSERT_TRUE(running.started());
    {
        FailingHostAllocator failing(0);
        EXPECT_EQ(running.status(), "");
        EXPECT_EQ(FailingHostAllocator::calls(), 1);
    }
    EXPECT_NE(running.status().find("http://a.example/net.toml"), std::string::npos);
    EXPECT_EQ(running.stop(), QUORVEL_AGENT_OK);
}

// The network list's allocations fail one after another: each failing call returns -2, writes
// neither out-parameter and keeps nothing (the leak check would tell); with memory the list is
// whole. Three networks, one named: the array, three URLs and a name.
TEST(FfiNetworkListTest, ListingFailsWholeWhenMemoryRunsOut) {
    testing::TempDir dir;
    const std::string path = dir.file("agent.toml");
    testing::write_file(path,
                        testing::config_file_text("http://a/") +
                            "[[network]]\nconfig_url = \"http://b/\"\nname = \"office\"\n"
                            "[[network]]\nconfig_url = \"http://c/\"\n",
                        0600);
    constexpr int kAllocations = 5;
    for (int fail_from = 0; fail_from <= kAllocations; ++fail_from) {
        auto* list = reinterpret_cast<NetworkInfo*>(&dir);
        int32_t count = 77;
        int32_t code = 0;
        {
            FailingHostAllocator failing(fail_from);
            code = quorvel_agent_config_networks(path.c_str(), &list, &count);
            EXPECT_EQ(FailingHostAllocator::calls(), std::min(fail_from + 1, kAllocations));
        }
        if (fail_from < kAllocations) {
            EXPECT_EQ(code, QUORVEL_AGENT_ERR_FAILURE) << fail_from;
            EXPECT_EQ(list, reinterpret_cast<NetworkInfo*>(&dir)) << fail_from;
            EXPECT_EQ(count, 77) << fail_from;
            continue;
        }
        ASSERT_EQ(code, QUORVEL_AGENT_OK);
        ASSERT_EQ(count, 3);
        EXPECT_STREQ(quorvel_agent_network_url(list, 2), "http://c/");
        EXPECT_STREQ(quorvel_agent_network_name(list, 1), "office");
        quorvel_agent_config_networks_free(list, count);
    }
}

TEST(FfiNetworkChangeTest, Texts) {
    struct Case {
        agent::NetworkChange change;
        NetworkChangeTexts expected;
    };
    const Case cases[] = {
        {{std::nullopt, std::nullopt, std::nullopt}, {"", "", ""}},
        {{std::vector<Ipv4Net>{}, std::vector<Ipv4Net>{}, std::nullopt}, {"", "", ""}},
        {{std::vector{net("10.1.0.5/24")}, std::nullopt, *Ipv4Addr::parse("10.1.0.254")},
         {"10.1.0.5/24", "", "10.1.0.254"}},
        {{std::vector{net("10.1.0.5/24"), net("10.2.0.7/16")},
          std::vector{net("10.3.0.0/16"), net("192.168.1.0/24")}, std::nullopt},
         {"10.1.0.5/24,10.2.0.7/16", "10.3.0.0/16,192.168.1.0/24", ""}},
    };
    for (const auto& c : cases) {
        NetworkChangeTexts texts = network_change_texts(c.change);
        EXPECT_EQ(texts.ips, c.expected.ips);
        EXPECT_EQ(texts.routes, c.expected.routes);
        EXPECT_EQ(texts.dns_server, c.expected.dns_server);
    }
}

std::vector<std::string> g_seen;

void record_change(const NetworkChangeInfo* info) {
    g_seen.push_back(std::string(quorvel_agent_network_change_ips(info)) + "|" +
                     quorvel_agent_network_change_routes(info) + "|" +
                     quorvel_agent_network_change_dns_server(info));
}

TEST(FfiNetworkChangeTest, ListenerCallsTheHostAndLogsTheChange) {
    log::ScopedCapture capture;
    g_seen.clear();
    auto listener = network_change_listener(record_change);
    listener(agent::NetworkChange{std::vector{net("10.1.0.5/24")}, std::vector{net("10.9.0.0/16")},
                                  *Ipv4Addr::parse("10.1.0.254")});
    listener(agent::NetworkChange{});
    EXPECT_EQ(g_seen, (std::vector<std::string>{"10.1.0.5/24|10.9.0.0/16|10.1.0.254", "||"}));
    EXPECT_TRUE(
        capture->contains(log::Level::Trace,
                          "Calling network_change_callback with NetworkChange: ips='10.1.0.5/24', "
                          "routes='10.9.0.0/16'"));
    EXPECT_TRUE(
        capture->contains(log::Level::Trace,
                          "Calling network_change_callback with NetworkChange: ips='', routes=''"));

    EXPECT_EQ(quorvel_agent_network_change_ips(nullptr), nullptr);
    EXPECT_EQ(quorvel_agent_network_change_routes(nullptr), nullptr);
    EXPECT_EQ(quorvel_agent_network_change_dns_server(nullptr), nullptr);
}

TEST(FfiNetworkListTest, BoundsNamesAndSkippedEntries) {
    network::Network plain(*Url::parse("http://a/"));
    network::Network named(*Url::parse("http://b/"), true, std::string("office"));
    network::Network nul_name(*Url::parse("http://c/"), false, std::string("x\0y", 3));
    NetworkList list = *NetworkList::build({&plain, &named, &nul_name});
    ASSERT_EQ(list.size(), 3u);
    NetworkInfo* records = list.release();
    EXPECT_STREQ(quorvel_agent_network_url(records, 1), "http://b/");
    EXPECT_EQ(quorvel_agent_network_disabled(records, 1), 1);
    EXPECT_STREQ(quorvel_agent_network_name(records, 1), "office");
    EXPECT_EQ(quorvel_agent_network_name(records, 0), nullptr);
    EXPECT_EQ(quorvel_agent_network_name(records, 2), nullptr);  // a name with a NUL byte
    EXPECT_EQ(quorvel_agent_network_url(records, 3), nullptr);
    EXPECT_EQ(quorvel_agent_network_disabled(records, 3), -1);
    EXPECT_EQ(quorvel_agent_network_url(records, INT32_MAX), nullptr);
    EXPECT_EQ(quorvel_agent_network_url(records, -1), nullptr);
    // The host's view of the layout: three fields in this order.
    EXPECT_EQ(records[2].disabled, 0);
    EXPECT_STREQ(records[0].url, "http://a/");
    {
        log::ScopedCapture capture;
        quorvel_agent_config_networks_free(records, 3);
        EXPECT_EQ(capture->count(log::Level::Trace, "Dropping NetworkInfo url and freeing CString"),
                  3u);
        EXPECT_EQ(
            capture->count(log::Level::Trace, "Dropping NetworkInfo name and freeing CString"), 1u);
    }

    EXPECT_EQ(NetworkList::build({})->release(), nullptr);
}

TEST(FfiNetworkListTest, UnknownAddressesAreNeitherReadNorReleased) {
    network::Network a(*Url::parse("http://a/"));
    network::Network b(*Url::parse("http://b/"), true, std::string("office"));
    NetworkInfo* list = NetworkList::build({&a, &b})->release();
    ASSERT_NE(list, nullptr);
    NetworkInfo* released = NetworkList::build({&a})->release();
    quorvel_agent_config_networks_free(released, 1);
    // Arrays the host built, with nothing of theirs before the first record.
    NetworkInfo on_stack[1] = {{"http://stack/", 1, "stack"}};
    auto* on_heap = static_cast<NetworkInfo*>(std::malloc(sizeof(NetworkInfo)));
    *on_heap = NetworkInfo{"http://heap/", 1, nullptr};

    const NetworkInfo* unknown[] = {on_stack, on_heap, released, list + 1};
    for (const NetworkInfo* address : unknown) {
        EXPECT_EQ(quorvel_agent_network_url(address, 0), nullptr);
        EXPECT_EQ(quorvel_agent_network_disabled(address, 0), -1);
        EXPECT_EQ(quorvel_agent_network_name(address, 0), nullptr);
        quorvel_agent_config_networks_free(const_cast<NetworkInfo*>(address), 1);
    }
    // Nothing was released: the heap array is still the host's, the list still readable.
    EXPECT_STREQ(on_heap->url, "http://heap/");
    std::free(on_heap);
    EXPECT_STREQ(quorvel_agent_network_name(list, 1), "office");
    quorvel_agent_config_networks_free(list, 2);
    EXPECT_EQ(quorvel_agent_network_url(list, 1), nullptr);
}

TEST(FfiNetworkListTest, ListsUsedOnSeveralThreads) {
    network::Network a(*Url::parse("http://a/"));
    network::Network b(*Url::parse("http://b/"), true, std::nullopt);
    NetworkInfo* kept = NetworkList::build({&a, &b})->release();
    NetworkInfo* dropped = NetworkList::build({&b})->release();
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                NetworkInfo* own = NetworkList::build({&a})->release();
                wrong += quorvel_agent_network_disabled(own, 0) != 0;
                wrong += std::strcmp(quorvel_agent_network_url(kept, 1), "http://b/") != 0;
                quorvel_agent_config_networks_free(own, 1);
                // The list released on the main thread meanwhile reads as present or unknown.
                const int32_t disabled = quorvel_agent_network_disabled(dropped, 0);
                wrong += disabled != 1 && disabled != -1;
            }
        });
    }
    quorvel_agent_config_networks_free(dropped, 1);
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong.load(), 0);
    quorvel_agent_config_networks_free(kept, 2);
}

// Calls the blocking functions from a runtime worker, as a network-change callback would.
boost::asio::awaitable<void> call_blocking_functions(
    ::RuntimePtr* runtime, int fd, std::promise<std::tuple<int32_t, int32_t, int32_t>>* codes) {
    TunDevicePtr* device = nullptr;
    const int32_t create = quorvel_agent_tun_device_create(runtime, fd, &device);
    AgentPtr agent_record{};
    const int32_t shutdown = quorvel_agent_shutdown(runtime, &agent_record);
    AgentConfigPtr config_record{};
    AgentPtr* agent = nullptr;
    const int32_t start = quorvel_agent_start(runtime, &config_record, "x.toml", nullptr,
                                              record_change, nullptr, &agent);
    codes->set_value({create, shutdown, start});
    co_return;
}

boost::asio::awaitable<void> release_runtime(::RuntimePtr* runtime, std::shared_future<void> go,
                                             std::promise<void>* released) {
    // The spawning thread must have left the runtime's queue before the runtime can go.
    go.wait();
    quorvel_agent_runtime_free(runtime);
    released->set_value();
    co_return;
}

// The URLs of the networks the file lists; empty when listing fails.
std::vector<std::string> listed_urls(const std::string& path, int32_t expected_code) {
    NetworkInfo* list = nullptr;
    int32_t count = -1;
    EXPECT_EQ(quorvel_agent_config_networks(path.c_str(), &list, &count), expected_code);
    std::vector<std::string> urls;
    for (int32_t i = 0; list != nullptr && i < count; ++i) {
        urls.emplace_back(quorvel_agent_network_url(list, i));
        if (const char* name = quorvel_agent_network_name(list, i)) {
            urls.emplace_back(name);
        }
    }
    quorvel_agent_config_networks_free(list, count);
    return urls;
}

// A network URL typed wrong reaches the C interface twice: as the argument of an edit, which
// refuses it and leaves the file alone, and inside the file, which then fails to load. Neither
// a logged line nor a text handed to the host names the password. A URL typed without its scheme
// whose user name reads as one is taken as written; only the host's own network list gives it
// back whole.
TEST(FfiConfigTest, MalformedNetworkUrlsNameNoPassword) {
    using quorvel::testing::config_file_text;
    using quorvel::testing::names_password;
    using Edit = int32_t (*)(const char*, const char*) noexcept;
    const Edit edits[] = {quorvel_agent_config_network_add, quorvel_agent_config_network_remove,
                          quorvel_agent_config_network_enable,
                          quorvel_agent_config_network_disable};
    const std::string good = "http://good.example/net.toml";
    for (const auto& c : quorvel::testing::malformed_urls()) {
        quorvel::testing::TempDir dir;
        const std::string path = dir.file("agent.toml");
        log::ScopedCapture capture;

        const std::string valid = config_file_text(good);
        quorvel::testing::write_file(path, valid, 0600);
        if (c.error == nullptr) {
            // It parses: the edits take it as written, the host's own list gives it back whole,
            // and the log shows it masked only.
            const std::pair<Edit, int32_t> steps[] = {
                {quorvel_agent_config_network_add, QUORVEL_AGENT_OK},
                {quorvel_agent_config_network_add, QUORVEL_AGENT_ERR_NETWORK_EXISTS},
                {quorvel_agent_config_network_disable, QUORVEL_AGENT_OK},
                {quorvel_agent_config_network_enable, QUORVEL_AGENT_OK},
            };
            for (const auto& [edit, code] : steps) {
                EXPECT_EQ(edit(path.c_str(), c.text.c_str()), code) << c.what;
            }
            const auto listed = listed_urls(path, QUORVEL_AGENT_OK);
            EXPECT_EQ(listed.size(), 2u) << c.what;
            EXPECT_EQ(std::count_if(listed.begin(), listed.end(), names_password), 1) << c.what;
            AgentConfigPtr* handle = nullptr;
            EXPECT_EQ(quorvel_agent_config_load_or_generate(path.c_str(), &handle),
                      QUORVEL_AGENT_OK)
                << c.what;
            quorvel_agent_config_free(handle);
            EXPECT_EQ(quorvel_agent_config_network_remove(path.c_str(), c.text.c_str()),
                      QUORVEL_AGENT_OK)
                << c.what;
            EXPECT_EQ(listed_urls(path, QUORVEL_AGENT_OK), std::vector<std::string>{good})
                << c.what;
            for (const auto& event : capture->events()) {
                const std::string line = log::format_event(event);
                EXPECT_FALSE(names_password(line)) << c.what << ": " << line;
            }
            continue;
        }
        for (Edit edit : edits) {
            EXPECT_EQ(edit(path.c_str(), c.text.c_str()), QUORVEL_AGENT_ERR_URL_PARSE) << c.what;
        }
        EXPECT_EQ(quorvel::testing::read_file(path), valid) << c.what;
        EXPECT_EQ(listed_urls(path, QUORVEL_AGENT_OK), std::vector<std::string>{good}) << c.what;

        const std::string broken = config_file_text(c.text);
        quorvel::testing::write_file(path, broken, 0600);
        for (Edit edit : edits) {
            EXPECT_EQ(edit(path.c_str(), good.c_str()), QUORVEL_AGENT_ERR_FAILURE) << c.what;
        }
        EXPECT_TRUE(listed_urls(path, QUORVEL_AGENT_ERR_FAILURE).empty()) << c.what;
        AgentConfigPtr* handle = nullptr;
        EXPECT_EQ(quorvel_agent_config_load_or_generate(path.c_str(), &handle),
                  QUORVEL_AGENT_ERR_TOML)
            << c.what;
        EXPECT_EQ(handle, nullptr);
        EXPECT_TRUE(capture->contains(
            log::Level::Warn, "Error loading config: TOML error: " + std::string(c.error) + ": " +
                                  debug_quoted(c.masked) + " at line 5, column 14"))
            << c.what;
        EXPECT_EQ(quorvel::testing::read_file(path), broken) << c.what;

        const auto events = capture->events();
        EXPECT_FALSE(events.empty());
        for (const auto& event : events) {
            const std::string line = log::format_event(event);
            EXPECT_FALSE(names_password(line)) << c.what << ": " << line;
        }
    }

    // The agent's status report, through the C interface, shows those networks masked, each with
    // its failure; the log says the same, masked too.
    quorvel::testing::TempDir dir;
    const std::string path = dir.file("agent.toml");
    quorvel::testing::write_file(path, config_file_text(), 0600);
    std::vector<std::string> shown;
    for (const auto& c : quorvel::testing::malformed_urls()) {
        if (c.error == nullptr) {
            ASSERT_EQ(quorvel_agent_config_network_add(path.c_str(), c.text.c_str()),
                      QUORVEL_AGENT_OK)
                << c.what;
            shown.push_back("  " + quorvel::testing::masked_value(c) + ":\n");
            if (const auto failure = quorvel::testing::retrieval_failure(c)) {
                shown.push_back("Status: RetrieveConfigError(" + debug_quoted(*failure) + ")");
            }
        }
    }
    ASSERT_FALSE(shown.empty());
    log::ScopedCapture capture;
    quorvel::testing::StartedAgent agent(path, record_change);
    ASSERT_TRUE(agent.started());
    // The first housekeeping pass may still be to come when the start returns.
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    do {
        text = agent.status();
        ASSERT_FALSE(text.empty());
        if (text.find("Status: Initializing") == std::string::npos) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(agent.stop(), QUORVEL_AGENT_OK);
    for (const auto& line : shown) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    }
    EXPECT_FALSE(names_password(text)) << text;
    for (const auto& event : capture->events()) {
        const std::string line = log::format_event(event);
        EXPECT_FALSE(names_password(line)) << line;
    }
}

TEST(FfiRuntimeTest, BlockingFunctionsRefuseOnTheRuntimesThreads) {
    ::RuntimePtr* runtime = nullptr;
    ASSERT_EQ(quorvel_agent_runtime(&runtime), 0);
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair), 0);

    std::promise<std::tuple<int32_t, int32_t, int32_t>> codes;
    runtime->runtime->spawn(call_blocking_functions(runtime, pair[0], &codes));
    auto [create, shutdown, start] = codes.get_future().get();
    EXPECT_EQ(create, -2);
    EXPECT_EQ(shutdown, -2);
    EXPECT_EQ(start, -2);
    // The refused descriptor is still the caller's, blocking as before.
    EXPECT_EQ(::fcntl(pair[0], F_GETFL) & O_NONBLOCK, 0);
    ::close(pair[0]);
    ::close(pair[1]);
    EXPECT_EQ(quorvel_agent_status(runtime, nullptr), nullptr);

    // Releasing the runtime from one of its own threads hands the release to another thread.
    std::promise<void> go;
    std::promise<void> released;
    runtime->runtime->spawn(release_runtime(runtime, go.get_future().share(), &released));
    go.set_value();
    released.get_future().get();
}

TEST(FfiVersionTest, VersionAndCommit) {
    const char* version = quorvel_agent_version();
    EXPECT_EQ(version, quorvel_agent_version());
    VersionInfo info;
    EXPECT_EQ(std::string(version), info.version + " (" + info.full_commit() + ")");
}

}  // namespace
}  // namespace quorvel::ffi
