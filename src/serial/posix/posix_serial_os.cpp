#include "posix_serial_os.h"

#include "posix_event_wait.h"
#include "posix_termios2.h"
#include "posix_wait.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace corvane::posix {
namespace {

using Clock = posix::Clock;
using posix::remainingMs;

// Modem lines have no poll() event; they are sampled this often while their events are wanted.
constexpr int kModemPollMs = 10;

constexpr std::uint32_t kInputEvents = EV_RXCHAR | EV_RX80FULL | EV_ERR | EV_BREAK;
constexpr std::uint32_t kModemEvents = EV_CTS | EV_DSR | EV_RING | EV_RLSD;

// Drivers without modem lines or counters (a pseudo-terminal) answer with one of these.
bool notSupported(int error) {
    return error == ENOTTY || error == EINVAL;
}

bool lacksModemLines(int fd) {
    int lines = 0;
    return ::ioctl(fd, TIOCMGET, &lines) != 0 && notSupported(errno);
}

// A pseudo-terminal has no parity generator and clears PARENB; the C library then reports the
// whole change as failed. Everything else was applied, and a pty has nothing else to apply, so
// such a device counts as set. A real UART that refuses parity still fails.
bool parityIgnoredByPty(int fd, const termios &wanted) {
    if (errno != EINVAL || !(wanted.c_cflag & PARENB))
        return false;
    if (!lacksModemLines(fd))
        return false;
    termios now{};
    if (::tcgetattr(fd, &now) != 0)
        return false;
    const tcflag_t ignored = PARENB | PARODD | CMSPAR;
    return (now.c_cflag & ~ignored) == (wanted.c_cflag & ~ignored) &&
           now.c_iflag == wanted.c_iflag && now.c_lflag == wanted.c_lflag;
}

// Errors after which the descriptor is of no further use.
bool deviceGone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV || error == EBADF;
}

speed_t standardSpeed(std::uint32_t rate) {
    switch (rate) {
    case 50:
        return B50;
    case 75:
        return B75;
    case 110:
        return B110;
    case 134:
        return B134;
    case 150:
        return B150;
    case 200:
        return B200;
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 1800:
        return B1800;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 500000:
        return B500000;
    case 576000:
        return B576000;
    case 921600:
        return B921600;
    case 1000000:
        return B1000000;
    case 1152000:
        return B1152000;
    case 1500000:
        return B1500000;
    case 2000000:
        return B2000000;
    default:
        return B0;
    }
}

struct LineCounters {
    bool valid = false;
    serial_icounter_struct counts{};
};

std::uint32_t errorFlagsBetween(const serial_icounter_struct &before,
                                const serial_icounter_struct &now) {
    std::uint32_t flags = 0;
    if (now.frame != before.frame)
        flags |= CE_FRAME;
    if (now.parity != before.parity)
        flags |= CE_RXPARITY;
    if (now.overrun != before.overrun)
        flags |= CE_OVERRUN;
    if (now.buf_overrun != before.buf_overrun)
        flags |= CE_RXOVER;
    if (now.brk != before.brk)
        flags |= CE_BREAK;
    return flags;
}

class PosixSerialDevice final : public SerialDevice, private EventSource {
public:
    PosixSerialDevice(int fd, int kick) : m_fd(fd), m_kick(kick) {
        readCounters(m_clearBase);
        m_eventBase = m_clearBase;
    }
    ~PosixSerialDevice() override {
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
        // Both holds are dropped explicitly: a thread still inside poll() keeps the open file
        // alive for a moment after close(), and with it the lock, so an immediate reopen
        // would find the device busy.
        ::ioctl(m_fd, TIOCNXCL);
        ::flock(m_fd, LOCK_UN);
        // The UART keeps its RS-485 mode after we close; the next program finds it as it was.
        if (m_rs485Before)
            ::ioctl(m_fd, TIOCSRS485, &*m_rs485Before);
        m_rs485Before.reset();
        ::close(m_fd);
        m_fd = -1;
    }

    bool setRs485(const SerRs485 &mode) override {
        std::lock_guard lock(m_mutex);
        if (!usable())
            return false;
        serial_rs485 before{};
        if (!m_rs485Before) {
            if (::ioctl(m_fd, TIOCGRS485, &before) != 0)
                return false;
        }
        serial_rs485 wanted{};
        wanted.flags = posixRs485Flags(mode);
        if (::ioctl(m_fd, TIOCSRS485, &wanted) != 0)
            return false;
        if (!m_rs485Before)
            m_rs485Before = before;
        return true;
    }

