#include "request_runner.h"

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

void setUpRequestTimer(QTimer &timer, QObject *owner, const char *name, bool singleShot,
                       std::chrono::milliseconds interval) {
    timer.setParent(owner);
    timer.setTimerType(Qt::PreciseTimer);
    timer.setObjectName(QLatin1String(name));
    timer.setSingleShot(singleShot);
    timer.setInterval(interval);
}

RequestRunner::RequestRunner(EngineState &state, SerialLine &line, Output &out,
                             std::function<int()> address, QObject *parent)
    : QObject(parent), m_state(state), m_line(line), m_out(out), m_address(std::move(address)) {
    setUpRequestTimer(Timer_response, this, "Timer_response", true, kDefaultResponseTime);
    setUpRequestTimer(Timer_response_program, this, "Timer_response_program", true,
                      kDefaultResponseTime);
    setUpRequestTimer(Timer_response_service, this, "Timer_response_service", true,
                      kDefaultResponseTime);
    setUpRequestTimer(Timer_service, this, "Timer_service", true, kDefaultResponseTime);
    setUpRequestTimer(Timer_code, this, "Timer_code", true, kCodeWindow);
    setUpRequestTimer(Timer_probe, this, "Timer_probe", true, kDefaultResponseTime);
    setUpRequestTimer(Timer_read, this, "Timer_read", false, kStepInterval);
    setUpRequestTimer(Timer_decode_input, this, "Timer_decode_input", false, kStepInterval);
    setUpRequestTimer(Timer_write, this, "Timer_write", false, kStepInterval);
    setUpRequestTimer(Timer_readservice, this, "Timer_readservice", false, kStepInterval);

    for (QTimer *window : {&Timer_response, &Timer_response_program, &Timer_response_service,
                           &Timer_service, &Timer_code, &Timer_probe})
        connect(window, &QTimer::timeout, this, &RequestRunner::windowClosed);
    for (QTimer *tick : {&Timer_read, &Timer_decode_input, &Timer_write, &Timer_readservice})
        connect(tick, &QTimer::timeout, this, &RequestRunner::stepTick);
}

void RequestRunner::setResponseTime(std::chrono::milliseconds window) {
    for (QTimer *timer :
         {&Timer_response, &Timer_response_program, &Timer_response_service, &Timer_service})
        timer->setInterval(window);
}

std::chrono::milliseconds RequestRunner::responseTime() const {
    return Timer_response.intervalAsDuration();
}

const QTimer &RequestRunner::timer(Window window) const {
    switch (window) {
    case Window::ResponseProgram:
        return Timer_response_program;
    case Window::ResponseService:
        return Timer_response_service;
    case Window::Service:
        return Timer_service;
    case Window::Code:
        return Timer_code;
    case Window::Probe:
        return Timer_probe;
    case Window::Response:
    case Window::None:
        break;
    }
    return Timer_response;
}

const QTimer &RequestRunner::timer(StepTimer stepTimer) const {
    switch (stepTimer) {
    case StepTimer::DecodeInput:
        return Timer_decode_input;
    case StepTimer::Write:
        return Timer_write;
    case StepTimer::ReadService:
        return Timer_readservice;
    case StepTimer::Read:
    case StepTimer::None:
        break;
    }
    return Timer_read;
}

QTimer *RequestRunner::windowTimer() const {
    if (m_command.window == Window::None)
        return nullptr;
    return const_cast<QTimer *>(&timer(m_command.window));
}

QTimer *RequestRunner::stepTimer() const {
    if (m_command.stepTimer == StepTimer::None)
        return nullptr;
    return const_cast<QTimer *>(&timer(m_command.stepTimer));
}

bool RequestRunner::windowOpen() const {
    const QTimer *window = windowTimer();
    return window && window->isActive();
}

int RequestRunner::currentAddress() const {
    if (m_phase != Phase::Idle && m_command.address)
        return *m_command.address;
    return m_address ? m_address() : 0;
}

bool RequestRunner::isBusy() const {
    return m_phase != Phase::Idle || m_owner;
}

bool RequestRunner::reserve(const void *owner) {
    if (m_phase != Phase::Idle || (m_owner && m_owner != owner))
        return false;
    m_owner = owner;
    return true;
}

void RequestRunner::release(const void *owner) {
    if (m_owner == owner)
        m_owner = nullptr;
}

