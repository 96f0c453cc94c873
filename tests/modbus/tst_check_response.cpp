#include "check_response.h"
#include "crc16.h"
#include "recording_output.h"

#include <QTest>

using namespace corvane;

namespace {

QByteArray withCrc(const QByteArray &hex) {
    QByteArray frame = QByteArray::fromHex(hex);
    appendCrc(frame);
    return frame;
}

// A reply whose CRC high byte is 0x00: searched once, then kept as a fixed example.
QByteArray replyWithZeroCrcHigh() {
    for (int value = 0; value < 0x10000; ++value) {
        QByteArray frame = QByteArray::fromHex("010302");
        frame.append(char(value >> 8));
        frame.append(char(value & 0xFF));
        appendCrc(frame);
        if (frame.back() == 0)
            return frame;
    }
    return {};
}

} // namespace

class TstCheckResponse : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void crcOfKnownFrames_data();
    void crcOfKnownFrames();
    void accepted_data();
    void accepted();
    void rejected_data();
    void rejected();
    void leadingZeroSilentForSomeDecoders();
    void writeReply();
};

void TstCheckResponse::crcOfKnownFrames_data() {
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("crc");
    QTest::newRow("read holding 0x8000 x8")
        << QByteArray::fromHex("010380000008") << QByteArray::fromHex("6DCC");
    QTest::newRow("read input 0 x16")
        << QByteArray::fromHex("010400000010") << QByteArray::fromHex("F1C6");
    QTest::newRow("service query 2")
        << QByteArray::fromHex("01470200") << QByteArray::fromHex("B0AD");
    QTest::newRow("device id") << QByteArray::fromHex("012B0E0200") << QByteArray::fromHex("7087");
    QTest::newRow("file record") << QByteArray::fromHex("01140706000A00000006")
                                 << QByteArray::fromHex("E127");
}

void TstCheckResponse::crcOfKnownFrames() {
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, crc);
    QByteArray frame = body;
    appendCrc(frame);
    QCOMPARE(frame.right(2), crc);
    QCOMPARE(Crc16(frame), std::uint16_t(0));
}

void TstCheckResponse::accepted_data() {
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("crcPosition");
    const QByteArray plain = withCrc("0103020005");
    QTest::newRow("plain") << plain << 5;
    QTest::newRow("with filler") << plain + QByteArray(1, '\0') << 5;
    // Without the address the request went to, none is compared.
    QTest::newRow("other slave address") << withCrc("0703020005") << 5;
    const QByteArray zeroHigh = replyWithZeroCrcHigh();
    QTest::newRow("crc high byte 0x00") << zeroHigh << int(zeroHigh.size()) - 2;
    QTest::newRow("crc high byte 0x00 with filler")
        << zeroHigh + QByteArray(1, '\0') << int(zeroHigh.size()) - 2;
}

void TstCheckResponse::accepted() {
    QFETCH(QByteArray, reply);
    QFETCH(int, crcPosition);
    test::RecordingOutput out;
    const CheckedResponse result = CheckResponse(reply, true, out);
    QVERIFY(result.accepted);
    QCOMPARE(result.crcPosition, crcPosition);
    QVERIFY(out.logLines.isEmpty());
    QVERIFY(out.status.isEmpty());
}

