#include "modbus_master.h"

#include "error_display.h"
#include "modbus_log.h"
#include "send_frame.h"
#include "serial_line.h"

#include <cstdint>
#include <memory>
#include <utility>

namespace corvane {

ModbusMaster::ModbusMaster(SerialLine &line, Sleeper &sleeper) : m_line(line), m_sleeper(sleeper) {}

// The request leaves on the port's own sending thread when it has one, so the pauses of the
// transmission never hold up the window; otherwise it goes out here and now.
SentRequest ModbusMaster::send(const QByteArray &frame, std::chrono::milliseconds preSendDelay,
                               bool queryOutputRoomAfter) {
    SentRequest request;
    if (frame.size() >= 2) {
        request.address = static_cast<std::uint8_t>(frame.at(0));
        request.function = static_cast<std::uint8_t>(frame.at(1));
    }
    request.frame = frame;
    if (m_frameObserver)
        m_frameObserver(frame);
    if (m_observer.queued && m_observer.finished) {
        SerialLine::KeyedFrame keyed = keyedFrame(m_line, frame, preSendDelay, m_wholeFrames);
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
            return request;
        }
    }
    if (m_wholeFrames)
        SendFrameWhole(m_line, m_sleeper, frame);
    else
        SendFrame(m_line, m_sleeper, frame, preSendDelay);
    if (queryOutputRoomAfter)
        m_line.OutputRoom();
    return request;
}

SentRequest ModbusMaster::SendReadHolding(int slave, int start, int count) {
    return send(readHoldingFrame(slave, start, count), kPreSendDelay);
}

SentRequest ModbusMaster::SendReadInput(int slave, int start, int count) {
    return send(readInputFrame(slave, start, count), kPreSendDelay, true);
}

SentRequest ModbusMaster::SendWriteSingle(int slave, int reg, int value, int placement) {
    return send(writeSingleFrame(slave, reg, value, placement), std::chrono::milliseconds(0));
}

SentRequest ModbusMaster::SendWriteMultiple(int slave, int start, int count,
                                            const QByteArray &payload) {
    return send(writeMultipleFrame(slave, start, count, payload), kPreSendDelay);
}

SentRequest ModbusMaster::SendWriteClock(int slave, const QByteArray &payload) {
    m_line.InputRoom();
    m_line.OutputRoom();
    return send(clockFrame(slave, payload), kClockPreSendDelay);
}

SentRequest ModbusMaster::SendReadFileRecord(int slave, int file, int record, int length) {
    return send(readFileRecordFrame(slave, file, record, length), kPreSendDelay);
}

std::optional<SentRequest> ModbusMaster::SendWriteFileRecord(int slave, int file, int record,
                                                             const QByteArray &recordBytes) {
    const QByteArray frame = writeFileRecordFrame(slave, file, record, recordBytes);
    if (frame.isEmpty()) {
        qCWarning(lcModbus) << "file record of" << recordBytes.size() << "bytes not sent";
        return std::nullopt;
    }
    return send(frame, kPreSendDelay);
}

SentRequest ModbusMaster::SendReadDeviceId(int slave, int code) {
    return send(readDeviceIdFrame(slave, code), kPreSendDelay);
}

SentRequest ModbusMaster::SendServiceQuery(int slave, int subCode) {
    return send(serviceQueryFrame(slave, subCode), kPreSendDelay);
}

SentRequest ModbusMaster::SendServiceCommand(int slave, int subCode, const QByteArray &data) {
    return send(serviceCommandFrame(slave, subCode, data), kPreSendDelay);
}

} // namespace corvane
