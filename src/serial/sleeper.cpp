#include "sleeper.h"

#include <thread>

namespace corvane {

void ThreadSleeper::sleep(std::chrono::microseconds duration) {
    if (duration.count() > 0)
        std::this_thread::sleep_for(duration);
}

Sleeper &defaultSleeper() {
    static ThreadSleeper sleeper;
    return sleeper;
}

} // namespace corvane
