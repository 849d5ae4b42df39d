#include "util/toml_read.h"

#include <cmath>

#include "util/debug_text.h"

namespace quorvel {

TomlError& TomlError::at(const toml::node& node) {
    const auto& begin = node.source().begin;
    if (line_ == 0 && begin.line != 0) {
        line_ = begin.line;
        column_ = begin.column;
    }
    return *this;
}

std::string TomlError::to_string() const {
    if (line_ == 0) {
        return message_;
    }
    return fmt::format("{} at line {}, column {}", message_, line_, column_);
}

Result<toml::table, TomlError> parse_toml(std::string_view text) {
    try {
        return toml::parse(text);
    } catch (const toml::parse_error& e) {
        const auto& begin = e.source().begin;
        return unexpected(TomlError(std::string(e.description()), begin.line, begin.column));
    }
}

namespace toml_read {

namespace {

// A floating-point number in plain decimal notation, never with an exponent (1e20 shows as
// 100000000000000000000.0), and always with a decimal point, so that 1.0 does not read as an
// integer.
std::string float_text(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    // The shortest digits that read back as the same value, possibly with an exponent.
    std::string text = fmt::format("{}", value);
    if (auto e = text.find('e'); e != std::string::npos) {
        const int exponent = std::stoi(text.substr(e + 1));
        std::string mantissa = text.substr(0, e);
        const bool negative = mantissa.starts_with('-');
        if (negative) {
            mantissa.erase(0, 1);
        }
        const auto dot = mantissa.find('.');
        std::string digits = mantissa;
        if (dot != std::string::npos) {
            digits.erase(dot, 1);
        }
        const long point =
            static_cast<long>(dot == std::string::npos ? mantissa.size() : dot) + exponent;
        if (point <= 0) {
            text = "0." + std::string(static_cast<size_t>(-point), '0') + digits;
        } else if (static_cast<size_t>(point) >= digits.size()) {
            text = digits + std::string(static_cast<size_t>(point) - digits.size(), '0');
        } else {
            text = digits.substr(0, static_cast<size_t>(point)) + "." +
                   digits.substr(static_cast<size_t>(point));
        }
        if (negative) {
            text.insert(0, 1, '-');
        }
    }
    if (text.find('.') == std::string::npos) {
        text += ".0";
    }
    return text;
}

}  // namespace

std::string found_text(const toml::node& node) {
    switch (node.type()) {
        case toml::node_type::string:
            return "string " + debug_quoted(node.as_string()->get());
        case toml::node_type::integer:
            return fmt::format("integer `{}`", node.as_integer()->get());
        case toml::node_type::floating_point:
            return fmt::format("floating point `{}`", float_text(node.as_floating_point()->get()));
        case toml::node_type::boolean:
            return fmt::format("boolean `{}`", node.as_boolean()->get());
        case toml::node_type::array:
            return "sequence";
        default:
            // Tables, and the dates and times, which reach a structure as maps.
            return "map";
    }
}

TomlError missing_field(std::string_view key, const toml::node& table) {
    return TomlError(fmt::format("missing field `{}`", key)).at(table);
}

TomlError invalid_type(const toml::node& found, std::string_view expected) {
    return TomlError(fmt::format("invalid type: {}, expected {}", found_text(found), expected))
        .at(found);
}

TomlError invalid_value(std::string_view found, std::string_view expected, const toml::node& at) {
    return TomlError(fmt::format("invalid value: {}, expected {}", found, expected)).at(at);
}

TomlError custom(std::string message, const toml::node& at) {
    return TomlError(std::move(message)).at(at);
}

Result<const toml::table*, TomlError> expect_table(const toml::node& node,
                                                   std::string_view expected) {
    if (const auto* table = node.as_table()) {
        return table;
    }
    return unexpected(invalid_type(node, expected));
}

Result<const toml::array*, TomlError> expect_sequence(const toml::node& node) {
    if (const auto* array = node.as_array()) {
        return array;
    }
    return unexpected(invalid_type(node, "a sequence"));
}

Result<std::string, TomlError> read_string(const toml::node& node) {
    if (const auto* text = node.as_string()) {
        return text->get();
    }
    return unexpected(invalid_type(node, "a string"));
}

Result<bool, TomlError> read_bool(const toml::node& node) {
    if (const auto* flag = node.as_boolean()) {
        return flag->get();
    }
    return unexpected(invalid_type(node, "a boolean"));
}

Result<void, TomlError> Fields::finish() const {
    if (error_) {
        return unexpected(*error_);
    }
    if (missing_) {
        return unexpected(missing_field(*missing_, table_));
    }
    return {};
}

}  // namespace toml_read
}  // namespace quorvel
