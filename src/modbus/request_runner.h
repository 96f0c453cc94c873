#pragma once

#include "function_codes.h"
#include "late_replies.h"
#include "modbus_reply.h"
#include "reply_verdict.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace corvane {

class Output;
class SerialLine;
struct EngineState;

// One try of a step: its request went out (or was handed over to go out) once.
struct Attempt {
    int number = 0; // 1 for the first try, 2 for the first retry...
    ReplyVerdict verdict;
    // When the request was handed to the port, and when it had left (UTC); left stays invalid
    // for a request that never left whole.
    QDateTime sentAt;
    QDateTime leftAt;
    // The reply's last byte, or the window's end when nothing came.
    QDateTime completedAt;
    // Bytes dropped before it went out: emptied from the input right before the send, or come
    // while no request was in flight since the try before.
    int strayBytes = 0;
    // Late replies to earlier requests that came in its window and were taken out.
    int lateReplies = 0;
    // The request never left whole; its error went to the error display. The verdict is NoReply.
    bool sendFailed = false;
    // What arrived began with an exact copy of the request: the line echoes (or, for a write,
    // the device answered, since it answers with a copy).
    bool echoed = false;
};

// How one step of a command ended: which request went out, what the verdict on its reply was and
// when the reply was complete (its last byte; the window's end when nothing came), with every
// try it took. Steps that sent nothing, and requests of commands that await no reply, end
// without an outcome. The fields beside `attempts` are those of its last try.
struct StepOutcome {
    int step = 0; // 1-based
    SentRequest request;
    ReplyVerdict verdict;
    bool sendFailed = false;
    bool echoed = false;
    QDateTime completedAt; // UTC
    std::vector<Attempt> attempts;
};

// How a command ended, counted over the requests it sent.
struct CommandSummary {
    enum class End { Finished, Stopped, PortClosed };
    const char *name = "";
    End end = End::Finished;
    // The last step reached (1-based) and the command's step count.
    int step = 0;
    int steps = 0;
    int sent = 0;
    // Replies that passed the checks.
    int answered = 0;
    // Windows that stayed empty or heard another device, and requests that never left whole.
    int silent = 0;
    // Replies that arrived but failed a check: CRC errors, exceptions, garbage.
    int rejected = 0;
    bool stopped() const { return end != End::Finished; }
};

// "<finished>: N of M replies", with the silent and rejected ones behind when there are any.
QString completionText(const char *finished, const CommandSummary &summary);

// Gives a timer of the request machinery its name, shape and interval. Response windows must
// be precise: a coarse timer may close one up to 5% early and lose a reply that arrives within
// the ResponseTime the operator set.
void setUpRequestTimer(QTimer &timer, QObject *owner, const char *name, bool singleShot,
                       std::chrono::milliseconds interval);

// Runs every request the program sends. A command is a table of steps, each of which sends one
// request, waits a response window and decodes what arrived; a single request is a command of
// one step. A command of several steps is a sequence: a 111 ms step timer moves it on, and only
// once the previous window has closed. A step that fails (silence, bad CRC, exception reply)
// costs its own decoding, never the rest of the sequence.
//
// The runner alone empties RxBuffer, raises SkipLeadingZero, opens and closes windows and
// refuses a command while another is in flight. A reply is checked once, here, against the
// request it answers in full; decoders get it taken apart. Nothing received while no request is
// in flight is kept, and the input is emptied right before every request goes out.
//
//
// Designed timing: a window stays open for its whole interval, whatever arrives, and the next
// step waits for the next tick. Fast mode (setFastReplies) closes a window as soon as RxBuffer
// holds a complete reply to the request, and starts the next step at once; a missing, short or
// garbled reply still waits the whole window. After a try that got no good reply, the next
// request waits for a quiet line. A request whose window closed in silence may still be
// answered late, and a complete reply no longer proves otherwise: that answer is taken out of a
// later window, never taken for a later request's (LateReplies), and while the device may still
// owe one, a complete reply is only taken once the line has stayed quiet behind it.
class RequestRunner : public QObject {
    Q_OBJECT
public:
    // Sends the request of a step to slave (the address selector's value at that moment) and
    // returns it as it went on the line. Nothing means the step has nothing to send (an input
    // the model lacks, an unticked box); no window opens and the next tick moves straight on.
    // An exception counts as nothing sent.
    using Sender = std::function<std::optional<SentRequest>(int slave)>;
    using Decoder = std::function<void(const ModbusReply &reply)>;

