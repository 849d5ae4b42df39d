#include "util/http_client.h"

#include "util/http_status.h"
#include "util/secrets.h"
#include "util/shown_text.h"
#include "util/unicode.h"
#include "util/url.h"
#include "util/wakeup.h"

#include <curl/curl.h>
#include <openssl/crypto.h>
#include <unicode/ucnv.h>
#include <unicode/ustring.h>

#include <strings.h>

#include <algorithm>
#include <charconv>
#include <chrono>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace quorvel {

namespace {

// OpenSSL, libcurl's TLS library, frees its global state in an exit handler of its own, unless
// its first initialisation asks it not to. That handler would run while the threads of the
// runtimes that the exit leaves running still use the state (a client setting up a connection
// loads its trusted roots through it), so OpenSSL is initialised without it before libcurl
// initialises it. Nothing else in the process then frees that state: the process's end takes it.
// Where the process initialised OpenSSL earlier, its own choice stands.
void keep_tls_state_until_the_end() {
    (void)OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
}

}  // namespace

bool http_client_global_init() {
    // libcurl's global set-up is not thread-safe; done once.
    static const bool ready = [] {
        keep_tls_state_until_the_end();
        return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    }();
    return ready;
}

namespace {

struct Transfer {
    HttpRequest request;
    CURL* easy = nullptr;
    curl_slist* header_list = nullptr;
    char error_buffer[CURL_ERROR_SIZE] = {};

    // Written by the client's thread until `done`, read by the awaiting coroutine afterwards.
    HttpResponse response;
    // Where the answer's Location header points, absolute; empty when nowhere.
    std::string redirect_url;
    std::optional<HttpError> error;
    // Body cap of this transfer; set when the body went past it.
    std::optional<size_t> max_body;
    bool too_large = false;
    // The head of a final (non-interim) response has arrived: later failures are body failures.
    bool head_done = false;
    // The client follows a redirect answer of this transfer.
    bool follows = false;
    // The transfer ended at the final head on purpose: its body is not wanted.
    bool stopped_at_head = false;

    std::mutex mutex;
    bool done = false;
    std::shared_ptr<detail::Wakeup> wakeup;

    ~Transfer() {
        if (easy != nullptr) {
            curl_easy_cleanup(easy);
        }
        if (header_list != nullptr) {
            curl_slist_free_all(header_list);
        }
    }

    // Waking under the lock means this thread never holds the wake-up, which belongs to the
    // runtime, past the moment the awaiting side lets go of it.
    void finish(std::optional<HttpError> failure) {
        std::lock_guard lock(mutex);
        if (done) {
            return;
        }
        done = true;
        error = std::move(failure);
        if (wakeup) {
            wakeup->wake();
        }
    }
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t length = size * count;
    if (transfer->max_body && length > *transfer->max_body - transfer->response.body.size()) {
        // Returning less than given makes libcurl abort the transfer.
        transfer->too_large = true;
        return 0;
    }
    transfer->response.body.append(data, length);
    return length;
}

// The redirects that the client follows; any other 3xx is a final answer.
bool is_followed_redirect(long status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The final head declares a body longer than the cap: refused before any of it arrives, but only
// once the status has been judged. The answers that carry no body declare nothing.
bool declares_too_much(const Transfer& transfer, long status) {
    if (!transfer.max_body || transfer.request.method == "HEAD" || status == 204 || status == 304) {
        return false;
    }
    for (const auto& [name, value] : transfer.response.headers) {
        if (strcasecmp(name.c_str(), "content-length") != 0) {
            continue;
        }
        uint64_t length = 0;
        auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), length);
        if (error == std::errc::result_out_of_range ||
            (error == std::errc() && length > *transfer.max_body)) {
            return true;
        }
    }
    return false;
}

