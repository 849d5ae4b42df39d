// The agent's monitor task: it watches the agent's task set and cancels the agent's token as soon
// as a task of the set ends early or fails.
#pragma once

#include "util/cancellation_token.h"
#include "util/task_set.h"

#include <boost/asio/awaitable.hpp>

#include <string_view>

namespace quorvel::agent {

inline constexpr std::string_view kMonitorTarget = "quorvel_agent::agent";

// Cancels `token` when a task ends while the token is live or when a task fails, and ends once
// the set is empty (or after a failure). It notices a cancellation only through the end of the
// tasks it watches. Releasing the set at its end aborts what is left in it.
boost::asio::awaitable<void> monitor_tasks(TaskSet<void> tasks, CancellationToken token);

}  // namespace quorvel::agent
