// corvane-cli monitor as a fleet service runs it, each part a process of its own: simulated
// loggers on a pseudo-terminal, a mosquitto broker on a free loopback port, and the program
// publishing to it. Two figures:
//
//  - a time-scaled hour: --loggers loggers read every 10 s for an hour, that is 360 cycles. The
//    cycles run back to back, as fast as the line allows (the program's shortest interval is
//    1 s), while the loggers' time runs ten times as fast. CPU time of the program per reading,
//    the time a cycle takes, and its resident memory at the 100th and at the last cycle;
//  - a broker outage of --outage readings: the broker is stopped, and the program's resident
//    memory is taken before and at the end of the outage, with --mqtt-buffer at --buffer.
//
//     corvane-fleet-bench [--loggers N] [--cycles N] [--outage READINGS] [--buffer N]
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "bench_util.h"
#include "local_broker.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

using corvane::broker::Broker;
using corvane::broker::waitUntil;
using corvane::bench::residentMiB;

// CPU seconds (user and system) of a process, from /proc.
double cpuSeconds(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    // utime and stime are fields 14 and 15, the 12th and 13th after the name.
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) /
           double(::sysconf(_SC_CLK_TCK));
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    int loggers = 40;
    int cycles = 360;
    int outage = 1000;
    int buffer = 10000;
    for (int i = 1; i < argc; ++i) {
        const auto value = [&] { return i + 1 < argc ? std::atoi(argv[++i]) : 0; };
        if (std::strcmp(argv[i], "--loggers") == 0)
            loggers = std::clamp(value(), 1, 247);
        else if (std::strcmp(argv[i], "--cycles") == 0)
            cycles = std::max(101, value());
        else if (std::strcmp(argv[i], "--outage") == 0)
            outage = std::max(1, value());
        else if (std::strcmp(argv[i], "--buffer") == 0)
            buffer = std::max(1, value());
        else {
            std::fprintf(stderr, "usage: corvane-fleet-bench [--loggers N] [--cycles N] "
                                 "[--outage READINGS] [--buffer N]\n");
            return 2;
        }
    }
    QTemporaryDir dir;
    Broker broker(dir.path());
    if (!broker.start()) {
        std::fprintf(stderr, "the broker did not start\n");
        return 1;
    }
    const QString line = dir.filePath(QStringLiteral("line"));
    QStringList simArguments{QStringLiteral("--link"), line, QStringLiteral("--quiet"),
                             QStringLiteral("--time-scale"), QStringLiteral("10")};
    for (int address = 1; address <= loggers; ++address)
        simArguments << QStringLiteral("--slave") << QStringLiteral("%1:QTR-8D").arg(address);
    QProcess sim;
    sim.start(QStringLiteral(CORVANE_SIM_PATH), simArguments);
    if (!sim.waitForStarted(10000) || !waitUntil([&] { return QFile::exists(line); }, 30000)) {
        std::fprintf(stderr, "the simulator did not start\n");
        return 1;
    }
    QProcess cli;
    cli.setStandardErrorFile(dir.filePath(QStringLiteral("cli.err")));
    cli.start(QStringLiteral(CORVANE_CLI_PATH),
              {QStringLiteral("monitor"), QStringLiteral("--port"), line, QStringLiteral("--fast"),
               QStringLiteral("--address"), QStringLiteral("1-%1").arg(loggers),
               QStringLiteral("--interval"), QStringLiteral("1"), QStringLiteral("--mqtt"),
               QStringLiteral("mqtt://127.0.0.1:%1/bench").arg(broker.port()),
               QStringLiteral("--mqtt-buffer"), QString::number(buffer)});
    if (!cli.waitForStarted(10000))
        return 1;
    const qint64 pid = cli.processId();
    qint64 lines = 0;
    const auto readings = [&] {
        lines += cli.readAll().count('\n');
        return lines;
    };
    const auto cyclesDone = [&] { return readings() / loggers; };

    const int limitMs = cycles * loggers * 1000;
    if (!waitUntil([&] { return cyclesDone() >= 1; }, 120000))
        return 1;
    const double cpuAtStart = cpuSeconds(pid);
    const qint64 readingsAtStart = readings();
    QElapsedTimer wall;
    wall.start();
    waitUntil([&] { return cyclesDone() >= 100; }, limitMs);
    const double at100 = residentMiB(pid);
    waitUntil([&] { return cyclesDone() >= cycles; }, limitMs);
    const double atEnd = residentMiB(pid);
    const double cpu = cpuSeconds(pid) - cpuAtStart;
    const qint64 measured = readings() - readingsAtStart;
    const double cycleSeconds =
        double(wall.elapsed()) / 1000.0 / double(std::max<qint64>(cyclesDone() - 1, 1));
    std::printf("time-scaled hour: %d loggers, %lld cycles of %.2f s, %lld readings: %.2f ms CPU a "
                "reading (%.1f %% of a core); resident %.1f MiB at cycle 100, %.1f MiB at cycle "
                "%lld (%+.1f MiB)\n",
                loggers, static_cast<long long>(cyclesDone()), cycleSeconds,
                static_cast<long long>(measured),
                1000.0 * cpu / double(std::max<qint64>(measured, 1)),
                100.0 * cpu / (double(wall.elapsed()) / 1000.0 + 1e-9), at100, atEnd,
                static_cast<long long>(cyclesDone()), atEnd - at100);

    broker.stop();
    const qint64 before = readings();
    const double rssBefore = residentMiB(pid);
    waitUntil([&] { return readings() >= before + outage; }, outage * 1000);
    const double rssAfter = residentMiB(pid);
    std::printf("broker outage of %lld readings, --mqtt-buffer %d: resident %.1f MiB before, "
                "%.1f MiB at its end (%+.1f MiB)\n",
                static_cast<long long>(readings() - before), buffer, rssBefore, rssAfter,
                rssAfter - rssBefore);
    cli.terminate();
    cli.waitForFinished(30000);
    sim.terminate();
    sim.waitForFinished(10000);
    return 0;
}
