#include "util/toml_read.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <vector>

#include "util/debug_text.h"
#include "util/shown_text.h"

namespace quorvel {

TomlError::TomlError(std::string message, uint32_t line, uint32_t column)
    : message_(std::move(message)), line_(line), column_(column) {}

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

namespace {

// Finds where a document nests tables and arrays deeper than `max_depth`, from its text alone.
// Reading is lexical (strings and comments are skipped, dots count only inside keys), so it also
// bounds documents that are malformed further on, whose partial tree the parser releases as
// recursively as a whole one. A table header or a dotted key counts one level per key part, an
// array of tables one more, an inline table or array one per bracket; once arrays of tables
// appear, a header part counts two.
class NestingScanner {
  public:
    NestingScanner(std::string_view text, size_t max_depth) : text_(text), max_depth_(max_depth) {}

    std::optional<TomlError> run() {
        while (i_ < text_.size() && !error_) {
            step();
        }
        return error_;
    }

  private:
    struct Frame {
        bool table;
        // The depth of the table or array itself.
        size_t depth;
    };

    char at(size_t offset) const { return i_ + offset < text_.size() ? text_[i_ + offset] : '\0'; }

    void advance() {
        if (text_[i_] == '\n') {
            ++line_;
            line_start_ = i_ + 1;
        }
        ++i_;
    }

    void check(size_t depth, size_t where) {
        if (depth > max_depth_ && !error_) {
            error_.emplace(fmt::format("document nested deeper than {} levels", max_depth_), line_,
                           static_cast<uint32_t>(where - line_start_ + 1));
        }
    }

    // The depth keys of the innermost open table start from.
    size_t key_base() const { return frames_.empty() ? header_ : frames_.back().depth; }

    void skip_string() {
        const char quote = text_[i_];
        const bool escapes = quote == '"';
        if (at(1) == quote && at(2) == quote) {
            i_ += 3;
            while (i_ < text_.size()) {
                if (escapes && text_[i_] == '\\') {
                    advance();
                    if (i_ < text_.size()) {
                        advance();
                    }
                } else if (text_[i_] == quote && at(1) == quote && at(2) == quote) {
                    // Up to two quotes of the content may stand right before the closing three.
                    for (int n = 0; n < 5 && i_ < text_.size() && text_[i_] == quote; ++n) {
                        ++i_;
                    }
                    return;
                } else {
                    advance();
                }
            }
            return;
        }
        ++i_;
        while (i_ < text_.size() && text_[i_] != '\n') {
            if (escapes && text_[i_] == '\\') {
                ++i_;
                if (i_ < text_.size() && text_[i_] != '\n') {
                    ++i_;
                }
            } else if (text_[i_++] == quote) {
                return;
            }
        }
    }

    void table_header() {
        const size_t start = i_;
        const bool array_of_tables = at(1) == '[';
        i_ += array_of_tables ? 2 : 1;
        size_t parts = 1;
        while (i_ < text_.size() && text_[i_] != ']' && text_[i_] != '\n') {
            if (text_[i_] == '"' || text_[i_] == '\'') {
                skip_string();
                continue;
            }
            if (text_[i_] == '.') {
                ++parts;
            }
            ++i_;
        }
        // Once the document has an array of tables, any part of a header may name one, which
        // puts its last table between that part and the next: two levels per part.
        arrays_of_tables_ = arrays_of_tables_ || array_of_tables;
        header_ = parts * (arrays_of_tables_ ? 2 : 1) + (array_of_tables ? 1 : 0);
        check(header_, start);
        in_key_ = false;
    }

    void step() {
        const char c = text_[i_];
        switch (c) {
            case '\n':
                advance();
                if (frames_.empty()) {
                    in_key_ = true;
                    key_parts_ = 0;
                }
                return;
            case '#':
                while (i_ < text_.size() && text_[i_] != '\n') {
                    ++i_;
                }
                return;
            case '"':
            case '\'':
                if (in_key_ && key_parts_ == 0) {
                    key_parts_ = 1;
                }
                skip_string();
                return;
            case '.':
                if (in_key_) {
                    ++key_parts_;
                    check(key_base() + key_parts_, i_);
                }
                break;
            case '=':
                if (in_key_) {
                    value_depth_ = key_base() + std::max<size_t>(key_parts_, 1);
                    check(value_depth_, i_);
                    in_key_ = false;
                    key_parts_ = 0;
                }
                break;
            case '[':
                if (frames_.empty() && in_key_ && key_parts_ == 0) {
                    table_header();
                    return;
                }
                open(false);
                break;
            case '{':
                open(true);
                break;
            case ',':
                if (!frames_.empty()) {
                    if (frames_.back().table) {
                        in_key_ = true;
                        key_parts_ = 0;
                    } else {
                        value_depth_ = frames_.back().depth + 1;
                    }
                }
                break;
            case ']':
            case '}':
                if (!frames_.empty()) {
                    frames_.pop_back();
                }
                in_key_ = false;
                if (!frames_.empty() && !frames_.back().table) {
                    value_depth_ = frames_.back().depth + 1;
                }
                break;
            case ' ':
            case '\t':
            case '\r':
                break;
            default:
                if (in_key_ && key_parts_ == 0) {
                    key_parts_ = 1;
                }
                break;
        }
        ++i_;
    }

