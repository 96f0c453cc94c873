#include "ser_comm.h"

#include "error_display.h"
#include "keyed_sender.h"
#include "network_port.h"
#include "ser_comm_threads.h"

#include <QFile>
#include <QLoggingCategory>
#include <QObject>

#include <chrono>
#include <initializer_list>
#include <iterator>
#include <mutex>
#include <utility>

namespace corvane {
namespace {

Q_LOGGING_CATEGORY(lcSerial, "corvane.serial", QtInfoMsg)
Q_LOGGING_CATEGORY(lcSerialHex, "corvane.serial.hex", QtInfoMsg)

// How long a destructor waits for threads that have been told to stop.
constexpr std::chrono::milliseconds kThreadWindDown{2000};

const QString kPortOpen = QStringLiteral("Can't perform this operation while port is open");

// Fills "%d" and "%s" in order from args ("%%" gives "%"). Anything else, including a
// placeholder without an argument, stays as written: a device name is never taken for a format.
QString formatMessage(const QString &format, std::initializer_list<QString> args) {
    QString result;
    result.reserve(format.size() + 32);
    auto next = args.begin();
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format[i];
        if (c == u'%' && i + 1 < format.size()) {
            const QChar kind = format[i + 1];
            if (kind == u'%') {
                result += u'%';
                ++i;
                continue;
            }
            if ((kind == u'd' || kind == u's') && next != args.end()) {
                result += *next++;
                ++i;
                continue;
            }
        }
        result += c;
    }
    return result;
}

constexpr std::uint32_t kBaudrates[] = {110,   300,   600,   1200,  2400,   4800,   9600,  14400,
                                        19200, 38400, 56000, 57600, 115200, 128000, 256000};

} // namespace

TSerCustomComm::TSerCustomComm(SerialOs &os)
    : m_os(os), m_context(std::make_unique<QObject>()),
      m_core(std::make_shared<detail::SerCommCore>(os, m_context.get(), this)),
      m_keyedSender(std::make_unique<KeyedSender>(*this, m_context.get())) {
    const auto changed = [this](TSerPersistent *group) { OptionsChanged(group); };
    m_eventChars.OnChange = changed;
    m_flowControl.OnChange = changed;
    m_buffers.OnChange = changed;
}

TSerCustomComm::~TSerCustomComm() {
    m_destroying = true;
    try {
        ClosePort();
    } catch (...) {
        // Closing raises nothing of its own; OnClose is not called while destroying.
    }
    m_core->Comm = nullptr;
    m_core->LiveGeneration = 0;
    m_core->detachContext();
    // Drops the hand-offs still queued, which releases any thread blocked in one.
    m_context.reset();
    if (!m_core->waitForThreads(kThreadWindDown))
        qCWarning(lcSerial) << "A serial thread did not end in time";
}

QString TSerCustomComm::ResolvedDeviceName() const {
    return formatMessage(m_deviceName, {QString::number(m_portNum)});
}

bool TSerCustomComm::IsNetworkPort() const {
    return isNetworkPortName(ResolvedDeviceName());
}

void TSerCustomComm::Loaded() {
    if (m_autoOpen)
        OpenPort();
}

bool TSerCustomComm::handOffPending() const {
    return m_core->pendingHandOffs() > 0;
}

bool TSerCustomComm::IsOpen() const {
    return m_device != nullptr;
}

void TSerCustomComm::RequireClosed() const {
    if (IsOpen())
        throw ESerCommError(kPortOpen);
}

void TSerCustomComm::CheckCommResult(bool ok, const QString &format) const {
    if (!ok)
        RaiseCommError(format);
}

void TSerCustomComm::RaiseCommError(const QString &format) const {
    const int code = m_os.lastError();
    throw ESerCommError(formatMessage(format, {QString::number(code),
                                               QString::fromStdString(m_os.errorText(code))}),
                        ESerCommError::Kind::Other, code);
}

void TSerCustomComm::OpenPort() {
    RequireClosed();
    OpenDevice();
    if (!IsOpen())
        return;
    try {
        ApplyLineSettings();
        ApplyDirection();
        ApplyBufferSizes();
        ApplyTimeouts();
        ApplyEventMask();
        m_core->LiveGeneration = ++m_openCount;
        StartThreads();
    } catch (...) {
        StopThreads();
        CloseDevice();
        throw;
    }
    qCDebug(lcSerial) << "Opened" << ResolvedDeviceName() << "event mask" << Qt::hex << m_eventMask;
    if (OnOpen)
        runGuarded([this] { OnOpen(this); });
}

