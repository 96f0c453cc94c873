// Wall time of a bus scan against the simulated loggers, beside its cost model: every address
// costs its pre-send delay, its paced send and the reply wait, and every logger found adds its
// replies and the two identification requests.
//
//     corvane-scan-bench [--all-from A --all-to B] [--fast] [--line-time]
//
// --fast scans with fast replies on, whose probes go out whole after the inter-frame silence;
// --line-time makes the simulator line-true: requests and replies take their line time.
//
// The first scan covers addresses 1 to 250 at the current setting (9600 None), with loggers at
// 1, 7 and 250. The second tries all 21 line settings over A..B (default 1..10), with a logger at
// 7 set to 19200 Even.
#include "bench_session.h"
#include "bus_scan.h"
#include "device_session.h"
#include "frames.h"
#include "logger_simulator.h"
#include "register_map.h"
#include "send_frame.h"
#include "ser_comm.h"
#include "sleeper.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace corvane;
using namespace std::chrono_literals;

namespace {

double lineMs(qsizetype bytes, const LineSetting &setting) {
    const int bits = setting.parity == QLatin1String("None") ? 10 : 11;
    return 1000.0 * double(bytes) * bits / setting.speed;
}

bool g_fast = false;

// Pre-send delay, paced send and line time of one request; in fast mode the inter-frame
// silence and the line time.
double requestMs(const QByteArray &frame, const LineSetting &setting) {
    if (g_fast) {
        const int bits = setting.parity == QLatin1String("None") ? 10 : 11;
        return double(interFrameSilence({setting.speed, bits}).count()) / 1000.0 +
               lineMs(frame.size(), setting);
    }
    return double((kPreSendDelay + kByteGap * frame.size()).count()) +
           lineMs(frame.size(), setting);
}

struct Figures {
    double wallMs = 0;
    double modelMs = 0;
    int found = 0;
    int probes = 0;
};

Figures runScan(LoggerSimulator &sim, BusScan &scan, const ScanOptions &options) {
    Figures figures;
    const int perSetting = options.to - options.from + 1;
    for (const LineSetting &setting : options.settings) {
        const double wait =
            double(options.replyWait.value_or(defaultReplyWait(setting.speed)).count());
        figures.modelMs +=
            perSetting *
            (requestMs(readHoldingFrame(1, kRegClock, kClockRegisterCount), setting) + wait);
    }
    QEventLoop loop;
    const auto connection = QObject::connect(&scan, &BusScan::finished, &loop, &QEventLoop::quit);
    QElapsedTimer clock;
    clock.start();
    if (!scan.start(options))
        return figures;
    loop.exec();
    QObject::disconnect(connection);
    figures.wallMs = double(clock.elapsed());
    figures.found = int(scan.found().size());
    figures.probes = scan.probesDone();
    // What each logger found adds: its probe reply, then the status query and the
    // identification with their replies, as the simulator gives them.
    for (const FoundLogger &logger : scan.found()) {
        const QByteArray probe = readHoldingFrame(logger.address, kRegClock, kClockRegisterCount);
        const QByteArray status = serviceQueryFrame(logger.address, kServiceStatusQuery);
        const QByteArray identification = readDeviceIdFrame(logger.address, kDeviceIdCode);
        figures.modelMs += lineMs(sim.handleRequest(probe).size(), logger.line);
        for (const QByteArray &request : {status, identification})
            figures.modelMs += requestMs(request, logger.line) +
                               lineMs(sim.handleRequest(request).size(), logger.line);
    }
    return figures;
}

void print(const char *what, const Figures &f) {
    std::printf("%-34s %6d %6d %10.0f %10.0f %7.3f\n", what, f.probes, f.found, f.wallMs, f.modelMs,
                f.modelMs > 0 ? f.wallMs / f.modelMs : 0.0);
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    int allFrom = 1;
    int allTo = 10;
    bool lineTime = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--fast") == 0) {
            g_fast = true;
        } else if (std::strcmp(argv[i], "--line-time") == 0) {
            lineTime = true;
        } else if (std::strcmp(argv[i], "--all-from") == 0 && i + 1 < argc) {
            allFrom = std::atoi(argv[++i]);
        } else if (std::strcmp(argv[i], "--all-to") == 0 && i + 1 < argc) {
            allTo = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: corvane-scan-bench [--all-from A --all-to B] [--fast] "
                                 "[--line-time]\n");
            return 2;
        }
    }

    LoggerSimulator sim;
    sim.addSlave(1, Model::Qtr8d);
    sim.addSlave(7, Model::Qtr6d);
    sim.addSlave(250, Model::Qtr4d);
    sim.setLineTime(lineTime);
    QString error;
    if (!sim.start({}, &error)) {
        std::fprintf(stderr, "simulator did not start: %s\n", qPrintable(error));
        return 1;
    }
    bench::SimSession bench(sim);
    if (!bench.open)
        return 1;
    TSerComm &comm = bench.comm;
    DeviceSession &session = bench.session;
    session.setFastReplies(g_fast);
    SerCommScanPort port(comm);
    BusScan scan(session, port);

    if (g_fast)
        std::printf("model = addresses x (inter-frame silence + line time + reply wait) + the "
                    "replies and identification of each logger found; fast replies%s\n",
                    lineTime ? ", line-true simulator" : "");
    else
        std::printf("model = addresses x (pre-send %lld ms + %lld ms per byte sent + line time + "
                    "reply wait) + the replies and identification of each logger found%s\n",
                    static_cast<long long>(kPreSendDelay.count()),
                    static_cast<long long>(kByteGap.count()),
                    lineTime ? "; line-true simulator" : "");
    std::printf("%-34s %6s %6s %10s %10s %7s\n", "scan", "probes", "found", "wall ms", "model ms",
                "ratio");
    ScanOptions current;
    current.settings = {port.lineSetting()};
    print("1..250, current setting (9600 None)", runScan(sim, scan, current));

    sim.withLogger(7, [](LoggerModel &m) { m.setLineSettings({0, 5}); }); // 19200 even
    ScanOptions all;
    all.from = allFrom;
    all.to = allTo;
    all.settings = allLineSettings();
    const QByteArray label =
        QStringLiteral("%1..%2, all 21 settings").arg(allFrom).arg(allTo).toLatin1();
    print(label.constData(), runScan(sim, scan, all));

    comm.ClosePort();
    sim.stop();
    return 0;
}
