#pragma once

#include "address_store.h"
#include "decoders.h"
#include "device_model.h"
#include "device_tables.h"
#include "device_view.h"
#include "engine_state.h"
#include "modbus_master.h"
#include "request_runner.h"

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
};

// The state the main window owns for its lifetime, apart from the widgets: the request runner and
// its state, the recognised model, the three tables and the per-address store. The device, service
// and file commands all work on one session.
class DeviceSession {
public:
    explicit DeviceSession(SessionEnvironment env);
    DeviceSession(const DeviceSession &) = delete;
    DeviceSession &operator=(const DeviceSession &) = delete;

    // Everything a decoder writes into, for the address selected now.
    DecodeContext decodeContext();

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

    SessionEnvironment env;
    EngineState state;
    DeviceState device;
    DeviceTables tables;
    AddressStore store;
    RequestRunner runner;
    ModbusMaster master;
};

} // namespace corvane
