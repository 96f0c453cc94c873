#include "crc16.h"
#include "engine_state.h"
#include "error_display.h"
#include "fake_serial_line.h"
#include "frames.h"
#include "line_statistics.h"
#include "modbus_master.h"
#include "recording_output.h"
#include "request_runner.h"
#include "send_frame.h"

#include <QScopeGuard>
#include <QTest>

#include <stdexcept>

using namespace corvane;
using test::FakeSerialLine;
using Kind = FakeSerialLine::Kind;

namespace {

const QString kNoResponse = QStringLiteral("No response from device 7\r");

// A runner with commands shaped like the device commands: steps that send a read of one
// register numbered after the step, and decoders that note which step got which reply. A
// responder, when set, answers every frame.
struct Rig {
    EngineState state;
    FakeSerialLine line;
    test::RecordingOutput out;
    RequestRunner engine{state, line, out, [] { return 7; }};
    QString model = QStringLiteral("QTR-8D");
    QList<QPair<int, QByteArray>> decoded;
    int readFinished = 0;
    RequestRunner::Command read, counters, flow, inputStatus, write;

    Rig() {
        for (int step = 1; step <= 21; ++step)
            read.steps.push_back(step_(step));
        read.stepTimer = RequestRunner::StepTimer::Read;
        grey(read, DeviceView::Command::Read, "Reading device No. ");
        read.onFinished = [this] { ++readFinished; };
        for (int step = 1; step <= 7; ++step)
            counters.steps.push_back(step_(step));
        counters.stepTimer = RequestRunner::StepTimer::DecodeInput;
        counters.windowBeforeSend = true;
        grey(counters, DeviceView::Command::Counters, "Reading device No. ");
        flow.steps.push_back(step_(22));
        grey(flow, DeviceView::Command::Flow, "Reading flow for device No. ");
        inputStatus.steps.push_back(step_(8));
        inputStatus.windowBeforeSend = true;
        write.steps.resize(20);
        for (RequestRunner::Step &step : write.steps)
            step.send = [this](int) -> std::optional<SentRequest> {
                line.InputRoom();
                return std::nullopt;
            };
        write.stepTimer = RequestRunner::StepTimer::Write;
        write.window = RequestRunner::Window::ResponseProgram;
        write.firstStepOnTick = true;
        write.markReplyEnd = false;
        grey(write, DeviceView::Command::Write, QString());
    }

    RequestRunner::Step step_(int step) {
        return {[this, step](int slave) -> std::optional<SentRequest> {
                    if (!present(step))
                        return std::nullopt;
                    const QByteArray frame = readHoldingFrame(slave, step, 1);
                    SendFrame(line, line, frame, kPreSendDelay);
                    return SentRequest{slave, 3, frame};
                },
                [this, step](const ModbusReply &reply) {
                    decoded.append({step, QByteArray(1, char(reply.address)) +
                                              char(reply.function) + reply.payload});
                },
                true};
    }

    void grey(RequestRunner::Command &command, DeviceView::Command button,
              const QString &announce) {
        command.onStart = [this, button, announce] {
            if (!announce.isEmpty())
                out.log(announce + QStringLiteral("7..."));
            out.setCommandEnabled(button, false);
        };
        command.onEnd = [this, button] { out.setCommandEnabled(button, true); };
    }

    bool startRead() { return engine.run(read); }
    bool startCounters() { return engine.run(counters); }
    bool startFlow() { return engine.run(flow); }
    bool startInputStatus() { return engine.run(inputStatus); }
    bool startWrite() { return engine.run(write); }

    // Free texts of inputs 5 to 8 (read steps 17 to 20) exist only on the larger models.
    bool present(int step) const {
        if (step == 17 || step == 18)
            return model != QLatin1String("QTR-4D");
        if (step == 19 || step == 20)
            return model == QLatin1String("QTR-8D");
        return true;
    }

    // Answers a read of register r with the value r, behind a turn-round zero.
    void answerEveryFrame() {
        line.onFrame = [this](const QByteArray &frame) {
            QByteArray reply = frame.left(2) + '\x02' + frame.mid(2, 2);
            appendCrc(reply);
            line.deliver(QByteArray(1, '\0') + reply);
        };
    }

    // Plays the timers in order, as the event loop would: received bytes first, then the
    // window, then the step tick, one event at a time.
    void run(RequestRunner::StepTimer stepTimer) {
        for (int events = 0; engine.timer(stepTimer).isActive() && events < 500; ++events) {
            if (!line.input.isEmpty())
                engine.Comm1RxChar(int(line.input.size()));
            else if (engine.timer(RequestRunner::Window::Response).isActive())
                engine.windowClosed();
            else
                engine.stepTick();
        }
    }
};

} // namespace

