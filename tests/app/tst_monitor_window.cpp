// The monitor offscreen against the simulated logger: started and stopped as an operator does,
// its tables, chart and log file compared with the logger's own counters.
#include "window_fixture.h"

#include "line_statistics_dialog.h"
#include "logger_simulator.h"
#include "monitor_chart.h"
#include "table_rows.h"
#include "value_encoding.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QTableView>
#include <QTableWidget>
#include <QToolButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QWheelEvent>

#include <sys/stat.h>

using namespace corvane;
using namespace corvane::test;

namespace {

QByteArray simIni(const QString &port, bool reopen) {
    return QStringLiteral("[Com port]\nName=%1\nSpeed=9600\nParity=None\nData bits=8\n"
                          "Stop bits=1\nAutoOpen=1\nReopen=%2\n[Misc]\nResponse Time=100\n"
                          "FastReplies=1\n")
        .arg(port)
        .arg(reopen ? 1 : 0)
        .toUtf8();
}

struct MonitorWindow {
    // A QTR-4D at address 3 too, with withSecond.
    explicit MonitorWindow(const QString &link = QString(), bool withSecond = false) {
        sim.addSlave(1, Model::Qtr8d);
        if (withSecond)
            sim.addSlave(3, Model::Qtr4d);
        // Frozen counters, so that every cycle reads what the logger holds now.
        for (int input = 1; input <= 8; ++input) {
            sim.setPulseRate(1, input, 0);
            if (withSecond && input <= 4)
                sim.setPulseRate(3, input, 0);
        }
        started = sim.start(LineOptions{QString(), SerialSettings(), link});
        fixture = std::make_unique<WindowFixture>(
            simIni(link.isEmpty() ? sim.slavePath() : link, !link.isEmpty()));
        started = started && QTest::qWaitFor([this] { return w().portOpen(); });
        w().show();
        w().activateWindow();
        started = started && QTest::qWaitForWindowActive(&w());
        w().ui.PageControl1->setCurrentIndex(3);
        QObject::connect(&w().monitor(), &Monitor::readingReady, &w(),
                         [this](const DeviceReading &r) { readings.append(r); });
    }
    ~MonitorWindow() {
        fixture.reset();
        sim.stop();
    }
    TForm1 &w() { return *fixture->window; }
    void typeInto(QWidget *field, const QString &text) {
        field->setFocus();
        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(field, text);
    }
    // Readings of an address that answered every step.
    int readingsOf(int address) const {
        int n = 0;
        for (const DeviceReading &r : readings)
            n += r.address == address;
        return n;
    }
    int goodReadings(int address) const {
        int n = 0;
        for (const DeviceReading &r : readings)
            n += r.address == address && !r.failureReason();
        return n;
    }
    bool waitStopped() {
        return QTest::qWaitFor([this] { return !w().monitor().isRunning(); }, 20000);
    }

    LoggerSimulator sim;
    bool started = false;
    std::unique_ptr<WindowFixture> fixture;
    QList<DeviceReading> readings;
};

QList<QStringList> csvRows(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    QList<QStringList> rows;
    if (!bytes.endsWith("\r\n"))
        return rows;
    QList<QByteArray> lines = bytes.split('\n');
    lines.removeLast();
    for (const QByteArray &line : lines) {
        if (!line.endsWith('\r'))
            return {};
        rows << QString::fromUtf8(line.chopped(1)).split(QLatin1Char(';'));
    }
    return rows;
}

} // namespace

class TstMonitorWindow : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void cyclesFillTablesChartAndLog();
    void silentAddressAndMissedReadingsAreGaps();
    void logFileMustBeARegularFile_data();
    void logFileMustBeARegularFile();
    void vanishedLogFolderStopsMonitoring();
    void monitoringSurvivesTheLoggerGoingAway();
    void tableShowsEveryAddress();
};

