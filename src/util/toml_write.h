// A small writer for TOML documents with a fixed layout: plain keys first, then tables and
// arrays of tables in the order they are opened, each preceded by an empty line. Callers decide
// the order; the writer only formats.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "util/result.h"

namespace quorvel {

class TomlWriter {
  public:
    void value(std::string_view key, std::string_view text);
    void value(std::string_view key, const char* text) { value(key, std::string_view(text)); }
    void value(std::string_view key, bool flag);
    void value(std::string_view key, int64_t number);
    // An empty list is written "[]", a non-empty one with one element per line.
    void value(std::string_view key, const std::vector<std::string>& texts);

    // "[name]".
    void table(std::string_view name);
    // "[[name]]": one more element of an array of tables.
    void array_table(std::string_view name);

    // The document; fails when a text is not valid UTF-8, which no TOML reader would accept.
    Result<std::string, std::string> finish() &&;

  private:
    void header(std::string_view text);

    std::string out_;
    bool invalid_utf8_ = false;
};

// A TOML basic string: double quotes, with `"`, `\` and control characters escaped.
std::string toml_quoted(std::string_view text);
// The key as a bare key when it may stand bare, otherwise quoted.
std::string toml_key(std::string_view key);

}  // namespace quorvel
