// Retrieval of a manually joined network's configuration document by its URL: an HTTP(S) GET
// carrying the node's key, or a local file read; then parsing and validation. The outcome,
// success or failure, is stored on the network record; the housekeeping pass judges it.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/awaitable.hpp>

#include "agent/config/agent_config.h"
#include "agent/error.h"
#include "network/config/network_config.h"
#include "p2p/keys.h"
#include "util/blocking.h"
#include "util/http_client.h"
#include "util/io_error.h"
#include "util/result.h"
#include "util/url.h"

namespace quorvel::agent {

class AgentInner;

inline constexpr std::string_view kRetrievalTarget = "quorvel_agent::agent::retrieval";

// How long the retrieval of a network document may take: a whole HTTP request (the agent's HTTP
// client is built with it), or the read of a "file://" document.
inline constexpr std::chrono::milliseconds kRetrievalTimeout{5000};

// How "file://" documents are read: `read` gets the path and the cap on the size, runs on a thread
// of its own, started by `start_thread`, and may block, even forever; a retrieval waits for it for
// `timeout` at most.
struct DocumentFileReader {
    std::function<Result<std::string, IoError>(const std::string& path, std::size_t max_bytes)>
        read;
    std::chrono::milliseconds timeout = kRetrievalTimeout;
    ThreadStarter start_thread = start_detached_thread;
};

// While it lives, the process's retrievals read "file://" documents with `reader` instead of
// `read_regular_file` within `kRetrievalTimeout` on threads of their own (tests: a reader that
// never returns, a short wait, a thread that cannot be started). Scopes nest; each restores the
// reader it replaced.
class ScopedDocumentFileReader {
  public:
    explicit ScopedDocumentFileReader(DocumentFileReader reader);
    ~ScopedDocumentFileReader();
    ScopedDocumentFileReader(const ScopedDocumentFileReader&) = delete;
    ScopedDocumentFileReader& operator=(const ScopedDocumentFileReader&) = delete;

  private:
    DocumentFileReader replaced_;
};

// What a retrieval uses of the running agent: its shared HTTP client and its public key.
struct RetrievalContext {
    HttpClient client;
    p2p::PubKey public_key;
};

RetrievalContext retrieval_context(const AgentInner& inner);

// Looks `url` up in the configuration's networks: an unknown URL changes nothing, a disabled
// network's stored document is cleared, any other gets the outcome of
// `fetch_network_config_data`. The caller holds the state's write lock throughout. Its events
// stand inside its own INFO span "fetch_network_config" (field `network`), and those of the
// retrieval inside a further span "fetch_network_config_data".
boost::asio::awaitable<void> fetch_network_config(RetrievalContext context, AgentConfig& config,
                                                  Url url);
boost::asio::awaitable<void> fetch_network_config(std::shared_ptr<const AgentInner> self,
                                                  AgentConfig& config, Url url);

// The validated document behind `url`: "http://" and "https://" by a GET, "file://" by reading
// the percent-decoded path; "controller://" URLs and other schemes fail without any I/O. The
// process reads a path one read at a time: a retrieval that finds a read of its path in progress
// shares that read's outcome. A retrieval whose wait for the read ends first fails with
// "timed out reading PATH"; a read that has not returned within the timeout of the retrieval that
// started it is left to finish alone, and until it does, a retrieval of the same path fails at
// once, without another read, with "a previous read of PATH has not returned". A read whose
// thread cannot be started fails with the operating system's error.
boost::asio::awaitable<Result<network::NetworkConfig, Error>> fetch_network_config_data(
    RetrievalContext context, Url url);
boost::asio::awaitable<Result<network::NetworkConfig, Error>> fetch_network_config_data(
    std::shared_ptr<const AgentInner> self, Url url);

// The document text behind the URL text, by its scheme.
boost::asio::awaitable<Result<std::string, Error>> retrieve_network_config(
    const RetrievalContext& context, std::string url);

// The body of a GET of `url` with "quorvel-pk"; a status outside 200-299 fails with
// "HTTP request failed with status '{status}'" without reading the body.
boost::asio::awaitable<Result<std::string, Error>> fetch(const RetrievalContext& context,
                                                         std::string url);

}  // namespace quorvel::agent
