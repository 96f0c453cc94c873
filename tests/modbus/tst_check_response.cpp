#include "check_response.h"
#include "crc16.h"
#include "hex_frame.h"
#include "frames.h"
#include "modbus_reply.h"
#include "recording_output.h"
#include "reply_verdict.h"

#include <QTest>

using namespace corvane;
using namespace corvane::test;

namespace {

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

using Kind = ReplyVerdict::Kind;

// A request to device 1 for holding registers, which every reply below answers.
const SentRequest kRequest{1, 0x03};

} // namespace

Q_DECLARE_METATYPE(corvane::ReplyVerdict)
Q_DECLARE_METATYPE(corvane::VerdictReport)

class TstCheckResponse : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void crcOfKnownFrames_data();
    void crcOfKnownFrames();
    void accepted_data();
    void accepted();
    void rejected_data();
    void rejected();
    void answersItsRequest_data();
    void answersItsRequest();
    void verdictTexts_data();
    void verdictTexts();
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
    const ReplyVerdict verdict = CheckResponse(reply);
    QVERIFY(verdict.accepted());
    QCOMPARE(verdict.crcPosition, crcPosition);
}

void TstCheckResponse::rejected_data() {
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<ReplyVerdict>("verdict");
    const ReplyVerdict crc = ReplyVerdict::of(Kind::CrcError);
    QTest::newRow("empty") << QByteArray() << ReplyVerdict::of(Kind::NoReply);
    QTest::newRow("1 byte") << QByteArray::fromHex("01") << crc;
    QTest::newRow("2 bytes") << QByteArray::fromHex("0103") << crc;
    QTest::newRow("1 zero") << QByteArray::fromHex("00") << crc;
    QTest::newRow("2 bytes + filler") << QByteArray::fromHex("010300") << crc;
    QTest::newRow("3 zeros") << QByteArray::fromHex("000000") << crc;
    QTest::newRow("4 zeros") << QByteArray::fromHex("00000000") << crc;
    QTest::newRow("bad crc") << QByteArray::fromHex("01030200050000") << crc;
    QByteArray flipped = withCrc("0103020005");
    flipped[3] = char(flipped[3] ^ 0x40);
    QTest::newRow("flipped data") << flipped << crc;
    // The zero is taken into the CRC, so a turn-round zero in front of a good reply fails the
    // CRC over the whole: the reply behind it is found, but not accepted.
    QTest::newRow("zero in front of a good reply")
        << QByteArray(1, '\0') + withCrc("0103020005") << ReplyVerdict::garbageBefore(1);
    QTest::newRow("late bytes in front of a good reply")
        << QByteArray::fromHex("0701") + withCrc("0103020005") << ReplyVerdict::garbageBefore(2);
    QTest::newRow("good reply to another function behind garbage")
        << QByteArray::fromHex("07") + withCrc("0104020005") << crc;
    // Address 0 is not another device's: the zero is garbage.
    QTest::newRow("leading zero") << withCrc("000302") << ReplyVerdict::of(Kind::LeadingZero);
    QTest::newRow("other device") << withCrc("0203020005") << ReplyVerdict::fromAddress(2);
    QByteArray otherSpoilt = withCrc("0203020005");
    otherSpoilt[3] = char(otherSpoilt[3] ^ 0x40);
    QTest::newRow("other device, bad crc") << otherSpoilt << crc;
    // Its exception code is about its own request, not ours.
    QTest::newRow("other device, exception") << withCrc("028302") << ReplyVerdict::fromAddress(2);
    QTest::newRow("illegal function") << withCrc("018301") << ReplyVerdict::exception(1);
    QTest::newRow("illegal address 0x83") << withCrc("018302") << ReplyVerdict::exception(2);
    QTest::newRow("illegal value") << withCrc("018303") << ReplyVerdict::exception(3);
    QTest::newRow("device failure") << withCrc("018304") << ReplyVerdict::exception(4);
    QTest::newRow("code 5") << withCrc("018305") << ReplyVerdict::exception(5);
    QTest::newRow("busy") << withCrc("018306") << ReplyVerdict::exception(6);
    QTest::newRow("code 7") << withCrc("018307") << ReplyVerdict::exception(7);
    QTest::newRow("memory parity") << withCrc("018308") << ReplyVerdict::exception(8);
}

void TstCheckResponse::rejected() {
    QFETCH(QByteArray, reply);
    QFETCH(ReplyVerdict, verdict);
    // A copy with no spare capacity, so a read past the end is caught by the sanitizers.
    const QByteArray exact(reply.constData(), reply.size());
    QCOMPARE(CheckResponse(exact, kRequest), verdict);
}