    void open(bool table) {
        const size_t depth = in_key_ ? key_base() + std::max<size_t>(key_parts_, 1) : value_depth_;
        check(depth, i_);
        frames_.push_back(Frame{table, depth});
        if (table) {
            in_key_ = true;
            key_parts_ = 0;
        } else {
            in_key_ = false;
            value_depth_ = depth + 1;
        }
    }

    std::string_view text_;
    const size_t max_depth_;
    size_t i_ = 0;
    uint32_t line_ = 1;
    size_t line_start_ = 0;
    std::optional<TomlError> error_;

    std::vector<Frame> frames_;
    size_t header_ = 0;
    bool arrays_of_tables_ = false;
    bool in_key_ = true;
    size_t key_parts_ = 0;
    size_t value_depth_ = 0;
};

}  // namespace

namespace {

// Whether a line break stands at `line` and `column` (1-based, in characters) of `document`.
bool line_break_at(std::string_view document, uint32_t line, uint32_t column) {
    size_t i = 0;
    for (uint32_t n = 1; n < line; ++n) {
        i = document.find('\n', i);
        if (i == std::string_view::npos) {
            return false;
        }
        ++i;
    }
    for (uint32_t n = 1; n < column && i < document.size(); ++n) {
        // On past the character and its continuation bytes.
        for (++i; i < document.size() && (static_cast<unsigned char>(document[i]) & 0xc0) == 0x80;
             ++i) {
        }
    }
    return i < document.size() && (document[i] == '\n' || document[i] == '\r');
}

// What the parser's message says, in words of our own. The parser quotes keys, values and the
// character it met, any of which may be a password, and no masking can tell where a quoted stretch
// that holds blanks or quotes ends: a message names the kind of fault alone, and its line and
// column say where it is. The parser's message is "Error while parsing SCOPE: TEXT", where SCOPE
// and the start of TEXT are the parser's own words; anything it quotes comes later.
std::string parse_fault(std::string_view description, std::string_view document,
                        const toml::source_position& at) {
    constexpr std::string_view kLead = "Error while parsing ";
    // Scopes as the parser names them; a scope not listed here reads as the whole document.
    constexpr std::string_view kScopes[] = {
        "key-value pair",
        "table header",
        "inline table",
        "array",
        "root table",
        "key",
        "value",
        "string",
        "literal string",
        "comment",
        "boolean",
        "floating-point",
        "hexadecimal floating-point",
        "binary integer",
        "octal integer",
        "decimal integer",
        "hexadecimal integer",
        "date",
        "time",
        "date-time",
        "date-time offset",
        "unicode scalar sequence",
    };
    struct Fault {
        std::string_view starts;
        std::string_view message;
    };
    constexpr Fault kFaults[] = {
        {"cannot redefine existing", "duplicate key"},
        {"cannot insert", "key added to an inline table after its definition"},
        {"expected '='", "expected `=` after a key"},
        {"unescaped control character", "unescaped control character"},
        {"control characters", "unescaped control character"},
        {"unexpected control character", "unescaped control character"},
        {"unknown escape sequence", "invalid escape sequence"},
        {"escape sequence", "invalid escape sequence"},
        {"exceeded maximum nested value depth", "document nested too deeply"},
        {"could not determine value type", "invalid value"},
    };
    if (!description.starts_with(kLead)) {
        return description.starts_with("Encountered invalid utf-8") ? "invalid UTF-8"
                                                                    : "invalid TOML";
    }
    std::string_view rest = description.substr(kLead.size());
    std::string_view scope;
    for (const std::string_view known : kScopes) {
        if (rest.starts_with(known) && rest.substr(known.size()).starts_with(": ")) {
            scope = known;
            break;
        }
    }
    if (scope.empty()) {
        return "invalid TOML";
    }
    rest.remove_prefix(scope.size() + 2);
    const bool string = scope == "string" || scope == "literal string";
    // A one-line string that a line break ends is a control character to the parser.
    if (rest.starts_with("encountered end-of-file") ||
        (string && line_break_at(document, at.line, at.column))) {
        return string ? "unterminated string" : "unexpected end of document";
    }
    for (const Fault& fault : kFaults) {
        if (rest.starts_with(fault.starts)) {
            return std::string(fault.message);
        }
    }
    return "invalid " + std::string(scope);
}

}  // namespace

Result<toml::table, TomlError> parse_toml(std::string_view text) {
    // The parser recurses once per level while it builds, finishes and releases a document, so a
    // few kilobytes of nesting would exhaust the stack of a small thread.
    if (auto too_deep = NestingScanner(text, kMaxTomlDepth).run()) {
        return unexpected(std::move(*too_deep));
    }
    try {
        return toml::parse(text);
    } catch (const toml::parse_error& e) {
        const auto& begin = e.source().begin;
        return unexpected(
            TomlError(parse_fault(e.description(), text, begin), begin.line, begin.column));
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
            // A misplaced URL (a network written as a bare string) must not bring its
            // credentials into the message, nor a long value its length.
            return "string " + debug_quoted(outside_url_text(node.as_string()->get()));
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
    return TomlError(outside_text(message)).at(at);
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
