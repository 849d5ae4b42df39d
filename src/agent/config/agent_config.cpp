#include "agent/config/agent_config.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "p2p/env.h"
#include "util/debug_text.h"
#include "util/file_io.h"
#include "util/http_client.h"
#include "util/log.h"
#include "util/secrets.h"
#include "util/shown_text.h"
#include "util/toml_write.h"
#include "util/url.h"

namespace quorvel::agent {
namespace {

constexpr std::string_view kTarget = "quorvel::agent::config";
// A file this module creates holds the secret key: owner read and write only.
constexpr mode_t kNewFileMode = 0600;
static_assert(kMaxConfigFileBytes == kDefaultMaxBodyBytes,
              "the configuration is capped as network documents are");

Result<p2p::SecKey, TomlError> read_sec_key(const toml::node& node) {
    return toml_read::read_from_str(node, "a string", [](std::string_view text) {
        auto key = p2p::SecKey::parse(text);
        if (!key) {
            return Result<p2p::SecKey, std::string>(unexpected(key.error().to_string()));
        }
        return Result<p2p::SecKey, std::string>(*key);
    });
}

Result<p2p::Pow, TomlError> read_pow(const toml::node& node) {
    auto value = toml_read::read_integer<int32_t>(node);
    if (!value) {
        return unexpected(std::move(value.error()));
    }
    return p2p::Pow(*value);
}

// The identity as the file stores it; the public key is derived, not stored.
struct IdentityHelper {
    std::optional<p2p::SecKey> sk;
    std::optional<p2p::Pow> pow;
};

Result<p2p::Identity, TomlError> read_identity(const toml::node& node) {
    auto helper = toml_read::read_struct<IdentityHelper>(
        node, "struct IdentityHelper", [](toml_read::Fields& fields, IdentityHelper& out) {
            fields.required("sk", out.sk, read_sec_key);
            fields.required("pow", out.pow, read_pow);
        });
    if (!helper) {
        return unexpected(std::move(helper.error()));
    }
    return p2p::Identity(*helper->sk, *helper->pow);
}

Result<Url, TomlError> read_url(const toml::node& node) {
    return toml_read::read_from_str(node, "a string", [](std::string_view text) {
        // Known as typed before the parser normalises it (drops a tab, re-encodes a quote), so
        // that the typed form is hidden too, in this error and wherever else it shows. The error
        // quotes the value cut to the bound before it is masked (`outside_url_text`): a value of
        // megabytes costs no more than the bound.
        secrets::remember_url_userinfo(text);
        auto url = Url::parse(text);
        if (!url) {
            return Result<Url, std::string>(
                unexpected(url.error().to_string() + ": " + debug_quoted(outside_url_text(text))));
        }
        return Result<Url, std::string>(std::move(*url));
    });
}

// The persistent fields of a network as the file stores them.
struct NetworkFields {
    std::optional<Url> config_url;
    bool disabled = false;
    std::optional<std::string> name;
};

Result<network::Network, TomlError> read_network(const toml::node& node) {
    auto fields = toml_read::read_struct<NetworkFields>(
        node, "struct Network", [](toml_read::Fields& f, NetworkFields& out) {
            f.required("config_url", out.config_url, read_url);
            f.defaulted("disabled", out.disabled, toml_read::read_bool);
            f.optional("name", out.name, toml_read::read_string);
        });
    if (!fields) {
        return unexpected(std::move(fields.error()));
    }
    return network::Network(std::move(*fields->config_url), fields->disabled,
                            std::move(fields->name));
}

Result<p2p::SuperPeerUrl, TomlError> read_super_peer(const toml::node& node) {
    return toml_read::read_from_str(node, "a string", [](std::string_view text) {
        auto parsed = p2p::SuperPeerUrl::parse(text);
        if (!parsed) {
            return Result<p2p::SuperPeerUrl, std::string>(unexpected(parsed.error().to_string()));
        }
        return Result<p2p::SuperPeerUrl, std::string>(std::move(*parsed));
    });
}

Result<std::vector<p2p::SuperPeerUrl>, TomlError> read_super_peers(const toml::node& node) {
    std::vector<p2p::SuperPeerUrl> peers;
    auto read = toml_read::read_sequence(node, read_super_peer,
                                         [&](p2p::SuperPeerUrl&& peer, const toml::node&) {
                                             peers.push_back(std::move(peer));
                                             return Result<void, TomlError>();
                                         });
    if (!read) {
        return unexpected(std::move(read.error()));
    }
    return peers;
}

Result<DnsConfig, TomlError> read_dns(const toml::node& node) {
    return toml_read::read_struct<DnsConfig>(
        node, "struct DnsConfig", [](toml_read::Fields& fields, DnsConfig& out) {
            fields.optional("disabled", out.disabled, toml_read::read_bool);
        });
}

Result<ControllerConfig, TomlError> read_controller(const toml::node& node) {
    return toml_read::read_struct<ControllerConfig>(
        node, "struct ControllerConfig", [](toml_read::Fields& fields, ControllerConfig& out) {
            fields.optional("url", out.url, toml_read::read_string);
            fields.optional("auth_url", out.auth_url, toml_read::read_string);
            fields.optional("auth_client_id", out.auth_client_id, toml_read::read_string);
            fields.optional("display_login_email", out.display_login_email, toml_read::read_string);
            fields.optional("shared_secret", out.shared_secret, toml_read::read_string);
        });
}

enum class WriteMode { Replace, CreateNew };

Result<void, Error> write_config(const AgentConfig& config, const std::string& path,
                                 WriteMode mode) {
    QV_TRACE(kTarget, "Saving agent config to {}", outside_text(path));
    auto text = config.to_toml();
    if (!text) {
        return unexpected(std::move(text.error()));
    }
    if (text->size() > kMaxConfigFileBytes) {
        return unexpected(Error(Error::Io{
            IoError::other("the configuration of " + std::to_string(text->size()) +
                           " bytes exceeds the limit of " + std::to_string(kMaxConfigFileBytes) +
                           " bytes that loading it again would allow")}));
    }
    QV_TRACE(kTarget, "Successfully serialized config");
    remove_stale_temp_files(path);
    auto written = mode == WriteMode::Replace ? write_file_atomically(path, *text, kNewFileMode)
                                              : create_file_exclusively(path, *text, kNewFileMode);
    if (!written) {
        return unexpected(Error(Error::Io{std::move(written.error())}));
    }
    QV_TRACE(kTarget, "Successfully wrote config file");
    return {};
}

}  // namespace

Result<NetworkMap, TomlError> deserialize_networks(const toml::node& node) {
    // Every element is read before any is inserted: a malformed network is reported ahead of a
    // duplicate that comes earlier in the document.
    std::vector<std::pair<network::Network, const toml::node*>> entries;
    auto read = toml_read::read_sequence(node, read_network,
                                         [&](network::Network&& entry, const toml::node& at) {
                                             entries.emplace_back(std::move(entry), &at);
                                             return Result<void, TomlError>();
                                         });
    if (!read) {
        return unexpected(std::move(read.error()));
    }
    NetworkMap networks;
    for (auto& [entry, at] : entries) {
        Url key = entry.config_url;
        if (networks.contains(key)) {
            return unexpected(toml_read::custom("duplicate network URL: " + mask_url(key), *at));
        }
        networks.emplace(std::move(key), std::move(entry));
    }
    return networks;
}

Result<AgentConfig, TomlError> AgentConfig::deserialize(const toml::table& root) {
    std::optional<p2p::Identity> identity;
    NetworkMap networks;
    std::optional<uint16_t> mtu;
    std::optional<std::vector<p2p::SuperPeerUrl>> super_peers;
    std::optional<bool> update_check;
    std::optional<bool> auto_connect;
    std::optional<DnsConfig> dns;
    std::optional<ControllerConfig> controller;

    toml_read::Fields fields(root);
    fields.required("identity", identity, read_identity);
    fields.defaulted("network", networks, deserialize_networks);
    fields.optional("mtu", mtu, toml_read::read_integer<uint16_t>);
    fields.optional("super_peers", super_peers, read_super_peers);
    fields.optional("update_check", update_check, toml_read::read_bool);
    fields.optional("auto_connect", auto_connect, toml_read::read_bool);
    fields.optional("dns", dns, read_dns);
    fields.optional("controller", controller, read_controller);
    if (auto done = fields.finish(); !done) {
        return unexpected(std::move(done.error()));
    }

    AgentConfig config(std::move(*identity));
    config.network = std::move(networks);
    config.mtu = mtu;
    config.super_peers = std::move(super_peers);
    config.update_check = update_check;
    config.auto_connect = auto_connect;
    config.dns = dns;
    config.controller = std::move(controller);
    config.remember_secrets();
    return config;
}

void AgentConfig::remember_secrets() const {
    for (const auto& [url, entry] : network) {
        secrets::remember_url_userinfo(url.raw_text());
    }
    if (!controller) {
        return;
    }
    for (const auto* text : {&controller->url, &controller->auth_url}) {
        if (*text) {
            secrets::remember_url_userinfo(**text);
        }
    }
    if (controller->shared_secret) {
        secrets::remember_base64_secret(*controller->shared_secret);
    }
}

// The layout: the plain root keys present (mtu, super_peers, update_check, auto_connect), then
// [identity], one [[network]] per network sorted by URL text, [dns] and [controller]. Runtime
// state (network health and states, the controller status) is never written.
Result<std::string, Error> AgentConfig::to_toml() const {
    TomlWriter w;
    if (mtu) {
        w.value("mtu", int64_t{*mtu});
    }
    if (super_peers) {
        std::vector<std::string> texts;
        texts.reserve(super_peers->size());
        for (const auto& peer : *super_peers) {
            texts.push_back(peer.to_string());
        }
        w.value("super_peers", texts);
    }
    if (update_check) {
        w.value("update_check", *update_check);
    }
    if (auto_connect) {
        w.value("auto_connect", *auto_connect);
    }

    w.table("identity");
    w.value("sk", identity.sk().to_string());
    w.value("pow", int64_t{identity.pow().value()});

    std::vector<const network::Network*> sorted;
    sorted.reserve(network.size());
    for (const auto& [url, net] : network) {
        sorted.push_back(&net);
    }
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const auto* a, const auto* b) { return a->config_url < b->config_url; });
    for (const auto* net : sorted) {
        w.array_table("network");
        w.value("config_url", net->config_url.raw_text());
        w.value("disabled", net->disabled);
        if (net->name) {
            w.value("name", *net->name);
        }
    }

    if (dns) {
        w.table("dns");
        if (dns->disabled) {
            w.value("disabled", *dns->disabled);
        }
    }
    if (controller) {
        w.table("controller");
        const std::pair<std::string_view, const std::optional<std::string>*> values[] = {
            {"url", &controller->url},
            {"auth_url", &controller->auth_url},
            {"auth_client_id", &controller->auth_client_id},
            {"display_login_email", &controller->display_login_email},
            {"shared_secret", &controller->shared_secret},
        };
        for (const auto& [key, value] : values) {
            if (*value) {
                w.value(key, **value);
            }
        }
    }

    auto text = std::move(w).finish();
    if (!text) {
        return unexpected(Error(Error::TomlSerialization{std::move(text.error())}));
    }
    return std::move(*text);
}

