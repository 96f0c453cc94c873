#pragma once

// What the terminal and the socket device share: how long is left of a call's time, and the wait
// of a write for room in the output queue.

#include "serial_os.h"

#include <chrono>
#include <span>

namespace corvane::posix {

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline for poll(), never below 0.
int remainingMs(Clock::time_point deadline);

enum class WritableWait {
    Retry,  // the descriptor may take bytes now (or the wait was interrupted): write again
    Woken,  // wake[wokenIndex] was signalled
    HungUp, // the descriptor reports a hang-up or an error
    Failed, // poll itself failed; errno tells why
};

// Waits until fd can take bytes, a wake handle is signalled or the time is up (timeoutMs
// kSerInfinite waits for good; the caller checks its own deadline). The wake handles are looked
// at first, so a stop is seen before the descriptor is touched again.
WritableWait waitWritable(int fd, std::span<const SerHandle> wake, int timeoutMs,
                          Clock::time_point deadline, int &wokenIndex);

} // namespace corvane::posix