class TstRequestRunner : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void receivePath_data();
    void receivePath();
    void largeEventReadInPieces_data();
    void largeEventReadInPieces();
    void readSequence_data();
    void readSequence();
    void countersAndSingleReads();
    void writeSequence();
    void busyRule_data();
    void busyRule();
    void faultsDoNotStrandACommand();
    void closedPortStopsTheCommand_data();
    void closedPortStopsTheCommand();
    void stopWaitsForTheStepInFlight();
    void echoOfTheRequest_data();
    void echoOfTheRequest();
    void lateAnswerOfARetriedStep_data();
    void lateAnswerOfARetriedStep();
    void lateAnswerOfAFailedStep_data();
    void lateAnswerOfAFailedStep();
    void bytesBetweenRequestsAreDropped();
    void quietLineAfterAFailure();
    void replyBeforeTheSendIsDone();
    void lineStatisticsOfManyReplies_data();
    void lineStatisticsOfManyReplies();
};

void TstRequestRunner::receivePath_data() {
    QTest::addColumn<bool>("skip");
    QTest::addColumn<QByteArrayList>("events");
    QTest::addColumn<QByteArray>("buffer");
    QTest::addColumn<QStringList>("traffic");
    QTest::newRow("zeros in front dropped")
        << true << QByteArrayList{QByteArray::fromHex("0000010310")}
        << QByteArray::fromHex("010310") << QStringList{"01h 03h 10h "};
    QTest::newRow("zeros after first byte kept")
        << true << QByteArrayList{QByteArray::fromHex("00"), QByteArray::fromHex("0100FF00")}
        << QByteArray::fromHex("0100FF00") << QStringList{"", "01h 00h FFh 00h "};
    QTest::newRow("nothing dropped without the flag")
        << false << QByteArrayList{QByteArray::fromHex("00AB")} << QByteArray::fromHex("00AB")
        << QStringList{"00h ABh "};
}

void TstRequestRunner::receivePath() {
    QFETCH(bool, skip);
    QFETCH(QByteArrayList, events);
    QFETCH(QByteArray, buffer);
    QFETCH(QStringList, traffic);
    Rig r;
    QVERIFY(r.startFlow());
    r.out.trafficLines.clear();
    r.state.SkipLeadingZero = skip;
    for (const QByteArray &event : events) {
        r.line.deliver(event);
        r.engine.Comm1RxChar(int(event.size()));
    }
    QCOMPARE(r.state.RxBuffer.toHex(), buffer.toHex());
    QCOMPARE(r.out.trafficLines, traffic);
}

void TstRequestRunner::largeEventReadInPieces_data() {
    QTest::addColumn<int>("announced");
    QTest::addColumn<int>("queued");
    QTest::addColumn<QString>("reads");
    QTest::newRow("1500 bytes") << 1500 << 1500 << "read 1024 read 476";
    QTest::newRow("fewer queued than announced") << 3000 << 1100 << "read 1024 read 1024";
    QTest::newRow("port gone") << 50 << 0 << "read 50";
}

void TstRequestRunner::largeEventReadInPieces() {
    QFETCH(int, announced);
    QFETCH(int, queued);
    QFETCH(QString, reads);
    Rig r;
    QVERIFY(r.startFlow());
    r.line.events.clear();
    r.state.SkipLeadingZero = false;
    r.line.deliver(QByteArray(queued, '\x5A'));
    r.engine.Comm1RxChar(announced);
    QCOMPARE(r.line.timeline(), reads);
    QCOMPARE(r.state.RxBuffer, QByteArray(queued, '\x5A'));
    QCOMPARE(r.out.trafficLines.size(), 1);
    QCOMPARE(r.out.trafficLines.front().size(), 4 * queued);
}

void TstRequestRunner::readSequence_data() {
    QTest::addColumn<QString>("model");
    QTest::addColumn<bool>("answering");
    QTest::addColumn<int>("requests");
    QTest::newRow("8D silent") << "QTR-8D" << false << 21;
    QTest::newRow("6D silent") << "QTR-6D" << false << 19;
    QTest::newRow("4D silent") << "QTR-4D" << false << 17;
    QTest::newRow("8D answering") << "QTR-8D" << true << 21;
    QTest::newRow("4D answering") << "QTR-4D" << true << 17;
}

