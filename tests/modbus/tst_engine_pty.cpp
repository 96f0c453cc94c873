#include "check_response.h"
#include "crc16.h"
#include "engine_state.h"
#include "modbus_master.h"
#include "pty_pair.h"
#include "recording_output.h"
#include "request_runner.h"
#include "ser_comm.h"
#include "sleeper.h"

#include <QTest>

using namespace corvane;
using namespace std::chrono_literals;

class TstEnginePty : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void replyReachesDecoderOfItsStep();
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

QTEST_GUILESS_MAIN(TstEnginePty)
#include "tst_engine_pty.moc"
