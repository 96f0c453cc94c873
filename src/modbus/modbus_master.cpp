#include "modbus_master.h"

#include "engine_state.h"
#include "error_display.h"
#include "modbus_log.h"
#include "send_frame.h"
#include "serial_line.h"

#include <cstdint>
#include <memory>
#include <utility>

namespace corvane {

ModbusMaster::ModbusMaster(SerialLine &line, Sleeper &sleeper, EngineState &state)
    : m_line(line), m_sleeper(sleeper), m_state(state) {}

// The request leaves on the port's own sending thread when it has one, so the pauses of the
// transmission never hold up the window; otherwise it goes out here and now.
void ModbusMaster::send(const QByteArray &frame, std::chrono::milliseconds preSendDelay,
                        bool queryOutputRoomAfter) {
    if (frame.size() >= 2) {
        m_state.RequestAddress = static_cast<std::uint8_t>(frame.at(0));
        m_state.RequestFunction = static_cast<std::uint8_t>(frame.at(1));
    }
    if (m_frameObserver)
        m_frameObserver(frame);
    if (m_observer.queued && m_observer.finished) {
        SerialLine::KeyedFrame keyed = keyedFrame(frame, preSendDelay, m_wholeFrames);
        keyed.queryOutputRoomAfter = queryOutputRoomAfter;
        // done always runs later, on this thread, so the ticket is in place by then.
        const auto ticket = std::make_shared<std::uint64_t>(0);
        const auto finished = m_observer.finished;
        if (m_line.SendKeyedAsync(keyed, [finished, ticket](bool ok, const QString &error) {
                if (!error.isEmpty())
                    showError(error);
                finished(*ticket, ok);
            })) {
            *ticket = m_observer.queued();
            qCDebug(lcModbusHex).noquote() << "tx queued" << frame.toHex(' ');
            return;
        }
    }
    if (m_wholeFrames)
        SendFrameWhole(m_line, m_sleeper, frame, preSendDelay);
    else
        SendFrame(m_line, m_sleeper, frame, preSendDelay);
    if (queryOutputRoomAfter)
        m_line.OutputRoom();
}

void ModbusMaster::SendReadHolding(int slave, int start, int count) {
    send(readHoldingFrame(slave, start, count), kPreSendDelay);
}

void ModbusMaster::SendReadInput(int slave, int start, int count) {
    send(readInputFrame(slave, start, count), kPreSendDelay, true);
}

void ModbusMaster::SendWriteSingle(int slave, int reg, int value, int placement) {
    send(writeSingleFrame(slave, reg, value, placement), std::chrono::milliseconds(0));
}

void ModbusMaster::SendWriteMultiple(int slave, int start, int count, const QByteArray &payload) {
    send(writeMultipleFrame(slave, start, count, payload), kPreSendDelay);
}

void ModbusMaster::SendWriteClock(int slave, const QByteArray &payload) {
    m_line.InputRoom();
    m_line.OutputRoom();
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

void ModbusMaster::SendServiceCommand(int slave, int subCode, const QByteArray &data) {
    send(serviceCommandFrame(slave, subCode, data), kPreSendDelay);
}

} // namespace corvane