void TstCheckResponse::rejected_data() {
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QString>("status");
    const QStringList crcLine{QStringLiteral("Error in CRC field\r")};
    const QString crcStatus = QStringLiteral("Error in CRC field");
    QTest::newRow("empty") << QByteArray() << crcLine << crcStatus;
    QTest::newRow("1 byte") << QByteArray::fromHex("01") << crcLine << crcStatus;
    QTest::newRow("2 bytes") << QByteArray::fromHex("0103") << crcLine << crcStatus;
    QTest::newRow("1 zero") << QByteArray::fromHex("00") << crcLine << crcStatus;
    QTest::newRow("2 bytes + filler") << QByteArray::fromHex("010300") << crcLine << crcStatus;
    QTest::newRow("3 zeros") << QByteArray::fromHex("000000") << crcLine << crcStatus;
    QTest::newRow("4 zeros") << QByteArray::fromHex("00000000") << crcLine << crcStatus;
    QTest::newRow("bad crc") << QByteArray::fromHex("01030200050000") << crcLine << crcStatus;
    QByteArray flipped = withCrc("0103020005");
    flipped[3] = char(flipped[3] ^ 0x40);
    QTest::newRow("flipped data") << flipped << crcLine << crcStatus;
    // The zero is taken into the CRC, so a turn-round zero in front of a good reply is a CRC
    // error, not garbage.
    QTest::newRow("zero in front of a good reply")
        << QByteArray(1, '\0') + withCrc("0103020005") << crcLine << crcStatus;
    // Address 0 is not another device's: the zero is garbage.
    QTest::newRow("leading zero") << withCrc("000302")
                                  << QStringList{QStringLiteral(
                                         "Garbage leading bytes in the telegram")}
                                  << QString();
    const QStringList otherDevice{
        QStringLiteral("Reply from device 2 ignored (request went to device 1)")};
    QTest::newRow("other device") << withCrc("0203020005") << otherDevice << QString();
    QByteArray otherSpoilt = withCrc("0203020005");
    otherSpoilt[3] = char(otherSpoilt[3] ^ 0x40);
    QTest::newRow("other device, bad crc") << otherSpoilt << crcLine << crcStatus;
    // Its exception code is about its own request, not ours.
    QTest::newRow("other device, exception") << withCrc("028302") << otherDevice << QString();
    QTest::newRow("illegal function")
        << withCrc("018301") << QStringList{QStringLiteral("Error - ILLEGAL FUNCTION\r")}
        << QString();
    QTest::newRow("illegal address 0x83")
        << withCrc("018302") << QStringList{QStringLiteral("Error - ILLEGAL DATA ADDRESS\r")}
        << QString();
    QTest::newRow("illegal address 0x84")
        << withCrc("018402") << QStringList{QStringLiteral("Error - ILLEGAL DATA ADDRESS\r")}
        << QString();
    QTest::newRow("illegal value")
        << withCrc("019003") << QStringList{QStringLiteral("Error - ILLEGAL DATA VALUE\r")}
        << QString();
    QTest::newRow("device failure")
        << withCrc("018304") << QStringList{QStringLiteral("Error - SLAVE DEVICE FAILURE\r")}
        << QString();
    QTest::newRow("code 5 silent") << withCrc("018305") << QStringList() << QString();
    QTest::newRow("busy") << withCrc("018306")
                          << QStringList{QStringLiteral("Error - SLAVE DEVICE BUSY\r")}
                          << QString();
    QTest::newRow("code 7 silent") << withCrc("018307") << QStringList() << QString();
    QTest::newRow("memory parity")
        << withCrc("018308") << QStringList{QStringLiteral("Error - MEMORY PARITY ERROR\r")}
        << QString();
}

void TstCheckResponse::rejected() {
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, log);
    QFETCH(QString, status);
    test::RecordingOutput out;
    // A copy with no spare capacity, so a read past the end is caught by the sanitizers.
    const QByteArray exact(reply.constData(), reply.size());
    // Every reply answers a request to device 1.
    const CheckedResponse result = CheckResponse(exact, true, out, 1);
    QVERIFY(!result.accepted);
    QCOMPARE(result.otherDevice, log.value(0).startsWith(QLatin1String("Reply from device")));
    QCOMPARE(out.logLines, log);
    QCOMPARE(out.status.value(StatusPanel::Progress), status);
}

void TstCheckResponse::leadingZeroSilentForSomeDecoders() {
    test::RecordingOutput out;
    QVERIFY(!CheckResponse(withCrc("00030200050006"), false, out).accepted);
    QVERIFY(out.logLines.isEmpty());
    QVERIFY(out.status.isEmpty());
}

void TstCheckResponse::writeReply() {
    test::RecordingOutput out;
    QVERIFY(CheckWriteReply(withCrc("011080000008"), out));
    QVERIFY(out.logLines.isEmpty());
    QVERIFY(!CheckWriteReply(withCrc("00108000"), out));
    QCOMPARE(out.logLines, QStringList{QStringLiteral("Garbage leading bytes in the telegram")});
}

QTEST_GUILESS_MAIN(TstCheckResponse)
#include "tst_check_response.moc"
