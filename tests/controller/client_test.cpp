#include "controller/client.h"

#include "controller/raw_http_server.h"
#include "controller/test_controller.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <future>
#include <thread>

namespace quorvel::controller {
namespace {

using namespace std::chrono_literals;
using controller_api::request::metrics::UpdateNodeMetricsRequest;
using testing::RawHttpServer;
using testing::RawRequest;
using testing::RawResponse;
using testing::run;

const p2p::PubKey kKey = p2p::crypto::derive_public_key(p2p::SecKey(p2p::SecKey::Bytes{7}));

ControllerClient make_client(std::string base, ControllerAuth auth,
                             std::optional<p2p::PubKey> pk = kKey,
                             std::optional<HttpClientOptions> options = std::nullopt) {
    auto client = options ? ControllerClient::create(std::move(base), std::move(auth), pk,
                                                     std::move(*options))
                          : ControllerClient::create(std::move(base), std::move(auth), pk);
    EXPECT_TRUE(client.has_value());
    return std::move(client).value();
}

RawResponse toml_answer(std::string body = "network = []\n") {
    return RawResponse{
        .status = 200, .headers = {{"Content-Type", "application/toml"}}, .body = std::move(body)};
}

TEST(ControllerClientTest, NetworkListRequestCarriesHeadersInOrderAndAVerifiableHmac) {
    const std::string secret = testing::make_shared_secret();
    RawHttpServer server([](const RawRequest&) { return toml_answer(); });
    auto client = make_client(server.url(), ControllerAuth::hmac(secret));
    auto list = run(client.get_networks_config_toml());
    ASSERT_TRUE(list.has_value()) << list.error();
    EXPECT_TRUE(list->network.empty());

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const RawRequest& request = requests[0];
    EXPECT_TRUE(request.raw.starts_with("GET /nodes/me/networks/config.toml HTTP/1.1\r\n"));
    EXPECT_EQ(request.value("Connection"), "close");
    EXPECT_EQ(request.value("quorvel-pk"), kKey.to_string());
    EXPECT_EQ(request.values("Accept"), std::vector<std::string>{"application/toml"});
    EXPECT_TRUE(request.values("Content-Type").empty());
    EXPECT_TRUE(request.body.empty());
    EXPECT_LT(request.position("Connection"), request.position("Authorization"));
    EXPECT_LT(request.position("Authorization"), request.position("quorvel-pk"));
    EXPECT_LT(request.position("quorvel-pk"), request.position("Accept"));
    const std::string authorization = request.value("Authorization");
    EXPECT_TRUE(testing::hmac_verifies(authorization, secret, ""));
    // "sha256:32:hmac:" and 43 base64url characters, no padding.
    const std::string tag = authorization.substr(authorization.find(':') + 1);
    EXPECT_EQ(tag.size(), 15u + 43u);
    EXPECT_EQ(tag.find('='), std::string::npos);
}

TEST(ControllerClientTest, MetricsUploadSendsOneContentTypeAndTheExactJsonBody) {
    const std::string secret = testing::make_shared_secret();
    RawHttpServer server([](const RawRequest&) { return RawResponse{.status = 204}; });
    auto client = make_client(server.url(), ControllerAuth::hmac(secret));
    UpdateNodeMetricsRequest record;
    record.os = "iOS";
    record.quorvel_agent_version = "1.0.0 (abc1234)";
    record.error_logs = "a\"b\\c\nd\te\x01/\xc3\xa9";
    auto uploaded = run(client.upload_metrics(record));
    ASSERT_TRUE(uploaded.has_value()) << uploaded.error();

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const RawRequest& request = requests[0];
    EXPECT_TRUE(request.raw.starts_with("PUT /nodes/me/metrics HTTP/1.1\r\n"));
    EXPECT_EQ(request.body,
              "{\"os\":\"iOS\",\"os_version\":null,\"os_arch\":null,\"rust_version\":null,"
              "\"ips\":null,\"quorvel_agent_version\":\"1.0.0 (abc1234)\","
              "\"quorvel_ui_version\":null,\"super_peers\":null,\"networks\":null,"
              "\"error_logs\":\"a\\\"b\\\\c\\nd\\te\\u0001/\xc3\xa9\"}");
    EXPECT_EQ(request.values("Content-Type"), std::vector<std::string>{"application/json"});
    EXPECT_LT(request.position("quorvel-pk"), request.position("Content-Type"));
    EXPECT_LT(request.position("Authorization"), request.position("quorvel-pk"));
    EXPECT_TRUE(testing::hmac_verifies(request.value("Authorization"), secret, request.body));
}

TEST(ControllerClientTest, BuildsUrlsAndHeadersForEachAuthorisation) {
    struct Case {
        const char* name;
        std::string base;
        ControllerAuth auth;
        std::optional<p2p::PubKey> pk;
        std::string body;
        std::optional<std::string> accept;
        std::string url;
        std::vector<std::string> header_names;
        std::optional<std::string> authorization;
    };
    const std::vector<Case> cases = {
        {"trailing slash doubles",
         "https://c.example/api/",
         ControllerAuth::none(),
         kKey,
         "",
         "application/toml",
         "https://c.example/api//nodes/me/metrics",
         {"Connection", "quorvel-pk", "Accept"},
         std::nullopt},
        {"no slash, one slash",
         "https://c.example/api",
         ControllerAuth::none(),
         std::nullopt,
         "",
         std::nullopt,
         "https://c.example/api/nodes/me/metrics",
         {"Connection", "Content-Type"},
         std::nullopt},
        {"bearer as given",
         "http://x",
         ControllerAuth::bearer("t0k en"),
         kKey,
         "{}",
         std::nullopt,
         "http://x/nodes/me/metrics",
         {"Connection", "Authorization", "quorvel-pk", "Content-Type"},
         "Bearer t0k en"},
        {"accept and body",
         "http://x",
         ControllerAuth::bearer("t"),
         std::nullopt,
         "{}",
         "text/x",
         "http://x/nodes/me/metrics",
         {"Connection", "Authorization", "Accept", "Content-Type"},
         "Bearer t"},
    };
    for (const auto& c : cases) {
        auto client = make_client(c.base, c.auth, c.pk);
        auto request = client.build_request("PUT", "/nodes/me/metrics", c.body, c.accept);
        ASSERT_TRUE(request.has_value()) << c.name;
        EXPECT_EQ(request->url, c.url) << c.name;
        std::vector<std::string> names;
        std::optional<std::string> authorization;
        for (const auto& [name, value] : request->headers) {
            names.push_back(name);
            if (name == "Authorization") {
                authorization = value;
            }
        }
        EXPECT_EQ(names, c.header_names) << c.name;
        EXPECT_EQ(authorization, c.authorization) << c.name;
        EXPECT_EQ(request->body.has_value(), !c.body.empty()) << c.name;
    }
}

TEST(ControllerClientTest, RefusesToAuthoriseWithASecretThatDoesNotDecode) {
    for (const char* secret : {"", "a", "abc=", "ab+/", "YWJj ", "YR"}) {
        SCOPED_TRACE(secret);
        auto header = build_hmac_auth_header(secret, {}, 1700000000);
        // An empty secret decodes to an empty key, which HMAC accepts.
        if (std::string_view(secret).empty()) {
            EXPECT_TRUE(header.has_value());
            continue;
        }
        ASSERT_FALSE(header.has_value());
        EXPECT_EQ(header.error().kind(), Error::Kind::RequestBuildFailed);
    }
    RawHttpServer server([](const RawRequest&) { return toml_answer(); });
    auto client = make_client(server.url(), ControllerAuth::hmac("not base64!"));
    auto list = run(client.get_networks_config_toml());
    ASSERT_FALSE(list.has_value());
    EXPECT_EQ(list.error().kind(), Error::Kind::RequestBuildFailed);
    auto uploaded = run(client.upload_metrics({}));
    ASSERT_FALSE(uploaded.has_value());
    EXPECT_EQ(uploaded.error().kind(), Error::Kind::RequestBuildFailed);
    EXPECT_EQ(server.connections(), 0u);
}

TEST(ControllerClientTest, PreconditionsFailBeforeAnyConnection) {
    RawHttpServer server([](const RawRequest&) { return toml_answer(); });
    auto keyless = make_client(server.url(), ControllerAuth::hmac("AAAA"), std::nullopt);
    auto list = run(keyless.get_networks_config_toml());
    ASSERT_FALSE(list.has_value());
    EXPECT_EQ(list.error().to_string(),
              "Failed to build HTTP request: get_networks_config_toml requires node public key to "
              "be set");
    for (auto auth : {ControllerAuth::none(), ControllerAuth::bearer("t")}) {
        auto client = make_client(server.url(), auth);
        auto uploaded = run(client.upload_metrics({}));
        ASSERT_FALSE(uploaded.has_value());
        EXPECT_EQ(uploaded.error().to_string(),
                  "Failed to build HTTP request: upload_metrics requires HMAC authentication");
    }
    EXPECT_EQ(server.connections(), 0u);
}

TEST(ControllerClientTest, JudgesStatusCodes) {
    struct Case {
        int status;
        std::string body;
        bool success;
        std::string display;
    };
    const std::vector<Case> cases = {
        {200, "ok", true, ""},
        {204, "", true, ""},
        {299, "x", true, ""},
        {300, "many", false, "Controller response error 300 Multiple Choices: many"},
        {304, "", false, "Controller response error 304 Not Modified: "},
        {401, "no", false, "Controller response error 401 Unauthorized: no"},
        {403, "", false, "Controller response error 403 Forbidden: "},
        {404, "<html>\n<b>gone</b>\n</html>", false,
         "Controller response error 404 Not Found: <html>\n<b>gone</b>\n</html>"},
        {500, "body", false, "Controller response error 500 Internal Server Error: body"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        RawHttpServer server(
            [&](const RawRequest&) { return RawResponse{.status = c.status, .body = c.body}; });
        auto client =
            make_client(server.url(), ControllerAuth::hmac(testing::make_shared_secret()));
        auto uploaded = run(client.upload_metrics({}));
        EXPECT_EQ(uploaded.has_value(), c.success);
        if (!c.success) {
            ASSERT_FALSE(uploaded.has_value());
            EXPECT_EQ(uploaded.error().kind(), Error::Kind::ResponseError);
            EXPECT_EQ(uploaded.error().status(), c.status);
            EXPECT_EQ(uploaded.error().body(), c.body);
            EXPECT_EQ(uploaded.error().to_string(), c.display);
        }
        auto raw = run(client.request_raw("GET", "/", std::nullopt, std::nullopt));
        ASSERT_TRUE(raw.has_value());
        EXPECT_EQ(raw->status, c.status);
        EXPECT_EQ(raw->body, c.body);
    }
}

TEST(ControllerClientTest, FollowsFiveRedirectsAndFailsOnTheSixth) {
    RawHttpServer server([](const RawRequest& request) {
        // "/hop/N/nodes/..." redirects to "/hop/N-1/nodes/..." until N is 0.
        const int left = std::stoi(request.target.substr(5));
        if (left == 0) {
            return toml_answer();
        }
        const std::string rest = request.target.substr(request.target.find('/', 5));
        return RawResponse{.status = 302,
                           .headers = {{"Location", "/hop/" + std::to_string(left - 1) + rest}}};
    });
    auto secret = testing::make_shared_secret();
    auto five = run(
        make_client(server.url("/hop/5"), ControllerAuth::hmac(secret)).get_networks_config_toml());
    EXPECT_TRUE(five.has_value());
    auto six = run(
        make_client(server.url("/hop/6"), ControllerAuth::hmac(secret)).get_networks_config_toml());
    ASSERT_FALSE(six.has_value());
    EXPECT_EQ(six.error().kind(), Error::Kind::RequestFailed);
    EXPECT_TRUE(six.error().to_string().starts_with("HTTP request failed: HTTP request failed: "))
        << six.error();
}

TEST(ControllerClientTest, ReportsUnreadableAndUnparsableAnswers) {
    struct Case {
        const char* name;
        RawResponse response;
        Error::Kind kind;
        std::string display_prefix;
        // Short only where the time limit is what ends the exchange: building and refusing a
        // large body can take longer than that on a loaded machine or under a sanitizer. A
        // dripped answer's head must still arrive within it; its body, a byte a second, never
        // does.
        std::chrono::milliseconds timeout = 5000ms;
    };
    const std::vector<Case> cases = {
        {"not TOML", toml_answer("network = ["), Error::Kind::ResponseBodyJsonFailed,
         "Failed to parse response body as JSON: Failed to parse TOML response: "},
        {"no network key", toml_answer("other = 1\n"), Error::Kind::ResponseBodyJsonFailed,
         "Failed to parse response body as JSON: Failed to parse TOML response: missing field "
         "`network`"},
        {"17 MiB", RawResponse{.body = std::string(17 << 20, 'x'), .chunked = true},
         Error::Kind::ResponseBodyReadFailed,
         "Failed to read response body: Failed to read response body: "},
        {"17 MiB announced", RawResponse{.body = std::string(17 << 20, 'x')},
         Error::Kind::ResponseBodyReadFailed,
         "Failed to read response body: Failed to read response body: "},
        {"stalled", RawResponse{.stall = true}, Error::Kind::RequestFailed,
         "HTTP request failed: HTTP request failed: ", 400ms},
        {"dripped", RawResponse{.body = "network = []\n", .drip = 1000ms},
         Error::Kind::ResponseBodyReadFailed,
         "Failed to read response body: Failed to read response body: ", 2000ms},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RawHttpServer server([&](const RawRequest&) { return c.response; });
        HttpClientOptions options = controller_http_options();
        options.timeout = c.timeout;
        auto client = make_client(server.url(), ControllerAuth::hmac(testing::make_shared_secret()),
                                  kKey, options);
        auto list = run(client.get_networks_config_toml());
        ASSERT_FALSE(list.has_value());
        EXPECT_EQ(list.error().kind(), c.kind) << list.error();
        EXPECT_TRUE(list.error().to_string().starts_with(c.display_prefix)) << list.error();
    }
}

// The real settings: a stalled controller and one that drips a byte a second both end at the
// 5-second limit, before the head or while reading the body.
TEST(ControllerClientTest, FiveSecondsBoundTheWholeExchange) {
    RawHttpServer stalled([](const RawRequest&) { return RawResponse{.stall = true}; });
    RawHttpServer dripping([](const RawRequest&) {
        return RawResponse{.body = std::string(60, ' '), .drip = 1000ms};
    });
    auto secret = testing::make_shared_secret();
    auto runtime = Runtime::create(2);
    auto measure = [&](const RawHttpServer& server) {
        return std::async(std::launch::async, [&, url = server.url()] {
            auto client = make_client(url, ControllerAuth::hmac(secret));
            const auto start = std::chrono::steady_clock::now();
            auto result = runtime->block_on(client.get_networks_config_toml());
            const auto took = std::chrono::steady_clock::now() - start;
            EXPECT_TRUE(result.has_value());
            return std::make_pair(result->has_value() ? std::optional<Error>()
                                                      : std::optional<Error>(result->error()),
                                  took);
        });
    };
    auto stall = measure(stalled);
    auto drip = measure(dripping);
    for (auto [error, took] : {stall.get(), drip.get()}) {
        ASSERT_TRUE(error.has_value());
        EXPECT_GE(took, 4900ms);
        EXPECT_LT(took, 8000ms);
    }
}

TEST(ControllerClientTest, SpeaksHttpsToAControllerWithATrustedCertificate) {
    testing::SelfSignedCertificate certificate;
    ASSERT_TRUE(certificate.ok);
    const std::string secret = testing::make_shared_secret();
    httplib::SSLServer server(certificate.cert_path.c_str(), certificate.key_path.c_str());
    ASSERT_TRUE(server.is_valid());
    std::mutex mutex;
    std::vector<std::string> verdicts;
    server.Put("/api/nodes/me/metrics", [&](const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(mutex);
        auto verdict =
            testing::hmac_verifies(req.get_header_value("Authorization"), secret, req.body);
        verdicts.push_back(verdict ? "ok" : verdict.message());
        res.status = verdict ? 204 : 401;
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread thread([&] { server.listen_after_bind(); });
    const std::string base = "https://127.0.0.1:" + std::to_string(port) + "/api";

    HttpClientOptions trusted = controller_http_options();
    trusted.root_certificates_pem = certificate.pem();
    auto uploaded =
        run(make_client(base, ControllerAuth::hmac(secret), kKey, trusted).upload_metrics({}));
    EXPECT_TRUE(uploaded.has_value()) << uploaded.error();

    // Not signed by any root the client trusts: the handshake fails.
    auto refused = run(make_client(base, ControllerAuth::hmac(secret)).upload_metrics({}));
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error().kind(), Error::Kind::RequestFailed);

    server.stop();
    thread.join();
    std::lock_guard lock(mutex);
    EXPECT_EQ(verdicts, std::vector<std::string>{"ok"});
}

TEST(ControllerClientTest, DecodesTheBodyByItsDeclaredCharset) {
    RawHttpServer server([](const RawRequest&) {
        return RawResponse{.status = 500,
                           .headers = {{"Content-Type", "text/plain; charset=ISO-8859-1"}},
                           .body = "caf\xe9"};
    });
    auto client = make_client(server.url(), ControllerAuth::none());
    auto raw = run(client.request_raw("GET", "/", std::nullopt, std::nullopt));
    ASSERT_TRUE(raw.has_value());
    EXPECT_EQ(raw->body, "caf\xc3\xa9");
}

}  // namespace
}  // namespace quorvel::controller