bool RequestRunner::refuseIfBusy() {
    if (!isBusy())
        return false;
    qCInfo(lcModbus) << "command refused: a request is in flight";
    m_out.log(QStringLiteral("Another request is in progress, please wait..."));
    return true;
}

bool RequestRunner::run(const Command &command) {
    const bool held = m_owner && m_owner != command.owner;
    if ((m_phase != Phase::Idle || held) && refuseIfBusy())
        return false;
    m_command = command;
    if (m_command.window == Window::Probe)
        Timer_probe.setInterval(m_command.probeWindow);
    m_phase = Phase::Settled;
    m_step = 0;
    m_request = {};
    m_stopRequested = false;
    m_retry = 0;
    m_retryPending = false;
    // A late copy not seen by now is taken as lost: an identical answer to a later command is
    // its own.
    m_silentAttempts = 0;
    m_lateCopies = 0;
    m_sent = m_answered = m_silent = m_rejected = 0;
    if (m_command.clearRxBuffer)
        m_state.RxBuffer.clear();
    if (m_command.onStart)
        m_command.onStart();
    qCDebug(lcModbus) << "command" << m_command.name << "started";
    QTimer *const tick = stepTimer();
    if (tick) {
        Q_EMIT stoppableChanged(true);
        tick->start();
    }
    if (m_command.firstStepOnTick && tick)
        return true;
    m_step = 1;
    QTimer *const window = windowTimer();
    if (m_command.windowBeforeSend && window)
        window->start();
    bool sent = false;
    // A single command whose request never left ends here; a sequence's next tick moves on.
    const auto ended = qScopeGuard([&] {
        if (!sent && !tick && !windowOpen())
            finish();
    });
    sent = sendStep();
    return true;
}

// SkipLeadingZero is raised only for a request that really goes out: a step that sends nothing
// leaves the flag as it found it.
bool RequestRunner::sendStep() {
    const std::size_t index = std::size_t(m_step - 1);
    if (index >= m_command.steps.size() || !m_command.steps[index].send)
        return false;
    const bool skipBefore = m_state.SkipLeadingZero;
    if (m_command.raiseSkipLeadingZero)
        m_state.SkipLeadingZero = true;
    std::optional<SentRequest> request;
    const auto restore = qScopeGuard([&] {
        if (!request) {
            m_state.SkipLeadingZero = skipBefore;
            if (m_phase != Phase::Idle)
                m_phase = windowOpen() ? Phase::Listening : Phase::Settled;
        }
    });
    m_phase = Phase::Settled;
    request = m_command.steps[index].send(currentAddress());
    if (!request)
        return false;
    m_request = *request;
    m_lastByteAt = QDateTime();
    if (!m_resending)
        ++m_sent;
    // A send that went out synchronously is done; a queued one reports through sendFinished.
    if (m_phase != Phase::Sending)
        sendDone(true);
    return true;
}

std::uint64_t RequestRunner::sendQueued() {
    m_phase = Phase::Sending;
    return ++m_sendTicket;
}

void RequestRunner::sendFinished(std::uint64_t ticket, bool ok) {
    if (m_phase != Phase::Sending || ticket != m_sendTicket)
        return;
    runGuarded([&] { sendDone(ok); });
}

void RequestRunner::sendDone(bool ok) {
    if (m_phase == Phase::Idle)
        return;
    m_phase = Phase::Settled;
    QTimer *const window = windowTimer();
    if (ok && window && !windowOpenedBeforeSend()) {
        openWindow();
        return;
    }
    // A window opened before the send reports when it closes, whatever became of the send.
    if (windowOpen()) {
        m_phase = Phase::Listening;
        return;
    }
    // Nothing to wait for: no window, a request that never left whole, or a window that
    // closed while the request was still going out.
    if (!ok && window && !windowOpenedBeforeSend())
        endStep(ReplyVerdict::of(ReplyVerdict::Kind::NoReply), true);
    // In fast mode a reply may be complete, and its window closed, before the send is reported
    // done; the step has ended then, and the next one need not wait for the step timer.
    if (ok && fast() && window && windowOpenedBeforeSend() && stepTimer()) {
        stepTick();
        return;
    }
    if (!stepTimer())
        finish();
}

bool RequestRunner::windowOpenedBeforeSend() const {
    return m_command.windowBeforeSend && m_step == 1 && m_retry == 0;
}

