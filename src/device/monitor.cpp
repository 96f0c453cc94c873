#include "monitor.h"

#include "decoders.h"
#include "device_model.h"
#include "error_display.h"
#include "register_map.h"
#include "reply_values.h"
#include "serial_line.h"
#include "table_rows.h"

#include <QPointer>

#include <array>
#include <utility>

namespace corvane {
namespace {

constexpr int kNoRow = -1;
constexpr int kFlowRow = 0;

QString addressListText(const QList<int> &addresses) {
    QStringList parts;
    for (int address : addresses)
        parts << QString::number(address);
    return parts.join(QStringLiteral(", "));
}

} // namespace

Monitor::Monitor(DeviceSession &session, QObject *parent) : QObject(parent), m_session(session) {
    m_next.setSingleShot(true);
    m_next.setTimerType(Qt::PreciseTimer);
    connect(&m_next, &QTimer::timeout, this, &Monitor::startCycle);
}

Monitor::~Monitor() {
    if (m_running)
        m_session.runner.release(this);
}

CommandStart Monitor::start(const MonitorOptions &options) {
    if (m_running) {
        m_session.runner.refuseIfBusy();
        return CommandStart::Busy;
    }
    const CommandStart port = m_session.portCheck();
    if (port != CommandStart::Started)
        return port;
    if (options.addresses.isEmpty()) {
        m_session.env.out.log(QStringLiteral("No address to monitor"));
        return CommandStart::InputRefused;
    }
    if (!m_session.runner.reserve(this)) {
        m_session.runner.refuseIfBusy();
        return CommandStart::Busy;
    }
    m_options = options;
    m_options.interval = std::max(m_options.interval, std::chrono::milliseconds(1));
    m_running = true;
    m_stopRequested = false;
    m_failure.clear();
    m_cycle = 0;
    m_failing.clear();
    const auto seconds = std::chrono::duration<double>(m_options.interval).count();
    m_session.env.out.log(QStringLiteral("Monitoring %1 %2 every %3 s...")
                              .arg(m_options.addresses.size() == 1 ? QStringLiteral("device")
                                                                   : QStringLiteral("devices"),
                                   addressListText(m_options.addresses),
                                   QString::number(seconds, 'g', 6)));
    Q_EMIT runningChanged(true);
    QTimer::singleShot(0, this, &Monitor::startCycle);
    return CommandStart::Started;
}

void Monitor::stop() {
    if (!m_running || m_stopRequested)
        return;
    m_stopRequested = true;
    if (m_session.runner.isStoppable()) {
        m_session.runner.stopByUser();
        return;
    }
    // The interlude's own commands end as their owner tells them; the monitor ends after it.
    if (m_inInterlude || m_outOfTurn)
        return;
    // Waiting for the next cycle; otherwise an address has just ended and the step after it
    // sees the request.
    if (m_next.isActive())
        end();
}

void Monitor::fail(const QString &reason) {
    if (!m_running)
        return;
    m_failure = reason;
    m_stopRequested = true;
    if (m_next.isActive() && !m_inInterlude && !m_outOfTurn)
        end();
}

void Monitor::startCycle() {
    runGuarded([this] {
        if (!m_running)
            return;
        // A wait that ran out under an interlude or a reading out of turn: the cycle follows it.
        if (m_inInterlude || m_outOfTurn) {
            m_cycleDue = true;
            return;
        }
        m_waiting = false;
        m_cycleDue = false;
        if (m_stopRequested) {
            end();
            return;
        }
        ++m_cycle;
        m_index = 0;
        m_cycleClock.start();
        readNext();
    });
}

void Monitor::readNext() {
    if (m_interludeWanted && !m_stopRequested)
        runInterlude();
    if (m_stopRequested) {
        end();
        return;
    }
    if (!m_soon.isEmpty()) {
        readAddress(m_soon.takeFirst(), true);
        return;
    }
    if (m_index >= m_options.addresses.size()) {
        Q_EMIT cycleEnded(m_cycle);
        if (m_stopRequested) {
            end();
            return;
        }
        const auto spent = std::chrono::milliseconds(m_cycleClock.elapsed());
        m_waiting = true;
        m_next.start(std::max(std::chrono::milliseconds(0), m_options.interval - spent));
        // What was asked for while the cycle ran is done now, not after the wait.
        if (m_interludeWanted || !m_soon.isEmpty())
            QTimer::singleShot(0, this, &Monitor::gap);
        return;
    }
    readAddress(m_options.addresses.at(m_index), false);
}

void Monitor::readAddress(int address, bool outOfTurn) {
    m_outOfTurn = outOfTurn;
    m_reading = DeviceReading();
    m_reading.kind = DeviceReading::Kind::Monitor;
    m_reading.address = address;
    m_reading.model = modelOf(address);
    m_reading.time = m_session.now();
    if (!m_session.portOpen()) {
        m_reading.problem = QStringLiteral("the port is closed");
        QTimer::singleShot(0, this, &Monitor::afterAddress);
        return;
    }
    const RequestRunner::Command command = addressCommand(address);
    bool started = false;
    runGuarded([&] { started = m_session.runner.run(command); });
    if (!started && !m_session.runner.isBusy()) {
        // The send failed before the command had begun: its error is on the display.
        m_reading.problem = QStringLiteral("the request could not be sent");
        QTimer::singleShot(0, this, &Monitor::afterAddress);
    }
}

void Monitor::requestInterlude() {
    if (!m_running || !m_interlude)
        return;
    m_interludeWanted = true;
    if (m_waiting)
        QTimer::singleShot(0, this, &Monitor::gap);
}

void Monitor::readSoon(int address) {
    if (!m_running)
        return;
    if (!m_soon.contains(address))
        m_soon.append(address);
    if (m_waiting)
        QTimer::singleShot(0, this, &Monitor::gap);
}

void Monitor::runInterlude() {
    m_interludeWanted = false;
    m_inInterlude = true;
    m_session.runner.release(this);
    runGuarded(m_interlude);
    m_inInterlude = false;
    // Nothing else runs on this thread meanwhile, so nobody else can have taken it.
    if (!m_session.runner.reserve(this))
        m_stopRequested = true;
}

// While the monitor waits for its next cycle: an interlude or a reading out of turn at once.
void Monitor::gap() {
    runGuarded([this] {
        if (!m_running || !m_waiting || m_inInterlude || m_outOfTurn)
            return;
        if (m_interludeWanted && !m_stopRequested)
            runInterlude();
        if (m_stopRequested) {
            m_next.stop();
            end();
            return;
        }
        // The wait ran out meanwhile.
        if (std::exchange(m_cycleDue, false)) {
            startCycle();
            return;
        }
        if (!m_soon.isEmpty())
            readAddress(m_soon.takeFirst(), true);
    });
}

QString Monitor::modelOf(int address) const {
    if (address == m_session.selectedAddress())
        return m_session.device.DeviceType;
    return m_session.store.model(address);
}

void Monitor::greyFailedStep(const StepOutcome &outcome, int address) {
    if (outcome.verdict.accepted() || address != m_session.selectedAddress())
        return;
    if (outcome.step < 1 || outcome.step > int(m_stepRows.size()))
        return;
    const int row = m_stepRows[std::size_t(outcome.step - 1)];
    if (row == kNoRow)
        return;
    StringGrid &grid = row == kFlowRow ? m_session.tables.Grid_flow : m_session.tables.Grid_data2;
    const int gridRow = row == kFlowRow ? kRowFlow : row;
    for (int col = 1; col < grid.gridColumnCount(); ++col)
        grid.setStale(col, gridRow, true);
}

RequestRunner::Command Monitor::addressCommand(int address) {
    DeviceSession &s = m_session;
    RequestRunner::Command command;
    command.name = "monitor";
    command.stepTimer = RequestRunner::StepTimer::DecodeInput;
    command.window = RequestRunner::Window::Response;
    command.windowBeforeSend = true;
    command.address = address;
    command.owner = this;
    command.noReply = RequestRunner::NoReply::Silent;
    m_stepRows.clear();

    // The selected address's reply goes through the designed decoder, which fills the window
    // too; another address's only into the reading.
    using Shown = std::function<void(const ModbusReply &, DecodeContext &)>;
    using Recorded = std::function<void(const ModbusReply &)>;
    const auto decoder = [this, address](Shown shown, Recorded recorded) {
        return [this, address, shown = std::move(shown),
                recorded = std::move(recorded)](const ModbusReply &reply) {
            if (address != m_session.selectedAddress()) {
                recorded(reply);
                return;
            }
            DecodeContext ctx = m_session.decodeContext(m_reading);
            shown(reply, ctx);
        };
    };
    // A read of input registers, sent once a model is known; its register count follows the
    // model in force when the step goes out.
    const auto readInput = [this, &s, address](std::uint16_t start, bool perInput) {
        return [this, &s, address, start, perInput](int slave) -> std::optional<SentRequest> {
            const ModelInfo *model = findModel(modelOf(address));
            if (!model)
                return std::nullopt;
            return s.master.SendReadInput(
                slave, start, perInput ? model->LongRegisterCount : kBatteryRegisterCount);
        };
    };

    if (!findModel(modelOf(address))) {
        m_stepRows.push_back(kNoRow);
        command.steps.push_back(
            {[&s](int slave) {
                 return std::optional(s.master.SendReadDeviceId(slave, kDeviceIdCode));
             },
             decoder(DecodeDeviceId,
                     [this, address](const ModbusReply &reply) {
                         m_reading.identification = identificationText(reply);
                         m_reading.model = recognizeModel(*m_reading.identification);
                         m_session.store.setModel(address, m_reading.model.left(kModelTextLength));
                     }),
             false});
    }
    const auto block = [&](std::uint16_t start, int row) {
        m_stepRows.push_back(row == kFlowBlockRow ? kFlowRow : row);
        command.steps.push_back(
            {readInput(start, true),
             decoder(
                 [row](const ModbusReply &reply, DecodeContext &ctx) {
                     DecodeLongBlock(reply, LongBlockTable::Measured, row, ctx);
                 },
                 [this, address, row](const ModbusReply &reply) {
                     recordMeasuredBlock(reply, row, m_reading, [this, address](int input) {
                         return m_session.store.cell(address, input, kRowUnit);
                     });
                 }),
             false});
    };
    for (const CounterBlock &counter : kCounterBlocks)
        block(counter.start, counter.row);
    m_stepRows.push_back(kNoRow);
    command.steps.push_back({readInput(kInRegBattery, false),
                             decoder(DecodeBattery,
                                     [this](const ModbusReply &reply) {
                                         m_reading.batteryByte = firstRegisterLowByte(reply);
                                     }),
                             false});
    block(kInRegFlow, kFlowBlockRow);

    command.onStart = [&s] { s.env.line.InputRoom(); };
    command.stepEnded = [this, address](const StepOutcome &outcome) {
        m_reading.record(outcome);
        greyFailedStep(outcome, address);
    };
    command.onEnd = [self = QPointer(this)] {
        if (self)
            QTimer::singleShot(0, self, &Monitor::afterAddress);
    };
    return command;
}

void Monitor::afterAddress() {
    runGuarded([this] {
        if (!m_running)
            return;
        const CommandSummary &summary = m_session.runner.lastSummary();
        if (!m_reading.problem) {
            if (summary.end == CommandSummary::End::PortClosed)
                m_reading.problem = QStringLiteral("the port was closed");
            else if (summary.end == CommandSummary::End::Stopped)
                m_reading.problem = QStringLiteral("stopped");
            else if (m_reading.failures.empty() && !findModel(modelOf(m_reading.address)))
                m_reading.problem = QStringLiteral("model unknown");
        }
        if (findModel(modelOf(m_reading.address)))
            m_reading.model = modelOf(m_reading.address);
        m_reading.stopped = summary.stopped();
        const int address = m_reading.address;
        const auto reason = m_reading.failureReason();
        if (summary.end == CommandSummary::End::Stopped) {
            // Cut short by the operator: says nothing about the logger.
        } else if (reason && !m_failing.contains(address)) {
            m_failing.insert(address);
            m_session.env.out.log(QStringLiteral("Monitor cycle %1, device %2: %3")
                                      .arg(m_cycle)
                                      .arg(address)
                                      .arg(*reason));
        } else if (!reason && m_failing.remove(address)) {
            m_session.env.out.log(
                QStringLiteral("Monitor cycle %1, device %2 answers again").arg(m_cycle).arg(address));
        }
        Q_EMIT readingReady(m_reading);
        if (!std::exchange(m_outOfTurn, false)) {
            ++m_index;
        } else if (m_waiting) {
            // Read while waiting: the wait goes on, unless it ran out or more is asked for.
            if (m_stopRequested) {
                m_next.stop();
                end();
            } else if (std::exchange(m_cycleDue, false)) {
                startCycle();
            } else if (m_interludeWanted || !m_soon.isEmpty()) {
                gap();
            }
            return;
        }
        readNext();
    });
}

void Monitor::end() {
    if (!m_running)
        return;
    m_running = false;
    m_next.stop();
    m_waiting = false;
    m_soon.clear();
    m_interludeWanted = false;
    m_cycleDue = false;
    m_session.runner.release(this);
    m_session.env.out.log(!m_failure.isEmpty() ? m_failure
                                               : QStringLiteral("Monitoring stopped after %1 %2")
                                                     .arg(m_cycle)
                                                     .arg(m_cycle == 1 ? QStringLiteral("cycle")
                                                                       : QStringLiteral("cycles")));
    Q_EMIT runningChanged(false);
}

} // namespace corvane
