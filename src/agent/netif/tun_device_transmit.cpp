#include "agent/netif/tun_device.h"
#include "util/log.h"

namespace quorvel::agent::tun_device {

// The outbound pass. Reading the tunnel and forwarding packets to peers is not wired in yet: a
// pass ends waiting, so the driver stays parked until its handle count reaches 0.
Result<bool, IoError> State::drive_transmit(const Waker& /*waker*/) {
    QV_TRACE(kTarget, "Drive transmit.");
    return false;
}

}  // namespace quorvel::agent::tun_device
