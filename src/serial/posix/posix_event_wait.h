#pragma once

// The event wait that the terminal and the socket device share: what their queues have already
// announced, and the poll loop that waits for the next event.

#include "serial_os.h"

#include <algorithm>
#include <cstdint>

namespace corvane::posix {

// While bytes sit unread in the input queue, POLLIN stays ready, so the wait cannot block on it
// without spinning. It looks for new bytes this often instead.
inline constexpr int kUnreadPollMs = 10;
// How often the output queue is checked for the transmit-empty event.
inline constexpr int kTxEmptyPollMs = 2;

// What the poll after one look at the device waits for.
struct EventWaitPlan {
    bool wantInput = false; // POLLIN is asked of the descriptor
    int timeoutMs = -1;     // the device is looked at again after this long; -1 waits for good

    void lookAgainWithin(int ms) { timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms); }
};

// The queues as the event wait last saw them, kept under the device's lock.
struct QueueWatch {
    int readSize = 4096; // sets the 80 % mark only
    // Bytes in the input queue that EV_RXCHAR has already announced; reads take them off.
    int announced = 0;
    bool rx80Full = false;
    bool txPending = false; // a write has not yet been followed by EV_TXEMPTY

    void taken(int count) { announced = std::max(0, announced - count); }

    // The input events for a queue that now holds queued bytes: EV_RXCHAR only for bytes not
    // announced before, EV_RX80FULL once each time the queue reaches the 80 % mark.
    std::uint32_t inputEvents(std::uint32_t mask, int queued, EventWaitPlan &plan);

    // EV_TXEMPTY once the output queue reads empty after a write. unsent() (bytes still in the
    // output queue, 0 where the system cannot tell) is asked only while the event is awaited.
    template <typename Unsent>
    std::uint32_t outputEvents(std::uint32_t mask, EventWaitPlan &plan, Unsent unsent) {
        if (!(mask & EV_TXEMPTY) || !txPending)
            return 0;
        if (unsent() != 0) {
            plan.lookAgainWithin(kTxEmptyPollMs);
            return 0;
        }
        txPending = false;
        return EV_TXEMPTY;
    }
};

// What the event wait needs of a device.
class EventSource {
public:
    // Looks at the device once; adds to events (0 on entry), and what the following poll must
    // wait for to plan.
    virtual SerWaitResult collect(std::uint32_t &events, EventWaitPlan &plan) = 0;
    // The descriptor to poll, or -1 with errno EBADF once it is closed.
    virtual int pollDescriptor() = 0;
    // From the descriptor's revents: the errno that reports the device lost, or 0 while it lasts.
    virtual int endedBy(short revents) = 0;

protected:
    ~EventSource() = default;
};

// The waitCommEvent of both devices. kick is the device's own eventfd that makes the wait look
// again; alsoAsked is polled for on the descriptor at all times, beside POLLIN while input is
// wanted. Once the device has ended, whatever it still has to announce comes first; a look that
// finds nothing new then returns Lost with the errno endedBy gave.
SerWaitResult waitForEvents(EventSource &source, int kick, short alsoAsked, SerHandle wake,
                            std::uint32_t &events);

} // namespace corvane::posix