void TSerCustomComm::OpenDevice() {
    const QString name = ResolvedDeviceName();
    std::shared_ptr<SerialDevice> device = m_os.createFile(QFile::encodeName(name).toStdString());
    if (!device) {
        const int code = m_os.lastError();
        if (m_os.isNotFound(code))
            throw ESerCommError(
                formatMessage(QStringLiteral("Specified device not found (%s)."), {name}),
                ESerCommError::Kind::DeviceNotOpened, code);
        throw ESerCommError(
            formatMessage(
                QStringLiteral("Can't open specified device %s (Error %d, %s)"),
                {name, QString::number(code), QString::fromStdString(m_os.errorText(code))}),
            ESerCommError::Kind::DeviceNotOpened, code);
    }
    m_device = std::move(device);
}

void TSerCustomComm::ApplyDirection() {
    m_rs485Active = false;
    m_rs485Refusal.clear();
    if (m_direction != sdDriverRs485 || IsNetworkPort())
        return;
    SerRs485 mode;
    mode.enabled = true;
    if (m_device->setRs485(mode)) {
        m_rs485Active = true;
        return;
    }
    const int code = m_os.lastError();
    m_rs485Refusal = QString::fromStdString(m_os.errorText(code));
    qCDebug(lcSerial) << ResolvedDeviceName() << "refused RS-485 mode:" << m_rs485Refusal;
}

bool TSerCustomComm::keysRts() const {
    switch (m_direction) {
    case sdKeyedRts:
        return true;
    case sdDriverRs485:
        return !m_rs485Active;
    case sdAdapter:
        return false;
    }
    return true;
}

SerialLine::LineTiming TSerCustomComm::lineTiming() const {
    const SerDcb dcb = lineSettings();
    // A start bit, the data bits, the parity bit, and 1.5 stop bits counted as 2.
    const int parity = dcb.Parity == paNone ? 0 : 1;
    const int stop = m_stopbits == sb1 ? 1 : 2;
    return {int(dcb.BaudRate), 1 + dcb.ByteSize + parity + stop};
}

SerDcb TSerCustomComm::lineSettings() const {
    SerDcb dcb;
    if (m_baudrate == brUser)
        dcb.BaudRate = std::uint32_t(m_userBaudrate);
    else if (m_baudrate > brUser && m_baudrate <= br256000)
        dcb.BaudRate = kBaudrates[m_baudrate - br110];
    dcb.ByteSize = std::uint8_t(4 + int(m_databits));
    dcb.Parity = std::uint8_t(m_parity);
    dcb.StopBits = std::uint8_t(m_stopbits);
    dcb.XonChar = m_eventChars.XonChar();
    dcb.XoffChar = m_eventChars.XoffChar();
    dcb.ErrorChar = m_eventChars.ErrorChar();
    dcb.EofChar = m_eventChars.EofChar();
    dcb.EvtChar = m_eventChars.EventChar();
    dcb.XonLim = std::uint16_t(m_buffers.XonLimit());
    dcb.XoffLim = std::uint16_t(m_buffers.XoffLimit());

    std::uint32_t flags = kDcbBinary;
    if (m_options.contains(coParityCheck))
        flags |= kDcbParity;
    if (m_flowControl.OutCtsFlow())
        flags |= kDcbOutxCtsFlow;
    if (m_flowControl.OutDsrFlow())
        flags |= kDcbOutxDsrFlow;
    flags |= (std::uint32_t(m_flowControl.ControlDtr()) & 3u) << kDcbDtrControlShift;
    if (m_flowControl.DsrSensitivity())
        flags |= kDcbDsrSensitivity;
    if (m_flowControl.TxContinueOnXoff())
        flags |= kDcbTxContinueOnXoff;
    if (m_flowControl.XonXoffOut())
        flags |= kDcbOutX;
    if (m_flowControl.XonXoffIn())
        flags |= kDcbInX;
    if (m_options.contains(coErrorChar))
        flags |= kDcbErrorChar;
    if (m_options.contains(coNullStrip))
        flags |= kDcbNull;
    flags |= (std::uint32_t(m_flowControl.ControlRts()) & 3u) << kDcbRtsControlShift;
    dcb.Flags = flags;
    return dcb;
}