// Started by keyboard with a log file, three cycles later the tables, the chart and every row
// of the file hold the logger's counters; other commands are refused meanwhile, and Esc stops.
void TstMonitorWindow::cyclesFillTablesChartAndLog() {
    MonitorWindow m;
    QVERIFY(m.started);
    TForm1 &w = m.w();
    const QString csv = m.fixture->dir.filePath(QStringLiteral("monitor.csv"));
    m.fixture->dialogs.savePath = csv;
    QTest::mouseClick(w.ui.BitBtn_monitor_file, Qt::LeftButton);
    QVERIFY(w.ui.Check_monitor_log->isChecked());
    m.typeInto(w.ui.Spin_monitor_interval, QStringLiteral("1"));
    QCOMPARE(w.ui.Spin_monitor_interval->value(), 1);
    QCOMPARE(w.ui.Edit_monitor_addresses->text(), QStringLiteral("1"));
    w.ui.BitBtn_monitor_start->setFocus();
    QTest::keyClick(w.ui.BitBtn_monitor_start, Qt::Key_Space);
    QVERIFY(w.monitor().isRunning());
    QVERIFY(!w.ui.BitBtn_monitor_start->isEnabled());

    QTest::mouseClick(w.ui.BitBtn27, Qt::LeftButton);
    QCOMPARE(m.fixture->logLines().last(),
             QStringLiteral("Another request is in progress, please wait..."));
    QTRY_VERIFY_WITH_TIMEOUT(m.goodReadings(1) >= 3, 20000);
    QTest::keyClick(&w, Qt::Key_Escape);
    QVERIFY(m.waitStopped());
    QVERIFY(w.ui.BitBtn_monitor_start->isEnabled());
    const QStringList lines = m.fixture->logLines();
    QVERIFY(lines.contains(QStringLiteral("Monitoring device 1 every 1 s...")));
    QVERIFY(lines.last().startsWith(QStringLiteral("Monitoring stopped after ")));

    // The model was learnt by the monitor itself.
    QCOMPARE(w.session().device.DeviceType, QStringLiteral("QTR-8D"));
    const LoggerModel logger = m.sim.logger(1);
    const QLocale &locale = m.fixture->services.locale;
    const StringGrid &counters = w.session().tables.Grid_data2;
    for (int input = 1; input <= 8; ++input) {
        QCOMPARE(counters.cell(input, kRowTotalPulses), QString::number(logger.totalPulses(input)));
        QVERIFY(!counters.isStale(input, kRowTotalPulses));
    }
    QCOMPARE(w.session().tables.Grid_flow.cell(1, kRowFlow),
             formatTenths(logger.flow(1), locale) + QStringLiteral(" l/s"));

    const QList<QStringList> rows = csvRows(csv);
    QVERIFY(rows.size() >= 6 + 3);
    QCOMPARE(rows.at(0), QStringList{QStringLiteral("Corvane monitor log")});
    QCOMPARE(rows.at(1).at(0), QStringLiteral("Started"));
    QCOMPARE(rows.at(2), (QStringList{QStringLiteral("Interval (s)"), QStringLiteral("1")}));
    QCOMPARE(rows.at(3), (QStringList{QStringLiteral("Port"), m.sim.slavePath()}));
    QCOMPARE(rows.at(4), (QStringList{QStringLiteral("Addresses"), QStringLiteral("1")}));
    // The line statistics close each row: 8 counts, then the reply time's median, 95% and max.
    const int link = 3 + 8 * 7 + 2;
    QCOMPARE(rows.at(5).size(), link + 11);
    QCOMPARE(rows.at(5).at(link), QStringLiteral("Requests"));
    const QRegularExpression iso(
        QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d[+-]\\d\\d:\\d\\d$"));
    int good = 0;
    int requests = 0;
    for (qsizetype i = 6; i < rows.size(); ++i) {
        const QStringList &row = rows.at(i);
        QCOMPARE(row.size(), link + 11);
        QVERIFY2(iso.match(row.at(0)).hasMatch(), qPrintable(row.at(0)));
        QCOMPARE(row.at(1), QStringLiteral("1"));
        QCOMPARE(row.at(2), QStringLiteral("QTR-8D"));
        // Counted since the port opened: each reading adds its requests, all of them answered.
        QVERIFY(row.at(link).toInt() >= requests);
        requests = row.at(link).toInt();
        QCOMPARE(row.at(link + 1), row.at(link));
        for (int count = link + 2; count < link + 8; ++count)
            QCOMPARE(row.at(count), QStringLiteral("0"));
        QVERIFY(!row.at(link + 8 + 2).isEmpty());
        if (!row.at(link - 1).isEmpty())
            continue; // the cycle Esc cut short
        ++good;
        for (int input = 1; input <= 8; ++input) {
            const int at = 3 + (input - 1) * 7;
            QCOMPARE(row.at(at), formatTenths(logger.consumption(input), locale));
            QCOMPARE(row.at(at + 1), QString::number(logger.totalPulses(input)));
            for (int tariff = 1; tariff <= 4; ++tariff)
                QCOMPARE(row.at(at + 1 + tariff),
                         QString::number(logger.tariffPulses(input, tariff)));
            QCOMPARE(row.at(at + 6), formatTenths(logger.flow(input), locale));
        }
        QCOMPARE(row.at(3 + 8 * 7), formatBatteryLevel(logger.batteryByte(), locale));
    }
    QCOMPARE(good, m.goodReadings(1));

    // The chart: the wheel zooms the time axis around the mouse, a drag pans it, the mouse shows
    // time and value, a double click goes back to the whole history; File > "Save chart..."
    // writes a PNG, and never into a FIFO.
    MonitorChart *chart = w.monitorChart();
    QCOMPARE(chart->shownLines(1).size(), 1);
    QVERIFY(chart->follows());
    QWidget *view = chart->viewport();
    const QPoint middle = view->rect().center();
    const auto [from, to] = chart->timeRange();
    QWheelEvent wheel(middle, view->mapToGlobal(middle), QPoint(), QPoint(0, 240), Qt::NoButton,
                      Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(view, &wheel);
    QVERIFY(!chart->follows());
    const auto zoomed = chart->timeRange();
    QVERIFY(zoomed.second - zoomed.first < to - from);
    QVERIFY(zoomed.first >= from && zoomed.second <= to);
    QTest::mousePress(view, Qt::LeftButton, Qt::NoModifier, middle);
    QTest::mouseMove(view, middle + QPoint(100, 0));
    QTest::mouseRelease(view, Qt::LeftButton, Qt::NoModifier, middle + QPoint(100, 0));
    QVERIFY(chart->timeRange().first < zoomed.first);
    QCOMPARE(chart->timeRange().second - chart->timeRange().first, zoomed.second - zoomed.first);
    QTest::mouseMove(view, middle);
    QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d  -?\\d+\\.\\d l/s$"))
                .match(w.ui.Label_monitor_cursor->text())
                .hasMatch());
    QTest::mouseDClick(view, Qt::LeftButton, Qt::NoModifier, middle);
    QVERIFY(chart->follows());
    QCOMPARE(chart->timeRange(), (std::pair{from, to}));

    const QString png = m.fixture->dir.filePath(QStringLiteral("chart.png"));
    m.fixture->dialogs.savePath = png;
    w.ui.N15->trigger();
    QFile picture(png);
    QVERIFY(picture.open(QIODevice::ReadOnly));
    QVERIFY(picture.read(8) == QByteArray("\x89PNG\r\n\x1a\n"));
    QCOMPARE(m.fixture->logLines().last(), QStringLiteral("Chart saved to ") + png);
    const QString fifo = m.fixture->dir.filePath(QStringLiteral("chart-fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    m.fixture->dialogs.savePath = fifo;
    w.ui.N15->trigger();
    QCOMPARE(m.fixture->errors.size(), 1);
    QVERIFY(m.fixture->errors.first().startsWith(QStringLiteral("The chart could not be saved")));
}

// An address where nothing answers gives rows naming the failure and no line at all; a reading
// the logger missed breaks its line instead of dropping to zero, and so does a counter reset in
// pulses per minute.
void TstMonitorWindow::silentAddressAndMissedReadingsAreGaps() {
    MonitorWindow m;
    QVERIFY(m.started);
    TForm1 &w = m.w();
    m.typeInto(w.ui.Spin_monitor_interval, QStringLiteral("1"));
    m.typeInto(w.ui.Edit_monitor_addresses, QStringLiteral("1,2"));
    m.sim.withLogger(1, [](LoggerModel &logger) { logger.setTotalPulses(1, 5000); });
    bool faulted = false;
    connect(&w.monitor(), &Monitor::readingReady, &w, [&](const DeviceReading &r) {
        if (r.address != 1 || faulted)
            return;
        faulted = true;
        FaultRule silence;
        silence.slave = 1;
        silence.function = 4;
        silence.times = 8;
        m.sim.addFault(silence);
    });
    QTest::mouseClick(w.ui.BitBtn_monitor_start, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(m.goodReadings(1) >= 3, 30000);
    // The counter starts again from zero: a break in pulses per minute, not a spike.
    m.sim.withLogger(1, [](LoggerModel &logger) { logger.setTotalPulses(1, 0); });
    const int before = m.goodReadings(1);
    QTRY_VERIFY_WITH_TIMEOUT(m.goodReadings(1) >= before + 2, 30000);
    QTest::mouseClick(w.ui.BitBtn_monitor_stop, Qt::LeftButton);
    QVERIFY(m.waitStopped());

    QVERIFY(m.fixture->logLines().filter(QStringLiteral("device 2: no reply")).size() >= 1);
    // The silent cycle, and possibly the next: until the logger has answered as many requests of
    // a shape as went unanswered, its replies may be the late answers of the silent ones.
    const qsizetype silentCycles =
        m.fixture->logLines().filter(QStringLiteral("device 1: no reply")).size();
    QVERIFY(silentCycles == 1 || silentCycles == 2);
    QCOMPARE(w.ui.Combo_monitor_address->count(), 2);
    MonitorChart *chart = w.monitorChart();
    w.ui.Combo_monitor_quantity->setCurrentIndex(1); // total consumption
    QCOMPARE(chart->shownLines(1).size(), 2);
    for (const auto &line : chart->shownLines(1)) {
        for (const QPointF &p : line)
            QVERIFY(p.y() != 0 || m.sim.logger(1).consumption(1) == 0);
    }
    w.ui.Combo_monitor_quantity->setCurrentIndex(2); // pulses per minute
    // Input 1 counted nothing, then jumped back: each side of the reset and of the gap is a
    // line of its own, none of them below zero.
    QVERIFY(chart->shownLines(1).size() >= 2);
    for (const auto &line : chart->shownLines(1)) {
        for (const QPointF &p : line)
            QCOMPARE(p.y(), 0.0);
    }
    w.ui.Combo_monitor_address->setCurrentIndex(1);
    QCOMPARE(chart->address(), 2);
    QVERIFY(chart->shownLines(1).isEmpty());
    for (const DeviceReading &r : m.readings) {
        if (r.address == 2 && !r.stopped)
            QCOMPARE(r.failureReason(), std::optional(QStringLiteral("no reply")));
    }
}

void TstMonitorWindow::logFileMustBeARegularFile_data() {
    QTest::addColumn<QString>("kind");
    QTest::newRow("FIFO") << QStringLiteral("fifo");
    QTest::newRow("device node") << QStringLiteral("device");
    QTest::newRow("folder") << QStringLiteral("folder");
    QTest::newRow("link to a FIFO") << QStringLiteral("link");
}

void TstMonitorWindow::logFileMustBeARegularFile() {
    QFETCH(QString, kind);
    MonitorWindow m;
    QVERIFY(m.started);
    TForm1 &w = m.w();
    QString path = m.fixture->dir.filePath(QStringLiteral("log"));
    const QString fifo = m.fixture->dir.filePath(QStringLiteral("fifo"));
    QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    if (kind == QLatin1String("fifo"))
        path = fifo;
    else if (kind == QLatin1String("device"))
        path = QStringLiteral("/dev/null");
    else if (kind == QLatin1String("folder"))
        QVERIFY(QDir().mkdir(path));
    else
        QVERIFY(QFile::link(fifo, path));
    m.fixture->dialogs.savePath = path;
    QTest::mouseClick(w.ui.BitBtn_monitor_file, Qt::LeftButton);
    QTest::mouseClick(w.ui.BitBtn_monitor_start, Qt::LeftButton);
    QVERIFY(!w.monitor().isRunning());
    QCOMPARE(m.fixture->logLines().last(),
             QStringLiteral("The monitor log %1 can not be written: %2")
                 .arg(path, kind == QLatin1String("link") ? QStringLiteral("it is a symbolic link")
                                                          : QStringLiteral("it is not a regular file")));
    QCOMPARE(m.sim.requestCount(), 0);
}

// The folder of the log goes away while monitoring: one line says so, monitoring ends, and the
// rows written before stay where they were read.
void TstMonitorWindow::vanishedLogFolderStopsMonitoring() {
    MonitorWindow m;
    QVERIFY(m.started);
    TForm1 &w = m.w();
    const QString folder = m.fixture->dir.filePath(QStringLiteral("logs"));
    QVERIFY(QDir().mkdir(folder));
    const QString csv = folder + QStringLiteral("/monitor.csv");
    m.fixture->dialogs.savePath = csv;
    QTest::mouseClick(w.ui.BitBtn_monitor_file, Qt::LeftButton);
    m.typeInto(w.ui.Spin_monitor_interval, QStringLiteral("1"));
    QTest::mouseClick(w.ui.BitBtn_monitor_start, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(m.goodReadings(1) >= 1, 20000);
    const QList<QStringList> written = csvRows(csv);
    QCOMPARE(written.size(), 7);
    const QString kept = m.fixture->dir.filePath(QStringLiteral("kept.csv"));
    QVERIFY(QFile::copy(csv, kept));
    QVERIFY(QDir(folder).removeRecursively());
    QVERIFY(m.waitStopped());
    const QStringList lines = m.fixture->logLines();
    const QString line = QStringLiteral("The monitor log %1 could not be written: the file or its "
                                        "folder is gone. Monitoring stopped; the rows written "
                                        "before are kept")
                             .arg(csv);
    QCOMPARE(lines.last(), line);
    QCOMPARE(lines.filter(QStringLiteral("Monitoring stopped")).size(), 1);
    QCOMPARE(csvRows(kept), written);
}

// The logger's line goes away and comes back: the cycles meanwhile are logged as failed, and
// the cycles after the port has been reopened read again.
void TstMonitorWindow::monitoringSurvivesTheLoggerGoingAway() {
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("logger"));
    MonitorWindow m(link);
    QVERIFY(m.started);
    TForm1 &w = m.w();
    m.typeInto(w.ui.Spin_monitor_interval, QStringLiteral("1"));
    QTest::mouseClick(w.ui.BitBtn_monitor_start, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(m.goodReadings(1) >= 1, 20000);
    m.sim.stop();
    QTRY_VERIFY_WITH_TIMEOUT(
        !m.fixture->logLines().filter(QStringLiteral("device 1: the port")).isEmpty(), 20000);
    QVERIFY(w.monitor().isRunning());
    const int before = m.goodReadings(1);
    QVERIFY(m.sim.start(LineOptions{QString(), SerialSettings(), link}));
    QTRY_VERIFY_WITH_TIMEOUT(m.goodReadings(1) >= before + 2, 20000);
    QVERIFY(w.monitor().isRunning());
    w.close();
    QVERIFY(!w.monitor().isRunning());
}

// Two loggers and a silent address on the Monitor page at the window's designed size: the
// table, the chart and the line statistics say what the line did, row by row, and the port
// closed by hand ends the monitor with one line.
void TstMonitorWindow::tableShowsEveryAddress() {
    MonitorWindow m(QString(), true);
    QVERIFY(m.started);
    TForm1 &w = m.w();
    QScrollArea *page = w.ui.pageScrolls[3];
    QCOMPARE(w.ui.PageControl1->tabText(3), QStringLiteral("Monitor"));
    QVERIFY(page->isAncestorOf(w.ui.GroupBox_monitor));
    // Table and chart both in view, nothing to scroll.
    QVERIFY(!page->verticalScrollBar()->isVisible());
    for (QWidget *shown : {static_cast<QWidget *>(w.ui.Grid_monitor),
                           static_cast<QWidget *>(w.monitorChart())}) {
        const QRect area(shown->mapTo(page->viewport(), QPoint()), shown->size());
        QVERIFY2(page->viewport()->rect().contains(area), shown->objectName().toUtf8());
    }
    QCOMPARE(w.ui.Grid_monitor->accessibleName(), QStringLiteral("Monitor table"));

    m.typeInto(w.ui.Spin_monitor_interval, QStringLiteral("1"));
    m.typeInto(w.ui.Edit_monitor_addresses, QStringLiteral("1-3"));
    QTest::mouseClick(w.ui.BitBtn_monitor_start, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(m.goodReadings(1) >= 3 && m.goodReadings(3) >= 3 && m.readingsOf(2) >= 3,
                             30000);
    const QStringList log = m.fixture->logLines();
    // One line when address 2 is first found silent, none for the cycles after.
    QCOMPARE(log.filter(QStringLiteral("device 2: ")).size(), 1);
    QVERIFY(log.filter(QStringLiteral("device 1")).isEmpty());

    const QAbstractItemModel *table = w.ui.Grid_monitor->model();
    QStringList titles;
    for (int c = 0; c < table->columnCount(); ++c)
        titles << table->headerData(c, Qt::Horizontal).toString();
    QCOMPARE(titles, (QStringList{"Address", "Model", "State", "Last reading", "Battery (V)",
                                  "Pulses 1", "Pulses 2", "Pulses 3", "Pulses 4", "Pulses 5",
                                  "Pulses 6", "Pulses 7", "Pulses 8", "Replies", "Failed",
                                  "Retries", "Reply (ms)"}));
    const auto rowOf = [&](int address) {
        for (int r = 0; r < table->rowCount(); ++r) {
            if (table->index(r, 0).data().toString() == QString::number(address))
                return r;
        }
        return -1;
    };
    const auto text = [&](int address, int column) {
        return table->index(rowOf(address), column).data().toString();
    };
    QCOMPARE(table->rowCount(), 3);
    const QLocale &locale = m.fixture->services.locale;
    for (const int address : {1, 3}) {
        const LoggerModel logger = m.sim.logger(address);
        const int inputs = address == 1 ? 8 : 4;
        QCOMPARE(text(address, 1), address == 1 ? QStringLiteral("QTR-8D") : QStringLiteral("QTR-4D"));
        QCOMPARE(text(address, 2), QStringLiteral("online"));
        QVERIFY(QDateTime::fromString(text(address, 3), QStringLiteral("yyyy-MM-dd HH:mm:ss")).isValid());
        QCOMPARE(text(address, 4), formatBatteryLevel(logger.batteryByte(), locale));
        for (int input = 1; input <= 8; ++input)
            QCOMPARE(text(address, 4 + input),
                     input <= inputs ? QString::number(logger.totalPulses(input)) : QString());
        QVERIFY(text(address, 13).toInt() >= 3 * 8);
        QCOMPARE(text(address, 14), QStringLiteral("0"));
        QVERIFY(!text(address, 16).isEmpty());
    }
    // Silent: said in words, with no value and no reply time.
    QCOMPARE(text(2, 2), QStringLiteral("offline"));
    for (int column = 3; column <= 12; ++column)
        QCOMPARE(text(2, column), QString());
    QCOMPARE(text(2, 13), QStringLiteral("0"));
    QVERIFY(text(2, 14).toInt() >= 3);
    QCOMPARE(text(2, 16), QString());

    // A click on the address title sorts, a second one the other way round.
    QHeaderView *header = w.ui.Grid_monitor->horizontalHeader();
    const QPoint addressTitle(header->sectionViewportPosition(0) + 5, header->height() / 2);
    QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, addressTitle);
    QCOMPARE(table->index(0, 0).data().toString(), QStringLiteral("1"));
    QTest::mouseClick(header->viewport(), Qt::LeftButton, Qt::NoModifier, addressTitle);
    QCOMPARE(table->index(0, 0).data().toString(), QStringLiteral("3"));

    // Choosing the QTR-4D's row shows it in the chart and in the window, its counters filled in
    // from its last reading straight away.
    const QRect cell = w.ui.Grid_monitor->visualRect(table->index(0, 1));
    QTest::mouseClick(w.ui.Grid_monitor->viewport(), Qt::LeftButton, Qt::NoModifier, cell.center());
    QCOMPARE(w.monitorChart()->address(), 3);
    QCOMPARE(w.ui.UD_addr->value(), 3);
    const LoggerModel four = m.sim.logger(3);
    QCOMPARE(w.session().tables.Grid_data2.cell(2, kRowTotalPulses),
             QString::number(four.totalPulses(2)));
    // Consumption cannot be negative: its axis starts at zero, however high the meter stands.
    w.ui.Combo_monitor_quantity->setCurrentIndex(1);
    QCOMPARE(w.monitorChart()->valueRange().first, 0.0);

    // The statistics view: every address since the port opened, copied as tab-separated rows.
    QString copied;
    w.lineStatisticsDialog()->setCopy([&](const QString &text) { copied = text; });
    w.ui.N16->trigger();
    LineStatisticsDialog *view = w.lineStatisticsDialog();
    QVERIFY(view->isVisible());
    QCOMPARE(view->Grid_statistics->rowCount(), 3);
    QTest::mouseClick(view->Button_copy, Qt::LeftButton);
    const QStringList rows = copied.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(rows.size(), 4);
    QCOMPARE(rows.at(0).split(QLatin1Char('\t')).at(1), QStringLiteral("Requests"));
    QCOMPARE(rows.at(2).split(QLatin1Char('\t')).at(2), QStringLiteral("0")); // address 2's replies

    // Closed by hand, the port ends the monitor with one line; opened again, the statistics
    // start afresh.
    QTest::mouseClick(static_cast<QWidget *>(w.ui.BitBtn13), Qt::LeftButton);
    QVERIFY(m.waitStopped());
    const QStringList after = m.fixture->logLines().mid(log.size());
    QCOMPARE(after.filter(QStringLiteral("onitoring stopped")).size(), 1);
    QVERIFY(after.filter(QStringLiteral("The port was closed, monitoring stopped after ")).size() == 1);
    QVERIFY(after.filter(QStringLiteral("running command stopped")).isEmpty());
    QTest::mouseClick(static_cast<QWidget *>(w.ui.BitBtn13), Qt::LeftButton);
    QVERIFY(w.portOpen());
    QVERIFY(w.lineStatistics().isEmpty());
    QTRY_COMPARE(view->Grid_statistics->rowCount(), 0);
    QCOMPARE(text(1, 13), QStringLiteral("0"));
}

QTEST_MAIN(TstMonitorWindow)
#include "tst_monitor_window.moc"
