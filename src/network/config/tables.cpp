// The text forms of the derived lists.
#include <fmt/format.h>

#include <algorithm>
#include <vector>

#include "network/config/effective.h"
#include "network/dns_domain.h"
#include "util/text_table.h"

namespace quorvel::network {

namespace {

constexpr size_t kTypeWidth = 4;
constexpr size_t kNetWidth = 18;   // 255.255.255.255/32
constexpr size_t kAddrWidth = 15;  // 255.255.255.255
constexpr size_t kKeyWidth = 64;
constexpr size_t kActionWidth = 6;

}  // namespace

std::string_view to_string(Direction direction) {
    return direction == Direction::IN ? "IN" : "OUT";
}

std::string_view debug_string(Direction direction) {
    return to_string(direction);
}

std::string_view to_string(Action action) {
    return action == Action::Allow ? "ALLOW" : "DENY";
}

std::string_view debug_string(Action action) {
    return action == Action::Allow ? "Allow" : "Deny";
}

std::string EffectiveAccessRule::to_string() const {
    return fmt::format("direction={} source={} dest={} pk={} action={}\n", debug_string(direction),
                       source, dest, pk, debug_string(action));
}

std::string EffectiveAccessRule::debug() const {
    return fmt::format(
        "EffectiveAccessRule {{ direction: {}, source: {}, dest: {}, pk: {}, action: {} }}",
        debug_string(direction), source, dest, pk, debug_string(action));
}

std::string EffectiveAccessRuleList::to_string() const {
    std::string out;
    out.reserve((rules_.size() + 1) * 115);
    append_table_line(out, {{"Type", kTypeWidth},
                            {"Source", kNetWidth},
                            {"Destination", kNetWidth},
                            {"PubKey", kKeyWidth},
                            {"Action", kActionWidth}});
    // The list is already in table order.
    for (const EffectiveAccessRule& rule : rules_) {
        append_table_line(out, {{network::to_string(rule.direction), kTypeWidth},
                                {rule.source.to_string(), kNetWidth},
                                {rule.dest.to_string(), kNetWidth},
                                {rule.pk.to_string(), kKeyWidth},
                                {network::to_string(rule.action), kActionWidth}});
    }
    return out;
}

std::string EffectiveRoutingList::to_string() const {
    std::vector<std::pair<Ipv4Net, const EffectiveRoute*>> sorted;
    sorted.reserve(routes.size());
    for (const auto& [dest, route] : routes) {
        sorted.emplace_back(dest, &route);
    }
    std::sort(sorted.begin(), sorted.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });

    std::string out;
    append_table_line(out, {{"Destination", kNetWidth}, {"Gateway", kAddrWidth}});
    for (const auto& [dest, route] : sorted) {
        append_table_line(out,
                          {{dest.to_string(), kNetWidth}, {route->gw.to_string(), kAddrWidth}});
    }
    return out;
}

std::string HostnameList::to_string() const {
    std::vector<std::pair<Ipv4Addr, const std::string*>> sorted;
    sorted.reserve(hosts.size());
    for (const auto& [ip, name] : hosts) {
        sorted.emplace_back(ip, &name);
    }
    std::sort(sorted.begin(), sorted.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });

    std::string out;
    append_padded(out, "IP", kAddrWidth);
    out += " Hostname\n";
    for (const auto& [ip, name] : sorted) {
        append_padded(out, ip.to_string(), kAddrWidth);
        out += ' ';
        out += *name;
        out += '.';
        out += QUORVEL_DOMAIN;
        out += '\n';
    }
    return out;
}

}  // namespace quorvel::network
