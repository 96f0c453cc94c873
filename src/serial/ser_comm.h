#pragma once

#include "ser_comm_error.h"
#include "ser_comm_types.h"
#include "ser_options.h"
#include "serial_line.h"
#include "serial_os.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>

class QObject;

namespace corvane {

namespace detail {
class SerCommCore;
}
class TSerCommEventThread;
class TSerCommWriteThread;
class KeyedSender;

// Base of the component.
class TSerComponent {
public:
    virtual ~TSerComponent() = default;
};

// The serial port component. All public operations and all events belong to the thread that
// created it (the GUI thread); its event thread hands line events over to that thread and waits
// until the handlers have run. Properties and events are published by TSerComm.
class TSerCustomComm : public TSerComponent, public SerialLine {
public:
    explicit TSerCustomComm(SerialOs &os = defaultSerialOs());
    TSerCustomComm(const TSerCustomComm &) = delete;
    TSerCustomComm &operator=(const TSerCustomComm &) = delete;
    ~TSerCustomComm() override;

    void OpenPort();
    // Stops the threads without waiting for them, closes the device, then calls OnClose.
    void ClosePort();
    bool IsOpen() const override;

    // Takes what is queued, up to count, without waiting for more; 0 when nothing is.
    int ReadBytes(void *buffer, int count) override;
    // Direct: waits up to Buffers.ReadTimeout for the driver to take the bytes and gives how
    // many it took. Queued: all or, after Buffers.WriteTimeout without room, an error.
    int WriteBytes(const void *buffer, int count);
    bool WriteByte(std::uint8_t byte) override;
    // Refused with RTS handshake or toggle even while closed; otherwise nothing while closed.
    void SetRtsLine(bool on) override;
    int WriteBlock(const QByteArray &bytes) override;
    void WaitSent(std::chrono::milliseconds limit) override;
    // While open, frames go out on the component's sending thread, one after another; closing
    // the port abandons what has not left yet. On a network port each frame goes out as one
    // write whatever its byte gap.
    bool SendKeyedAsync(const KeyedFrame &frame,
                        std::function<void(bool ok, const QString &error)> done) override;

    // The status query also clears pending line errors; callers rely on that side effect.
    int InputQueued() override;
    int InputRoom() override;
    int OutputRoom() override;
    // Gives the line error flags since the last query and fills stat (zero while closed).
    std::uint32_t QueryStatus(SerComStat &stat);

    // DeviceName with "%d" replaced by PortNum: "COM%d" and 3 give "COM3".
    QString ResolvedDeviceName() const;
    // The device name stands for a serial gateway on the network ("tcp://HOST:PORT"): the line
    // settings are then the gateway's own, RTS keys nothing, and frames go out whole.
    bool IsNetworkPort() const;
    // The OS events of MonitorEvents, as computed at the last open.
    std::uint32_t EventMask() const { return m_eventMask; }
    // The line settings the properties stand for, as ApplyLineSettings passes them on.
    SerDcb lineSettings() const;
    LineTiming lineTiming() const override;

    // Who turns the transceiver round; takes effect at the next open. sdDriverRs485 asks the
    // driver for its RS-485 mode when the port opens; a driver that refuses it leaves the port
    // open, keyed by RTS as with sdKeyedRts, and Rs485Refusal() says why.
    TSerDirection Direction() const { return m_direction; }
    void SetDirection(TSerDirection value) { m_direction = value; }
    QString Rs485Refusal() const { return m_rs485Refusal; }
    bool keysRts() const override;
    std::optional<std::chrono::steady_clock::time_point> quietSince() const override;

    // True while a background thread waits for this thread to run a delivery (diagnostics).
    bool handOffPending() const;