    struct Step {
        Sender send;
        // Empty: the reply is only checked (an acknowledgement).
        Decoder decode;
        // Whether a rejected leading 0x00 is written to the operator log.
        bool reportLeadingZero = true;
    };

    // How an empty window (or another device's reply) is reported.
    using NoReply = NoReplyReport;

    // Probe: the bus scan's window, of the length its command gives.
    enum class Window { Response, ResponseProgram, ResponseService, Service, Code, Probe, None };
    enum class StepTimer { Read, DecodeInput, Write, ReadService, None };

    struct Command {
        const char *name = "";
        std::vector<Step> steps;
        StepTimer stepTimer = StepTimer::None;
        Window window = Window::Response;
        // The first window opens before the first send, so it includes the send time.
        bool windowBeforeSend = false;
        // The first step goes out on the first tick rather than at the start.
        bool firstStepOnTick = false;
        bool raiseSkipLeadingZero = true;
        // A line of its own ("\r") in the received-bytes log before the reply is decoded.
        bool markReplyEnd = true;
        // The reply stays in RxBuffer after decoding, until the next request empties it.
        bool keepReply = true;
        NoReply noReply = NoReply::StatusAndLog;
        // The slave every step goes to; unset: the address selector's value at each send.
        std::optional<int> address;
        // The length of a Probe window.
        std::chrono::milliseconds probeWindow{kDefaultResponseTime};
        // Windows close as soon as the reply is complete, whatever setFastReplies says.
        bool fastReplies = false;
        // A sequence with a name here ends with "<finished>: N of M replies" in the log and on
        // status panel 1.
        const char *finished = nullptr;
        // Whoever holds the runner (reserve) may run this command meanwhile.
        const void *owner = nullptr;
        // A bus scan expects silence: a failed reply is never sent again, whatever setRetries
        // says, and a silent probe is not taken to owe a late answer.
        bool noRetries = false;
        // A step whose request went out has ended, after its reply (if accepted) was decoded.
        // A verdict other than Accepted means whatever the step shows is now older than the rest.
        std::function<void(const StepOutcome &outcome)> stepEnded;
        // After the busy check, before anything is sent.
        std::function<void()> onStart;
        // When the last step has been decoded (sequences: at the final tick).
        std::function<void()> onFinished;
        // When the command has ended in any way: finished, its request never left, or the port
        // closed under it. Runs after onFinished.
        std::function<void()> onEnd;
    };

    static constexpr std::chrono::milliseconds kStepInterval{111};
    static constexpr std::chrono::milliseconds kDefaultResponseTime{500};
    // "Read code" waits longer than the other commands: the logger looks the code up first.
    static constexpr std::chrono::milliseconds kCodeWindow{1000};
    // A USB adapter hands over what it received this late; below it, a line is not known quiet.
    static constexpr std::chrono::milliseconds kAdapterLatency{20};
    // Largest piece taken from the port in one read.
    static constexpr int kReadChunk = 1024;

    RequestRunner(EngineState &state, SerialLine &line, Output &out, std::function<int()> address,
                  QObject *parent = nullptr);

    // The ResponseTime setting: every window but Timer_code's.
    void setResponseTime(std::chrono::milliseconds window);
    std::chrono::milliseconds responseTime() const { return m_responseTime; }

    void setFastReplies(bool fast) { m_fast = fast; }
    bool fastReplies() const { return m_fast; }
    // A line whose adapter echoes every request: one exact copy of the request at the start of
    // what arrives is dropped before the reply is checked (for a write answered with a copy of
    // itself, the first of the two), and the 0x00 bytes of the bus turning round after it too.
    void setIgnoreEcho(bool ignore) { m_ignoreEcho = ignore; }
    bool ignoresEcho() const { return m_ignoreEcho; }
    // A step whose reply is missing, fails its CRC, comes from another address, answers another
    // request or has garbage before it, or whose device answers "busy" (exception 6), is sent
    // again up to this many times (0 to 5) before it counts as failed; each retry logs "Retry N
    // of M for device A". Other exceptions are answers and are not retried. With 0 nothing
    // changes.
    void setRetries(int retries);
    int retries() const { return m_retries; }
    // The step's request is being sent again: senders that log or record what they send do it
    // once.
    bool isRetry() const { return m_attempt.number > 1; }
    // How long the line must stay quiet before it counts as quiet: the larger of the line's 3.5
    // characters and a USB adapter's latency.
    std::chrono::microseconds settleTime() const;