// A reply is held against the request it follows in full, as the request's frame gives it: a
// good frame from the device asked that answers another request is never decoded.
void TstCheckResponse::answersItsRequest_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<ReplyVerdict>("verdict");
    const ReplyVerdict other = ReplyVerdict::of(Kind::OtherRequest);
    const QByteArray holding = readHoldingFrame(1, 0x8000, 8);
    const QByteArray input = readInputFrame(1, 0x0010, 16);
    const QByteArray sixteenRegisters = QByteArray(64, '1');
    QTest::newRow("read, byte count twice the quantity")
        << holding << withCrc("010310" + QByteArray(32, '0')) << ReplyVerdict::acceptedAt(19);
    QTest::newRow("read, byte count of another quantity")
        << holding << withCrc("01030E" + QByteArray(28, '0')) << other;
    QTest::newRow("read, a one-register reply to a block read")
        << input << withCrc("0104020005") << other;
    QTest::newRow("read, another function")
        << input << withCrc("010320" + sixteenRegisters) << other;
    QTest::newRow("read of the quantity asked for")
        << input << withCrc("010420" + sixteenRegisters) << ReplyVerdict::acceptedAt(35);
    QTest::newRow("exception of the request's function")
        << input << withCrc("018402") << ReplyVerdict::exception(2);
    QTest::newRow("exception of another function") << input << withCrc("018302") << other;

    const QByteArray single = writeSingleFrame(1, 0x8011, 9, 1);
    QTest::newRow("write single, its echo") << single << single << ReplyVerdict::acceptedAt(6);
    QTest::newRow("write single, another register") << single << withCrc("010680120009") << other;
    QTest::newRow("write single, another value") << single << withCrc("010680110008") << other;
    const QByteArray multiple = writeMultipleFrame(1, 0x8000, 4, QByteArray(8, '\x11'));
    QTest::newRow("write multiple, start and quantity")
        << multiple << withCrc("011080000004") << ReplyVerdict::acceptedAt(6);
    QTest::newRow("write multiple, another quantity")
        << multiple << withCrc("011080000008") << other;
    QTest::newRow("write multiple, another start") << multiple << withCrc("011080080004") << other;

    const QByteArray readRecord = readFileRecordFrame(1, 10, 3, 6);
    const QByteArray record = QByteArray(24, 'A');
    QTest::newRow("file record read, the record asked for")
        << readRecord << withCrc("01140E0D06" + record) << ReplyVerdict::acceptedAt(17);
    QTest::newRow("file record read, a record of another length")
        << readRecord << withCrc("01140C0B06" + record.left(20)) << other;
    const QByteArray writeRecord = writeFileRecordFrame(1, 10, 3, QByteArray(12, 'x'));
    QTest::newRow("file record write, its echo")
        << writeRecord << writeRecord << ReplyVerdict::acceptedAt(int(writeRecord.size()) - 2);
    QTest::newRow("file record write, the echo of another record")
        << writeRecord << writeFileRecordFrame(1, 10, 4, QByteArray(12, 'x')) << other;

    QTest::newRow("device identification, its MEI type")
        << readDeviceIdFrame(1, 2) << withCrc("012B0E02820000010003414243")
        << ReplyVerdict::acceptedAt(13);
    QTest::newRow("device identification, another MEI type")
        << readDeviceIdFrame(1, 2) << withCrc("012B0D02820000010003414243") << other;
    QTest::newRow("service query, its sub-code")
        << serviceQueryFrame(1, 4) << withCrc("01470400") << ReplyVerdict::acceptedAt(4);
    QTest::newRow("service query, another sub-code")
        << serviceQueryFrame(1, 4) << withCrc("01470200") << other;
}

void TstCheckResponse::answersItsRequest() {
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, reply);
    QFETCH(ReplyVerdict, verdict);
    const SentRequest sent{1, static_cast<std::uint8_t>(request.at(1)), request};
    const QByteArray exact(reply.constData(), reply.size());
    QCOMPARE(CheckResponse(exact, sent), verdict);
    // The fast close agrees: it closes a window only on the device's answer to this request.
    QCOMPARE(isCompleteReply(exact, sent), verdict.accepted() || verdict.kind == Kind::Exception);
}

