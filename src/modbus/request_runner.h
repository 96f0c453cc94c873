#pragma once

#include "function_codes.h"
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

// How one step of a command ended: which request went out, what the verdict on its reply was and
// when the reply was complete (its last byte; the window's end when nothing came). Steps that
// sent nothing, and requests of commands that await no reply, end without an outcome.
struct StepOutcome {
    int step = 0; // 1-based
    SentRequest request;
    ReplyVerdict verdict;
    // The request never left whole; its error went to the error display. The verdict is NoReply.
    bool sendFailed = false;
    // What arrived began with an exact copy of the request: the line echoes (or, for a write,
    // the device answered, since it answers with a copy).
    bool echoed = false;
    QDateTime completedAt; // UTC
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
// address and function of the request it answers; decoders get it taken apart.
//
// Designed timing: a window stays open for its whole interval, whatever arrives, and the next
// step waits for the next tick. Fast mode (setFastReplies) closes a window as soon as RxBuffer
// holds a complete reply whose CRC checks, and starts the next step at once; a missing, short or
// garbled reply still waits the whole window.
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
        // A command that sends without waiting leaves earlier bytes where they are.
        bool clearRxBuffer = true;
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
        // A failed reply is never sent again, whatever setRetries says: a bus scan expects
        // silence.
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
    // Largest piece taken from the port in one read.
    static constexpr int kReadChunk = 1024;

    RequestRunner(EngineState &state, SerialLine &line, Output &out, std::function<int()> address,
                  QObject *parent = nullptr);

    // The ResponseTime setting: every window but Timer_code's.
    void setResponseTime(std::chrono::milliseconds window);
    std::chrono::milliseconds responseTime() const;

    void setFastReplies(bool fast) { m_fast = fast; }
    bool fastReplies() const { return m_fast; }
    // A line whose adapter echoes every request: one exact copy of the request at the start of
    // what arrives is dropped before the reply is checked (for a write answered with a copy of
    // itself, the first of the two), and the 0x00 bytes of the bus turning round after it too.
    void setIgnoreEcho(bool ignore) { m_ignoreEcho = ignore; }
    bool ignoresEcho() const { return m_ignoreEcho; }
    // A step whose reply is missing, fails its CRC, comes from another address or has garbage
    // before it, or whose device answers "busy" (exception 6), is sent again up to this many
    // times (0 to 5) before it counts as failed; each retry logs "Retry N of M for device A".
    // Other exceptions are answers and are not retried. With 0 nothing changes.
    void setRetries(int retries);
    int retries() const { return m_retries; }
    // The step's request is being sent again: senders that log or record what they send do it
    // once.
    bool isRetry() const { return m_resending; }

    // Refuses with one log line while anything is in flight; otherwise starts the command and
    // returns true. Errors of the first send propagate after the command has been set up, so
    // that its timers still end it.
    bool run(const Command &command);

    // The port closed under a running command: its timers stop, so nothing of it is sent,
    // reported or decoded any more, and its onEnd runs. Returns whether anything was running.
    bool stopForClosedPort();

    // The operator's Stop: a running sequence ends once the step in flight has been answered or
    // its window has closed; nothing more is sent, its onFinished does not run, and the log and
    // status panel 1 say "Stopped by user after step N of M". Returns whether a sequence was
    // running. Single requests are too short to need it.
    bool stopByUser();
    // A sequence is running, so stopByUser has something to stop.
    bool isStoppable() const { return m_phase != Phase::Idle && stepTimer() && !m_stopRequested; }

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

    const QTimer &timer(Window window) const;
    const QTimer &timer(StepTimer stepTimer) const;
    // 1-based step of the running or last command; 0 before its first send.
    int step() const { return m_step; }
    // How the last command that ended ended.
    const CommandSummary &lastSummary() const { return m_summary; }

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
    void windowClosed();
    void stepTick();

private:
    // Where the step in flight stands. Sending: its request is on its way out (a window opened
    // before the send may already be open, or have closed). Listening: the request has left and
    // its window is open. Settled: nothing is outstanding; the next tick moves on.
    enum class Phase { Idle, Sending, Listening, Settled };

    QTimer *windowTimer() const;
    bool windowOpen() const;
    QTimer *stepTimer() const;
    void receive(const char *bytes, int count, QString &hexLine);
    // Sends step m_step; true when a request went out (or is going out).
    bool sendStep();
    void sendDone(bool ok);
    // The command's first window opens before its first send and so includes the send time.
    bool windowOpenedBeforeSend() const;
    void openWindow();
    // Fast mode: RxBuffer holds the whole reply, so its window closes now.
    void closeEarly();
    // The step's request went out and its fate is known.
    void endStep(const ReplyVerdict &verdict, bool sendFailed = false);
    bool fast() const { return m_fast || m_command.fastReplies; }
    // Whether this verdict sends the step again; if so the retry is under way.
    bool retryStep(const ReplyVerdict &verdict);
    // How the step in flight reports a verdict that is not accepted.
    VerdictReport verdictReport() const;
    void resendStep();
    // RxBuffer without the request's echo, when the echo is to be ignored, and without late
    // copies of an earlier retried reply. `lateCopies` gets how many such copies it dropped.
    QByteArray replyBytes(int *lateCopies = nullptr) const;
    void finish();
    // The end of a sequence the operator stopped.
    void endStopped();
    // The step and window timers stopped, nothing outstanding, ready for the next command.
    void becomeIdle();
    void endCommand(const CommandSummary &done, const std::function<void()> &onEnd);
    CommandSummary summary(CommandSummary::End end) const;

    EngineState &m_state;
    SerialLine &m_line;
    Output &m_out;
    std::function<int()> m_address;
    bool m_fast = false;
    bool m_ignoreEcho = false;
    int m_retries = 0;
    const void *m_owner = nullptr;

    Command m_command;
    Phase m_phase = Phase::Idle;
    int m_step = 0;
    // The request of the step in flight, as it went on the line.
    SentRequest m_request;
    QDateTime m_lastByteAt;
    std::uint64_t m_sendTicket = 0;
    // The operator's Stop, carried out once the step in flight has settled.
    bool m_stopRequested = false;
    // Retries made of the step in flight; a retry waits for the next tick, with the verdict
    // that caused it kept in case a Stop comes first.
    int m_retry = 0;
    bool m_retryPending = false;
    bool m_resending = false;
    ReplyVerdict m_retriedVerdict;
    // A step that went unanswered and was retried may still get its answer, late, while a later
    // request waits: the same bytes as the answer its retry got. Those copies are dropped from
    // the start of what arrives, so that one is never taken as another step's reply.
    int m_silentAttempts = 0;
    QByteArray m_lateCopy;
    int m_lateCopies = 0;
    // Of the running or last command.
    int m_sent = 0;
    int m_answered = 0;
    int m_silent = 0;
    int m_rejected = 0;
    CommandSummary m_summary;

    QTimer Timer_response;
    QTimer Timer_response_program;
    QTimer Timer_response_service;
    QTimer Timer_service;
    QTimer Timer_code;
    QTimer Timer_probe;
    QTimer Timer_read;
    QTimer Timer_decode_input;
    QTimer Timer_write;
    QTimer Timer_readservice;
};

} // namespace corvane
