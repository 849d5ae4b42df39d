#include "agent/inner.h"

namespace quorvel::agent {

// The pass as it stands: it applies each network's desired state as the running configuration
// holds it. Retrieving documents, deriving desired states, reporting network changes, saving the
// configuration and uploading metrics join it here.
boost::asio::awaitable<void> AgentInner::housekeeping(std::shared_ptr<AgentInner> self,
                                                      RwLock<inner::State>::WriteGuard& state) {
    co_await apply_desired_state(self, *state);
}

}  // namespace quorvel::agent
