#include "agent/retrieval.h"

#include "agent/inner.h"
#include "util/blocking.h"
#include "util/file_io.h"
#include "util/http_status.h"
#include "util/log.h"
#include "util/shown_text.h"

#include <mutex>
#include <system_error>
#include <utility>
#include <vector>

namespace quorvel::agent {

namespace {

using Spans = std::vector<log::SpanRecord>;

Spans with_span(Spans spans, const char* name, const Url& url) {
    spans.push_back(log::SpanRecord{log::Level::Info, name, {{"network", mask_url(url)}}});
    return spans;
}

// How the process reads document files, and its reads that have not returned yet, by path: one
// registry for all agents, since a file system that stopped answering outlives any one of them,
// and agents that join one network together share one read of its document.
struct DocumentFiles {
    std::mutex mutex;
    DocumentFileReader reader{read_regular_file, kRetrievalTimeout};
    AbandonableCalls<Result<std::string, IoError>> reads;
};

DocumentFiles& document_files() {
    // Never destroyed: a retrieval on a runtime worker may still come here while the process's
    // static destructors run (exit() with agents running).
    static DocumentFiles& files = *new DocumentFiles;
    return files;
}

DocumentFileReader current_reader() {
    auto& files = document_files();
    std::lock_guard lock(files.mutex);
    return files.reader;
}

// A document file read's error as the retrieval reports it, with the path shown as `shown`.
IoError shown_read_error(IoError error, const std::string& path, const std::string& shown) {
    if (shown == path || error.os_code()) {
        return error;
    }
    std::string text = error.description();
    for (auto at = text.find(path); at != std::string::npos; at = text.find(path, at)) {
        text.replace(at, path.size(), shown);
        at += shown.size();
    }
    return IoError::other(std::move(text));
}

// Why a document file read gave no outcome, as the I/O error the retrieval reports; `path` is
// the path as messages show it.
IoError refused_read(const CallRefusal& refusal, const std::string& path) {
    switch (refusal.reason) {
        case CallRefusal::Reason::TimedOut:
            return IoError::other("timed out reading " + path);
        case CallRefusal::Reason::PreviousNotReturned:
            return IoError::other("a previous read of " + path + " has not returned");
        case CallRefusal::Reason::NotStarted:
            break;
    }
    const auto& category = refusal.error.category();
    if (category == std::generic_category() || category == std::system_category()) {
        return IoError::from_errno(refusal.error.value());
    }
    return IoError::other(refusal.error.message());
}

// The document file behind a "file://" URL. The read runs off the runtime's workers and is
// bounded like an HTTP body, in size and in time: the URL may name a FIFO, a device, a huge file
// or a file on a network file system that stopped answering. Retrievals of one path at one time
// share a read, so that agents joining a network together all get its document.
boost::asio::awaitable<Result<std::string, Error>> read_document_file(std::string_view encoded_path,
                                                                      Spans spans) {
    std::string path = percent_decode(encoded_path);
    // What the network's URL hides of the path stays hidden in every message about it.
    const std::string shown = mask_file_path(path);
    {
        log::ScopedSpans scope(spans);
        QV_TRACE(kRetrievalTarget, "Reading file: {}", shown);
    }
    if (path.find('\0') != std::string::npos) {
        // The operating system would read the path only up to the NUL: another file.
        co_return unexpected(
            Error(Error::Io{IoError::other("file name contained an unexpected NUL byte")}));
    }
    DocumentFileReader reader = current_reader();
    // A named local: GCC 12 destroys a temporary inside a co_await expression twice.
    auto read = [read = std::move(reader.read), path] { return read(path, kDefaultMaxBodyBytes); };
    auto text = co_await document_files().reads.run(path, std::move(read), reader.timeout,
                                                    std::move(reader.start_thread));
    if (!text) {
        co_return unexpected(Error(Error::Io{refused_read(text.error(), shown)}));
    }
    if (!*text) {
        co_return unexpected(
            Error(Error::Io{shown_read_error(std::move(*text).error(), path, shown)}));
    }
    co_return std::move(*text).value();
}

boost::asio::awaitable<Result<std::string, Error>> fetch_in(const RetrievalContext& context,
                                                            std::string url, Spans spans) {
    HttpRequest request;
    request.method = "GET";
    request.url = url;
    request.headers.emplace_back("quorvel-pk", context.public_key.to_string());
    // A failure status is judged by itself: its body may be slow or huge.
    request.skip_failure_body = true;
    {
        log::ScopedSpans scope(spans);
        QV_TRACE(kRetrievalTarget, "Sending request");
    }
    const HttpClient client = context.client;
    auto response = co_await client.execute(std::move(request));
    log::ScopedSpans scope(spans);
    if (!response) {
        co_return unexpected(Error(Error::Http{std::move(response).error().message}));
    }
    QV_TRACE(kRetrievalTarget, "Received response");
    const auto status = static_cast<uint16_t>(response->status);
    if (!http_status_is_success(status)) {
        co_return unexpected(Error(Error::ConfigParse{"HTTP request failed with status '" +
                                                      http_status_text(status) + "'"}));
    }
    std::string text = response_text(*response);
    QV_TRACE(kRetrievalTarget, "Received body");
    co_return text;
}

boost::asio::awaitable<Result<std::string, Error>> retrieve_in(const RetrievalContext& context,
                                                               std::string url, Spans spans) {
    if (url.starts_with("controller://")) {
        co_return unexpected(Error(
            Error::ConfigParse{"Controller network not found in cache: " + outside_url_text(url)}));
    }
    if (url.starts_with("http://") || url.starts_with("https://")) {
        co_return co_await fetch_in(context, std::move(url), std::move(spans));
    }
    if (url.starts_with("file://")) {
        co_return co_await read_document_file(std::string_view(url).substr(7), std::move(spans));
    }
    co_return unexpected(
        Error(Error::ConfigParse{"Unsupported URL scheme: " + outside_url_text(url)}));
}

boost::asio::awaitable<Result<network::NetworkConfig, Error>> fetch_data_in(
    const RetrievalContext& context, const Url& url, Spans spans) {
    {
        log::ScopedSpans scope(spans);
        QV_TRACE(kRetrievalTarget, "Retrieving network config from: {}", mask_url(url));
    }
    auto text = co_await retrieve_in(context, url.raw_text(), spans);
    if (!text) {
        co_return unexpected(std::move(text).error());
    }
    auto config = network::NetworkConfig::try_from(*text);
    if (!config) {
        co_return unexpected(Error(Error::Network{std::move(config).error()}));
    }
    co_return std::move(config).value();
}

}  // namespace

ScopedDocumentFileReader::ScopedDocumentFileReader(DocumentFileReader reader) {
    auto& files = document_files();
    std::lock_guard lock(files.mutex);
    replaced_ = std::exchange(files.reader, std::move(reader));
}

ScopedDocumentFileReader::~ScopedDocumentFileReader() {
    auto& files = document_files();
    std::lock_guard lock(files.mutex);
    files.reader = std::move(replaced_);
}

RetrievalContext retrieval_context(const AgentInner& inner) {
    return RetrievalContext{inner.client(), inner.public_key()};
}

boost::asio::awaitable<void> fetch_network_config(RetrievalContext context, AgentConfig& config,
                                                  Url url) {
    Spans spans = with_span(log::current_spans(), "fetch_network_config", url);
    auto it = config.network.find(url);
    if (it == config.network.end()) {
        log::ScopedSpans scope(spans);
        QV_TRACE(kRetrievalTarget, "Network {} not found in config, skipping", mask_url(url));
        co_return;
    }
    if (it->second.disabled) {
        log::ScopedSpans scope(spans);
        QV_TRACE(kRetrievalTarget, "Network is disabled.");
        it->second.config.reset();
        co_return;
    }
    auto result =
        co_await fetch_data_in(context, url, with_span(spans, "fetch_network_config_data", url));
    // The caller holds the state's write lock, so the network is still there.
    it = config.network.find(url);
    if (it == config.network.end()) {
        co_return;
    }
    if (result) {
        it->second.config = network::ConfigRetrieval(std::move(result).value());
    } else {
        it->second.config = network::ConfigRetrieval(
            unexpected(std::make_shared<const Error>(std::move(result).error())));
    }
}

boost::asio::awaitable<void> fetch_network_config(std::shared_ptr<const AgentInner> self,
                                                  AgentConfig& config, Url url) {
    co_await fetch_network_config(retrieval_context(*self), config, std::move(url));
}

boost::asio::awaitable<Result<network::NetworkConfig, Error>> fetch_network_config_data(
    RetrievalContext context, Url url) {
    co_return co_await fetch_data_in(
        context, url, with_span(log::current_spans(), "fetch_network_config_data", url));
}

boost::asio::awaitable<Result<network::NetworkConfig, Error>> fetch_network_config_data(
    std::shared_ptr<const AgentInner> self, Url url) {
    co_return co_await fetch_network_config_data(retrieval_context(*self), std::move(url));
}

boost::asio::awaitable<Result<std::string, Error>> retrieve_network_config(
    const RetrievalContext& context, std::string url) {
    co_return co_await retrieve_in(context, std::move(url), log::current_spans());
}

boost::asio::awaitable<Result<std::string, Error>> fetch(const RetrievalContext& context,
                                                         std::string url) {
    co_return co_await fetch_in(context, std::move(url), log::current_spans());
}

}  // namespace quorvel::agent
