// Receive latency and idle cost of the serial component, measured on a pseudo-terminal.
//
// Latency: a byte written at the far side until OnRxChar runs on the main thread, over many
// round trips. Idle: CPU time of the whole process while the port is open and nothing arrives.

#include "ser_comm.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#include <vector>

using namespace corvane;
using Clock = std::chrono::steady_clock;

namespace {

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

double percentile(std::vector<double> values, double share) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto index = std::size_t(share * double(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Receive latency and idle CPU of the serial component on a pty."));
    parser.addHelpOption();
    const QCommandLineOption roundsOption(QStringLiteral("rounds"),
                                          QStringLiteral("Round trips (default 1000)."),
                                          QStringLiteral("n"), QStringLiteral("1000"));
    const QCommandLineOption idleOption(QStringLiteral("idle-seconds"),
                                        QStringLiteral("Idle measurement (default 10)."),
                                        QStringLiteral("s"), QStringLiteral("10"));
    parser.addOption(roundsOption);
    parser.addOption(idleOption);
    parser.process(app);
    const int rounds = std::max(1, parser.value(roundsOption).toInt());
    const int idleSeconds = std::max(1, parser.value(idleOption).toInt());

    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char slave[128] = {};
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, slave, sizeof slave) != 0) {
        std::fprintf(stderr, "no pseudo-terminal\n");
        return 1;
    }

    TSerComm comm;
    comm.SetDeviceName(QString::fromLocal8Bit(slave));
    comm.SetDirectWrite(true);
    comm.SetBaudrate(br9600);

    QEventLoop roundTrip;
    Clock::time_point sent;
    std::vector<double> latenciesUs;
    latenciesUs.reserve(std::size_t(rounds));
    comm.OnRxChar = [&](TSerCustomComm *sender, int count) {
        const auto arrived = Clock::now();
        latenciesUs.push_back(std::chrono::duration<double, std::micro>(arrived - sent).count());
        char buffer[64];
        while (count > 0) {
            const int got = sender->ReadBytes(buffer, std::min(count, int(sizeof buffer)));
            if (got <= 0)
                break;
            count -= got;
        }
        roundTrip.quit();
    };
    try {
        comm.OpenPort();
    } catch (const ESerCommError &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }

    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, &roundTrip, &QEventLoop::quit);
    for (int i = 0; i < rounds; ++i) {
        const std::size_t before = latenciesUs.size();
        const char byte = char(i);
        sent = Clock::now();
        if (write(master, &byte, 1) != 1)
            return 1;
        guard.start(2000);
        roundTrip.exec();
        if (latenciesUs.size() == before) {
            std::fprintf(stderr, "round trip %d got no OnRxChar\n", i);
            return 1;
        }
    }

    const double cpuBefore = processCpuSeconds();
    const auto idleStart = Clock::now();
    QEventLoop idle;
    QTimer::singleShot(idleSeconds * 1000, Qt::PreciseTimer, &idle, &QEventLoop::quit);
    idle.exec();
    const double idleCpu = processCpuSeconds() - cpuBefore;
    const double idleWall = std::chrono::duration<double>(Clock::now() - idleStart).count();

    std::printf("receive latency (far-side write -> OnRxChar), %d round trips:\n", rounds);
    std::printf("  median %.1f us, 99th percentile %.1f us, max %.1f us\n",
                percentile(latenciesUs, 0.5), percentile(latenciesUs, 0.99),
                percentile(latenciesUs, 1.0));
    std::printf("idle open port over %.1f s: CPU %.3f%% of one core (%.1f ms)\n", idleWall,
                100.0 * idleCpu / idleWall, idleCpu * 1000.0);
    comm.ClosePort();
    close(master);
    return 0;
}
