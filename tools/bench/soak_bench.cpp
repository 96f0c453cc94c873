// Full parameter reads of a QTR-8D in one window process, offscreen, against the simulated
// logger with random faults on its replies: the share of reads that ended and of reads that got
// every reply, the time a read takes, and resident memory after 100 reads and after all.
//
//     QT_QPA_PLATFORM=offscreen corvane-soak-bench [--reads N] [--fast] [--retries N]
//         [--fault-rate R] [--window MS] [--counters] [--late]
//
// The faults are drawn from every kind but the exception, which is an answer, not a line
// fault: silence, late replies, bad CRCs, leading zeros, fillers, split replies and another
// address's reply. A read that got every reply must show the same parameter table as the first
// such read; one that does not took a wrong reply as its own, and is counted as wrong.
//
// --counters reads the counters and battery instead (seven requests, six of them alike in
// length), of a logger whose counters stand still at values that differ from block to block;
// --late makes every fault a reply late by 1.5 windows, as a busy logger or a buffering gateway
// gives it. Every cell of every read, whole or not, is compared with a clean read made before
// the faults: a cell that differs is a wrong value taken as good.
#include "bench_util.h"
#include "desktop_services.h"
#include "error_display.h"
#include "logger_simulator.h"
#include "main_window.h"
#include "sleeper.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>

using namespace corvane;
using bench::residentMiB;
using bench::waitFor;

