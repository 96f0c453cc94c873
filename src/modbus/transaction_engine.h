#pragma once

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>
#include <vector>

namespace corvane {

class Output;
class SerialLine;
struct EngineState;

// Turns requests into transactions and step tables into sequences. A transaction empties
// RxBuffer, sends one frame, collects whatever arrives until its response window closes and hands
// that to the decoder of the current step; there is no frame-end detection. A sequence is a
// numbered list of transactions advanced by a 111 ms step timer that moves on only once the
// previous window has closed. A step that fails (silence, bad CRC, exception reply) costs its own
// decoding, never the rest of the sequence.
//
// The device operations register what each step sends and how its reply is decoded; the engine
// owns the order, the windows and the end of every sequence.
//
// Only one request may be in flight: while any window or step timer runs, or a registered busy
// check says so, the starts below refuse with one log line and send nothing.
// Gives a timer of the request machinery its name, shape and interval. Response windows must
// be precise: a coarse timer may close one up to 5% early and lose a reply that arrives within
// the ResponseTime the operator set.
void setUpRequestTimer(QTimer &timer, QObject *owner, const char *name, bool singleShot,
                       std::chrono::milliseconds interval);

class TransactionEngine : public QObject {
    Q_OBJECT
public:
    // Sends the request of one step to slave (the address selector's value at that moment) and
    // says whether it did. false means the step has nothing to send (an input the model lacks, an
    // unticked box, an empty free text); no window is opened and the next tick moves straight on.
    // An exception counts as nothing sent.
    using StepSender = std::function<bool(int slave)>;
    using Decoder = std::function<void(const QByteArray &reply)>;

    static constexpr int kReadEndStep = 22;
    static constexpr int kMeasureEndStep = 8;
    static constexpr int kWriteEndStep = 21;
    static constexpr int kInputStatusStep = 8;
    static constexpr int kFlowStep = 22;
    static constexpr std::chrono::milliseconds kStepInterval{111};
    static constexpr std::chrono::milliseconds kDefaultResponseTime{500};
    // Largest piece taken from the port in one read.
    static constexpr int kReadChunk = 1024;

    TransactionEngine(EngineState &state, SerialLine &line, Output &out,
                      std::function<int()> address, QObject *parent = nullptr);

    // Interval of Timer_response and Timer_response_program (the ResponseTime setting).
    void setResponseTime(std::chrono::milliseconds window);
    std::chrono::milliseconds responseTime() const;

    // Steps 1 to 21 of the parameter read. Registering a step again replaces it.
    void setReadStep(int step, StepSender sender, Decoder decoder);
    // Steps 1 to 7 of the counters sequence, 8 of the input-status read, 22 of the flow read.
    void setMeasureStep(int step, StepSender sender, Decoder decoder);
    // Steps 1 to 20 of the parameter write; every reply goes to CheckWriteReply.
    void setWriteStep(int step, StepSender sender);
    // Runs when the parameter read reaches its end, before BitBtn1 is enabled again: the copy of
    // the table into the per-address store.
    void setReadFinished(std::function<void()> action);

    // The starts check only that nothing else is in flight; the port, model and input checks of
    // each command come first and belong to the caller. Each returns whether it started.
    bool startRead();
    bool startCounters();
    bool startFlow();
    bool startInputStatus();
    bool startWrite();

    // The port closed under a running command: every window and step timer stops, so nothing of
    // it is sent, reported or decoded any more, and the buttons it greyed come back. Returns
    // whether anything was running.
    bool stopForClosedPort();

    bool isBusy() const;
    // Logs "Another request is in progress, please wait..." and returns true while busy.
    bool refuseIfBusy();
    // Extra condition that makes the engine busy, e.g. the service page's own timers.
    void addBusyCheck(std::function<bool()> check);

    // The address selector's value now.
    int currentAddress() const;

    // "No response from device N", the text every empty response window reports.
    static QString noResponseText(int address);
    // An empty window of a read-type request: the text on status panel 1 and, with a trailing
    // carriage return, in the operator log.
    void reportNoResponse();

    const QTimer &responseTimer() const { return Timer_response; }
    const QTimer &responseProgramTimer() const { return Timer_response_program; }
    const QTimer &readTimer() const { return Timer_read; }
    const QTimer &decodeInputTimer() const { return Timer_decode_input; }
    const QTimer &writeTimer() const { return Timer_write; }

public Q_SLOTS:
    // Received-bytes event: Count bytes are waiting in the port's input queue.
    void Comm1RxChar(int Count);
    void Timer_responseTimer();
    void Timer_response_programTimer();
    void Timer_readTimer();
    void Timer_decode_inputTimer();
    void Timer_writeTimer();

private:
    struct Step {
        StepSender sender;
        Decoder decoder;
    };

    void receive(const char *bytes, int count, QString &hexLine);
    // The flow read's single window is open or last ran: its end gives BitBtn31 back.
    bool isFlowRead() const;
    bool sendStep(const StepSender &sender);
    void finishSequence(QTimer &stepTimer, const QString &button,
                        const std::function<void()> &endAction);
    void announce(const QString &what, bool onStatusBar);
    static StepSender senderOf(const QHash<int, Step> &table, int step);
    static Decoder decoderOf(const QHash<int, Step> &table, int step);

    EngineState &m_state;
    SerialLine &m_line;
    Output &m_out;
    std::function<int()> m_address;

    QHash<int, Step> m_readSteps;
    QHash<int, Step> m_measureSteps;
    QHash<int, StepSender> m_writeSteps;
    std::function<void()> m_readFinished;
    std::vector<std::function<bool()>> m_busyChecks;

    QTimer Timer_response;
    QTimer Timer_response_program;
    QTimer Timer_read;
    QTimer Timer_decode_input;
    QTimer Timer_write;
};

} // namespace corvane
