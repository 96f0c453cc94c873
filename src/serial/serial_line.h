#pragma once

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace corvane {

// The part of the serial port that the Modbus master uses. TSerCustomComm implements it;
// tests substitute a recorder so frames, RTS changes and pauses can be checked without a line.
class SerialLine {
public:
    virtual ~SerialLine() = default;

    virtual bool IsOpen() const = 0;
    virtual int ReadBytes(void *buffer, int count) = 0;
    virtual bool WriteByte(std::uint8_t byte) = 0;
    virtual void SetRtsLine(bool on) = 0;
    virtual int InputQueued() = 0;
    // Both are called before requests mostly for their side effect: the status query behind
    // them clears pending line errors.
    virtual int InputRoom() = 0;
    virtual int OutputRoom() = 0;

    // Writes a whole block in one go. The default hands it over byte by byte.
    virtual int WriteBlock(const QByteArray &bytes) {
        int written = 0;
        for (const char byte : bytes)
            written += WriteByte(static_cast<std::uint8_t>(byte)) ? 1 : 0;
        return written;
    }
    // Returns once what was written has left the line, or after limit. The default returns at
    // once: a line that cannot tell has nothing to wait for.
    virtual void WaitSent(std::chrono::milliseconds limit) { (void)limit; }

    // The speed and the length of a character on the line, start and stop bits included; zero
    // where the line does not know.
    struct LineTiming {
        int baud = 0;
        int bitsPerCharacter = 0;
    };
    virtual LineTiming lineTiming() const { return {}; }
    // Whether a frame is keyed by raising RTS around it; false where the serial driver or the
    // adapter turns the transceiver round by itself.
    virtual bool keysRts() const { return true; }
    // Since when the line has carried nothing: the last byte taken from it, or the end of the
    // last frame sent on it, whichever came later; nothing where the line does not tell.
    virtual std::optional<std::chrono::steady_clock::time_point> quietSince() const {
        return std::nullopt;
    }

    // A frame keyed by RTS, sent off the calling thread: RTS up, preSendDelay, the bytes (one
    // at a time with byteGap after each, or as one block when byteGap is zero, then waiting for
    // the line to drain), RTS down. done runs later on the thread that owns the line: ok, or
    // the error, whose text is empty when the port closed before the frame had left. Returns
    // false, and does nothing, when this line can only send on the calling thread.
    struct KeyedFrame {
        QByteArray bytes;
        std::chrono::microseconds preSendDelay{0};
        std::chrono::milliseconds byteGap{0};
        // A status query after the frame, as some requests make.
        bool queryOutputRoomAfter = false;
        // Whole frames: the line has been quiet since then, so the pre-send delay, the silence
        // the frame needs, is counted from there rather than from RTS rising; RTS still rises
        // at least leadAfterRts before the first byte.
        std::optional<std::chrono::steady_clock::time_point> quietSince;
        std::chrono::microseconds leadAfterRts{0};
    };
    virtual bool SendKeyedAsync(const KeyedFrame &frame,
                                std::function<void(bool ok, const QString &error)> done) {
        (void)frame;
        (void)done;
        return false;
    }
};

} // namespace corvane
