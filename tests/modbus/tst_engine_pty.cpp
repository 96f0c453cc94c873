#include "check_response.h"
#include "crc16.h"
#include "engine_state.h"
#include "modbus_master.h"
#include "posix/posix_serial_os.h"
#include "pty_pair.h"
#include "recording_output.h"
#include "recording_serial_os.h"
#include "request_runner.h"
#include "send_frame.h"
#include "ser_comm.h"
#include "sleeper.h"

#include <QScopeGuard>
#include <QTest>

#include <linux/serial.h>

using namespace corvane;
using namespace std::chrono_literals;
using test::RecordingSerialOs;

Q_DECLARE_METATYPE(corvane::TSerDirection)

class TstEnginePty : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void replyReachesDecoderOfItsStep();
    void frameTiming_data();
    void frameTiming();
};

// A parameter read over a real port: the request leaves intact, a reply that comes in two
// pieces behind a turn-round zero reaches step 1's decoder whole, and the sequence ends.
void TstEnginePty::replyReachesDecoderOfItsStep() {
    // The far end of the line: the master side of a pseudo-terminal whose slave the port opens.
    test::PtyPair far;
    QVERIFY(far.isValid());
    TSerComm comm;
    comm.SetDeviceName(far.path());
    comm.SetBaudrate(br9600);
    comm.SetDirectWrite(true);
    EngineState state;
    test::RecordingOutput out;
    RequestRunner engine(state, comm, out, [] { return 1; });
    engine.setResponseTime(1500ms);
    comm.OnRxChar = [&engine](TSerCustomComm *, int count) { engine.Comm1RxChar(count); };
    ModbusMaster master(comm, defaultSleeper());
    master.setSendObserver(
        {[&engine] { return engine.sendQueued(); },
         [&engine](std::uint64_t ticket, bool ok) { engine.sendFinished(ticket, ok); }});
    QByteArrayList decoded;
    RequestRunner::Command read;
    read.stepTimer = RequestRunner::StepTimer::Read;
    read.steps.push_back(
        {[&master](int slave) { return std::optional(master.SendReadHolding(slave, 0x8000, 8)); },
         [&decoded](const ModbusReply &reply) {
             decoded << QByteArray(1, char(reply.address)) + char(reply.function) + reply.payload;
         },
         true});
    read.onStart = [&out] { out.log(QStringLiteral("Reading device No. 1...")); };
    read.onEnd = [&out] { out.setCommandEnabled(DeviceView::Command::Read, true); };
    comm.OpenPort();

    QVERIFY(engine.run(read));
    QCOMPARE(far.receive(8).toHex(' '), QByteArray("01 03 80 00 00 08 6d cc"));

    QByteArray reply = QByteArray::fromHex("010310"
                                           "00010002000300040005000600070008");
    appendCrc(reply);
    QVERIFY(far.send(QByteArray(1, '\0') + reply.left(7)));
    QTRY_COMPARE(state.RxBuffer.size(), 7);
    QVERIFY(far.send(reply.mid(7)));

    QTRY_COMPARE_WITH_TIMEOUT(decoded.size(), 1, 5000);
    QCOMPARE(decoded.front().toHex(' '), reply.chopped(2).toHex(' '));
    QTRY_VERIFY_WITH_TIMEOUT(out.isEnabled(QStringLiteral("BitBtn1")), 10000);
    QCOMPARE(out.logLines, QStringList{QStringLiteral("Reading device No. 1...")});
    comm.ClosePort();
}

void TstEnginePty::frameTiming_data() {
    QTest::addColumn<bool>("fast");
    QTest::addColumn<TSerDirection>("direction");
    QTest::addColumn<bool>("grant");
    QTest::addColumn<bool>("keyed");
    QTest::newRow("designed") << false << sdKeyedRts << false << true;
    QTest::newRow("fast") << true << sdKeyedRts << false << true;
    QTest::newRow("fast, driver's RS-485 mode") << true << sdDriverRs485 << true << false;
    // A pseudo-terminal has no RS-485 mode: the port still opens, keyed by RTS.
    QTest::newRow("fast, RS-485 mode refused") << true << sdDriverRs485 << false << true;
    QTest::newRow("designed, adapter") << false << sdAdapter << false << false;
}