void TSerCustomComm::ApplyLineSettings() {
    if (!IsOpen() || !m_updateDcb)
        return;
    CheckCommResult(m_device->setCommState(lineSettings()),
                    QStringLiteral("Error writing dcb (%d), %s"));
}

void TSerCustomComm::ApplyBufferSizes() {
    CheckCommResult(m_device->setupComm(m_buffers.ReadSize(), m_buffers.WriteSize()),
                    QStringLiteral("Error initializing buffers (%d), %s"));
}

void TSerCustomComm::ApplyTimeouts() {
    CheckCommResult(m_device->setCommTimeouts(), QStringLiteral("Error setting timeouts (%d), %s"));
}

void TSerCustomComm::ApplyEventMask() {
    std::uint32_t mask = 0;
    for (int member = ceBreak; member <= ceEvent2; ++member) {
        if (m_monitorEvents.contains(TSerCommEvent(member)))
            mask |= kSerEventFlags[member];
    }
    // The write thread reports transmit-empty itself.
    if (!m_directWrite)
        mask &= ~EV_TXEMPTY;
    m_eventMask = mask;
    CheckCommResult(m_device->setCommMask(mask),
                    QStringLiteral(" Error setting EventMask (%d), %s"));
}

void TSerCustomComm::StartThreads() {
    const std::uint64_t generation = m_core->LiveGeneration;
    if (m_eventMask != 0) {
        m_eventThread = std::make_shared<TSerCommEventThread>(m_core, m_device, generation);
        m_eventThread->Start(m_eventPriority);
    }
    if (!m_directWrite) {
        m_writeThread = std::make_shared<TSerCommWriteThread>(m_core, m_device, generation,
                                                              m_buffers.WriteSize());
        m_writeThread->Start(m_writePriority);
    }
}

void TSerCustomComm::ClosePort() {
    // The sending thread works on the device: it stops before the device goes.
    m_keyedSender->stop();
    if (!IsOpen())
        return;
    {
        std::lock_guard lock(m_core->ReadLock);
        StopThreads();
    }
    CloseDevice();
    qCDebug(lcSerial) << "Closed" << ResolvedDeviceName();
    if (!m_destroying && OnClose)
        OnClose(this);
}

// The threads are told to stop but not waited for; one may be blocked in a hand-off to this
// very thread. They end on their own, and a late hand-off finds the port closed.
void TSerCustomComm::StopThreads() {
    if (m_eventThread) {
        m_eventThread->RequestStop();
        m_eventThread.reset();
    }
    if (m_writeThread) {
        m_writeThread->Stop();
        m_writeThread.reset();
    }
}

void TSerCustomComm::CloseDevice() {
    m_rs485Active = false;
    if (m_device) {
        m_device->closeHandle();
        m_device.reset();
    }
    m_core->LiveGeneration = 0;
    m_pendingErrors = 0;
}

int TSerCustomComm::ReadBytes(void *buffer, int count) {
    if (!IsOpen() || !buffer || count <= 0)
        return 0;
    std::lock_guard lock(m_core->ReadLock);
    int done = 0;
    CheckCommResult(m_device->readFile(buffer, count, done), QStringLiteral("Read error (%d), %s"));
    if (done > 0)
        m_lastReceived = std::chrono::steady_clock::now().time_since_epoch().count();
    if (done > 0)
        qCDebug(lcSerialHex).noquote()
            << "rx" << QByteArray::fromRawData(static_cast<const char *>(buffer), done).toHex(' ');
    return done;
}

int TSerCustomComm::WriteBytes(const void *buffer, int count) {
    if (!IsOpen() || !buffer || count <= 0)
        return 0;
    qCDebug(lcSerialHex).noquote()
        << "tx" << QByteArray::fromRawData(static_cast<const char *>(buffer), count).toHex(' ');
    if (!m_directWrite) {
        if (!m_writeThread)
            return 0;
        if (!m_writeThread->Enqueue(buffer, count,
                                    std::chrono::milliseconds(m_buffers.WriteTimeout())))
            throw ESerCommError(QStringLiteral("Output buffer is full. Please check comm status."));
        return count;
    }

    std::lock_guard lock(m_core->WriteLock);
    const auto *bytes = static_cast<const std::uint8_t *>(buffer);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(m_buffers.ReadTimeout());
    int total = 0;
    while (total < count) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        int done = 0;
        int woken = -1;
        const SerWriteResult result =
            m_device->writeFile(bytes + total, count - total, done, {},
                                int(std::max<long long>(left.count(), 0)), woken);
        if (result == SerWriteResult::Failed)
            RaiseCommError(QStringLiteral("Write error (%d), %s"));
        if (result != SerWriteResult::Written)
            break;
        total += done;
    }
    if (total > 0)
        m_lastSent = std::chrono::steady_clock::now().time_since_epoch().count();
    return total;
}