void TstRequestRunner::readSequence() {
    QFETCH(QString, model);
    QFETCH(bool, answering);
    QFETCH(int, requests);
    Rig r;
    r.model = model;
    if (answering)
        r.answerEveryFrame();
    QVERIFY(r.startRead());
    QCOMPARE(r.out.logLines.front(), QStringLiteral("Reading device No. 7..."));
    QVERIFY(!r.out.isEnabled(QStringLiteral("BitBtn1")));
    r.run(RequestRunner::StepTimer::Read);

    QCOMPARE(r.line.frames.size(), requests);
    QCOMPARE(r.out.logLines.count(kNoResponse), answering ? 0 : requests);
    QCOMPARE(r.decoded.size(), answering ? requests : 0);
    for (const auto &[step, reply] : r.decoded) {
        // Each reply reaches the decoder of the step that asked, without its leading zero.
        QCOMPARE(int(reply.at(4)), step);
        QCOMPARE(reply.at(0), '\x07');
    }
    QCOMPARE(r.out.trafficLines.count(QStringLiteral("\r")), answering ? requests : 0);
    QCOMPARE(r.engine.step(), 22);
    QCOMPARE(r.readFinished, 1);
    QVERIFY(r.out.isEnabled(QStringLiteral("BitBtn1")));
    QVERIFY(r.state.RxBuffer.isEmpty());
    QVERIFY(!r.engine.isBusy());
}

void TstRequestRunner::countersAndSingleReads() {
    Rig r;
    QVERIFY(r.startCounters());
    QVERIFY(!r.out.isEnabled(QStringLiteral("BitBtn6")));
    r.run(RequestRunner::StepTimer::DecodeInput);
    QCOMPARE(r.line.frames.size(), 7);
    QCOMPARE(r.out.logLines.count(kNoResponse), 7);
    QCOMPARE(r.engine.step(), 8);
    QVERIFY(r.out.isEnabled(QStringLiteral("BitBtn6")));

    // The flow window gives its button back with or without a reply; input status has none.
    for (const bool answering : {false, true}) {
        if (answering)
            r.answerEveryFrame();
        QVERIFY(r.startFlow());
        QVERIFY(!r.out.isEnabled(QStringLiteral("BitBtn31")));
        if (!r.line.input.isEmpty())
            r.engine.Comm1RxChar(int(r.line.input.size()));
        r.engine.windowClosed();
        QVERIFY(r.out.isEnabled(QStringLiteral("BitBtn31")));
    }
    QCOMPARE(r.decoded.size(), 1);
    QCOMPARE(r.decoded.front().first, 22);
    QVERIFY(r.startInputStatus());
    QVERIFY(r.engine.timer(RequestRunner::Window::Response).isActive());
    QCOMPARE(r.engine.step(), 1);
}

void TstRequestRunner::writeSequence() {
    Rig r;
    // Steps 1 to 4 send; the rest are unticked. Replies: silence, an acknowledgement, bad CRC,
    // an acknowledgement from another device.
    const auto request = [](int step) { return writeMultipleFrame(7, 0x8000 + 8 * step, 4, {}); };
    const auto ack = [&request](int address, int step) {
        QByteArray reply = char(address) + request(step).mid(1, 5);
        appendCrc(reply);
        return reply;
    };
    const QByteArrayList replies{{}, ack(7, 2), QByteArray::fromHex("0110FFFF"), ack(2, 4)};
    for (int step = 1; step <= 4; ++step) {
        r.write.steps[std::size_t(step - 1)].send = [&r, &replies, &request, step](int slave) {
            r.line.InputRoom();
            SendFrame(r.line, r.line, request(step), kPreSendDelay);
            r.line.deliver(replies.at(step - 1));
            return std::optional(SentRequest{slave, 0x10, request(step)});
        };
    }
    r.write.steps[4].send = [&r](int) -> std::optional<SentRequest> {
        r.line.InputRoom();
        return std::nullopt;
    };
    QVERIFY(r.startWrite());
    QVERIFY(r.line.frames.isEmpty());
    r.run(RequestRunner::StepTimer::Write);
    QCOMPARE(r.line.frames.size(), 4);
    QCOMPARE(r.out.logLines,
             (QStringList{kNoResponse, QStringLiteral("Error in CRC field\r"),
                          QStringLiteral("Reply from device 2 ignored (request went to device 7)"),
                          kNoResponse}));
    QCOMPARE(r.out.status.value(StatusPanel::Progress),
             QStringLiteral("No response from device 7"));
    QCOMPARE(r.line.count(Kind::InputRoom), 21);
    QCOMPARE(r.engine.step(), 21);
    QVERIFY(r.out.isEnabled(QStringLiteral("BitBtn2")));
    QVERIFY(!r.engine.isBusy());
}

