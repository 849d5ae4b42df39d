// The listener that carries the agent's network changes to the host's C callback: the three
// texts of a `NetworkChangeInfo` and the listener object built around the callback.
#pragma once

#include "agent/network_listener.h"

#include <quorvel/agent.h>

#include <string>

namespace quorvel::ffi {

struct NetworkChangeTexts {
    std::string ips;         // address/prefix joined with ","; "" for no list or an empty one
    std::string routes;      // the same for the routes
    std::string dns_server;  // dotted quad; "" for none
};

NetworkChangeTexts network_change_texts(const agent::NetworkChange& change);

// Calls `callback` with a record that lives on the calling thread's stack for the call's
// duration; the texts are freed when the callback returns.
agent::NetworkListener network_change_listener(QuorvelNetworkChangeCallback callback);

}  // namespace quorvel::ffi
