#pragma once

#include <chrono>

namespace corvane {

// Transmission pauses block the calling thread on purpose (the bus timing depends on them).
// Everything that sleeps takes a Sleeper so tests can record the pauses instead of waiting.
// Microseconds, since the silence before a frame is a few character times.
class Sleeper {
public:
    virtual ~Sleeper() = default;
    virtual void sleep(std::chrono::microseconds duration) = 0;
};

class ThreadSleeper final : public Sleeper {
public:
    void sleep(std::chrono::microseconds duration) override;
};

// The process-wide sleeper used when nothing else is injected.
Sleeper &defaultSleeper();

} // namespace corvane
