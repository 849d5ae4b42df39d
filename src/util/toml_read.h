// Reading TOML documents into the system's structures, with the reading messages the system
// shows: "missing field `x`", "invalid type: string \"abc\", expected u16", "invalid value:
// integer `65536`, expected u16". Keys that no structure declares are ignored by construction:
// readers only look up the keys they know.
#pragma once

#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include <fmt/format.h>
#include <toml++/toml.h>

#include "util/result.h"

namespace quorvel {

// A TOML syntax error, or a value that does not fit the structure it is read into. Carries the
// position in the document when one is known.
//
// A syntax error names the kind of fault ("duplicate key", "unterminated string", "invalid
// key-value pair", ...) and quotes no text of the document: the parser's own message quotes keys
// and values, a password among them, in a form no masking can bound. The reading messages quote
// a string value as outside text meant as a URL (`outside_url_text`: bounded, then masked as a URL
// value), and the messages of a value's own parser (`custom`) as outside text (`outside_text`:
// bounded, then the credentials of what was kept masked), once, where they come in.
class TomlError {
  public:
    // `message` as it is: the reader's own words, and what it quotes from the document already
    // taken in through `outside_text`.
    explicit TomlError(std::string message) : TomlError(std::move(message), 0, 0) {}
    TomlError(std::string message, uint32_t line, uint32_t column);

    // Attaches the start of `node` in its document unless a position is already known.
    TomlError& at(const toml::node& node);

    // The message alone, without the position.
    const std::string& message() const { return message_; }
    // 1-based; 0 when unknown.
    uint32_t line() const { return line_; }
    uint32_t column() const { return column_; }

    // The message, followed by " at line L, column C" when the position is known.
    std::string to_string() const;

    bool operator==(const TomlError&) const = default;

  private:
    std::string message_;
    uint32_t line_ = 0;
    uint32_t column_ = 0;
};

// The deepest nesting of tables and arrays a document may have: far beyond any document of the
// system, and shallow enough for the parser's recursion on a 512 KiB thread stack.
inline constexpr size_t kMaxTomlDepth = 128;

// Parses TOML text into its root table. Repeated keys and tables are syntax errors ("duplicate
// key at line 2, column 1"); a document nested deeper than kMaxTomlDepth is refused ("document
// nested deeper than 128 levels") before the parser sees it. Every TOML text from outside goes
// through here.
Result<toml::table, TomlError> parse_toml(std::string_view text);

namespace toml_read {

// What was found, in the form the reading messages show it: `string "abc"`, "integer `5`",
// "floating point `1.5`", "boolean `true`", "sequence", "map".
std::string found_text(const toml::node& node);

TomlError missing_field(std::string_view key, const toml::node& table);
TomlError invalid_type(const toml::node& found, std::string_view expected);
TomlError invalid_value(std::string_view found, std::string_view expected, const toml::node& at);
TomlError custom(std::string message, const toml::node& at);

// The value as a table; otherwise "invalid type: ..., expected " + `expected` (for a structure:
// "struct Name").
Result<const toml::table*, TomlError> expect_table(const toml::node& node,
                                                   std::string_view expected);
Result<const toml::array*, TomlError> expect_sequence(const toml::node& node);

Result<std::string, TomlError> read_string(const toml::node& node);
Result<bool, TomlError> read_bool(const toml::node& node);

template <class T>
constexpr std::string_view integer_type_name() {
    if constexpr (std::is_same_v<T, uint8_t>) {
        return "u8";
    } else if constexpr (std::is_same_v<T, uint16_t>) {
        return "u16";
    } else if constexpr (std::is_same_v<T, uint32_t>) {
        return "u32";
    } else if constexpr (std::is_same_v<T, uint64_t>) {
        return "u64";
    } else if constexpr (std::is_same_v<T, int8_t>) {
        return "i8";
    } else if constexpr (std::is_same_v<T, int16_t>) {
        return "i16";
    } else if constexpr (std::is_same_v<T, int32_t>) {
        return "i32";
    } else {
        static_assert(std::is_same_v<T, int64_t>, "unsupported integer type");
        return "i64";
    }
}

// An integer that must fit `T`; a value out of its range is "invalid value: integer `v`,
// expected u16" (with the type's name).
template <std::integral T>
Result<T, TomlError> read_integer(const toml::node& node) {
    constexpr std::string_view name = integer_type_name<T>();
    auto value = node.value_exact<int64_t>();
    if (!node.is_integer() || !value) {
        return unexpected(invalid_type(node, name));
    }
    if (!std::in_range<T>(*value)) {
        return unexpected(invalid_value(fmt::format("integer `{}`", *value), name, node));
    }
    return static_cast<T>(*value);
}

// A value written as a string and parsed from its text: a non-string is "invalid type: ...,
// expected " + `expecting`; a parser failure shows the parser's message. `parse` takes a
// std::string_view and returns Result<T, std::string>.
template <class Parse>
auto read_from_str(const toml::node& node, std::string_view expecting, Parse&& parse)
    -> Result<typename std::invoke_result_t<Parse, std::string_view>::value_type, TomlError> {
    const auto* text = node.as_string();
    if (text == nullptr) {
        return unexpected(invalid_type(node, expecting));
    }
    auto parsed = parse(std::string_view(text->get()));
    if (!parsed) {
        return unexpected(custom(std::move(parsed.error()), node));
    }
    return std::move(*parsed);
}

// Reads every element of an array with `read` (node -> Result<T, TomlError>) and hands each value
// with its node to `take` ((T&&, const toml::node&) -> Result<void, TomlError>), which may refuse
// it. A non-array is "invalid type: ..., expected a sequence". The first error ends reading.
template <class Read, class Take>
Result<void, TomlError> read_sequence(const toml::node& node, Read&& read, Take&& take) {
    auto array = expect_sequence(node);
    if (!array) {
        return unexpected(std::move(array.error()));
    }
    for (const toml::node& element : **array) {
        auto value = read(element);
        if (!value) {
            return unexpected(std::move(value.error()));
        }
        auto taken = take(std::move(*value), element);
        if (!taken) {
            return unexpected(std::move(taken.error()));
        }
    }
    return {};
}

// Reads the fields of one table. Required fields that are absent are reported only after every
// present field was read, and then the first of them in the order they were asked for. After the
// first error every further call does nothing.
//
//     Fields fields(*table);
//     fields.required("pk", node.pk, read_pub_key);
//     fields.defaulted("groups", node.groups, deserialize_groups);
//     if (auto done = fields.finish(); !done) ...
class Fields {
  public:
    explicit Fields(const toml::table& table) : table_(table) {}

