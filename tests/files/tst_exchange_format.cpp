// Heard exchanges as the command line prints them and the window saves them: one line of text,
// one JSON object, one CSV row; and the capture's rows.
#include "crc16.h"
#include "hex_frame.h"
#include "exchange_format.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>
#include <QTimeZone>

using namespace corvane;
using namespace corvane::test;
using namespace std::chrono_literals;

namespace {

using Verdict = HeardExchange::Verdict;

HeardExchange heard(const QByteArray &request, const QByteArray &reply, Verdict verdict,
                    std::optional<std::chrono::nanoseconds> replyTime = std::nullopt) {
    HeardExchange e;
    e.verdict = verdict;
    e.request = request.isEmpty() ? QByteArray() : withCrc(request);
    e.reply = reply.isEmpty() ? QByteArray() : withCrc(reply);
    if (verdict == Verdict::Noise)
        e.reply = QByteArray::fromHex(reply);
    if (verdict == Verdict::Exception)
        e.exceptionCode = static_cast<std::uint8_t>(e.reply.at(2));
    e.replyTime = replyTime;
    return e;
}

const QDateTime kTime(QDate(2026, 12, 6), QTime(9, 5, 7, 250), Qt::OffsetFromUTC, 3600);

// A free text whose device put an escape sequence, a separator and a quote in it.
const QByteArray kHostileText = "01140E0D06"
                                "1B5B324A3B224100"
                                "00000000";

} // namespace

Q_DECLARE_METATYPE(corvane::HeardExchange)

class TstExchangeFormat : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void formats_data();
    void formats();
    void captureRows();
};

void TstExchangeFormat::formats_data() {
    QTest::addColumn<HeardExchange>("exchange");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("json");
    QTest::addColumn<QString>("csv");

    QTest::newRow("a read answered")
        << heard("0103800A0002", "010304006400C8", Verdict::Ok, 12345us)
        << "2026-12-06T09:05:07.250+01:00  1  03  800A  2  ok  12.3 ms  pulse constants, inputs "
           "3–4  3=100; 4=200  [0064 00C8]"
        << R"({"address":1,"count":2,"function":3,"register":32778,"registers":[100,200],)"
           R"("replyMs":12.3,"time":"2026-12-06T09:05:07.250+01:00","values":{"3":100,"4":200},)"
           R"("verdict":"ok","what":"pulse constants, inputs 3–4"})"
        << "2026-12-06T09:05:07.250+01:00;1;0x03;0x800A;2;ok;12.3;pulse constants, inputs "
           "3–4;\"3=100; 4=200\";0064 00C8\r\n";
    QTest::newRow("a write nobody answered")
        << heard("010680110007", {}, Verdict::NoReply)
        << "2026-12-06T09:05:07.250+01:00  1  06  8011  1  no reply  -  bus address  address=7  "
           "[0007]"
        << R"({"address":1,"count":1,"function":6,"register":32785,"registers":[7],)"
           R"("replyMs":null,"time":"2026-12-06T09:05:07.250+01:00","values":{"address":7},)"
           R"("verdict":"no reply","what":"bus address"})"
        << "2026-12-06T09:05:07.250+01:00;1;0x06;0x8011;1;no reply;;bus address;address=7;0007\r\n";
    QTest::newRow("a service command refused")
        << heard("01470500", "01C701", Verdict::Exception, 4ms)
        << "2026-12-06T09:05:07.250+01:00  1  47  -  -  exception 1  4.0 ms  lock"
        << R"({"address":1,"count":null,"function":71,"register":null,"registers":[],)"
           R"("replyMs":4,"time":"2026-12-06T09:05:07.250+01:00","values":{},)"
           R"("verdict":"exception 1","what":"lock"})"
        << "2026-12-06T09:05:07.250+01:00;1;0x47;;;exception 1;4.0;lock;;\r\n";
    QTest::newRow("noise") << heard({}, "FF00FE", Verdict::Noise)
                           << "2026-12-06T09:05:07.250+01:00  noise, 3 bytes"
                           << R"({"noise":3,"time":"2026-12-06T09:05:07.250+01:00"})"
                           << "2026-12-06T09:05:07.250+01:00;;;;;;;noise, 3 bytes;;\r\n";
    // What a device sends never reaches the terminal as control characters, and a separator
    // or quote in it stays inside its cell.
    QTest::newRow("a text with an escape sequence")
        << heard("01140706000A00020006", kHostileText, Verdict::Ok, 1ms)
        << "2026-12-06T09:05:07.250+01:00  1  14  0002  6  ok  1.0 ms  free text, input 3  "
           "3=\\x1B[2J;\"A  [1B5B 324A 3B22 4100 0000 0000]"
        << R"({"address":1,"count":6,"function":20,"register":2,)"
           R"("registers":[7003,12874,15138,16640,0,0],)"
           R"("replyMs":1,"time":"2026-12-06T09:05:07.250+01:00",)"
           R"("values":{"3":"\u001b[2J;\"A"},)"
           R"("verdict":"ok","what":"free text, input 3"})"
        << "2026-12-06T09:05:07.250+01:00;1;0x14;0x0002;6;ok;1.0;free text, input 3;"
           "\"3=\\x1B[2J;\"\"A\";1B5B 324A 3B22 4100 0000 0000\r\n";
}

void TstExchangeFormat::formats() {
    QFETCH(HeardExchange, exchange);
    QFETCH(QString, text);
    QFETCH(QString, json);
    QFETCH(QString, csv);
    const ExchangeDescription d = describeExchange(exchange);
    QCOMPARE(exchangeText(exchange, d, kTime), text);
    QCOMPARE(QString::fromUtf8(exchangeJson(exchange, d, kTime)), json);
    QCOMPARE(QString::fromUtf8(exchangeCsvRow(exchange, d, kTime)), csv);
}

void TstExchangeFormat::captureRows() {
    QCOMPARE(BusCapture::header(), QByteArray("Time;Direction;Length;Hex\r\n"));
    const HeardFrame request{HeardFrame::Kind::Frame, withCrc("010380080004"), {}, {}};
    QCOMPARE(BusCapture::row(request, FrameRole::Request, kTime),
             QByteArray("2026-12-06T09:05:07.250+01:00;request;8;01 03 80 08 00 04 EC 0B\r\n"));
    const HeardFrame noise{HeardFrame::Kind::Noise, QByteArray::fromHex("3B22"), {}, {}};
    QCOMPARE(BusCapture::row(noise, FrameRole::Noise, kTime),
             QByteArray("2026-12-06T09:05:07.250+01:00;noise;2;3B 22\r\n"));
}

QTEST_GUILESS_MAIN(TstExchangeFormat)
#include "tst_exchange_format.moc"