// The operator's lines are the designed texts, whatever the verdict carries; the reason is what
// the command line and the monitor say.
void TstCheckResponse::verdictTexts_data() {
    QTest::addColumn<ReplyVerdict>("verdict");
    QTest::addColumn<VerdictReport>("how");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("reason");
    const VerdictReport designed;
    const VerdictReport quietZero{false, NoReplyReport::StatusAndLog};
    const QStringList crcLine{QStringLiteral("Error in CRC field\r")};
    const QString crcStatus = QStringLiteral("Error in CRC field");
    const QString noReply = QStringLiteral("No response from device 9");
    QTest::newRow("accepted") << ReplyVerdict::acceptedAt(5) << designed << QStringList()
                              << QString() << QString();
    QTest::newRow("crc") << ReplyVerdict::of(Kind::CrcError) << designed << crcLine << crcStatus
                         << "CRC error";
    QTest::newRow("garbage before") << ReplyVerdict::garbageBefore(3) << designed << crcLine
                                    << crcStatus << "garbage before the reply (3 bytes)";
    QTest::newRow("leading zero") << ReplyVerdict::of(Kind::LeadingZero) << designed
                                  << QStringList{QStringLiteral(
                                         "Garbage leading bytes in the telegram")}
                                  << QString() << "garbage before the reply";
    QTest::newRow("leading zero, not reported")
        << ReplyVerdict::of(Kind::LeadingZero) << quietZero << QStringList() << QString()
        << "garbage before the reply";
    QTest::newRow("no reply") << ReplyVerdict::of(Kind::NoReply) << designed
                              << QStringList{noReply + '\r'} << noReply << "no reply";
    QTest::newRow("no reply, log only")
        << ReplyVerdict::of(Kind::NoReply) << VerdictReport{true, NoReplyReport::Log}
        << QStringList{noReply} << QString() << "no reply";
    QTest::newRow("no reply, ellipsis")
        << ReplyVerdict::of(Kind::NoReply) << VerdictReport{true, NoReplyReport::LogEllipsis}
        << QStringList{noReply + "..."} << QString() << "no reply";
    QTest::newRow("no reply, silent")
        << ReplyVerdict::of(Kind::NoReply) << VerdictReport{true, NoReplyReport::Silent}
        << QStringList() << QString() << "no reply";
    // Another device's reply is no answer: its own line, then the window's no-reply texts.
    QTest::newRow("reply to another request")
        << ReplyVerdict::of(Kind::OtherRequest) << designed
        << QStringList{QStringLiteral("Reply from device 1 answers another request, ignored")}
        << QStringLiteral("Reply from device 1 answers another request, ignored")
        << "reply to another request";
    QTest::newRow("other device")
        << ReplyVerdict::fromAddress(2) << designed
        << QStringList{QStringLiteral("Reply from device 2 ignored (request went to device 1)"),
                       noReply + '\r'}
        << noReply << "reply from another address (2)";
    const QList<QPair<int, QString>> exceptions{
        {1, "ILLEGAL FUNCTION"},     {2, "ILLEGAL DATA ADDRESS"}, {3, "ILLEGAL DATA VALUE"},
        {4, "SLAVE DEVICE FAILURE"}, {6, "SLAVE DEVICE BUSY"},    {8, "MEMORY PARITY ERROR"}};
    for (const auto &[code, name] : exceptions) {
        QTest::addRow("exception %d", code) << ReplyVerdict::exception(code) << designed
                                            << QStringList{QStringLiteral("Error - ") + name + '\r'}
                                            << QString() << QStringLiteral("exception: ") + name;
    }
    for (int code : {5, 7, 11}) {
        QTest::addRow("exception %d, unnamed", code)
            << ReplyVerdict::exception(code) << designed << QStringList() << QString()
            << QStringLiteral("exception code %1").arg(code);
    }
}

void TstCheckResponse::verdictTexts() {
    QFETCH(ReplyVerdict, verdict);
    QFETCH(VerdictReport, how);
    QFETCH(QStringList, log);
    QFETCH(QString, status);
    QFETCH(QString, reason);
    test::RecordingOutput out;
    reportVerdict(verdict, how, 1, 9, out);
    QCOMPARE(out.logLines, log);
    QCOMPARE(out.status.value(StatusPanel::Progress), status);
    QCOMPARE(verdictReason(verdict), reason);
}

void TstCheckResponse::writeReply() {
    QVERIFY(CheckWriteReply(withCrc("011080000008"), SentRequest{1, 0x10}));
    QCOMPARE(CheckWriteReply(withCrc("00108000")), ReplyVerdict::of(Kind::LeadingZero));
}

QTEST_GUILESS_MAIN(TstCheckResponse)
#include "tst_check_response.moc"
