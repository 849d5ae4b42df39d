#include "util/toml_write.h"

#include <fmt/format.h>

#include "util/unicode.h"

namespace quorvel {

std::string toml_quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        switch (ch) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    out += fmt::format("\\u{:04X}", c);
                } else {
                    out.push_back(ch);
                }
        }
    }
    out.push_back('"');
    return out;
}

std::string toml_key(std::string_view key) {
    bool bare = !key.empty();
    for (char c : key) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '_' || c == '-')) {
            bare = false;
            break;
        }
    }
    return bare ? std::string(key) : toml_quoted(key);
}

void TomlWriter::value(std::string_view key, std::string_view text) {
    invalid_utf8_ = invalid_utf8_ || !is_valid_utf8(text);
    out_ += toml_key(key) + " = " + toml_quoted(text) + "\n";
}

void TomlWriter::value(std::string_view key, bool flag) {
    out_ += toml_key(key) + (flag ? " = true\n" : " = false\n");
}

void TomlWriter::value(std::string_view key, int64_t number) {
    out_ += fmt::format("{} = {}\n", toml_key(key), number);
}

void TomlWriter::value(std::string_view key, const std::vector<std::string>& texts) {
    if (texts.empty()) {
        out_ += toml_key(key) + " = []\n";
        return;
    }
    out_ += toml_key(key) + " = [\n";
    for (const auto& text : texts) {
        invalid_utf8_ = invalid_utf8_ || !is_valid_utf8(text);
        out_ += "    " + toml_quoted(text) + ",\n";
    }
    out_ += "]\n";
}

void TomlWriter::header(std::string_view text) {
    if (!out_.empty()) {
        out_ += "\n";
    }
    out_ += text;
    out_ += "\n";
}

void TomlWriter::table(std::string_view name) {
    header(fmt::format("[{}]", toml_key(name)));
}

void TomlWriter::array_table(std::string_view name) {
    header(fmt::format("[[{}]]", toml_key(name)));
}

Result<std::string, std::string> TomlWriter::finish() && {
    if (invalid_utf8_) {
        return unexpected(std::string("a string value is not valid UTF-8"));
    }
    return std::move(out_);
}

}  // namespace quorvel
