#include "util/shown_text.h"

#include <fmt/format.h>

#include "util/debug_text.h"
#include "util/secrets.h"

namespace quorvel {

void append_shown(std::string& out, std::string_view text) {
    if (!secrets::any_known()) {
        append_escaping_controls(out, text);
        return;
    }
    append_escaping_controls(out, secrets::hide(text));
}

std::string shown(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    append_shown(out, text);
    return out;
}

void make_shown(std::string& text) {
    if (secrets::any_known()) {
        secrets::hide_in_place(text);
    }
    if (holds_controls(text)) {
        text = escape_controls(text);
    }
}

std::string bound_outside_text(std::string_view text) {
    if (text.size() <= kOutsideTextBound) {
        return std::string(text);
    }
    size_t kept = kOutsideTextBound;
    // A UTF-8 continuation byte at the cut would split a character.
    for (int back = 0;
         back < 3 && kept > 0 && (static_cast<unsigned char>(text[kept]) & 0xc0) == 0x80; ++back) {
        --kept;
    }
    kept -= secrets::secret_start_at_end(text.substr(0, kept));
    std::string out(text.substr(0, kept));
    out += fmt::format("... [{} bytes left out]", text.size() - kept);
    return out;
}

}  // namespace quorvel
