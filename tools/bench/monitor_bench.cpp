// The monitor over many cycles, with its chart, history and CSV log as the window has them.
//
// Memory: 100,000 cycles of one QTR-8D (or of --addresses N of them), readings a second apart on
// the monitor's clock (a day and more of monitoring), answered by the simulated loggers through
// a loopback line that hands each request to the simulator's core at once, so that a day passes
// in minutes. The line statistics, the recorder's history and log, the chart and the monitor
// table are kept as the window keeps them. Resident memory after 1,000 cycles and after all.
//
// Stall: then 30 cycles at a real 1 s interval with the chart full and the table renewed at
// every reading, while a 2 ms precise timer on the GUI thread measures how late it fires.
//
// Cycle time: one monitor cycle of a QTR-8D in fast mode on the simulator's pseudo-terminal,
// beside the same reads started by hand (counters with battery, then flow), alternating.
//
//     QT_QPA_PLATFORM=offscreen corvane-monitor-bench [cycles] [--addresses N] [--skip-memory]
//                                                     [--skip-cycle]
#include "bench_session.h"
#include "bench_util.h"
#include "clock_source.h"
#include "logger_simulator.h"
#include "monitor.h"
#include "monitor_chart.h"
#include "monitor_history.h"
#include "line_statistics.h"
#include "monitor_recorder.h"
#include "monitor_table_model.h"
#include "serial_line.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

using namespace corvane;
using bench::residentMiB;
using bench::waitFor;
using namespace std::chrono_literals;

