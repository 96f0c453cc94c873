#include "posix_event_wait.h"

#include <cerrno>
#include <poll.h>
#include <sys/eventfd.h>

namespace corvane::posix {

std::uint32_t QueueWatch::inputEvents(std::uint32_t mask, int queued, EventWaitPlan &plan) {
    std::uint32_t events = 0;
    if ((mask & EV_RXCHAR) && queued > announced)
        events |= EV_RXCHAR;
    announced = queued;
    const bool full = readSize > 0 && queued >= readSize - readSize / 5;
    if ((mask & EV_RX80FULL) && full && !rx80Full)
        events |= EV_RX80FULL;
    rx80Full = full;
    if (queued == 0)
        plan.wantInput = true;
    else
        plan.lookAgainWithin(kUnreadPollMs);
    return events;
}

SerWaitResult waitForEvents(EventSource &source, int kick, short alsoAsked, SerHandle wake,
                            std::uint32_t &events) {
    int lostError = 0;
    for (;;) {
        events = 0;
        EventWaitPlan plan;
        const SerWaitResult looked = source.collect(events, plan);
        if (looked != SerWaitResult::Events)
            return looked;
        if (events != 0)
            return SerWaitResult::Events;
        // Whatever was still queued has been announced; now the device is of no use.
        if (lostError != 0) {
            errno = lostError;
            return SerWaitResult::Lost;
        }

        const int fd = source.pollDescriptor();
        if (fd < 0)
            return SerWaitResult::Failed;
        // The wake handle comes first: once it is signalled the descriptor may already be
        // closed (or reused), and nothing below looks at it again.
        pollfd fds[] = {{int(wake), POLLIN, 0},
                        {kick, POLLIN, 0},
                        {fd, short(alsoAsked | (plan.wantInput ? POLLIN : 0)), 0}};
        const int ready = ::poll(fds, 3, plan.timeoutMs);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return SerWaitResult::Failed;
        }
        if (fds[0].revents & POLLIN)
            return SerWaitResult::Woken;
        if (fds[0].revents & POLLNVAL) {
            errno = EBADF;
            return SerWaitResult::Failed;
        }
        if (fds[1].revents & POLLIN) {
            eventfd_t drained;
            ::eventfd_read(kick, &drained);
        }
        lostError = source.endedBy(fds[2].revents);
    }
}

} // namespace corvane::posix
