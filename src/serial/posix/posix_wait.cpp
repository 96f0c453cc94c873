#include "posix_wait.h"

#include <poll.h>

#include <cerrno>
#include <climits>
#include <vector>

namespace corvane::posix {

int remainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : int(std::min<long long>(left, INT_MAX));
}

WritableWait waitWritable(int fd, std::span<const SerHandle> wake, int timeoutMs,
                          Clock::time_point deadline, int &wokenIndex) {
    std::vector<pollfd> fds;
    fds.reserve(wake.size() + 1);
    for (SerHandle handle : wake)
        fds.push_back({int(handle), POLLIN, 0});
    fds.push_back({fd, POLLOUT, 0});
    const int ready = ::poll(fds.data(), nfds_t(fds.size()),
                             timeoutMs == kSerInfinite ? -1 : remainingMs(deadline));
    if (ready < 0)
        return errno == EINTR ? WritableWait::Retry : WritableWait::Failed;
    for (std::size_t i = 0; i < wake.size(); ++i) {
        if (fds[i].revents & POLLIN) {
            wokenIndex = int(i);
            return WritableWait::Woken;
        }
    }
    if (fds.back().revents & (POLLHUP | POLLERR | POLLNVAL))
        return WritableWait::HungUp;
    return WritableWait::Retry;
}

} // namespace corvane::posix