namespace {

// Whole frames go to the simulator's core; its reply arrives as a received-bytes event.
class LoopbackLine : public SerialLine {
public:
    LoopbackLine(LoggerSimulator &sim) : m_sim(sim) {}
    RequestRunner *runner = nullptr;
    bool IsOpen() const override { return true; }
    int ReadBytes(void *buffer, int count) override {
        const int n = std::min(count, int(m_input.size()));
        std::memcpy(buffer, m_input.constData(), std::size_t(n));
        m_input.remove(0, n);
        return n;
    }
    bool WriteByte(std::uint8_t byte) override {
        m_frame.append(char(byte));
        return true;
    }
    void SetRtsLine(bool on) override {
        if (!on && !m_frame.isEmpty())
            answer(std::exchange(m_frame, {}));
    }
    int WriteBlock(const QByteArray &bytes) override {
        answer(bytes);
        return int(bytes.size());
    }
    int InputQueued() override { return int(m_input.size()); }
    int InputRoom() override { return 4096; }
    int OutputRoom() override { return 4096; }
    bool keysRts() const override { return false; }

private:
    void answer(const QByteArray &frame) {
        m_input += m_sim.handleRequest(frame);
        QTimer::singleShot(0, runner, [this] {
            if (!m_input.isEmpty())
                runner->Comm1RxChar(int(m_input.size()));
        });
    }
    LoggerSimulator &m_sim;
    QByteArray m_input;
    QByteArray m_frame;
};

// The loopback line has no line time, so the inter-frame silence has nothing to wait for.
class NoSleep : public Sleeper {
public:
    void sleep(std::chrono::microseconds) override {}
};

int memoryAndStall(int cycles, int addresses) {
    const QDateTime start = QDateTime::currentDateTime();
    auto clock = std::make_shared<ManualClockSource>(start);
    LoggerSimulator sim;
    sim.setClockSource(clock);
    QList<int> watched;
    for (int address = 1; address <= addresses; ++address) {
        sim.addSlave(address, Model::Qtr8d);
        for (int input = 1; input <= 8; ++input)
            sim.setPulseRate(address, input, 0.5 * input);
        watched << address;
    }
    LoopbackLine line(sim);
    bench::CountingOutput out;
    bench::NoControls controls;
    qint64 seconds = 0;
    bool realClock = false;
    NoSleep noSleep;
    DeviceSession session(SessionEnvironment{
        line, noSleep, out, controls, [] { return 1; }, [] { return true; },
        [] { return QStringLiteral("."); }, QLocale::c(),
        [&] { return realClock ? QDateTime::currentDateTime() : start.addSecs(seconds); }});
    line.runner = &session.runner;
    session.setFastReplies(true);
    DeviceOperations ops(session);
    for (int address : watched)
        session.store.setModel(address, QStringLiteral("QTR-8D"));
    ops.selectAddress(1);

    // As the window has them: the statistics of every step, the recorder's history and log,
    // the chart of one address and the table of all, renewed at every reading.
    LineStatistics statistics;
    statistics.follow(session.runner);
    MonitorRecorder recorder(&statistics);
    QTemporaryDir dir;
    if (!recorder.openLog(dir.filePath(QStringLiteral("monitor.csv")))) {
        std::fprintf(stderr, "log did not open: %s\n", qPrintable(recorder.logError()));
        return 1;
    }
    MonitorChart chart(recorder.history());
    chart.resize(945, 171);
    chart.show();
    chart.setInputs(8);
    MonitorTableModel table(recorder, statistics,
                            [&](int address) { return session.store.model(address); });
    QSortFilterProxyModel sorted;
    sorted.setSourceModel(&table);
    sorted.setSortRole(MonitorTableModel::SortRole);
    QTableView view;
    view.setModel(&sorted);
    view.setSortingEnabled(true);
    view.sortByColumn(MonitorTableModel::Replies, Qt::DescendingOrder);
    view.resize(945, 130);
    view.show();
    Monitor monitor(session);
    int readings = 0;
    int failed = 0;
    QObject::connect(&monitor, &Monitor::readingReady, &monitor, [&](const DeviceReading &r) {
        if (!recorder.record(r, QStringLiteral(";"), QLocale::c()))
            std::fprintf(stderr, "log write failed: %s\n", qPrintable(recorder.logError()));
        table.addressChanged(r.address);
        if (r.address == chart.address())
            chart.refresh();
        ++readings;
        failed += r.failureReason().has_value();
    });
    double at1000 = 0;
    QObject::connect(&monitor, &Monitor::cycleEnded, &monitor, [&](int cycle) {
        // The logger's clock and the monitor's move on a second a cycle.
        ++seconds;
        clock->advance(1s);
        if (cycle == 1000)
            at1000 = residentMiB();
        if (cycle % 10000 == 0)
            std::fprintf(stderr, "%d cycles, %.1f MiB\n", cycle, residentMiB());
        if (cycle >= cycles)
            monitor.stop();
    });
    QElapsedTimer wall;
    wall.start();
    MonitorOptions options{1ms, watched};
    if (!recorder.start({start, options.interval, QStringLiteral("loopback"), watched},
                        QStringLiteral(";")) ||
        monitor.start(options) != CommandStart::Started)
        return 1;
    if (!waitFor([&] { return !monitor.isRunning(); }, 24 * 3600 * 1000))
        return 1;
    const double atEnd = residentMiB();
    std::printf("memory, %d addresses: %d cycles in %.0f s (%d readings, %d failed); resident "
                "%.1f MiB after 1000 cycles, %.1f MiB after %d: %+.1f MiB; history %d of %d "
                "readings an address\n",
                addresses, cycles, wall.elapsed() / 1000.0, readings, failed, at1000, atEnd,
                cycles, atEnd - at1000, recorder.history().count(1),
                recorder.history().capacity());

    // A real second apart now, with the chart full.
    realClock = true;
    bench::StallProbe probe;
    const int stallCycles = 30;
    QObject::connect(&monitor, &Monitor::cycleEnded, &monitor, [&](int cycle) {
        if (cycle >= stallCycles)
            monitor.stop();
    });
    cycles = stallCycles;
    probe.start();
    if (monitor.start({1s, watched}) != CommandStart::Started)
        return 1;
    waitFor([&] { return !monitor.isRunning(); }, 600 * 1000);
    probe.stop();
    std::printf("stall at 1 s, %d addresses, table renewed at every reading, chart full: p99 "
                "%.2f ms, max %.2f ms\n",
                addresses, probe.percentileMs(0.99), probe.percentileMs(1.0));
    return 0;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

int cycleTime() {
    LoggerSimulator sim;
    sim.addSlave(1, Model::Qtr8d);
    QString error;
    if (!sim.start({}, &error)) {
        std::fprintf(stderr, "simulator did not start: %s\n", qPrintable(error));
        return 1;
    }
    bench::SimSession bench(sim, QStringLiteral("QTR-8D"));
    if (!bench.open)
        return 1;
    DeviceSession &session = bench.session;
    session.setFastReplies(true);
    Monitor monitor(session);
    const auto idle = [&] { return !session.runner.isBusy(); };
    std::vector<double> byHand;
    std::vector<double> monitored;
    QObject::connect(&monitor, &Monitor::cycleEnded, &monitor, [&] { monitor.stop(); });
    for (int round = 0; round < 21; ++round) {
        QElapsedTimer t;
        t.start();
        bench.ops.readCounters();
        waitFor(idle, 10000);
        bench.ops.readFlow();
        waitFor(idle, 10000);
        byHand.push_back(t.nsecsElapsed() / 1e6);

        t.restart();
        monitor.start({1h, {1}});
        waitFor([&] { return !monitor.isRunning(); }, 10000);
        monitored.push_back(t.nsecsElapsed() / 1e6);
    }
    const double hand = median(byHand);
    const double cycle = median(monitored);
    std::printf("one cycle, fast mode, pty: monitor %.1f ms, by hand %.1f ms: %.3f x "
                "(medians of %zu, %d failed)\n",
                cycle, hand, cycle / hand, byHand.size(), bench.out.failures);
    return 0;
}

} // namespace

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    int cycles = 100000;
    int addresses = 1;
    bool memory = true;
    bool cycle = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--skip-memory") == 0)
            memory = false;
        else if (std::strcmp(argv[i], "--skip-cycle") == 0)
            cycle = false;
        else if (std::strcmp(argv[i], "--addresses") == 0 && i + 1 < argc)
            addresses = std::clamp(std::atoi(argv[++i]), 1, 250);
        else if (argv[i][0] != '-')
            cycles = std::max(1001, std::atoi(argv[i]));
        else {
            std::fprintf(stderr, "usage: corvane-monitor-bench [cycles] [--addresses N] "
                                 "[--skip-memory] [--skip-cycle]\n");
            return 2;
        }
    }
    if (const int code = cycle ? cycleTime() : 0; code != 0)
        return code;
    if (memory)
        return memoryAndStall(cycles, addresses);
    return 0;
}