void TstRequestRunner::busyRule_data() {
    QTest::addColumn<int>("running"); // a command below, or 5: a service-page command
    QTest::addColumn<int>("attempt");
    const char *names[] = {"read", "counters", "flow", "input status", "write", "service page"};
    for (int running = 0; running < 6; ++running) {
        for (int attempt = 0; attempt < 5; ++attempt)
            QTest::addRow("%s running, %s refused", names[running], names[attempt])
                << running << attempt;
    }
}

void TstRequestRunner::busyRule() {
    QFETCH(int, running);
    QFETCH(int, attempt);
    Rig r;
    RequestRunner::Command service;
    service.window = RequestRunner::Window::Service;
    service.steps.push_back(r.step_(9));
    const std::function<bool()> starts[] = {
        [&] { return r.startRead(); }, [&] { return r.startCounters(); },
        [&] { return r.startFlow(); }, [&] { return r.startInputStatus(); },
        [&] { return r.startWrite(); }};
    QVERIFY(running < 5 ? starts[running]() : r.engine.run(service));
    const int stepBefore = r.engine.step();
    const int frames = int(r.line.frames.size());
    r.out.logLines.clear();

    QVERIFY(!starts[attempt]());
    QCOMPARE(r.out.logLines,
             QStringList{QStringLiteral("Another request is in progress, please wait...")});
    QCOMPARE(r.line.frames.size(), frames);
    QCOMPARE(r.engine.step(), stepBefore);

    // Once the running command has ended, the same command is accepted.
    if (r.engine.timer(RequestRunner::Window::Service).isActive())
        r.engine.windowClosed();
    r.run(RequestRunner::StepTimer::Read);
    r.run(RequestRunner::StepTimer::DecodeInput);
    r.run(RequestRunner::StepTimer::Write);
    if (r.engine.timer(RequestRunner::Window::Response).isActive())
        r.engine.windowClosed();
    QVERIFY(starts[attempt]());
}

void TstRequestRunner::faultsDoNotStrandACommand() {
    Rig r;
    QStringList errors;
    setErrorSink([&errors](const QString &message) { errors << message; });
    const auto restoreSink = qScopeGuard([] { setErrorSink({}); });

    // A write step whose value cannot be converted sends nothing; the next tick moves on.
    r.write.steps[0].send = [](int) -> std::optional<SentRequest> {
        throw std::invalid_argument("'x' is not a number");
    };
    QVERIFY(r.startWrite());
    r.engine.stepTick();
    QVERIFY(!r.engine.timer(RequestRunner::Window::ResponseProgram).isActive());
    QCOMPARE(errors, QStringList{"'x' is not a number"});
    QVERIFY(!r.state.SkipLeadingZero);

    // The port failing its status query at the end still gives the button back.
    r.line.fault = [](Kind kind) {
        if (kind == Kind::InputRoom)
            throw std::runtime_error("Error retrieving statistics");
    };
    r.run(RequestRunner::StepTimer::Write);
    QVERIFY(r.out.isEnabled(QStringLiteral("BitBtn2")));
    QVERIFY(!r.engine.isBusy());

    // A single request that fails on the wire ends its command there and then.
    r.line.fault = [](Kind kind) {
        if (kind == Kind::Byte)
            throw std::runtime_error("Write error");
    };
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, r.startFlow());
    QVERIFY(!r.engine.isBusy());
    QVERIFY(r.out.isEnabled(QStringLiteral("BitBtn31")));
}

void TstRequestRunner::closedPortStopsTheCommand_data() {
    QTest::addColumn<int>("command");
    QTest::addColumn<QString>("button"); // the one the command greys, if any
    QTest::newRow("read") << 0 << "BitBtn1";
    QTest::newRow("counters") << 1 << "BitBtn6";
    QTest::newRow("flow") << 2 << "BitBtn31";
    QTest::newRow("input status") << 3 << QString();
    QTest::newRow("write") << 4 << "BitBtn2";
}

void TstRequestRunner::closedPortStopsTheCommand() {
    QFETCH(int, command);
    QFETCH(QString, button);
    Rig r;
    QVERIFY(!r.engine.stopForClosedPort());
    const std::function<bool()> starts[] = {
        [&] { return r.startRead(); }, [&] { return r.startCounters(); },
        [&] { return r.startFlow(); }, [&] { return r.startInputStatus(); },
        [&] { return r.startWrite(); }};
    QVERIFY(starts[command]());
    QVERIFY(r.engine.isBusy());

    QVERIFY(r.engine.stopForClosedPort());
    QVERIFY(!r.engine.isBusy());
    if (!button.isEmpty())
        QVERIFY(r.out.isEnabled(button, false));
    QVERIFY(!r.engine.stopForClosedPort());
    // A fresh command starts at once.
    QVERIFY(starts[command]());
}

