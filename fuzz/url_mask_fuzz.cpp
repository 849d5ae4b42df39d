// Places a fixed password among arbitrary bytes and masks the text every way a URL is shown (the
// typed text, and where it parses the URL value through `mask_url` and the formatter and its
// normalised text), checking that the password shows only where the text itself shows it to
// anyone: after the last "@" of a text that names no network URL with a host, or outside the
// user information of a URL that does. So whatever shape the bytes give the text, a password
// typed before an "@" stays hidden unless the parser reads it as a host, a path or a query.
//
// Input: byte 0 picks where the password goes among the other bytes (modulo their count plus
// one); the rest is the text around it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "util/url.h"

namespace {

constexpr std::string_view kPassword = "s3cr3tPW";

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

size_t count_password(std::string_view text) {
    size_t count = 0;
    for (size_t at = text.find(kPassword); at != std::string_view::npos;
         at = text.find(kPassword, at + kPassword.size())) {
        ++count;
    }
    return count;
}

bool names_network_host(const quorvel::Url& url) {
    const std::string scheme = url.scheme();
    return (scheme == "http" || scheme == "https" || scheme == "file" || scheme == "controller") &&
           url.host_str().has_value();
}

// `shown` is how `text` (typed, or a URL's normalised text) shows.
void check_shown(std::string_view text, const std::string& shown) {
    const std::string read = quorvel::strip_url_input(text);
    const size_t last_at = read.rfind('@');
    if (last_at == std::string::npos) {
        // No "@", no user information, in any reading.
        check(shown == text);
        return;
    }
    const auto url = quorvel::Url::parse(text);
    if (url && names_network_host(*url)) {
        // The password may show outside the user information only: the normalised text holds it
        // once in each of the user name and the password, and once per place elsewhere.
        const std::string& raw = url->raw_text();
        const size_t in_user_info =
            count_password(url->username()) + count_password(url->password().value_or(""));
        check(count_password(shown) + in_user_info <= count_password(raw));
        check(shown == quorvel::mask_url(*url));
        return;
    }
    // Everything before the last "@" is hidden; what is kept before the mask is a scheme, a
    // colon and slashes, which hold no password.
    check(count_password(shown) <= count_password(std::string_view(read).substr(last_at)));
    check(shown.ends_with(std::string_view(read).substr(last_at)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t split = data[0] % (rest.size() + 1);
    std::string text(rest.substr(0, split));
    text += kPassword;
    text += rest.substr(split);

    check_shown(text, quorvel::mask_url_text(text));
    if (const auto url = quorvel::Url::parse(text)) {
        const std::string masked = quorvel::mask_url(*url);
        check(fmt::format("{}", *url) == masked);
        check_shown(url->raw_text(), masked);
        check_shown(url->raw_text(), quorvel::mask_url_text(url->raw_text()));
    }
    return 0;
}
