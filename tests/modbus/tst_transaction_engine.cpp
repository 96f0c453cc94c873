#include "crc16.h"
#include "engine_state.h"
#include "error_display.h"
#include "fake_serial_line.h"
#include "frames.h"
#include "recording_output.h"
#include "send_frame.h"
#include "transaction_engine.h"

#include <QScopeGuard>
#include <QTest>

#include <stdexcept>

using namespace corvane;
using test::FakeSerialLine;
using Kind = FakeSerialLine::Kind;

namespace {

const QString kNoResponse = QStringLiteral("No response from device 7\r");

// An engine whose steps send a read of one register numbered after the step, and whose
// decoders note which step got which reply. A responder, when set, answers every frame.
struct Rig {
    EngineState state;
    FakeSerialLine line;
    test::RecordingOutput out;
    TransactionEngine engine{state, line, out, [] { return 7; }};
    QString model = QStringLiteral("QTR-8D");
    QList<QPair<int, QByteArray>> decoded;
    int readFinished = 0;

    Rig() {
        const auto sender = [this](int step) {
            return [this, step](int slave) {
                if (!present(step))
                    return false;
                SendFrame(line, line, readHoldingFrame(slave, step, 1), kPreSendDelay);
                return true;
            };
        };
        const auto decoder = [this](int step) {
            return [this, step](const QByteArray &reply) { decoded.append({step, reply}); };
        };
        for (int step = 1; step <= 21; ++step)
            engine.setReadStep(step, sender(step), decoder(step));
        for (const int step : {1, 2, 3, 4, 5, 6, 7, 8, 22})
            engine.setMeasureStep(step, sender(step), decoder(step));
        engine.setReadFinished([this] { ++readFinished; });
    }

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

    // Plays the timers in order, as the event loop would: received bytes, window, step tick.
    void run(const QTimer &stepTimer) {
        for (int ticks = 0; stepTimer.isActive() && ticks < 100; ++ticks) {
            if (!line.input.isEmpty())
                engine.Comm1RxChar(int(line.input.size()));
            if (engine.responseTimer().isActive())
                engine.Timer_responseTimer();
            if (engine.responseProgramTimer().isActive())
                engine.Timer_response_programTimer();
            if (&stepTimer == &engine.writeTimer())
                engine.Timer_writeTimer();
            else if (&stepTimer == &engine.readTimer())
                engine.Timer_readTimer();
            else
                engine.Timer_decode_inputTimer();
        }
    }
};

} // namespace

class TstTransactionEngine : public QObject {
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
};