    bool setupComm(int inQueue, int /*outQueue*/) override {
        // Linux sizes its tty queues itself; the input size only sets the 80 % mark.
        std::lock_guard lock(m_mutex);
        if (!usable())
            return false;
        m_queues.readSize = inQueue;
        return true;
    }

    bool setCommState(const SerDcb &dcb) override;

    bool setCommTimeouts() override {
        std::lock_guard lock(m_mutex);
        if (!usable())
            return false;
        const int flags = ::fcntl(m_fd, F_GETFL);
        return flags >= 0 && ::fcntl(m_fd, F_SETFL, flags | O_NONBLOCK) == 0;
    }

    bool setCommMask(std::uint32_t mask) override {
        {
            std::lock_guard lock(m_mutex);
            if (!usable())
                return false;
            m_mask = mask;
            m_lines = -1;
        }
        kick();
        return true;
    }

    bool clearCommError(std::uint32_t &errors, SerComStat &stat) override;
    bool escapeCommFunction(SerEscape function) override;
    bool readFile(void *buffer, int count, int &done) override;
    SerWriteResult writeFile(const void *data, int count, int &done,
                             std::span<const SerHandle> wake, int timeoutMs,
                             int &wokenIndex) override;
    SerWaitResult waitCommEvent(std::uint32_t &events, SerHandle wake) override;
    bool drainOutput(int timeoutMs) override;

private:
    bool usable() const {
        if (m_fd >= 0)
            return true;
        errno = EBADF;
        return false;
    }
    void kick() { ::eventfd_write(m_kick, 1); }
    // False only for a real failure; a driver without counters reads as "no errors".
    bool readCounters(LineCounters &into);
    bool setModemLine(int line, bool on);
    int unsent() const {
        int pending = 0;
        return ::ioctl(m_fd, TIOCOUTQ, &pending) == 0 ? pending : 0;
    }
    SerWaitResult collect(std::uint32_t &events, EventWaitPlan &plan) override;
    int pollDescriptor() override;
    int endedBy(short revents) override;

    mutable std::mutex m_mutex;
    std::optional<serial_rs485> m_rs485Before;
    int m_fd;
    const int m_kick; // wakes a waiting waitCommEvent to look again
    std::uint32_t m_mask = 0;
    QueueWatch m_queues;
    int m_lines = -1;
    bool m_modemLines = true;
    bool m_counters = true;
    LineCounters m_clearBase;
    LineCounters m_eventBase;
};

bool PosixSerialDevice::readCounters(LineCounters &into) {
    into.valid = false;
    if (!m_counters || m_fd < 0)
        return true;
    if (::ioctl(m_fd, TIOCGICOUNT, &into.counts) == 0) {
        into.valid = true;
        return true;
    }
    if (notSupported(errno)) {
        m_counters = false;
        return true;
    }
    return false;
}

