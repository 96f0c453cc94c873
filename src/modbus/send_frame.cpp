#include "send_frame.h"

#include "keyed_sender.h"
#include "modbus_log.h"
#include "sleeper.h"

namespace corvane {

std::chrono::microseconds interFrameSilence(const SerialLine::LineTiming &timing) {
    constexpr int kFastestCharacterTimed = 19200;
    constexpr std::chrono::microseconds kFixedSilence{1750};
    const int baud = timing.baud > 0 ? timing.baud : 9600;
    const int bits = timing.bitsPerCharacter > 0 ? timing.bitsPerCharacter : 11;
    if (baud > kFastestCharacterTimed)
        return kFixedSilence;
    // 3.5 characters, rounded up to the microsecond.
    const long long tenthBits = 35LL * bits * 1'000'000;
    return std::chrono::microseconds((tenthBits + 10LL * baud - 1) / (10LL * baud));
}

std::chrono::microseconds characterTime(const SerialLine::LineTiming &timing) {
    const int baud = timing.baud > 0 ? timing.baud : 9600;
    const int bits = timing.bitsPerCharacter > 0 ? timing.bitsPerCharacter : 11;
    return std::chrono::microseconds((1'000'000LL * bits + baud - 1) / baud);
}

SerialLine::KeyedFrame keyedFrame(const SerialLine &line, const QByteArray &frame,
                                  std::chrono::milliseconds preSendDelay, bool whole) {
    SerialLine::KeyedFrame keyed;
    keyed.bytes = frame;
    keyed.preSendDelay =
        whole ? interFrameSilence(line.lineTiming()) : std::chrono::microseconds(preSendDelay);
    keyed.byteGap = whole ? std::chrono::milliseconds(0) : kByteGap;
    if (whole) {
        // The silence is owed to the last frame on the line, heard or sent: whatever the
        // program did since the reply's last byte was read counts towards it. One character
        // before the first byte is left for the transceiver to turn round.
        keyed.quietSince = line.quietSince();
        keyed.leadAfterRts = characterTime(line.lineTiming());
    }
    return keyed;
}

void SendFrame(SerialLine &line, Sleeper &sleeper, const QByteArray &frame,
               std::chrono::milliseconds preSendDelay) {
    qCDebug(lcModbusHex).noquote() << "tx" << frame.toHex(' ');
    SendKeyed(line, sleeper, keyedFrame(line, frame, preSendDelay, false));
}

void SendFrameWhole(SerialLine &line, Sleeper &sleeper, const QByteArray &frame) {
    qCDebug(lcModbusHex).noquote() << "tx" << frame.toHex(' ');
    SendKeyed(line, sleeper, keyedFrame(line, frame, {}, true));
}

} // namespace corvane