size_t on_header(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    std::string_view line(data, size * count);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.remove_suffix(1);
    }
    if (line.starts_with("HTTP/")) {
        // A new response (after a redirect or an interim 1xx): keep only the last one's headers.
        transfer->response.headers.clear();
        transfer->head_done = false;
        return size * count;
    }
    if (line.empty()) {
        long status = 0;
        curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
        if (status < 200) {
            return size * count;
        }
        const bool followed =
            transfer->follows && is_followed_redirect(status) &&
            std::any_of(transfer->response.headers.begin(), transfer->response.headers.end(),
                        [](const auto& header) {
                            return strcasecmp(header.first.c_str(), "location") == 0;
                        });
        const bool unwanted_body = transfer->request.skip_failure_body &&
                                   !http_status_is_success(static_cast<uint16_t>(status));
        if (followed || unwanted_body) {
            // Returning less than given ends the transfer here, before any of the body.
            transfer->stopped_at_head = true;
            return 0;
        }
        transfer->head_done = true;
        if (declares_too_much(*transfer, status)) {
            transfer->too_large = true;
            return 0;
        }
        return size * count;
    }
    auto colon = line.find(':');
    if (colon != std::string_view::npos) {
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) {
            value.remove_prefix(1);
        }
        transfer->response.headers.emplace_back(std::string(line.substr(0, colon)),
                                                std::string(value));
    }
    return size * count;
}

// "error sending request for url (URL): " or "error reading response body for url (URL): ", the
// URL's user information masked. After a redirect the URL is a server's Location, text from
// outside: it is taken in as a URL value (`outside_url_text`: cut to the bound, then masked).
std::string failure_prefix(bool in_body, const std::string& url) {
    return std::string(in_body ? "error reading response body" : "error sending request") +
           " for url (" + outside_url_text(url) + "): ";
}

// The absolute URL that the Location header of a response to `base` names, resolved as libcurl
// resolves a redirect; empty when there is no such header or it does not resolve.
std::string location_target(const std::string& base, const HttpHeaders& headers) {
    auto location = std::find_if(headers.begin(), headers.end(), [](const auto& header) {
        return strcasecmp(header.first.c_str(), "location") == 0;
    });
    if (location == headers.end() || location->second.empty()) {
        return {};
    }
    std::string target;
    if (CURLU* url = curl_url()) {
        char* text = nullptr;
        if (curl_url_set(url, CURLUPART_URL, base.c_str(), 0) == CURLUE_OK &&
            curl_url_set(url, CURLUPART_URL, location->second.c_str(),
                         CURLU_URLENCODE | CURLU_ALLOW_SPACE) == CURLUE_OK &&
            curl_url_get(url, CURLUPART_URL, &text, 0) == CURLUE_OK) {
            target = text;
            curl_free(text);
        }
        curl_url_cleanup(url);
    }
    return target;
}

// libcurl's text from its error buffer. libcurl cuts a longer text to fit the buffer, and the cut
// may fall inside a password it quotes: the first bytes of a known secret at the end are cut off
// too, and the cut is marked.
std::string curl_error_text(const char (&buffer)[CURL_ERROR_SIZE]) {
    std::string text(buffer, strnlen(buffer, CURL_ERROR_SIZE));
    if (text.size() + 1 < CURL_ERROR_SIZE) {
        return text;
    }
    text.resize(secrets::cut_before_secrets(text, text.size(), /*complete=*/false));
    return text + "...";
}

// A proxy variable as libcurl reads it: one that is set but empty counts as unset.
const char* proxy_variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : nullptr;
}

// The scheme of `url` as libcurl reads it for the transfer, lower case: a URL without one is
// guessed from its host as libcurl guesses it ("http" mostly). Empty when the URL does not parse,
// which fails the transfer before any proxy is used.
std::string scheme_of(const std::string& url) {
    std::string scheme;
    if (CURLU* parsed = curl_url()) {
        char* text = nullptr;
        if (curl_url_set(parsed, CURLUPART_URL, url.c_str(),
                         CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK &&
            curl_url_get(parsed, CURLUPART_SCHEME, &text, 0) == CURLUE_OK) {
            scheme = text;
            curl_free(text);
        }
        curl_url_cleanup(parsed);
    }
    return scheme;
}

}  // namespace

std::string proxy_setting_for(const std::string& url) {
    const std::string scheme = scheme_of(url);
    const char* value = nullptr;
    if (scheme == "http") {
        // Never "HTTP_PROXY": a CGI server sets it from a request's "Proxy:" header.
        value = proxy_variable("http_proxy");
    } else if (scheme == "https") {
        value = proxy_variable("https_proxy");
        if (value == nullptr) {
            value = proxy_variable("HTTPS_PROXY");
        }
    }
    if (value == nullptr) {
        value = proxy_variable("all_proxy");
    }
    if (value == nullptr) {
        value = proxy_variable("ALL_PROXY");
    }
    return value != nullptr ? std::string(value) : std::string();
}

