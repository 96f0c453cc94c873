#pragma once

#include "frames.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <functional>

namespace corvane {

class Output;
class SerialLine;
class Sleeper;
struct EngineState;

// The send operations: each builds one request, transmits it with SendFrame and forgets it,
// apart from the address it went to (RequestAddress), which the reply checks hold the reply
// against. Opening a response window is the caller's business, except for the service commands,
// which start theirs through the callback they are given.
//
// Callers check that the port is open before they send: a byte the port does not take is not
// reported here.
class ModbusMaster {
public:
    ModbusMaster(SerialLine &line, Sleeper &sleeper, Output &out, EngineState &state,
                 std::function<QString()> deviceType);

    void SendReadHolding(int slave, int start, int count);
    // Ends with an OutputRoom query whose answer is ignored: the status read behind it clears
    // pending line errors.
    void SendReadInput(int slave, int start, int count);
    // Sent with no pre-send delay.
    void SendWriteSingle(int slave, int reg, int value, int placement);
    // Refuses register counts the model cannot have with "Not allowable register count!" and
    // returns false; nothing is sent then.
    bool SendWriteMultiple(int slave, int start, int count, const QByteArray &payload);
    // The date-and-time write: InputRoom and OutputRoom queries, then the 13-byte frame after a
    // 10 ms pre-send delay, with SkipLeadingZero set so the reply, which nobody waits for, still
    // reaches RxBuffer without the turn-round zero. RxBuffer is not emptied.
    void SendWriteClock(int slave, const QByteArray &payload);
    void SendReadFileRecord(int slave, int file, int record, int length);
    // Returns false and sends nothing when recordBytes is not an even count of 2 to 12 bytes.
    bool SendWriteFileRecord(int slave, int file, int record, const QByteArray &recordBytes);
    void SendReadDeviceId(int slave, int code);
    void SendServiceQuery(int slave, int subCode);
    // Service command of kind 1 to 7 built from the service page's texts. Logs its line before
    // sending; after a successful send records the kind in ServiceReplyKind and calls
    // startWindow (the Timer_service window). A refused kind logs its reason, leaves both alone
    // and returns false.
    bool SendServiceCommand(int slave, int subCode, int kind, const ServiceControls &controls,
                            const std::function<void()> &startWindow);

private:
    void send(const QByteArray &frame, std::chrono::milliseconds preSendDelay);

    SerialLine &m_line;
    Sleeper &m_sleeper;
    Output &m_out;
    EngineState &m_state;
    std::function<QString()> m_deviceType;
};

} // namespace corvane
