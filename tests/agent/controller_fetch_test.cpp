#include "agent/controller_fetch.h"

#include "agent/agent_test_util.h"
#include "controller/client.h"
#include "controller/raw_http_server.h"
#include "controller/test_controller.h"
#include "util/log.h"

#include <gtest/gtest.h>

namespace quorvel::agent {
namespace {

using quorvel::testing::RawHttpServer;
using quorvel::testing::RawRequest;
using quorvel::testing::RawResponse;
using quorvel::testing::run;

constexpr const char* kId1 = "67e55044-10b1-426f-9247-bb680e5fe0c8";
constexpr const char* kId2 = "0b7c1e5e-3f7a-4d7e-9c1a-2f3e4d5c6b7a";

std::string entry(const char* id, const char* subnet, const char* name = nullptr) {
    std::string text = "[[network]]\n";
    if (id != nullptr) {
        text += std::string("id = \"") + id + "\"\n";
    }
    text += std::string("network = \"") + subnet + "\"\n";
    if (name != nullptr) {
        text += std::string("name = \"") + name + "\"\n";
    }
    return text;
}

Result<ControllerFetchResult, Error> fetch_from(const std::string& url, const std::string& secret,
                                                const p2p::PubKey& pk) {
    return run(fetch_controller_networks(pk, url, secret, controller::controller_http_options()));
}

TEST(ControllerFetchTest, MapsTheListedNetworksByControllerUrl) {
    const std::string secret = quorvel::testing::make_shared_secret();
    const std::string node = p2p::crypto::derive_public_key(p2p::SecKey::random()).to_string();
    // The later of two entries with one id wins; an entry whose node lies outside its subnet is
    // passed on unchecked.
    const std::string body = entry(kId1, "10.0.0.0/24", "first") + entry(kId2, "10.1.0.0/24") +
                             "[[network.node]]\npk = \"" + node +
                             "\"\nip = \"192.168.9.9\"\nhostname = \"outside\"\n" +
                             entry(kId1, "10.2.0.0/24", "again");
    RawHttpServer server([&](const RawRequest&) { return RawResponse{.body = body}; });
    const auto identity = testing::test_identity();
    log::ScopedCapture capture;
    auto result = fetch_from(server.url("/api"), secret, identity.pk());
    ASSERT_TRUE(result.has_value()) << result.error().to_string();
    const auto* networks = result->get_if<ControllerFetchResult::Networks>();
    ASSERT_NE(networks, nullptr);
    ASSERT_EQ(networks->networks.size(), 2u);
    const auto& first = networks->networks.at(testing::url(std::string("controller://") + kId1));
    EXPECT_EQ(first.name, "again");
    EXPECT_EQ(first.network, testing::net("10.2.0.0/24"));
    const auto& second = networks->networks.at(testing::url(std::string("controller://") + kId2));
    EXPECT_EQ(second.nodes.size(), 1u);

    EXPECT_TRUE(
        capture->contains(log::Level::Trace, "get_networks_config_toml response: 3 networks"));
    EXPECT_TRUE(
        capture->contains(log::Level::Trace, "Successfully processed 2 controller networks"));
    EXPECT_TRUE(capture->contains(log::Level::Trace,
                                  "Finished fetching controller networks: 2 networks found"));
    EXPECT_TRUE(capture->contains(
        log::Level::Trace,
        std::string("Network: Some(\"first\") (subnet: 10.0.0.0/24) -> controller://") + kId1));
    EXPECT_TRUE(capture->contains(
        log::Level::Trace,
        std::string("Network: None (subnet: 10.1.0.0/24) -> controller://") + kId2));

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, "/api/nodes/me/networks/config.toml");
    EXPECT_EQ(requests[0].value("quorvel-pk"), identity.pk().to_string());
    EXPECT_TRUE(quorvel::testing::hmac_verifies(requests[0].value("Authorization"), secret, ""));
}

TEST(ControllerFetchTest, AnEmptyListGivesAnEmptyMap) {
    RawHttpServer server([](const RawRequest&) { return RawResponse{.body = "network = []"}; });
    log::ScopedCapture capture;
    auto result = fetch_from(server.url(), quorvel::testing::make_shared_secret(),
                             testing::test_identity().pk());
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, ControllerFetchResult(ControllerFetchResult::Networks{}));
    EXPECT_TRUE(
        capture->contains(log::Level::Trace, "Successfully processed 0 controller networks"));
    EXPECT_TRUE(capture->contains(log::Level::Trace,
                                  "Finished fetching controller networks: 0 networks found"));
}

