// A full parameter read of a QTR-8D in fast mode: corvane-cli as a whole process (start, model,
// read, output, exit) beside the window's read on the same core, in one run.
//
//     corvane-cli-bench [repetitions]
#include "bench_session.h"
#include "device_operations.h"
#include "sleeper.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

using namespace corvane;

namespace {

// The window's read, the model already known, as corvane-read-bench --fast measures it.
qint64 windowRead(DeviceSession &session, DeviceOperations &ops) {
    QEventLoop loop;
    QObject::connect(&session.runner, &RequestRunner::commandEnded, &loop, [&] {
        if (!session.runner.isBusy())
            loop.quit();
    });
    QElapsedTimer clock;
    clock.start();
    ops.readParameters();
    if (session.runner.isBusy())
        loop.exec();
    return clock.elapsed();
}

qint64 cliRead(const QString &port, int *exitCode) {
    QProcess cli;
    QElapsedTimer clock;
    clock.start();
    cli.start(QStringLiteral(CORVANE_CLI_PATH),
              {QStringLiteral("read"), QStringLiteral("--port"), port, QStringLiteral("--fast"),
               QStringLiteral("--format"), QStringLiteral("json")});
    cli.waitForFinished(60000);
    *exitCode = cli.exitStatus() == QProcess::NormalExit ? cli.exitCode() : -1;
    return clock.elapsed();
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    const int repetitions = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;

    LoggerSimulator sim;
    sim.addSlave(1, Model::Qtr8d);
    QString error;
    if (!sim.start({}, &error)) {
        std::fprintf(stderr, "simulator did not start: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("QTR-8D parameter read in fast mode, response window 500 ms, %d runs each\n",
                repetitions);
    std::printf("%5s %12s %12s %8s %6s\n", "run", "window ms", "cli ms", "ratio", "exit");
    qint64 windowTotal = 0;
    qint64 cliTotal = 0;
    for (int run = 1; run <= repetitions; ++run) {
        qint64 windowMs = 0;
        {
            bench::SimSession bench(sim, QStringLiteral("QTR-8D"));
            if (!bench.open)
                return 1;
            bench.session.setFastReplies(true);
            windowMs = windowRead(bench.session, bench.ops);
            bench.comm.ClosePort();
        }
        int exitCode = 0;
        const qint64 cliMs = cliRead(sim.slavePath(), &exitCode);
        windowTotal += windowMs;
        cliTotal += cliMs;
        std::printf("%5d %12lld %12lld %8.3f %6d\n", run, static_cast<long long>(windowMs),
                    static_cast<long long>(cliMs), double(cliMs) / double(windowMs), exitCode);
    }
    std::printf("%5s %12.0f %12.0f %8.3f\n", "mean", double(windowTotal) / repetitions,
                double(cliTotal) / repetitions, double(cliTotal) / double(windowTotal));
    sim.stop();
    return 0;
}
