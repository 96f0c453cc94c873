#include "bus_scan.h"

#include "address_store.h"
#include "device_model.h"
#include "device_session.h"
#include "error_display.h"
#include "frames.h"
#include "line_names.h"
#include "modbus_reply.h"
#include "register_map.h"
#include "reply_values.h"
#include "send_frame.h"
#include "ser_comm.h"

#include <QPointer>
#include <QScopeGuard>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cmath>

namespace corvane {
namespace {

// A read of the clock registers: address, function, byte count, two registers, CRC.
constexpr int kProbeReplyBytes = 5 + 2 * kClockRegisterCount;
constexpr int kProbeRequestBytes = 8;
// The longest Modbus RTU frame.
constexpr int kLongestReplyBytes = 256;
constexpr std::chrono::milliseconds kReplyMargin{30};

// Start, 8 data bits, parity when there is one, and a stop bit.
// A port at a speed outside the known list counts as 9600.
std::chrono::milliseconds lineTime(int bytes, const LineSetting &setting) {
    const int bits = setting.parity == QLatin1String("None") ? 10 : 11;
    const int speed = setting.speed > 0 ? setting.speed : 9600;
    return std::chrono::milliseconds(std::lround(std::ceil(1000.0 * bytes * bits / speed)));
}

QString loggerCount(int count) {
    return QString::number(count) +
           (count == 1 ? QStringLiteral(" logger found") : QStringLiteral(" loggers found"));
}

} // namespace

std::chrono::milliseconds defaultReplyWait(int speed) {
    return lineTime(kProbeReplyBytes, {speed, QStringLiteral("Even")}) + kReplyMargin;
}

std::chrono::milliseconds identificationWait(int speed, std::chrono::milliseconds replyWait) {
    return std::max(replyWait,
                    lineTime(kLongestReplyBytes, {speed, QStringLiteral("Even")}) + kReplyMargin);
}

QString durationText(std::chrono::milliseconds duration) {
    const auto seconds = std::chrono::round<std::chrono::seconds>(duration).count();
    if (seconds < 60)
        return QString::number(seconds) + QStringLiteral(" s");
    return QString::number(seconds / 60) + QStringLiteral(" min ") + QString::number(seconds % 60) +
           QStringLiteral(" s");
}

LineSetting SerCommScanPort::lineSetting() const {
    return {portSpeed(m_comm), portParity(m_comm)};
}

void SerCommScanPort::applyLineSetting(const LineSetting &setting) {
    setPortSpeed(m_comm, setting.speed);
    setPortParity(m_comm, setting.parity);
}

bool SerCommScanPort::fixedLineSetting() const {
    return m_comm.IsNetworkPort();
}

BusScan::BusScan(DeviceSession &session, ScanPort &port, QObject *parent)
    : QObject(parent), m_session(session), m_port(port) {}

BusScan::~BusScan() {
    m_session.runner.release(this);
}

bool BusScan::start(const ScanOptions &options) {
    if (m_running) {
        m_session.runner.refuseIfBusy();
        return false;
    }
    if (!m_session.checkPort())
        return false;
    ScanOptions checked = options;
    checked.from = std::max(checked.from, AddressStore::kFirstAddress);
    checked.to = std::min(checked.to, AddressStore::kLastAddress);
    if (checked.settings.isEmpty())
        checked.settings = {m_port.lineSetting()};
    if (m_port.fixedLineSetting() && checked.settings.size() > 1) {
        checked.settings = {m_port.lineSetting()};
        m_session.env.out.log(
            QStringLiteral("Line settings are the gateway's own: one setting is scanned"));
    }
    if (checked.from > checked.to) {
        m_session.env.out.log(QStringLiteral("No address to scan: the range is empty"));
        return false;
    }
    if (!m_session.runner.reserve(this)) {
        m_session.runner.refuseIfBusy();
        return false;
    }
    m_options = checked;
    m_running = true;
    m_stopRequested = false;
    m_settingIndex = 0;
    m_address = m_options.from;
    m_done = 0;
    m_total = (m_options.to - m_options.from + 1) * int(m_options.settings.size());
    m_original = m_port.lineSetting();
    m_found.clear();
    m_summary.clear();
    m_echoHintGiven = false;
    m_clock.start();
    m_session.env.out.log(
        QStringLiteral("Scanning addresses %1 to %2...").arg(m_options.from).arg(m_options.to));
    QTimer::singleShot(0, this, &BusScan::next);
    return true;
}

void BusScan::stop() {
    if (m_running)
        m_stopRequested = true;
}

std::chrono::milliseconds BusScan::probeCost(const LineSetting &setting) const {
    const auto wait = m_options.replyWait.value_or(defaultReplyWait(setting.speed));
    const auto send = lineTime(kProbeRequestBytes, setting);
    if (m_session.master.wholeFrames()) {
        const int bits = setting.parity == QLatin1String("None") ? 10 : 11;
        return std::chrono::ceil<std::chrono::milliseconds>(
                   interFrameSilence({setting.speed, bits})) +
               send + wait;
    }
    return kPreSendDelay + kByteGap * kProbeRequestBytes + send + wait;
}

// The model's cost of what is left, scaled by how the probes so far compared with their model:
// the slow settings come first, so a plain average per probe would overstate the rest.
std::chrono::milliseconds BusScan::estimatedLeft() const {
    if (!m_running)
        return std::chrono::milliseconds(0);
    const int perSetting = m_options.to - m_options.from + 1;
    std::chrono::milliseconds done{0};
    std::chrono::milliseconds left{0};
    for (int i = 0; i < int(m_options.settings.size()); ++i) {
        const auto cost = probeCost(m_options.settings.at(i));
        const int probed = std::clamp(m_done - i * perSetting, 0, perSetting);
        done += cost * probed;
        left += cost * (perSetting - probed);
    }
    if (done.count() <= 0)
        return left;
    const double pace = double(m_clock.elapsed()) / double(done.count());
    return std::chrono::milliseconds(std::llround(double(left.count()) * pace));
}

std::chrono::milliseconds BusScan::replyWait() const {
    const LineSetting &setting = m_options.settings.at(m_settingIndex);
    return m_options.replyWait.value_or(defaultReplyWait(setting.speed));
}

RequestRunner::Command BusScan::probeCommand(std::vector<RequestRunner::Step> steps,
                                             std::chrono::milliseconds window) {
    RequestRunner::Command command;
    command.name = "scan probe";
    command.steps = std::move(steps);
    command.stepTimer = command.steps.size() > 1 ? RequestRunner::StepTimer::ReadService
                                                 : RequestRunner::StepTimer::None;
    command.window = RequestRunner::Window::Probe;
    command.probeWindow = window;
    command.noReply = RequestRunner::NoReply::Silent;
    command.fastReplies = true;
    // Silence is a scan's usual answer.
    command.noRetries = true;
    command.address = m_address;
    command.owner = this;
    command.stepEnded = [this](const StepOutcome &outcome) {
        if (!outcome.echoed || m_echoHintGiven || m_session.runner.ignoresEcho())
            return;
        m_echoHintGiven = true;
        m_session.env.out.log(QStringLiteral("The line echoes every request; switch on \"Ignore "
                                             "the echo of each request\" in Options"));
    };
    return command;
}

// Moves to the next address, and to the next line setting after the last address.
void BusScan::next() {
    runGuarded([this] {
        if (!m_running)
            return;
        if (m_stopRequested || !m_session.portOpen()) {
            end(true);
            return;
        }
        if (m_address > m_options.to) {
            m_address = m_options.from;
            ++m_settingIndex;
        }
        if (m_settingIndex >= int(m_options.settings.size())) {
            end(false);
            return;
        }
        const LineSetting &setting = m_options.settings.at(m_settingIndex);
        if (m_port.lineSetting() != setting) {
            try {
                m_port.applyLineSetting(setting);
            } catch (...) {
                end(true);
                throw;
            }
        }
        probe();
    });
}

void BusScan::probe() {
    m_answered = false;
    ModbusMaster &master = m_session.master;
    RequestRunner::Command command =
        probeCommand({{[&master](int slave) {
                           return master.SendReadHolding(slave, kRegClock, kClockRegisterCount);
                       },
                       [this](const ModbusReply &) { m_answered = true; }, false}},
                     replyWait());
    command.onEnd = [self = QPointer(this)] {
        if (self)
            QTimer::singleShot(0, self, &BusScan::afterProbe);
    };
    if (!m_session.runner.run(command))
        end(true);
}

void BusScan::afterProbe() {
    runGuarded([this] {
        if (!m_running)
            return;
        if (m_answered) {
            // A stop keeps the answer but skips the identification, to end within this probe.
            if (m_stopRequested || !m_session.portOpen()) {
                m_status.reset();
                m_identification.clear();
                recordFound();
            } else {
                identify();
            }
            return;
        }
        ++m_done;
        ++m_address;
        Q_EMIT progressed(m_done, m_total);
        next();
    });
}

void BusScan::identify() {
    m_status.reset();
    m_identification.clear();
    ModbusMaster &master = m_session.master;
    const LineSetting &setting = m_options.settings.at(m_settingIndex);
    RequestRunner::Command command = probeCommand(
        {{[&master](int slave) { return master.SendServiceQuery(slave, kServiceStatusQuery); },
          [this](const ModbusReply &reply) { m_status = parseStatusReply(reply); }, false},
         {[&master](int slave) { return master.SendReadDeviceId(slave, kDeviceIdCode); },
          [this](const ModbusReply &reply) { m_identification = identificationText(reply); },
          false}},
        identificationWait(setting.speed, replyWait()));
    command.onEnd = [self = QPointer(this)] {
        if (self)
            QTimer::singleShot(0, self, &BusScan::afterIdentify);
    };
    if (!m_session.runner.run(command))
        end(true);
}

void BusScan::afterIdentify() {
    runGuarded([this] { recordFound(); });
}

void BusScan::recordFound() {
    if (!m_running)
        return;
    FoundLogger logger;
    logger.address = m_address;
    logger.line = m_options.settings.at(m_settingIndex);
    logger.model = recognizeModel(m_identification);
    if (logger.model.isEmpty())
        logger.model = m_identification.simplified();
    if (m_status) {
        logger.deviceId = m_status->deviceId;
        logger.inputs = m_status->inputs;
        // Behind a gateway the port's setting says nothing of the line's; the logger's does.
        if (m_port.fixedLineSetting() && m_status->line)
            logger.line = *m_status->line;
    }
    if (logger.inputs == 0) {
        if (const ModelInfo *model = findModel(logger.model))
            logger.inputs = model->InputCount;
    }
    m_found.append(logger);
    QString line = QStringLiteral("Found ") +
                   (logger.model.isEmpty() ? QStringLiteral("a logger") : logger.model) +
                   QStringLiteral(" at address ") + QString::number(logger.address) +
                   QStringLiteral(", ") + logger.line.text();
    if (!logger.deviceId.isEmpty())
        line += QStringLiteral(", ID ") + logger.deviceId;
    m_session.env.out.log(line);
    Q_EMIT loggerFound(logger);
    ++m_done;
    ++m_address;
    Q_EMIT progressed(m_done, m_total);
    next();
}

// The port goes back to the setting it had, unless it closed under the scan.
void BusScan::end(bool stopped) {
    if (!m_running)
        return;
    m_running = false;
    m_session.runner.release(this);
    const auto elapsed = std::chrono::milliseconds(m_clock.elapsed());
    const int perSetting = m_options.to - m_options.from + 1;
    const int settings = int(m_options.settings.size());
    if (stopped) {
        m_summary = QStringLiteral("Scan stopped: ") + loggerCount(int(m_found.size())) +
                    QStringLiteral(", %1 of %2 probes sent in ").arg(m_done).arg(m_total) +
                    durationText(elapsed);
    } else {
        m_summary = QStringLiteral("Scan finished: ") + loggerCount(int(m_found.size())) +
                    QStringLiteral(", %1 addresses x %2 line setting%3 tried in ")
                        .arg(perSetting)
                        .arg(settings)
                        .arg(settings == 1 ? QString() : QStringLiteral("s")) +
                    durationText(elapsed);
    }
    m_session.env.out.log(m_summary);
    const auto done = qScopeGuard([this, stopped] { Q_EMIT finished(stopped); });
    if (m_original && m_session.portOpen() && m_port.lineSetting() != *m_original)
        m_port.applyLineSetting(*m_original);
}

} // namespace corvane