namespace {

HttpError error_for(CURLcode code, const Transfer& transfer) {
    if (transfer.too_large) {
        return HttpError{HttpError::Kind::BodyTooLarge,
                         failure_prefix(true, transfer.request.url) + "body exceeds the limit of " +
                             std::to_string(transfer.max_body.value_or(0)) + " bytes",
                         true};
    }
    // libcurl's text quotes what it was given, a proxy setting with its password for one.
    std::string detail =
        outside_text(transfer.error_buffer[0] != '\0' ? curl_error_text(transfer.error_buffer)
                                                      : std::string(curl_easy_strerror(code)));
    HttpError::Kind kind = HttpError::Kind::Request;
    if (code == CURLE_OPERATION_TIMEDOUT) {
        kind = HttpError::Kind::Timeout;
    } else if (code == CURLE_TOO_MANY_REDIRECTS) {
        kind = HttpError::Kind::Redirect;
    }
    return HttpError{kind, failure_prefix(transfer.head_done, transfer.request.url) + detail,
                     transfer.head_done};
}

}  // namespace

class HttpClient::Inner {
  public:
    explicit Inner(HttpClientOptions options) : options_(std::move(options)) {}

    ~Inner() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        if (thread_.joinable()) {
            curl_multi_wakeup(multi_);
            thread_.join();
        }
        if (multi_ != nullptr) {
            curl_multi_cleanup(multi_);
        }
    }

    bool init() {
        if (!http_client_global_init()) {
            return false;
        }
        multi_ = curl_multi_init();
        return multi_ != nullptr;
    }

    const HttpClientOptions& options() const { return options_; }

    // `follows`: the client follows a redirect answer; `timeout`: what is left of the request's
    // time. libcurl itself never follows a redirect.
    std::optional<HttpError> prepare(Transfer& transfer, bool follows,
                                     std::optional<std::chrono::milliseconds> timeout) const {
        transfer.easy = curl_easy_init();
        if (transfer.easy == nullptr) {
            return HttpError{HttpError::Kind::Builder, "failed to create a transfer handle"};
        }
        CURL* easy = transfer.easy;
        const HttpRequest& request = transfer.request;
        curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
        // The proxy in effect is the one the agent read and knows the secrets of: libcurl gets it
        // from here and reads no proxy variable itself (an empty setting means none), so a
        // variable the host sets after start cannot bring in a password the agent never saw.
        // "no_proxy" is still read by libcurl.
        // libcurl keeps its own copy of the text.
        const std::string proxy = proxy_setting_for(request.url);
        secrets::remember_proxy_setting(proxy);
        curl_easy_setopt(easy, CURLOPT_PROXY, proxy.c_str());
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer.error_buffer);
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &on_body);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &on_header);
        curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer);
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, nullptr);
        transfer.follows = follows;
        if (timeout) {
            curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS,
                             std::max(1L, static_cast<long>(timeout->count())));
        }
        transfer.max_body = options_.max_body_bytes;
        if (options_.root_certificates_pem) {
            curl_blob blob{const_cast<char*>(options_.root_certificates_pem->data()),
                           options_.root_certificates_pem->size(), CURL_BLOB_COPY};
            curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
        }
        if (options_.pool_max_idle_per_host && *options_.pool_max_idle_per_host == 0) {
            curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
        }
        bool has_accept = false;
        for (const auto& [name, value] : request.headers) {
            has_accept = has_accept || strcasecmp(name.c_str(), "accept") == 0;
            std::string line = name + ": " + value;
            curl_slist* next = curl_slist_append(transfer.header_list, line.c_str());
            if (next == nullptr) {
                return HttpError{HttpError::Kind::Builder, "failed to add a request header"};
            }
            transfer.header_list = next;
        }
        if (!has_accept) {
            transfer.header_list = curl_slist_append(transfer.header_list, "Accept: */*");
        }
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, transfer.header_list);
        if (request.method == "GET") {
            curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        } else if (request.method == "HEAD") {
            curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        } else {
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.c_str());
        }
        if (request.body) {
            curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                             static_cast<curl_off_t>(request.body->size()));
            curl_easy_setopt(easy, CURLOPT_POSTFIELDS, request.body->data());
        }
        return std::nullopt;
    }

    // Hands a prepared transfer to the client's thread, starting the thread on first use.
    void submit(const std::shared_ptr<Transfer>& transfer) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) {
                transfer->finish(HttpError{HttpError::Kind::Aborted, "HTTP client is shut down"});
                return;
            }
            incoming_.push_back(transfer);
            if (!thread_.joinable()) {
                thread_ = std::thread([this] { run(); });
            }
        }
        curl_multi_wakeup(multi_);
    }

    void abandon(const std::shared_ptr<Transfer>& transfer) {
        {
            std::lock_guard lock(mutex_);
            abandoned_.push_back(transfer);
        }
        curl_multi_wakeup(multi_);
    }

  private:
    void run() {
        std::map<CURL*, std::shared_ptr<Transfer>> active;
        for (;;) {
            std::deque<std::shared_ptr<Transfer>> incoming;
            std::deque<std::shared_ptr<Transfer>> abandoned;
            bool stopping;
            {
                std::lock_guard lock(mutex_);
                incoming.swap(incoming_);
                abandoned.swap(abandoned_);
                stopping = stopping_;
            }
            for (auto& transfer : incoming) {
                if (curl_multi_add_handle(multi_, transfer->easy) != CURLM_OK) {
                    transfer->finish(
                        HttpError{HttpError::Kind::Builder, "failed to start the transfer"});
                    continue;
                }
                active.emplace(transfer->easy, transfer);
            }
            for (auto& transfer : abandoned) {
                if (active.erase(transfer->easy) != 0) {
                    curl_multi_remove_handle(multi_, transfer->easy);
                }
                transfer->finish(HttpError{HttpError::Kind::Aborted, "transfer abandoned"});
            }
            if (stopping) {
                for (auto& [easy, transfer] : active) {
                    curl_multi_remove_handle(multi_, easy);
                    transfer->finish(
                        HttpError{HttpError::Kind::Aborted, "HTTP client is shut down"});
                }
                return;
            }
            int running = 0;
            curl_multi_perform(multi_, &running);
            int queued = 0;
            while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
                if (message->msg != CURLMSG_DONE) {
                    continue;
                }
                auto it = active.find(message->easy_handle);
                if (it == active.end()) {
                    continue;
                }
                auto transfer = it->second;
                active.erase(it);
                CURLcode code = message->data.result;
                curl_multi_remove_handle(multi_, transfer->easy);
                if (code != CURLE_OK && !(code == CURLE_WRITE_ERROR && transfer->stopped_at_head)) {
                    transfer->finish(error_for(code, *transfer));
                    continue;
                }
                curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE,
                                  &transfer->response.status);
                char* url = nullptr;
                curl_easy_getinfo(transfer->easy, CURLINFO_EFFECTIVE_URL, &url);
                transfer->response.url = url != nullptr ? url : transfer->request.url;
                transfer->redirect_url =
                    location_target(transfer->request.url, transfer->response.headers);
                transfer->finish(std::nullopt);
            }
            curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
        }
    }

    HttpClientOptions options_;
    CURLM* multi_ = nullptr;
    std::mutex mutex_;
    bool stopping_ = false;
    std::deque<std::shared_ptr<Transfer>> incoming_;
    std::deque<std::shared_ptr<Transfer>> abandoned_;
    std::thread thread_;
};

