// Semantic versions (MAJOR.MINOR.PATCH[-pre][+build]) as release texts use them: a strict parser
// and the precedence order between versions.
#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "util/result.h"

namespace quorvel::semver {

// Which part of a version text a parse error concerns.
enum class Position { Major, Minor, Patch, Pre, Build };

// Why a text is not a version. Each kind has a fixed message, such as "invalid leading zero in
// minor version number".
class Error {
  public:
    enum class Kind {
        Empty,                // the text is empty
        UnexpectedEnd,        // the text ends inside `position`
        LeadingZero,          // a number of `position` starts with 0 and has more digits
        Overflow,             // a number of `position` does not fit 64 bits
        EmptySegment,         // an empty dot-separated identifier in `position`
        UnexpectedChar,       // `character` where `position` should start or go on
        UnexpectedCharAfter,  // `character` after `position` where nothing else may follow
    };

    Error(Kind kind, Position position, std::string character = {})
        : kind_(kind), position_(position), character_(std::move(character)) {}

    Kind kind() const { return kind_; }
    Position position() const { return position_; }
    // The offending character (one UTF-8 sequence); empty for kinds without one.
    const std::string& character() const { return character_; }

    std::string to_string() const;

    bool operator==(const Error&) const = default;

  private:
    Kind kind_;
    Position position_;
    std::string character_;
};

// A version. `pre` and `build` hold the identifiers after "-" and "+" without those signs, empty
// when absent. Build metadata takes part in the order, so versions differing only in it are not
// equal.
struct Version {
    uint64_t major = 0;
    uint64_t minor = 0;
    uint64_t patch = 0;
    std::string pre;
    std::string build;

    // The text unchanged: no blanks trimmed, no "v" prefix taken off. Numbers and numeric
    // pre-release identifiers refuse leading zeros; build identifiers may have them.
    static Result<Version, Error> parse(std::string_view text);

    // The numbers; then a version without pre-release above the same with one; then the
    // pre-release identifiers; then the build identifiers (none sorts below any).
    std::strong_ordering operator<=>(const Version& other) const;
    bool operator==(const Version& other) const = default;
};

}  // namespace quorvel::semver

template <>
struct fmt::formatter<quorvel::semver::Error> : fmt::formatter<std::string_view> {
    auto format(const quorvel::semver::Error& e, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(e.to_string(), ctx);
    }
};
