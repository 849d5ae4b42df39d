#include "util/semver.h"

#include <iterator>
#include <limits>
#include <tuple>
#include <utility>

#include "util/debug_text.h"

namespace quorvel::semver {

namespace {

std::string_view position_text(Position position) {
    switch (position) {
        case Position::Major:
            return "major version number";
        case Position::Minor:
            return "minor version number";
        case Position::Patch:
            return "patch version number";
        case Position::Pre:
            return "pre-release identifier";
        case Position::Build:
            return "build metadata";
    }
    return "version";
}

// A character in single quotes, escaped as in the other debug texts, so that a blank or a line
// break in a version text stays visible in the message.
std::string quoted_char(std::string_view c) {
    if (c == "'") {
        return "'\\''";
    }
    if (c == "\"") {
        return "'\"'";
    }
    const std::string text = debug_quoted(c);
    return "'" + text.substr(1, text.size() - 2) + "'";
}

// The whole UTF-8 sequence that starts the text (one byte when the sequence is malformed).
std::string first_char(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    size_t length = 1;
    if (lead >= 0xf0 && lead <= 0xf7) {
        length = 4;
    } else if (lead >= 0xe0) {
        length = 3;
    } else if (lead >= 0xc0) {
        length = 2;
    }
    if (length > text.size()) {
        length = 1;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xc0) != 0x80) {
            length = 1;
            break;
        }
    }
    return std::string(text.substr(0, length));
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

bool is_identifier_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-';
}

// One of the three version numbers, consumed from the front of `in`.
Result<uint64_t, Error> numeric_identifier(std::string_view& in, Position position) {
    size_t length = 0;
    uint64_t value = 0;
    while (length < in.size() && is_digit(in[length])) {
        if (value == 0 && length > 0) {
            return unexpected(Error(Error::Kind::LeadingZero, position));
        }
        const auto digit = static_cast<uint64_t>(in[length] - '0');
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / 10) {
            return unexpected(Error(Error::Kind::Overflow, position));
        }
        value = value * 10 + digit;
        ++length;
    }
    if (length > 0) {
        in.remove_prefix(length);
        return value;
    }
    if (!in.empty()) {
        return unexpected(Error(Error::Kind::UnexpectedChar, position, first_char(in)));
    }
    return unexpected(Error(Error::Kind::UnexpectedEnd, position));
}

Result<void, Error> dot(std::string_view& in, Position position) {
    if (in.starts_with('.')) {
        in.remove_prefix(1);
        return {};
    }
    if (!in.empty()) {
        return unexpected(Error(Error::Kind::UnexpectedCharAfter, position, first_char(in)));
    }
    return unexpected(Error(Error::Kind::UnexpectedEnd, position));
}

// Dot-separated identifiers of [0-9A-Za-z-], consumed from the front of `in` up to the first
// other character. Empty when `in` starts with such a character other than a dot.
Result<std::string_view, Error> identifiers(std::string_view& in, Position position) {
    size_t accumulated = 0;
    size_t segment = 0;
    bool has_non_digit = false;
    for (;;) {
        const size_t at = accumulated + segment;
        if (at < in.size()) {
            if (is_identifier_letter(in[at])) {
                ++segment;
                has_non_digit = true;
                continue;
            }
            if (is_digit(in[at])) {
                ++segment;
                continue;
            }
        }
        const bool boundary_is_dot = at < in.size() && in[at] == '.';
        if (segment == 0) {
            if (accumulated == 0 && !boundary_is_dot) {
                return std::string_view();
            }
            return unexpected(Error(Error::Kind::EmptySegment, position));
        }
        if (position == Position::Pre && segment > 1 && !has_non_digit && in[accumulated] == '0') {
            return unexpected(Error(Error::Kind::LeadingZero, position));
        }
        accumulated += segment;
        if (!boundary_is_dot) {
            std::string_view taken = in.substr(0, accumulated);
            in.remove_prefix(accumulated);
            return taken;
        }
        accumulated += 1;
        segment = 0;
        has_non_digit = false;
    }
}

bool all_digits(std::string_view text) {
    for (char c : text) {
        if (!is_digit(c)) {
            return false;
        }
    }
    return true;
}

std::string_view next_segment(std::string_view& text) {
    const size_t dot_at = text.find('.');
    std::string_view segment = text.substr(0, dot_at);
    text.remove_prefix(dot_at == std::string_view::npos ? text.size() : dot_at + 1);
    return segment;
}

