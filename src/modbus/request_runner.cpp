#include "request_runner.h"

#include "check_response.h"
#include "engine_state.h"
#include "error_display.h"
#include "modbus_log.h"
#include "output.h"
#include "send_frame.h"
#include "serial_line.h"

#include <QScopeGuard>

#include <algorithm>
#include <exception>
#include <utility>

namespace corvane {
namespace {

using Kind = ReplyVerdict::Kind;

const char *windowName(RequestRunner::Window window) {
    using Window = RequestRunner::Window;
    switch (window) {
    case Window::ResponseProgram:
        return "Timer_response_program";
    case Window::ResponseService:
        return "Timer_response_service";
    case Window::Service:
        return "Timer_service";
    case Window::Code:
        return "Timer_code";
    case Window::Probe:
        return "Timer_probe";
    case Window::Response:
    case Window::None:
        break;
    }
    return "Timer_response";
}

const char *stepTimerName(RequestRunner::StepTimer stepTimer) {
    using StepTimer = RequestRunner::StepTimer;
    switch (stepTimer) {
    case StepTimer::DecodeInput:
        return "Timer_decode_input";
    case StepTimer::Write:
        return "Timer_write";
    case StepTimer::ReadService:
        return "Timer_readservice";
    case StepTimer::Read:
    case StepTimer::None:
        break;
    }
    return "Timer_read";
}

// The line let the request down: nothing, or nothing good, came back from the device asked.
bool lineFault(const ReplyVerdict &verdict) {
    switch (verdict.kind) {
    case Kind::NoReply:
    case Kind::CrcError:
    case Kind::LeadingZero:
    case Kind::GarbageBefore:
    case Kind::OtherAddress:
    case Kind::EchoOnly:
    case Kind::OtherRequest:
        return true;
    case Kind::Accepted:
    case Kind::Exception:
        break;
    }
    return false;
}

// The device asked said nothing of its own.
bool silence(const ReplyVerdict &verdict) {
    return verdict.kind == Kind::NoReply || verdict.kind == Kind::EchoOnly ||
           verdict.kind == Kind::OtherAddress;
}

// A late answer is not waited for longer than this.
std::chrono::milliseconds lateHorizon(std::chrono::milliseconds window) {
    return std::max(std::chrono::milliseconds(3000), 4 * window);
}

// Bytes as the received-bytes log shows them: "01h 03h 10h ".
void appendHex(QString &line, std::uint8_t byte) {
    static const char kDigits[] = "0123456789ABCDEF";
    line += QLatin1Char(kDigits[byte >> 4]);
    line += QLatin1Char(kDigits[byte & 0x0F]);
    line += QLatin1String("h ");
}

} // namespace

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
    : QObject(parent), m_engine(state), m_line(line), m_out(out), m_address(std::move(address)) {
    setUpRequestTimer(m_window, this, "Timer_response", true, kDefaultResponseTime);
    setUpRequestTimer(m_tick, this, "Timer_read", false, kStepInterval);
    connect(&m_window, &QTimer::timeout, this, &RequestRunner::windowClosed);
    connect(&m_tick, &QTimer::timeout, this, &RequestRunner::stepTick);
    m_late.setHorizon(lateHorizon(m_responseTime));
}

void RequestRunner::setResponseTime(std::chrono::milliseconds window) {
    m_responseTime = window;
    m_late.setHorizon(lateHorizon(window));
    if (m_state == State::Idle)
        m_window.setInterval(window);
}

std::chrono::milliseconds RequestRunner::windowLength() const {
    switch (command().window) {
    case Window::Code:
        return kCodeWindow;
    case Window::Probe:
        return command().probeWindow;
    case Window::None:
        return std::chrono::milliseconds(0);
    case Window::Response:
    case Window::ResponseProgram:
    case Window::ResponseService:
    case Window::Service:
        break;
    }
    return m_responseTime;
}

std::chrono::microseconds RequestRunner::settleTime() const {
    return std::max<std::chrono::microseconds>(interFrameSilence(m_line.lineTiming()),
                                               kAdapterLatency);
}

const QTimer &RequestRunner::timer(Window) const {
    return m_window;
}

const QTimer &RequestRunner::timer(StepTimer) const {
    return m_tick;
}

void RequestRunner::setState(State state) {
    m_state = state;
}

bool RequestRunner::inFlight() const {
    return m_attempt.number != 0 && (m_state == State::Sending || m_state == State::Listening ||
                                     m_state == State::Settling || m_state == State::Stopping);
}

int RequestRunner::currentAddress() const {
    if (m_state != State::Idle && command().address)
        return *command().address;
    return m_address ? m_address() : 0;
}

bool RequestRunner::isBusy() const {
    return m_state != State::Idle || m_owner;
}

bool RequestRunner::isStoppable() const {
    return sequence() && m_state != State::Idle && m_state != State::Stopping;
}

bool RequestRunner::reserve(const void *owner) {
    if (m_state != State::Idle || (m_owner && m_owner != owner))
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

void RequestRunner::setRetries(int retries) {
    m_retries = std::clamp(retries, 0, 5);
}

bool RequestRunner::run(const Command &command) {
    const bool held = m_owner && m_owner != command.owner;
    if ((m_state != State::Idle || held) && refuseIfBusy())
        return false;
    m_run = Run{command};
    m_stepRecord = {};
    m_stepNumber = 0;
    m_attempt = {};
    m_window.setObjectName(QLatin1String(windowName(command.window)));
    m_window.setInterval(std::max(windowLength(), std::chrono::milliseconds(1)));
    m_tick.setObjectName(QLatin1String(stepTimerName(command.stepTimer)));
    m_engine.RxBuffer.clear();
    // A late copy not seen by now is taken as lost: an identical answer to a later command is
    // its own.
    m_lateCopies = {};
    setState(State::Between);
    if (command.onStart) {
        try {
            command.onStart();
        } catch (...) {
            // Nothing was sent: the command ends as it began, its controls given back.
            becomeIdle();
            endCommand(summary(CommandSummary::End::Finished), command.onEnd);
            throw;
        }
    }
    qCDebug(lcModbus) << "command" << command.name << "started";
    if (sequence()) {
        Q_EMIT stoppableChanged(true);
        m_tick.start();
        if (command.firstStepOnTick)
            return true;
    }
    beginStep(1);
    return true;
}

void RequestRunner::beginStep(int number) {
    m_stepNumber = number;
    m_stepRecord = StepRecord{number, {}, ++m_questions, {}, false};
    beginAttempt();
}

RequestRunner::Clock::duration RequestRunner::quietWait() const {
    const auto settle = std::chrono::duration_cast<Clock::duration>(settleTime());
    if (m_lastTry.behind <= Clock::duration::zero())
        return settle;
    // A device that answers in order answers the try just made no sooner than that long after
    // the last answer it gave; a quarter more for its own unevenness.
    const auto longest = std::chrono::duration_cast<Clock::duration>(4 * windowLength());
    const auto behind = std::clamp(m_lastTry.behind, settle, std::max(settle, longest));
    return behind + std::max(settle, behind / 4);
}

RequestRunner::Clock::time_point RequestRunner::quietUntil() const {
    return std::max(m_lastByte, m_lastTry.leftAt) + quietWait();
}

void RequestRunner::beginAttempt() {
    // After a try that got no good reply, its answer, or the rest of it, may still be on the
    // line: the next request waits until the line has been quiet for the settle time, and
    // after a device's late answer, until that device may have caught up.
    if (fast() && m_lastTry.failed && quietUntil() > Clock::now()) {
        setState(State::Quiet);
        // A line that keeps talking puts the send off by one window at most; a device that is
        // catching up is given the time it needs, and a window more.
        const auto window = std::chrono::duration_cast<Clock::duration>(windowLength());
        m_quietLimit = Clock::now() + (m_lastTry.behind > Clock::duration::zero()
                                           ? 2 * (quietWait() + window)
                                           : std::max(window, quietWait()));
        armWindowTimer(std::min(quietUntil(), m_quietLimit));
        return;
    }
    sendAttempt();
}

// SkipLeadingZero is raised only for a request that really goes out: a step that sends nothing
// leaves the flag as it found it.
void RequestRunner::sendAttempt() {
    m_window.stop();
    const std::size_t index = std::size_t(m_stepNumber - 1);
    if (index >= command().steps.size() || !command().steps[index].send) {
        nothingToSend();
        return;
    }
    // A device that was behind has had its quiet to catch up in: whatever it was asked up to
    // the try that found it behind and has not answered by now, it will not answer.
    if (m_lastTry.behind > Clock::duration::zero()) {
        m_late.settle(m_lastTry.address, m_lastTry.endedAt);
        m_lastTry.behind = {};
    }
    const bool skipBefore = m_engine.SkipLeadingZero;
    if (command().raiseSkipLeadingZero)
        m_engine.SkipLeadingZero = true;
    m_attempt = {};
    m_attempt.number = int(m_stepRecord.attempts.size()) + 1;
    m_attempt.windowBeforeSend =
        command().windowBeforeSend && m_stepNumber == 1 && m_attempt.number == 1;
    m_attempt.sentAt = QDateTime::currentDateTimeUtc();
    m_attempt.left = Clock::now();
    setState(State::Sending);
    if (m_attempt.windowBeforeSend && command().window != Window::None)
        openWindow();
    std::optional<SentRequest> request;
    const auto unsent = qScopeGuard([&] {
        if (request)
            return;
        m_engine.SkipLeadingZero = skipBefore;
        // A sender (or the port) that threw: a single request ends there and then, a sequence
        // moves on at its next tick.
        if (m_attempt.number != 0)
            nothingToSend();
    });
    emptyInput();
    m_engine.RxBuffer.clear();
    m_stray.clear();
    m_attempt.strayBytes = std::exchange(m_strayBeforeNext, 0);
    request = command().steps[index].send(currentAddress());
    if (!request)
        return;
    m_stepRecord.request = *request;
    if (m_attempt.number == 1)
        ++m_run.sent;
    // A send that went out synchronously is done; a queued one reports through sendFinished.
    if (m_sendTicket == 0)
        sendDone(true);
}

void RequestRunner::nothingToSend() {
    m_window.stop();
    m_attempt = {};
    m_stepRecord.ended = true;
    if (sequence())
        setState(State::Between);
    else
        finish();
}

std::uint64_t RequestRunner::sendQueued() {
    m_sendTicket = ++m_tickets;
    return m_sendTicket;
}

void RequestRunner::sendFinished(std::uint64_t ticket, bool ok) {
    if (m_state == State::Idle || ticket == 0 || ticket != m_sendTicket)
        return;
    runGuarded([&] { sendDone(ok); });
}

void RequestRunner::sendDone(bool ok) {
    m_sendTicket = 0;
    // The try ended before its send was reported: a window opened before the send closed, or
    // in fast mode took its reply. Only now may the next request go out.
    if (m_attempt.number == 0) {
        afterAttempt();
        return;
    }
    m_attempt.leftAt = QDateTime::currentDateTimeUtc();
    m_attempt.left = Clock::now();
    if (command().window == Window::None) {
        // Nothing is awaited: the request is all there is to the step.
        m_attempt = {};
        m_stepRecord.ended = true;
        afterAttempt();
        return;
    }
    if (!ok) {
        m_attempt.leftAt = QDateTime();
        m_attempt.sendFailed = true;
        // A window opened before the send reports when it closes, whatever became of the send.
        if (m_attempt.windowBeforeSend)
            return;
        endAttempt(ReplyVerdict::of(Kind::NoReply));
        return;
    }
    if (!m_attempt.windowBeforeSend)
        openWindow();
    if (m_state == State::Sending)
        setState(State::Listening);
    // The reply may have arrived before the send was reported done. Looked at from the event
    // loop, so that a run of synchronous sends never nests one step inside the previous one.
    if (fast() || m_state == State::Stopping)
        QTimer::singleShot(0, this, [this] { runGuarded([this] { examine(); }); });
}

void RequestRunner::openWindow() {
    const std::chrono::milliseconds length = windowLength();
    m_attempt.windowEnd = Clock::now() + length;
    m_window.start(length);
}

void RequestRunner::armWindowTimer(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    m_window.start(std::max(left, std::chrono::milliseconds(0)));
}

// Drops 0x00 bytes while SkipLeadingZero is set: the bus turning round in front of a reply often
// produces one, and it would otherwise spoil the reply's first byte.
void RequestRunner::receive(const char *bytes, int count, QString &hexLine) {
    bool appended = false;
    for (int i = 0; i < count; ++i) {
        const auto byte = static_cast<std::uint8_t>(bytes[i]);
        if (m_engine.SkipLeadingZero && byte == 0x00)
            continue;
        m_engine.SkipLeadingZero = false;
        m_engine.RxBuffer.append(static_cast<char>(byte));
        appended = true;
        appendHex(hexLine, byte);
    }
    if (appended)
        m_attempt.completedAt = QDateTime::currentDateTimeUtc();
}

void RequestRunner::Comm1RxChar(int Count) {
    runGuarded([this, Count] {
        const bool taken = inFlight();
        QByteArray dropped;
        {
            QString hexLine;
            // One event gives one line, also an empty one, and also when the port fails midway.
            const auto logLine = qScopeGuard([&] { m_out.traffic(hexLine); });
            char buffer[kReadChunk];
            int remaining = Count;
            while (remaining > 0) {
                const int wanted = std::min(remaining, kReadChunk);
                const int got = std::clamp(m_line.ReadBytes(buffer, wanted), 0, wanted);
                if (got > 0)
                    m_lastByte = Clock::now();
                if (taken) {
                    receive(buffer, got, hexLine);
                } else {
                    for (int i = 0; i < got; ++i)
                        appendHex(hexLine, static_cast<std::uint8_t>(buffer[i]));
                    dropped.append(buffer, got);
                }
                remaining -= got;
                // Less than asked for: the queue is empty or the port went away.
                if (got < wanted)
                    break;
            }
            qCDebug(lcModbusHex).noquote() << "rx" << hexLine;
        }
        if (!dropped.isEmpty()) {
            dropStray(dropped);
            // Still talking: the quiet starts again, up to its limit.
            if (m_state == State::Quiet)
                armWindowTimer(std::min(quietUntil(), m_quietLimit));
        }
        if (taken)
            examine();
    });
}

void RequestRunner::passEchoAndLateReplies() {
    const QByteArray &received = m_engine.RxBuffer;
    const QByteArray &echo = m_stepRecord.request.frame;
    while (m_attempt.replyStart < received.size()) {
        // Looked at in place: this runs on every arrival.
        const QByteArrayView rest = QByteArrayView(received).sliced(m_attempt.replyStart);
        // On one line a late answer comes wholly before or wholly after the request's echo.
        if (m_ignoreEcho && !m_attempt.echoPassed && !echo.isEmpty() && rest.startsWith(echo)) {
            m_attempt.echoPassed = true;
            m_attempt.replyStart += echo.size();
            if (command().raiseSkipLeadingZero) {
                while (m_attempt.replyStart < received.size() &&
                       received.at(m_attempt.replyStart) == '\0')
                    ++m_attempt.replyStart;
            }
            continue;
        }
        int length = 0;
        if (!fast()) {
            // Otherwise designed timing takes the whole window as one reply, as it always did:
            // a late answer in front of the reply spoils its CRC.
            if (m_lateCopies.count == 0 || !rest.startsWith(m_lateCopies.reply))
                return;
            --m_lateCopies.count;
            length = int(m_lateCopies.reply.size());
        } else {
            length = checkedFrameAt(rest, 0);
            if (length == 0)
                return;
            const Clock::time_point now = Clock::now();
            const LateReplies::Taken taken =
                m_late.take(rest.first(length), m_stepRecord.question, now);
            m_attempt.sameQuestion = taken.match == LateReplies::Match::SameQuestion;
            if (m_attempt.sameQuestion) {
                // Another answer to the same question behind it: this one is an earlier try's,
                // late, and the one behind is this try's own.
                const int next = checkedFrameAt(rest, length);
                if (next == 0 || rest.at(length) != rest.at(0) ||
                    !answersRequest(rest.sliced(length, next).toByteArray(),
                                    m_stepRecord.request))
                    return;
                m_late.settleQuestion(static_cast<std::uint8_t>(rest.at(0)),
                                      m_stepRecord.question);
                m_attempt.sameQuestion = false;
            } else if (taken.match != LateReplies::Match::Owed) {
                return;
            } else {
                m_attempt.lateBy = std::max(m_attempt.lateBy, now - taken.askedAt);
            }
        }
        const int from = static_cast<std::uint8_t>(rest.at(0));
        qCDebug(lcModbus) << "late reply from" << from << "taken out of the window";
        m_out.log(lateReplyText(from));
        ++m_attempt.lateReplies;
        m_attempt.replyStart += length;
        // A filler the line added behind it.
        if (m_attempt.replyStart < received.size() && received.at(m_attempt.replyStart) == '\0')
            ++m_attempt.replyStart;
    }
}

QByteArray RequestRunner::replyBytes() const {
    return m_attempt.replyStart == 0 ? m_engine.RxBuffer
                                     : m_engine.RxBuffer.mid(m_attempt.replyStart);
}

bool RequestRunner::deviceMayOweAnswer() const {
    const int address = m_stepRecord.request.address;
    return (m_lastTry.failed && m_lastTry.address == address) ||
           m_late.owedBy(address, Clock::now()) > 0;
}

void RequestRunner::examine() {
    if (!inFlight())
        return;
    passEchoAndLateReplies();
    const bool stopping = m_state == State::Stopping;
    // The window has not opened yet: it is looked at once it does.
    if (!m_window.isActive() && m_state != State::Settling)
        return;
    if (m_state == State::Sending && !m_attempt.windowBeforeSend)
        return;
    if (!fast() && !stopping)
        return;
    const bool complete = isCompleteReply(replyBytes(), m_stepRecord.request);
    if (m_state == State::Settling && !complete) {
        // Something followed it: the window decides, on all of it.
        setState(State::Listening);
        armWindowTimer(m_attempt.windowEnd);
        return;
    }
    if (!complete)
        return;
    if (deviceMayOweAnswer()) {
        // The device may still owe an earlier answer, and this one may be it: taken only once
        // the line stays quiet behind it. While stopping, the window decides.
        if (stopping)
            return;
        setState(State::Settling);
        armWindowTimer(
            std::min(m_lastByte + std::chrono::duration_cast<Clock::duration>(settleTime()),
                     m_attempt.windowEnd));
        return;
    }
    qCDebug(lcModbus) << "reply complete, window closed early";
    closeWindow();
}

void RequestRunner::windowClosed() {
    runGuarded([this] {
        switch (m_state) {
        case State::Quiet:
            sendAttempt();
            return;
        case State::Sending:
            if (m_attempt.number == 0 || !m_attempt.windowBeforeSend)
                return;
            break;
        case State::Listening:
        case State::Settling:
        case State::Stopping:
            if (m_attempt.number == 0)
                return;
            break;
        case State::Idle:
        case State::Between:
            return;
        }
        closeWindow();
    });
}

void RequestRunner::closeWindow() {
    m_window.stop();
    passEchoAndLateReplies();
    const QByteArray &received = m_engine.RxBuffer;
    ReplyVerdict verdict = ReplyVerdict::of(Kind::NoReply);
    if (!received.isEmpty()) {
        if (command().markReplyEnd)
            m_out.traffic(QStringLiteral("\r"));
        verdict = CheckResponse(replyBytes(), m_stepRecord.request);
    }
    const QByteArray &frame = m_stepRecord.request.frame;
    m_attempt.echoed = !frame.isEmpty() && received.startsWith(frame);
    if (!m_attempt.completedAt.isValid())
        m_attempt.completedAt = QDateTime::currentDateTimeUtc();
    endAttempt(verdict);
}

bool RequestRunner::retryable(const ReplyVerdict &verdict) const {
    constexpr int kSlaveDeviceBusy = 6;
    const bool busy = verdict.kind == Kind::Exception && verdict.exceptionCode == kSlaveDeviceBusy;
    const int retriesMade = int(m_stepRecord.attempts.size()) - 1;
    return (lineFault(verdict) || busy) && !command().noRetries && retriesMade < m_retries &&
           m_state != State::Stopping;
}

VerdictReport RequestRunner::verdictReport() const {
    const std::size_t index = std::size_t(m_stepNumber - 1);
    return {index < command().steps.size() ? command().steps[index].reportLeadingZero : true,
            command().noReply};
}

void RequestRunner::endAttempt(const ReplyVerdict &verdict) {
    Attempt done = m_attempt;
    done.verdict = verdict;
    const SentRequest request = m_stepRecord.request;
    const QByteArray reply = replyBytes();
    const bool windowBeforeSend = m_attempt.windowBeforeSend;
    // Nothing of its own came back, so its answer may still come, late.
    if (fast() && silence(verdict) && !done.sendFailed && !command().noRetries)
        m_late.owe(request, m_stepRecord.question, m_attempt.left);
    m_lastTry = {request.address, lineFault(verdict), m_attempt.left, {}, Clock::now()};
    // Only an earlier request's late answer came: the device is that far behind.
    if (silence(verdict) && done.lateReplies > 0)
        m_lastTry.behind = m_attempt.lateBy;
    // The device answered what was just asked; answering in order, it owes nothing older.
    if (fast() && verdict.accepted() && !m_attempt.sameQuestion)
        m_late.settle(request.address);
    // What a window heard without taking it may be the start of a late answer, whose rest
    // comes in the quiet: kept to be searched with it.
    if (verdict.kind == Kind::CrcError)
        m_stray = reply.right(256);
    m_attempt = {};
    m_stepRecord.attempts.push_back(done);
    const bool retry = !done.sendFailed && retryable(verdict);
    try {
        // A request that never left has its error on the display already, unless a window
        // opened before the send reports its silence.
        if (!retry && (!done.sendFailed || windowBeforeSend)) {
            reportVerdict(verdict, verdictReport(), request.address, currentAddress(), m_out);
            const std::size_t index = std::size_t(m_stepNumber - 1);
            if (verdict.accepted() && index < command().steps.size() &&
                command().steps[index].decode)
                command().steps[index].decode(ModbusReply::fromChecked(reply, verdict));
            const auto silentTries =
                std::count_if(m_stepRecord.attempts.begin(), m_stepRecord.attempts.end(),
                              [](const Attempt &tried) { return silence(tried.verdict); });
            if (verdict.accepted() && silentTries > 0)
                m_lateCopies = {reply.left(verdict.crcPosition + 2), int(silentTries)};
        }
        if (retry) {
            m_out.log(QStringLiteral("Retry %1 of %2 for device %3")
                          .arg(done.number)
                          .arg(m_retries)
                          .arg(request.address));
            m_engine.RxBuffer.clear();
        } else {
            endStep();
            if (!command().keepReply)
                m_engine.RxBuffer.clear();
        }
    } catch (...) {
        // A decoder or a listener that threw costs its step, never the runner: a sequence moves
        // on at its next tick, a single request ends.
        m_stepRecord.ended = true;
        if (m_state != State::Idle && m_sendTicket == 0) {
            if (sequence()) {
                setState(State::Between);
            } else {
                try {
                    finish();
                } catch (...) {
                }
            }
        }
        throw;
    }
    afterAttempt();
}

void RequestRunner::endStep() {
    m_stepRecord.ended = true;
    const Attempt &last = m_stepRecord.attempts.back();
    if (last.verdict.accepted())
        ++m_run.answered;
    else if (last.sendFailed || silence(last.verdict))
        ++m_run.silent;
    else
        ++m_run.rejected;
    StepOutcome outcome;
    outcome.step = m_stepNumber;
    outcome.request = m_stepRecord.request;
    outcome.verdict = last.verdict;
    outcome.sendFailed = last.sendFailed;
    outcome.echoed = last.echoed;
    outcome.completedAt =
        last.completedAt.isValid() ? last.completedAt : QDateTime::currentDateTimeUtc();
    outcome.attempts = m_stepRecord.attempts;
    if (command().stepEnded)
        command().stepEnded(outcome);
    Q_EMIT stepEnded(outcome);
}

// A step left waiting for its retry ends as it stood: its last verdict is its outcome.
void RequestRunner::endPendingStep() {
    if (m_stepRecord.ended || m_stepRecord.attempts.empty())
        return;
    reportVerdict(m_stepRecord.attempts.back().verdict, verdictReport(),
                  m_stepRecord.request.address, currentAddress(), m_out);
    endStep();
}

void RequestRunner::afterAttempt() {
    if (m_state == State::Idle)
        return;
    // The port's sending thread has not reported the request yet; its report moves on.
    if (m_sendTicket != 0) {
        if (m_state != State::Stopping)
            setState(State::Sending);
        return;
    }
    if (m_state == State::Stopping) {
        endPendingStep();
        endStopped();
        return;
    }
    // Designed timing: a sequence moves on at its next tick, a single request's retry at once.
    if (sequence() && !fast()) {
        setState(State::Between);
        return;
    }
    moveOn();
}

void RequestRunner::moveOn() {
    if (!m_stepRecord.ended && !m_stepRecord.attempts.empty()) {
        beginAttempt();
        return;
    }
    if (sequence() && m_stepNumber < int(command().steps.size())) {
        beginStep(m_stepNumber + 1);
        return;
    }
    if (sequence())
        m_stepNumber = int(command().steps.size()) + 1;
    finish();
}

void RequestRunner::stepTick() {
    runGuarded([this] {
        if (m_state == State::Between)
            moveOn();
    });
}

void RequestRunner::emptyInput() {
    QByteArray flushed;
    QString hexLine;
    char buffer[kReadChunk];
    // Bounded, so that a line that never stops talking cannot hold the send.
    for (int piece = 0; piece < 16; ++piece) {
        const int queued = m_line.InputQueued();
        if (queued <= 0)
            break;
        const int wanted = std::min(queued, kReadChunk);
        const int got = std::clamp(m_line.ReadBytes(buffer, wanted), 0, wanted);
        if (got <= 0)
            break;
        for (int i = 0; i < got; ++i)
            appendHex(hexLine, static_cast<std::uint8_t>(buffer[i]));
        flushed.append(buffer, got);
    }
    if (flushed.isEmpty())
        return;
    m_lastByte = Clock::now();
    m_out.traffic(hexLine);
    qCDebug(lcModbusHex).noquote() << "rx flushed" << hexLine;
    dropStray(flushed);
}

void RequestRunner::dropStray(QByteArrayView bytes) {
    constexpr qsizetype kKept = 512;
    // The longest reply any request here asks for.
    constexpr int kLongestReply = 256;
    m_strayTotal += bytes.size();
    m_strayBeforeNext += int(bytes.size());
    m_stray.append(bytes.data(), bytes.size());
    if (m_stray.size() > kKept)
        m_stray.remove(0, m_stray.size() - kKept);
    while (!m_stray.isEmpty()) {
        if (const int length = checkedFrameAt(m_stray, 0); length > 0) {
            const Clock::time_point now = Clock::now();
            const LateReplies::Taken taken =
                m_late.take(QByteArrayView(m_stray).first(length), 0, now);
            if (taken.match == LateReplies::Match::Owed) {
                m_out.log(lateReplyText(static_cast<std::uint8_t>(m_stray.at(0))));
                // Still catching up, and later than thought.
                if (m_lastTry.behind > Clock::duration::zero())
                    m_lastTry.behind = std::max(m_lastTry.behind, now - taken.askedAt);
            }
            m_stray.remove(0, length);
            continue;
        }
        // A frame may still be arriving; otherwise its first byte is noise.
        const int expected = expectedReplyLength(m_stray);
        const bool arriving = expected == 0
                                  ? m_stray.size() < 8
                                  : expected > m_stray.size() && expected <= kLongestReply;
        if (arriving)
            break;
        m_stray.remove(0, 1);
    }
}

CommandSummary RequestRunner::summary(CommandSummary::End end) const {
    CommandSummary done;
    done.name = command().name;
    done.end = end;
    done.step = m_stepNumber;
    done.steps = int(command().steps.size());
    done.sent = m_run.sent;
    done.answered = m_run.answered;
    done.silent = m_run.silent;
    done.rejected = m_run.rejected;
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
    const bool wasSequence = sequence();
    becomeIdle();
    const CommandSummary done = summary(CommandSummary::End::Finished);
    std::exception_ptr lineError;
    if (wasSequence) {
        m_engine.RxBuffer.clear();
        try {
            m_line.InputRoom();
        } catch (...) {
            lineError = std::current_exception();
        }
    }
    // Copies: either may start the next command, which replaces m_run.
    const std::function<void()> onFinished = command().onFinished;
    const std::function<void()> onEnd = command().onEnd;
    const char *const finishedText = command().finished;
    const auto ended = qScopeGuard([&] { endCommand(done, onEnd); });
    qCDebug(lcModbus) << "command" << done.name << "finished";
    if (wasSequence) {
        Q_EMIT stoppableChanged(false);
        if (finishedText) {
            const QString text = completionText(finishedText, done);
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

bool RequestRunner::stop() {
    if (m_state == State::Idle || m_state == State::Stopping)
        return false;
    qCInfo(lcModbus) << "command" << command().name << "stopped at step" << m_stepNumber;
    const bool wasStoppable = isStoppable();
    const State was = m_state;
    // Told before anything else runs, so that a listener's own stop finds it done.
    setState(State::Stopping);
    if (wasStoppable)
        Q_EMIT stoppableChanged(false);
    switch (was) {
    case State::Quiet:
    case State::Between:
        // Nothing is outstanding.
        runGuarded([this] {
            endPendingStep();
            if (m_state == State::Stopping)
                endStopped();
        });
        return true;
    case State::Settling:
        // The reply is in; only the window can tell now whether something follows it.
        armWindowTimer(m_attempt.windowEnd);
        break;
    case State::Sending:
    case State::Listening:
    case State::Idle:
    case State::Stopping:
        break;
    }
    // A reply already complete ends the wait at once; looked at from the event loop, so that
    // the caller's own state is settled first.
    QTimer::singleShot(0, this, [this] { runGuarded([this] { examine(); }); });
    return true;
}

bool RequestRunner::stopByUser() {
    return isStoppable() && stop();
}

void RequestRunner::becomeIdle() {
    m_tick.stop();
    m_window.stop();
    setState(State::Idle);
    m_attempt = {};
    m_sendTicket = 0;
}

void RequestRunner::endStopped() {
    const bool wasSequence = sequence();
    const bool wasStoppable = isStoppable();
    becomeIdle();
    if (wasStoppable)
        Q_EMIT stoppableChanged(false);
    m_engine.RxBuffer.clear();
    const CommandSummary done = summary(CommandSummary::End::Stopped);
    const std::function<void()> onEnd = command().onEnd;
    const auto ended = qScopeGuard([&] { endCommand(done, onEnd); });
    if (!wasSequence)
        return;
    const QString text = QStringLiteral("Stopped by user after step %1 of %2")
                             .arg(m_stepNumber)
                             .arg(command().steps.size());
    m_out.log(text);
    m_out.setStatus(StatusPanel::Progress, text);
    // As at the end of a finished sequence: the line's pending errors are cleared.
    m_line.InputRoom();
}

bool RequestRunner::stopForClosedPort() {
    if (m_state == State::Idle)
        return false;
    const bool stoppable = isStoppable();
    becomeIdle();
    m_engine.RxBuffer.clear();
    m_late.clear();
    m_stray.clear();
    m_lastTry = {};
    if (stoppable)
        Q_EMIT stoppableChanged(false);
    // A stopped command is not finished: only its controls come back.
    const std::function<void()> onEnd = command().onEnd;
    endCommand(summary(CommandSummary::End::PortClosed), onEnd);
    qCInfo(lcModbus) << "running command stopped: the port closed";
    return true;
}

} // namespace corvane