Result<HttpClient, HttpError> HttpClient::build(HttpClientOptions options) {
    auto inner = std::make_shared<Inner>(std::move(options));
    if (!inner->init()) {
        return unexpected(
            HttpError{HttpError::Kind::Builder, "failed to initialise the HTTP library"});
    }
    return HttpClient(std::move(inner));
}

const HttpClientOptions& HttpClient::options() const {
    return inner_->options();
}

namespace {

// Aborts the transfer unless the awaiting coroutine saw it end.
struct AbandonGuard {
    std::function<void()> abandon;
    ~AbandonGuard() {
        if (abandon) {
            abandon();
        }
    }
};

bool same_header(const std::string& a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), b.size()) == 0;
}

// Whether the redirect from `from` to `to` stays within one origin; a URL that does not parse
// belongs to none.
bool within_origin(const std::string& from, const std::string& to) {
    auto a = Url::parse(from);
    auto b = Url::parse(to);
    return a && b && same_origin(*a, *b);
}

// `target` with the user information of `from` when it names none itself. A relative Location
// keeps the credentials of the URL it is resolved against; an absolute one within the same
// origin keeps them too.
std::string with_userinfo_of(const std::string& from, const std::string& target) {
    std::string result = target;
    CURLU* source = curl_url();
    CURLU* destination = curl_url();
    char* own_user = nullptr;
    char* user = nullptr;
    char* password = nullptr;
    char* text = nullptr;
    if (source != nullptr && destination != nullptr &&
        curl_url_set(source, CURLUPART_URL, from.c_str(), 0) == CURLUE_OK &&
        curl_url_set(destination, CURLUPART_URL, target.c_str(), 0) == CURLUE_OK &&
        curl_url_get(destination, CURLUPART_USER, &own_user, 0) == CURLUE_NO_USER &&
        curl_url_get(source, CURLUPART_USER, &user, 0) == CURLUE_OK &&
        curl_url_set(destination, CURLUPART_USER, user, 0) == CURLUE_OK) {
        const bool with_password =
            curl_url_get(source, CURLUPART_PASSWORD, &password, 0) == CURLUE_OK;
        if ((!with_password ||
             curl_url_set(destination, CURLUPART_PASSWORD, password, 0) == CURLUE_OK) &&
            curl_url_get(destination, CURLUPART_URL, &text, 0) == CURLUE_OK) {
            result = text;
        }
    }
    curl_free(text);
    curl_free(password);
    curl_free(user);
    curl_free(own_user);
    curl_url_cleanup(destination);
    curl_url_cleanup(source);
    return result;
}

