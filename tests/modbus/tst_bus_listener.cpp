// The listener on a pseudo-terminal with the real serial component: the test plays the line at
// the far end, and the serial layer records every write and every RTS change the listener makes.
#include "bus_listener.h"
#include "crc16.h"
#include "hex_frame.h"
#include "pty_pair.h"
#include "recording_serial_os.h"

#include <QSignalSpy>
#include <QTest>

using namespace corvane;
using namespace corvane::test;

namespace {

const QByteArray kRequest = withCrc("010380080004");
const QByteArray kReply = withCrc("010308000A0014001E0028");
const QByteArray kBroadcast = withCrc("00108012000204"
                                      "3C460905");

using Kind = RecordingSerialOs::Kind;

int eventsOf(const RecordingSerialOs &os, Kind kind) {
    int count = 0;
    for (const auto &event : os.events())
        count += event.kind == kind ? 1 : 0;
    return count;
}

} // namespace

class TstBusListener : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void hearsWithoutSending_data();
    void hearsWithoutSending();
    void portThatCannotBeOpened();
    void lostDeviceEndsTheListening();
};

void TstBusListener::hearsWithoutSending_data() {
    QTest::addColumn<QList<QByteArray>>("writes");
    QTest::addColumn<QStringList>("verdicts");
    QTest::addColumn<QStringList>("roles");
    QTest::newRow("request, then reply") << QList<QByteArray>{kRequest, kReply} << QStringList{"ok"}
                                         << QStringList{"request", "reply"};
    QTest::newRow("all in one write")
        << QList<QByteArray>{kBroadcast + kRequest + kReply + QByteArray::fromHex("FFFF")}
        << QStringList{"broadcast", "ok", "noise"}
        << QStringList{"request", "request", "reply", "noise"};
    QTest::newRow("byte by byte") << QList<QByteArray>{kRequest.left(1), kRequest.mid(1, 3),
                                                       kRequest.mid(4), kReply}
                                  << QStringList{"ok"} << QStringList{"request", "reply"};
    QTest::newRow("a request nobody answers")
        << QList<QByteArray>{kRequest} << QStringList{"no reply"} << QStringList{"request"};
}

// Whatever the line carries, the far end hears nothing from the listener, and the serial layer
// was never asked to write, to raise RTS or to turn the driver's RS-485 mode on.
void TstBusListener::hearsWithoutSending() {
    QFETCH(QList<QByteArray>, writes);
    QFETCH(QStringList, verdicts);
    QFETCH(QStringList, roles);
    PtyPair pty;
    QVERIFY(pty.isValid());
    RecordingSerialOs os;
    BusListener listener(os);
    QStringList heard;
    QStringList taken;
    connect(&listener, &BusListener::exchangeHeard, this,
            [&heard](const HeardExchange &e) { heard << verdictText(e); });
    connect(&listener, &BusListener::frameHeard, this,
            [&taken](const HeardFrame &, FrameRole role) { taken << frameRoleText(role); });
    QString failure;
    QVERIFY2(listener.start({pty.path(), 19200, QStringLiteral("Even"), 2}, &failure),
             qPrintable(failure));
    QVERIFY(listener.isListening());
    QCOMPARE(listener.port().settingsText(), QStringLiteral("19200 Even, 2 stop bits"));
    for (const QByteArray &bytes : writes)
        QVERIFY(pty.send(bytes));
    QTRY_COMPARE_WITH_TIMEOUT(heard, verdicts, 10000);
    QCOMPARE(taken, roles);
    listener.stop();
    QVERIFY(!listener.isListening());

    QCOMPARE(pty.drain(), QByteArray());
    QCOMPARE(eventsOf(os, Kind::Write), 0);
    QCOMPARE(eventsOf(os, Kind::RtsUp), 0);
    QCOMPARE(eventsOf(os, Kind::Rs485), 0);
    QVERIFY(eventsOf(os, Kind::Read) > 0);
}

void TstBusListener::portThatCannotBeOpened() {
    BusListener listener;
    QString failure;
    QVERIFY(!listener.start({QStringLiteral("/dev/corvane-no-such-port")}, &failure));
    QCOMPARE(failure,
             QStringLiteral("Port /dev/corvane-no-such-port could not be opened: not found"));
    QVERIFY(!listener.isListening());
}

// The far end goes away: the exchange still waiting comes out, and the listening ends once.
void TstBusListener::lostDeviceEndsTheListening() {
    auto pty = std::make_unique<PtyPair>();
    BusListener listener;
    QSignalSpy lost(&listener, &BusListener::lineLost);
    QSignalSpy frames(&listener, &BusListener::frameHeard);
    QStringList heard;
    connect(&listener, &BusListener::exchangeHeard, this,
            [&heard](const HeardExchange &e) { heard << verdictText(e); });
    QString failure;
    QVERIFY2(listener.start({pty->path()}, &failure), qPrintable(failure));
    QVERIFY(pty->send(kRequest));
    QTRY_COMPARE(frames.size(), 1);
    pty.reset();
    QVERIFY(lost.wait(10000));
    QCOMPARE(lost.size(), 1);
    QVERIFY(!listener.isListening());
    QCOMPARE(heard, QStringList{"no reply"});
}

QTEST_GUILESS_MAIN(TstBusListener)
#include "tst_bus_listener.moc"