// Dot-separated identifiers compared one by one: numeric ones by value and, when equal in value,
// by length (only build metadata can have leading zeros); numeric below alphanumeric;
// alphanumeric ones in ASCII order; a list above its own proper prefix. An empty text is one
// empty numeric identifier, below every other.
std::strong_ordering compare_identifiers(std::string_view a, std::string_view b) {
    bool a_done = false;
    bool b_done = false;
    while (!a_done) {
        if (b_done) {
            return std::strong_ordering::greater;
        }
        a_done = a.find('.') == std::string_view::npos;
        b_done = b.find('.') == std::string_view::npos;
        const std::string_view x = next_segment(a);
        const std::string_view y = next_segment(b);
        const bool x_numeric = all_digits(x);
        const bool y_numeric = all_digits(y);
        std::strong_ordering order = std::strong_ordering::equal;
        if (x_numeric && y_numeric) {
            const std::string_view x_value = x.substr(std::min(x.find_first_not_of('0'), x.size()));
            const std::string_view y_value = y.substr(std::min(y.find_first_not_of('0'), y.size()));
            order = x_value.size() <=> y_value.size();
            if (order == 0) {
                order = x_value.compare(y_value) <=> 0;
            }
            if (order == 0) {
                order = x.size() <=> y.size();
            }
        } else if (x_numeric) {
            return std::strong_ordering::less;
        } else if (y_numeric) {
            return std::strong_ordering::greater;
        } else {
            order = x.compare(y) <=> 0;
        }
        if (order != 0) {
            return order;
        }
    }
    return b_done ? std::strong_ordering::equal : std::strong_ordering::less;
}

}  // namespace

std::string Error::to_string() const {
    const std::string_view where = position_text(position_);
    switch (kind_) {
        case Kind::Empty:
            return "empty string, expected a semver version";
        case Kind::UnexpectedEnd:
            return fmt::format("unexpected end of input while parsing {}", where);
        case Kind::LeadingZero:
            return fmt::format("invalid leading zero in {}", where);
        case Kind::Overflow:
            return fmt::format("value of {} exceeds u64::MAX", where);
        case Kind::EmptySegment:
            return fmt::format("empty identifier segment in {}", where);
        case Kind::UnexpectedChar:
            return fmt::format("unexpected character {} while parsing {}", quoted_char(character_),
                               where);
        case Kind::UnexpectedCharAfter:
            return fmt::format("unexpected character {} after {}", quoted_char(character_), where);
    }
    return "invalid semver version";
}

Result<Version, Error> Version::parse(std::string_view text) {
    if (text.empty()) {
        return unexpected(Error(Error::Kind::Empty, Position::Major));
    }
    Version version;
    std::string_view in = text;
    const std::pair<uint64_t*, Position> numbers[] = {{&version.major, Position::Major},
                                                      {&version.minor, Position::Minor},
                                                      {&version.patch, Position::Patch}};
    for (size_t i = 0; i < std::size(numbers); ++i) {
        if (i > 0) {
            if (auto separated = dot(in, numbers[i - 1].second); !separated) {
                return unexpected(std::move(separated.error()));
            }
        }
        auto value = numeric_identifier(in, numbers[i].second);
        if (!value) {
            return unexpected(std::move(value.error()));
        }
        *numbers[i].first = *value;
    }
    Position position = Position::Patch;
    for (auto [sign, part, target] : {std::tuple{'-', Position::Pre, &version.pre},
                                      std::tuple{'+', Position::Build, &version.build}}) {
        if (!in.starts_with(sign)) {
            continue;
        }
        in.remove_prefix(1);
        position = part;
        auto taken = identifiers(in, part);
        if (!taken) {
            return unexpected(std::move(taken.error()));
        }
        if (taken->empty()) {
            return unexpected(Error(Error::Kind::EmptySegment, part));
        }
        *target = std::string(*taken);
    }
    if (!in.empty()) {
        return unexpected(Error(Error::Kind::UnexpectedCharAfter, position, first_char(in)));
    }
    return version;
}

std::strong_ordering Version::operator<=>(const Version& other) const {
    if (auto order = major <=> other.major; order != 0) {
        return order;
    }
    if (auto order = minor <=> other.minor; order != 0) {
        return order;
    }
    if (auto order = patch <=> other.patch; order != 0) {
        return order;
    }
    // A release ranks above its own pre-releases.
    if (pre.empty() != other.pre.empty()) {
        return pre.empty() ? std::strong_ordering::greater : std::strong_ordering::less;
    }
    if (auto order = compare_identifiers(pre, other.pre); order != 0) {
        return order;
    }
    return compare_identifiers(build, other.build);
}

}  // namespace quorvel::semver
