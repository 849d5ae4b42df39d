#include "agent/status/text_lines.h"

namespace quorvel::agent {

void append_lines(std::string& out, std::string_view text, std::string_view prefix) {
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (end != std::string_view::npos && !line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        out += prefix;
        out += line;
        out += '\n';
    }
}

}  // namespace quorvel::agent
