#include "crc16.h"
#include "engine_state.h"
#include "fake_serial_line.h"
#include "frames.h"
#include "modbus_master.h"
#include "recording_output.h"

#include <QTest>

#include <stdexcept>

using namespace corvane;
using test::FakeSerialLine;

namespace {

QByteArray withCrc(const char *hex) {
    QByteArray frame = QByteArray::fromHex(hex);
    appendCrc(frame);
    return frame;
}

struct Bench {
    FakeSerialLine line;
    test::RecordingOutput out;
    EngineState state;
    QString model = QStringLiteral("QTR-8D");
    ModbusMaster master{line, line, out, state, [this] { return model; }};
};

} // namespace

Q_DECLARE_METATYPE(corvane::ServiceControls)

class TstFrames : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void frames_data();
    void frames();
    void malformedFramesAreNotBuilt();
    void sendFrameTiming_data();
    void sendFrameTiming();
    void writeMultipleCounts_data();
    void writeMultipleCounts();
    void serviceCommands_data();
    void serviceCommands();
    void serviceRejections_data();
    void serviceRejections();
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
    QTest::addColumn<QString>("timeline");
    QTest::newRow("read holding") << 0 << "rts+ 50ms 8*(byte 2ms) rts-";
    QTest::newRow("read input") << 1 << "rts+ 50ms 8*(byte 2ms) rts- OutputRoom";
    QTest::newRow("write single") << 2 << "rts+ 8*(byte 2ms) rts-";
    QTest::newRow("clock") << 3 << "InputRoom OutputRoom rts+ 10ms 13*(byte 2ms) rts-";
}

void TstFrames::sendFrameTiming() {
    QFETCH(int, operation);
    QFETCH(QString, timeline);
    Bench b;
    const std::function<void()> operations[] = {
        [&] { b.master.SendReadHolding(1, 0x8000, 8); }, [&] { b.master.SendReadInput(1, 0, 16); },
        [&] { b.master.SendWriteSingle(1, 0x8011, 9, 1); },
        [&] { b.master.SendWriteClock(1, QByteArray::fromHex("3C460905")); }};
    operations[operation]();
    QCOMPARE(b.line.timeline(), timeline);
    QCOMPARE(b.line.frames.size(), 1);
    QCOMPARE(Crc16(b.line.frames.front()), 0); // written in order, CRC low byte first
    QCOMPARE(b.state.SkipLeadingZero, operation == 3);
}

void TstFrames::writeMultipleCounts_data() {
    QTest::addColumn<QString>("model");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("frameLength"); // 0: refused
    for (const char *model : {"QTR-8D", "QTR-6D", "QTR-4D", ""}) {
        const QString m = QLatin1String(model);
        const bool eight = m == QLatin1String("QTR-8D") || m == QLatin1String("QTR-4D");
        const QByteArray name = QByteArray(*model ? model : "no model") + " x";
        for (const int count : {0, 2, 4, 6, 8, 10, 12, 16, 32}) {
            int length = 0;
            if (count == 4 || count == 6 || count == 12 || count == 16 || (count == 8 && eight))
                length = 9 + 2 * count;
            QTest::newRow(name + QByteArray::number(count)) << m << count << length;
        }
    }
}

void TstFrames::writeMultipleCounts() {
    QFETCH(QString, model);
    QFETCH(int, count);
    QFETCH(int, frameLength);
    Bench b;
    b.model = model;
    QCOMPARE(b.master.SendWriteMultiple(2, 0x8000, count, QByteArray(2 * count, '\1')),
             frameLength > 0);
    if (frameLength == 0) {
        QVERIFY(b.line.events.empty());
        QCOMPARE(b.out.logLines, QStringList{QStringLiteral("Not allowable register count!")});
        return;
    }
    QCOMPARE(b.line.frames.front().size(), frameLength);
    QCOMPARE(quint8(b.line.frames.front().at(6)), quint8(2 * count));
    QVERIFY(b.out.logLines.isEmpty());
}