    // Refuses with one log line while anything is in flight; otherwise starts the command and
    // returns true. Errors of the first send propagate after the command has been set up, so
    // that its timers still end it.
    bool run(const Command &command);

    // The port closed under a running command: its timers stop, so nothing of it is sent,
    // reported or decoded any more, and its onEnd runs. Returns whether anything was running.
    bool stopForClosedPort();

    // Ends the running command once the request in flight has been answered or its window has
    // closed, at once when nothing is in flight: nothing more is sent, no retry either, and its
    // onFinished does not run. A sequence logs "Stopped by user after step N of M", also on
    // status panel 1. While a stop waits for a reply, a complete one closes the window at once.
    // Returns whether a command was running that had not been told yet.
    bool stop();
    // The operator's Stop, for sequences only: single requests are too short to need it.
    bool stopByUser();
    // A sequence is running, so stopByUser has something to stop.
    bool isStoppable() const;

    // Busy while a command is in flight, and while someone holds the runner between commands.
    bool isBusy() const;
    // Logs "Another request is in progress, please wait..." and returns true while busy.
    bool refuseIfBusy();

    // Keeps every command but the owner's out until release, also between the owner's own
    // commands: a bus scan runs one command per probe and must not let another slip in. Fails
    // while anything runs or someone else holds the runner.
    bool reserve(const void *owner);
    void release(const void *owner);
    bool isReserved() const { return m_owner != nullptr; }

    // The slave of the running command: its own address, or the address selector's value now.
    int currentAddress() const;

    // For senders that hand the request to another thread: sendQueued() while sending, and
    // sendFinished with its ticket once the request has left the port (ok) or failed, its
    // error already shown. A stale ticket (the command was stopped meanwhile) is ignored.
    // Requests sent synchronously need neither.
    std::uint64_t sendQueued();
    void sendFinished(std::uint64_t ticket, bool ok);

    // The one window timer, whichever window the running command has; between the tries of a
    // fast command it also times the wait for a quiet line. The one step timer likewise. Each
    // takes the designed name of the running command's window or step timer.
    const QTimer &timer(Window window) const;
    const QTimer &timer(StepTimer stepTimer) const;
    // 1-based step of the running or last command; 0 before its first send.
    int step() const { return m_stepNumber; }
    // How the last command that ended ended.
    const CommandSummary &lastSummary() const { return m_summary; }
    // Bytes dropped since the runner was made because no request was in flight to take them.
    qint64 strayBytes() const { return m_strayTotal; }

Q_SIGNALS:
    // A step whose request went out has ended, after its command's own stepEnded.
    void stepEnded(const corvane::StepOutcome &outcome);
    // A command has ended in any way, after its onEnd: for callers that wait on the runner
    // rather than on a command's own actions.
    void commandEnded(const corvane::CommandSummary &summary);
    // isStoppable() changed: a sequence started, or ended in any way (before its onEnd).
    void stoppableChanged(bool stoppable);

public Q_SLOTS:
    // Received-bytes event: Count bytes are waiting in the port's input queue.
    void Comm1RxChar(int Count);
    // The timers' handlers, also callable directly by tests that play the event loop.
    // The window timer: the window closes, a settled reply is taken, or the quiet is over.
    void windowClosed();
    void stepTick();

private:
    using Clock = std::chrono::steady_clock;

    // What the runner waits for.
    enum class State {
        Idle,
        // Fast mode, before a try: the line must have been quiet for the settle time since its
        // last byte, or long enough for a device found behind to catch up; what arrives
        // meanwhile is dropped (late answers among it settled) and puts the send off, up to a
        // limit.
        Quiet,
        // The try's request is on its way out. A window opened before the send may be running;
        // a try that has already ended waits here for the send's report.
        Sending,
        // The request has left and its window runs.
        Listening,
        // Fast mode: a complete reply is in, but the device may still owe an earlier answer;
        // it is taken once the line has stayed quiet behind it for the settle time.
        Settling,
        // The try has ended; a sequence waits for its next tick to retry, move on or finish.
        Between,
        // A stop came while a request was in flight: it is answered or its window closes, and
        // the command ends; nothing more goes out.
        Stopping,
    };