void TstTransactionEngine::receivePath_data() {
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

void TstTransactionEngine::receivePath() {
    QFETCH(bool, skip);
    QFETCH(QByteArrayList, events);
    QFETCH(QByteArray, buffer);
    QFETCH(QStringList, traffic);
    Rig r;
    r.state.SkipLeadingZero = skip;
    for (const QByteArray &event : events) {
        r.line.deliver(event);
        r.engine.Comm1RxChar(int(event.size()));
    }
    QCOMPARE(r.state.RxBuffer.toHex(), buffer.toHex());
    QCOMPARE(r.out.trafficLines, traffic);
}

void TstTransactionEngine::largeEventReadInPieces_data() {
    QTest::addColumn<int>("announced");
    QTest::addColumn<int>("queued");
    QTest::addColumn<QString>("reads");
    QTest::newRow("1500 bytes") << 1500 << 1500 << "read 1024 read 476";
    QTest::newRow("fewer queued than announced") << 3000 << 1100 << "read 1024 read 1024";
    QTest::newRow("port gone") << 50 << 0 << "read 50";
}

void TstTransactionEngine::largeEventReadInPieces() {
    QFETCH(int, announced);
    QFETCH(int, queued);
    QFETCH(QString, reads);
    Rig r;
    r.line.deliver(QByteArray(queued, '\x5A'));
    r.engine.Comm1RxChar(announced);
    QCOMPARE(r.line.timeline(), reads);
    QCOMPARE(r.state.RxBuffer, QByteArray(queued, '\x5A'));
    QCOMPARE(r.out.trafficLines.size(), 1);
    QCOMPARE(r.out.trafficLines.front().size(), 4 * queued);
}

void TstTransactionEngine::readSequence_data() {
    QTest::addColumn<QString>("model");
    QTest::addColumn<bool>("answering");
    QTest::addColumn<int>("requests");
    QTest::newRow("8D silent") << "QTR-8D" << false << 21;
    QTest::newRow("6D silent") << "QTR-6D" << false << 19;
    QTest::newRow("4D silent") << "QTR-4D" << false << 17;
    QTest::newRow("8D answering") << "QTR-8D" << true << 21;
    QTest::newRow("4D answering") << "QTR-4D" << true << 17;
}

void TstTransactionEngine::readSequence() {
    QFETCH(QString, model);
    QFETCH(bool, answering);
    QFETCH(int, requests);
    Rig r;
    r.model = model;
    if (answering)
        r.answerEveryFrame();
    QVERIFY(r.engine.startRead());
    QCOMPARE(r.out.logLines.front(), QStringLiteral("Reading device No. 7..."));
    QVERIFY(!r.out.isEnabled(QStringLiteral("BitBtn1")));
    r.run(r.engine.readTimer());

    QCOMPARE(r.line.frames.size(), requests);
    QCOMPARE(r.out.logLines.count(kNoResponse), answering ? 0 : requests);
    QCOMPARE(r.decoded.size(), answering ? requests : 0);
    for (const auto &[step, reply] : r.decoded) {
        // Each reply reaches the decoder of the step that asked, without its leading zero.
        QCOMPARE(int(reply.at(4)), step);
        QCOMPARE(reply.at(0), '\x07');
    }
    QCOMPARE(r.out.trafficLines.count(QStringLiteral("\r")), answering ? requests : 0);
    QCOMPARE(r.state.ReadStep, TransactionEngine::kReadEndStep);
    QCOMPARE(r.readFinished, 1);
    QVERIFY(r.out.isEnabled(QStringLiteral("BitBtn1")));
    QVERIFY(r.state.RxBuffer.isEmpty());
    QVERIFY(!r.engine.isBusy());
}

void TstTransactionEngine::countersAndSingleReads() {
    Rig r;
    QVERIFY(r.engine.startCounters());
    QVERIFY(!r.out.isEnabled(QStringLiteral("BitBtn6")));
    r.run(r.engine.decodeInputTimer());
    QCOMPARE(r.line.frames.size(), 7);
    QCOMPARE(r.out.logLines.count(kNoResponse), 7);
    QCOMPARE(r.state.MeasureStep, TransactionEngine::kMeasureEndStep);
    QVERIFY(r.out.isEnabled(QStringLiteral("BitBtn6")));

    // The flow window gives its button back with or without a reply; input status has none.
    for (const bool answering : {false, true}) {
        if (answering)
            r.answerEveryFrame();
        QVERIFY(r.engine.startFlow());
        QVERIFY(!r.out.isEnabled(QStringLiteral("BitBtn31")));
        if (!r.line.input.isEmpty())
            r.engine.Comm1RxChar(int(r.line.input.size()));
        r.engine.Timer_responseTimer();
        QVERIFY(r.out.isEnabled(QStringLiteral("BitBtn31")));
    }
    QCOMPARE(r.decoded.size(), 1);
    QCOMPARE(r.decoded.front().first, TransactionEngine::kFlowStep);
    QVERIFY(r.engine.startInputStatus());
    QVERIFY(r.engine.responseTimer().isActive());
    QCOMPARE(r.state.MeasureStep, TransactionEngine::kInputStatusStep);
}

void TstTransactionEngine::writeSequence() {
    Rig r;
    // Steps 1 to 4 send; the rest are unticked. Replies: silence, an acknowledgement, bad CRC,
    // an acknowledgement from another device.
    QByteArray ack = QByteArray::fromHex("071080000008");
    appendCrc(ack);
    QByteArray otherAck = QByteArray::fromHex("021080000008");
    appendCrc(otherAck);
    const QByteArrayList replies{{}, ack, QByteArray::fromHex("0110FFFF"), otherAck};
    for (int step = 1; step <= 4; ++step) {
        r.engine.setWriteStep(step, [&r, &replies, step](int slave) {
            SendFrame(r.line, r.line, writeMultipleFrame(slave, 0x8000, 4, {}), kPreSendDelay);
            r.state.RequestAddress = slave;
            r.line.deliver(replies.at(step - 1));
            return true;
        });
    }
    r.engine.setWriteStep(5, [](int) { return false; });
    QVERIFY(r.engine.startWrite());
    QVERIFY(r.line.frames.isEmpty());
    r.run(r.engine.writeTimer());
    QCOMPARE(r.line.frames.size(), 4);
    QCOMPARE(r.out.logLines,
             (QStringList{kNoResponse, QStringLiteral("Error in CRC field\r"),
                          QStringLiteral("Reply from device 2 ignored (request went to device 7)"),
                          kNoResponse}));
    QCOMPARE(r.out.status.value(StatusPanel::Progress),
             QStringLiteral("No response from device 7"));
    QCOMPARE(r.line.count(Kind::InputRoom), 21);
    QCOMPARE(r.state.WriteStep, TransactionEngine::kWriteEndStep);
    QVERIFY(r.state.WriteResponseReady);
    QVERIFY(r.out.isEnabled(QStringLiteral("BitBtn2")));
    QVERIFY(!r.engine.isBusy());
}

void TstTransactionEngine::busyRule_data() {
    QTest::addColumn<int>("running"); // a command below, or 5: the service page's own timers
    QTest::addColumn<int>("attempt");
    const char *names[] = {"read", "counters", "flow", "input status", "write", "service page"};
    for (int running = 0; running < 6; ++running) {
        for (int attempt = 0; attempt < 5; ++attempt)
            QTest::addRow("%s running, %s refused", names[running], names[attempt])
                << running << attempt;
    }
}

void TstTransactionEngine::busyRule() {
    QFETCH(int, running);
    QFETCH(int, attempt);
    Rig r;
    bool serviceBusy = running == 5;
    r.engine.addBusyCheck([&serviceBusy] { return serviceBusy; });
    const std::function<bool()> starts[] = {
        [&] { return r.engine.startRead(); }, [&] { return r.engine.startCounters(); },
        [&] { return r.engine.startFlow(); }, [&] { return r.engine.startInputStatus(); },
        [&] { return r.engine.startWrite(); }};
    if (running < 5)
        QVERIFY(starts[running]());
    const EngineState before = r.state;
    const int frames = int(r.line.frames.size());
    r.out.logLines.clear();

    QVERIFY(!starts[attempt]());
    QCOMPARE(r.out.logLines,
             QStringList{QStringLiteral("Another request is in progress, please wait...")});
    QCOMPARE(r.line.frames.size(), frames);
    QCOMPARE(r.state.MeasureStep, before.MeasureStep);
    QCOMPARE(r.state.ReadStep, before.ReadStep);
    QCOMPARE(r.state.WriteStep, before.WriteStep);

    // Once the running command has ended, the same command is accepted.
    serviceBusy = false;
    r.run(r.engine.readTimer());
    r.run(r.engine.decodeInputTimer());
    r.run(r.engine.writeTimer());
    if (r.engine.responseTimer().isActive())
        r.engine.Timer_responseTimer();
    QVERIFY(starts[attempt]());
}

void TstTransactionEngine::faultsDoNotStrandACommand() {
    Rig r;
    QStringList errors;
    setErrorSink([&errors](const QString &message) { errors << message; });
    const auto restoreSink = qScopeGuard([] { setErrorSink({}); });

    // A write step whose value cannot be converted sends nothing; the next tick moves on.
    r.engine.setWriteStep(1,
                          [](int) -> bool { throw std::invalid_argument("'x' is not a number"); });
    QVERIFY(r.engine.startWrite());
    r.engine.Timer_writeTimer();
    QVERIFY(!r.engine.responseProgramTimer().isActive());
    QCOMPARE(errors, QStringList{"'x' is not a number"});
    QVERIFY(!r.state.SkipLeadingZero);

    // The port failing its status query at the end still gives the button back.
    r.line.fault = [](Kind kind) {
        if (kind == Kind::InputRoom)
            throw std::runtime_error("Error retrieving statistics");
    };
    r.run(r.engine.writeTimer());
    QVERIFY(r.out.isEnabled(QStringLiteral("BitBtn2")));
    QVERIFY(!r.engine.isBusy());

    // A flow request that fails on the wire still opens its window, which ends the command.
    r.line.fault = [](Kind kind) {
        if (kind == Kind::Byte)
            throw std::runtime_error("Write error");
    };
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, r.engine.startFlow());
    QVERIFY(r.engine.responseTimer().isActive());
    r.engine.Timer_responseTimer();
    QVERIFY(r.out.isEnabled(QStringLiteral("BitBtn31")));
}

void TstTransactionEngine::closedPortStopsTheCommand_data() {
    QTest::addColumn<int>("command");
    QTest::addColumn<QString>("button"); // the one the command greys, if any
    QTest::newRow("read") << 0 << "BitBtn1";
    QTest::newRow("counters") << 1 << "BitBtn6";
    QTest::newRow("flow") << 2 << "BitBtn31";
    QTest::newRow("input status") << 3 << QString();
    QTest::newRow("write") << 4 << "BitBtn2";
}

void TstTransactionEngine::closedPortStopsTheCommand() {
    QFETCH(int, command);
    QFETCH(QString, button);
    Rig r;
    QVERIFY(!r.engine.stopForClosedPort());
    const std::function<bool()> starts[] = {
        [&] { return r.engine.startRead(); }, [&] { return r.engine.startCounters(); },
        [&] { return r.engine.startFlow(); }, [&] { return r.engine.startInputStatus(); },
        [&] { return r.engine.startWrite(); }};
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

QTEST_GUILESS_MAIN(TstTransactionEngine)
#include "tst_transaction_engine.moc"