VerdictReport RequestRunner::verdictReport() const {
    const std::size_t index = std::size_t(m_step - 1);
    return {index < m_command.steps.size() ? m_command.steps[index].reportLeadingZero : true,
            m_command.noReply};
}

void RequestRunner::setRetries(int retries) {
    m_retries = std::clamp(retries, 0, 5);
}

bool RequestRunner::retryStep(const ReplyVerdict &verdict) {
    using Kind = ReplyVerdict::Kind;
    constexpr int kSlaveDeviceBusy = 6;
    const bool lineFault = verdict.kind == Kind::NoReply || verdict.kind == Kind::CrcError ||
                           verdict.kind == Kind::LeadingZero ||
                           verdict.kind == Kind::GarbageBefore ||
                           verdict.kind == Kind::OtherAddress || verdict.kind == Kind::EchoOnly;
    const bool busy = verdict.kind == Kind::Exception && verdict.exceptionCode == kSlaveDeviceBusy;
    if ((!lineFault && !busy) || m_command.noRetries || m_retry >= m_retries || m_stopRequested)
        return false;
    ++m_retry;
    if (verdict.kind == Kind::NoReply || verdict.kind == Kind::EchoOnly)
        ++m_silentAttempts;
    m_out.log(QStringLiteral("Retry %1 of %2 for device %3")
                  .arg(m_retry)
                  .arg(m_retries)
                  .arg(m_request.address));
    m_state.RxBuffer.clear();
    m_retriedVerdict = verdict;
    if (stepTimer()) {
        // The next tick sends it, as it would send the next step.
        m_retryPending = true;
        m_phase = Phase::Settled;
        return true;
    }
    resendStep();
    return m_phase != Phase::Settled;
}

void RequestRunner::resendStep() {
    m_retryPending = false;
    m_resending = true;
    const auto done = qScopeGuard([this] { m_resending = false; });
    sendStep();
}

void RequestRunner::openWindow() {
    m_phase = Phase::Listening;
    windowTimer()->start();
    // The reply may have arrived before the send was reported done. Looked at from the event
    // loop, so that a run of synchronous sends never nests one step inside the previous one.
    if (fast())
        QTimer::singleShot(0, this, &RequestRunner::closeEarly);
}

QByteArray RequestRunner::replyBytes(int *lateCopies) const {
    const QByteArray &received = m_state.RxBuffer;
    qsizetype start = 0;
    int dropped = 0;
    // Looked at in place: this runs on every arrival in fast mode.
    const auto restStartsWith = [&](const QByteArray &bytes) {
        return QByteArrayView(received).sliced(start).startsWith(bytes);
    };
    // On one line a late answer comes wholly before or wholly after the request's echo.
    const auto dropLateCopies = [&] {
        while (dropped < m_lateCopies && restStartsWith(m_lateCopy)) {
            start += m_lateCopy.size();
            ++dropped;
        }
    };
    dropLateCopies();
    if (m_ignoreEcho && !m_request.frame.isEmpty() && restStartsWith(m_request.frame)) {
        start += m_request.frame.size();
        if (m_command.raiseSkipLeadingZero) {
            while (start < received.size() && received.at(start) == '\0')
                ++start;
        }
        dropLateCopies();
    }
    if (lateCopies)
        *lateCopies = dropped;
    return start == 0 ? received : received.mid(start);
}

void RequestRunner::closeEarly() {
    if (m_phase == Phase::Idle || !windowOpen())
        return;
    if (!isCompleteReply(replyBytes(), m_request.address, m_request.function))
        return;
    qCDebug(lcModbus) << "reply complete, window closed early";
    windowClosed();
    if (m_phase != Phase::Idle && stepTimer())
        stepTick();
}

void RequestRunner::endStep(const ReplyVerdict &verdict, bool sendFailed) {
    using Kind = ReplyVerdict::Kind;
    m_retry = 0;
    m_retryPending = false;
    m_silentAttempts = 0;
    if (verdict.accepted())
        ++m_answered;
    else if (sendFailed || verdict.kind == Kind::NoReply || verdict.kind == Kind::OtherAddress ||
             verdict.kind == Kind::EchoOnly)
        ++m_silent;
    else
        ++m_rejected;
    StepOutcome outcome;
    outcome.step = m_step;
    outcome.request = m_request;
    outcome.verdict = verdict;
    outcome.sendFailed = sendFailed;
    outcome.echoed = !m_request.frame.isEmpty() && m_state.RxBuffer.startsWith(m_request.frame);
    outcome.completedAt = m_lastByteAt.isValid() ? m_lastByteAt : QDateTime::currentDateTimeUtc();
    if (m_command.stepEnded)
        m_command.stepEnded(outcome);
    Q_EMIT stepEnded(outcome);
}

