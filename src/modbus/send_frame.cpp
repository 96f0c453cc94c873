#include "send_frame.h"

#include "modbus_log.h"
#include "serial_line.h"
#include "sleeper.h"

namespace corvane {

void SendFrame(SerialLine &line, Sleeper &sleeper, const QByteArray &frame,
               std::chrono::milliseconds preSendDelay) {
    qCDebug(lcModbusHex).noquote() << "tx" << frame.toHex(' ');
    line.SetRtsLine(true);
    if (preSendDelay.count() != 0)
        sleeper.sleep(preSendDelay);
    for (const char byte : frame) {
        line.WriteByte(static_cast<std::uint8_t>(byte));
        sleeper.sleep(kByteGap);
    }
    line.SetRtsLine(false);
}

void SendFrameWhole(SerialLine &line, Sleeper &sleeper, const QByteArray &frame,
                    std::chrono::milliseconds preSendDelay) {
    qCDebug(lcModbusHex).noquote() << "tx" << frame.toHex(' ');
    line.SetRtsLine(true);
    if (preSendDelay.count() != 0)
        sleeper.sleep(preSendDelay);
    line.WriteBlock(frame);
    line.WaitSent(drainLimit(frame));
    line.SetRtsLine(false);
}

std::chrono::milliseconds drainLimit(const QByteArray &frame) {
    // 11 bits a character at 1200 baud is just over 9 ms.
    return std::chrono::milliseconds(100 + 10 * frame.size());
}

} // namespace corvane
