#include "util/io_error.h"

#include <cstring>

namespace quorvel {

IoError IoError::from_errno(int code) {
    char buffer[256];
    // The GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return IoError(code, text != nullptr ? std::string(text) : std::string("Unknown error"));
}

IoError IoError::other(std::string description) {
    return IoError(std::nullopt, std::move(description));
}

IoError IoError::invalid_utf8() {
    return other("stream did not contain valid UTF-8");
}

std::string IoError::to_string() const {
    if (os_code_) {
        return fmt::format("{} (os error {})", description_, *os_code_);
    }
    return description_;
}

}  // namespace quorvel
