#include "link_options.h"

#include "device_session.h"
#include "ser_comm.h"

namespace corvane {

void applyLinkOptions(const LinkOptions &options, DeviceSession &session, TSerCustomComm &comm) {
    // One runner holds every window, the service page's included.
    session.runner.setResponseTime(options.responseWindow);
    session.setFastReplies(options.fast);
    session.runner.setIgnoreEcho(options.ignoreEcho);
    session.runner.setRetries(options.retries);
    comm.SetDirection(options.direction);
}

} // namespace corvane