TEST(ControllerFetchTest, AnEntryWithoutIdFailsTheWholeFetch) {
    const std::string body = entry(kId1, "10.0.0.0/24") + entry(nullptr, "10.1.0.0/24");
    RawHttpServer server([&](const RawRequest&) { return RawResponse{.body = body}; });
    log::ScopedCapture capture;
    auto result = fetch_from(server.url(), quorvel::testing::make_shared_secret(),
                             testing::test_identity().pk());
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), Error(Error::ConfigParse{"Network config missing id"}));
    EXPECT_TRUE(capture->contains(log::Level::Trace, "Network config missing id"));
}

TEST(ControllerFetchTest, ClassifiesEveryFailedExchange) {
    struct Case {
        const char* name;
        RawResponse response;
        std::string secret;
        std::optional<std::string> url;  // instead of the server's
        ControllerFetchResult expected;
        size_t connections;
    };
    const std::string secret = quorvel::testing::make_shared_secret();
    using R = ControllerFetchResult;
    const std::vector<Case> cases = {
        {"401", RawResponse{.status = 401, .body = "who?"}, secret, std::nullopt,
         R::AuthError{"Controller response error 401 Unauthorized: who?"}, 1},
        {"403", RawResponse{.status = 403}, secret, std::nullopt,
         R::AuthError{"Controller response error 403 Forbidden: "}, 1},
        {"404", RawResponse{.status = 404, .body = "<html/>"}, secret, std::nullopt,
         R::NotFound{"Controller response error 404 Not Found: <html/>"}, 1},
        {"400", RawResponse{.status = 400}, secret, std::nullopt, R::ConnectionError{}, 1},
        {"500", RawResponse{.status = 500}, secret, std::nullopt, R::ConnectionError{}, 1},
        {"not TOML", RawResponse{.body = "network = ["}, secret, std::nullopt, R::ConnectionError{},
         1},
        {"no network key", RawResponse{.body = "x = 1"}, secret, std::nullopt, R::ConnectionError{},
         1},
        {"404 with an unreadable body",
         RawResponse{.status = 404, .body = std::string(17 << 20, 'x'), .chunked = true}, secret,
         std::nullopt, R::ConnectionError{}, 1},
        {"not a URL", RawResponse{}, secret, "not a url", R::ConnectionError{}, 0},
        // A secret that cannot key the HMAC is the node's own fault, not the controller's
        // verdict: nothing is sent and the networks stay.
        {"secret that does not decode", RawResponse{}, "a=", std::nullopt, R::ConnectionError{}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RawHttpServer server([&](const RawRequest&) { return c.response; });
        auto result =
            fetch_from(c.url.value_or(server.url()), c.secret, testing::test_identity().pk());
        ASSERT_TRUE(result.has_value()) << result.error().to_string();
        EXPECT_EQ(*result, c.expected);
        EXPECT_EQ(server.connections(), c.connections);
    }
}

TEST(ControllerFetchTest, HandlesEachControllerErrorWithItsLogLine) {
    using controller::Error;
    using R = ControllerFetchResult;
    struct Case {
        Error error;
        R expected;
        std::string log;
    };
    const std::vector<Case> cases = {
        {Error::authentication_failed("revoked"), R::AuthError{"Authentication failed: revoked"},
         "Controller returned auth error (AuthenticationFailed { reason: \"revoked\" }), removing "
         "controller networks"},
        {Error::response_error(403, "say \"no\""),
         R::AuthError{"Controller response error 403 Forbidden: say \"no\""},
         "Controller returned auth error (ResponseError { status: 403, body: \"say \\\"no\\\"\" "
         "}), removing controller networks"},
        {Error::response_error(404, ""), R::NotFound{"Controller response error 404 Not Found: "},
         "Controller returned Not Found (404), preserving controller networks"},
        {Error::response_error(502, "gw"), R::ConnectionError{},
         "Controller error occurred: Controller response error 502 Bad Gateway: gw, preserving "
         "existing networks"},
        {Error::request_failed("HTTP request failed: refused"), R::ConnectionError{},
         "Controller error occurred: HTTP request failed: HTTP request failed: refused, "
         "preserving existing networks"},
        {Error::uri_parse_failed("u"), R::ConnectionError{},
         "Controller error occurred: Failed to parse URI: u, preserving existing networks"},
    };
    for (const auto& c : cases) {
        log::ScopedCapture capture;
        EXPECT_EQ(handle_controller_error(c.error), c.expected) << c.log;
        EXPECT_TRUE(capture->contains(log::Level::Trace, c.log)) << c.log;
    }
}

}  // namespace
}  // namespace quorvel::agent
