// An HTTP(S) client for coroutines over libcurl. Transfers run on the client's own thread (one
// curl multi handle), never on a runtime worker; the awaiting coroutine is resumed on its executor
// when the transfer ends. A client is a shared handle: copies share the thread and its settings.
// Releasing the last copy aborts the transfers still running and joins the thread. Abandoning an
// awaited transfer (cancellation, or the task being destroyed) aborts that transfer. Redirects:
// only 301, 302, 303, 307 and 308 with a Location header are followed (any other 3xx is a final
// answer, as is every 3xx of a request that asks not to follow); 301, 302 and 303 turn any other
// method into a GET without body, 307 and 308 keep method and body, and credentials (the
// credential headers, the URL's user information) are not sent on to another origin: a change
// of scheme, host or port drops them. The body of a redirect that is followed is not read. A
// response body is kept in memory only up to a cap: a larger one fails the transfer as soon as it
// shows, never buffered. Error texts show a URL with its user information masked, and take
// libcurl's message and a server's URL in as outside text (`outside_text`).
#pragma once

#include "util/result.h"

#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorvel {

// The default cap on a response body: far above any document the agent fetches, far below what
// would hurt a mobile device's memory.
inline constexpr std::size_t kDefaultMaxBodyBytes = 16 * 1024 * 1024;

struct HttpClientOptions {
    // Idle connections kept per host for reuse; 0 closes every connection after its transfer.
    std::optional<std::size_t> pool_max_idle_per_host;
    // Limit for a whole transfer, redirects included; none means no limit.
    std::optional<std::chrono::milliseconds> timeout;
    // Redirects followed before the transfer fails.
    long max_redirects = 10;
    // Largest response body accepted; none means no cap.
    std::optional<std::size_t> max_body_bytes = kDefaultMaxBodyBytes;
    // When set, the trusted roots for HTTPS (PEM text), in place of the system's store.
    std::optional<std::string> root_certificates_pem = std::nullopt;
};

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    HttpHeaders headers;  // sent in this order
    std::optional<std::string> body;
    // False: a redirect is the final answer, returned as it is.
    bool follow_redirects = true;
    // True: a final answer outside 200-299 ends the transfer at its head; its body is not read
    // (and the response's body stays empty), so a failure status never waits on a slow body.
    bool skip_failure_body = false;
};

struct HttpResponse {
    long status = 0;
    HttpHeaders headers;  // of the final response
    std::string body;
    std::string url;  // the final URL, after redirects
};

// The body as text: decoded by the charset that the Content-Type header declares, UTF-8 when it
// declares none or one that is not known; undecodable bytes become U+FFFD.
std::string response_text(const HttpResponse& response);

// The proxy setting a request to `url` goes through, read from the environment now as libcurl
// would read it for the URL's scheme: "http_proxy" for http (never "HTTP_PROXY"), "https_proxy" or
// else "HTTPS_PROXY" for https, then "all_proxy" or else "ALL_PROXY"; a variable set empty counts
// as unset. Empty when none applies. Before every transfer the client reads this setting afresh,
// remembers its secrets (`secrets::remember_proxy_setting`) and hands libcurl exactly it, an empty
// one meaning none: libcurl reads no proxy variable itself, so a setting the host made after start
// is in effect with the next transfer and known before libcurl can quote it. "no_proxy" is still
// read by libcurl.
std::string proxy_setting_for(const std::string& url);

// Sets up libcurl and its TLS library for the process, once; every client does so before its
// first transfer. The TLS library's state then stays valid until the process has ended: a process
// may end with exit() while runtimes still run clients, whose threads go on using it. False when
// libcurl could not be set up.
bool http_client_global_init();

struct HttpError {
    enum class Kind { Builder, Request, Timeout, Redirect, Aborted, BodyTooLarge };
    Kind kind;
    std::string message;
    // True when the failure came while the final response's body was read, after its head.
    bool in_body = false;

    bool operator==(const HttpError&) const = default;
};

class HttpClient {
  public:
    // Fails only when the HTTP library cannot be set up.
    static Result<HttpClient, HttpError> build(HttpClientOptions options);

    boost::asio::awaitable<Result<HttpResponse, HttpError>> execute(HttpRequest request) const;

    const HttpClientOptions& options() const;

  private:
    class Inner;
    struct Hop {
        HttpResponse response;
        // Where the answer's Location header points, absolute; empty when nowhere.
        std::string redirect_url;
    };
    // One transfer; with `follows` the client follows a redirect answer, whose body is not read.
    boost::asio::awaitable<Result<Hop, HttpError>> transfer(
        const HttpRequest& request, bool follows,
        std::optional<std::chrono::milliseconds> timeout) const;
    explicit HttpClient(std::shared_ptr<Inner> inner) : inner_(std::move(inner)) {}
    std::shared_ptr<Inner> inner_;
};

}  // namespace quorvel
