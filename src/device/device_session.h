#pragma once

#include "address_store.h"
#include "decoders.h"
#include "device_model.h"
#include "device_tables.h"
#include "device_view.h"
#include "engine_state.h"
#include "modbus_master.h"
#include "readings.h"
#include "request_runner.h"

#include <QDateTime>
#include <QLocale>
#include <QString>

#include <functional>
#include <optional>

namespace corvane {

class SerialLine;
class Sleeper;

// What the window provides to the device and service commands: the port, where texts go, what
// the operator typed, and the few settings and window states they read at the moment they act.
struct SessionEnvironment {
    SerialLine &line;
    Sleeper &sleeper;
    DeviceView &out;
    const ControlReader &controls;
    // The address selector's value (UD_addr), read afresh for every request.
    std::function<int()> selectedAddress;
    // PortOpen of the port routine.
    std::function<bool()> portOpen;
    // The DecSeparator setting.
    std::function<QString()> decSeparator;
    QLocale locale = QLocale::system();
    // The PC's local date and time; its own clock when left empty.
    std::function<QDateTime()> now = {};
    // Why the port is closed to the commands while something else holds it (listening to the
    // line), or an empty text; the line the log shows instead of "Serial COM port is not
    // opened".
    std::function<QString()> portRefusal = {};
};

// Why a command did not start, or that it did.
enum class CommandStart {
    Started,
    // "Serial COM port is not opened"
    PortClosed,
    // "Device type is not selected or correct"
    ModelUnknown,
    // Another request is in flight.
    Busy,
    // Refused by the command's own input checks, with their log line.
    InputRefused,
};

// The state the main window owns for its lifetime, apart from the widgets: the request runner and
// its state, the recognised model, the three tables and the per-address store. The device, service
// and file commands all work on one session.
class DeviceSession {
public:
    explicit DeviceSession(SessionEnvironment env);
    DeviceSession(const DeviceSession &) = delete;
    DeviceSession &operator=(const DeviceSession &) = delete;

    // Everything a decoder writes into, for the address selected now: the session's reading,
    // or another one (the monitor's).
    DecodeContext decodeContext();
    DecodeContext decodeContext(DeviceReading &into);
    QDateTime now() const { return env.now ? env.now() : QDateTime::currentDateTime(); }

    // The FastReplies setting: windows close on a complete reply, requests go out whole.
    void setFastReplies(bool fast);

    // A step's decoder, given everything it writes into for the address selected when the
    // reply came.
    RequestRunner::Decoder
    decoder(std::function<void(const ModbusReply &, DecodeContext &)> decode);
    // The start of a read: "<what><address>" on the status bar when asked and, with "...", in the
    // log, and the command's button, if it has one, greyed until it has ended in any way.
    void announceAndGrey(RequestRunner::Command &command, const QString &what, bool onStatusBar,
                         std::optional<DeviceView::Command> button);

    int selectedAddress() const { return env.selectedAddress(); }
    bool portOpen() const { return env.portOpen(); }
    QString decSeparator() const { return env.decSeparator ? env.decSeparator() : QString('.'); }

    // The first checks every device command makes, in this order, each with its log line:
    // "Serial COM port is not opened", then (when a model is needed) "Device type is not
    // selected or correct". True when the command may go on.
    bool checkPort();
    bool checkPortAndModel();
    // The same checks as a value: Started when the command may go on.
    CommandStart portCheck();
    CommandStart portAndModelCheck();

    // Runs a command that has passed its checks: Busy when the runner refuses it. Errors of the
    // first send reach the error display; the command has started by then.
    CommandStart start(const RequestRunner::Command &command);

    // Makes a command fill `reading` afresh: emptied at its start, for the address it asks and
    // the model in force, each step's failure noted, stopped noted at its end. The reading is
    // complete when the command's onEnd runs.
    void collectReading(RequestRunner::Command &command, DeviceReading::Kind kind);

    SessionEnvironment env;
    EngineState state;
    DeviceState device;
    // The reading of the running command, or of the last one that read.
    DeviceReading reading;
    DeviceTables tables;
    AddressStore store;
    RequestRunner runner;
    ModbusMaster master;
};

} // namespace corvane
