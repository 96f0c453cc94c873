#include "sim_transport.h"

#include "logger_simulator.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace corvane {
namespace {

// A master writes the bytes of a frame a few milliseconds apart; a frame that stays unfinished
// this long is taken for garbage.
constexpr std::chrono::milliseconds kUnfinishedFrameTimeout{250};

int pollTimeoutMs(std::optional<std::chrono::steady_clock::time_point> deadline) {
    if (!deadline)
        return -1;
    const auto left = *deadline - std::chrono::steady_clock::now();
    return static_cast<int>(
        std::max<std::int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
}

} // namespace

SimTransport::SimTransport(LoggerSimulator &loggers) : m_loggers(loggers) {}

SimTransport::~SimTransport() = default;

bool SimTransport::startThread(QString *error) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
        if (error)
            *error = QStringLiteral("pipe: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    m_wakeRead = pipeFds[0];
    m_wakeWrite = pipeFds[1];
    m_stopping = false;
    m_framer = RequestFramer();
    m_lastByte = Clock::now();
    m_thread = std::thread([this] { run(); });
    return true;
}

void SimTransport::stopThread() {
    if (!m_thread.joinable())
        return;
    m_stopping = true;
    // Never read: once written, every wait on the pipe ends at once.
    const char wake = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wakeWrite, &wake, 1);
    m_thread.join();
    ::close(m_wakeRead);
    ::close(m_wakeWrite);
    m_wakeRead = m_wakeWrite = -1;
}

SimTransport::Ended SimTransport::serve(int fd) {
    while (!stopping()) {
        std::optional<Clock::time_point> deadline;
        if (m_framer.hasPartialFrame())
            deadline = m_lastByte + kUnfinishedFrameTimeout;
        const std::optional<Input> input = waitForInput(fd, deadline);
        if (!input)
            return Ended::Stopped;
        if (takeDropRequest())
            return Ended::Dropped;
        if (!readInput(fd, input->events))
            return Ended::PeerGone;
        if (input->timedOut && m_framer.hasPartialFrame() &&
            Clock::now() - m_lastByte >= kUnfinishedFrameTimeout)
            m_framer.dropFirstByte();
        if (!answerFrames(fd))
            return stopping() ? Ended::Stopped : Ended::Dropped;
    }
    return Ended::Stopped;
}

std::optional<SimTransport::Input>
SimTransport::waitForInput(int fd, std::optional<Clock::time_point> deadline) {
    const int kick = kickFd();
    while (!stopping()) {
        std::array<pollfd, 3> fds{pollfd{fd, POLLIN, 0}, pollfd{m_wakeRead, POLLIN, 0},
                                  pollfd{kick, POLLIN, 0}};
        const int ready = ::poll(fds.data(), fds.size(), pollTimeoutMs(deadline));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return std::nullopt;
        }
        if (fds[1].revents != 0)
            continue; // woken to stop
        if (fds[2].revents & POLLIN) {
            eventfd_t drained;
            ::eventfd_read(kick, &drained);
        }
        return Input{fds[0].revents, ready == 0};
    }
    return std::nullopt;
}

bool SimTransport::waitForWake(std::chrono::milliseconds timeout) {
    pollfd wake{m_wakeRead, POLLIN, 0};
    while (!stopping()) {
        const int ready = ::poll(&wake, 1, static_cast<int>(timeout.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        break;
    }
    return !stopping();
}

// False when the master has gone: it closed the pseudo-terminal, or the client the connection.
bool SimTransport::readInput(int fd, short events) {
    if (events & POLLIN) {
        std::array<char, 4096> buffer;
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got > 0) {
            m_framer.feed(QByteArray(buffer.data(), got));
            m_lastByte = Clock::now();
            return true;
        }
        return got < 0 && (errno == EAGAIN || errno == EINTR);
    }
    return !(events & (POLLHUP | POLLERR | POLLNVAL));
}

bool SimTransport::answerFrames(int fd) {
    while (true) {
        const std::optional<QByteArray> frame = m_framer.nextFrame();
        logDiscarded();
        if (!frame)
            return true;
        // Read per frame: a master may change its settings between two requests.
        std::optional<LineSettings> lineChange;
        const SimResponse response = m_loggers.respond(*frame, heardSettings(), &lineChange);
        for (const ReplyChunk &chunk : response.chunks) {
            if (chunk.pauseBefore.count() > 0 && !waitForWake(chunk.pauseBefore))
                return false;
            if (takeDropRequest())
                return false;
            if (!writeChunk(fd, chunk.bytes))
                break;
        }
        if (takeDropRequest())
            return false;
        if (lineChange)
            followLineChange(*lineChange);
    }
}

bool SimTransport::writeChunk(int fd, const QByteArray &bytes) {
    qsizetype done = 0;
    while (done < bytes.size() && !stopping()) {
        const ssize_t written =
            writeSome(fd, bytes.constData() + done, static_cast<std::size_t>(bytes.size() - done));
        if (written > 0) {
            done += written;
            continue;
        }
        if (written < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd out{fd, POLLOUT, 0};
            if (::poll(&out, 1, 1000) <= 0)
                return false;
            continue;
        }
        return false; // no master on the line any more: the reply is lost, as on a real bus
    }
    return done == bytes.size();
}

void SimTransport::discardPartialFrame() {
    while (m_framer.hasPartialFrame())
        m_framer.dropFirstByte();
    logDiscarded();
}

void SimTransport::logDiscarded() {
    if (const QByteArray garbage = m_framer.takeDiscarded(); !garbage.isEmpty())
        log(QStringLiteral("   dropped ") + QString::fromLatin1(garbage.toHex(' ').toUpper()));
}

void SimTransport::log(const QString &line) const {
    m_loggers.logTraffic(line);
}

} // namespace corvane