bool PosixSerialDevice::setModemLine(int line, bool on) {
    int bits = line;
    if (::ioctl(m_fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0)
        return true;
    // No modem lines (a pseudo-terminal): nothing to key, which is not a failure.
    return notSupported(errno);
}

bool PosixSerialDevice::setCommState(const SerDcb &dcb) {
    std::lock_guard lock(m_mutex);
    if (!usable())
        return false;

    const unsigned dtrControl = (dcb.Flags >> kDcbDtrControlShift) & 3u;
    const unsigned rtsControl = (dcb.Flags >> kDcbRtsControlShift) & 3u;
    // What a tty cannot do is refused rather than silently dropped: DSR flow control and
    // sensitivity, DTR handshake, RTS toggle, error-character replacement and null stripping.
    const std::uint32_t unsupported =
        kDcbOutxDsrFlow | kDcbDsrSensitivity | kDcbErrorChar | kDcbNull | kDcbAbortOnError;
    const bool valid = dcb.BaudRate > 0 && dcb.BaudRate <= INT_MAX && dcb.ByteSize >= 5 &&
                       dcb.ByteSize <= 8 && dcb.Parity <= 4 && dcb.StopBits <= 2 &&
                       (dcb.StopBits != 1 || dcb.ByteSize == 5) && !(dcb.Flags & unsupported) &&
                       dtrControl <= 1 && rtsControl <= 2;
    if (!valid) {
        errno = EINVAL;
        return false;
    }

    termios settings{};
    if (::tcgetattr(m_fd, &settings) != 0)
        return false;
    settings.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                                  IXOFF | IXANY | INPCK | IGNPAR);
    settings.c_oflag &= ~tcflag_t(OPOST);
    settings.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    settings.c_cflag |= CREAD | CLOCAL;

    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    settings.c_cflag |= sizes[dcb.ByteSize - 5];
    static constexpr tcflag_t parities[] = {0, PARENB | PARODD, PARENB, PARENB | CMSPAR | PARODD,
                                            PARENB | CMSPAR};
    settings.c_cflag |= parities[dcb.Parity];
    if (dcb.StopBits != 0)
        settings.c_cflag |= CSTOPB; // with 5 data bits a UART sends 1.5 stop bits
    // The pty clears PARENB, so whatever sits at its far end (the simulated logger) could not
    // tell even parity from none; INPCK survives and tells it. A pty never reports parity
    // errors, so the check changes nothing there; a real UART keeps the check as configured.
    if ((dcb.Flags & kDcbParity) || (dcb.Parity != 0 && lacksModemLines(m_fd)))
        settings.c_iflag |= INPCK;
    if (dcb.Flags & kDcbOutX)
        settings.c_iflag |= IXON;
    if (dcb.Flags & kDcbInX)
        settings.c_iflag |= IXOFF;
    // Linux ties both directions of hardware flow control to one flag.
    if ((dcb.Flags & kDcbOutxCtsFlow) || rtsControl == 2)
        settings.c_cflag |= CRTSCTS;
    settings.c_cc[VSTART] = dcb.XonChar;
    settings.c_cc[VSTOP] = dcb.XoffChar;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;

    const speed_t speed = standardSpeed(dcb.BaudRate);
    const speed_t placeholder = speed == B0 ? B38400 : speed;
    if (::cfsetispeed(&settings, placeholder) != 0 || ::cfsetospeed(&settings, placeholder) != 0)
        return false;
    if (::tcsetattr(m_fd, TCSANOW, &settings) != 0 && !parityIgnoredByPty(m_fd, settings))
        return false;
    if (speed == B0 && !setCustomSpeed(m_fd, dcb.BaudRate))
        return false;

    if (!setModemLine(TIOCM_DTR, dtrControl == 1))
        return false;
    if (rtsControl != 2 && !setModemLine(TIOCM_RTS, rtsControl == 1))
        return false;
    return true;
}

bool PosixSerialDevice::clearCommError(std::uint32_t &errors, SerComStat &stat) {
    std::lock_guard lock(m_mutex);
    errors = 0;
    stat = {};
    if (!usable())
        return false;
    int queued = 0;
    if (::ioctl(m_fd, FIONREAD, &queued) != 0)
        return false;
    int pending = 0;
    if (::ioctl(m_fd, TIOCOUTQ, &pending) != 0) {
        if (!notSupported(errno))
            return false;
        pending = 0;
    }
    LineCounters now;
    if (!readCounters(now))
        return false;
    if (now.valid && m_clearBase.valid)
        errors = errorFlagsBetween(m_clearBase.counts, now.counts);
    m_clearBase = now;
    stat.Flags = errors;
    stat.cbInQue = std::uint32_t(queued);
    stat.cbOutQue = std::uint32_t(pending);
    return true;
}

// The output queue is watched without holding the device, so reads go on meanwhile; tcdrain
// comes only once the queue is empty, when what is left is the UART's own few characters, so it
// cannot block for long even if the line is held up.
bool PosixSerialDevice::drainOutput(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int pending = 0;
        {
            std::lock_guard lock(m_mutex);
            if (!usable())
                return false;
            if (::ioctl(m_fd, TIOCOUTQ, &pending) != 0)
                pending = 0;
        }
        if (pending <= 0)
            break;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        const timespec pause{0, 500'000};
        ::nanosleep(&pause, nullptr);
    }
    std::lock_guard lock(m_mutex);
    if (!usable())
        return false;
    while (::tcdrain(m_fd) != 0) {
        if (errno != EINTR)
            return notSupported(errno);
    }
    return true;
}

