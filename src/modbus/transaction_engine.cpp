#include "transaction_engine.h"

#include "check_response.h"
#include "engine_state.h"
#include "error_display.h"
#include "modbus_log.h"
#include "output.h"
#include "serial_line.h"

#include <QScopeGuard>

#include <algorithm>
#include <exception>
#include <utility>

namespace corvane {
namespace {

const QString kBitBtn1 = QStringLiteral("BitBtn1");
const QString kBitBtn2 = QStringLiteral("BitBtn2");
const QString kBitBtn6 = QStringLiteral("BitBtn6");
const QString kBitBtn31 = QStringLiteral("BitBtn31");

} // namespace

void setUpRequestTimer(QTimer &timer, QObject *owner, const char *name, bool singleShot,
                       std::chrono::milliseconds interval) {
    timer.setParent(owner);
    timer.setTimerType(Qt::PreciseTimer);
    timer.setObjectName(QLatin1String(name));
    timer.setSingleShot(singleShot);
    timer.setInterval(interval);
}

TransactionEngine::TransactionEngine(EngineState &state, SerialLine &line, Output &out,
                                     std::function<int()> address, QObject *parent)
    : QObject(parent), m_state(state), m_line(line), m_out(out), m_address(std::move(address)) {
    setUpRequestTimer(Timer_response, this, "Timer_response", true, kDefaultResponseTime);
    setUpRequestTimer(Timer_response_program, this, "Timer_response_program", true,
                      kDefaultResponseTime);
    setUpRequestTimer(Timer_read, this, "Timer_read", false, kStepInterval);
    setUpRequestTimer(Timer_decode_input, this, "Timer_decode_input", false, kStepInterval);
    setUpRequestTimer(Timer_write, this, "Timer_write", false, kStepInterval);

    connect(&Timer_response, &QTimer::timeout, this, &TransactionEngine::Timer_responseTimer);
    connect(&Timer_response_program, &QTimer::timeout, this,
            &TransactionEngine::Timer_response_programTimer);
    connect(&Timer_read, &QTimer::timeout, this, &TransactionEngine::Timer_readTimer);
    connect(&Timer_decode_input, &QTimer::timeout, this,
            &TransactionEngine::Timer_decode_inputTimer);
    connect(&Timer_write, &QTimer::timeout, this, &TransactionEngine::Timer_writeTimer);
}

void TransactionEngine::setResponseTime(std::chrono::milliseconds window) {
    Timer_response.setInterval(window);
    Timer_response_program.setInterval(window);
}

std::chrono::milliseconds TransactionEngine::responseTime() const {
    return Timer_response.intervalAsDuration();
}

void TransactionEngine::setReadStep(int step, StepSender sender, Decoder decoder) {
    m_readSteps.insert(step, {std::move(sender), std::move(decoder)});
}

void TransactionEngine::setMeasureStep(int step, StepSender sender, Decoder decoder) {
    m_measureSteps.insert(step, {std::move(sender), std::move(decoder)});
}

void TransactionEngine::setWriteStep(int step, StepSender sender) {
    m_writeSteps.insert(step, std::move(sender));
}

void TransactionEngine::setReadFinished(std::function<void()> action) {
    m_readFinished = std::move(action);
}

int TransactionEngine::currentAddress() const {
    return m_address ? m_address() : 0;
}

bool TransactionEngine::isBusy() const {
    if (Timer_response.isActive() || Timer_response_program.isActive() || Timer_read.isActive() ||
        Timer_decode_input.isActive() || Timer_write.isActive())
        return true;
    return std::any_of(m_busyChecks.begin(), m_busyChecks.end(),
                       [](const std::function<bool()> &check) { return check && check(); });
}

bool TransactionEngine::isFlowRead() const {
    return m_state.MeasureMode && m_state.MeasureStep == kFlowStep;
}

bool TransactionEngine::stopForClosedPort() {
    const bool flow = Timer_response.isActive() && isFlowRead();
    const std::pair<QTimer *, const QString *> sequences[] = {
        {&Timer_read, &kBitBtn1}, {&Timer_decode_input, &kBitBtn6}, {&Timer_write, &kBitBtn2}};
    bool running = Timer_response.isActive() || Timer_response_program.isActive();
    for (const auto &[stepTimer, button] : sequences) {
        if (!stepTimer->isActive())
            continue;
        running = true;
        stepTimer->stop();
        m_out.setEnabled(*button, true);
    }
    Timer_response.stop();
    Timer_response_program.stop();
    if (flow)
        m_out.setEnabled(kBitBtn31, true);
    if (!running)
        return false;
    m_state.RxBuffer.clear();
    m_state.ResponseReady = true;
    m_state.WriteResponseReady = true;
    qCInfo(lcModbus) << "running command stopped: the port closed";
    return true;
}

bool TransactionEngine::refuseIfBusy() {
    if (!isBusy())
        return false;
    qCInfo(lcModbus) << "command refused: a request is in flight";
    m_out.log(QStringLiteral("Another request is in progress, please wait..."));
    return true;
}

void TransactionEngine::addBusyCheck(std::function<bool()> check) {
    m_busyChecks.push_back(std::move(check));
}

TransactionEngine::StepSender TransactionEngine::senderOf(const QHash<int, Step> &table, int step) {
    const auto it = table.constFind(step);
    return it == table.constEnd() ? StepSender() : it->sender;
}

TransactionEngine::Decoder TransactionEngine::decoderOf(const QHash<int, Step> &table, int step) {
    const auto it = table.constFind(step);
    return it == table.constEnd() ? Decoder() : it->decoder;
}

// SkipLeadingZero is raised only for a request that really goes out: a step that sends nothing
// leaves the flag as it found it.
bool TransactionEngine::sendStep(const StepSender &sender) {
    if (!sender)
        return false;
    const bool skipBefore = m_state.SkipLeadingZero;
    m_state.SkipLeadingZero = true;
    bool sent = false;
    const auto restore = qScopeGuard([&] {
        if (!sent)
            m_state.SkipLeadingZero = skipBefore;
    });
    sent = sender(currentAddress());
    return sent;
}

void TransactionEngine::announce(const QString &what, bool onStatusBar) {
    const QString text = what + QString::number(currentAddress());
    if (onStatusBar)
        m_out.setStatus(StatusPanel::Progress, text);
    m_out.log(text + QStringLiteral("..."));
}

QString TransactionEngine::noResponseText(int address) {
    return QStringLiteral("No response from device ") + QString::number(address);
}

void TransactionEngine::reportNoResponse() {
    const QString text = noResponseText(currentAddress());
    m_out.setStatus(StatusPanel::Progress, text);
    m_out.log(text + QLatin1Char('\r'));
}

// The end of every sequence re-enables its button even when the port fails the final status
// query, so a vanished adapter never leaves a command greyed out; the error is shown afterwards.
void TransactionEngine::finishSequence(QTimer &stepTimer, const QString &button,
                                       const std::function<void()> &endAction) {
    stepTimer.stop();
    m_state.RxBuffer.clear();
    std::exception_ptr lineError;
    try {
        m_line.InputRoom();
    } catch (...) {
        lineError = std::current_exception();
    }
    const auto enable = qScopeGuard([&] { m_out.setEnabled(button, true); });
    if (endAction)
        endAction();
    qCDebug(lcModbus) << "sequence of" << button << "finished";
    if (lineError)
        std::rethrow_exception(lineError);
}

bool TransactionEngine::startRead() {
    if (refuseIfBusy())
        return false;
    m_state.RxBuffer.clear();
    m_state.ReadStep = 1;
    announce(QStringLiteral("Reading device No. "), true);
    const bool sent = sendStep(senderOf(m_readSteps, 1));
    // A first step with nothing to send must not hold the sequence: the next tick moves on.
    m_state.ResponseReady = !sent;
    m_state.ReadMode = true;
    m_state.MeasureMode = false;
    Timer_read.start();
    if (sent)
        Timer_response.start();
    m_out.setEnabled(kBitBtn1, false);
    return true;
}

bool TransactionEngine::startCounters() {
    if (refuseIfBusy())
        return false;
    m_state.RxBuffer.clear();
    m_line.InputRoom();
    m_state.MeasureStep = 1;
    m_state.ResponseReady = false;
    m_state.MeasureMode = true;
    m_state.ReadMode = false;
    m_out.setEnabled(kBitBtn6, false);
    // The window opens before the send, so it includes the send time.
    Timer_decode_input.start();
    Timer_response.start();
    m_state.SkipLeadingZero = true;
    if (const StepSender sender = senderOf(m_measureSteps, 1))
        sender(currentAddress());
    announce(QStringLiteral("Reading device No. "), true);
    return true;
}

bool TransactionEngine::startFlow() {
    if (refuseIfBusy())
        return false;
    m_state.RxBuffer.clear();
    m_line.InputRoom();
    m_state.MeasureStep = kFlowStep;
    m_state.ResponseReady = false;
    m_state.MeasureMode = true;
    m_state.ReadMode = false;
    m_out.setEnabled(kBitBtn31, false);
    {
        // The window re-enables BitBtn31, so it opens even when the send fails.
        const auto openWindow = qScopeGuard([this] { Timer_response.start(); });
        if (const StepSender sender = senderOf(m_measureSteps, kFlowStep))
            sender(currentAddress());
    }
    announce(QStringLiteral("Reading flow for device No. "), false);
    return true;
}

bool TransactionEngine::startInputStatus() {
    if (refuseIfBusy())
        return false;
    m_state.RxBuffer.clear();
    m_line.InputRoom();
    m_state.MeasureStep = kInputStatusStep;
    m_state.ResponseReady = false;
    m_state.MeasureMode = true;
    m_state.ReadMode = false;
    Timer_response.start();
    if (const StepSender sender = senderOf(m_measureSteps, kInputStatusStep))
        sender(currentAddress());
    announce(QStringLiteral("Reading input status of device No. "), true);
    return true;
}

bool TransactionEngine::startWrite() {
    if (refuseIfBusy())
        return false;
    m_out.setEnabled(kBitBtn2, false);
    m_state.WriteResponseReady = true;
    Timer_write.start();
    m_state.WriteStep = 0;
    return true;
}

// Drops 0x00 bytes while SkipLeadingZero is set: the bus turning round in front of a reply often
// produces one, and it would otherwise spoil the reply's first byte.
void TransactionEngine::receive(const char *bytes, int count, QString &hexLine) {
    for (int i = 0; i < count; ++i) {
        const auto byte = static_cast<std::uint8_t>(bytes[i]);
        if (m_state.SkipLeadingZero && byte == 0x00)
            continue;
        m_state.SkipLeadingZero = false;
        m_state.RxBuffer.append(static_cast<char>(byte));
        static const char kDigits[] = "0123456789ABCDEF";
        hexLine += QLatin1Char(kDigits[byte >> 4]);
        hexLine += QLatin1Char(kDigits[byte & 0x0F]);
        hexLine += QLatin1String("h ");
    }
}

void TransactionEngine::Comm1RxChar(int Count) {
    runGuarded([this, Count] {
        QString hexLine;
        // One event gives one line, also an empty one, and also when the port fails midway.
        const auto logLine = qScopeGuard([&] { m_out.traffic(hexLine); });
        char buffer[kReadChunk];
        int remaining = Count;
        while (remaining > 0) {
            const int wanted = std::min(remaining, kReadChunk);
            const int got = std::clamp(m_line.ReadBytes(buffer, wanted), 0, wanted);
            receive(buffer, got, hexLine);
            remaining -= got;
            // Less than asked for: the queue is empty or the port went away.
            if (got < wanted)
                break;
        }
        qCDebug(lcModbusHex).noquote() << "rx" << hexLine;
    });
}

void TransactionEngine::Timer_responseTimer() {
    runGuarded([this] {
        m_state.ResponseReady = true;
        Timer_response.stop();
        const auto flowEnd = qScopeGuard([this] {
            if (isFlowRead())
                m_out.setEnabled(kBitBtn31, true);
        });
        if (m_state.RxBuffer.isEmpty()) {
            reportNoResponse();
            return;
        }
        m_out.traffic(QStringLiteral("\r"));
        Decoder decoder;
        if (m_state.MeasureMode)
            decoder = decoderOf(m_measureSteps, m_state.MeasureStep);
        else if (m_state.ReadMode)
            decoder = decoderOf(m_readSteps, m_state.ReadStep);
        if (decoder)
            decoder(m_state.RxBuffer);
    });
}

void TransactionEngine::Timer_response_programTimer() {
    runGuarded([this] {
        m_state.WriteResponseReady = true;
        Timer_response_program.stop();
        if (m_state.RxBuffer.isEmpty())
            reportNoResponse();
        else if (m_state.WriteStep > 0 &&
                 CheckWriteReply(m_state.RxBuffer, m_out, m_state.RequestAddress).otherDevice)
            reportNoResponse();
    });
}

void TransactionEngine::Timer_readTimer() {
    runGuarded([this] {
        if (!m_state.ResponseReady)
            return;
        ++m_state.ReadStep;
        if (m_state.ReadStep >= kReadEndStep) {
            finishSequence(Timer_read, kBitBtn1, m_readFinished);
            return;
        }
        m_state.RxBuffer.clear();
        if (sendStep(senderOf(m_readSteps, m_state.ReadStep))) {
            m_state.ResponseReady = false;
            Timer_response.start();
        }
    });
}

void TransactionEngine::Timer_decode_inputTimer() {
    runGuarded([this] {
        if (!m_state.ResponseReady)
            return;
        ++m_state.MeasureStep;
        if (m_state.MeasureStep >= kMeasureEndStep) {
            finishSequence(Timer_decode_input, kBitBtn6, {});
            return;
        }
        m_state.RxBuffer.clear();
        if (sendStep(senderOf(m_measureSteps, m_state.MeasureStep))) {
            m_state.ResponseReady = false;
            Timer_response.start();
        }
    });
}

void TransactionEngine::Timer_writeTimer() {
    runGuarded([this] {
        if (!m_state.WriteResponseReady)
            return;
        ++m_state.WriteStep;
        if (m_state.WriteStep >= kWriteEndStep) {
            Timer_response_program.stop();
            m_state.WriteResponseReady = true;
            finishSequence(Timer_write, kBitBtn2, {});
            return;
        }
        m_state.RxBuffer.clear();
        m_line.InputRoom();
        if (sendStep(m_writeSteps.value(m_state.WriteStep))) {
            m_state.WriteResponseReady = false;
            Timer_response_program.start();
        }
    });
}

} // namespace corvane
