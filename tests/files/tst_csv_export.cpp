#include "address_store.h"
#include "csv_export.h"
#include "device_tables.h"
#include "monitor_log.h"
#include "windows1251.h"

#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

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
    void monitorRowCells_data();
    void monitorRowCells();
    void monitorLogKeepsWhatWasWrittenWhenTheDiskIsFull();
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

// A monitor row's cells: the time with its offset, the values as numbers, empty where nothing
// came, a cell holding the separator quoted, and the first failure last.
void TstCsvExport::monitorRowCells_data() {
    QTest::addColumn<QString>("separator");
    QTest::addColumn<int>("offsetSeconds");
    QTest::addColumn<QString>("model");
    QTest::addColumn<bool>("answered");
    QTest::addColumn<QString>("expected");
    const QString empties = QString(8 * 7 - 7, QLatin1Char(';'));
    QTest::newRow("answered, east of UTC")
        << QStringLiteral(";") << 7200 << QStringLiteral("QTR-8D") << true
        << QStringLiteral("2026-12-08T21:05:07+02:00;7;QTR-8D;12.5;-3;1;2;3;4;0.2") + empties +
               QStringLiteral(";3.75;\r\n");
    QTest::newRow("silent, west of UTC")
        << QStringLiteral(";") << -(3 * 3600 + 30 * 60) << QStringLiteral("QTR-8D") << false
        << QStringLiteral("2026-12-08T21:05:07-03:30;7;QTR-8D;;;;;;;") + empties +
               QStringLiteral(";;no reply\r\n");
    QTest::newRow("separator in a cell")
        << QStringLiteral("-") << 0 << QStringLiteral("QTR-8D") << false
        << QStringLiteral("\"2026-12-08T21:05:07+00:00\"-7-\"QTR-8D\"") +
               QString(8 * 7 + 1, QLatin1Char('-')) + QStringLiteral("-no reply\r\n");
}

void TstCsvExport::monitorRowCells() {
    QFETCH(QString, separator);
    QFETCH(int, offsetSeconds);
    QFETCH(QString, model);
    QFETCH(bool, answered);
    QFETCH(QString, expected);
    DeviceReading reading;
    reading.address = 7;
    reading.model = model;
    reading.time = QDateTime(QDate(2026, 12, 8), QTime(21, 5, 7), Qt::OffsetFromUTC, offsetSeconds);
    if (answered) {
        InputReading &in = reading.inputs[0];
        in.consumptionTenths = 125;
        in.totalPulses = -3;
        in.tariffPulses = {1, 2, 3, 4};
        in.flowTenths = 2;
        reading.batteryByte = 191;
    } else {
        reading.failures.push_back({1, ReplyVerdict::of(ReplyVerdict::Kind::NoReply), false});
    }
    QCOMPARE(QString::fromUtf8(MonitorLog::readingRow(reading, separator, QLocale::c())), expected);
}

// With the disk full (a file size limit here), a row that does not fit fails with the reason
// and every row before it stays whole in the file.
void TstCsvExport::monitorLogKeepsWhatWasWrittenWhenTheDiskIsFull() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("monitor.csv"));
    MonitorLog log;
    QVERIFY(log.open(path));
    QVERIFY(log.writeStart({QDateTime::currentDateTime(),
                            std::chrono::seconds(10),
                            QStringLiteral("/dev/ttyUSB0"),
                            {1, 7}},
                           QStringLiteral(";")));
    DeviceReading reading;
    reading.address = 1;
    reading.time = QDateTime::currentDateTime();
    QVERIFY(log.writeReading(reading, QStringLiteral(";"), QLocale::c()));
    const QByteArray before = [&] {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    QVERIFY(before.endsWith("\r\n"));

    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit full = saved;
    full.rlim_cur = rlim_t(before.size());
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &full), 0);
    const bool written = log.writeReading(reading, QStringLiteral(";"), QLocale::c());
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    QVERIFY(!written);
    QVERIFY(!log.errorString().isEmpty());
    QFile f(path);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), before);
}

QTEST_GUILESS_MAIN(TstCsvExport)
#include "tst_csv_export.moc"
