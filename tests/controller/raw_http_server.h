// A loopback HTTP/1.1 server on raw sockets for tests that need the exact request bytes or control
// over how an answer arrives (stalled, dripped byte by byte). One connection at a time; every
// answer closes its connection.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "util/http_status.h"

namespace quorvel::testing {

struct RawRequest {
    std::string method;
    std::string target;
    // In the order received, names as sent.
    std::vector<std::pair<std::string, std::string>> headers = {};
    std::string body = {};
    // Head and body as received.
    std::string raw;

    // Every value of the header `name` (case-insensitive), in order.
    std::vector<std::string> values(std::string_view name) const {
        std::vector<std::string> found;
        for (const auto& [n, v] : headers) {
            if (n.size() == name.size() && strncasecmp(n.data(), name.data(), n.size()) == 0) {
                found.push_back(v);
            }
        }
        return found;
    }
    std::string value(std::string_view name) const {
        auto found = values(name);
        return found.empty() ? std::string() : found.front();
    }
    // The position of the first header named `name`, or -1.
    int position(std::string_view name) const {
        for (size_t i = 0; i < headers.size(); ++i) {
            const auto& n = headers[i].first;
            if (n.size() == name.size() && strncasecmp(n.data(), name.data(), n.size()) == 0) {
                return static_cast<int>(i);
            }
        }
        return -1;
    }
};

struct RawResponse {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers = {};
    std::string body = {};
    // Never answer (until the server stops).
    bool stall = false;
    // Send the head, then the body one byte per interval.
    std::chrono::milliseconds drip{0};
    // Announce no length: the body is sent chunked.
    bool chunked = false;
};

class RawHttpServer {
  public:
    using Handler = std::function<RawResponse(const RawRequest&)>;

    explicit RawHttpServer(Handler handler) : handler_(std::move(handler)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(listener_, 16);
        socklen_t length = sizeof addr;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &length);
        port_ = ntohs(addr.sin_port);
        if (::pipe(stop_pipe_) != 0) {
            stop_pipe_[0] = stop_pipe_[1] = -1;
        }
        thread_ = std::thread([this] { serve(); });
    }

    ~RawHttpServer() {
        stopping_ = true;
        [[maybe_unused]] auto n = ::write(stop_pipe_[1], "x", 1);
        thread_.join();
        ::close(listener_);
        ::close(stop_pipe_[0]);
        ::close(stop_pipe_[1]);
    }

    uint16_t port() const { return port_; }
    std::string url(const std::string& path = "") const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::vector<RawRequest> requests() const {
        std::lock_guard lock(mutex_);
        return requests_;
    }
    size_t connections() const { return connections_.load(); }

  private:
    // Waits until `fd` is ready for `events` or the server stops; false when it stops.
    bool wait(int fd, short events, int timeout_ms = -1) {
        pollfd fds[2] = {{fd, events, 0}, {stop_pipe_[0], POLLIN, 0}};
        int n = ::poll(fds, 2, timeout_ms);
        return n > 0 && (fds[1].revents & POLLIN) == 0;
    }

    bool send_all(int fd, std::string_view data) {
        while (!data.empty()) {
            if (!wait(fd, POLLOUT)) {
                return false;
            }
            ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
            if (n <= 0) {
                return false;
            }
            data.remove_prefix(static_cast<size_t>(n));
        }
        return true;
    }

    std::optional<RawRequest> read_request(int fd) {
        std::string raw;
        char buffer[4096];
        size_t head_end = std::string::npos;
        while ((head_end = raw.find("\r\n\r\n")) == std::string::npos) {
            if (!wait(fd, POLLIN)) {
                return std::nullopt;
            }
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return std::nullopt;
            }
            raw.append(buffer, static_cast<size_t>(n));
        }
        RawRequest request;
        std::string_view head(raw.data(), head_end);
        auto line_end = head.find("\r\n");
        std::string_view first = head.substr(0, line_end);
        request.method = std::string(first.substr(0, first.find(' ')));
        auto target_start = first.find(' ') + 1;
        request.target = std::string(first.substr(target_start, first.rfind(' ') - target_start));
        size_t content_length = 0;
        while (line_end != std::string_view::npos && line_end < head.size()) {
            auto next = head.find("\r\n", line_end + 2);
            std::string_view line =
                head.substr(line_end + 2, next == std::string_view::npos ? std::string_view::npos
                                                                         : next - line_end - 2);
            auto colon = line.find(':');
            if (colon != std::string_view::npos) {
                std::string_view value = line.substr(colon + 1);
                while (!value.empty() && value.front() == ' ') {
                    value.remove_prefix(1);
                }
                request.headers.emplace_back(std::string(line.substr(0, colon)),
                                             std::string(value));
            }
            line_end = next;
        }
        if (auto length = request.value("Content-Length"); !length.empty()) {
            content_length = std::stoul(length);
        }
        while (raw.size() < head_end + 4 + content_length) {
            if (!wait(fd, POLLIN)) {
                return std::nullopt;
            }
            ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                return std::nullopt;
            }
            raw.append(buffer, static_cast<size_t>(n));
        }
        request.body = raw.substr(head_end + 4, content_length);
        request.raw = raw;
        return request;
    }

    void answer(int fd, const RawResponse& response) {
        if (response.stall) {
            wait(fd, 0);
            return;
        }
        std::string head =
            "HTTP/1.1 " + std::to_string(response.status) + " " +
            std::string(
                http_reason_phrase(static_cast<uint16_t>(response.status)).value_or("Whatever")) +
            "\r\nConnection: close\r\n";
        for (const auto& [name, value] : response.headers) {
            head += name + ": " + value + "\r\n";
        }
        if (response.chunked) {
            head += "Transfer-Encoding: chunked\r\n\r\n";
            if (!send_all(fd, head)) {
                return;
            }
            constexpr size_t kChunk = 64 * 1024;
            for (size_t at = 0; at < response.body.size(); at += kChunk) {
                std::string_view part = std::string_view(response.body).substr(at, kChunk);
                char size[32];
                std::snprintf(size, sizeof size, "%zx\r\n", part.size());
                if (!send_all(fd, size) || !send_all(fd, part) || !send_all(fd, "\r\n")) {
                    return;
                }
            }
            send_all(fd, "0\r\n\r\n");
            return;
        }
        head += "Content-Length: " + std::to_string(response.body.size()) + "\r\n\r\n";
        if (response.drip.count() == 0) {
            send_all(fd, head + response.body);
            return;
        }
        if (!send_all(fd, head)) {
            return;
        }
        for (char c : response.body) {
            // Waiting on the stop pipe alone: the drip ends when the server stops.
            pollfd stop{stop_pipe_[0], POLLIN, 0};
            if (::poll(&stop, 1, static_cast<int>(response.drip.count())) != 0) {
                return;
            }
            if (!send_all(fd, std::string_view(&c, 1))) {
                return;
            }
        }
    }

    void serve() {
        while (!stopping_) {
            if (!wait(listener_, POLLIN)) {
                return;
            }
            int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                continue;
            }
            ++connections_;
            if (auto request = read_request(fd)) {
                RawResponse response = handler_(*request);
                {
                    std::lock_guard lock(mutex_);
                    requests_.push_back(std::move(*request));
                }
                answer(fd, response);
            }
            ::shutdown(fd, SHUT_RDWR);
            ::close(fd);
        }
    }

    Handler handler_;
    int listener_ = -1;
    int stop_pipe_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<size_t> connections_{0};
    mutable std::mutex mutex_;
    std::vector<RawRequest> requests_;
    std::thread thread_;
};

}  // namespace quorvel::testing
