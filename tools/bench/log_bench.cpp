// GUI-thread CPU of a flood of received-bytes lines: the pane appended line by line, as it was,
// beside LogPane, which gathers the lines and adds them in batches. Lines arrive at a steady rate
// (830 a second by default, one per event-loop pass), and the figure is the process's CPU time
// per line and as a share of one core. Both panes must end with the same text.
//
//     corvane-log-bench [lines-per-second] [seconds]
//     corvane-log-bench --memory [lines]
//
// The second form floods the pane as fast as it takes lines, in batches as at 830 lines a second,
// first with a limit of 1000 lines, then without one, and prints the pane's line count and how
// much the process's resident memory grew in each.
//
// Run it offscreen (QT_QPA_PLATFORM=offscreen) or on a display; a display costs more per paint.
#include "log_pane.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QTimer>

#include <QFile>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>

using namespace corvane;

namespace {

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The received-bytes pane as the window makes it.
QPlainTextEdit *makePane() {
    auto *pane = new QPlainTextEdit;
    pane->resize(465, 89);
    pane->setReadOnly(true);
    pane->setLineWrapMode(QPlainTextEdit::NoWrap);
    pane->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    pane->show();
    return pane;
}

// The hex line of a 37-byte reply, as the engine logs it.
QString trafficLine(int n) {
    QString line;
    for (int i = 0; i < 37; ++i)
        line += QStringLiteral("%1h ").arg((n + i) & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
    return line;
}

struct Result {
    double cpuPerLineMs;
    double coreShare;
};

Result flood(const std::function<void(const QString &)> &append,
             const std::function<void()> &finish, int linesPerSecond, int seconds) {
    const int total = linesPerSecond * seconds;
    int sent = 0;
    QElapsedTimer clock;
    QTimer pace;
    pace.setTimerType(Qt::PreciseTimer);
    pace.setInterval(1);
    QEventLoop loop;
    QObject::connect(&pace, &QTimer::timeout, &loop, [&] {
        const int due = std::min(total, int(clock.nsecsElapsed() * linesPerSecond / 1000000000));
        // One line per event-loop pass, as receive events come.
        if (sent < due)
            append(trafficLine(sent++));
        if (sent == total)
            loop.quit();
    });
    const double cpuBefore = cpuSeconds();
    clock.start();
    pace.start();
    loop.exec();
    finish();
    QApplication::processEvents();
    const double cpu = cpuSeconds() - cpuBefore;
    const double wall = clock.nsecsElapsed() / 1e9;
    return {cpu * 1000 / total, cpu / wall};
}

// The process's resident memory, in MiB.
double residentMiB() {
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toDouble() * double(::sysconf(_SC_PAGESIZE)) / 1048576.0
                             : 0;
}

struct Kept {
    int lines;
    double grewMiB;
};

Kept fill(int limit, int lines) {
    QPlainTextEdit *pane = makePane();
    Kept kept{};
    {
        LogPane log(pane);
        log.setLineLimit(limit);
        const double before = residentMiB();
        for (int i = 0; i < lines; ++i) {
            log.append(trafficLine(i));
            // 33 lines come in 40 ms at 830 lines a second: one batch.
            if (i % 33 == 32) {
                log.flush();
                QApplication::processEvents();
            }
        }
        log.flush();
        QApplication::processEvents();
        kept = {pane->blockCount(), residentMiB() - before};
    }
    delete pane;
    return kept;
}

int memory(int lines) {
    const Kept limited = fill(1000, lines);
    const Kept unlimited = fill(0, lines);
    std::printf("%d lines of 37 bytes each\n", lines);
    std::printf("limit 1000: %d lines kept, resident memory grew %.1f MiB\n", limited.lines,
                limited.grewMiB);
    std::printf("no limit:   %d lines kept, resident memory grew %.1f MiB\n", unlimited.lines,
                unlimited.grewMiB);
    return limited.lines == 1000 && unlimited.lines == lines ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    if (argc > 1 && QByteArray(argv[1]) == "--memory")
        return memory(argc > 2 ? std::max(1001, std::atoi(argv[2])) : 100000);
    const int rate = argc > 1 ? std::max(1, std::atoi(argv[1])) : 830;
    const int seconds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;

    // The flood's own cost (pacing and formatting), which both figures below include.
    const Result idle = flood([](const QString &) {}, [] {}, rate, seconds);

    QPlainTextEdit *direct = makePane();
    const Result before = flood([direct](const QString &line) { direct->appendPlainText(line); },
                                [] {}, rate, seconds);

    QPlainTextEdit *batched = makePane();
    LogPane pane(batched);
    const Result after = flood([&pane](const QString &line) { pane.append(line); },
                               [&pane] { pane.flush(); }, rate, seconds);

    const bool same = direct->toPlainText() == batched->toPlainText();
    std::printf("%d lines at %d lines/s\n", rate * seconds, rate);
    std::printf("flood alone:  %.3f ms CPU per line, %.1f %% of a core\n", idle.cpuPerLineMs,
                idle.coreShare * 100);
    std::printf("line by line: %.3f ms CPU per line, %.1f %% of a core\n", before.cpuPerLineMs,
                before.coreShare * 100);
    const double paneBefore = before.cpuPerLineMs - idle.cpuPerLineMs;
    const double paneAfter = after.cpuPerLineMs - idle.cpuPerLineMs;
    std::printf("batched:      %.3f ms CPU per line, %.1f %% of a core\n", after.cpuPerLineMs,
                after.coreShare * 100);
    std::printf("the pane's own share: %.3f ms per line before, %.3f ms after (%.0f x less)\n",
                paneBefore, paneAfter, paneBefore / std::max(paneAfter, 1e-6));
    std::printf("pane texts identical: %s\n", same ? "yes" : "NO");
    delete direct;
    delete batched;
    return same ? 0 : 1;
}