bool TSerCustomComm::WriteByte(std::uint8_t byte) {
    return WriteBytes(&byte, 1) == 1;
}

int TSerCustomComm::WriteBlock(const QByteArray &bytes) {
    return WriteBytes(bytes.constData(), int(bytes.size()));
}

void TSerCustomComm::WaitSent(std::chrono::milliseconds limit) {
    if (IsOpen())
        m_device->drainOutput(int(limit.count()));
    m_lastSent = std::chrono::steady_clock::now().time_since_epoch().count();
}

bool TSerCustomComm::SendKeyedAsync(const KeyedFrame &frame,
                                    std::function<void(bool ok, const QString &error)> done) {
    if (!IsOpen())
        return false;
    if (IsNetworkPort() && frame.byteGap.count() != 0) {
        // Pauses between the bytes keep nothing apart over TCP; they would only make the frame
        // leave in one packet per byte, which a gateway may put on the bus with gaps of its own.
        KeyedFrame whole = frame;
        whole.byteGap = std::chrono::milliseconds(0);
        m_keyedSender->post(whole, std::move(done));
        return true;
    }
    m_keyedSender->post(frame, std::move(done));
    return true;
}

std::uint32_t TSerCustomComm::QueryStatus(SerComStat &stat) {
    std::lock_guard lock(m_core->ReadLock);
    std::uint32_t errors = 0;
    stat = {};
    if (IsOpen())
        CheckCommResult(m_device->clearCommError(errors, stat),
                        QStringLiteral("Error retrieving statistics (%d), %s"));
    return errors;
}

std::optional<std::chrono::steady_clock::time_point> TSerCustomComm::quietSince() const {
    const std::int64_t at = std::max<std::int64_t>(m_lastReceived, m_lastSent);
    if (at == 0)
        return std::nullopt;
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(at));
}

int TSerCustomComm::InputQueued() {
    if (!IsOpen())
        return 0;
    SerComStat stat;
    QueryStatus(stat);
    return int(stat.cbInQue);
}

int TSerCustomComm::InputRoom() {
    if (!IsOpen())
        return 0;
    SerComStat stat;
    QueryStatus(stat);
    return m_buffers.ReadSize() - int(stat.cbInQue);
}

int TSerCustomComm::OutputRoom() {
    if (!IsOpen())
        return 0;
    if (m_directWrite) {
        SerComStat stat;
        QueryStatus(stat);
        return m_buffers.WriteSize() - int(stat.cbOutQue);
    }
    if (!m_writeThread)
        return 0;
    return m_writeThread->Capacity() - m_writeThread->QueueFill();
}

void TSerCustomComm::SetRtsLine(bool on) {
    const TSerControlRts rts = m_flowControl.ControlRts();
    if (rts == rtsHandshake || rts == rtsToggle)
        throw ESerCommError(QStringLiteral(
            "RTS line updates not allowed when flowcontrol is set to Handshake or Toggle."));
    EscapeFunction(on ? SerEscape::SetRts : SerEscape::ClrRts);
}

bool TSerCustomComm::EscapeFunction(SerEscape function) {
    if (!IsOpen())
        return false;
    CheckCommResult(m_device->escapeCommFunction(function),
                    QStringLiteral("Error calling comm function (%d), %s"));
    return true;
}

void TSerCustomComm::DeliverEvents(std::uint32_t mask) {
    // Each part is guarded on its own, so a failing receive handler does not swallow the
    // other events of the same notification.
    if (mask & EV_RXCHAR) {
        mask &= ~EV_RXCHAR;
        runGuarded([this] { DispatchRxChar(); });
    }
    if (mask != 0)
        runGuarded([this, mask] { DispatchEvents(mask); });
}

void TSerCustomComm::DispatchRxChar() {
    const int count = InputQueued();
    if (count <= 0)
        return;
    if (OnRxChar)
        OnRxChar(this, count);
}