void TstFrames::serviceCommands_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<ServiceControls>("controls");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("logLine");
    ServiceControls c{"12345678", "9600", "Odd", "0427", "6", "Negative"};
    QTest::newRow("1 device id") << 1 << c << withCrc("0547000412345678") << QString();
    ServiceControls zeros = c;
    zeros.Edit_id = QStringLiteral("00000000");
    QTest::newRow("1 device id zeros") << 1 << zeros << withCrc("0547000400000000") << QString();
    QTest::newRow("2 line settings")
        << 2 << c << withCrc("054701020104") << "Changing communication settings...";
    QTest::newRow("3 menu code") << 3 << c << withCrc("0547030430343237")
                                 << "Changing user code for menu access...";
    QTest::newRow("4 unlock") << 4 << c << withCrc("0547190101") << "Unlocking device 5...";
    QTest::newRow("5 inputs") << 5 << c << withCrc("05472A01BA")
                              << "Changing number of pulse inputs for device 5...";
    QTest::newRow("6 lock") << 6 << c << withCrc("0547050155") << "Locking device 5...";
    QTest::newRow("7 negative") << 7 << c << withCrc("0547320101")
                                << "Changing polarity of pulse inputs for devie 5...";
    c.Combo_polarity = QStringLiteral("positive");
    QTest::newRow("7 other text") << 7 << c << withCrc("0547320100")
                                  << "Changing polarity of pulse inputs for devie 5...";
}

void TstFrames::serviceCommands() {
    QFETCH(int, kind);
    QFETCH(ServiceControls, controls);
    QFETCH(QByteArray, frame);
    QFETCH(QString, logLine);
    Bench b;
    bool loggedBeforeSending = false;
    b.line.onFrame = [&](const QByteArray &) { loggedBeforeSending = b.out.logLines.size() == 1; };
    int windows = 0;
    QVERIFY(b.master.SendServiceCommand(5, serviceSubCode(kind), kind, controls, [&] {
        QCOMPARE(b.line.frames.size(), 1);
        ++windows;
    }));
    QCOMPARE(b.line.frames.front().toHex(' '), frame.toHex(' '));
    QCOMPARE(b.out.logLines, logLine.isEmpty() ? QStringList() : QStringList{logLine});
    QCOMPARE(loggedBeforeSending, !logLine.isEmpty());
    QCOMPARE(b.state.ServiceReplyKind, kind);
    QCOMPARE(windows, 1);
}

void TstFrames::serviceRejections_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<ServiceControls>("controls");
    QTest::addColumn<QString>("message"); // empty: a conversion error is raised instead
    const ServiceControls c{"12345678", "9600", "Odd", "0427", "6", "Negative"};
    auto with = [&c](auto member, const char *text) {
        ServiceControls changed = c;
        changed.*member = QLatin1String(text);
        return changed;
    };
    const QString parity = QStringLiteral("Incorrect COM port parity selected, aborting...");
    QTest::newRow("2 parity Mark") << 2 << with(&ServiceControls::ComboBox2, "Mark") << parity;
    ServiceControls both = with(&ServiceControls::ComboBox2, "even");
    both.ComboBox1 = QStringLiteral("57600");
    QTest::newRow("2 parity tested before speed") << 2 << both << parity;
    QTest::newRow("2 speed 57600") << 2 << with(&ServiceControls::ComboBox1, "57600")
                                   << "Incorrect COM port speed selected, aborting...";
    QTest::newRow("5 inputs 5") << 5 << with(&ServiceControls::Combo_inputs, "5")
                                << "Incorrect number of inputs selected...";
    QTest::newRow("5 inputs empty") << 5 << with(&ServiceControls::Combo_inputs, "")
                                    << "Incorrect number of inputs selected...";
    QTest::newRow("1 id not digits")
        << 1 << with(&ServiceControls::Edit_id, "1234567A") << QString();
    QTest::newRow("1 id too short") << 1 << with(&ServiceControls::Edit_id, "1234") << QString();
    QTest::newRow("3 code too short") << 3 << with(&ServiceControls::Edit1, "123") << QString();
}

void TstFrames::serviceRejections() {
    QFETCH(int, kind);
    QFETCH(ServiceControls, controls);
    QFETCH(QString, message);
    Bench b;
    b.state.ServiceReplyKind = 6;
    int windows = 0;
    const auto send = [&] {
        return b.master.SendServiceCommand(5, serviceSubCode(kind), kind, controls,
                                           [&] { ++windows; });
    };
    if (message.isEmpty()) {
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument, send());
        QVERIFY(b.out.logLines.isEmpty());
    } else {
        QVERIFY(!send());
        QCOMPARE(b.out.logLines, QStringList{message});
    }
    QVERIFY(b.line.events.empty());
    QCOMPARE(b.state.ServiceReplyKind, 6);
    QCOMPARE(windows, 0);
}

QTEST_GUILESS_MAIN(TstFrames)
#include "tst_frames.moc"