bool PosixSerialDevice::escapeCommFunction(SerEscape function) {
    std::lock_guard lock(m_mutex);
    if (!usable())
        return false;
    switch (function) {
    case SerEscape::SetRts:
        return setModemLine(TIOCM_RTS, true);
    case SerEscape::ClrRts:
        return setModemLine(TIOCM_RTS, false);
    case SerEscape::SetDtr:
        return setModemLine(TIOCM_DTR, true);
    case SerEscape::ClrDtr:
        return setModemLine(TIOCM_DTR, false);
    }
    errno = EINVAL;
    return false;
}

bool PosixSerialDevice::readFile(void *buffer, int count, int &done) {
    std::lock_guard lock(m_mutex);
    done = 0;
    if (!usable())
        return false;
    if (count <= 0)
        return true;
    ssize_t got;
    do {
        got = ::read(m_fd, buffer, std::size_t(count));
    } while (got < 0 && errno == EINTR);
    if (got < 0)
        return errno == EAGAIN;
    done = int(got);
    m_queues.taken(done);
    return true;
}

SerWriteResult PosixSerialDevice::writeFile(const void *data, int count, int &done,
                                            std::span<const SerHandle> wake, int timeoutMs,
                                            int &wokenIndex) {
    done = 0;
    wokenIndex = -1;
    if (count <= 0)
        return SerWriteResult::Written;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    bool hungUp = false;
    for (;;) {
        int fd;
        {
            std::lock_guard lock(m_mutex);
            if (!usable())
                return SerWriteResult::Failed;
            fd = m_fd;
            const ssize_t written = ::write(fd, data, std::size_t(count));
            if (written > 0) {
                done = int(written);
                m_queues.txPending = true;
                if (m_mask & EV_TXEMPTY)
                    kick();
                return SerWriteResult::Written;
            }
            if (written < 0 && errno != EAGAIN && errno != EINTR)
                return SerWriteResult::Failed;
            if (hungUp) {
                errno = EIO;
                return SerWriteResult::Failed;
            }
        }
        if (timeoutMs != kSerInfinite && Clock::now() >= deadline)
            return SerWriteResult::TimedOut;

        switch (posix::waitWritable(fd, wake, timeoutMs, deadline, wokenIndex)) {
        case posix::WritableWait::Retry:
            break;
        case posix::WritableWait::Woken:
            return SerWriteResult::Woken;
        case posix::WritableWait::HungUp:
            hungUp = true;
            break;
        case posix::WritableWait::Failed:
            return SerWriteResult::Failed;
        }
    }
}

SerWaitResult PosixSerialDevice::collect(std::uint32_t &events, EventWaitPlan &plan) {
    std::lock_guard lock(m_mutex);
    if (!usable())
        return SerWaitResult::Failed;
    const auto failure = [] {
        return deviceGone(errno) ? SerWaitResult::Lost : SerWaitResult::Failed;
    };

    if (m_mask & kInputEvents) {
        int queued = 0;
        if (::ioctl(m_fd, FIONREAD, &queued) != 0)
            return failure();
        events |= m_queues.inputEvents(m_mask, queued, plan);

        LineCounters now;
        if (!readCounters(now))
            return failure();
        if (now.valid && m_eventBase.valid) {
            const std::uint32_t flags = errorFlagsBetween(m_eventBase.counts, now.counts);
            if ((m_mask & EV_ERR) && (flags & (CE_FRAME | CE_RXPARITY | CE_OVERRUN | CE_RXOVER)))
                events |= EV_ERR;
            if ((m_mask & EV_BREAK) && (flags & CE_BREAK))
                events |= EV_BREAK;
        }
        m_eventBase = now;
    }

    if ((m_mask & kModemEvents) && m_modemLines) {
        int lines = 0;
        if (::ioctl(m_fd, TIOCMGET, &lines) == 0) {
            if (m_lines >= 0) {
                const int changed = lines ^ m_lines;
                if ((m_mask & EV_CTS) && (changed & TIOCM_CTS))
                    events |= EV_CTS;
                if ((m_mask & EV_DSR) && (changed & TIOCM_DSR))
                    events |= EV_DSR;
                if ((m_mask & EV_RING) && (changed & TIOCM_RNG))
                    events |= EV_RING;
                if ((m_mask & EV_RLSD) && (changed & TIOCM_CAR))
                    events |= EV_RLSD;
            }
            m_lines = lines;
            plan.lookAgainWithin(kModemPollMs);
        } else if (notSupported(errno)) {
            m_modemLines = false;
        } else {
            return failure();
        }
    }

    events |= m_queues.outputEvents(m_mask, plan, [this] { return unsent(); });
    return SerWaitResult::Events;
}

