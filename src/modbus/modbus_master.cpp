#include "modbus_master.h"

#include "engine_state.h"
#include "modbus_log.h"
#include "output.h"
#include "send_frame.h"
#include "serial_line.h"

#include <cstdint>
#include <utility>

namespace corvane {

ModbusMaster::ModbusMaster(SerialLine &line, Sleeper &sleeper, Output &out, EngineState &state,
                           std::function<QString()> deviceType)
    : m_line(line), m_sleeper(sleeper), m_out(out), m_state(state),
      m_deviceType(std::move(deviceType)) {}

void ModbusMaster::send(const QByteArray &frame, std::chrono::milliseconds preSendDelay) {
    if (!frame.isEmpty())
        m_state.RequestAddress = static_cast<std::uint8_t>(frame.at(0));
    SendFrame(m_line, m_sleeper, frame, preSendDelay);
}

void ModbusMaster::SendReadHolding(int slave, int start, int count) {
    send(readHoldingFrame(slave, start, count), kPreSendDelay);
}

void ModbusMaster::SendReadInput(int slave, int start, int count) {
    send(readInputFrame(slave, start, count), kPreSendDelay);
    m_line.OutputRoom();
}

void ModbusMaster::SendWriteSingle(int slave, int reg, int value, int placement) {
    send(writeSingleFrame(slave, reg, value, placement), std::chrono::milliseconds(0));
}

bool ModbusMaster::SendWriteMultiple(int slave, int start, int count, const QByteArray &payload) {
    const QString model = m_deviceType ? m_deviceType() : QString();
    if (!writeMultipleCountAllowed(count, model)) {
        qCInfo(lcModbus) << "write of" << count << "registers refused for model" << model;
        m_out.log(QStringLiteral("Not allowable register count!"));
        return false;
    }
    send(writeMultipleFrame(slave, start, count, payload), kPreSendDelay);
    return true;
}

void ModbusMaster::SendWriteClock(int slave, const QByteArray &payload) {
    m_line.InputRoom();
    m_line.OutputRoom();
    m_state.SkipLeadingZero = true;
    send(clockFrame(slave, payload), kClockPreSendDelay);
}

void ModbusMaster::SendReadFileRecord(int slave, int file, int record, int length) {
    send(readFileRecordFrame(slave, file, record, length), kPreSendDelay);
}

bool ModbusMaster::SendWriteFileRecord(int slave, int file, int record,
                                       const QByteArray &recordBytes) {
    const QByteArray frame = writeFileRecordFrame(slave, file, record, recordBytes);
    if (frame.isEmpty()) {
        qCWarning(lcModbus) << "file record of" << recordBytes.size() << "bytes not sent";
        return false;
    }
    send(frame, kPreSendDelay);
    return true;
}

void ModbusMaster::SendReadDeviceId(int slave, int code) {
    send(readDeviceIdFrame(slave, code), kPreSendDelay);
}

void ModbusMaster::SendServiceQuery(int slave, int subCode) {
    send(serviceQueryFrame(slave, subCode), kPreSendDelay);
}

bool ModbusMaster::SendServiceCommand(int slave, int subCode, int kind,
                                      const ServiceControls &controls,
                                      const std::function<void()> &startWindow) {
    const ServiceCommandPlan plan = serviceCommandPlan(kind, controls, slave);
    if (!plan.send) {
        if (plan.rejection.isEmpty())
            qCWarning(lcModbus) << "unknown service command kind" << kind;
        else
            m_out.log(plan.rejection);
        return false;
    }
    if (!plan.logLine.isEmpty())
        m_out.log(plan.logLine);
    send(serviceCommandFrame(slave, subCode, plan.data), kPreSendDelay);
    m_state.ServiceReplyKind = kind;
    if (startWindow)
        startWindow();
    return true;
}

} // namespace corvane
