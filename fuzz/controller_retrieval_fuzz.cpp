// Feeds arbitrary bytes down the retrieval's document path: the body of an HTTP answer decoded by
// a declared charset (chosen by the first byte), then parsed and validated as a network document.
// Every input must end in a document or an error; the decoded text is always valid UTF-8.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "network/config/network_config.h"
#include "util/http_client.h"
#include "util/unicode.h"

namespace {
constexpr std::array<const char*, 8> kContentTypes = {
    "",
    "text/plain",
    "application/toml; charset=utf-8",
    "text/plain; charset=ISO-8859-1",
    "text/plain; charset=\"windows-1252\"",
    "text/plain; charset=utf-16le",
    "text/plain; charset=shift_jis",
    "text/plain; charset=no-such-charset",
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    quorvel::HttpResponse response;
    response.status = 200;
    const char* content_type = kContentTypes[data[0] % kContentTypes.size()];
    if (content_type[0] != '\0') {
        response.headers.emplace_back("Content-Type", content_type);
    }
    response.body.assign(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string text = quorvel::response_text(response);
    if (!quorvel::is_valid_utf8(text)) {
        __builtin_trap();
    }
    auto config = quorvel::network::NetworkConfig::try_from(text);
    if (!config) {
        (void)config.error().to_string();
    }
    return 0;
}
