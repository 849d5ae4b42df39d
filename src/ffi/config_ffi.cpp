// Configuration and network-list functions of the C interface. They run on the calling thread
// and act on the file alone: each edit locks the file, loads it, changes it, saves it and
// discards it.
#include "ffi/config_edit.h"
#include "ffi/ffi_common.h"
#include "ffi/network_list.h"

#include "util/file_io.h"
#include "util/file_lock.h"
#include "util/log.h"
#include "util/secrets.h"
#include "util/shown_text.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

namespace ffi = quorvel::ffi;
using quorvel::agent::AgentConfig;

namespace quorvel::ffi {

int32_t edit_network(const char* config_path, const char* network_url, NetworkEdit edit,
                     std::chrono::milliseconds lock_timeout) {
    using Edit = NetworkEdit;
    if (config_path == nullptr || network_url == nullptr) {
        return QUORVEL_AGENT_ERR_FAILURE;
    }
    const bool disable = edit == Edit::Disable;
    if (disable) {
        QV_TRACE(ffi::kTarget, "Extracting path string from pointer");
    }
    auto path = ffi::read_c_string(config_path);
    if (!path) {
        if (disable) {
            QV_TRACE(ffi::kTarget, "Failed to convert path to string, returning ERR_UTF8");
        }
        return ffi::code_of(path.error());
    }
    if (disable) {
        QV_TRACE(ffi::kTarget, "Extracting network URL string from pointer");
    }
    auto url_text = ffi::read_c_string(network_url);
    if (!url_text) {
        if (disable) {
            QV_TRACE(ffi::kTarget, "Failed to convert network_url to string, returning ERR_UTF8");
        }
        return ffi::code_of(url_text.error());
    }

    // A URL typed with a password is a secret whatever becomes of the edit.
    secrets::remember_url_userinfo(*url_text);
    const std::string path_text(*path);
    // A FIFO or a device at the path is refused before its lock file is made beside it (in /dev,
    // say) and before anything opens it; the load refuses one swapped in meanwhile.
    if (auto usable = refuse_non_regular_file(path_text); !usable) {
        QV_WARN(ffi::kTarget, "Could not edit the configuration: {}",
                agent::Error(agent::Error::Io{std::move(usable).error()}).to_string());
        return QUORVEL_AGENT_ERR_FAILURE;
    }
    // Held until the edit is saved: a load before another edit's save would bring that edit's
    // networks back to what they were, and two creations of a missing file would write two
    // identities.
    const std::string lock_path = lock_file_path(path_text);
    auto lock = FileLock::acquire(lock_path, lock_timeout);
    if (!lock) {
        QV_WARN(ffi::kTarget, "Could not lock {} to edit {}: {}", outside_text(lock_path),
                outside_text(path_text), lock.error());
        return QUORVEL_AGENT_ERR_FAILURE;
    }
    // Adding and removing need an existing file; enabling and disabling create a missing one.
    auto config = edit == Edit::Add || edit == Edit::Remove
                      ? AgentConfig::load(path_text)
                      : AgentConfig::load_or_generate(path_text);
    if (!config) {
        QV_WARN(ffi::kTarget, "Could not edit the configuration: {}", config.error().to_string());
        return QUORVEL_AGENT_ERR_FAILURE;
    }
    auto url = quorvel::Url::parse(*url_text);
    if (!url) {
        return QUORVEL_AGENT_ERR_URL_PARSE;
    }
    auto& networks = config->network;
    auto entry = networks.find(*url);
    switch (edit) {
        case Edit::Add:
            if (entry != networks.end()) {
                return QUORVEL_AGENT_ERR_NETWORK_EXISTS;
            }
            networks.emplace(*url, quorvel::network::Network(*url));
            break;
        case Edit::Remove:
            if (entry == networks.end()) {
                return QUORVEL_AGENT_ERR_NETWORK_NOT_FOUND;
            }
            networks.erase(entry);
            break;
        case Edit::Enable:
            if (entry == networks.end()) {
                return QUORVEL_AGENT_ERR_NETWORK_NOT_FOUND;
            }
            if (!entry->second.disabled) {
                return QUORVEL_AGENT_ERR_NETWORK_NOT_DISABLED;
            }
            entry->second.disabled = false;
            break;
        case Edit::Disable:
            if (entry == networks.end()) {
                return QUORVEL_AGENT_ERR_NETWORK_NOT_FOUND;
            }
            if (entry->second.disabled) {
                return QUORVEL_AGENT_ERR_NETWORK_ALREADY_DISABLED;
            }
            entry->second.disabled = true;
            break;
    }
    if (auto saved = config->save(path_text); !saved) {
        QV_WARN(ffi::kTarget, "Could not save the edited configuration: {}",
                saved.error().to_string());
        return QUORVEL_AGENT_ERR_FAILURE;
    }
    return QUORVEL_AGENT_OK;
}

}  // namespace quorvel::ffi

