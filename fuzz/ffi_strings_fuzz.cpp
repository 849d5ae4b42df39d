// Feeds arbitrary bytes to the C interface's string-taking functions, as a host could: network
// URLs of any bytes (invalid UTF-8, embedded NULs, which end a C string), and configuration paths
// that are invalid UTF-8. Checks what must hold for every input: each function returns one of its
// documented codes, invalid UTF-8 gives -1 whatever else is wrong, an edit that succeeds shows in
// the list, and the list's strings are UTF-8.
//
// Input: byte 0 picks the operation, byte 1 the configuration file (one of four in a folder of
// the fuzzer's own), byte 2 whether the path gets the URL's bytes appended (so that a path can be
// invalid UTF-8 too), the rest is the URL. Valid paths stay inside that folder.
//
// Each input starts from the file as it was generated, so that every input costs the same: a file
// that kept every network ever added would grow without bound, and each edit rewrites it whole.
// The folder is on a memory file system where there is one, since each edit syncs the file.
#include <quorvel/agent.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>

#include <unistd.h>

#include "util/secrets.h"
#include "util/unicode.h"

namespace {

std::string g_dir;
constexpr int kConfigs = 4;
// Each configuration file's bytes as generated.
std::string g_generated[kConfigs];

std::string config_path(int index) {
    return g_dir + "/config-" + std::to_string(index) + ".toml";
}

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool one_of(int32_t code, std::initializer_list<int32_t> codes) {
    for (int32_t c : codes) {
        if (c == code) {
            return true;
        }
    }
    return false;
}

// Whether the list of `path` holds `url` (compared as the list spells it).
bool listed(const char* path, const char* url) {
    NetworkInfo* list = nullptr;
    int32_t count = 0;
    if (quorvel_agent_config_networks(path, &list, &count) != QUORVEL_AGENT_OK) {
        return false;
    }
    bool found = false;
    for (int32_t i = 0; i < count; ++i) {
        const char* entry = quorvel_agent_network_url(list, i);
        check(entry != nullptr && quorvel::is_valid_utf8(entry));
        const char* name = quorvel_agent_network_name(list, i);
        check(name == nullptr || quorvel::is_valid_utf8(name));
        check(one_of(quorvel_agent_network_disabled(list, i), {0, 1}));
        found = found || std::strcmp(entry, url) == 0;
    }
    check(quorvel_agent_network_url(list, count) == nullptr);
    quorvel_agent_config_networks_free(list, count);
    return found;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // New identities come quickly at difficulty 0.
    setenv("QUORVEL_MIN_POW_DIFFICULTY", "0", 1);
    std::string pattern = std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                          "/quorvel_ffi_fuzz_XXXXXX";
    check(mkdtemp(pattern.data()) != nullptr);
    g_dir = pattern;
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(g_dir, ignored);
    });
    for (int i = 0; i < kConfigs; ++i) {
        AgentConfigPtr* config = nullptr;
        const std::string path = config_path(i);
        check(quorvel_agent_config_load_or_generate(path.c_str(), &config) == QUORVEL_AGENT_OK);
        quorvel_agent_config_free(config);
        std::ifstream in(path, std::ios::binary);
        g_generated[i].assign(std::istreambuf_iterator<char>(in), {});
        check(!g_generated[i].empty());
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) {
        return 0;
    }
    // Each input starts with no secret known: the agent keeps every secret it reads for the life of
    // the process, and a fuzzer's inputs would make that a set without bound.
    quorvel::secrets::forget_all_for_tests();
    const uint8_t op = data[0] % 6;
    // The URL as a C string: everything up to the first NUL byte.
    const std::string url(reinterpret_cast<const char*>(data + 3), size - 3);
    const char* url_c = url.c_str();
    const bool url_utf8 = quorvel::is_valid_utf8(url_c);

    const int index = data[1] % kConfigs;
    const std::string clean = config_path(index);
    {
        std::ofstream out(clean, std::ios::binary | std::ios::trunc);
        out << g_generated[index];
        check(out.flush().good());
    }
    std::string path = clean;
    bool path_utf8 = true;
    if (data[2] & 1 && !url_utf8) {
        // Only bytes that are not UTF-8 join the path, so no valid path leaves the folder.
        path += url_c;
        path_utf8 = false;
    }
    const char* path_c = path.c_str();

    switch (op) {
        case 0: {
            const int32_t code = quorvel_agent_config_network_add(path_c, url_c);
            check(one_of(code, {0, -1, -3, -5}));
            check((code == -1) == (!path_utf8 || !url_utf8));
            if (code == 0) {
                // Once added, the same text names an existing network, until it is removed.
                check(quorvel_agent_config_network_add(path_c, url_c) == -5);
                check(quorvel_agent_config_network_disable(path_c, url_c) == 0);
                check(quorvel_agent_config_network_disable(path_c, url_c) == -7);
                if (data[2] & 2) {
                    check(quorvel_agent_config_network_remove(path_c, url_c) == 0);
                    check(quorvel_agent_config_network_remove(path_c, url_c) == -4);
                }
            }
            break;
        }
        case 1:
            check(one_of(quorvel_agent_config_network_remove(path_c, url_c), {0, -1, -3, -4}));
            break;
        case 2:
            check(one_of(quorvel_agent_config_network_enable(path_c, url_c), {0, -1, -3, -4, -6}));
            break;
        case 3:
            check(one_of(quorvel_agent_config_network_disable(path_c, url_c), {0, -1, -3, -4, -7}));
            break;
        case 4: {
            NetworkInfo* list = nullptr;
            int32_t count = 0;
            const int32_t code = quorvel_agent_config_networks(path_c, &list, &count);
            check(one_of(code, {0, -1}));
            check((code == -1) == !path_utf8);
            if (code == 0) {
                // Every entry's strings are UTF-8; no entry has an empty URL.
                check(!listed(path_c, ""));
                check((list == nullptr) == (count == 0));
                quorvel_agent_config_networks_free(list, count);
            }
            break;
        }
        case 5: {
            AgentConfigPtr* config = nullptr;
            const int32_t code = quorvel_agent_config_load_or_generate(path_c, &config);
            check(code == (path_utf8 ? 0 : -1));
            check((config != nullptr) == (code == 0));
            quorvel_agent_config_free(config);
            break;
        }
    }
    // The file always stays loadable: no edit may leave it broken.
    NetworkInfo* list = nullptr;
    int32_t count = 0;
    check(quorvel_agent_config_networks(clean.c_str(), &list, &count) == QUORVEL_AGENT_OK);
    quorvel_agent_config_networks_free(list, count);
    return 0;
}
