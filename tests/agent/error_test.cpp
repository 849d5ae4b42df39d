#include "agent/error.h"

#include <cerrno>

#include <gtest/gtest.h>

namespace quorvel::agent {
namespace {

TEST(AgentErrorTest, VariantsKeepTheirOrderAndMessages) {
    struct Case {
        Error error;
        size_t index;
        const char* text;
    };
    const Case cases[] = {
        {Error::Http{"connection refused"}, 0, "HTTP client error: connection refused"},
        {Error::Utf8{"invalid utf-8 sequence of 1 bytes from index 3"}, 1,
         "UTF8 error: invalid utf-8 sequence of 1 bytes from index 3"},
        {Error::Io{IoError::from_errno(ENOENT)}, 2,
         "I/O error: No such file or directory (os error 2)"},
        {Error::Toml{TomlError("missing field `identity`")}, 3,
         "TOML error: missing field `identity`"},
        {Error::UrlParse{UrlError("relative URL without a base")}, 4,
         "URL parsing error: relative URL without a base"},
        {Error::Network{network::ConfigError(network::ConfigError::DuplicateRoute{})}, 5, nullptr},
        {Error::Identity{p2p::identity::Error(p2p::identity::Error::Kind::Cancelled)}, 6, nullptr},
        {Error::Node{p2p::node::Error::bind_parse_error("bad address")}, 7, nullptr},
        {Error::TomlSerialization{"bad"}, 8, "TOML serialization error: bad"},
        {Error::ConfigParse{"oops"}, 9, "Configuration parse error: oops"},
        {Error::NetworkAlreadyExists{"file:///a"}, 10, "Network already exists: file:///a"},
        {Error::NetworkNotFound{"file:///b"}, 11, "Network not found: file:///b"},
        {Error::ControllerManagedNetwork{"controller://x"}, 12,
         "Controller-managed networks cannot be added or removed manually: controller://x"},
        {Error::UnsupportedTunCreationPlatform{}, 13, "Unsupported TUN creation platform"},
        {Error::NotLoggedIn{}, 14, "Not logged in"},
        {Error::ControllerUnlinkFailed{404, "gone"}, 15,
         "Controller unlink failed (HTTP 404 Not Found): gone"},
    };
    ASSERT_EQ(std::size(cases), Error::kVariantCount);
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.index(), c.index);
        if (c.text != nullptr) {
            EXPECT_EQ(c.error.to_string(), c.text);
        }
        EXPECT_EQ(fmt::format("{}", c.error), c.error.to_string());
    }
    // Wrapped errors print their own text after the prefix, whatever it is.
    const Error network{
        Error::Network{network::ConfigError(network::ConfigError::DuplicateRoute{})}};
    EXPECT_EQ(network.to_string(),
              "Network error: " +
                  network::ConfigError(network::ConfigError::DuplicateRoute{}).to_string());
    const p2p::identity::Error cancelled(p2p::identity::Error::Kind::Cancelled);
    EXPECT_EQ(Error(Error::Identity{cancelled}).to_string(),
              "Identity error: " + cancelled.to_string());
}

TEST(AgentErrorTest, WrappedTextsAppearUnchanged) {
    const auto bind = p2p::node::Error::bind_error(IoError::from_errno(EADDRINUSE), 4000);
    EXPECT_EQ(Error(Error::Node{bind}).to_string(), "Node error: " + bind.to_string());
    EXPECT_EQ(Error(Error::Utf8{""}).to_string(), "UTF8 error: ");
    EXPECT_EQ(Error(Error::Http{""}).to_string(), "HTTP client error: ");
    EXPECT_EQ(Error(Error::ControllerUnlinkFailed{599, ""}).to_string(),
              "Controller unlink failed (HTTP 599 <unknown status code>): ");
    EXPECT_EQ(Error(Error::ControllerUnlinkFailed{500, "down"}).to_string(),
              "Controller unlink failed (HTTP 500 Internal Server Error): down");
    EXPECT_EQ(Error(Error::Io{IoError::invalid_utf8()}).to_string(),
              "I/O error: stream did not contain valid UTF-8");
}

TEST(AgentErrorTest, AccessAndSharing) {
    Error error{Error::NetworkNotFound{"x"}};
    EXPECT_TRUE(error.is<Error::NetworkNotFound>());
    EXPECT_FALSE(error.is<Error::NotLoggedIn>());
    ASSERT_NE(error.get_if<Error::NetworkNotFound>(), nullptr);
    EXPECT_EQ(error.get_if<Error::NetworkNotFound>()->network, "x");
    EXPECT_EQ(error.get_if<Error::Io>(), nullptr);

    SharedError shared = std::make_shared<const Error>(error);
    SharedError other = shared;
    EXPECT_EQ(other.get(), shared.get());
    EXPECT_EQ(*other, error);
}

}  // namespace
}  // namespace quorvel::agent
