#include "posix_tcp_device.h"

#include "posix_event_wait.h"
#include "posix_wait.h"

#include "network_port_name.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <linux/sockios.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

// Bytes written and not yet sent (Linux 2.6.38 and later); older C library headers lack it.
#ifndef SIOCOUTNSQ
#define SIOCOUTNSQ 0x894B
#endif

namespace corvane::posix {
namespace {

using Clock = posix::Clock;
using posix::remainingMs;

constexpr std::uint32_t kInputEvents = EV_RXCHAR | EV_RX80FULL;

// What a connected stream socket reports once its connection is over.
bool connectionEnded(int error) {
    switch (error) {
    case ECONNRESET:
    case ECONNABORTED:
    case EPIPE:
    case ENOTCONN:
    case ETIMEDOUT:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ENETDOWN:
    case EHOSTDOWN:
        return true;
    default:
        return false;
    }
}

class TcpSerialDevice final : public SerialDevice, private EventSource {
public:
    TcpSerialDevice(int fd, int kick) : m_fd(fd), m_kick(kick) {}
    ~TcpSerialDevice() override {
        closeHandle();
        ::close(m_kick);
    }

    bool isValid() const override {
        std::lock_guard lock(m_mutex);
        return m_fd >= 0;
    }

    void closeHandle() override {
        std::lock_guard lock(m_mutex);
        if (m_fd < 0)
            return;
        ::close(m_fd);
        m_fd = -1;
    }

    bool setupComm(int inQueue, int /*outQueue*/) override {
        std::lock_guard lock(m_mutex);
        if (!usable())
            return false;
        m_queues.readSize = inQueue;
        return true;
    }

    // The line belongs to the gateway, which has settings of its own that nothing here reaches.
    bool setCommState(const SerDcb & /*dcb*/) override {
        std::lock_guard lock(m_mutex);
        return usable();
    }

    bool setCommTimeouts() override {
        std::lock_guard lock(m_mutex);
        return usable();
    }

    bool setCommMask(std::uint32_t mask) override {
        {
            std::lock_guard lock(m_mutex);
            if (!usable())
                return false;
            m_mask = mask;
        }
        ::eventfd_write(m_kick, 1);
        return true;
    }

    bool clearCommError(std::uint32_t &errors, SerComStat &stat) override {
        std::lock_guard lock(m_mutex);
        errors = 0;
        stat = {};
        if (!usable())
            return false;
        int queued = 0;
        if (::ioctl(m_fd, FIONREAD, &queued) != 0)
            return false;
        stat.cbInQue = std::uint32_t(std::max(queued, 0));
        stat.cbOutQue = std::uint32_t(unsent());
        return true;
    }

    // No lines to key: the gateway turns the bus round itself.
    bool escapeCommFunction(SerEscape function) override {
        std::lock_guard lock(m_mutex);
        if (!usable())
            return false;
        switch (function) {
        case SerEscape::SetRts:
        case SerEscape::ClrRts:
        case SerEscape::SetDtr:
        case SerEscape::ClrDtr:
            return true;
        }
        errno = EINVAL;
        return false;
    }

    bool readFile(void *buffer, int count, int &done) override;
    SerWriteResult writeFile(const void *data, int count, int &done,
                             std::span<const SerHandle> wake, int timeoutMs,
                             int &wokenIndex) override;
    SerWaitResult waitCommEvent(std::uint32_t &events, SerHandle wake) override;

    // Nothing waits for the bytes to reach the bus: RTS means nothing here, and the reply
    // window starts when the frame has been handed over.
    bool drainOutput(int /*timeoutMs*/) override { return isValid(); }
    // The gateway turns its own line round.
    bool setRs485(const SerRs485 & /*mode*/) override {
        errno = ENOTTY;
        return false;
    }

private:
    bool usable() const {
        if (m_fd >= 0)
            return true;
        errno = EBADF;
        return false;
    }
    // Bytes written and not yet sent; 0 where the system cannot tell.
    int unsent() const {
        int pending = 0;
        return ::ioctl(m_fd, SIOCOUTNSQ, &pending) == 0 ? std::max(pending, 0) : 0;
    }
    SerWaitResult collect(std::uint32_t &events, EventWaitPlan &plan) override;
    int pollDescriptor() override;
    int endedBy(short revents) override;
    // Why the connection ended, as the event wait reports it: the socket's own error, or the
    // other side having closed it.
    int endReason();

