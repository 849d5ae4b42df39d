#include "agent/status/text_lines.h"

#include "util/shown_text.h"

namespace quorvel::agent {

namespace {

template <class AppendLine>
void for_each_line(std::string& out, std::string_view text, std::string_view prefix,
                   AppendLine append_line) {
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (end != std::string_view::npos && !line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        out += prefix;
        append_line(out, line);
        out += '\n';
    }
}

}  // namespace

void append_lines(std::string& out, std::string_view text, std::string_view prefix) {
    for_each_line(out, text, prefix,
                  [](std::string& to, std::string_view line) { to.append(line); });
}

void append_shown_lines(std::string& out, std::string_view text, std::string_view prefix) {
    for_each_line(out, text, prefix,
                  [](std::string& to, std::string_view line) { append_shown(to, line); });
}

}  // namespace quorvel::agent
