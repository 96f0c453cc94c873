#include "logger_simulator.h"

#include "crc16.h"
#include "request_handler.h"

#include <algorithm>

namespace corvane {
namespace {

constexpr qsizetype kFrameHistory = 10000;

QString hex(const QByteArray &bytes) {
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
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

void LoggerSimulator::setLineTime(bool on) {
    std::lock_guard lock(m_mutex);
    m_wireOptions.lineTime = on;
}

void LoggerSimulator::setTurnaround(std::chrono::milliseconds turnaround) {
    std::lock_guard lock(m_mutex);
    m_wireOptions.turnaround = std::max(turnaround, std::chrono::milliseconds{0});
}

void LoggerSimulator::setEcho(bool on) {
    std::lock_guard lock(m_mutex);
    m_wireOptions.echo = on;
}

WireOptions LoggerSimulator::wireOptions() const {
    std::lock_guard lock(m_mutex);
    return m_wireOptions;
}

std::optional<LineSettings> LoggerSimulator::slaveLineSettings(int address) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_loggers.find(address);
    if (it == m_loggers.end())
        return std::nullopt;
    return it->second.lineSettings();
}

QByteArray LoggerSimulator::handleRequest(const QByteArray &frame,
                                          std::optional<LineSettings> line) {
    return respond(frame, line).bytes();
}

SimResponse LoggerSimulator::respond(const QByteArray &frame, std::optional<LineSettings> line,
                                     std::optional<LineSettings> *lineChange) {
    std::lock_guard lock(m_mutex);
    return respondLocked(frame, line, lineChange);
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
                                      const QList<FaultKind> &kinds, const FaultRule &shape) {
    std::lock_guard lock(m_mutex);
    m_faults.setRandom(rate, seed, kinds, shape);
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

void LoggerSimulator::logTraffic(const QString &line) const {
    std::lock_guard lock(m_mutex);
    log(line);
}

void LoggerSimulator::log(const QString &line) const {
    if (m_log)
        m_log(line);
}

bool LoggerSimulator::start(const LineOptions &options, QString *error) {
    return m_serialLine.start(options, error);
}

bool LoggerSimulator::startTcp(std::uint16_t port, QString *error) {
    return m_tcp.start(port, error);
}

void LoggerSimulator::stop() {
    m_serialLine.stop();
    m_tcp.stop();
}

} // namespace corvane
