// The edits of a configuration file's network list behind quorvel_agent_config_network_add,
// _remove, _enable and _disable. Each loads the file, changes it and saves it while holding the
// file's lock (util/file_lock.h), so that edits from several threads or processes never lose one
// another.
#pragma once

#include <chrono>
#include <cstdint>

namespace quorvel::ffi {

enum class NetworkEdit { Add, Remove, Enable, Disable };

// How long an edit waits for another edit of the same file. Generous: an edit of a missing file
// generates a new identity while it holds the lock, a proof of work that can take seconds.
inline constexpr std::chrono::milliseconds kConfigLockTimeout = std::chrono::seconds(30);

// The C functions' result code for `edit` of `network_url` in the file at `config_path`. When the
// lock is not had within `lock_timeout` (or cannot be had at all: the lock file cannot be
// created), logs a WARN line naming the lock file and returns QUORVEL_AGENT_ERR_FAILURE, the file
// untouched.
int32_t edit_network(const char* config_path, const char* network_url, NetworkEdit edit,
                     std::chrono::milliseconds lock_timeout = kConfigLockTimeout);

}  // namespace quorvel::ffi
