#include "device_fixture.h"
#include "payload.h"
#include "table_rows.h"
#include "value_encoding.h"
#include "windows1251.h"

#include <QTest>

#include <limits>

using namespace corvane;
using namespace corvane::test;

namespace {

// Fills a row from "a|b|c", and the row below from what follows a ';'.
void fillRows(StringGrid &grid, int row, const QString &cells) {
    const QStringList rows = cells.split(';');
    for (int i = 0; i < rows.size(); ++i)
        fillRow(grid, row + i, rows.at(i));
}

} // namespace

class TstPayload : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void rowPayload_data();
    void rowPayload();
    void rowPayloadErrors_data();
    void rowPayloadErrors();
    void tenthsRoundTrip_data();
    void tenthsRoundTrip();
    void freeTextRecord_data();
    void freeTextRecord();
    void clock_data();
    void clock();
    void windows1251RoundTrip();
};

void TstPayload::rowPayload_data() {
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("cells");
    QTest::addColumn<QString>("format"); // DecSeparator, then the locale
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("cellsAfter");
    // clang-format off
    // Every unit text the decoder shows, and the older "J", is sent back with its own code.
    QTest::newRow("units") << kRowUnit << "N/A|m3|kWh|kJ|J|Unknown|" << ".C"
        << QByteArray("000000010002000300030000") << "N/A|m3|kWh|kJ|J|Unknown|";
    QTest::newRow("constants") << kRowPulseConstant << "65535||1| 42" << ".C"
        << QByteArray("FFFF00000001002A") << "65535||1| 42";
    QTest::newRow("tariff pairs") << kRowTariff2Start << "6||23|0;12|5|255|1" << ".C"
        << QByteArray("060C000017FF0001") << "6||23|0";
    QTest::newRow("12.37 and 12.") << kRowInitialValue << "12.37|12.||-0.1" << ".C"
        << QByteArray("0000007B0000007800000000FFFFFFFF") << "12.3|12||-0.1";
    QTest::newRow("comma PC") << kRowTariff1InitialValue << "12,5|214748364,7|3|" << ",de_DE"
        << QByteArray("0000007D7FFFFFFF0000001E00000000") << "12,5|214748364,7|3|";
    QTest::newRow("padded") << kRowUserNumber << "1|2" << ".C"
        << QByteArray("0001000200000000") << "1|2";
    // Typed numbers take the separator setting, read ones keep the PC's and still convert.
    QTest::newRow("comma setting, point PC") << kRowInitialValue << "5,5|12.3|7,|-0,37" << ",C"
        << QByteArray("000000370000007B00000046FFFFFFFD") << "5,5|12.3|7|-0,3";
    QTest::newRow("point setting, comma PC") << kRowTariff4InitialValue << "5.5|12,3" << ".de_DE"
        << QByteArray("000000370000007B0000000000000000") << "5.5|12,3";
    // clang-format on
}

void TstPayload::rowPayload() {
    QFETCH(int, row);
    QFETCH(QString, cells);
    QFETCH(QString, format);
    QFETCH(QByteArray, payload);
    QFETCH(QString, cellsAfter);
    DeviceTables tables;
    fillRows(tables.Grid_data, row, cells);
    tables.Grid_data.setGridColumnCount(int(cellsAfter.count('|')) + 2);
    const int registers = row == kRowUnit ? 6 : isTenthsRow(row) ? 8 : 4;
    const PayloadResult result =
        RowPayload(row, tables.Grid_data, registers, format.left(1), QLocale(format.mid(1)));
    QVERIFY2(result.ok, qPrintable(result.error));
    QCOMPARE(result.bytes.toHex().toUpper(), payload);
    QCOMPARE(rowTexts(tables.Grid_data, row).section('|', 0, cellsAfter.count('|')), cellsAfter);
}

void TstPayload::rowPayloadErrors_data() {
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("cells");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("message");
    // clang-format off
    QTest::newRow("70000") << kRowPulseConstant << "1|70000" << ".C"
        << "Pulse Constant, input 2: '70000' is out of range 0 to 65535";
    QTest::newRow("negative") << kRowUserNumber << "-1" << ".C"
        << "User number, input 1: '-1' is out of range 0 to 65535";
    QTest::newRow("letters") << kRowUserNumber << "12a" << ".C"
        << "User number, input 1: '12a' is not a valid number";
    QTest::newRow("start hour 256") << kRowTariff1Start << "|256;|1" << ".C"
        << "Tariff 1 start hour, input 2: '256' is out of range 0 to 255";
    QTest::newRow("duration 300") << kRowTariff3Start << "1;300" << ".C"
        << "Tariff 3 duration, input 1: '300' is out of range 0 to 255";
    QTest::newRow("duration empty") << kRowTariff2Start << "7;" << ".C"
        << "Tariff 2 duration, input 1: '' is not a valid number";
    QTest::newRow("nine nines") << kRowInitialValue << "999999999" << ".C"
        << "Initial value, input 1: '999999999' is out of range -214748364.8 to 214748364.7";
    QTest::newRow("comma on a point PC") << kRowInitialValue << "||12,5" << ".C"
        << "Initial value, input 3: '12,5' is not a valid number";
    QTest::newRow("two marks") << kRowInitialValue << "1,234.5" << ",C"
        << "Initial value, input 1: '1,234.5' is not a valid number";
    QTest::newRow("exponent") << kRowInitialValue << "1e3" << ".C"
        << "Initial value, input 1: '1e3' is not a valid number";
    QTest::newRow("NUL in a number") << kRowUserNumber << QStringLiteral("12") + QChar(0) + "abc"
        << ".C" << "User number, input 1: '12\\x00abc' is not a valid number";
    QTest::newRow("NUL in tenths") << kRowInitialValue << QString(" 1") + QChar(0) + "-3 " << ".C"
        << "Initial value, input 1: ' 1\\x00-3 ' is not a valid number";
    QTest::newRow("group separator") << kRowTariff1InitialValue << "1.234" << ",de_DE"
        << "Tariff 1 initial value, input 1: '1.234' is not a valid number";
    QTest::newRow("free text") << kRowFreeText << "x" << ".C"
        << "Free text is not written to the device";
    // clang-format on
}