// Stop pressed while a reply is awaited: the window still closes and its reply is decoded, then
// the sequence ends without a further request and without counting as finished.
void TstRequestRunner::stopWaitsForTheStepInFlight() {
    Rig r;
    r.answerEveryFrame();
    QVERIFY(!r.engine.stopByUser());
    QVERIFY(r.startRead());
    QVERIFY(r.engine.isStoppable());
    QVERIFY(r.engine.stopByUser());
    QVERIFY(!r.engine.isStoppable());
    r.engine.stepTick();
    QVERIFY(r.engine.isBusy());
    r.run(RequestRunner::StepTimer::Read);
    QVERIFY(!r.engine.isBusy());
    QCOMPARE(r.line.frames.size(), 1);
    QCOMPARE(r.decoded.size(), 1);
    QCOMPARE(r.readFinished, 0);
    QCOMPARE(r.out.logLines.last(), QStringLiteral("Stopped by user after step 1 of 21"));
    QCOMPARE(r.out.status.value(StatusPanel::Progress), r.out.logLines.last());
    QVERIFY(r.out.isEnabled(QStringLiteral("BitBtn1")));
    // A single request has nothing to stop.
    QVERIFY(r.startFlow());
    QVERIFY(!r.engine.stopByUser());
}

void TstRequestRunner::echoOfTheRequest_data() {
    QTest::addColumn<bool>("write");
    QTest::addColumn<bool>("echo");          // the line sends the request back
    QTest::addColumn<QByteArray>("between"); // what comes between the echo and the reply
    QTest::addColumn<bool>("reply");         // the device answers
    QTest::addColumn<bool>("ignore");        // "Ignore the echo of each request"
    QTest::addColumn<bool>("fast");
    QTest::addColumn<int>("verdict"); // ReplyVerdict::Kind
    QTest::addColumn<QStringList>("log");
    using Kind = ReplyVerdict::Kind;
    const QStringList none;
    const QStringList silent{kNoResponse};
    const QStringList crc{QStringLiteral("Error in CRC field\r")};
    const QByteArray nothing;
    QTest::newRow("read, echo dropped")
        << false << true << nothing << true << true << false << int(Kind::Accepted) << none;
    QTest::newRow("read, echo dropped, early close")
        << false << true << nothing << true << true << true << int(Kind::Accepted) << none;
    QTest::newRow("read, turn-round zero after the echo")
        << false << true << QByteArray(1, '\0') << true << true << false << int(Kind::Accepted)
        << none;
    QTest::newRow("read, no echo on the line")
        << false << false << nothing << true << true << false << int(Kind::Accepted) << none;
    QTest::newRow("read, echo kept: garbage in front")
        << false << true << nothing << true << false << false << int(Kind::GarbageBefore) << crc;
    QTest::newRow("read, only the echo")
        << false << true << nothing << false << false << false << int(Kind::EchoOnly) << silent;
    QTest::newRow("read, only the echo, dropped")
        << false << true << nothing << false << true << false << int(Kind::NoReply) << silent;
    // A write is answered with a copy of itself: with the echo, two copies.
    QTest::newRow("write, echo and answer")
        << true << true << nothing << true << true << false << int(Kind::Accepted) << none;
    QTest::newRow("write, echo and answer, early close")
        << true << true << nothing << true << true << true << int(Kind::Accepted) << none;
    QTest::newRow("write, only the echo")
        << true << true << nothing << false << true << false << int(Kind::NoReply) << silent;
    QTest::newRow("write, no echo, option off")
        << true << false << nothing << true << false << false << int(Kind::Accepted) << none;
}

