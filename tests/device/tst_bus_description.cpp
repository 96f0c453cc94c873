// Heard exchanges in the logger's terms: what each reads or writes, its registers, and the values
// of a known block as the window's decoders take them apart.
#include "bus_description.h"
#include "crc16.h"
#include "hex_frame.h"

#include <QTest>

using namespace corvane;
using namespace corvane::test;

namespace {

using Verdict = HeardExchange::Verdict;

HeardExchange exchange(const QByteArray &request, const QByteArray &reply,
                       Verdict verdict = Verdict::Ok) {
    HeardExchange e;
    e.verdict = verdict;
    e.request = request.isEmpty() ? QByteArray() : withCrc(request);
    e.reply = reply.isEmpty() ? QByteArray() : withCrc(reply);
    return e;
}

QString valuesText(const QList<ExchangeValue> &values) {
    QStringList texts;
    for (const ExchangeValue &value : values)
        texts << value.name + QLatin1Char('=') + value.text;
    return texts.join(QLatin1Char(';'));
}

} // namespace

Q_DECLARE_METATYPE(corvane::HeardExchange)

class TstBusDescription : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void described_data();
    void described();
    void valuesAsNumbers();
};

void TstBusDescription::described_data() {
    QTest::addColumn<HeardExchange>("heard");
    QTest::addColumn<QString>("what");
    QTest::addColumn<int>("reg"); // -1: none
    QTest::addColumn<int>("count");
    QTest::addColumn<QList<int>>("registers");
    QTest::addColumn<QString>("values");

    QTest::newRow("units of a QTR-8D")
        << exchange("010380000008", "010310"
                                    "0001000100020003"
                                    "0000000100020004")
        << "units, inputs 1–8" << 0x8000 << 8 << QList<int>{1, 1, 2, 3, 0, 1, 2, 4}
        << "1=m3;2=m3;3=kWh;4=kJ;5=N/A;6=m3;7=kWh;8=Unknown";
    QTest::newRow("pulse constants of inputs 3 and 4")
        << exchange("0103800A0002", "010304006400C8") << "pulse constants, inputs 3–4" << 0x800A
        << 2 << QList<int>{100, 200} << "3=100;4=200";
    QTest::newRow("total pulses of a QTR-4D")
        << exchange("010400000008", "010410"
                                    "00000001000000FF"
                                    "FFFFFFFF00001000")
        << "total pulses, inputs 1–4" << 0 << 8 << QList<int>{0, 1, 0, 255, 0xFFFF, 0xFFFF, 0, 4096}
        << "1=1;2=255;3=-1;4=4096";
    QTest::newRow("total consumption in tenths")
        << exchange("010400500004", "010408000004D2FFFFFFFF") << "total consumption, inputs 1–2"
        << 0x50 << 4 << QList<int>{0, 1234, 0xFFFF, 0xFFFF} << "1=123.4;2=-0.1";
    QTest::newRow("flow of one input")
        << exchange("010400620002", "0104040000000F") << "flow, input 2" << 0x62 << 2
        << QList<int>{0, 15} << "2=1.5 l/s";
    QTest::newRow("battery") << exchange("010403E70002", "01040400BF0000") << "battery" << 999 << 2
                             << QList<int>{0xBF, 0} << "battery=3.75";
    QTest::newRow("input status") << exchange("010407D00004", "010408"
                                                              "0005000000000000")
                                  << "input status" << 2000 << 4 << QList<int>{5, 0, 0, 0}
                                  << "inputs=0x05";
    QTest::newRow("clock read") << exchange("010380120002", "0103043C460905") << "clock" << 0x8012
                                << 2 << QList<int>{0x3C46, 0x0905} << "clock=09:05 06.12.26";
    QTest::newRow("clock written")
        << exchange("0110801200020"
                    "43C460E07",
                    "011080120002")
        << "clock" << 0x8012 << 2 << QList<int>{0x3C46, 0x0E07} << "clock=14:07 06.12.26";
    QTest::newRow("tariff windows written, no reply")
        << exchange("01108016000204"
                    "06021703",
                    {}, Verdict::NoReply)
        << "tariff 1 windows, inputs 1–2" << 0x8016 << 2 << QList<int>{0x0602, 0x1703}
        << "1=start 6, duration 2;2=start 23, duration 3";
    QTest::newRow("initial values written, refused")
        << exchange("0110803E000408"
                    "0000007BFFFFFFFF",
                    "019002", Verdict::Exception)
        << "initial values, inputs 1–2" << 0x803E << 4 << QList<int>{0, 123, 0xFFFF, 0xFFFF}
        << "1=12.3;2=-0.1";
    QTest::newRow("bus address written")
        << exchange("010680110007", "010680110007") << "bus address" << 0x8011 << 1 << QList<int>{7}
        << "address=7";
    QTest::newRow("pulse length written")
        << exchange("010680100200", "010680100200") << "pulse length and language" << 0x8010 << 1
        << QList<int>{0x0200} << "pulse length=10 ms;language=Bulgarian";
    QTest::newRow("free text read")
        << exchange("01140706000A00020006", "01140E0D06"
                                            "414200430000000000000000")
        << "free text, input 3" << 2 << 6 << QList<int>{0x4142, 0x0043, 0, 0, 0, 0} << "3=ABC";
    QTest::newRow("free text written")
        << exchange("01150D06000A00000003"
                    "414243440000",
                    "01150D06000A00000003"
                    "414243440000")
        << "free text, input 1" << 0 << 3 << QList<int>{0x4142, 0x4344, 0} << "1=ABCD";
    QTest::newRow("device identification") << exchange("012B0E0200", "012B0E0282000002"
                                                                     "0006"
                                                                     "5154522D3844"
                                                                     "0104"
                                                                     "76312E32")
                                           << "device identification" << -1 << -1 << QList<int>{}
                                           << "identification=   QTR-8D  v1.;model=QTR-8D";
    QTest::newRow("lock") << exchange("01470500", "01470500") << "lock" << -1 << -1 << QList<int>{}
                          << "";
    QTest::newRow("menu code") << exchange("01470200", "0147020431323334")
                               << "read menu access code" << -1 << -1 << QList<int>{}
                               << "menu code=1234";
    QTest::newRow("an exception reads nothing")
        << exchange("010380000008", "018302", Verdict::Exception) << "units, inputs 1–8" << 0x8000
        << 8 << QList<int>{} << "";
    QTest::newRow("a read across two blocks")
        << exchange("010380040008", "010310"
                                    "0000000000000000"
                                    "0000000000000000")
        << "holding registers 0x8004–0x800B" << 0x8004 << 8 << QList<int>(8, 0) << "";
    QTest::newRow("a register the logger has not")
        << exchange("010390000001", "0103020001") << "holding registers 0x9000" << 0x9000 << 1
        << QList<int>{1} << "";
    QTest::newRow("a write's echo, its request not heard")
        << exchange({}, "011080080004", Verdict::NoRequest) << "pulse constants, inputs 1–4"
        << 0x8008 << 4 << QList<int>{} << "";
    QTest::newRow("coils of another device") << exchange("070100000010", "07010200FF")
                                             << "function 0x01" << -1 << -1 << QList<int>{} << "";
    HeardExchange noise;
    noise.verdict = Verdict::Noise;
    noise.reply = QByteArray::fromHex("FF00FE");
    QTest::newRow("noise") << noise << "noise, 3 bytes" << -1 << -1 << QList<int>{} << "";
}

void TstBusDescription::described() {
    QFETCH(HeardExchange, heard);
    QFETCH(QString, what);
    QFETCH(int, reg);
    QFETCH(int, count);
    QFETCH(QList<int>, registers);
    QFETCH(QString, values);
    const ExchangeDescription d = describeExchange(heard);
    QCOMPARE(d.what, what);
    QCOMPARE(d.reg.value_or(-1), reg);
    QCOMPARE(d.count.value_or(-1), count);
    QCOMPARE(d.registers, registers);
    QCOMPARE(valuesText(d.values), values);
}

// The numbers a script gets beside the texts: tenths as decimals, counters whole.
void TstBusDescription::valuesAsNumbers() {
    const ExchangeDescription consumption =
        describeExchange(exchange("010400500004", "010408000004D2FFFFFFFF"));
    QCOMPARE(consumption.values.at(0).number, std::optional<double>(123.4));
    QCOMPARE(consumption.values.at(1).number, std::optional<double>(-0.1));
    const ExchangeDescription units = describeExchange(exchange("010380000001", "0103020001"));
    QCOMPARE(units.values.at(0).number, std::nullopt);
}

QTEST_GUILESS_MAIN(TstBusDescription)
#include "tst_bus_description.moc"