    // Called by the owner once its properties are set: opens the port when AutoOpen is set.
    virtual void Loaded();

protected:
    bool AutoOpen() const { return m_autoOpen; }
    void SetAutoOpen(bool value) { m_autoOpen = value; }
    TSerBaudrate Baudrate() const { return m_baudrate; }
    void SetBaudrate(TSerBaudrate value);
    TSerParity Parity() const { return m_parity; }
    void SetParity(TSerParity value);
    TSerDatabits Databits() const { return m_databits; }
    void SetDatabits(TSerDatabits value);
    TSerStopbits Stopbits() const { return m_stopbits; }
    void SetStopbits(TSerStopbits value);
    TSerEventChars &EventChars() { return m_eventChars; }
    const TSerEventChars &EventChars() const { return m_eventChars; }
    void SetEventChars(const TSerEventChars &value) { m_eventChars.Assign(value); }
    TSerFlowControl &FlowControl() { return m_flowControl; }
    const TSerFlowControl &FlowControl() const { return m_flowControl; }
    void SetFlowControl(const TSerFlowControl &value) { m_flowControl.Assign(value); }
    TSerCommOptions Options() const { return m_options; }
    void SetOptions(TSerCommOptions value);
    TSerPortInt PortNum() const { return m_portNum; }
    void SetPortNum(TSerPortInt value);
    QString DeviceName() const { return m_deviceName; }
    void SetDeviceName(const QString &value);
    TSerCommEvents MonitorEvents() const { return m_monitorEvents; }
    void SetMonitorEvents(TSerCommEvents value);
    // Members changed while open are stored and then refused; the time limits may change any
    // time.
    TSerBuffers &Buffers() { return m_buffers; }
    const TSerBuffers &Buffers() const { return m_buffers; }
    void SetBuffers(const TSerBuffers &value);
    TThreadPriority EventPriority() const { return m_eventPriority; }
    void SetEventPriority(TThreadPriority value);
    TThreadPriority WritePriority() const { return m_writePriority; }
    void SetWritePriority(TThreadPriority value);
    bool DirectWrite() const { return m_directWrite; }
    void SetDirectWrite(bool value);
    bool UpdateDCB() const { return m_updateDcb; }
    void SetUpdateDCB(bool value);
    int UserBaudrate() const { return m_userBaudrate; }
    void SetUserBaudrate(int value);

    TSerNotifyEvent OnOpen;
    TSerNotifyEvent OnClose;
    TSerNotifyEvent OnCts;
    TSerNotifyEvent OnDsr;
    TSerNotifyEvent OnRlsd;
    TSerNotifyEvent OnRing;
    TSerNotifyEvent OnBreak;
    // Errors carries the CE_ flags; kSerDeviceLost when the device went away.
    TSerCommErrorEvent OnError;
    TSerCommRxCharEvent OnRxChar;
    TSerNotifyEvent OnRxFlag;
    TSerNotifyEvent OnTxEmpty;
    TSerNotifyEvent OnPErr;
    TSerNotifyEvent OnRx80Full;
    TSerNotifyEvent OnEvent1;
    TSerNotifyEvent OnEvent2;

    virtual void OpenDevice();
    virtual void StartThreads();
    // Raises OnRxChar with the bytes queued now, which may be more than when the event fired.
    virtual void DispatchRxChar();
    virtual void DispatchEvents(std::uint32_t mask);

    // Owner thread, from the event thread's hand-off.
    void DeliverEvents(std::uint32_t mask);
    // Raises OnError with the pending line errors; true when there were any.
    bool DispatchError();

    void RequireClosed() const;
    void ApplyLineSettings();
    // The driver's RS-485 mode when the direction asks for it.
    void ApplyDirection();
    void ApplyBufferSizes();
    void ApplyTimeouts();
    void ApplyEventMask();
    void StopThreads();
    void CloseDevice();
    bool EscapeFunction(SerEscape function);
    void CheckCommResult(bool ok, const QString &format) const;
    // Formats the message with the last OS error code and its text, and raises it.
    [[noreturn]] void RaiseCommError(const QString &format) const;

private:
    friend class TSerCommEventThread;
    friend class TSerCommWriteThread;

    void DeliverDeviceLost(int errorCode);
    void DeliverWriteFailure(int errorCode);
    void OptionsChanged(TSerPersistent *group);