// What arrives after a request on a line whose adapter may send each request back.
void TstRequestRunner::echoOfTheRequest() {
    QFETCH(bool, write);
    QFETCH(bool, echo);
    QFETCH(QByteArray, between);
    QFETCH(bool, reply);
    QFETCH(bool, ignore);
    QFETCH(bool, fast);
    QFETCH(int, verdict);
    QFETCH(QStringList, log);
    Rig r;
    ModbusMaster master(r.line, r.line);
    r.engine.setIgnoreEcho(ignore);
    r.engine.setFastReplies(fast);
    QByteArray answer = QByteArray::fromHex("0703020009");
    appendCrc(answer);
    r.line.onFrame = [&](const QByteArray &frame) {
        r.line.deliver((echo ? frame + between : QByteArray()) +
                       (reply ? (write ? frame : answer) : QByteArray()));
    };
    QList<StepOutcome> outcomes;
    RequestRunner::Command command;
    command.steps.push_back(
        {[&](int slave) {
             return std::optional(write ? master.SendWriteSingle(slave, 0x8011, 9, 1)
                                        : master.SendReadHolding(slave, 0x8000, 1));
         },
         [&r](const ModbusReply &) { r.decoded.append(qMakePair(1, QByteArray())); }, true});
    command.stepEnded = [&outcomes](const StepOutcome &outcome) { outcomes << outcome; };
    QVERIFY(r.engine.run(command));
    if (!r.line.input.isEmpty())
        r.engine.Comm1RxChar(int(r.line.input.size()));
    QCOMPARE(r.engine.timer(RequestRunner::Window::Response).isActive(),
             !(fast && verdict == int(ReplyVerdict::Kind::Accepted)));
    if (r.engine.timer(RequestRunner::Window::Response).isActive())
        r.engine.windowClosed();
    QCOMPARE(outcomes.size(), 1);
    QCOMPARE(int(outcomes.front().verdict.kind), verdict);
    // A write's answer is a copy of it, so it looks echoed whether or not the line echoes.
    QCOMPARE(outcomes.front().echoed, echo || (write && reply));
    QCOMPARE(r.decoded.size(), verdict == int(ReplyVerdict::Kind::Accepted) ? 1 : 0);
    QCOMPARE(r.out.logLines, log);
}

// The first try of step 1 goes unanswered and is retried, and the retry is answered. The answer
// to the first try still comes, late, just before step 2's own: the same bytes as step 1's
// answer, of the same length as step 2's. It is dropped, not taken for step 2's reply.
void TstRequestRunner::lateAnswerOfARetriedStep_data() {
    QTest::addColumn<bool>("fast");
    // The first try's answer comes in the retry's own window, right before the retry's.
    QTest::addColumn<bool>("together");
    QTest::newRow("designed") << false << false;
    QTest::newRow("fast") << true << false;
    QTest::newRow("fast, both answers in the retry's window") << true << true;
}

void TstRequestRunner::lateAnswerOfARetriedStep() {
    QFETCH(bool, fast);
    QFETCH(bool, together);
    Rig r;
    r.engine.setFastReplies(fast);
    r.engine.setRetries(1);
    const auto answer = [](const QByteArray &frame) {
        QByteArray reply = frame.left(2) + '\x02' + frame.mid(2, 2);
        appendCrc(reply);
        return reply;
    };
    QList<QByteArray> frames;
    r.line.onFrame = [&](const QByteArray &frame) {
        frames << frame;
        if (frames.size() == 1)
            return;
        r.line.deliver(
            (frames.size() == (together ? 2 : 3) ? answer(frames.first()) : QByteArray()) +
            answer(frame));
    };
    QVERIFY(r.startCounters());
    r.run(RequestRunner::StepTimer::DecodeInput);
    QCOMPARE(r.out.logLines,
             QStringList({"Reading device No. 7...", "Retry 1 of 1 for device 7",
                          "Late reply from device 7 to an earlier request ignored"}));
    QCOMPARE(frames.size(), 8);
    QCOMPARE(r.decoded.size(), 7);
    for (int step = 1; step <= 7; ++step) {
        const QByteArray frame = frames.at(step == 1 ? 1 : step);
        QCOMPARE(r.decoded.at(step - 1).first, step);
        QCOMPARE(r.decoded.at(step - 1).second, frame.left(2) + '\x02' + frame.mid(2, 2));
    }
    QCOMPARE(r.engine.lastSummary().answered, 7);
}

// Step 2 fails on every try; its answer comes late, in the window of step 3, whose reply has the
// same length: alone (step 3's own is lost or still queued), or followed by step 3's own. It is
// never decoded as step 3's values. Designed timing takes the whole window as one reply, which
// the late answer in front spoils; fast mode knows the device may still owe step 2's answers,
// and takes the first replies of that shape as theirs.
void TstRequestRunner::lateAnswerOfAFailedStep_data() {
    QTest::addColumn<bool>("fast");
    QTest::addColumn<bool>("followed");
    QTest::addColumn<int>("decoded");
    QTest::addColumn<int>("lateLines");
    QTest::newRow("designed, then step 3's own") << false << true << 6 << 0;
    // Both tries of step 2 may still be answered. Step 3's window took only late answers out,
    // so the device is behind; once the quiet has let it catch up, step 3's retry is answered.
    QTest::newRow("fast, alone") << true << false << 6 << 1;
    QTest::newRow("fast, then step 3's own") << true << true << 6 << 2;
}