    // The running command, as far as it has come.
    struct Run {
        Command command;
        int sent = 0;
        int answered = 0;
        int silent = 0;
        int rejected = 0;
    };
    // The step in flight.
    struct StepRecord {
        int number = 0;
        SentRequest request;
        // Tells this step's tries apart from every other request (LateReplies).
        std::uint64_t question = 0;
        std::vector<Attempt> attempts;
        // Its outcome has been given: no further try.
        bool ended = false;
    };
    // The try in flight; number 0 when none is.
    struct AttemptRecord : Attempt {
        bool windowBeforeSend = false;
        Clock::time_point left;
        Clock::time_point windowEnd;
        // Where the reply starts in RxBuffer: an echo and late replies in front are passed.
        qsizetype replyStart = 0;
        bool echoPassed = false;
        // The latest of the late answers taken out of its window came this long after its
        // request.
        Clock::duration lateBy{};
        // The reply at replyStart may be the late answer of an earlier try of this step.
        bool sameQuestion = false;
    };
    // The last try that ended, of any command: what the line did last.
    struct LastTry {
        int address = 0;
        bool failed = false;
        Clock::time_point leftAt;
        // Its window took a late answer out and heard nothing of its own: the device answers
        // this far behind, and may still answer this try.
        Clock::duration behind{};
        Clock::time_point endedAt;
    };

    const Command &command() const { return m_run.command; }
    bool sequence() const { return m_run.command.stepTimer != StepTimer::None; }
    bool fast() const { return m_fast || m_run.command.fastReplies; }
    std::chrono::milliseconds windowLength() const;
    void setState(State state);

    bool inFlight() const;
    void beginStep(int number);
    // The next try of the step in flight, after a quiet line where one is needed.
    void beginAttempt();
    Clock::time_point quietUntil() const;
    void sendAttempt();
    // The step has nothing to send: it ends without an outcome.
    void nothingToSend();
    void sendDone(bool ok);
    void openWindow();
    void armWindowTimer(Clock::time_point deadline);
    // What arrived so far, in a window: passes the echo and late replies, and in fast mode (or
    // while stopping) closes the window on a complete reply.
    void examine();
    void passEchoAndLateReplies();
    QByteArray replyBytes() const;
    bool deviceMayOweAnswer() const;
    void closeWindow();
    void endAttempt(const ReplyVerdict &verdict);
    bool retryable(const ReplyVerdict &verdict) const;
    void endStep();
    void endPendingStep();
    // After a try: retry, next step or end, now or at the tick, as the mode says.
    void afterAttempt();
    void moveOn();
    VerdictReport verdictReport() const;
    // Bytes that came while no request was in flight: counted, and searched for late replies.
    void dropStray(QByteArrayView bytes);
    void emptyInput();
    void finish();
    void endStopped();
    void becomeIdle();
    void endCommand(const CommandSummary &done, const std::function<void()> &onEnd);
    CommandSummary summary(CommandSummary::End end) const;
    void receive(const char *bytes, int count, QString &hexLine);

    EngineState &m_engine;
    SerialLine &m_line;
    Output &m_out;
    std::function<int()> m_address;
    bool m_fast = false;
    bool m_ignoreEcho = false;
    int m_retries = 0;
    std::chrono::milliseconds m_responseTime{kDefaultResponseTime};
    const void *m_owner = nullptr;

    State m_state = State::Idle;
    Run m_run;
    StepRecord m_stepRecord;
    int m_stepNumber = 0;
    AttemptRecord m_attempt;
    LastTry m_lastTry;
    LateReplies m_late;
    std::uint64_t m_questions = 0;
    std::uint64_t m_tickets = 0;
    // The send still being reported by the port's sending thread; 0 when none is.
    std::uint64_t m_sendTicket = 0;
    // How long the next request waits for a quiet line after the last try.
    Clock::duration quietWait() const;
    // Quiet: when the line last had a byte, and the latest the send may be put off to.
    Clock::time_point m_lastByte;
    Clock::time_point m_quietLimit;
    // Designed timing: a step answered on a retry after silent tries may still get the answers
    // of those tries, late, in the next window. Being the same bytes as its own, they are known.
    struct LateCopies {
        QByteArray reply;
        int count = 0;
    };
    LateCopies m_lateCopies;
    // Bytes that came while nothing was in flight, kept only to find late replies among them.
    QByteArray m_stray;
    int m_strayBeforeNext = 0;
    qint64 m_strayTotal = 0;
    CommandSummary m_summary;

    QTimer m_window;
    QTimer m_tick;
};

} // namespace corvane