void TstPayload::rowPayloadErrors() {
    QFETCH(int, row);
    QFETCH(QString, cells);
    QFETCH(QString, format);
    QFETCH(QString, message);
    DeviceTables tables;
    fillRows(tables.Grid_data, row, cells);
    const PayloadResult result =
        RowPayload(row, tables.Grid_data, 16, format.left(1), QLocale(format.mid(1)));
    QVERIFY(!result.ok);
    QCOMPARE(result.error, message);
    // A text that cannot be sent stays as it was typed.
    const QString typed = cells.section(';', 0, 0);
    QCOMPARE(rowTexts(tables.Grid_data, row).section('|', 0, int(typed.count('|'))), typed);
}

void TstPayload::tenthsRoundTrip_data() {
    QTest::addColumn<int>("tenths");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("decSeparator");
    // clang-format off
    QTest::newRow("point") << 1234 << "C" << "123.4" << ".";
    QTest::newRow("point PC, comma setting") << 1234 << "C" << "123.4" << ",";
    QTest::newRow("comma") << 1234 << "de_DE" << "123,4" << ",";
    QTest::newRow("comma PC, point setting") << -5 << "de_DE" << "-0,5" << ".";
    QTest::newRow("ten digits") << 1234567895 << "C" << "123456789.5" << ".";
    QTest::newRow("highest") << std::numeric_limits<int>::max() << "C" << "214748364.7" << ",";
    QTest::newRow("lowest") << std::numeric_limits<int>::min() << "de_DE" << "-214748364,8" << ".";
    // clang-format on
}

// Shown as read, with every digit, and sent back as the same number of tenths whatever the
// separator setting.
void TstPayload::tenthsRoundTrip() {
    QFETCH(int, tenths);
    QFETCH(QString, locale);
    QFETCH(QString, text);
    QFETCH(QString, decSeparator);
    const QLocale numbers(locale);
    QCOMPARE(formatTenths(tenths, numbers), text);
    DeviceTables tables;
    tables.Grid_data.setCell(1, kRowInitialValue, text);
    const PayloadResult result =
        RowPayload(kRowInitialValue, tables.Grid_data, 2, decSeparator, numbers);
    QCOMPARE(result.bytes.toHex(), QByteArray::number(quint32(tenths), 16).rightJustified(8, '0'));
}

void TstPayload::freeTextRecord_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("record");
    QTest::newRow("3 characters") << "ABC" << QByteArray("41424300");
    QTest::newRow("4 characters") << "ABCD" << QByteArray("414243440000");
    QTest::newRow("25 characters")
        << "ABCDEFGHIJKLMNOPQRSTUVWXY" << QByteArray("4142434445464748494a0000");
    QTest::newRow("Windows-1251") << "Уред€é" << QByteArray("d3f0e5e4883f0000");
    QTest::newRow("empty") << "" << QByteArray();
}

void TstPayload::freeTextRecord() {
    QFETCH(QString, text);
    QFETCH(QByteArray, record);
    DeviceFixture f;
    f.tables.Grid_data.setCell(7, kRowFreeText, text);
    const auto result = FreeTextRecord(7, f.tables.Grid_data, f.out);
    QCOMPARE(result.value_or(QByteArray()).toHex(), record);
    QCOMPARE(f.out.logLines.join(""),
             text.isEmpty() ? "Info for input 7 not entered, skipping..." : "");
}

void TstPayload::clock_data() {
    QTest::addColumn<QDateTime>("local");
    QTest::addColumn<QByteArray>("payload");
    QTest::newRow("2026") << QDateTime({2026, 12, 6}, {14, 7}) << QByteArray("3c460e07");
    QTest::newRow("2005") << QDateTime({2005, 1, 31}, {0, 59}) << QByteArray("01bf003b");
    QTest::newRow("2000") << QDateTime({2000, 1, 1}, {23, 0}) << QByteArray("a1011700");
    QTest::newRow("1999") << QDateTime({1999, 1, 1}, {0, 0}) << QByteArray("c1610000");
    QTest::newRow("2100") << QDateTime({2100, 2, 28}, {0, 0}) << QByteArray("629c0000");
}

void TstPayload::clock() {
    QFETCH(QDateTime, local);
    QFETCH(QByteArray, payload);
    QCOMPARE(clockPayload(local).toHex(), payload);
}

void TstPayload::windows1251RoundTrip() {
    QByteArray every(256, '\0');
    for (int byte = 0; byte < 256; ++byte)
        every[byte] = char(byte);
    const QString text = decodeWindows1251(every);
    QCOMPARE(encodeWindows1251(text), every);
    QCOMPARE(text.mid(0xB8, 2), QStringLiteral("ё№"));
}

QTEST_GUILESS_MAIN(TstPayload)
#include "tst_payload.moc"