// The request that follows a redirect with `status` to `target`: 301, 302 and 303 turn it into
// a GET without body. Credentials belong to their origin: a change of scheme, host or port
// (a default port counting as written) drops them, so that an HTTPS controller's answer cannot
// send them on in clear text; within the origin they go on.
void redirect(HttpRequest& request, long status, const std::string& target) {
    auto drop = [&request](std::initializer_list<std::string_view> names) {
        std::erase_if(request.headers, [&](const auto& header) {
            for (auto name : names) {
                if (same_header(header.first, name)) {
                    return true;
                }
            }
            return false;
        });
    };
    if (status == 301 || status == 302 || status == 303) {
        request.method = "GET";
        request.body.reset();
        drop({"Content-Type", "Content-Length", "Content-Encoding", "Transfer-Encoding"});
    }
    if (!within_origin(request.url, target)) {
        drop({"Authorization", "Cookie", "Proxy-Authorization", "WWW-Authenticate"});
        request.url = target;
        return;
    }
    request.url = with_userinfo_of(request.url, target);
}

}  // namespace

boost::asio::awaitable<Result<HttpClient::Hop, HttpError>> HttpClient::transfer(
    const HttpRequest& request, bool follows,
    std::optional<std::chrono::milliseconds> timeout) const {
    auto inner = inner_;
    auto transfer = std::make_shared<Transfer>();
    transfer->request = request;
    if (auto failure = inner->prepare(*transfer, follows, timeout)) {
        co_return unexpected(std::move(*failure));
    }
    transfer->wakeup = co_await detail::Wakeup::create();
    inner->submit(transfer);
    AbandonGuard guard{[inner, transfer] {
        std::shared_ptr<detail::Wakeup> released;
        {
            std::lock_guard lock(transfer->mutex);
            released = std::move(transfer->wakeup);
        }
        inner->abandon(transfer);
    }};
    co_await transfer->wakeup->wait();
    guard.abandon = nullptr;
    std::lock_guard lock(transfer->mutex);
    transfer->wakeup.reset();
    if (transfer->error) {
        co_return unexpected(std::move(*transfer->error));
    }
    co_return Hop{std::move(transfer->response), std::move(transfer->redirect_url)};
}

