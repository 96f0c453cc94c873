#include "crc16.h"
#include "hex_frame.h"
#include "fake_serial_line.h"
#include "frames.h"
#include "modbus_master.h"

#include <QTest>

#include <stdexcept>

using namespace corvane;
using namespace corvane::test;
using test::FakeSerialLine;

namespace {

struct Bench {
    FakeSerialLine line;
    ModbusMaster master{line, line};
};

} // namespace

Q_DECLARE_METATYPE(corvane::SerialLine::LineTiming)

class TstFrames : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void frames_data();
    void frames();
    void malformedFramesAreNotBuilt();
    void sendFrameTiming_data();
    void sendFrameTiming();
};

void TstFrames::frames_data() {
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("read holding") << readHoldingFrame(1, 0x8000, 8)
                                  << QByteArray::fromHex("0103800000086DCC");
    QTest::newRow("read input") << readInputFrame(1, 0, 16)
                                << QByteArray::fromHex("010400000010F1C6");
    QTest::newRow("service query")
        << serviceQueryFrame(1, 2) << QByteArray::fromHex("01470200B0AD");
    QTest::newRow("device id") << readDeviceIdFrame(1, 2) << QByteArray::fromHex("012B0E02007087");
    QTest::newRow("read file record")
        << readFileRecordFrame(1, 10, 0, 6) << QByteArray::fromHex("01140706000A00000006E127");
    QTest::newRow("write single low")
        << writeSingleFrame(3, 0x8011, 5, 1) << withCrc("030680110005");
    QTest::newRow("write single high")
        << writeSingleFrame(3, 0x8010, 5, 2) << withCrc("030680100500");
    QTest::newRow("write single other")
        << writeSingleFrame(3, 0x8010, 5, 3) << withCrc("030680100000");
    QTest::newRow("write single value cut to a byte")
        << writeSingleFrame(3, 0x8015, 0x1FF, 1) << withCrc("0306801500FF");
    QTest::newRow("write file record") << writeFileRecordFrame(250, 10, 7, QByteArray("AB\0\0", 4))
                                       << withCrc("FA150B06000A000700024142"
                                                  "0000");
    QTest::newRow("clock") << clockFrame(1, QByteArray::fromHex("3C460905"))
                           << withCrc("01108012000204"
                                      "3C460905");
    QTest::newRow("write multiple padded") << writeMultipleFrame(1, 0x8000, 4, "\x01\x02")
                                           << withCrc("01108000000408"
                                                      "0102000000000000");
    QTest::newRow("service command")
        << serviceCommandFrame(1, 0x19, "\x01") << withCrc("0147190101");
}

void TstFrames::frames() {
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, expected);
    QCOMPARE(frame.toHex(' '), expected.toHex(' '));
}

void TstFrames::malformedFramesAreNotBuilt() {
    QVERIFY(writeFileRecordFrame(1, 10, 0, "ABC").isEmpty());
    QVERIFY(writeFileRecordFrame(1, 10, 0, {}).isEmpty());
    QVERIFY(writeFileRecordFrame(1, 10, 0, QByteArray(14, 'x')).isEmpty());
    QVERIFY(writeMultipleFrame(1, 0x8000, 17, {}).isEmpty());
    QCOMPARE(writeMultipleFrame(1, 0x8000, 16, QByteArray(40, 'x')).size(), kMaxFrameLength);
}

