#include "bus_listener.h"

#include "error_display.h"
#include "line_names.h"
#include "send_frame.h"

#include <algorithm>

namespace corvane {
namespace {

constexpr int kReadChunk = 1024;

} // namespace

QString ListenPort::settingsText() const {
    return QStringLiteral("%1 %2, %3 stop bit%4")
        .arg(speed)
        .arg(parity)
        .arg(stopBits)
        .arg(stopBits == 1 ? QString() : QStringLiteral("s"));
}

BusListener::BusListener(SerialOs &os, QObject *parent) : QObject(parent), m_comm(os) {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] { runGuarded([this] { onTimer(); }); });
    // Received bytes and a lost device are all it needs; no thread ever writes.
    m_comm.SetDirectWrite(true);
    m_comm.SetDirection(sdAdapter);
    m_comm.OnRxChar = [this](TSerCustomComm *, int) { runGuarded([this] { readAvailable(); }); };
    m_comm.OnError = [this](TSerCustomComm *, int errors) {
        if (std::uint32_t(errors) & kSerDeviceLost)
            QMetaObject::invokeMethod(
                this, [this] { deviceLost(); }, Qt::QueuedConnection);
    };
}

BusListener::~BusListener() {
    m_comm.OnRxChar = nullptr;
    m_comm.OnError = nullptr;
    m_comm.ClosePort();
}

bool BusListener::start(const ListenPort &port, QString *failure) {
    if (isListening())
        return true;
    m_port = port;
    const QString device = resolvePortName(port.name);
    m_comm.SetDeviceName(device);
    // Set while closed, so that the port opens straight into them.
    setPortSpeed(m_comm, port.speed);
    setPortParity(m_comm, port.parity);
    m_comm.SetStopbits(port.stopBits == 2 ? sb2 : sb1);
    m_comm.SetDatabits(port.dataBits == 7 ? db7 : db8);
    try {
        m_comm.OpenPort();
    } catch (const ESerCommError &e) {
        if (failure)
            *failure = e.kind() == ESerCommError::Kind::DeviceNotOpened
                           ? portOpenFailureText(port.name, device, e.osError())
                           : e.message();
        return false;
    }
    m_originSteady = BusClock::now();
    m_originWall = QDateTime::currentDateTime();
    const auto silence = interFrameSilence(m_comm.lineTiming());
    m_pairer = std::make_unique<ExchangePairer>(
        ExchangePairer::kDefaultSettle,
        ExchangePairer::Sinks{
            [this](const HeardFrame &frame, FrameRole role) { Q_EMIT frameHeard(frame, role); },
            [this](const HeardExchange &exchange) { Q_EMIT exchangeHeard(exchange); }});
    m_framer = std::make_unique<BusFramer>(
        silence, [pairer = m_pairer.get()](HeardFrame &&frame) { pairer->take(frame); });
    m_framer->setExpected([pairer = m_pairer.get()](const QByteArray &bytes, bool whole) {
        return pairer->expects(bytes, whole);
    });
    return true;
}

void BusListener::stop() {
    if (!m_framer)
        return;
    if (isListening())
        readAvailable();
    m_comm.ClosePort();
    m_timer.stop();
    // Taken out first: a receiver of the last exchanges may start listening again.
    const std::unique_ptr<BusFramer> framer = std::move(m_framer);
    const std::unique_ptr<ExchangePairer> pairer = std::move(m_pairer);
    framer->finish();
    pairer->finish();
}

QDateTime BusListener::timeOf(BusTime at) const {
    return m_originWall.addMSecs(
        std::chrono::duration_cast<std::chrono::milliseconds>(at - m_originSteady).count());
}

void BusListener::readAvailable() {
    if (!m_framer)
        return;
    char buffer[kReadChunk];
    while (isListening()) {
        const int count = m_comm.ReadBytes(buffer, kReadChunk);
        if (count <= 0)
            break;
        m_framer->feed(QByteArrayView(buffer, count), BusClock::now());
        if (!m_framer)
            return;
    }
    arm();
}

void BusListener::onTimer() {
    if (!m_framer)
        return;
    const BusTime now = BusClock::now();
    m_framer->idle(now);
    // Bytes still being framed may be the reply a request waits for.
    const std::optional<BusTime> undecided = m_framer->oldestPending();
    m_pairer->idle(undecided ? std::min(now, *undecided) : now);
    arm();
}

void BusListener::arm() {
    if (!m_framer)
        return;
    std::optional<BusTime> next = m_framer->deadline();
    const std::optional<BusTime> settle = m_pairer->deadline();
    const std::optional<BusTime> undecided = m_framer->oldestPending();
    if (settle && (!undecided || *undecided > *settle))
        next = next ? std::min(*next, *settle) : *settle;
    if (!next) {
        m_timer.stop();
        return;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - BusClock::now()).count();
    m_timer.start(int(std::clamp<qint64>(wait, 0, 60000)));
}

void BusListener::deviceLost() {
    if (!m_framer)
        return;
    stop();
    Q_EMIT lineLost();
}

} // namespace corvane
