#pragma once

#include "frames.h"
#include "function_codes.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>

namespace corvane {

class SerialLine;
class Sleeper;

// The send operations: each builds one request, transmits it with SendFrame and returns whom it
// asked for what, which the reply checks hold the reply against. Windows, replies and what the
// requests mean are the callers' business.
//
// Callers check that the port is open before they send: a byte the port does not take is not
// reported here.
class ModbusMaster {
public:
    // Told of sends that leave on another thread: queued() when the request is handed over,
    // returning a ticket, finished(ticket, ok) once it has left or failed.
    struct SendObserver {
        std::function<std::uint64_t()> queued;
        std::function<void(std::uint64_t ticket, bool ok)> finished;
    };

    ModbusMaster(SerialLine &line, Sleeper &sleeper);

    void setSendObserver(SendObserver observer) { m_observer = std::move(observer); }
    // Told of every request frame as it is handed to the line, before any of it is sent.
    void setFrameObserver(std::function<void(const QByteArray &frame)> observer) {
        m_frameObserver = std::move(observer);
    }
    // Fast mode: each request as one write after the line's inter-frame silence instead of the
    // designed pre-send delay, with RTS held until the output has drained.
    void setWholeFrames(bool whole) { m_wholeFrames = whole; }
    bool wholeFrames() const { return m_wholeFrames; }

    SentRequest SendReadHolding(int slave, int start, int count);
    // Ends with an OutputRoom query whose answer is ignored: the status read behind it clears
    // pending line errors.
    SentRequest SendReadInput(int slave, int start, int count);
    // Sent with no pre-send delay.
    SentRequest SendWriteSingle(int slave, int reg, int value, int placement);
    SentRequest SendWriteMultiple(int slave, int start, int count, const QByteArray &payload);
    // The date-and-time write: InputRoom and OutputRoom queries, then the 13-byte frame after a
    // 10 ms pre-send delay. The reply is not waited for.
    SentRequest SendWriteClock(int slave, const QByteArray &payload);
    SentRequest SendReadFileRecord(int slave, int file, int record, int length);
    // Sends nothing when recordBytes is not an even count of 2 to 12 bytes.
    std::optional<SentRequest> SendWriteFileRecord(int slave, int file, int record,
                                                   const QByteArray &recordBytes);
    SentRequest SendReadDeviceId(int slave, int code);
    SentRequest SendServiceQuery(int slave, int subCode);
    // Function 0x47 with the data of a service command.
    SentRequest SendServiceCommand(int slave, int subCode, const QByteArray &data);

private:
    SentRequest send(const QByteArray &frame, std::chrono::milliseconds preSendDelay,
                     bool queryOutputRoomAfter = false);

    SerialLine &m_line;
    Sleeper &m_sleeper;
    SendObserver m_observer;
    std::function<void(const QByteArray &frame)> m_frameObserver;
    bool m_wholeFrames = false;
};

} // namespace corvane