void RequestRunner::windowClosed() {
    runGuarded([this] {
        QTimer *const window = windowTimer();
        if (m_phase == Phase::Idle || !window)
            return;
        window->stop();
        if (m_phase == Phase::Listening)
            m_phase = Phase::Settled;
        const auto singleEnd = qScopeGuard([this] {
            if (m_phase == Phase::Settled && !stepTimer())
                finish();
        });
        const std::size_t index = std::size_t(m_step - 1);
        const VerdictReport how = verdictReport();
        if (m_state.RxBuffer.isEmpty()) {
            const ReplyVerdict silence = ReplyVerdict::of(ReplyVerdict::Kind::NoReply);
            if (retryStep(silence))
                return;
            reportVerdict(silence, how, m_request.address, currentAddress(), m_out);
            endStep(silence);
            return;
        }
        if (m_command.markReplyEnd)
            m_out.traffic(QStringLiteral("\r"));
        int lateCopies = 0;
        const QByteArray raw = replyBytes(&lateCopies);
        m_lateCopies -= lateCopies;
        const auto forget = qScopeGuard([this] {
            if (!m_command.keepReply)
                m_state.RxBuffer.clear();
        });
        if (index >= m_command.steps.size())
            return;
        const ReplyVerdict verdict = CheckResponse(raw, m_request);
        if (retryStep(verdict))
            return;
        if (verdict.accepted() && m_silentAttempts > 0) {
            m_lateCopy = raw;
            m_lateCopies = m_silentAttempts;
        }
        reportVerdict(verdict, how, m_request.address, currentAddress(), m_out);
        if (verdict.accepted() && m_command.steps[index].decode)
            m_command.steps[index].decode(ModbusReply::fromChecked(raw, verdict));
        endStep(verdict);
    });
}

void RequestRunner::stepTick() {
    runGuarded([this] {
        if (m_phase != Phase::Settled || windowOpen())
            return;
        if (m_stopRequested) {
            // The retry waiting for this tick is not made: its step ends as it stood.
            if (m_retryPending) {
                reportVerdict(m_retriedVerdict, verdictReport(), m_request.address,
                              currentAddress(), m_out);
                endStep(m_retriedVerdict);
            }
            endStopped();
            return;
        }
        if (m_retryPending) {
            resendStep();
            return;
        }
        ++m_step;
        if (m_step > int(m_command.steps.size())) {
            finish();
            return;
        }
        if (m_command.clearRxBuffer)
            m_state.RxBuffer.clear();
        sendStep();
    });
}

CommandSummary RequestRunner::summary(CommandSummary::End end) const {
    CommandSummary done;
    done.name = m_command.name;
    done.end = end;
    done.step = m_step;
    done.steps = int(m_command.steps.size());
    done.sent = m_sent;
    done.answered = m_answered;
    done.silent = m_silent;
    done.rejected = m_rejected;
    return done;
}

// Told before onEnd runs, which may start the next command.
void RequestRunner::endCommand(const CommandSummary &done, const std::function<void()> &onEnd) {
    m_summary = done;
    if (onEnd)
        onEnd();
    Q_EMIT commandEnded(done);
}

// The end of every command gives its controls back even when the port fails the final status
// query, so a vanished adapter never leaves a command greyed out; the error is shown afterwards.
void RequestRunner::finish() {
    const bool sequence = stepTimer() != nullptr;
    becomeIdle();
    const CommandSummary done = summary(CommandSummary::End::Finished);
    std::exception_ptr lineError;
    if (sequence) {
        m_state.RxBuffer.clear();
        try {
            m_line.InputRoom();
        } catch (...) {
            lineError = std::current_exception();
        }
    }
    // Copies: either may start the next command, which replaces m_command.
    const std::function<void()> onFinished = m_command.onFinished;
    const std::function<void()> onEnd = m_command.onEnd;
    const auto ended = qScopeGuard([&] { endCommand(done, onEnd); });
    qCDebug(lcModbus) << "command" << done.name << "finished";
    if (sequence) {
        Q_EMIT stoppableChanged(false);
        if (m_command.finished) {
            const QString text = completionText(m_command.finished, done);
            m_out.log(text);
            m_out.setStatus(StatusPanel::Progress, text);
        }
    }
    if (onFinished)
        onFinished();
    if (lineError)
        std::rethrow_exception(lineError);
}