namespace {

class NoBoxes : public MessageBoxes {
public:
    void inform(const QString &, const QString &) override {}
    bool confirm(const QString &, const QString &) override { return false; }
};

class NoDialogs : public FileDialogs {
public:
    QString saveFileName(const QString &, const QString &) override { return {}; }
    QString openFileName(const QString &) override { return {}; }
};

class NoOpener : public DesktopOpener {
public:
    void open(const QString &, Failure) override {}
};

} // namespace

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    int reads = 1000;
    bool fast = false;
    int retries = 0;
    double faultRate = 0.01;
    int windowMs = 100;
    bool counters = false;
    bool late = false;
    for (int i = 1; i < argc; ++i) {
        const auto value = [&] { return i + 1 < argc ? argv[++i] : "0"; };
        if (std::strcmp(argv[i], "--reads") == 0)
            reads = std::max(1, std::atoi(value()));
        else if (std::strcmp(argv[i], "--fast") == 0)
            fast = true;
        else if (std::strcmp(argv[i], "--retries") == 0)
            retries = std::atoi(value());
        else if (std::strcmp(argv[i], "--fault-rate") == 0)
            faultRate = std::atof(value());
        else if (std::strcmp(argv[i], "--window") == 0)
            windowMs = std::max(100, std::atoi(value()));
        else if (std::strcmp(argv[i], "--counters") == 0)
            counters = true;
        else if (std::strcmp(argv[i], "--late") == 0)
            late = true;
        else {
            std::fprintf(stderr, "usage: corvane-soak-bench [--reads N] [--fast] [--retries N] "
                                 "[--fault-rate R] [--window MS] [--counters] [--late]\n");
            return 2;
        }
    }

    LoggerSimulator sim;
    sim.addSlave(1, Model::Qtr8d);
    if (counters) {
        sim.withLogger(1, [](LoggerModel &logger) {
            for (int input = 1; input <= 8; ++input) {
                logger.setPulseRate(input, 0);
                logger.setInitialValue(input, 100 * input + 7);
                logger.setTotalPulses(input, 1000 * input + 1);
                for (int tariff = 1; tariff <= 4; ++tariff)
                    logger.setTariffPulses(input, tariff, 1000 * input + 10 * tariff);
            }
        });
    }
    const auto faultsOn = [&] {
        if (late) {
            FaultRule shape;
            shape.delay = std::chrono::milliseconds(windowMs * 3 / 2);
            sim.setRandomFaults(faultRate, 20261208, {FaultKind::Delay}, shape);
            return;
        }
        sim.setRandomFaults(faultRate, 20261208,
                            {FaultKind::NoReply, FaultKind::Delay, FaultKind::BadCrc,
                             FaultKind::LeadingZeros, FaultKind::TrailingFiller, FaultKind::Split,
                             FaultKind::WrongAddress});
    };
    if (!counters)
        faultsOn();
    QString error;
    if (!sim.start({}, &error)) {
        std::fprintf(stderr, "simulator did not start: %s\n", qPrintable(error));
        return 1;
    }
    QTemporaryDir scratch;
    const QString ini = scratch.filePath(QStringLiteral("corvane.ini"));
    {
        QFile file(ini);
        if (!file.open(QIODevice::WriteOnly))
            return 1;
        file.write(QStringLiteral("[Com port]\nName=%1\nSpeed=9600\nParity=None\nAutoOpen=1\n"
                                  "[Misc]\nResponse Time=%2\nFastReplies=%3\nRetries=%4\n"
                                  "LogLineLimit=1000\n")
                       .arg(sim.slavePath())
                       .arg(windowMs)
                       .arg(fast ? 1 : 0)
                       .arg(retries)
                       .toUtf8());
    }
    NoBoxes boxes;
    NoDialogs dialogs;
    NoOpener opener;
    AppServices services;
    services.boxes = &boxes;
    services.dialogs = &dialogs;
    services.opener = &opener;
    services.sleeper = &defaultSleeper();
    services.settingsPath = ini;
    services.autostartEntryPath = scratch.filePath(QStringLiteral("Corvane.desktop"));
    services.manualFolder = scratch.path();
    // Error boxes of the port would block a window; here they are counted.
    int errors = 0;
    const auto tableText = [](const StringGrid &grid) {
        QStringList cells;
        for (int row = 1; row < grid.gridRowCount(); ++row)
            for (int col = 1; col < grid.gridColumnCount(); ++col)
                cells << grid.cell(col, row);
        return cells;
    };
    setErrorSink([&errors](const QString &) { ++errors; });
    TForm1 window(services);
    window.show();
    if (!waitFor([&] { return window.portOpen(); }, 10000))
        return 1;
    window.ui.BitBtn27->click();
    if (!waitFor([&] { return !window.session().runner.isBusy(); }, 30000) ||
        window.session().device.DeviceType != QLatin1String("QTR-8D")) {
        // A fault may hit the identification; one more try.
        window.ui.BitBtn27->click();
        waitFor([&] { return !window.session().runner.isBusy(); }, 30000);
    }
    QPushButton *const readButton = counters ? window.ui.BitBtn6 : window.ui.BitBtn1;
    const StringGrid &grid =
        counters ? window.session().tables.Grid_data2 : window.session().tables.Grid_data;
    const int steps = counters ? 7 : 21;
    QStringList wholeTable;
    if (counters) {
        // The truth, read before any fault.
        readButton->click();
        waitFor([&] { return !window.session().runner.isBusy() && readButton->isEnabled(); },
                30000);
        const CommandSummary &clean = window.session().runner.lastSummary();
        if (clean.answered != steps) {
            std::fprintf(stderr, "the clean read got %d of %d replies\n", clean.answered, steps);
            return 1;
        }
        wholeTable = tableText(grid);
        faultsOn();
    }
    int ended = 0;
    int whole = 0;
    int wrong = 0;
    int wrongCells = 0;
    double at100 = 0;
    qint64 totalMs = 0;
    for (int read = 1; read <= reads; ++read) {
        QElapsedTimer t;
        t.start();
        readButton->click();
        const bool done = waitFor(
            [&] { return !window.session().runner.isBusy() && readButton->isEnabled(); }, 120000);
        totalMs += t.elapsed();
        if (done)
            ++ended;
        const CommandSummary &summary = window.session().runner.lastSummary();
        const bool allReplies = done && summary.answered == summary.sent && summary.sent == steps;
        if (allReplies)
            ++whole;
        // A counters read's cells are known whatever became of its steps; a parameter read's
        // only once one read got every reply.
        if (allReplies || counters) {
            const QStringList table = tableText(grid);
            if (wholeTable.isEmpty())
                wholeTable = table;
            else if (table != wholeTable) {
                ++wrong;
                for (qsizetype i = 0; i < table.size(); ++i)
                    wrongCells += table[i] != wholeTable[i] ? 1 : 0;
                if (qEnvironmentVariableIsSet("SOAK_DIFF"))
                    for (qsizetype i = 0; i < table.size(); ++i)
                        if (table[i] != wholeTable[i])
                            std::fprintf(stderr, "read %d cell %lld: %s, not %s\n", read,
                                         static_cast<long long>(i), qPrintable(table[i]),
                                         qPrintable(wholeTable[i]));
            }
        }
        if (read == 100)
            at100 = residentMiB();
        if (read % 100 == 0)
            std::fprintf(stderr, "%d reads, %d whole, %.1f MiB\n", read, whole, residentMiB());
    }
    const double atEnd = residentMiB();
    std::printf("%s %s, %s timing, %d ms window, fault rate %.2f%s, %d retries: %d reads, %d "
                "ended (%.1f %%), %d with every reply (%.1f %%), %d with wrong values (%d cells), "
                "%.3f s a read; resident %.1f MiB after 100, %.1f MiB after %d (%+.1f MiB); "
                "%d error messages\n",
                counters ? "counters" : "parameter", "reads", fast ? "fast" : "designed", windowMs,
                faultRate, late ? " (late by 1.5 windows)" : "", retries, reads, ended,
                100.0 * ended / reads, whole, 100.0 * whole / reads, wrong, wrongCells,
                double(totalMs) / reads / 1000.0, at100, atEnd, reads, atEnd - at100, errors);
    return 0;
}
