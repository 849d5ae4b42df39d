// Replays a fuzz target's corpus without libFuzzer, so that every build (GCC included, with the
// sanitizers) runs each target on its seeds and on every crash input kept in the repository.
//
//     <target>_replay DIR_OR_FILE...
//
// Each file is fed once to LLVMFuzzerTestOneInput, in name order, on a thread with a 512 KiB
// stack (the size of a secondary thread on the mobile target), so that deep recursion fails here
// as it would there. A crash or sanitizer report ends the program abnormally; a directory without
// files is an error too, since it would test nothing.
#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

constexpr size_t kStackBytes = 512 * 1024;

struct Input {
    std::string path;
    std::vector<uint8_t> bytes;
};

void* run_one(void* arg) {
    const auto* input = static_cast<const Input*>(arg);
    // libFuzzer hands over a buffer of exactly the input's size; so does this copy, so that a
    // read past the end is caught.
    std::vector<uint8_t> copy(input->bytes);
    LLVMFuzzerTestOneInput(copy.empty() ? nullptr : copy.data(), copy.size());
    return nullptr;
}

bool replay(const Input& input) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kStackBytes);
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, run_one, const_cast<Input*>(&input));
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        std::fprintf(stderr, "cannot start a thread for %s: %s\n", input.path.c_str(),
                     std::strerror(rc));
        return false;
    }
    pthread_join(thread, nullptr);
    return true;
}

bool read_file(const std::filesystem::path& path, std::vector<uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR_OR_FILE...\n", argv[0]);
        return 2;
    }
    size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg(argv[i]);
        std::vector<std::filesystem::path> files;
        std::error_code ec;
        if (std::filesystem::is_directory(arg, ec)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg, ec)) {
                if (entry.is_regular_file()) {
                    files.push_back(entry.path());
                }
            }
            if (files.empty()) {
                std::fprintf(stderr, "no corpus files in %s\n", argv[i]);
                return 1;
            }
        } else if (std::filesystem::is_regular_file(arg, ec)) {
            files.push_back(arg);
        } else {
            std::fprintf(stderr, "no corpus at %s\n", argv[i]);
            return 1;
        }
        std::sort(files.begin(), files.end());
        for (const auto& file : files) {
            Input input{file.string(), {}};
            if (!read_file(file, input.bytes)) {
                std::fprintf(stderr, "cannot read %s\n", input.path.c_str());
                return 1;
            }
            std::fprintf(stderr, "replaying %s (%zu bytes)\n", input.path.c_str(),
                         input.bytes.size());
            if (!replay(input)) {
                return 1;
            }
            ++replayed;
        }
    }
    std::fprintf(stderr, "replayed %zu inputs\n", replayed);
    return 0;
}