QString completionText(const char *finished, const CommandSummary &summary) {
    QString text = QStringLiteral("%1: %2 of %3 replies")
                       .arg(QLatin1String(finished))
                       .arg(summary.answered)
                       .arg(summary.sent);
    if (summary.silent > 0)
        text += QStringLiteral(", %1 without reply").arg(summary.silent);
    // CRC errors, exceptions and the like: answered, but nothing to decode.
    if (summary.rejected > 0)
        text += QStringLiteral(", %1 rejected").arg(summary.rejected);
    return text;
}

bool RequestRunner::stopByUser() {
    if (!isStoppable())
        return false;
    qCInfo(lcModbus) << "command" << m_command.name << "stopped by the operator at step" << m_step;
    m_stopRequested = true;
    Q_EMIT stoppableChanged(false);
    // Between two steps nothing is outstanding; otherwise the next tick after the window has
    // closed ends it.
    if (m_phase == Phase::Settled && !windowOpen())
        runGuarded([this] { endStopped(); });
    return true;
}

void RequestRunner::becomeIdle() {
    if (QTimer *tick = stepTimer())
        tick->stop();
    if (QTimer *window = windowTimer())
        window->stop();
    m_phase = Phase::Idle;
    m_stopRequested = false;
}

void RequestRunner::endStopped() {
    becomeIdle();
    m_state.RxBuffer.clear();
    const QString text = QStringLiteral("Stopped by user after step %1 of %2")
                             .arg(m_step)
                             .arg(m_command.steps.size());
    m_out.log(text);
    m_out.setStatus(StatusPanel::Progress, text);
    const CommandSummary done = summary(CommandSummary::End::Stopped);
    const std::function<void()> onEnd = m_command.onEnd;
    const auto ended = qScopeGuard([&] { endCommand(done, onEnd); });
    // As at the end of a finished sequence: the line's pending errors are cleared.
    m_line.InputRoom();
}

bool RequestRunner::stopForClosedPort() {
    if (m_phase == Phase::Idle)
        return false;
    const bool stoppable = isStoppable();
    for (QTimer *timer : {&Timer_response, &Timer_response_program, &Timer_response_service,
                          &Timer_service, &Timer_code, &Timer_probe, &Timer_read,
                          &Timer_decode_input, &Timer_write, &Timer_readservice})
        timer->stop();
    m_phase = Phase::Idle;
    m_state.RxBuffer.clear();
    m_stopRequested = false;
    if (stoppable)
        Q_EMIT stoppableChanged(false);
    // A stopped command is not finished: only its controls come back.
    const std::function<void()> onEnd = m_command.onEnd;
    endCommand(summary(CommandSummary::End::PortClosed), onEnd);
    qCInfo(lcModbus) << "running command stopped: the port closed";
    return true;
}

// Drops 0x00 bytes while SkipLeadingZero is set: the bus turning round in front of a reply often
// produces one, and it would otherwise spoil the reply's first byte.
void RequestRunner::receive(const char *bytes, int count, QString &hexLine) {
    bool appended = false;
    const auto stamp = qScopeGuard([&] {
        if (appended)
            m_lastByteAt = QDateTime::currentDateTimeUtc();
    });
    for (int i = 0; i < count; ++i) {
        const auto byte = static_cast<std::uint8_t>(bytes[i]);
        if (m_state.SkipLeadingZero && byte == 0x00)
            continue;
        m_state.SkipLeadingZero = false;
        m_state.RxBuffer.append(static_cast<char>(byte));
        appended = true;
        static const char kDigits[] = "0123456789ABCDEF";
        hexLine += QLatin1Char(kDigits[byte >> 4]);
        hexLine += QLatin1Char(kDigits[byte & 0x0F]);
        hexLine += QLatin1String("h ");
    }
}

void RequestRunner::Comm1RxChar(int Count) {
    runGuarded([this, Count] {
        {
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
        }
        if (fast())
            closeEarly();
    });
}

} // namespace corvane
