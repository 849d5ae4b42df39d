#include "agent/node_options.h"

#include <algorithm>

#include "p2p/env.h"
#include "util/shown_text.h"
#include "util/unicode.h"

#include <boost/asio/ip/address.hpp>

#include <bit>

namespace quorvel::agent {

using p2p::util::system::get_env;

Result<std::vector<boost::asio::ip::address>, Error> parse_udp_addrs(std::string_view text) {
    std::vector<boost::asio::ip::address> addrs;
    for (std::string_view piece : split_unicode_white_space(text)) {
        boost::system::error_code ec;
        // The standard text forms only: no zone suffix.
        auto addr = boost::asio::ip::make_address(std::string(piece), ec);
        if (ec || piece.find('%') != std::string_view::npos) {
            // The environment's text is outside text: bounded, its credentials masked.
            return unexpected(
                Error(Error::ConfigParse{"Invalid udp addresses: " + outside_text(piece)}));
        }
        addrs.push_back(addr);
    }
    return addrs;
}

namespace {

std::optional<uint16_t> parse_udp_port(const std::string& text) {
    if (split_unicode_white_space(text).empty()) {
        return std::nullopt;
    }
    auto port = p2p::util::system::parse_unsigned(text, 65535);
    if (!port) {
        return std::nullopt;
    }
    return static_cast<uint16_t>(*port);
}

}  // namespace

std::chrono::milliseconds saturating_millis(uint64_t ms) {
    constexpr uint64_t kMax = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::nanoseconds::max())
            .count());
    return std::chrono::milliseconds(static_cast<int64_t>(std::min(ms, kMax)));
}

NodeEnv NodeEnv::read() {
    NodeEnv env;
    env.min_pow_difficulty = get_env("MIN_POW_DIFFICULTY", p2p::MIN_POW_DIFFICULTY_DEFAULT);
    env.arm_messages = get_env("ARM_MESSAGES", p2p::ARM_MESSAGES_DEFAULT);
    env.udp_addrs = get_env("UDP_ADDRS", std::string());
    env.udp_port = get_env("UDP_PORT", std::string());
    env.max_peers = get_env("MAX_PEERS", p2p::MAX_PEERS_DEFAULT);
    env.hello_timeout = get_env("HELLO_TIMEOUT", p2p::HELLO_TIMEOUT_DEFAULT_MS);
    env.hello_max_age = get_env("HELLO_MAX_AGE", p2p::HELLO_MAX_AGE_DEFAULT_MS);
    env.process_unites = get_env("PROCESS_UNITES", p2p::PROCESS_UNITES_DEFAULT);
    env.housekeeping_interval =
        get_env("HOUSEKEEPING_INTERVAL", p2p::HOUSEKEEPING_INTERVAL_DEFAULT_MS);
    env.enforce_tcp = get_env("ENFORCE_TCP", p2p::ENFORCE_TCP_DEFAULT);
    env.mtu = get_env("MTU", p2p::MTU_DEFAULT);
    return env;
}

Result<p2p::NodeOpts, Error> build_node_opts(const NodeEnv& env, p2p::Identity identity,
                                             std::vector<p2p::SuperPeerUrl> super_peers) {
    auto udp_addrs = parse_udp_addrs(env.udp_addrs);
    if (!udp_addrs) {
        return unexpected(std::move(udp_addrs).error());
    }
    // Binding requires this; refusing it here keeps a bad value from ever reaching the node.
    if (env.max_peers != 0 && !std::has_single_bit(env.max_peers)) {
        return unexpected(Error(Error::ConfigParse{
            "Failed to build node opts: max_peers must be 0 or a power of two, got " +
            std::to_string(env.max_peers)}));
    }
    p2p::NodeOptsBuilder builder;
    builder.id(std::move(identity))
        .udp_addrs(std::move(*udp_addrs))
        .udp_port(parse_udp_port(env.udp_port))
        .super_peers(std::move(super_peers))
        .max_peers(env.max_peers)
        .min_pow_difficulty(env.min_pow_difficulty)
        .arm_messages(env.arm_messages)
        .hello_timeout(saturating_millis(env.hello_timeout))
        .hello_max_age(saturating_millis(env.hello_max_age))
        .mtu(env.mtu)
        .process_unites(env.process_unites)
        .housekeeping_interval(saturating_millis(env.housekeeping_interval))
        .enforce_tcp(env.enforce_tcp);
    auto opts = builder.build();
    if (!opts) {
        return unexpected(
            Error(Error::ConfigParse{"Failed to build node opts: " + opts.error().to_string()}));
    }
    return std::move(*opts);
}

}  // namespace quorvel::agent