void TstRequestRunner::lateAnswerOfAFailedStep() {
    QFETCH(bool, fast);
    QFETCH(bool, followed);
    QFETCH(int, decoded);
    QFETCH(int, lateLines);
    Rig r;
    r.engine.setRetries(1);
    r.engine.setFastReplies(fast);
    // A read of register r answered with the value r; the step's register is its number.
    const auto answer = [](int step) {
        QByteArray reply = QByteArray::fromHex("070302");
        reply += char(0);
        reply += char(step);
        appendCrc(reply);
        return reply;
    };
    int frames = 0;
    r.line.onFrame = [&](const QByteArray &frame) {
        ++frames;
        const int step = frame.at(3);
        if (step == 2)
            return;
        if (frames == 4)
            r.line.deliver(answer(2) + (followed ? answer(3) : QByteArray()));
        else
            r.line.deliver(answer(step));
    };
    QVERIFY(r.startCounters());
    r.run(RequestRunner::StepTimer::DecodeInput);
    QVERIFY(!r.engine.isBusy());
    for (const auto &[step, reply] : r.decoded)
        QCOMPARE(int(reply.at(4)), step);
    QCOMPARE(r.decoded.size(), decoded);
    QCOMPARE(r.out.logLines.count(QStringLiteral("Late reply from device 7 to an earlier request "
                                                 "ignored")),
             lateLines);
    // Step 3 needed its retry in every case.
    QCOMPARE(frames, 9);
}

// Whatever arrives while no request is in flight, or waits in the input when one is sent, is
// dropped and counted: never kept for the next request.
void TstRequestRunner::bytesBetweenRequestsAreDropped() {
    Rig r;
    QList<StepOutcome> outcomes;
    RequestRunner::Command flow = r.flow;
    flow.stepEnded = [&outcomes](const StepOutcome &outcome) { outcomes << outcome; };
    QByteArray stale = QByteArray::fromHex("0703020063");
    appendCrc(stale);
    // Between two commands, told by the port; then waiting in the input, untold.
    r.line.deliver(stale);
    r.engine.Comm1RxChar(int(stale.size()));
    QVERIFY(r.state.RxBuffer.isEmpty());
    r.line.deliver(QByteArray::fromHex("FF00") + stale);
    r.answerEveryFrame();
    QVERIFY(r.engine.run(flow));
    r.engine.Comm1RxChar(int(r.line.input.size()));
    r.engine.windowClosed();
    QCOMPARE(r.decoded.size(), 1);
    QCOMPARE(int(r.decoded.front().second.at(4)), 22);
    QCOMPARE(outcomes.size(), 1);
    QCOMPARE(outcomes.front().attempts.size(), std::size_t(1));
    QCOMPARE(outcomes.front().attempts.front().strayBytes, 2 * int(stale.size()) + 2);
    QCOMPARE(r.engine.strayBytes(), 2 * int(stale.size()) + 2);
    // Both went to the received-bytes log all the same.
    QVERIFY(r.out.trafficLines.contains(QStringLiteral("FFh 00h 07h 03h 02h 00h 63h ") +
                                        QString::fromLatin1(stale.right(2).toHex(' ').toUpper())
                                            .replace(QLatin1Char(' '), QLatin1String("h ")) +
                                        QStringLiteral("h ")));
}

// Fast mode: after a try that got only garbage, the retry waits until the line has been quiet
// for the settle time, and bytes that keep coming put it off.
void TstRequestRunner::quietLineAfterAFailure() {
    Rig r;
    r.engine.setFastReplies(true);
    r.engine.setRetries(1);
    QVERIFY(r.engine.settleTime() >= RequestRunner::kAdapterLatency);
    r.line.onFrame = [&r](const QByteArray &) { r.line.deliver(QByteArray::fromHex("0703AB")); };
    QVERIFY(r.startFlow());
    r.engine.Comm1RxChar(int(r.line.input.size()));
    QCOMPARE(r.line.frames.size(), 1);
    // The window closes on the garbage: the retry is due, but the line has just spoken.
    r.engine.windowClosed();
    QCOMPARE(r.out.logLines.last(), QStringLiteral("Retry 1 of 1 for device 7"));
    QCOMPARE(r.line.frames.size(), 1);
    QVERIFY(r.engine.timer(RequestRunner::Window::Response).isActive());
    r.line.deliver(QByteArray::fromHex("CDEF"));
    r.engine.Comm1RxChar(2);
    QCOMPARE(r.line.frames.size(), 1);
    QVERIFY(r.state.RxBuffer.isEmpty());
    // Quiet at last: the retry goes out, and its answer is taken once the line stays quiet
    // behind it, since the device may still owe the first try's.
    r.answerEveryFrame();
    r.engine.windowClosed();
    QCOMPARE(r.line.frames.size(), 2);
    r.engine.Comm1RxChar(int(r.line.input.size()));
    QCOMPARE(r.decoded.size(), 0);
    QVERIFY(r.engine.isBusy());
    r.engine.windowClosed();
    QCOMPARE(r.decoded.size(), 1);
    QVERIFY(!r.engine.isBusy());
}

