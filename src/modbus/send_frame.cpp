#include "send_frame.h"

#include "keyed_sender.h"
#include "modbus_log.h"
#include "sleeper.h"

namespace corvane {

SerialLine::KeyedFrame keyedFrame(const QByteArray &frame, std::chrono::milliseconds preSendDelay,
                                  bool whole) {
    SerialLine::KeyedFrame keyed;
    keyed.bytes = frame;
    keyed.preSendDelay = preSendDelay;
    keyed.byteGap = whole ? std::chrono::milliseconds(0) : kByteGap;
    return keyed;
}

void SendFrame(SerialLine &line, Sleeper &sleeper, const QByteArray &frame,
               std::chrono::milliseconds preSendDelay) {
    qCDebug(lcModbusHex).noquote() << "tx" << frame.toHex(' ');
    SendKeyed(line, sleeper, keyedFrame(frame, preSendDelay, false));
}

void SendFrameWhole(SerialLine &line, Sleeper &sleeper, const QByteArray &frame,
                    std::chrono::milliseconds preSendDelay) {
    qCDebug(lcModbusHex).noquote() << "tx" << frame.toHex(' ');
    SendKeyed(line, sleeper, keyedFrame(frame, preSendDelay, true));
}

} // namespace corvane
