#include "agent/monitor.h"

#include "util/log.h"

namespace quorvel::agent {

boost::asio::awaitable<void> monitor_tasks(TaskSet<void> tasks, CancellationToken token) {
    for (;;) {
        auto joined = co_await tasks.join_next();
        if (!joined) {
            QV_TRACE(kMonitorTarget, "Monitoring task cancelled.");
            co_return;
        }
        if (joined->has_value()) {
            if (!token.is_cancelled()) {
                QV_TRACE(kMonitorTarget, "Task prematurely finished. Cancel token.");
                token.cancel();
            }
            continue;
        }
        // The task's exception came in as outside text where the set read it (`exception_text`):
        // the line quotes it bounded and masked.
        QV_ERROR(kMonitorTarget, "Task failed. Cancel token: {}", to_string(joined->error()));
        token.cancel();
        QV_TRACE(kMonitorTarget, "Monitoring task cancelled.");
        co_return;
    }
}

}  // namespace quorvel::agent