// Fast mode, the send going out on its own thread: the reply is complete, and the first step's
// window (opened before the send) closed, before the send is reported done. The next step goes
// out as soon as that report comes, not at the step timer's next tick.
void TstRequestRunner::replyBeforeTheSendIsDone() {
    Rig r;
    r.engine.setFastReplies(true);
    QList<std::uint64_t> tickets;
    RequestRunner::Command command = r.counters;
    for (int step = 1; step <= 2; ++step) {
        command.steps[std::size_t(step - 1)].send = [&r, &tickets, step](int slave) {
            tickets << r.engine.sendQueued();
            QByteArray reply = QByteArray(1, char(slave)) + "\x03\x02" + char(0) + char(step);
            appendCrc(reply);
            r.line.deliver(reply);
            return std::optional(SentRequest{slave, 3});
        };
    }
    command.steps.resize(2);
    QVERIFY(r.engine.run(command));
    QCOMPARE(tickets.size(), 1);
    r.engine.Comm1RxChar(int(r.line.input.size()));
    QCOMPARE(r.decoded.size(), 1);
    QCOMPARE(tickets.size(), 1);
    r.engine.sendFinished(tickets.last(), true);
    QCOMPARE(tickets.size(), 2);
}

// Reply times of one address, in ms, one reply a step: the median and 95th percentile are of the
// latest replies kept, each a time that was measured; the maximum is of all of them.
void TstRequestRunner::lineStatisticsOfManyReplies_data() {
    QTest::addColumn<QList<int>>("times");
    QTest::addColumn<double>("median");
    QTest::addColumn<double>("p95");
    QTest::addColumn<double>("max");
    QTest::newRow("one") << QList<int>{7} << 7.0 << 7.0 << 7.0;
    QTest::newRow("even count, lower middle") << QList<int>{4, 1, 3, 2} << 2.0 << 4.0 << 4.0;
    QList<int> ramp;
    for (int ms = 1; ms <= 100; ++ms)
        ramp << ms;
    QTest::newRow("1 to 100") << ramp << 50.0 << 95.0 << 100.0;
    // A slow start, then more replies than are kept: the ring goes round, its first times give
    // way, the maximum stays.
    QList<int> wrapped{900, 900, 900};
    for (int i = 0; i < 2 * LineStatistics::kReplyTimesKept; ++i)
        wrapped << 10;
    QTest::newRow("ring gone round") << wrapped << 10.0 << 10.0 << 900.0;
}

void TstRequestRunner::lineStatisticsOfManyReplies() {
    QFETCH(QList<int>, times);
    QFETCH(double, median);
    QFETCH(double, p95);
    QFETCH(double, max);
    LineStatistics statistics;
    const QDateTime left = QDateTime::fromMSecsSinceEpoch(1'700'000'000'000, Qt::UTC);
    for (const int ms : times) {
        StepOutcome outcome;
        outcome.request.address = 9;
        // A silent try, then its retry answered; a broadcast besides, which has no row.
        Attempt silent;
        silent.number = 1;
        Attempt attempt;
        attempt.number = 2;
        attempt.verdict = ReplyVerdict::acceptedAt(5);
        attempt.leftAt = left;
        attempt.completedAt = left.addMSecs(ms);
        outcome.attempts = {silent, attempt};
        statistics.record(outcome);
        StepOutcome broadcast = outcome;
        broadcast.request.address = 0;
        statistics.record(broadcast);
    }
    const LinkCounts counts = statistics.counts(9);
    QCOMPARE(statistics.addresses(), QList<int>{9});
    QCOMPARE(counts.requests, 2 * times.size());
    QCOMPARE(counts.replies, times.size());
    QCOMPARE(counts.noReply, times.size());
    QCOMPARE(counts.retries, times.size());
    QCOMPARE(counts.replyPercent(), std::optional(50.0));
    QCOMPARE(counts.medianMs, std::optional(median));
    QCOMPARE(counts.p95Ms, std::optional(p95));
    QCOMPARE(counts.maxMs, std::optional(max));
}

QTEST_GUILESS_MAIN(TstRequestRunner)
#include "tst_request_runner.moc"
