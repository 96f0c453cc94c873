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

} // namespace corvane
