#include "util/json_read.h"

#include "util/debug_text.h"
#include "util/shown_text.h"

namespace quorvel {

Result<nlohmann::json, JsonError> parse_json(std::string_view text) {
    try {
        return nlohmann::json::parse(text);
    } catch (const nlohmann::json::exception& e) {
        // The message quotes the text last read, which may be a URL with its password, and
        // which may be as long as the document.
        return unexpected(JsonError(outside_text(e.what())));
    }
}

namespace json_read {

namespace {

// The shortest digits that read back as the same value, always with a decimal point or an
// exponent, so that 1.0 does not show as an integer.
std::string float_text(double value) {
    std::string text = fmt::format("{}", value);
    if (text.find_first_of(".en") == std::string::npos) {
        text += ".0";
    }
    if (auto plus = text.find("e+"); plus != std::string::npos) {
        text.erase(plus + 1, 1);
    }
    return text;
}

}  // namespace

std::string found_text(const nlohmann::json& value) {
    switch (value.type()) {
        case nlohmann::json::value_t::string:
            return "string " + debug_quoted(outside_text(value.get_ref<const std::string&>()));
        case nlohmann::json::value_t::number_integer:
            return fmt::format("integer `{}`", value.get<int64_t>());
        case nlohmann::json::value_t::number_unsigned:
            return fmt::format("integer `{}`", value.get<uint64_t>());
        case nlohmann::json::value_t::number_float:
            return fmt::format("floating point `{}`", float_text(value.get<double>()));
        case nlohmann::json::value_t::boolean:
            return fmt::format("boolean `{}`", value.get<bool>());
        case nlohmann::json::value_t::array:
            return "sequence";
        case nlohmann::json::value_t::object:
            return "map";
        default:
            return "null";
    }
}

JsonError invalid_type(const nlohmann::json& found, std::string_view expected) {
    return JsonError(fmt::format("invalid type: {}, expected {}", found_text(found), expected));
}

Result<std::string, JsonError> read_string(const nlohmann::json& value) {
    if (value.is_string()) {
        return value.get<std::string>();
    }
    return unexpected(invalid_type(value, "a string"));
}

Result<bool, JsonError> read_bool(const nlohmann::json& value) {
    if (value.is_boolean()) {
        return value.get<bool>();
    }
    return unexpected(invalid_type(value, "a boolean"));
}

Result<void, JsonError> Fields::finish() const {
    if (error_) {
        return unexpected(*error_);
    }
    if (missing_) {
        return unexpected(JsonError(fmt::format("missing field `{}`", *missing_)));
    }
    return {};
}

}  // namespace json_read
}  // namespace quorvel