    SerialOs &m_os;
    std::unique_ptr<QObject> m_context; // receives the hand-offs on the owner thread
    std::shared_ptr<detail::SerCommCore> m_core;
    std::shared_ptr<SerialDevice> m_device;
    std::shared_ptr<TSerCommEventThread> m_eventThread;
    std::shared_ptr<TSerCommWriteThread> m_writeThread;
    std::unique_ptr<KeyedSender> m_keyedSender;
    std::uint64_t m_openCount = 0;
    std::uint32_t m_eventMask = 0;
    // Flags OnError must hear at the next DispatchError (device lost, failed queued write).
    std::uint32_t m_pendingErrors = 0;
    bool m_destroying = false;
    // Steady-clock ticks of the last read that took bytes, and of the end of the last write or
    // drain; 0 before the first.
    std::atomic<std::int64_t> m_lastReceived{0};
    std::atomic<std::int64_t> m_lastSent{0};

    bool m_autoOpen = false;
    TSerDirection m_direction = sdKeyedRts;
    bool m_rs485Active = false;
    QString m_rs485Refusal;
    TSerBaudrate m_baudrate = br1200;
    TSerParity m_parity = paNone;
    TSerDatabits m_databits = db8;
    TSerStopbits m_stopbits = sb1;
    TSerEventChars m_eventChars;
    TSerFlowControl m_flowControl;
    TSerCommOptions m_options;
    TSerPortInt m_portNum = 0;
    QString m_deviceName = QStringLiteral("COM%d");
    TSerCommEvents m_monitorEvents{ceError, ceRxChar, ceTxEmpty};
    TSerBuffers m_buffers;
    TThreadPriority m_eventPriority = tpNormal;
    TThreadPriority m_writePriority = tpHighest;
    bool m_directWrite = false;
    bool m_updateDcb = true;
    int m_userBaudrate = 0;
};

// The component as the window uses it: every property and event public.
class TSerComm : public TSerCustomComm {
public:
    using TSerCustomComm::TSerCustomComm;

    using TSerCustomComm::AutoOpen;
    using TSerCustomComm::Baudrate;
    using TSerCustomComm::Buffers;
    using TSerCustomComm::Databits;
    using TSerCustomComm::DeviceName;
    using TSerCustomComm::DirectWrite;
    using TSerCustomComm::EventChars;
    using TSerCustomComm::EventPriority;
    using TSerCustomComm::FlowControl;
    using TSerCustomComm::MonitorEvents;
    using TSerCustomComm::Options;
    using TSerCustomComm::Parity;
    using TSerCustomComm::PortNum;
    using TSerCustomComm::SetAutoOpen;
    using TSerCustomComm::SetBaudrate;
    using TSerCustomComm::SetBuffers;
    using TSerCustomComm::SetDatabits;
    using TSerCustomComm::SetDeviceName;
    using TSerCustomComm::SetDirectWrite;
    using TSerCustomComm::SetEventChars;
    using TSerCustomComm::SetEventPriority;
    using TSerCustomComm::SetFlowControl;
    using TSerCustomComm::SetMonitorEvents;
    using TSerCustomComm::SetOptions;
    using TSerCustomComm::SetParity;
    using TSerCustomComm::SetPortNum;
    using TSerCustomComm::SetStopbits;
    using TSerCustomComm::SetUpdateDCB;
    using TSerCustomComm::SetUserBaudrate;
    using TSerCustomComm::SetWritePriority;
    using TSerCustomComm::Stopbits;
    using TSerCustomComm::UpdateDCB;
    using TSerCustomComm::UserBaudrate;
    using TSerCustomComm::WritePriority;

    using TSerCustomComm::OnBreak;
    using TSerCustomComm::OnClose;
    using TSerCustomComm::OnCts;
    using TSerCustomComm::OnDsr;
    using TSerCustomComm::OnError;
    using TSerCustomComm::OnEvent1;
    using TSerCustomComm::OnEvent2;
    using TSerCustomComm::OnOpen;
    using TSerCustomComm::OnPErr;
    using TSerCustomComm::OnRing;
    using TSerCustomComm::OnRlsd;
    using TSerCustomComm::OnRx80Full;
    using TSerCustomComm::OnRxChar;
    using TSerCustomComm::OnRxFlag;
    using TSerCustomComm::OnTxEmpty;
};

} // namespace corvane
