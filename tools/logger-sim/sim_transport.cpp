#include "sim_transport.h"

#include "logger_simulator.h"
#include "sim_bus_copy.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace corvane {
namespace {

// A master writes the bytes of a frame a few milliseconds apart; a frame that stays unfinished
// this long is taken for garbage.
constexpr std::chrono::milliseconds kUnfinishedFrameTimeout{250};
// Bytes paced on the line go out in writes at least this far apart, unless the last byte of a
// piece is due sooner: a wake for every byte would be one every 260 us at 38400 baud, and no
// master reads its port finer than this.
constexpr std::chrono::microseconds kPacingGrain{1000};
// How long before a byte is due the thread stops sleeping and watches the clock.
constexpr std::chrono::nanoseconds kSpinBefore{100'000};

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
    m_options = m_loggers.wireOptions();
    m_wire = WireSchedule();
    m_lastByte = Clock::now();
    m_thread = std::thread([this] {
        // Line time is paced to the microsecond; the kernel's default slack of 50 us on every
        // timed wait would make each reply that much later than the line does.
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        run();
    });
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

bool SimTransport::waitUntil(Clock::time_point deadline) {
    pollfd wake{m_wakeRead, POLLIN, 0};
    while (!stopping()) {
        const auto left = std::chrono::ceil<std::chrono::nanoseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            return true;
        // A timed wake comes some tens of microseconds late; the last stretch is waited out
        // awake, so that a byte leaves when the line has passed it, not a wake-up later.
        if (left < kSpinBefore) {
            while (Clock::now() < deadline && !stopping()) {
            }
            continue;
        }
        const auto sleep = left - kSpinBefore;
        const timespec timeout{static_cast<time_t>(sleep.count() / 1'000'000'000),
                               static_cast<long>(sleep.count() % 1'000'000'000)};
        ::ppoll(&wake, 1, &timeout, nullptr);
    }
    return false;
}

// False when the master has gone: it closed the pseudo-terminal, or the client the connection.
bool SimTransport::readInput(int fd, short events) {
    if (events & POLLIN) {
        std::array<char, 4096> buffer;
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got > 0) {
            if (m_busCopy)
                m_busCopy->carry(buffer.data(), std::size_t(got));
            m_framer.feed(QByteArray(buffer.data(), got));
            m_lastByte = Clock::now();
            m_wire.arrived(m_lastByte, got);
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
        const std::optional<LineSettings> heard = heardSettings();
        // Taken before the logger acts on the request: it acknowledges a change of its line
        // settings at the old ones.
        const std::chrono::nanoseconds character =
            characterTimeAt(static_cast<std::uint8_t>(frame->at(0)), heard);
        const QList<Clock::time_point> passed = m_wire.pass(frame->size(), character);
        const Clock::time_point received = passed.isEmpty() ? Clock::now() : passed.last();
        if (m_options.echo) {
            // The adapter hears the request as its bytes pass, whoever it is for.
            if (writePaced(fd, *frame, passed, false) == Sent::Ended)
                return false;
        } else if (m_options.lineTime && !waitUntil(received)) {
            return false;
        }
        std::optional<LineSettings> lineChange;
        const SimResponse response = m_loggers.respond(*frame, heard, &lineChange);
        if (sendReply(fd, response, received, character) == Sent::Ended)
            return false;
        if (takeDropRequest())
            return false;
        if (lineChange)
            followLineChange(*lineChange);
    }
}

std::chrono::nanoseconds
SimTransport::characterTimeAt(int address, const std::optional<LineSettings> &heard) const {
    if (!m_options.lineTime)
        return {};
    // A logger hears only frames at its own settings where the transport tells them apart, so
    // its own are the line's; without one at the address the line's are what was heard.
    const std::optional<LineSettings> own = m_loggers.slaveLineSettings(address);
    return characterTime(own ? *own : heard.value_or(LineSettings()), stopBits());
}

SimTransport::Sent SimTransport::sendReply(int fd, const SimResponse &response,
                                           Clock::time_point received,
                                           std::chrono::nanoseconds character) {
    if (response.silent())
        return Sent::Done;
    if (!m_options.lineTime) {
        if (m_options.turnaround.count() > 0 && !waitUntil(Clock::now() + m_options.turnaround))
            return Sent::Ended;
        for (const ReplyChunk &chunk : response.chunks) {
            if (chunk.pauseBefore.count() > 0 && !waitForWake(chunk.pauseBefore))
                return Sent::Ended;
            if (takeDropRequest())
                return Sent::Ended;
            if (!writeChunk(fd, chunk.bytes))
                return Sent::Lost;
        }
        return Sent::Done;
    }
    // The faults' pauses come on top of the line time: a late reply starts that much after
    // the turnaround, and each further piece that much after the piece before has passed.
    QByteArray bytes;
    QList<Clock::time_point> due;
    Clock::time_point next = received + m_options.turnaround;
    for (const ReplyChunk &chunk : response.chunks) {
        const QList<Clock::time_point> passed =
            m_wire.send(next + chunk.pauseBefore, chunk.bytes.size(), character);
        bytes += chunk.bytes;
        due += passed;
        if (!passed.isEmpty())
            next = passed.last();
    }
    return writePaced(fd, bytes, due);
}

// A byte reaches the master once it has passed on the line, never sooner; the bytes that are
// due by the time the thread wakes go out together.
SimTransport::Sent SimTransport::writePaced(int fd, const QByteArray &bytes,
                                            const QList<Clock::time_point> &due, bool onLine) {
    if (due.size() != bytes.size())
        return writeChunk(fd, bytes, onLine) ? Sent::Done : Sent::Lost;
    qsizetype next = 0;
    while (next < bytes.size()) {
        if (const Clock::time_point now = Clock::now(); due[next] > now) {
            const Clock::time_point wake =
                std::min(std::max(due[next], now + kPacingGrain), due.last());
            if (!waitUntil(wake))
                return Sent::Ended;
        }
        if (takeDropRequest())
            return Sent::Ended;
        const Clock::time_point now = Clock::now();
        qsizetype end = next + 1;
        while (end < bytes.size() && due[end] <= now)
            ++end;
        if (!writeChunk(fd, bytes.mid(next, end - next), onLine))
            return Sent::Lost;
        next = end;
    }
    return Sent::Done;
}

bool SimTransport::writeChunk(int fd, const QByteArray &bytes, bool onLine) {
    qsizetype done = 0;
    while (done < bytes.size() && !stopping()) {
        const ssize_t written =
            writeSome(fd, bytes.constData() + done, static_cast<std::size_t>(bytes.size() - done));
        if (written > 0) {
            if (onLine && m_busCopy)
                m_busCopy->carry(bytes.constData() + done, std::size_t(written));
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
    const QByteArray garbage = m_framer.takeDiscarded();
    if (garbage.isEmpty())
        return;
    // Garbage held the line as long as a frame's bytes would have.
    m_wire.pass(garbage.size(), m_options.lineTime ? characterTimeAt(-1, heardSettings())
                                                   : std::chrono::nanoseconds{});
    log(QStringLiteral("   dropped ") + QString::fromLatin1(garbage.toHex(' ').toUpper()));
}

void SimTransport::log(const QString &line) const {
    m_loggers.logTraffic(line);
}

} // namespace corvane