// The client follows redirects itself, one transfer per hop, so that only the five redirect
// statuses are followed and a 301, 302 or 303 goes on as a GET. The limits hold for the whole
// request.
boost::asio::awaitable<Result<HttpResponse, HttpError>> HttpClient::execute(
    HttpRequest request) const {
    // The caller's handle may go while the request runs; this copy keeps the client.
    const HttpClient self = *this;
    const HttpClientOptions& options = self.options();
    const auto start = std::chrono::steady_clock::now();
    auto time_left = [&]() -> std::optional<std::chrono::milliseconds> {
        if (!options.timeout) {
            return std::nullopt;
        }
        return *options.timeout - std::chrono::duration_cast<std::chrono::milliseconds>(
                                      std::chrono::steady_clock::now() - start);
    };
    const bool follows = request.follow_redirects && options.max_redirects > 0;
    long redirects = 0;
    for (;;) {
        auto left = time_left();
        if (left && left->count() <= 0) {
            co_return unexpected(HttpError{HttpError::Kind::Timeout,
                                           failure_prefix(false, request.url) + "timed out"});
        }
        auto hop = co_await self.transfer(request, follows, left);
        if (!hop) {
            co_return unexpected(std::move(hop).error());
        }
        const long status = hop->response.status;
        if (!follows || hop->redirect_url.empty() || !is_followed_redirect(status)) {
            co_return std::move(hop->response);
        }
        if (redirects >= options.max_redirects) {
            co_return unexpected(
                HttpError{HttpError::Kind::Redirect,
                          failure_prefix(false, request.url) + "too many redirects"});
        }
        ++redirects;
        redirect(request, status, hop->redirect_url);
    }
}

namespace {

std::string ascii_lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return lower;
}

// The charset parameter of a Content-Type value, lower-cased, without quotes; empty when none.
std::string declared_charset(const HttpResponse& response) {
    for (const auto& [name, value] : response.headers) {
        if (!same_header(name, "content-type")) {
            continue;
        }
        std::string lower = ascii_lower(value);
        auto at = lower.find("charset=");
        if (at == std::string::npos) {
            return {};
        }
        std::string charset = lower.substr(at + 8);
        charset = charset.substr(0, charset.find(';'));
        while (!charset.empty() && (charset.back() == ' ' || charset.back() == '\t')) {
            charset.pop_back();
        }
        if (charset.size() >= 2 && charset.front() == '"' && charset.back() == '"') {
            charset = charset.substr(1, charset.size() - 2);
        }
        return charset;
    }
    return {};
}

// `bytes` in `charset` as UTF-8, or absent when ICU does not know the charset.
std::optional<std::string> convert_to_utf8(const std::string& bytes, const std::string& charset) {
    UErrorCode status = U_ZERO_ERROR;
    UConverter* converter = ucnv_open(charset.c_str(), &status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    std::u16string wide(bytes.size() + 1, u'\0');
    status = U_ZERO_ERROR;
    int32_t length = ucnv_toUChars(converter, wide.data(), static_cast<int32_t>(wide.size()),
                                   bytes.data(), static_cast<int32_t>(bytes.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
        wide.assign(static_cast<size_t>(length) + 1, u'\0');
        status = U_ZERO_ERROR;
        length = ucnv_toUChars(converter, wide.data(), static_cast<int32_t>(wide.size()),
                               bytes.data(), static_cast<int32_t>(bytes.size()), &status);
    }
    ucnv_close(converter);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    std::string text(static_cast<size_t>(length) * 3 + 1, '\0');
    int32_t written = 0;
    status = U_ZERO_ERROR;
    u_strToUTF8WithSub(text.data(), static_cast<int32_t>(text.size()), &written, wide.data(),
                       length, 0xFFFD, nullptr, &status);
    if (U_FAILURE(status)) {
        return std::nullopt;
    }
    text.resize(static_cast<size_t>(written));
    return text;
}

}  // namespace

std::string response_text(const HttpResponse& response) {
    std::string charset = declared_charset(response);
    const bool utf8 = charset.empty() || charset == "utf-8" || charset == "utf8";
    if (utf8 && is_valid_utf8(response.body)) {
        return response.body;
    }
    if (!utf8) {
        if (auto text = convert_to_utf8(response.body, charset)) {
            return std::move(*text);
        }
    }
    auto text = convert_to_utf8(response.body, "utf-8");
    return text ? std::move(*text) : std::string();
}

}  // namespace quorvel