Result<AgentConfig, Error> AgentConfig::load(const std::string& path) {
    QV_TRACE(kTarget, "Loading agent config from {}", outside_text(path));
    // Saves that died midway may have left copies of the secret key beside the file.
    remove_stale_temp_files(path);
    // Never waits: a FIFO or a device at the path is refused by its type, before it is opened.
    auto text = read_state_file(path, kMaxConfigFileBytes);
    if (!text) {
        return unexpected(Error(Error::Io{std::move(text.error())}));
    }
    QV_TRACE(kTarget, "Successfully read config file");
    auto root = parse_toml(*text);
    if (!root) {
        return unexpected(Error(Error::Toml{std::move(root.error())}));
    }
    auto config = deserialize(*root);
    if (!config) {
        return unexpected(Error(Error::Toml{std::move(config.error())}));
    }
    QV_TRACE(kTarget, "Successfully parsed config file");
    return std::move(*config);
}

Result<AgentConfig, Error> AgentConfig::load_or_generate(const std::string& path,
                                                         std::optional<CancellationToken> cancel) {
    QV_TRACE(kTarget, "Loading or generating agent config from {}", outside_text(path));
    const uint8_t difficulty = p2p::util::system::get_env("MIN_POW_DIFFICULTY", uint8_t{24});
    QV_TRACE(kTarget, "Using min PoW difficulty: {}", difficulty);

    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) {
        auto loaded = load(path);
        if (loaded) {
            QV_TRACE(kTarget, "Config loaded successfully");
        }
        return loaded;
    }
    // Only a path that names nothing is generated. Any other failure of the look-up (a folder
    // that may not be searched, a name too long) would fail the creation too, after a proof of
    // work for nothing.
    if (const int looked_up = errno; looked_up != ENOENT) {
        return unexpected(Error(Error::Io{IoError::from_errno(looked_up)}));
    }

    QV_INFO(kTarget,
            "Config file '{}' does not exist, generating new one (this might take some time due "
            "to the PoW)",
            outside_text(path));
    auto identity = p2p::Identity::generate(difficulty, std::move(cancel));
    if (!identity) {
        return unexpected(Error(Error::Identity{std::move(identity.error())}));
    }
    QV_TRACE(kTarget, "Generated new identity with public key: {}", identity->pk().to_string());

    AgentConfig config(std::move(*identity));
    // The path was missing a moment ago; should a file have appeared since (or the look-up have
    // failed for another reason), it belongs to someone else and is left alone.
    if (auto saved = write_config(config, path, WriteMode::CreateNew); !saved) {
        return unexpected(std::move(saved.error()));
    }
    QV_TRACE(kTarget, "Config loaded successfully");
    return config;
}

Result<void, Error> AgentConfig::save(const std::string& path) const {
    return write_config(*this, path, WriteMode::Replace);
}

uint16_t AgentConfig::default_mtu() {
    return p2p::util::system::get_env("ARM_MESSAGES", true) ? 1280 : 1328;
}

std::string AgentConfig::controller_url() const {
    return controller ? controller->url_or_default() : std::string(kDefaultControllerUrl);
}

std::optional<std::string> AgentConfig::shared_secret() const {
    return controller ? controller->shared_secret : std::nullopt;
}

std::vector<p2p::SuperPeerUrl> AgentConfig::super_peers_or_default() const {
    if (super_peers) {
        return *super_peers;
    }
    return p2p::SUPER_PEERS_DEFAULT();
}

void AgentConfig::set_controller_status(ControllerConnectionStatus status) {
    if (!controller) {
        controller.emplace();
    }
    controller->status = std::move(status);
}

}  // namespace quorvel::agent