// Two reads on a pseudo-terminal at 9600 8N1, with the far end answering the first, as the OS
// layer sees them: RTS, each write and each read with its moment. Fast mode writes each frame in
// one go, at least 3.5 character times after the last byte received and at least a character
// after RTS rose; the designed timing raises RTS 50 ms ahead and writes byte by byte 2 ms apart.
// Only the keyed directions touch RTS at all.
void TstEnginePty::frameTiming() {
    QFETCH(bool, fast);
    QFETCH(TSerDirection, direction);
    QFETCH(bool, grant);
    QFETCH(bool, keyed);
    test::PtyPair far;
    QVERIFY(far.isValid());
    RecordingSerialOs os;
    os.grantRs485 = grant;
    TSerComm comm(os);
    comm.SetDeviceName(far.path());
    comm.SetBaudrate(br9600);
    comm.SetDirectWrite(true);
    comm.SetDirection(direction);
    comm.OpenPort();
    const auto close = qScopeGuard([&comm] { comm.ClosePort(); });
    QCOMPARE(comm.keysRts(), keyed);
    QCOMPARE(comm.Rs485Refusal().isEmpty(), direction != sdDriverRs485 || grant);
    if (direction == sdDriverRs485) {
        QCOMPARE(os.events().size(), std::size_t(1));
        const SerRs485 asked = os.events().front().mode;
        QCOMPARE(asked, (SerRs485{true, true}));
        // What the kernel is told: RS-485 on, RTS raised while sending.
        QCOMPARE(posix::posixRs485Flags(asked),
                 std::uint32_t(SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND));
    }
    ModbusMaster master(comm, defaultSleeper());
    master.setWholeFrames(fast);
    const auto silence = interFrameSilence(comm.lineTiming());
    QCOMPARE(silence, 3646us);

    os.clear();
    master.SendReadHolding(1, 0x8000, 1);
    QCOMPARE(far.receive(8).size(), 8);
    QVERIFY(far.send(QByteArray::fromHex("010302000179840000")));
    QTRY_VERIFY(comm.InputQueued() > 0);
    char reply[64];
    QVERIFY(comm.ReadBytes(reply, sizeof reply) > 0);
    master.SendReadHolding(1, 0x8008, 1);
    QCOMPARE(far.receive(8).size(), 8);

    std::vector<RecordingSerialOs::Event> events = os.events();
    QString kinds;
    for (const auto &e : events)
        kinds += QStringLiteral("URWrM").at(int(e.kind));
    const QString write = fast ? QStringLiteral("W") : QStringLiteral("WWWWWWWW");
    const QString frame = keyed ? QLatin1Char('U') + write + QLatin1Char('R') : write;
    QCOMPARE(kinds, frame + QLatin1Char('r') + frame);
    const auto at = [&events](std::size_t i) { return events[i].at; };
    const std::size_t second = std::size_t(frame.size()) + 1;
    for (const std::size_t start : {std::size_t(0), second}) {
        const std::size_t firstWrite = start + (keyed ? 1 : 0);
        // The first frame follows a line that never spoke: the whole silence after RTS.
        const auto lead = !fast        ? std::chrono::microseconds(50ms)
                          : start == 0 ? silence
                                       : characterTime(comm.lineTiming());
        if (keyed)
            QVERIFY(at(firstWrite) - at(start) >= lead);
        if (fast)
            QCOMPARE(events[firstWrite].bytes, 8);
        for (std::size_t i = firstWrite + 1; !fast && i < firstWrite + 8; ++i)
            QVERIFY(at(i) - at(i - 1) >= 2ms);
    }
    if (fast)
        QVERIFY(at(second + (keyed ? 1 : 0)) - at(second - 1) >= silence);
}

QTEST_GUILESS_MAIN(TstEnginePty)
#include "tst_engine_pty.moc"
