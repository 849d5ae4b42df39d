// Checks of what a running agent showed (`FirstPass`): whether a line of its log or its status
// report shows a text, and what stands between two markers where an answer it quoted was shown.
#pragma once

#include "agent/first_pass.h"

#include <string>
#include <string_view>
#include <vector>

namespace quorvel::agent::testing {

// Where the first of `texts` stands in the log or the report; empty when none shows.
inline std::string first_showing(const FirstPass& shown, const std::vector<std::string>& texts) {
    for (const std::string& text : texts) {
        if (text.empty()) {
            continue;
        }
        for (const std::string& line : shown.lines) {
            if (line.find(text) != std::string::npos) {
                return "the log shows " + text + ": " + line.substr(0, 4000);
            }
        }
        if (shown.report.find(text) != std::string::npos) {
            return "the report shows " + text + ":\n" + shown.report;
        }
    }
    return {};
}

// Every window of `width` bytes of `text` (the text itself when it is shorter).
inline std::vector<std::string> windows_of(std::string_view text, size_t width) {
    std::vector<std::string> out;
    if (text.size() <= width) {
        out.emplace_back(text);
        return out;
    }
    for (size_t at = 0; at + width <= text.size(); ++at) {
        out.emplace_back(text.substr(at, width));
    }
    return out;
}

// What stands between `open` and the next `close` after it, for each occurrence of `open` in
// `text`.
inline std::vector<std::string> between(std::string_view text, std::string_view open,
                                        std::string_view close) {
    std::vector<std::string> out;
    size_t at = 0;
    while ((at = text.find(open, at)) != std::string_view::npos) {
        const size_t from = at + open.size();
        const size_t to = text.find(close, from);
        if (to == std::string_view::npos) {
            break;
        }
        out.emplace_back(text.substr(from, to - from));
        at = to;
    }
    return out;
}

// The log's lines that hold `part`.
inline std::vector<std::string> lines_holding(const FirstPass& shown, std::string_view part) {
    std::vector<std::string> out;
    for (const std::string& line : shown.lines) {
        if (line.find(part) != std::string::npos) {
            out.push_back(line);
        }
    }
    return out;
}

// The line of the report that starts (after its indent) with `label`, without its end; empty when
// none does.
inline std::string report_line(const std::string& report, std::string_view label) {
    size_t at = 0;
    while (at < report.size()) {
        const size_t end = std::min(report.find('\n', at), report.size());
        std::string_view line(report.data() + at, end - at);
        const size_t first = line.find_first_not_of(' ');
        if (first != std::string_view::npos && line.substr(first).starts_with(label)) {
            return std::string(line);
        }
        at = end + 1;
    }
    return {};
}

}  // namespace quorvel::agent::testing
