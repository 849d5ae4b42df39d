#include "network/config/network_config.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "util/uuid.h"

namespace quorvel::network {
namespace {

p2p::PubKey key(uint8_t fill) {
    p2p::PubKey::Bytes bytes;
    bytes.fill(fill);
    return p2p::PubKey(bytes);
}

std::string key_text(uint8_t fill) {
    return key(fill).to_string();
}

std::string node_toml(uint8_t fill, std::string_view ip, std::string_view hostname,
                      std::string_view extra = "") {
    return fmt::format("[[node]]\npk = \"{}\"\nip = \"{}\"\nhostname = \"{}\"\n{}\n",
                       key_text(fill), ip, hostname, extra);
}

std::string route_toml(std::string_view dest, uint8_t gw, std::string_view extra = "") {
    return fmt::format("[[route]]\ndest = \"{}\"\ngw = \"{}\"\n{}\n", dest, key_text(gw), extra);
}

std::string doc(std::string_view network, const std::string& body = "") {
    return fmt::format("network = \"{}\"\n{}", network, body);
}

// The message of a reading error inside a TomlDeserialization error, or "" when the document
// read and validated, or the whole display text of any other error.
std::string outcome(std::string_view text) {
    auto config = NetworkConfig::try_from(text);
    if (config) {
        return "";
    }
    if (const auto* toml = config.error().get_if<ConfigError::TomlDeserialization>()) {
        return "toml: " + toml->error.message();
    }
    return config.error().to_string();
}

TEST(NetworkConfigTest, EmptyTextMissesTheNetwork) {
    auto config = NetworkConfig::try_from("");
    ASSERT_FALSE(config);
    const auto* toml = config.error().get_if<ConfigError::TomlDeserialization>();
    ASSERT_NE(toml, nullptr);
    EXPECT_EQ(toml->error.message(), "missing field `network`");
    EXPECT_EQ(config.error().to_string().rfind("TOML deserialization error: missing field "
                                               "`network`",
                                               0),
              0u)
        << config.error().to_string();
}

TEST(NetworkConfigTest, NetworkAloneIsAValidDocument) {
    auto config = NetworkConfig::try_from("network = \"10.0.0.0/24\"");
    ASSERT_TRUE(config) << config.error().to_string();
    EXPECT_EQ(config->network.to_string(), "10.0.0.0/24");
    EXPECT_FALSE(config->id);
    EXPECT_FALSE(config->name);
    EXPECT_TRUE(config->nodes.empty());
    EXPECT_TRUE(config->routes.empty());
    EXPECT_TRUE(config->policies.empty());
}

TEST(NetworkConfigTest, ReadsAWholeDocumentAndIgnoresUnknownKeys) {
    const std::string text =
        "id = \"67e55044-10b1-426f-9247-bb680e5fe0c8\"\n"
        "network = \"10.0.0.7/24\"\n"
        "name = \"Office\"\n"
        "colour = \"blue\"\n" +
        node_toml(1, "10.0.0.1", "Web-01", "groups = [\"web\", \"b\"]\nx = 1") +
        node_toml(2, "10.0.0.2", "db") +
        route_toml("192.168.0.0/16", 2, "groups = [\"web\"]\nmetric = 3") +
        "[[policy]]\nsource_groups = [\"web\"]\n"
        "destination_groups = [\"ALL\"]\nweight = 1\n";
    auto config = NetworkConfig::try_from(text);
    ASSERT_TRUE(config) << config.error().to_string();
    ASSERT_TRUE(config->id);
    EXPECT_EQ(uuid_to_string(*config->id), "67e55044-10b1-426f-9247-bb680e5fe0c8");
    EXPECT_EQ(config->network.to_string(), "10.0.0.7/24");
    EXPECT_EQ(config->name, std::optional<std::string>("Office"));

    ASSERT_EQ(config->nodes.size(), 2u);
    const NetworkNode& web = config->nodes.at(key(1));
    EXPECT_EQ(web.pk, key(1));
    EXPECT_EQ(web.ip.to_string(), "10.0.0.1");
    EXPECT_EQ(web.hostname, "Web-01");
    EXPECT_EQ(web.groups, (GroupSet{"web", "b"}));
    EXPECT_TRUE(config->nodes.at(key(2)).groups.empty());

    ASSERT_EQ(config->routes.size(), 1u);
    const NetworkRoute& route = config->routes.at(*Ipv4Net::parse("192.168.0.0/16"));
    EXPECT_EQ(route.gw, key(2));
    EXPECT_EQ(route.groups, GroupSet{"web"});

    ASSERT_EQ(config->policies.size(), 1u);
    EXPECT_EQ(*config->policies.begin(), (NetworkPolicy{{"web"}, {"ALL"}}));
}

TEST(NetworkConfigTest, NodeAddressesAgainstTheNetwork) {
    struct Case {
        const char* network;
        const char* ip;
        const char* expected;
    };
    const Case cases[] = {
        {"10.0.0.0/24", "10.0.0.0", ""},
        {"10.0.0.0/24", "10.0.0.1", ""},
        {"10.0.0.0/24", "10.0.0.255", ""},
        {"10.0.0.0/24", "10.0.0.254", "IP address 10.0.0.254 is reserved"},
        {"10.0.0.0/24", "10.0.1.1", "IP address 10.0.1.1 is not in network 10.0.0.0/24"},
        {"10.0.0.0/24", "9.255.255.255", "IP address 9.255.255.255 is not in network 10.0.0.0/24"},
        // Host bits of the network are kept, and membership goes by the prefix.
        {"10.0.0.7/24", "10.0.0.7", ""},
        {"10.0.0.7/24", "10.0.0.1", ""},
        {"10.0.0.7/24", "10.0.0.254", "IP address 10.0.0.254 is reserved"},
        {"10.0.0.7/24", "10.0.1.1", "IP address 10.0.1.1 is not in network 10.0.0.7/24"},
        // A single-address network: the reserved address lies outside it.
        {"10.0.0.5/32", "10.0.0.5", ""},
        {"10.0.0.5/32", "10.0.0.4", "IP address 10.0.0.4 is not in network 10.0.0.5/32"},
        {"10.0.0.0/31", "10.0.0.1", ""},
        {"10.0.0.0/31", "10.0.0.0", "IP address 10.0.0.0 is reserved"},
        {"0.0.0.0/0", "255.255.255.255", ""},
        {"0.0.0.0/0", "255.255.255.254", "IP address 255.255.255.254 is reserved"},
        // Broadcast 0.0.0.0: the reserved address wraps round to 255.255.255.255.
        {"0.0.0.0/32", "0.0.0.0", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(outcome(doc(c.network, node_toml(1, c.ip, "n"))), c.expected)
            << c.network << " " << c.ip;
    }
}

TEST(NetworkConfigTest, HostNamesMustBeOneLabel) {
    struct Case {
        std::string hostname;
        bool valid;
    };
    const Case cases[] = {
        {std::string(63, 'a'), true},
        {std::string(63, 'A'), true},
        {std::string(64, 'a'), false},
        {"", false},
        {"a", true},
        {"0", true},
        {"a-b", true},
        {"Web-01", true},
        {"-a", false},
        {"a-", false},
        {"-", false},
        {"a_b", false},
        {"a.b", false},
        {"a b", false},
        {"\xc3\xa4", false},     // lower-case a with diaeresis: not ASCII
        {"\xc3\x84", false},     // upper-case A with diaeresis: lower-cases to a non-ASCII letter
        {"\xe2\x84\xaa", true},  // the Kelvin sign lower-cases to a plain k
    };
    for (const auto& c : cases) {
        const std::string expected = c.valid ? "" : "invalid hostname: " + c.hostname;
        EXPECT_EQ(outcome(doc("10.0.0.0/24", node_toml(1, "10.0.0.1", c.hostname))), expected)
            << c.hostname;
    }
}

TEST(NetworkConfigTest, HostNamesKeepTheirCase) {
    auto config = NetworkConfig::try_from(doc("10.0.0.0/24", node_toml(1, "10.0.0.1", "Web-01")));
    ASSERT_TRUE(config) << config.error().to_string();
    EXPECT_EQ(config->nodes.at(key(1)).hostname, "Web-01");
}

TEST(NetworkConfigTest, DuplicatesFailReading) {
    struct Case {
        std::string body;
        std::string expected;
    };
    const Case cases[] = {
        {node_toml(1, "10.0.0.1", "Web-01") + node_toml(2, "10.0.0.2", "web-01"),
         "toml: duplicate hostname: web-01"},
        {node_toml(1, "10.0.0.1", "web-01") + node_toml(2, "10.0.0.2", "WEB-01"),
         "toml: duplicate hostname: WEB-01"},
        {node_toml(1, "10.0.0.1", "a") + node_toml(2, "10.0.0.1", "b"),
         "toml: duplicate IP address: 10.0.0.1"},
        {node_toml(1, "10.0.0.1", "a") + node_toml(1, "10.0.0.2", "b"),
         "toml: duplicate public key: " + key_text(1)},
        // The key is checked first, then the address, then the host name.
        {node_toml(1, "10.0.0.1", "a") + node_toml(1, "10.0.0.1", "a"),
         "toml: duplicate public key: " + key_text(1)},
        {node_toml(1, "10.0.0.1", "a") + node_toml(2, "10.0.0.1", "a"),
         "toml: duplicate IP address: 10.0.0.1"},
        {node_toml(1, "10.0.0.1", "a") + route_toml("10.1.0.0/24", 1) +
             route_toml("10.1.0.0/24", 1),
         "toml: duplicate route destination: 10.1.0.0/24"},
        {node_toml(1, "10.0.0.1", "a") + route_toml("10.1.0.5/24", 1) +
             route_toml("10.1.0.5/24", 1),
         "toml: duplicate route destination: 10.1.0.5/24"},
        // Every route is read before destinations are compared: a malformed later route wins.
        {node_toml(1, "10.0.0.1", "a") + route_toml("10.1.0.0/24", 1) +
             route_toml("10.1.0.0/24", 1) + "[[route]]\ndest = \"10.2.0.0/24\"\n",
         "toml: missing field `gw`"},
        // Same address, other prefix length: different destinations.
        {node_toml(1, "10.0.0.1", "a") + route_toml("10.1.0.0/16", 1) +
             route_toml("10.1.0.0/24", 1),
         ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(outcome(doc("10.0.0.0/24", c.body)), c.expected) << c.body;
    }
}

TEST(NetworkConfigTest, RepeatedTomlKeysAreSyntaxErrors) {
    const std::string texts[] = {
        "network = \"10.0.0.0/24\"\nnetwork = \"10.0.0.0/24\"\n",
        doc("10.0.0.0/24", "[[node]]\npk = \"" + key_text(1) + "\"\npk = \"" + key_text(2) +
                               "\"\nip = \"10.0.0.1\"\nhostname = \"a\"\n"),
    };
    for (const auto& text : texts) {
        auto config = NetworkConfig::try_from(text);
        ASSERT_FALSE(config) << text;
        EXPECT_TRUE(config.error().is<ConfigError::TomlDeserialization>()) << text;
    }
}

TEST(NetworkConfigTest, RouteChecks) {
    struct Case {
        std::string body;
        std::string expected;
    };
    const Case cases[] = {
        {node_toml(1, "10.0.0.1", "a") + route_toml("10.1.0.1/24", 1),
         "invalid network address: 10.1.0.1/24 is a host address"},
        {node_toml(1, "10.0.0.1", "a") + route_toml("10.1.0.1/32", 1), ""},
        {node_toml(1, "10.0.0.1", "a") + route_toml("0.0.0.0/0", 1), ""},
        {node_toml(1, "10.0.0.1", "a") + route_toml("10.1.0.0/24", 2),
         "gateway " + key_text(2) + " not found in nodes"},
        {route_toml("10.1.0.0/24", 3), "gateway " + key_text(3) + " not found in nodes"},
        // Nodes are checked before routes.
        {node_toml(1, "10.0.0.254", "a") + route_toml("10.1.0.1/24", 2),
         "IP address 10.0.0.254 is reserved"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(outcome(doc("10.0.0.0/24", c.body)), c.expected) << c.body;
    }
}

TEST(NetworkConfigTest, ReadingErrors) {
    const std::string pk = key_text(1);
    struct Case {
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {"name = \"x\"", "toml: missing field `network`"},
        {"network = 5", "toml: invalid type: integer `5`, expected IPv4 network address"},
        {"network = \"10.0.0.0\"", "toml: invalid IPv4 network syntax"},
        {"network = \"10.0.0.0/33\"", "toml: invalid IPv4 network syntax"},
        {doc("10.0.0.0/24", "id = \"nope\""), "toml: UUID parsing failed: invalid uuid string"},
        {doc("10.0.0.0/24", "id = 7"), "toml: invalid type: integer `7`, expected a UUID string"},
        {doc("10.0.0.0/24", "name = true"),
         "toml: invalid type: boolean `true`, expected a string"},
        {doc("10.0.0.0/24", "node = 5"), "toml: invalid type: integer `5`, expected a sequence"},
        {doc("10.0.0.0/24", "node = [1]"),
         "toml: invalid type: integer `1`, expected struct NetworkNode"},
        {doc("10.0.0.0/24", "[node]\npk = \"" + pk + "\""),
         "toml: invalid type: map, expected a sequence"},
        {doc("10.0.0.0/24", "[[node]]\nip = \"10.0.0.1\"\nhostname = \"a\""),
         "toml: missing field `pk`"},
        {doc("10.0.0.0/24", "[[node]]\npk = \"" + pk + "\"\nhostname = \"a\""),
         "toml: missing field `ip`"},
        {doc("10.0.0.0/24", "[[node]]\npk = \"" + pk + "\"\nip = \"10.0.0.1\""),
         "toml: missing field `hostname`"},
        {doc("10.0.0.0/24", node_toml(1, "10.0.0.300", "a")), "toml: invalid IPv4 address syntax"},
        {doc("10.0.0.0/24", node_toml(1, "10.0.0.1", "a", "groups = [\"a\", 1]")),
         "toml: invalid type: integer `1`, expected a string"},
        {doc("10.0.0.0/24", node_toml(1, "10.0.0.1", "a", "groups = \"a\"")),
         "toml: invalid type: string \"a\", expected a sequence"},
        {doc("10.0.0.0/24", "[[node]]\npk = \"zz\"\nip = \"10.0.0.1\"\nhostname = \"a\""),
         "toml: " + p2p::PubKey::parse("zz").error().to_string()},
        {doc("10.0.0.0/24", "[[node]]\npk = 1\nip = \"10.0.0.1\"\nhostname = \"a\""),
         "toml: invalid type: integer `1`, expected a public key"},
        {doc("10.0.0.0/24", "[[route]]\ngw = \"" + pk + "\""), "toml: missing field `dest`"},
        {doc("10.0.0.0/24", "[[route]]\ndest = \"10.1.0.0/24\""), "toml: missing field `gw`"},
        {doc("10.0.0.0/24", "route = [\"x\"]"),
         "toml: invalid type: string \"x\", expected struct NetworkRoute"},
        {doc("10.0.0.0/24", "[[policy]]\nsource_groups = [\"a\"]"),
         "toml: missing field `destination_groups`"},
        {doc("10.0.0.0/24", "[[policy]]\ndestination_groups = [\"a\"]"),
         "toml: missing field `source_groups`"},
        {doc("10.0.0.0/24", "policy = [[]]"),
         "toml: invalid type: sequence, expected struct NetworkPolicy"},
        // A bad value is reported ahead of a missing field.
        {doc("10.0.0.0/24", "[[node]]\nip = 1"),
         "toml: invalid type: integer `1`, expected IPv4 address"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(outcome(c.text), c.expected) << c.text;
    }
}

TEST(NetworkConfigTest, ReadingErrorsPointIntoTheDocument) {
    const std::string text =
        doc("10.0.0.0/24", node_toml(1, "10.0.0.1", "a") + node_toml(2, "10.0.0.1", "b"));
    auto config = NetworkConfig::try_from(text);
    ASSERT_FALSE(config);
    const auto* toml = config.error().get_if<ConfigError::TomlDeserialization>();
    ASSERT_NE(toml, nullptr);
    // The second node's table starts on line 7.
    EXPECT_EQ(toml->error.line(), 7u);
    EXPECT_EQ(config.error().to_string(),
              "TOML deserialization error: duplicate IP address: 10.0.0.1 at line 7, column 1");
}

TEST(NetworkConfigTest, GroupsAndPolicies) {
    const std::string text =
        doc("10.0.0.0/24",
            node_toml(1, "10.0.0.1", "a", "groups = [\"a\", \"a\", \"A\"]") +
                "[[policy]]\nsource_groups = [\"x\", \"y\"]\ndestination_groups = [\"z\"]\n"
                "[[policy]]\nsource_groups = [\"y\", \"x\", \"y\"]\ndestination_groups = [\"z\"]\n"
                "[[policy]]\nsource_groups = [\"z\"]\ndestination_groups = [\"x\", \"y\"]\n"
                "[[policy]]\nsource_groups = []\ndestination_groups = []\n");
    auto config = NetworkConfig::try_from(text);
    ASSERT_TRUE(config) << config.error().to_string();
    EXPECT_EQ(config->nodes.at(key(1)).groups, (GroupSet{"a", "A"}));
    EXPECT_EQ(config->policies.size(), 3u);
    EXPECT_TRUE(config->policies.contains(NetworkPolicy{{"x", "y"}, {"z"}}));
    EXPECT_TRUE(config->policies.contains(NetworkPolicy{{"z"}, {"x", "y"}}));
    EXPECT_TRUE(config->policies.contains(NetworkPolicy{{}, {}}));
}

TEST(NetworkConfigTest, EqualPoliciesHashEqually) {
    NetworkPolicyHash hash;
    GroupSet forward{"a", "b", "c", "d", "e", "f", "g", "h"};
    GroupSet backward(16);
    for (const char* name : {"h", "g", "f", "e", "d", "c", "b", "a"}) {
        backward.insert(name);
    }
    EXPECT_EQ(hash(NetworkPolicy{forward, {"x"}}), hash(NetworkPolicy{backward, {"x"}}));
    EXPECT_NE(hash(NetworkPolicy{{"a"}, {"b"}}), hash(NetworkPolicy{{"b"}, {"a"}}));
    EXPECT_NE(hash(NetworkPolicy{{"a", "b"}, {}}), hash(NetworkPolicy{{"a"}, {"b"}}));
    EXPECT_NE((NetworkPolicy{{"a"}, {"b"}}), (NetworkPolicy{{"b"}, {"a"}}));
}

TEST(NetworkConfigTest, CloneIsDeep) {
    const std::string text = doc(
        "10.0.0.0/24", "name = \"n\"\n" + node_toml(1, "10.0.0.1", "a", "groups = [\"g\"]") +
                           route_toml("10.1.0.0/24", 1, "groups = [\"r\"]") +
                           "[[policy]]\nsource_groups = [\"g\"]\ndestination_groups = [\"r\"]\n");
    auto original = NetworkConfig::try_from(text);
    ASSERT_TRUE(original) << original.error().to_string();
    NetworkConfig copy = original->clone();
    EXPECT_EQ(copy, *original);

    copy.name = "other";
    copy.nodes.at(key(1)).hostname = "b";
    copy.nodes.at(key(1)).groups.insert("h");
    copy.routes.begin()->second.groups.clear();
    copy.policies.clear();
    EXPECT_EQ(original->name, std::optional<std::string>("n"));
    EXPECT_EQ(original->nodes.at(key(1)).hostname, "a");
    EXPECT_EQ(original->nodes.at(key(1)).groups, GroupSet{"g"});
    EXPECT_EQ(original->routes.begin()->second.groups, GroupSet{"r"});
    EXPECT_EQ(original->policies.size(), 1u);
}

TEST(NetworkConfigTest, DeserializeReadsWithoutValidating) {
    auto root = parse_toml(
        doc("10.0.0.0/24", node_toml(1, "10.9.9.9", "bad_name") + route_toml("10.1.0.1/24", 7)));
    ASSERT_TRUE(root);
    auto config = NetworkConfig::deserialize(*root);
    ASSERT_TRUE(config) << config.error().to_string();
    EXPECT_EQ(config->nodes.at(key(1)).hostname, "bad_name");
}

TEST(ConfigErrorTest, DisplayTexts) {
    const std::string pk = key_text(9);
    struct Case {
        ConfigError error;
        std::string text;
    };
    const Case cases[] = {
        {ConfigError::IpNotInNetwork{Ipv4Addr(10, 0, 1, 1), *Ipv4Net::parse("10.0.0.7/24")},
         "IP address 10.0.1.1 is not in network 10.0.0.7/24"},
        {ConfigError::GatewayNotFound{key(9)}, "gateway " + pk + " not found in nodes"},
        {ConfigError::TomlDeserialization{TomlError("missing field `network`")},
         "TOML deserialization error: missing field `network`"},
        {ConfigError::TomlDeserialization{TomlError("oops", 3, 5)},
         "TOML deserialization error: oops at line 3, column 5"},
        {ConfigError::DuplicateRoute{}, "duplicate route"},
        {ConfigError::ReservedIp{Ipv4Addr(10, 0, 0, 254)}, "IP address 10.0.0.254 is reserved"},
        {ConfigError::InvalidHostname{"Bad_Name"}, "invalid hostname: Bad_Name"},
        {ConfigError::InvalidHostname{"https://u:s3cret@h"},
         "invalid hostname: https://****:****@h"},
        {ConfigError::HostAddress{*Ipv4Net::parse("10.1.0.1/24")},
         "invalid network address: 10.1.0.1/24 is a host address"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.error.to_string(), c.text);
        EXPECT_EQ(fmt::format("{}", c.error), c.text);
    }
}

// A document whose host name is 16 MiB of "u:...@ " words builds its error from the first
// kilobyte alone: cut, then masked, it names no password and stays about a kilobyte long,
// whether masking shortens the words or lengthens them ("u:p@" shows "****:****@").
TEST(ConfigErrorTest, AHugeInvalidHostnameShowsBoundedAndMasked) {
    for (const std::string word : {"u:hunter2pw@ ", "u:p@ "}) {
        std::string hostname;
        hostname.reserve((16 << 20) + word.size());
        while (hostname.size() < (16 << 20)) {
            hostname += word;
        }
        const std::string text = outcome(doc("10.0.0.0/24", node_toml(1, "10.0.0.1", hostname)));
        EXPECT_TRUE(text.starts_with("invalid hostname: ****:****@ ****:****@ ")) << word;
        EXPECT_TRUE(text.ends_with(" bytes left out]")) << word;
        EXPECT_LE(text.size(), 1100u) << word;
        EXPECT_EQ(text.find("hunter2"), std::string::npos);
        EXPECT_EQ(text.find("u:p"), std::string::npos);
    }
}

TEST(MultiNetworkConfigTest, ReadsTheListInOrderWithoutValidating) {
    const std::string text =
        "[[network]]\nid = \"67e55044-10b1-426f-9247-bb680e5fe0c8\"\nnetwork = \"10.0.0.0/24\"\n" +
        std::string("[[network.node]]\npk = \"") + key_text(1) +
        "\"\nip = \"10.0.0.254\"\nhostname = \"a_b\"\n"
        "[[network]]\nnetwork = \"10.1.0.0/24\"\nname = \"second\"\nextra = 1\n";
    auto multi = MultiNetworkConfig::from_toml(text);
    ASSERT_TRUE(multi) << multi.error().to_string();
    ASSERT_EQ(multi->network.size(), 2u);
    EXPECT_TRUE(multi->network[0].id);
    EXPECT_EQ(multi->network[0].nodes.at(key(1)).ip.to_string(), "10.0.0.254");
    EXPECT_FALSE(multi->network[1].id);
    EXPECT_EQ(multi->network[1].name, std::optional<std::string>("second"));
}

TEST(MultiNetworkConfigTest, Errors) {
    struct Case {
        std::string text;
        std::string expected;  // "" for success, "*" for any syntax error
    };
    const Case cases[] = {
        {"", "missing field `network`"},
        {"other = 1", "missing field `network`"},
        {"network = []", ""},
        {"network = \"10.0.0.0/24\"", "invalid type: string \"10.0.0.0/24\", expected a sequence"},
        {"[network]\nnetwork = \"10.0.0.0/24\"", "invalid type: map, expected a sequence"},
        {"network = [1]", "invalid type: integer `1`, expected struct NetworkConfig"},
        {"[[network]]\nnetwork = \"10.0.0.0/24\"\n[[network]]\nname = \"x\"",
         "missing field `network`"},
        {"[[network]]\nnetwork = \"10.0.0.0/24\"\n" + node_toml(1, "10.0.0.1", "a") +
             "[[network]]\nnetwork = \"10.0.0.0/24\"",
         ""},
        {"[[network]]\nnetwork = \"10.0.0.0/24\"\n[[network.node]]\npk = \"" + key_text(1) +
             "\"\nip = \"10.0.0.1\"\nhostname = \"A\"\n[[network.node]]\npk = \"" + key_text(2) +
             "\"\nip = \"10.0.0.2\"\nhostname = \"a\"\n",
         "duplicate hostname: a"},
        {"network = [", "*"},
    };
    for (const auto& c : cases) {
        auto multi = MultiNetworkConfig::from_toml(c.text);
        if (c.expected == "*") {
            ASSERT_FALSE(multi) << c.text;
            EXPECT_GT(multi.error().line(), 0u) << c.text;
            continue;
        }
        if (c.expected.empty()) {
            EXPECT_TRUE(multi) << c.text << ": " << multi.error().to_string();
            continue;
        }
        ASSERT_FALSE(multi) << c.text;
        EXPECT_EQ(multi.error().message(), c.expected) << c.text;
    }
}

// Characters that the TOML parser's own tables handle badly when they stand where it expects
// blank space, and a control character in a table header: each is an error.
TEST(NetworkConfigTest, StrayCharactersAreErrors) {
    using namespace std::string_literals;
    const std::string texts[] = {
        "network = \"10.0.0.0/24\"\xc2\xa1"s,       "network\xef\xbb\xbd = \"10.0.0.0/24\""s,
        "network =\xe3\x80\x81\"10.0.0.0/24\""s,    "network = \"10.0.0.0/24\"\n[[node\xc2\xa0]]"s,
        "network = \"10.0.0.0/24\"\n[[!\0ute]]\n"s, "network = \"10.0.0.0/24\"\0"s,
    };
    for (const auto& text : texts) {
        auto config = NetworkConfig::try_from(text);
        ASSERT_FALSE(config) << text;
        EXPECT_TRUE(config.error().is<ConfigError::TomlDeserialization>()) << text;
    }
}

// Malformed documents end in an error, never in a crash: every prefix of a valid document and a
// few thousand random corruptions of it.
TEST(NetworkConfigTest, MalformedTextNeverCrashes) {
    const std::string text =
        "id = \"67e55044-10b1-426f-9247-bb680e5fe0c8\"\n" +
        doc("10.0.0.0/24", node_toml(1, "10.0.0.1", "Web-01", "groups = [\"a\"]") +
                               node_toml(2, "10.0.0.2", "b") + route_toml("10.1.0.0/24", 2) +
                               "[[policy]]\nsource_groups = [\"a\"]\ndestination_groups = []\n");
    ASSERT_TRUE(NetworkConfig::try_from(text));
    size_t failures = 0;
    for (size_t length = 0; length < text.size(); ++length) {
        failures += NetworkConfig::try_from(text.substr(0, length)) ? 0 : 1;
    }
    EXPECT_GT(failures, text.size() / 2);

    std::mt19937 random(12345);
    const std::string alphabet = "[]{}=\"',.\n#\\ 0aZ\x01\xff";
    for (int round = 0; round < 3000; ++round) {
        std::string mutated = text;
        for (int edits = 1 + static_cast<int>(random() % 4); edits > 0; --edits) {
            const size_t at = random() % mutated.size();
            switch (random() % 3) {
                case 0:
                    mutated[at] = alphabet[random() % alphabet.size()];
                    break;
                case 1:
                    mutated.erase(at, 1 + random() % 8);
                    break;
                default:
                    mutated.insert(at, 1, alphabet[random() % alphabet.size()]);
                    break;
            }
        }
        auto config = NetworkConfig::try_from(mutated);
        if (!config) {
            EXPECT_FALSE(config.error().to_string().empty());
        }
        auto multi = MultiNetworkConfig::from_toml("[[network]]\n" + mutated);
        if (!multi) {
            EXPECT_FALSE(multi.error().message().empty());
        }
    }
}

}  // namespace
}  // namespace quorvel::network