    mutable std::mutex m_mutex;
    int m_fd;
    const int m_kick; // wakes a waiting waitCommEvent to look again
    std::uint32_t m_mask = 0;
    QueueWatch m_queues;
};

// The end of the connection reads as nothing queued, not as a failure: the event wait reports
// it once, as the device lost, which is all the caller needs to hear.
bool TcpSerialDevice::readFile(void *buffer, int count, int &done) {
    std::lock_guard lock(m_mutex);
    done = 0;
    if (!usable())
        return false;
    if (count <= 0)
        return true;
    ssize_t got;
    do {
        got = ::recv(m_fd, buffer, std::size_t(count), MSG_DONTWAIT);
    } while (got < 0 && errno == EINTR);
    if (got < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || connectionEnded(errno);
    done = int(got);
    m_queues.taken(done);
    return true;
}

SerWriteResult TcpSerialDevice::writeFile(const void *data, int count, int &done,
                                          std::span<const SerHandle> wake, int timeoutMs,
                                          int &wokenIndex) {
    done = 0;
    wokenIndex = -1;
    if (count <= 0)
        return SerWriteResult::Written;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        int fd;
        {
            std::lock_guard lock(m_mutex);
            if (!usable())
                return SerWriteResult::Failed;
            fd = m_fd;
            // MSG_NOSIGNAL: a closed connection is an error to report, not SIGPIPE.
            const ssize_t written =
                ::send(fd, data, std::size_t(count), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (written > 0) {
                done = int(written);
                m_queues.txPending = true;
                if (m_mask & EV_TXEMPTY)
                    ::eventfd_write(m_kick, 1);
                return SerWriteResult::Written;
            }
            if (written < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                return SerWriteResult::Failed;
        }
        if (timeoutMs != kSerInfinite && Clock::now() >= deadline)
            return SerWriteResult::TimedOut;

        switch (posix::waitWritable(fd, wake, timeoutMs, deadline, wokenIndex)) {
        case posix::WritableWait::Retry:
        case posix::WritableWait::HungUp:
            // A connection that ended makes the next send fail with its reason.
            break;
        case posix::WritableWait::Woken:
            return SerWriteResult::Woken;
        case posix::WritableWait::Failed:
            return SerWriteResult::Failed;
        }
    }
}

SerWaitResult TcpSerialDevice::collect(std::uint32_t &events, EventWaitPlan &plan) {
    std::lock_guard lock(m_mutex);
    if (!usable())
        return SerWaitResult::Failed;

    if (m_mask & kInputEvents) {
        int queued = 0;
        if (::ioctl(m_fd, FIONREAD, &queued) != 0)
            return connectionEnded(errno) ? SerWaitResult::Lost : SerWaitResult::Failed;
        events |= m_queues.inputEvents(m_mask, queued, plan);
    }
    events |= m_queues.outputEvents(m_mask, plan, [this] { return unsent(); });
    return SerWaitResult::Events;
}

int TcpSerialDevice::pollDescriptor() {
    std::lock_guard lock(m_mutex);
    return usable() ? m_fd : -1;
}

int TcpSerialDevice::endReason() {
    std::lock_guard lock(m_mutex);
    int error = 0;
    socklen_t length = sizeof error;
    if (m_fd >= 0 && ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0)
        return error;
    return kNetConnectionClosed;
}

int TcpSerialDevice::endedBy(short revents) {
    if (revents & (POLLHUP | POLLERR | POLLRDHUP | POLLNVAL))
        return endReason();
    if (revents & POLLIN) {
        // Readable with nothing queued is the end of the stream where POLLRDHUP is missing.
        std::lock_guard lock(m_mutex);
        char byte;
        if (m_fd >= 0 && ::recv(m_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0)
            return kNetConnectionClosed;
    }
    return 0;
}

// POLLRDHUP is asked for whether or not input is wanted: the other side closing is news even
// while bytes sit unread.
SerWaitResult TcpSerialDevice::waitCommEvent(std::uint32_t &events, SerHandle wake) {
    return waitForEvents(*this, m_kick, POLLRDHUP, wake, events);
}

// getaddrinfo has no time limit of its own (a resolver that does not answer holds it for many
// seconds), so it runs on a thread of its own that the opener stops waiting for at the
// deadline. Whichever side lets go last frees the result.
struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    int status = EAI_FAIL;
    addrinfo *result = nullptr;
    ~Lookup() {
        if (result)
            ::freeaddrinfo(result);
    }
};

void resolve(const std::shared_ptr<Lookup> &lookup, const std::string &host,
             const std::string &port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo *result = nullptr;
    const int status = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &result);
    std::lock_guard lock(lookup->mutex);
    lookup->status = status;
    lookup->result = status == 0 ? result : nullptr;
    lookup->finished = true;
    lookup->done.notify_all();
}

// The lookup's result, or null (errno set) when the name does not resolve in time.
std::shared_ptr<Lookup> lookUp(const NetworkPortAddress &address, Clock::time_point deadline) {
    auto lookup = std::make_shared<Lookup>();
    const std::string port = std::to_string(address.port);
    try {
        std::thread([lookup, host = address.host, port] { resolve(lookup, host, port); }).detach();
    } catch (const std::system_error &) {
        resolve(lookup, address.host, port);
    }
    std::unique_lock lock(lookup->mutex);
    if (!lookup->done.wait_until(lock, deadline, [&] { return lookup->finished; }) ||
        lookup->status != 0) {
        errno = kNetHostNotResolved;
        return nullptr;
    }
    return lookup;
}

// A connected socket to one of the addresses, or -1 with the reason in errno. An address that
// fails gives way to the next; the time limit covers them all.
int connectToAny(const addrinfo *addresses, Clock::time_point deadline) {
    int failure = ETIMEDOUT;
    for (const addrinfo *address = addresses; address; address = address->ai_next) {
        if (Clock::now() >= deadline) {
            failure = ETIMEDOUT;
            break;
        }
        const int fd = ::socket(address->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC,
                                address->ai_protocol);
        if (fd < 0) {
            failure = errno;
            continue;
        }
        int error = 0;
        if (::connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
            error = errno;
            if (error == EINPROGRESS || error == EINTR) {
                pollfd out{fd, POLLOUT, 0};
                int ready;
                do {
                    ready = ::poll(&out, 1, remainingMs(deadline));
                } while (ready < 0 && errno == EINTR);
                socklen_t length = sizeof error;
                if (ready == 0)
                    error = ETIMEDOUT;
                else if (ready < 0)
                    error = errno;
                else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                    error = errno;
            }
        }
        if (error == 0)
            return fd;
        ::close(fd);
        failure = error;
    }
    errno = failure;
    return -1;
}

} // namespace

std::shared_ptr<SerialDevice> openTcpDevice(const std::string &name,
                                            std::chrono::milliseconds timeout) {
    NetworkPortAddress address;
    if (const int problem = parseNetworkPortName(name, address)) {
        errno = problem;
        return nullptr;
    }
    const auto deadline = Clock::now() + timeout;
    const std::shared_ptr<Lookup> lookup = lookUp(address, deadline);
    if (!lookup)
        return nullptr;
    const int fd = connectToAny(lookup->result, deadline);
    if (fd < 0)
        return nullptr;
    // Each request goes out as one write; Nagle's algorithm would hold a frame back until the
    // previous one is acknowledged.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    const int kick = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (kick < 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return nullptr;
    }
    return std::make_shared<TcpSerialDevice>(fd, kick);
}

} // namespace corvane::posix
