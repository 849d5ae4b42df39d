// What the tests of the controller's protocol share: checking a request's HMAC header with the
// controller library's own functions, running an operation to its end, and a self-signed
// certificate for a loopback HTTPS controller.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "controller/base64url.h"
#include "controller/error.h"
#include "controller_api/node_hmac.h"
#include "p2p/crypto.h"
#include "util/runtime.h"
#include "util/temp_dir.h"

namespace quorvel::controller {
// Failure messages of the tests show the error's display text.
inline std::ostream& operator<<(std::ostream& os, const Error& e) {
    return os << e.to_string();
}
}  // namespace quorvel::controller

namespace quorvel::testing {

// A shared secret as the controller hands one out: 32 random bytes, unpadded URL-safe base64.
inline std::string make_shared_secret() {
    std::array<uint8_t, 32> key{};
    p2p::crypto::random_bytes(key);
    return controller::base64url_encode(key);
}

// True when `header` is "HMAC-Auth {ts}:sha256:32:hmac:{tag}" with a tag that the controller's
// own computation over `body` gives, and a time stamp within a minute of now.
inline ::testing::AssertionResult hmac_verifies(std::string_view header, std::string_view secret,
                                                std::string_view body) {
    constexpr std::string_view kScheme = "HMAC-Auth ";
    if (!header.starts_with(kScheme)) {
        return ::testing::AssertionFailure() << "no HMAC-Auth scheme: " << header;
    }
    header.remove_prefix(kScheme.size());
    auto colon = header.find(':');
    if (colon == std::string_view::npos) {
        return ::testing::AssertionFailure() << "no time stamp: " << header;
    }
    const int64_t ts = std::stoll(std::string(header.substr(0, colon)));
    const std::string_view tag = header.substr(colon + 1);
    const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    if (ts < now - 60 || ts > now + 60) {
        return ::testing::AssertionFailure() << "time stamp far from now: " << ts;
    }
    auto key = controller::base64url_decode(secret);
    auto message = controller_api::utils::node_hmac_message_bytes(
        ts, {reinterpret_cast<const uint8_t*>(body.data()), body.size()});
    if (!key || !message) {
        return ::testing::AssertionFailure() << "secret or message unusable";
    }
    const std::string expected =
        "sha256:32:hmac:" + controller::base64url_encode(p2p::crypto::hmac_sha256(*key, *message));
    if (tag != expected) {
        return ::testing::AssertionFailure() << "tag " << tag << " != " << expected;
    }
    return ::testing::AssertionSuccess();
}

template <class T>
T run(boost::asio::awaitable<T> task) {
    auto runtime = Runtime::create(2);
    auto result = runtime->block_on(std::move(task));
    EXPECT_TRUE(result.has_value());
    return std::move(result).value();
}

// A key and a self-signed certificate for 127.0.0.1, made with the openssl tool.
struct SelfSignedCertificate {
    TempDir dir;
    std::string cert_path = dir.file("cert.pem");
    std::string key_path = dir.file("key.pem");
    bool ok = false;

    SelfSignedCertificate() {
        std::string command =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
            "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout '" +
            key_path + "' -out '" + cert_path + "' >/dev/null 2>&1";
        ok = std::system(command.c_str()) == 0;
    }
    std::string pem() const {
        std::ifstream in(cert_path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

}  // namespace quorvel::testing
