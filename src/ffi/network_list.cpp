#include "ffi/network_list.h"

#include "ffi/ffi_common.h"
#include "util/log.h"

#include <cstdlib>
#include <new>

namespace quorvel::ffi {

NetworkList NetworkList::build(const std::vector<const network::Network*>& networks) {
    std::vector<NetworkInfo> records;
    records.reserve(networks.size());
    for (const network::Network* network : networks) {
        char* url = malloc_c_string(network->config_url.as_str());
        if (url == nullptr) {
            continue;
        }
        char* name = network->name ? malloc_c_string(*network->name) : nullptr;
        records.push_back(NetworkInfo{url, network->disabled ? 1 : 0, name});
    }
    if (records.empty()) {
        return NetworkList(nullptr);
    }
    void* raw = std::malloc(sizeof(Header) + records.size() * sizeof(NetworkInfo));
    if (raw == nullptr) {
        std::abort();
    }
    auto* header = new (raw) Header{kMarker, records.size()};
    auto* out = reinterpret_cast<NetworkInfo*>(header + 1);
    for (std::size_t i = 0; i < records.size(); ++i) {
        new (out + i) NetworkInfo(records[i]);
    }
    return NetworkList(header);
}

NetworkList::Header* NetworkList::header_of(const NetworkInfo* records) {
    if (records == nullptr) {
        return nullptr;
    }
    auto* header = reinterpret_cast<Header*>(const_cast<NetworkInfo*>(records)) - 1;
    return header->marker == kMarker ? header : nullptr;
}

NetworkList NetworkList::adopt(NetworkInfo* records) {
    return NetworkList(header_of(records));
}

const NetworkInfo* NetworkList::entry(const NetworkInfo* records, int32_t index) {
    const Header* header = header_of(records);
    if (header == nullptr || index < 0 || static_cast<std::size_t>(index) >= header->count) {
        return nullptr;
    }
    return records + index;
}

NetworkInfo* NetworkList::records() const {
    return block_ == nullptr ? nullptr : reinterpret_cast<NetworkInfo*>(block_ + 1);
}

std::size_t NetworkList::size() const {
    return block_ == nullptr ? 0 : block_->count;
}

NetworkInfo* NetworkList::release() {
    NetworkInfo* out = records();
    block_ = nullptr;
    return out;
}

NetworkList::~NetworkList() {
    if (block_ == nullptr) {
        return;
    }
    NetworkInfo* list = records();
    for (std::size_t i = 0; i < block_->count; ++i) {
        if (list[i].url != nullptr) {
            QV_TRACE(kTarget, "Dropping NetworkInfo url and freeing CString");
            std::free(const_cast<char*>(list[i].url));
        }
        if (list[i].name != nullptr) {
            QV_TRACE(kTarget, "Dropping NetworkInfo name and freeing CString");
            std::free(const_cast<char*>(list[i].name));
        }
    }
    // A released list no longer looks like one to the accessors.
    block_->marker = 0;
    std::free(block_);
}

}  // namespace quorvel::ffi
