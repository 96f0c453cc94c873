#include "address_store.h"
#include "csv_export.h"
#include "device_tables.h"
#include "windows1251.h"

#include <QTest>

using namespace corvane;

namespace {

const QByteArray kHeader("\xD3\xF0\xE5\xE4 "); // "Уред " in Windows-1251
const QByteArray kBlockEnd("\r\r\n\n\r\n");

const char *const kParameterTitles[] = {"Unit",
                                        "Pulse Constant",
                                        "User number",
                                        "Free text",
                                        "Initial value",
                                        "Tariff 1 start hour",
                                        "Tariff 1 duration",
                                        "Tariff 2 start hour",
                                        "Tariff 2 duration",
                                        "Tariff 3 start hour",
                                        "Tariff 3 duration",
                                        "Tariff 4 start hour",
                                        "Tariff 4 duration",
                                        "Tariff 1 initial value",
                                        "Tariff 2 initial value",
                                        "Tariff 3 initial value",
                                        "Tariff 4 initial value"};

// A block with every cell empty, written out by hand.
QByteArray emptyParameterBlock(int address, const QByteArray &s) {
    QByteArray block = kHeader + QByteArray::number(address) + "\r\n";
    for (const char *title : kParameterTitles)
        block += QByteArray(title) + s.repeated(9) + "\r\n";
    return block + kBlockEnd;
}

QList<QByteArray> lines(const QByteArray &text) {
    return text.split('\n');
}

} // namespace

class TstCsvExport : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void exportAfterStartUp();
    void rowLine_data();
    void rowLine();
    void blockPerVisitedAddress();
    void countersBlock();
};

void TstCsvExport::exportAfterStartUp() {
    AddressStore store;
    DeviceTables tables;
    const QByteArray text = parameterExport(store, tables.Grid_data, QStringLiteral(";"));
    QCOMPARE(text, emptyParameterBlock(1, ";"));
    QVERIFY(text.startsWith("\xD3\xF0\xE5\xE4\x20\x31\r\n"));
    QVERIFY(text.contains("\r\nUnit;;;;;;;;;\r\n"));
    QVERIFY(text.endsWith("\x0D\x0D\x0A\x0A\x0D\x0A"));
}

void TstCsvExport::rowLine_data() {
    QTest::addColumn<QString>("separator");
    QTest::addColumn<QStringList>("cells"); // inputs 1..n of the unit row
    QTest::addColumn<QByteArray>("line");

    QTest::newRow("comma") << "," << QStringList{"m3", "m3"} << QByteArray("Unit,m3,m3,,,,,,,");
    QTest::newRow("empty separator")
        << "" << QStringList{"m3", "kWh", "", "l", "", "", "", "GJ"} << QByteArray("Unitm3kWhlGJ");
    QTest::newRow("several characters")
        << "<->" << QStringList{"m3"} << QByteArray("Unit<->m3<-><-><-><-><-><-><-><->");
    QTest::newRow("tab") << "\t" << QStringList{"", "x"} << QByteArray("Unit\t\tx\t\t\t\t\t\t\t");
    QTest::newRow("cell holding the separator, not quoted")
        << ";" << QStringList{"a;b", "\"q\""} << QByteArray("Unit;a;b;\"q\";;;;;;;");
    QTest::newRow("Cyrillic cell and separator")
        << QString::fromUtf8("ж") << QStringList{QString::fromUtf8("Вода")}
        << QByteArray("Unit\xE6\xC2\xEE\xE4\xE0\xE6\xE6\xE6\xE6\xE6\xE6\xE6\xE6");
}

void TstCsvExport::rowLine() {
    QFETCH(QString, separator);
    QFETCH(QStringList, cells);
    QFETCH(QByteArray, line);

    AddressStore store;
    DeviceTables tables;
    for (int c = 0; c < cells.size(); ++c)
        store.setCell(1, c + 1, 1, cells[c]);
    const QByteArray text = parameterExport(store, tables.Grid_data, separator);
    QCOMPARE(lines(text).value(1), line + "\r");
    // The other rows keep their 9 separators, whatever the separator is.
    QCOMPARE(lines(text).value(2),
             QByteArray("Pulse Constant") + encodeWindows1251(separator).repeated(9) + "\r");
}

void TstCsvExport::blockPerVisitedAddress() {
    AddressStore store;
    DeviceTables tables;
    store.HighestAddress = 3;
    store.CurrentAddress = 1;
    store.setCell(2, 8, 17, "9.9");
    QByteArray second = emptyParameterBlock(2, ";");
    second.replace("Tariff 4 initial value;;;;;;;;;", "Tariff 4 initial value;;;;;;;;9.9;");
    QCOMPARE(parameterExport(store, tables.Grid_data, QStringLiteral(";")),
             emptyParameterBlock(1, ";") + second + emptyParameterBlock(3, ";"));
}

// One block for the selector's address, whatever HighestAddress is; columns the layout hides
// are exported as the table holds them.
void TstCsvExport::countersBlock() {
    DeviceTables tables;
    tables.Grid_data2.setCell(1, 1, "12.5");
    tables.Grid_data2.setCell(8, 6, "7");
    tables.Grid_data2.setGridColumnCount(5);
    QByteArray expected = kHeader + "12\r\nTotal consumption;12.5;;;;;;;;\r\n";
    for (const char *title :
         {"Total pulses", "Pulses tariff 1", "Pulses tariff 2", "Pulses tariff 3"})
        expected += QByteArray(title) + ";;;;;;;;;\r\n";
    expected += "Pulses tariff 4;;;;;;;;7;\r\n" + kBlockEnd;
    QCOMPARE(countersExport(tables.Grid_data2, 12, QStringLiteral(";")), expected);
}

QTEST_GUILESS_MAIN(TstCsvExport)
#include "tst_csv_export.moc"
