// An I/O failure as the agent reports it: the operating system's description followed by
// " (os error N)", or a fixed description for failures that carry no OS code (for example text
// that is not UTF-8).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace quorvel {

class IoError {
  public:
    // An error raised by the operating system; `code` is an errno value.
    static IoError from_errno(int code);
    // An error without an OS code.
    static IoError other(std::string description);
    // The failure of reading bytes that are not UTF-8 as text.
    static IoError invalid_utf8();

    std::optional<int> os_code() const { return os_code_; }
    const std::string& description() const { return description_; }
    std::string to_string() const;

    bool operator==(const IoError&) const = default;

  private:
    IoError(std::optional<int> code, std::string description)
        : os_code_(code), description_(std::move(description)) {}

    std::optional<int> os_code_;
    std::string description_;
};

}  // namespace quorvel

template <>
struct fmt::formatter<quorvel::IoError> : fmt::formatter<std::string_view> {
    auto format(const quorvel::IoError& e, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(e.to_string(), ctx);
    }
};
