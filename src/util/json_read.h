// Reading JSON answers of outside services into the system's structures, with the same reading
// messages as the configuration files: "missing field `x`", "invalid type: string \"abc\",
// expected u16", "invalid value: integer `65536`, expected u16". Keys that a structure does not
// declare are ignored.
#pragma once

#include <concepts>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "util/result.h"
#include "util/toml_read.h"

namespace quorvel {

// A JSON syntax error, or a value that does not fit the structure it is read into.
class JsonError {
  public:
    explicit JsonError(std::string message) : message_(std::move(message)) {}
    const std::string& message() const { return message_; }
    const std::string& to_string() const { return message_; }
    bool operator==(const JsonError&) const = default;

  private:
    std::string message_;
};

// Parses one JSON document; invalid UTF-8 inside strings is a syntax error. The error shows the
// library's message as outside text (`outside_text`), since it quotes the document.
Result<nlohmann::json, JsonError> parse_json(std::string_view text);

namespace json_read {

// What was found, as the reading messages show it: `string "abc"`, "integer `5`",
// "floating point `1.5`", "boolean `true`", "null", "sequence", "map". A string is taken in as
// outside text (`outside_text`: bounded, then masked) before it is quoted.
std::string found_text(const nlohmann::json& value);

JsonError invalid_type(const nlohmann::json& found, std::string_view expected);

Result<std::string, JsonError> read_string(const nlohmann::json& value);
Result<bool, JsonError> read_bool(const nlohmann::json& value);

// An integer that must fit `T`; one out of its range is "invalid value: integer `v`, expected u16"
// (with the type's name), a fraction or another kind of value "invalid type: ...".
template <std::integral T>
Result<T, JsonError> read_integer(const nlohmann::json& value) {
    constexpr std::string_view name = toml_read::integer_type_name<T>();
    if (value.is_number_unsigned()) {
        const auto number = value.get<uint64_t>();
        if (std::in_range<T>(number)) {
            return static_cast<T>(number);
        }
        return unexpected(
            JsonError(fmt::format("invalid value: integer `{}`, expected {}", number, name)));
    }
    if (value.is_number_integer()) {
        const auto number = value.get<int64_t>();
        if (std::in_range<T>(number)) {
            return static_cast<T>(number);
        }
        return unexpected(
            JsonError(fmt::format("invalid value: integer `{}`, expected {}", number, name)));
    }
    return unexpected(invalid_type(value, name));
}

// Reads the fields of one object. Absent required fields are reported once every present field
// was read, the first of them in the order they were asked for; after the first error every
// further call does nothing.
class Fields {
  public:
    explicit Fields(const nlohmann::json& object) : object_(object) {}

    template <class T, class Read>
    void required(std::string_view key, T& out, Read&& read) {
        if (error_) {
            return;
        }
        const auto found = object_.find(key);
        if (found == object_.end()) {
            if (!missing_) {
                missing_ = std::string(key);
            }
            return;
        }
        auto value = read(*found);
        if (!value) {
            error_ = std::move(value.error());
            return;
        }
        out = std::move(*value);
    }

    Result<void, JsonError> finish() const;

  private:
    const nlohmann::json& object_;
    std::optional<JsonError> error_;
    std::optional<std::string> missing_;
};

// Reads a structure from an object: `fill(fields, out)` asks `fields` for each field of `out`. A
// non-object is "invalid type: ..., expected " + `name` (for example "struct Name").
template <class T, class Fill>
Result<T, JsonError> read_struct(const nlohmann::json& value, std::string_view name, Fill&& fill) {
    if (!value.is_object()) {
        return unexpected(invalid_type(value, name));
    }
    T out{};
    Fields fields(value);
    fill(fields, out);
    if (auto done = fields.finish(); !done) {
        return unexpected(std::move(done.error()));
    }
    return out;
}

// Parses `text` and reads a structure from it with `read_struct`.
template <class T, class Fill>
Result<T, JsonError> read_struct_from_text(std::string_view text, std::string_view name,
                                           Fill&& fill) {
    auto document = parse_json(text);
    if (!document) {
        return unexpected(std::move(document.error()));
    }
    return read_struct<T>(*document, name, std::forward<Fill>(fill));
}

}  // namespace json_read
}  // namespace quorvel

template <>
struct fmt::formatter<quorvel::JsonError> : fmt::formatter<std::string_view> {
    auto format(const quorvel::JsonError& e, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(e.message(), ctx);
    }
};
