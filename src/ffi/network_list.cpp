#include "ffi/network_list.h"

#include "ffi/ffi_common.h"
#include "util/log.h"

#include <cstdlib>
#include <mutex>
#include <new>
#include <string_view>
#include <unordered_map>

namespace quorvel::ffi {

namespace {

// The lists the host holds: the address of the first record and the number of records.
class Registry {
  public:
    void add(const NetworkInfo* records, std::size_t count) {
        std::lock_guard lock(mutex_);
        lists_.emplace(records, count);
    }
    // The count of a registered list, which is no longer registered afterwards.
    std::optional<std::size_t> remove(const NetworkInfo* records) {
        std::lock_guard lock(mutex_);
        auto found = lists_.find(records);
        if (found == lists_.end()) {
            return std::nullopt;
        }
        const std::size_t count = found->second;
        lists_.erase(found);
        return count;
    }
    // Read under the lock, so that a release on another thread cannot free the record meanwhile.
    std::optional<NetworkInfo> entry(const NetworkInfo* records, int32_t index) {
        std::lock_guard lock(mutex_);
        auto found = lists_.find(records);
        if (found == lists_.end() || index < 0 ||
            static_cast<std::size_t>(index) >= found->second) {
            return std::nullopt;
        }
        return records[index];
    }

  private:
    std::mutex mutex_;
    std::unordered_map<const NetworkInfo*, std::size_t> lists_;
};

Registry& registry() {
    // Never destroyed: a host may release a list while the process exits.
    static auto* lists = new Registry;
    return *lists;
}

}  // namespace

std::optional<NetworkList> NetworkList::build(
    const std::vector<const network::Network*>& networks) noexcept {
    if (networks.empty()) {
        return NetworkList(nullptr, 0);
    }
    // Room for every network; the records are placed one after another, and the list owns the
    // ones placed so far, so that memory running out midway leaves nothing behind.
    auto* records =
        static_cast<NetworkInfo*>(allocate_for_host(networks.size() * sizeof(NetworkInfo)));
    if (records == nullptr) {
        return std::nullopt;
    }
    NetworkList list(records, 0);
    constexpr auto holds_nul = [](std::string_view text) {
        return text.find('\0') != std::string_view::npos;
    };
    for (const network::Network* network : networks) {
        const std::string_view url_text = network->config_url.raw_text();
        if (holds_nul(url_text)) {
            continue;
        }
        char* url = malloc_c_string(url_text);
        if (url == nullptr) {
            return std::nullopt;
        }
        char* name = nullptr;
        if (network->name && !holds_nul(*network->name)) {
            name = malloc_c_string(*network->name);
            if (name == nullptr) {
                std::free(url);
                return std::nullopt;
            }
        }
        new (records + list.count_) NetworkInfo{url, network->disabled ? 1 : 0, name};
        ++list.count_;
    }
    if (list.count_ == 0) {
        return NetworkList(nullptr, 0);
    }
    return list;
}

NetworkList NetworkList::adopt(const NetworkInfo* records) {
    if (records == nullptr) {
        return NetworkList(nullptr, 0);
    }
    auto count = registry().remove(records);
    if (!count) {
        return NetworkList(nullptr, 0);
    }
    // The host's pointer is const only for the accessors; the list was allocated here.
    return NetworkList(const_cast<NetworkInfo*>(records), *count);
}

std::optional<NetworkInfo> NetworkList::entry(const NetworkInfo* records, int32_t index) {
    if (records == nullptr) {
        return std::nullopt;
    }
    return registry().entry(records, index);
}

NetworkList::NetworkList(NetworkList&& other) noexcept
    : records_(other.records_), count_(other.count_) {
    other.records_ = nullptr;
    other.count_ = 0;
}

NetworkInfo* NetworkList::release() {
    NetworkInfo* out = records_;
    if (out != nullptr) {
        registry().add(out, count_);
    }
    records_ = nullptr;
    count_ = 0;
    return out;
}

NetworkList::~NetworkList() {
    if (records_ == nullptr) {
        return;
    }
    for (std::size_t i = 0; i < count_; ++i) {
        if (records_[i].url != nullptr) {
            trace_if_possible("Dropping NetworkInfo url and freeing CString");
            std::free(const_cast<char*>(records_[i].url));
        }
        if (records_[i].name != nullptr) {
            trace_if_possible("Dropping NetworkInfo name and freeing CString");
            std::free(const_cast<char*>(records_[i].name));
        }
    }
    std::free(records_);
}

}  // namespace quorvel::ffi