void TSerCustomComm::DispatchEvents(std::uint32_t mask) {
    if (mask & EV_ERR)
        runGuarded([this] { DispatchError(); });
    const std::pair<std::uint32_t, TSerNotifyEvent *> handlers[] = {
        {EV_RXFLAG, &OnRxFlag}, {EV_CTS, &OnCts},      {EV_DSR, &OnDsr},
        {EV_RING, &OnRing},     {EV_RLSD, &OnRlsd},    {EV_TXEMPTY, &OnTxEmpty},
        {EV_BREAK, &OnBreak},   {EV_PERR, &OnPErr},    {EV_RX80FULL, &OnRx80Full},
        {EV_EVENT1, &OnEvent1}, {EV_EVENT2, &OnEvent2}};
    for (const auto &entry : handlers) {
        TSerNotifyEvent *handler = entry.second;
        if ((mask & entry.first) && *handler)
            runGuarded([this, handler] { (*handler)(this); });
    }
}

bool TSerCustomComm::DispatchError() {
    std::uint32_t errors = 0;
    try {
        SerComStat stat;
        errors = QueryStatus(stat);
    } catch (const ESerCommError &) {
        // A vanished or failing device may not answer the query; the pending flags say what
        // happened, and OnError must still hear of it.
        if (m_pendingErrors == 0)
            throw;
    }
    errors |= std::exchange(m_pendingErrors, 0);
    if (errors != 0 && OnError)
        runGuarded([this, errors] { OnError(this, int(errors)); });
    return errors != 0;
}

void TSerCustomComm::DeliverDeviceLost(int errorCode) {
    qCWarning(lcSerial).noquote() << ResolvedDeviceName()
                                  << "is gone:" << QString::fromStdString(m_os.errorText(errorCode))
                                  << "- no more line events until it is reopened";
    m_pendingErrors |= kSerDeviceLost;
    runGuarded([this] { DispatchEvents(EV_ERR); });
}

void TSerCustomComm::DeliverWriteFailure(int errorCode) {
    qCWarning(lcSerial).noquote() << "Queued write to" << ResolvedDeviceName()
                                  << "failed:" << QString::fromStdString(m_os.errorText(errorCode));
    m_pendingErrors |= CE_IOE;
    runGuarded([this] { DispatchEvents(EV_ERR); });
}

void TSerCustomComm::OptionsChanged(TSerPersistent *group) {
    if (group == &m_buffers)
        RequireClosed();
    else
        ApplyLineSettings();
}

void TSerCustomComm::SetBaudrate(TSerBaudrate value) {
    if (value == m_baudrate)
        return;
    m_baudrate = value;
    if (value != brUser)
        m_userBaudrate = 0;
    ApplyLineSettings();
}

void TSerCustomComm::SetParity(TSerParity value) {
    if (value == m_parity)
        return;
    m_parity = value;
    ApplyLineSettings();
}

void TSerCustomComm::SetDatabits(TSerDatabits value) {
    if (value == m_databits)
        return;
    m_databits = value;
    ApplyLineSettings();
}

void TSerCustomComm::SetStopbits(TSerStopbits value) {
    if (value == m_stopbits)
        return;
    m_stopbits = value;
    ApplyLineSettings();
}

void TSerCustomComm::SetOptions(TSerCommOptions value) {
    m_options = value;
    ApplyLineSettings();
}

void TSerCustomComm::SetPortNum(TSerPortInt value) {
    RequireClosed();
    m_portNum = value < 0 ? 0 : value;
}

void TSerCustomComm::SetDeviceName(const QString &value) {
    RequireClosed();
    m_deviceName = value;
}

void TSerCustomComm::SetMonitorEvents(TSerCommEvents value) {
    RequireClosed();
    m_monitorEvents = value;
}

void TSerCustomComm::SetBuffers(const TSerBuffers &value) {
    RequireClosed();
    m_buffers.Assign(value);
}

void TSerCustomComm::SetEventPriority(TThreadPriority value) {
    m_eventPriority = value;
    if (m_eventThread)
        m_eventThread->SetPriority(value);
}

void TSerCustomComm::SetWritePriority(TThreadPriority value) {
    m_writePriority = value;
    if (m_writeThread)
        m_writeThread->SetPriority(value);
}

void TSerCustomComm::SetDirectWrite(bool value) {
    RequireClosed();
    m_directWrite = value;
}

void TSerCustomComm::SetUpdateDCB(bool value) {
    RequireClosed();
    m_updateDcb = value;
}

void TSerCustomComm::SetUserBaudrate(int value) {
    if (value == m_userBaudrate)
        return;
    m_userBaudrate = value;
    m_baudrate = brUser;
    ApplyLineSettings();
}

} // namespace corvane
