#include "controller/error.h"

#include "util/debug_text.h"
#include "util/http_status.h"
#include "util/shown_text.h"

namespace quorvel::controller {

namespace {

std::string_view prefix(Error::Kind kind) {
    switch (kind) {
        case Error::Kind::ClientBuildFailed:
            return "Failed to build HTTP client: ";
        case Error::Kind::UriParseFailed:
            return "Failed to parse URI: ";
        case Error::Kind::RequestBuildFailed:
            return "Failed to build HTTP request: ";
        case Error::Kind::RequestFailed:
            return "HTTP request failed: ";
        case Error::Kind::ResponseBodyReadFailed:
            return "Failed to read response body: ";
        case Error::Kind::ResponseBodyUtf8Failed:
            return "Failed to parse response body as UTF-8: ";
        case Error::Kind::ResponseBodyJsonFailed:
            return "Failed to parse response body as JSON: ";
        case Error::Kind::AuthenticationFailed:
            return "Authentication failed: ";
        case Error::Kind::ResponseError:
            return "Controller response error ";
    }
    return "";
}

// Never destroyed: a runtime's thread may still read an error after the process's exit has begun.
const std::string& empty_text() {
    static const std::string* const empty = new std::string();
    return *empty;
}

}  // namespace

std::string_view kind_name(Error::Kind kind) {
    switch (kind) {
        case Error::Kind::ClientBuildFailed:
            return "ClientBuildFailed";
        case Error::Kind::UriParseFailed:
            return "UriParseFailed";
        case Error::Kind::RequestBuildFailed:
            return "RequestBuildFailed";
        case Error::Kind::RequestFailed:
            return "RequestFailed";
        case Error::Kind::ResponseBodyReadFailed:
            return "ResponseBodyReadFailed";
        case Error::Kind::ResponseBodyUtf8Failed:
            return "ResponseBodyUtf8Failed";
        case Error::Kind::ResponseBodyJsonFailed:
            return "ResponseBodyJsonFailed";
        case Error::Kind::AuthenticationFailed:
            return "AuthenticationFailed";
        case Error::Kind::ResponseError:
            return "ResponseError";
    }
    return "";
}

Error::Error(Kind kind, std::string_view text) : kind_(kind), text_(outside_text(text)) {}

const std::string& Error::reason() const {
    return kind_ == Kind::ResponseError ? empty_text() : text_;
}

const std::string& Error::body() const {
    return kind_ == Kind::ResponseError ? text_ : empty_text();
}

std::string Error::to_string() const {
    std::string text(prefix(kind_));
    if (kind_ == Kind::ResponseError) {
        text += http_status_text(status_) + ": ";
    }
    return text + text_;
}

std::string Error::debug() const {
    std::string text(kind_name(kind_));
    if (kind_ == Kind::ResponseError) {
        return text + " { status: " + std::to_string(status_) + ", body: " + debug_quoted(text_) +
               " }";
    }
    return text + " { reason: " + debug_quoted(text_) + " }";
}

}  // namespace quorvel::controller
