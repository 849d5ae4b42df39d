#include "ffi/ffi_common.h"

#include "util/unicode.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace quorvel::ffi {

namespace {

// Positions 12 and 13 map to -117 and -116 in this order: hosts rely on these fixed values.
constexpr std::array<int32_t, 16> kAgentErrorCodes = {
    -101, -104, -105, -106, -108, -109, -110, -111, -112, -113, -114, -115, -117, -116, -118, -119,
};
static_assert(kAgentErrorCodes.size() == agent::Error::kVariantCount);

}  // namespace

int32_t error_code_at(std::size_t position) {
    return position < kAgentErrorCodes.size() ? kAgentErrorCodes[position]
                                              : QUORVEL_AGENT_ERR_FAILURE;
}

int32_t error_code(const agent::Error& error) {
    return error_code_at(error.index());
}

Result<std::string_view, CStringError> read_c_string(const char* text) {
    if (text == nullptr) {
        return unexpected(CStringError::Null);
    }
    std::string_view view(text);
    if (!is_valid_utf8(view)) {
        return unexpected(CStringError::Utf8);
    }
    return view;
}

char* malloc_c_string(std::string_view text) {
    if (text.find('\0') != std::string_view::npos) {
        return nullptr;
    }
    auto* out = static_cast<char*>(std::malloc(text.size() + 1));
    if (out == nullptr) {
        std::abort();
    }
    std::memcpy(out, text.data(), text.size());
    out[text.size()] = '\0';
    return out;
}

char* status_c_string(std::string_view report) {
    char* text = malloc_c_string(report);
    return text != nullptr ? text : malloc_c_string("Status generation failed");
}

RuntimeShare share_runtime(std::shared_ptr<Runtime> runtime) {
    Runtime* shared = runtime.get();
    return RuntimeShare(shared, [owner = std::move(runtime)](Runtime* last) mutable {
        if (last->is_worker_thread()) {
            // This worker goes back to its loop and is joined there. A thread that cannot be
            // created leaves nothing sound to do: the process ends.
            std::thread([stopping = std::move(owner)]() mutable { stopping.reset(); }).detach();
        } else {
            owner.reset();
        }
    });
}

bool on_runtime_thread() {
    return Runtime::on_worker_thread();
}

}  // namespace quorvel::ffi