void TstFrames::sendFrameTiming_data() {
    QTest::addColumn<int>("operation");
    QTest::addColumn<bool>("whole");
    QTest::addColumn<SerialLine::LineTiming>("line");
    QTest::addColumn<bool>("keyed");
    QTest::addColumn<int>("heard"); // the line tells nothing, went quiet long ago, or just now
    QTest::addColumn<QString>("timeline");
    const SerialLine::LineTiming n9600{9600, 10};
    QTest::newRow("read holding") << 0 << false << n9600 << true << 0
                                  << "rts+ 50ms 8*(byte 2ms) rts-";
    QTest::newRow("read input") << 1 << false << n9600 << true << 0
                                << "rts+ 50ms 8*(byte 2ms) rts- OutputRoom";
    QTest::newRow("write single") << 2 << false << n9600 << true << 0 << "rts+ 8*(byte 2ms) rts-";
    QTest::newRow("clock") << 3 << false << n9600 << true << 0
                           << "InputRoom OutputRoom rts+ 10ms 13*(byte 2ms) rts-";
    // Fast mode: 3.5 characters of silence, one write, and RTS held until the line has drained.
    QTest::newRow("read holding whole")
        << 0 << true << n9600 << true << 0 << "rts+ 3646us block 8 drain rts-";
    QTest::newRow("read input whole")
        << 1 << true << n9600 << true << 0 << "rts+ 3646us block 8 drain rts- OutputRoom";
    QTest::newRow("write single whole")
        << 2 << true << n9600 << true << 0 << "rts+ 3646us block 8 drain rts-";
    QTest::newRow("clock whole") << 3 << true << n9600 << true << 0
                                 << "InputRoom OutputRoom rts+ 3646us block 13 drain rts-";
    QTest::newRow("19200 even whole") << 0 << true << SerialLine::LineTiming{19200, 11} << true << 0
                                      << "rts+ 2006us block 8 drain rts-";
    QTest::newRow("38400 whole: fixed silence") << 0 << true << SerialLine::LineTiming{38400, 11}
                                                << true << 0 << "rts+ 1750us block 8 drain rts-";
    QTest::newRow("unknown line whole")
        << 0 << true << SerialLine::LineTiming{} << true << 0 << "rts+ 4011us block 8 drain rts-";
    // The driver or the adapter turns the line round: the pauses stay, RTS is left alone.
    QTest::newRow("not keyed") << 0 << false << n9600 << false << 0 << "50ms 8*(byte 2ms)";
    QTest::newRow("not keyed whole") << 0 << true << n9600 << false << 0 << "3646us block 8 drain";
    // The silence is owed to the last frame on the line: long quiet, only one character is left for
    // the transceiver after RTS rises; a byte heard just now, the whole silence.
    const SerialLine::LineTiming n38400{38400, 11};
    QTest::newRow("whole, line quiet long since")
        << 0 << true << n38400 << true << 1 << "rts+ 287us block 8 drain rts-";
    QTest::newRow("whole, reply just heard")
        << 0 << true << n38400 << true << 2 << "rts+ 1750us block 8 drain rts-";
    QTest::newRow("designed, line quiet long since")
        << 0 << false << n9600 << true << 1 << "rts+ 50ms 8*(byte 2ms) rts-";
}

void TstFrames::sendFrameTiming() {
    QFETCH(int, operation);
    QFETCH(bool, whole);
    QFETCH(SerialLine::LineTiming, line);
    QFETCH(bool, keyed);
    QFETCH(int, heard);
    QFETCH(QString, timeline);
    Bench b;
    b.line.timing = line;
    b.line.keyed = keyed;
    const auto now = std::chrono::steady_clock::now();
    // "Just now" lies ahead, so that the figure does not depend on how fast the test runs.
    if (heard == 1)
        b.line.quiet = now - std::chrono::hours(1);
    else if (heard == 2)
        b.line.quiet = now + std::chrono::hours(1);
    b.master.setWholeFrames(whole);
    const std::function<void()> operations[] = {
        [&] { b.master.SendReadHolding(1, 0x8000, 8); }, [&] { b.master.SendReadInput(1, 0, 16); },
        [&] { b.master.SendWriteSingle(1, 0x8011, 9, 1); },
        [&] { b.master.SendWriteClock(1, QByteArray::fromHex("3C460905")); }};
    operations[operation]();
    QCOMPARE(b.line.timeline(), timeline);
    if (keyed) {
        QCOMPARE(b.line.frames.size(), 1);
        QCOMPARE(Crc16(b.line.frames.front()), 0); // written in order, CRC low byte first
    }
}

QTEST_GUILESS_MAIN(TstFrames)
#include "tst_frames.moc"