    const toml::node* find(std::string_view key) const { return table_.get(key); }

    template <class T, class Read>
    void required(std::string_view key, T& out, Read&& read) {
        if (error_) {
            return;
        }
        const toml::node* node = find(key);
        if (node == nullptr) {
            if (!missing_) {
                missing_ = std::string(key);
            }
            return;
        }
        store(read(*node), out);
    }

    template <class T, class Read>
    void optional(std::string_view key, std::optional<T>& out, Read&& read) {
        if (error_) {
            return;
        }
        if (const toml::node* node = find(key)) {
            T value{};
            if (store(read(*node), value)) {
                out = std::move(value);
            }
        }
    }

    // An optional field whose absence leaves `out` as it is.
    template <class T, class Read>
    void defaulted(std::string_view key, T& out, Read&& read) {
        if (error_) {
            return;
        }
        if (const toml::node* node = find(key)) {
            store(read(*node), out);
        }
    }

    Result<void, TomlError> finish() const;

  private:
    template <class R, class T>
    bool store(R&& result, T& out) {
        if (!result) {
            error_ = std::move(result.error());
            return false;
        }
        out = std::move(*result);
        return true;
    }

    const toml::table& table_;
    std::optional<TomlError> error_;
    std::optional<std::string> missing_;
};

// Reads a structure from a table: `fill(fields, out)` asks `fields` for each field of `out`. A
// non-table is "invalid type: ..., expected " + `name` (for example "struct Network").
template <class T, class Fill>
Result<T, TomlError> read_struct(const toml::node& node, std::string_view name, Fill&& fill) {
    auto table = expect_table(node, name);
    if (!table) {
        return unexpected(std::move(table.error()));
    }
    T out{};
    Fields fields(**table);
    fill(fields, out);
    if (auto done = fields.finish(); !done) {
        return unexpected(std::move(done.error()));
    }
    return out;
}

}  // namespace toml_read
}  // namespace quorvel

template <>
struct fmt::formatter<quorvel::TomlError> : fmt::formatter<std::string_view> {
    auto format(const quorvel::TomlError& e, format_context& ctx) const {
        return fmt::formatter<std::string_view>::format(e.to_string(), ctx);
    }
};