extern "C" {

int32_t quorvel_agent_config_load_or_generate(const char* config_path,
                                              AgentConfigPtr** out_config) noexcept {
    return ffi::guarded(
        "quorvel_agent_config_load_or_generate", int32_t{QUORVEL_AGENT_ERR_FAILURE},
        [&]() -> int32_t {
            if (config_path == nullptr || out_config == nullptr) {
                return QUORVEL_AGENT_ERR_FAILURE;
            }
            auto path = ffi::read_c_string(config_path);
            if (!path) {
                return ffi::code_of(path.error());
            }
            auto config = AgentConfig::load_or_generate(std::string(*path));
            if (!config) {
                QV_WARN(ffi::kTarget, "Error loading config: {}", config.error().to_string());
                return ffi::error_code(config.error());
            }
            *out_config = new AgentConfigPtr{std::make_unique<AgentConfig>(std::move(*config))};
            return QUORVEL_AGENT_OK;
        });
}

int32_t quorvel_agent_config_id_pk(const AgentConfigPtr* config, uint8_t* out_pk) noexcept {
    return ffi::guarded("quorvel_agent_config_id_pk", int32_t{QUORVEL_AGENT_ERR_FAILURE},
                        [&]() -> int32_t {
                            if (config == nullptr || out_pk == nullptr) {
                                return QUORVEL_AGENT_ERR_FAILURE;
                            }
                            const auto& bytes = config->config->identity.pk().as_bytes();
                            std::memcpy(out_pk, bytes.data(), bytes.size());
                            return QUORVEL_AGENT_OK;
                        });
}

void quorvel_agent_config_free(AgentConfigPtr* config) noexcept {
    ffi::guarded("quorvel_agent_config_free", [&] {
        if (config == nullptr) {
            return;
        }
        ffi::trace_if_possible("Freeing AgentConfigPtr");
        delete config;
    });
}

int32_t quorvel_agent_config_network_add(const char* config_path,
                                         const char* network_url) noexcept {
    return ffi::guarded(
        "quorvel_agent_config_network_add", int32_t{QUORVEL_AGENT_ERR_FAILURE}, [&]() -> int32_t {
            return ffi::edit_network(config_path, network_url, ffi::NetworkEdit::Add);
        });
}

int32_t quorvel_agent_config_network_remove(const char* config_path,
                                            const char* network_url) noexcept {
    return ffi::guarded("quorvel_agent_config_network_remove", int32_t{QUORVEL_AGENT_ERR_FAILURE},
                        [&]() -> int32_t {
                            return ffi::edit_network(config_path, network_url,
                                                     ffi::NetworkEdit::Remove);
                        });
}

int32_t quorvel_agent_config_network_enable(const char* config_path,
                                            const char* network_url) noexcept {
    return ffi::guarded("quorvel_agent_config_network_enable", int32_t{QUORVEL_AGENT_ERR_FAILURE},
                        [&]() -> int32_t {
                            return ffi::edit_network(config_path, network_url,
                                                     ffi::NetworkEdit::Enable);
                        });
}

int32_t quorvel_agent_config_network_disable(const char* config_path,
                                             const char* network_url) noexcept {
    return ffi::guarded("quorvel_agent_config_network_disable", int32_t{QUORVEL_AGENT_ERR_FAILURE},
                        [&]() -> int32_t {
                            return ffi::edit_network(config_path, network_url,
                                                     ffi::NetworkEdit::Disable);
                        });
}

int32_t quorvel_agent_config_networks(const char* config_path, NetworkInfo** out_networks,
                                      int32_t* out_count) noexcept {
    return ffi::guarded(
        "quorvel_agent_config_networks", int32_t{QUORVEL_AGENT_ERR_FAILURE}, [&]() -> int32_t {
            if (config_path == nullptr || out_networks == nullptr || out_count == nullptr) {
                return QUORVEL_AGENT_ERR_FAILURE;
            }
            auto path = ffi::read_c_string(config_path);
            if (!path) {
                return ffi::code_of(path.error());
            }
            auto config = AgentConfig::load(std::string(*path));
            if (!config) {
                QV_WARN(ffi::kTarget, "Could not list the networks: {}",
                        config.error().to_string());
                return QUORVEL_AGENT_ERR_FAILURE;
            }
            std::vector<const quorvel::network::Network*> networks;
            networks.reserve(config->network.size());
            for (const auto& [url, network] : config->network) {
                networks.push_back(&network);
            }
            // The map has no order of its own; a sorted list reads the same on every call.
            std::sort(networks.begin(), networks.end(),
                      [](const auto* a, const auto* b) { return a->config_url < b->config_url; });
            std::optional<ffi::NetworkList> list = ffi::NetworkList::build(networks);
            if (!list) {
                QV_WARN(ffi::kTarget, "Could not list the networks: out of memory");
                return QUORVEL_AGENT_ERR_FAILURE;
            }
            // Both out-parameters are written once nothing can fail any more.
            const auto count = static_cast<int32_t>(list->size());
            NetworkInfo* records = list->release();
            *out_count = count;
            *out_networks = records;
            return QUORVEL_AGENT_OK;
        });
}

const char* quorvel_agent_network_url(const NetworkInfo* networks, int32_t index) noexcept {
    return ffi::guarded("quorvel_agent_network_url", static_cast<const char*>(nullptr),
                        [&]() -> const char* {
                            auto entry = ffi::NetworkList::entry(networks, index);
                            return entry ? entry->url : nullptr;
                        });
}

int32_t quorvel_agent_network_disabled(const NetworkInfo* networks, int32_t index) noexcept {
    return ffi::guarded("quorvel_agent_network_disabled", int32_t{-1}, [&]() -> int32_t {
        auto entry = ffi::NetworkList::entry(networks, index);
        return entry ? entry->disabled : -1;
    });
}

const char* quorvel_agent_network_name(const NetworkInfo* networks, int32_t index) noexcept {
    return ffi::guarded("quorvel_agent_network_name", static_cast<const char*>(nullptr),
                        [&]() -> const char* {
                            auto entry = ffi::NetworkList::entry(networks, index);
                            return entry ? entry->name : nullptr;
                        });
}

void quorvel_agent_config_networks_free(NetworkInfo* networks, int32_t count) noexcept {
    ffi::guarded("quorvel_agent_config_networks_free", [&] {
        if (networks == nullptr || count < 1) {
            return;
        }
        // Releases the whole list, whatever the count, or nothing for an address that is not a list
        // still held by the host.
        ffi::NetworkList::adopt(networks);
    });
}

}  // extern "C"
