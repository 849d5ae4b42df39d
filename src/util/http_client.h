// An HTTP(S) client for coroutines over libcurl. Transfers run on the client's own thread (one
// curl multi handle), never on a runtime worker; the awaiting coroutine is resumed on its executor
// when the transfer ends. A client is a shared handle: copies share the thread and its settings.
// Releasing the last copy aborts the transfers still running and joins the thread. Abandoning an
// awaited transfer (cancellation, or the task being destroyed) aborts that transfer. Redirects:
// 301, 302 and 303 turn any other method into a GET without body, 307 and 308 keep method and
// body, and credential headers are not sent on to another host.
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

struct HttpClientOptions {
    // Idle connections kept per host for reuse; 0 closes every connection after its transfer.
    std::optional<std::size_t> pool_max_idle_per_host;
    // Limit for a whole transfer, redirects included; none means no limit.
    std::optional<std::chrono::milliseconds> timeout;
    // Redirects followed before the transfer fails.
    long max_redirects = 10;
};

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method = "GET";
    std::string url;
    HttpHeaders headers;  // sent in this order
    std::optional<std::string> body;
};

struct HttpResponse {
    long status = 0;
    HttpHeaders headers;  // of the final response
    std::string body;
    std::string url;  // the final URL, after redirects
};

struct HttpError {
    enum class Kind { Builder, Request, Timeout, Redirect, Aborted };
    Kind kind;
    std::string message;

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
        // The absolute target of a redirect that the transfer did not follow, or empty.
        std::string redirect_url;
    };
    // One transfer, in which libcurl follows at most `follow` redirects itself.
    boost::asio::awaitable<Result<Hop, HttpError>> transfer(
        const HttpRequest& request, long follow,
        std::optional<std::chrono::milliseconds> timeout) const;
    explicit HttpClient(std::shared_ptr<Inner> inner) : inner_(std::move(inner)) {}
    std::shared_ptr<Inner> inner_;
};

}  // namespace quorvel
