#include <fmt/format.h>

#include <gtest/gtest.h>
#include <algorithm>

#include "network/config/effective.h"
#include "network/config/test_documents.h"
#include "network/dns_domain.h"

namespace quorvel::network {
namespace {

using testing::addr;
using testing::key;
using testing::net;
using testing::rule_list;

// "Type", "Source", "Destination", "PubKey", "Action" padded to 4, 18, 18, 64 and 6.
const std::string kHeader = "Type Source" + std::string(12, ' ') + " Destination" +
                            std::string(7, ' ') + " PubKey" + std::string(58, ' ') + " Action\n";

std::string hex(uint8_t n) {
    return key(n).to_string();
}

TEST(TablesTest, EmptyAccessRuleTableIsTheHeaderAlone) {
    EXPECT_EQ(EffectiveAccessRuleList{}.to_string(), kHeader);
    EXPECT_EQ(kHeader.size(), 115u);  // 114 characters and the line feed
}

TEST(TablesTest, AccessRuleRowsArePaddedToTheirColumns) {
    auto list =
        rule_list({{Direction::OUT, net("10.0.0.1/32"), net("10.0.0.2/32"), key(2), Action::Deny}});
    const std::string row = "OUT  10.0.0.1/32        10.0.0.2/32        " + hex(2) + " DENY  \n";
    EXPECT_EQ(list.to_string(), kHeader + row);
    EXPECT_EQ(row.size(), 115u);
    EXPECT_EQ(fmt::format("{}", list), kHeader + row);
}

TEST(TablesTest, AccessRulesSortOutBeforeInThenNumerically) {
    auto list = rule_list({
        {Direction::IN, net("1.0.0.0/8"), net("10.0.0.1/32"), key(1), Action::Allow},
        {Direction::OUT, net("10.0.0.10/32"), net("10.0.0.1/32"), key(3), Action::Allow},
        {Direction::OUT, net("10.0.0.9/32"), net("10.0.0.1/32"), key(4), Action::Allow},
        {Direction::OUT, net("10.1.0.0/24"), net("10.0.0.1/32"), key(5), Action::Deny},
        {Direction::OUT, net("10.1.0.0/16"), net("10.0.0.1/32"), key(6), Action::Deny},
        {Direction::OUT, net("10.0.0.9/32"), net("10.0.0.0/24"), key(7), Action::Allow},
        {Direction::IN, net("255.255.255.255/32"), net("0.0.0.0/0"), key(8), Action::Deny},
    });
    const std::string expected =
        kHeader +  //
        "OUT  10.0.0.9/32        10.0.0.0/24        " + hex(7) + " ALLOW \n" +
        "OUT  10.0.0.9/32        10.0.0.1/32        " + hex(4) + " ALLOW \n" +
        "OUT  10.0.0.10/32       10.0.0.1/32        " + hex(3) + " ALLOW \n" +
        "OUT  10.1.0.0/16        10.0.0.1/32        " + hex(6) + " DENY  \n" +
        "OUT  10.1.0.0/24        10.0.0.1/32        " + hex(5) + " DENY  \n" +
        "IN   1.0.0.0/8          10.0.0.1/32        " + hex(1) + " ALLOW \n" +
        // The widest network fills its column exactly; one space still separates the cells.
        "IN   255.255.255.255/32 0.0.0.0/0          " + hex(8) + " DENY  \n";
    EXPECT_EQ(list.to_string(), expected);
}

TEST(TablesTest, RouteTable) {
    EffectiveRoutingList routes;
    EXPECT_EQ(routes.to_string(),
              "Destination" + std::string(7, ' ') + " Gateway" + std::string(8, ' ') + "\n");
    routes.routes[net("10.0.0.10/32")] = {net("10.0.0.10/32"), addr("10.0.0.2")};
    routes.routes[net("10.0.0.9/32")] = {net("10.0.0.9/32"), addr("10.0.0.3")};
    routes.routes[net("10.1.0.0/24")] = {net("10.1.0.0/24"), addr("255.255.255.255")};
    routes.routes[net("10.1.0.0/16")] = {net("10.1.0.0/16"), addr("10.0.0.4")};
    EXPECT_EQ(fmt::format("{}", routes),
              "Destination        Gateway        \n"
              "10.0.0.9/32        10.0.0.3       \n"
              "10.0.0.10/32       10.0.0.2       \n"
              "10.1.0.0/16        10.0.0.4       \n"
              "10.1.0.0/24        255.255.255.255\n");
}

TEST(TablesTest, HostnameTable) {
    EXPECT_EQ(QUORVEL_DOMAIN, "quorvel.internal");
    HostnameList hosts;
    EXPECT_EQ(hosts.to_string(), "IP              Hostname\n");
    hosts.hosts[addr("10.0.0.2")] = "db";
    EXPECT_EQ(hosts.to_string(),
              "IP              Hostname\n"
              "10.0.0.2        db.quorvel.internal\n");
    hosts.hosts[addr("10.0.0.10")] = "Web-01";
    hosts.hosts[addr("10.0.0.9")] = "nine";
    hosts.hosts[addr("192.168.100.200")] = "wide";
    EXPECT_EQ(fmt::format("{}", hosts),
              "IP              Hostname\n"
              "10.0.0.2        db.quorvel.internal\n"
              "10.0.0.9        nine.quorvel.internal\n"
              "10.0.0.10       Web-01.quorvel.internal\n"
              "192.168.100.200 wide.quorvel.internal\n");
}

TEST(TablesTest, SingleRuleAndEnumTexts) {
    EffectiveAccessRule rule{Direction::OUT, net("10.0.0.1/32"), net("10.1.0.0/16"), key(2),
                             Action::Allow};
    EXPECT_EQ(rule.to_string(),
              "direction=OUT source=10.0.0.1/32 dest=10.1.0.0/16 pk=" + hex(2) + " action=Allow\n");
    rule.direction = Direction::IN;
    rule.action = Action::Deny;
    EXPECT_EQ(fmt::format("{}", rule),
              "direction=IN source=10.0.0.1/32 dest=10.1.0.0/16 pk=" + hex(2) + " action=Deny\n");
    EXPECT_EQ(rule.debug(),
              "EffectiveAccessRule { direction: IN, source: 10.0.0.1/32, dest: "
              "10.1.0.0/16, pk: " +
                  hex(2) + ", action: Deny }");
    // Never widened, whatever the caller asks for.
    EXPECT_EQ(fmt::format("[{:6}][{:>8}]", Direction::IN, Action::Allow), "[IN][ALLOW]");
    EXPECT_EQ(fmt::format("{} {}", Direction::OUT, Action::Deny), "OUT DENY");
    EXPECT_EQ(debug_string(Action::Allow), "Allow");
    EXPECT_EQ(debug_string(Direction::OUT), "OUT");
}

TEST(TablesTest, EqualListsPrintTheSameWhateverTheirBuildOrder) {
    const NetworkConfig doc = testing::sample_document();
    const NetworkConfig reordered = testing::sample_document(500, true);
    EXPECT_EQ(doc.effective_access_rule_list(key(2)).value().to_string(),
              reordered.effective_access_rule_list(key(2)).value().to_string());
    const std::string table = doc.effective_access_rule_list(key(1)).value().to_string();
    // 24 rules plus the header, OUT rows first.
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 25);
    const size_t last_out = table.rfind("\nOUT  ");
    const size_t first_in = table.find("\nIN   ");
    ASSERT_NE(last_out, std::string::npos);
    ASSERT_NE(first_in, std::string::npos);
    EXPECT_LT(last_out, first_in);
}

}  // namespace
}  // namespace quorvel::network
