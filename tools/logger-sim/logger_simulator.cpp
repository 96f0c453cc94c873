#include "logger_simulator.h"

#include "crc16.h"
#include "request_framer.h"
#include "request_handler.h"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

namespace corvane {
namespace {

constexpr qsizetype kFrameHistory = 10000;
// A master writes the bytes of a frame a few milliseconds apart; a frame that stays unfinished
// this long is taken for garbage.
constexpr std::chrono::milliseconds kUnfinishedFrameTimeout{250};
// How long to wait before looking again while no master holds the pseudo-terminal open.
constexpr int kNoClientRetryMs = 50;
// Connections the system completes while a client is served; they wait for their turn.
constexpr int kTcpBacklog = 4;

// Gives the framer what the polled descriptor holds. False when the peer has gone: the master
// closed the pseudo-terminal, or the client the connection.
bool feedFramer(const pollfd &polled, std::array<char, 4096> &buffer, RequestFramer &framer,
                std::chrono::steady_clock::time_point &lastByte) {
    if (polled.revents & POLLIN) {
        const ssize_t got = ::read(polled.fd, buffer.data(), buffer.size());
        if (got > 0) {
            framer.feed(QByteArray(buffer.data(), got));
            lastByte = std::chrono::steady_clock::now();
            return true;
        }
        return got < 0 && (errno == EAGAIN || errno == EINTR);
    }
    return !(polled.revents & (POLLHUP | POLLERR | POLLNVAL));
}

QString hex(const QByteArray &bytes) {
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

SerialSettings serialSettingsOf(const LineSettings &settings, const SerialSettings &current) {
    SerialSettings serial = current;
    if (settings.speedCode >= 0 && settings.speedCode < int(kLineSpeeds.size()))
        serial.baud = kLineSpeeds[settings.speedCode];
    serial.parity = settings.parityCode == 0 ? 'E' : settings.parityCode == 1 ? 'O' : 'N';
    return serial;
}

} // namespace

LoggerSimulator::LoggerSimulator()
    : m_clockSource(std::make_shared<SystemClockSource>()), m_lastSourceTime(m_clockSource->now()) {
}

LoggerSimulator::~LoggerSimulator() {
    stop();
}

void LoggerSimulator::syncClockLocked() const {
    const QDateTime now = m_clockSource->now();
    const qint64 elapsed = m_lastSourceTime.isValid() ? m_lastSourceTime.msecsTo(now) : 0;
    // A source that goes back leaves the loggers' clocks where they are, as a real device
    // does not notice the PC's clock being set back.
    if (elapsed > 0) {
        for (auto &[address, logger] : m_loggers)
            logger.advance(std::chrono::milliseconds(elapsed));
    }
    m_lastSourceTime = now;
}

bool LoggerSimulator::addSlave(int address, Model model) {
    std::lock_guard lock(m_mutex);
    if (address < 1 || address > kHighestBusAddress || m_loggers.count(address))
        return false;
    syncClockLocked();
    m_loggers.emplace(address, LoggerModel(model, address, m_lastSourceTime));
    return true;
}

bool LoggerSimulator::removeSlave(int address) {
    std::lock_guard lock(m_mutex);
    return m_loggers.erase(address) > 0;
}

QList<int> LoggerSimulator::slaveAddresses() const {
    std::lock_guard lock(m_mutex);
    QList<int> addresses;
    for (const auto &entry : m_loggers)
        addresses.append(entry.first);
    return addresses;
}

bool LoggerSimulator::hasSlave(int address) const {
    std::lock_guard lock(m_mutex);
    return m_loggers.count(address) > 0;
}

LoggerModel LoggerSimulator::logger(int address) const {
    std::lock_guard lock(m_mutex);
    syncClockLocked();
    const auto it = m_loggers.find(address);
    return it != m_loggers.end() ? it->second : LoggerModel();
}

bool LoggerSimulator::withLogger(int address, const std::function<void(LoggerModel &)> &change) {
    std::lock_guard lock(m_mutex);
    syncClockLocked();
    auto it = m_loggers.find(address);
    if (it == m_loggers.end())
        return false;
    LoggerModel changed = it->second;
    change(changed);
    const int newAddress = changed.address();
    if (newAddress != address) {
        if (newAddress < 1 || newAddress > kHighestBusAddress || m_loggers.count(newAddress))
            return false;
        m_loggers.erase(it);
        m_loggers.emplace(newAddress, changed);
    } else {
        it->second = changed;
    }
    return true;
}

bool LoggerSimulator::setPulseRate(int address, int input, double pulsesPerSecond) {
    return withLogger(address, [input, pulsesPerSecond](LoggerModel &logger) {
        logger.setPulseRate(input, pulsesPerSecond);
    });
}

void LoggerSimulator::setClockSource(std::shared_ptr<ClockSource> source) {
    std::lock_guard lock(m_mutex);
    syncClockLocked();
    m_clockSource = source ? std::move(source) : std::make_shared<SystemClockSource>();
    m_lastSourceTime = m_clockSource->now();
}

QByteArray LoggerSimulator::handleRequest(const QByteArray &frame,
                                          std::optional<LineSettings> line) {
    return respond(frame, line).bytes();
}

SimResponse LoggerSimulator::respond(const QByteArray &frame, std::optional<LineSettings> line) {
    std::lock_guard lock(m_mutex);
    return respondLocked(frame, line, nullptr);
}

SimResponse LoggerSimulator::respondLocked(const QByteArray &frame,
                                           const std::optional<LineSettings> &line,
                                           std::optional<LineSettings> *lineChange) {
    log(QStringLiteral("<- ") + hex(frame));
    if (frame.size() < 4 || Crc16(frame) != 0) {
        log(QStringLiteral("   bad request CRC, no reply"));
        return {};
    }
    if (m_frames.size() >= kFrameHistory)
        m_frames.removeFirst();
    m_frames.append(frame);

    const int address = static_cast<std::uint8_t>(frame.at(0));
    const int function = static_cast<std::uint8_t>(frame.at(1));
    const auto hears = [&line](const LoggerModel &logger) {
        return !line || logger.lineSettings() == *line;
    };
    QList<int> targets;
    if (address == 0) {
        for (const auto &[target, logger] : m_loggers) {
            if (hears(logger))
                targets.append(target);
        }
        if (targets.isEmpty() && !m_loggers.empty()) {
            log(QStringLiteral("   no logger listens at %1").arg(lineSettingsText(*line)));
            return {};
        }
    } else if (const auto it = m_loggers.find(address); it == m_loggers.end()) {
        log(QStringLiteral("   no logger at %1").arg(address));
        return {};
    } else if (!hears(it->second)) {
        log(QStringLiteral("   logger %1 listens at %2, not at %3: no reply")
                .arg(address)
                .arg(lineSettingsText(it->second.lineSettings()), lineSettingsText(*line)));
        return {};
    } else {
        targets.append(address);
    }
    ++m_counts[(address << 8) | function];
    syncClockLocked();

    QByteArray reply;
    for (int target : targets) {
        auto it = m_loggers.find(target);
        if (it == m_loggers.end())
            continue; // re-filed under a new address earlier in this broadcast
        const LineSettings lineBefore = it->second.lineSettings();
        const AddressTaken taken = [this](int other) { return m_loggers.count(other) > 0; };
        reply = answerRequest(it->second, frame, taken);
        if (lineChange && it->second.lineSettings() != lineBefore)
            *lineChange = it->second.lineSettings();
        if (const int moved = it->second.address(); moved != target) {
            auto node = m_loggers.extract(it);
            node.key() = moved;
            m_loggers.insert(std::move(node));
            log(QStringLiteral("   logger %1 now answers at %2").arg(target).arg(moved));
        }
    }
    if (address == 0) {
        log(QStringLiteral("   broadcast, no reply"));
        return {};
    }

    SimResponse response = FaultPlan::apply(reply, m_faults.select(requestTarget(frame)));
    const QString faults = response.faults.isEmpty()
                               ? QString()
                               : QStringLiteral("   [%1]").arg(response.faults.join(u' '));
    if (response.silent())
        log(QStringLiteral("   no reply") + faults);
    for (const ReplyChunk &chunk : response.chunks) {
        const QString pause = chunk.pauseBefore.count() > 0
                                  ? QStringLiteral(" (after %1 ms)").arg(chunk.pauseBefore.count())
                                  : QString();
        log(QStringLiteral("-> ") + hex(chunk.bytes) + pause + faults);
    }
    return response;
}

int LoggerSimulator::addFault(const FaultRule &rule) {
    std::lock_guard lock(m_mutex);
    return m_faults.add(rule);
}

void LoggerSimulator::removeFault(int id) {
    std::lock_guard lock(m_mutex);
    m_faults.remove(id);
}

void LoggerSimulator::clearFaults() {
    std::lock_guard lock(m_mutex);
    m_faults.clear();
}

void LoggerSimulator::setRandomFaults(double rate, std::uint32_t seed,
                                      const QList<FaultKind> &kinds) {
    std::lock_guard lock(m_mutex);
    m_faults.setRandom(rate, seed, kinds);
}

int LoggerSimulator::requestCount(int address, int function) const {
    std::lock_guard lock(m_mutex);
    int total = 0;
    for (auto it = m_counts.cbegin(); it != m_counts.cend(); ++it) {
        if ((address < 0 || (it.key() >> 8) == address) &&
            (function < 0 || (it.key() & 0xFF) == function))
            total += it.value();
    }
    return total;
}

QList<QByteArray> LoggerSimulator::receivedFrames() const {
    std::lock_guard lock(m_mutex);
    return m_frames;
}

void LoggerSimulator::resetCounters() {
    std::lock_guard lock(m_mutex);
    m_counts.clear();
    m_frames.clear();
}

void LoggerSimulator::setTrafficLog(std::function<void(const QString &)> log) {
    std::lock_guard lock(m_mutex);
    m_log = std::move(log);
}

void LoggerSimulator::log(const QString &line) const {
    if (m_log)
        m_log(line);
}

QString LoggerSimulator::slavePath() const {
    return m_line.path();
}

bool LoggerSimulator::openWake(QString *error) {
    if (m_wakeRead >= 0)
        return true;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
        if (error)
            *error = QStringLiteral("pipe: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    m_wakeRead = pipeFds[0];
    m_wakeWrite = pipeFds[1];
    m_stopping = false;
    return true;
}

bool LoggerSimulator::start(const LineOptions &options, QString *error) {
    if (isRunning())
        return true;
    const bool opened = options.devicePath.isEmpty()
                            ? m_line.openPty(error)
                            : m_line.openDevice(options.devicePath, options.serial, error);
    if (!opened)
        return false;
    if (!options.linkPath.isEmpty() && !m_line.createLink(options.linkPath, error)) {
        m_line.close();
        return false;
    }
    if (!openWake(error)) {
        m_line.close();
        return false;
    }
    m_thread = std::thread([this, serial = options.serial] {
        m_serial = serial;
        run();
    });
    return true;
}

bool LoggerSimulator::startTcp(std::uint16_t port, QString *error) {
    if (m_tcpThread.joinable())
        return true;
    const auto fail = [this, error](const QString &what) {
        if (error)
            *error =
                QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
        if (m_listenFd >= 0)
            ::close(m_listenFd);
        if (m_tcpKick >= 0)
            ::close(m_tcpKick);
        m_listenFd = m_tcpKick = -1;
        return false;
    };
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0)
        return fail(QStringLiteral("socket"));
    const int on = 1;
    ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::bind(m_listenFd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        return fail(QStringLiteral("127.0.0.1:%1").arg(port));
    if (::listen(m_listenFd, kTcpBacklog) != 0)
        return fail(QStringLiteral("listen"));
    socklen_t length = sizeof address;
    if (::getsockname(m_listenFd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return fail(QStringLiteral("getsockname"));
    m_tcpKick = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_tcpKick < 0)
        return fail(QStringLiteral("eventfd"));
    if (!openWake(error)) {
        ::close(m_listenFd);
        ::close(m_tcpKick);
        m_listenFd = m_tcpKick = -1;
        return false;
    }
    m_tcpPort = ntohs(address.sin_port);
    m_dropTcpClient = false;
    m_tcpThread = std::thread([this] { serveTcp(); });
    return true;
}

void LoggerSimulator::dropTcpClient() {
    m_dropTcpClient = true;
    if (m_tcpKick >= 0)
        ::eventfd_write(m_tcpKick, 1);
}

void LoggerSimulator::stop() {
    if (!m_thread.joinable() && !m_tcpThread.joinable())
        return;
    m_stopping = true;
    const char wake = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wakeWrite, &wake, 1);
    if (m_thread.joinable())
        m_thread.join();
    if (m_tcpThread.joinable())
        m_tcpThread.join();
    m_line.close();
    if (m_listenFd >= 0)
        ::close(m_listenFd);
    if (m_tcpKick >= 0)
        ::close(m_tcpKick);
    m_listenFd = m_tcpKick = -1;
    m_tcpPort = 0;
    ::close(m_wakeRead);
    ::close(m_wakeWrite);
    m_wakeRead = m_wakeWrite = -1;
}

bool LoggerSimulator::waitForWake(int timeoutMs) {
    pollfd wake{m_wakeRead, POLLIN, 0};
    while (!m_stopping) {
        const int ready = ::poll(&wake, 1, timeoutMs);
        if (ready < 0 && errno == EINTR)
            continue;
        break;
    }
    return !m_stopping;
}

bool LoggerSimulator::writeAll(int fd, const QByteArray &bytes, bool socket) {
    qsizetype done = 0;
    while (done < bytes.size() && !m_stopping) {
        const auto size = static_cast<size_t>(bytes.size() - done);
        // A client that has gone is a lost reply, never SIGPIPE.
        const ssize_t written = socket ? ::send(fd, bytes.constData() + done, size, MSG_NOSIGNAL)
                                       : ::write(fd, bytes.constData() + done, size);
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

void LoggerSimulator::logDiscarded(RequestFramer &framer) {
    if (const QByteArray garbage = framer.takeDiscarded(); !garbage.isEmpty()) {
        std::lock_guard lock(m_mutex);
        log(QStringLiteral("   dropped ") + hex(garbage));
    }
}

bool LoggerSimulator::answerFrames(RequestFramer &framer, int fd, bool overTcp) {
    while (true) {
        const std::optional<QByteArray> frame = framer.nextFrame();
        logDiscarded(framer);
        if (!frame)
            return true;
        // Read per frame: a master may change its settings between two requests. A gateway's
        // serial side runs at its own settings, which every logger on it shares.
        const std::optional<LineSettings> heard = overTcp ? std::nullopt : m_line.heardSettings();
        std::optional<LineSettings> lineChange;
        SimResponse response;
        {
            std::lock_guard lock(m_mutex);
            response = respondLocked(*frame, heard, overTcp ? nullptr : &lineChange);
        }
        for (const ReplyChunk &chunk : response.chunks) {
            if (chunk.pauseBefore.count() > 0 &&
                !waitForWake(static_cast<int>(chunk.pauseBefore.count())))
                return false;
            if (overTcp && m_dropTcpClient)
                return false;
            if (!writeAll(fd, chunk.bytes, overTcp))
                break;
        }
        if (overTcp && m_dropTcpClient)
            return false;
        if (lineChange) {
            // The logger changes its line settings once its acknowledgement is out.
            ::tcdrain(fd);
            m_serial = serialSettingsOf(*lineChange, m_serial);
            m_line.applySettings(m_serial);
        }
    }
}

void LoggerSimulator::run() {
    using Clock = std::chrono::steady_clock;
    RequestFramer framer;
    Clock::time_point lastByte = Clock::now();
    std::array<char, 4096> buffer{};

    while (!m_stopping) {
        int timeoutMs = -1;
        if (framer.hasPartialFrame()) {
            const auto left = kUnfinishedFrameTimeout - (Clock::now() - lastByte);
            timeoutMs = static_cast<int>(std::max<std::int64_t>(
                0, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
        }
        std::array<pollfd, 2> fds{pollfd{m_line.fd(), POLLIN, 0}, pollfd{m_wakeRead, POLLIN, 0}};
        const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents != 0)
            continue; // woken to stop

        const bool noClient = !feedFramer(fds[0], buffer, framer, lastByte);
        if (noClient) {
            // A master that closed the port in the middle of a frame will not finish it; the
            // next one starts afresh.
            while (framer.hasPartialFrame())
                framer.dropFirstByte();
            logDiscarded(framer);
            // A pseudo-terminal whose slave nobody holds reports a hang-up at once and for as
            // long as it lasts; look again later instead of spinning on it.
            if (!waitForWake(kNoClientRetryMs))
                break;
            continue;
        }
        if (ready == 0 && framer.hasPartialFrame() &&
            Clock::now() - lastByte >= kUnfinishedFrameTimeout)
            framer.dropFirstByte();

        if (!answerFrames(framer, m_line.fd(), false))
            return;
    }
}

void LoggerSimulator::serveTcp() {
    using Clock = std::chrono::steady_clock;
    RequestFramer framer;
    Clock::time_point lastByte = Clock::now();
    std::array<char, 4096> buffer{};
    int client = -1;
    const auto closeClient = [&] {
        if (client < 0)
            return;
        ::close(client);
        client = -1;
        m_tcpClient = false;
        // The next client starts afresh, as after a master that closed its port.
        while (framer.hasPartialFrame())
            framer.dropFirstByte();
        logDiscarded(framer);
        std::lock_guard lock(m_mutex);
        log(QStringLiteral("   TCP client gone"));
    };

    while (!m_stopping) {
        int timeoutMs = -1;
        if (client >= 0 && framer.hasPartialFrame()) {
            const auto left = kUnfinishedFrameTimeout - (Clock::now() - lastByte);
            timeoutMs = static_cast<int>(std::max<std::int64_t>(
                0, std::chrono::ceil<std::chrono::milliseconds>(left).count()));
        }
        // The listening socket is not looked at while a client is served: a second client
        // stays in the listen queue.
        std::array<pollfd, 3> fds{pollfd{client >= 0 ? client : m_listenFd, POLLIN, 0},
                                  pollfd{m_wakeRead, POLLIN, 0}, pollfd{m_tcpKick, POLLIN, 0}};
        const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (fds[1].revents != 0)
            continue; // woken to stop
        if (fds[2].revents & POLLIN) {
            eventfd_t drained;
            ::eventfd_read(m_tcpKick, &drained);
        }
        if (m_dropTcpClient.exchange(false)) {
            closeClient();
            continue;
        }
        if (client < 0) {
            if (fds[0].revents & POLLIN) {
                client = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (client >= 0) {
                    const int on = 1;
                    ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
                    m_tcpClient = true;
                    std::lock_guard lock(m_mutex);
                    log(QStringLiteral("   TCP client connected"));
                }
            }
            continue;
        }

        const bool gone = !feedFramer(fds[0], buffer, framer, lastByte);
        if (gone) {
            closeClient();
            continue;
        }
        if (ready == 0 && framer.hasPartialFrame() &&
            Clock::now() - lastByte >= kUnfinishedFrameTimeout)
            framer.dropFirstByte();

        if (!answerFrames(framer, client, true) && !m_stopping) {
            m_dropTcpClient = false;
            closeClient();
        }
    }
    if (client >= 0)
        ::close(client);
    m_tcpClient = false;
}

} // namespace corvane
