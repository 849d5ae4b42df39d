#include "agent/netif/node_peer.h"
#include "util/log.h"

namespace quorvel::agent::node_peer {

// The inbound pass. Reading the peer's datagrams and writing them into the tunnel is not wired
// in yet: a pass ends waiting, so the driver stays parked until its handle count reaches 0.
Result<bool, IoError> State::drive_transmit(const Waker& /*waker*/) {
    QV_TRACE(kTarget, "Drive transmit.");
    return false;
}

}  // namespace quorvel::agent::node_peer