int PosixSerialDevice::pollDescriptor() {
    std::lock_guard lock(m_mutex);
    return usable() ? m_fd : -1;
}

int PosixSerialDevice::endedBy(short revents) {
    return (revents & (POLLHUP | POLLERR | POLLNVAL)) ? EIO : 0;
}

SerWaitResult PosixSerialDevice::waitCommEvent(std::uint32_t &events, SerHandle wake) {
    return waitForEvents(*this, m_kick, 0, wake, events);
}

} // namespace

std::uint32_t posixRs485Flags(const SerRs485 &mode) {
    if (!mode.enabled)
        return 0;
    return SER_RS485_ENABLED | (mode.rtsOnSend ? SER_RS485_RTS_ON_SEND : SER_RS485_RTS_AFTER_SEND);
}

std::shared_ptr<SerialDevice> PosixSerialOs::createFile(const std::string &name) {
    const int fd = ::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    // A regular file, /dev/null or a FIFO opens as readily as a port, and only the line settings
    // would fail later. Refused here, it is a device that cannot be opened like a missing one.
    if (!::isatty(fd)) {
        ::close(fd);
        errno = ENOTTY;
        return nullptr;
    }
    // Exclusive use. TIOCEXCL keeps other programs out but not root; the lock holds for all.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        errno = error;
        return nullptr;
    }
    ::ioctl(fd, TIOCEXCL);
    const int kick = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (kick < 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return nullptr;
    }
    return std::make_shared<PosixSerialDevice>(fd, kick);
}

SerHandle PosixSerialOs::createEvent() {
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    return fd < 0 ? kInvalidSerHandle : SerHandle(fd);
}

bool PosixSerialOs::setEvent(SerHandle event) {
    // A counter that is already at its limit is still signalled.
    return ::eventfd_write(int(event), 1) == 0 || errno == EAGAIN;
}

bool PosixSerialOs::resetEvent(SerHandle event) {
    eventfd_t drained;
    return ::eventfd_read(int(event), &drained) == 0 || errno == EAGAIN;
}

int PosixSerialOs::waitForMultipleObjects(std::span<const SerHandle> handles, int timeoutMs) {
    std::vector<pollfd> fds;
    fds.reserve(handles.size());
    for (SerHandle handle : handles)
        fds.push_back({int(handle), POLLIN, 0});
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        const int ready = ::poll(fds.data(), nfds_t(fds.size()),
                                 timeoutMs == kSerInfinite ? -1 : remainingMs(deadline));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return kSerWaitFailed;
        }
        if (ready == 0)
            return kSerWaitTimeout;
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents & POLLIN)
                return int(i);
            if (fds[i].revents & POLLNVAL) {
                errno = EBADF;
                return kSerWaitFailed;
            }
        }
    }
}

bool PosixSerialOs::closeHandle(SerHandle handle) {
    return ::close(int(handle)) == 0;
}

int PosixSerialOs::lastError() const {
    return errno;
}

std::string PosixSerialOs::errorText(int code) const {
    char buffer[256];
    return ::strerror_r(code, buffer, sizeof buffer);
}

bool PosixSerialOs::isNotFound(int code) const {
    return code == ENOENT;
}

std::int64_t PosixSerialOs::currentThreadId() const {
    return ::gettid();
}

void PosixSerialOs::setThreadPriority(std::int64_t threadId, TThreadPriority priority) {
    // Normal threads have one static priority on Linux, so the levels become nice values around
    // the process's own. Going above it needs privileges; without them the thread stays level.
    static constexpr int niceOffsets[] = {0, 10, 5, 0, -5, -10, -15};
    if (priority < tpIdle || priority > tpTimeCritical)
        return;
    const sched_param param{};
    ::sched_setscheduler(pid_t(threadId), priority == tpIdle ? SCHED_IDLE : SCHED_OTHER, &param);
    if (priority == tpIdle)
        return;
    errno = 0;
    const int base = ::getpriority(PRIO_PROCESS, id_t(::getpid()));
    if (errno != 0)
        return;
    ::setpriority(PRIO_PROCESS, id_t(threadId), std::clamp(base + niceOffsets[priority], -20, 19));
}

} // namespace corvane::posix
