// Wall time of a full parameter read of a QTR-8D against the simulated logger on a
// pseudo-terminal, beside the model 21 x (window + tick + send), for two response windows.
//
// The model charges a whole tick per step, an upper bound. The step timer keeps its own phase,
// so a step really lasts send + window rounded up to whole ticks; that figure is printed too.
// The line model is what the bus itself needs: every request and reply byte at 9600 baud 8N1
// plus the pre-send delay of each request, the floor any request scheme has to pay.
//
// While each read runs, a 2 ms precise timer on the GUI thread measures how late it fires: the
// time the thread spends blocked (in the send, say) shows up as lateness.
//
// With --tcp every run is made twice in turn, on the pseudo-terminal and through the
// simulator's TCP service on the loopback interface (a serial gateway's port,
// tcp://127.0.0.1:PORT), and the medians of both are compared at the end.
//
//     corvane-read-bench [repetitions] [--fast] [--tcp]
#include "bench_session.h"
#include "bench_util.h"
#include "device_operations.h"
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
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <vector>

using namespace corvane;
using namespace std::chrono_literals;

namespace {

constexpr int kReadSteps = 21;
constexpr int kFirstFileStep = 13;
constexpr int kLastFileStep = 20;
constexpr auto kPreSend = 50ms;
constexpr auto kPerByte = 2ms;

// The send time of each of the 21 requests of a QTR-8D read, from the frames themselves.
std::vector<std::chrono::milliseconds> stepSendTimes() {
    const auto holding = readHoldingFrame(1, kRegUnits, 8).size();
    const auto file = readFileRecordFrame(1, kFreeTextFile, 0, kFreeTextRecordLength).size();
    std::vector<std::chrono::milliseconds> times;
    for (int step = 1; step <= kReadSteps; ++step) {
        const bool fileStep = step >= kFirstFileStep && step <= kLastFileStep;
        times.push_back(kPreSend + kPerByte * (fileStep ? file : holding));
    }
    return times;
}

constexpr int kInputs = 8;
constexpr int kLineBaud = 9600;
constexpr int kBitsPerByte = 10; // start, 8 data, stop

// Address, function, byte count, the registers, CRC.
qsizetype holdingReplySize(int count) {
    return 5 + 2 * count;
}

// Address, function, data length, then the one sub-response: its length, reference type and
// the record; CRC.
qsizetype fileRecordReplySize(int length) {
    return 7 + 2 * length;
}

struct LineBytes {
    qsizetype requests = 0;
    qsizetype replies = 0;
};

// Request and reply bytes of the 21 steps: seven blocks of one register per input, five of two,
// the eight free-text records, the clock.
LineBytes readLineBytes() {
    LineBytes bytes;
    const auto holding = [&bytes](int start, int count) {
        bytes.requests += readHoldingFrame(1, start, count).size();
        bytes.replies += holdingReplySize(count);
    };
    for (int step = 1; step <= 7; ++step)
        holding(kRegUnits, kInputs);
    for (int step = 8; step <= 12; ++step)
        holding(kRegInitialValue, 2 * kInputs);
    for (int step = kFirstFileStep; step <= kLastFileStep; ++step) {
        bytes.requests +=
            readFileRecordFrame(1, kFreeTextFile, step - kFirstFileStep, kFreeTextRecordLength)
                .size();
        bytes.replies += fileRecordReplySize(kFreeTextRecordLength);
    }
    holding(kRegClock, kClockRegisterCount);
    return bytes;
}

// What the bus itself needs before each request: the designed pre-send delay, or in fast mode
// the inter-frame silence.
double preSendMs(bool fast) {
    if (fast)
        return double(interFrameSilence({kLineBaud, kBitsPerByte}).count()) / 1000.0;
    return double(kPreSend.count());
}

double lineModelMs(const LineBytes &bytes, bool fast) {
    const double perByteMs = 1000.0 * kBitsPerByte / kLineBaud;
    return double(bytes.requests + bytes.replies) * perByteMs +
           double(kReadSteps) * preSendMs(fast);
}

// The FastReplies setting, as the window applies it.
void applyFastMode(DeviceSession &session, bool fast) {
    session.setFastReplies(fast);
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    int repetitions = 3;
    bool fast = false;
    bool overTcp = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--fast") == 0) {
            fast = true;
        } else if (std::strcmp(argv[i], "--tcp") == 0) {
            overTcp = true;
        } else if (argv[i][0] != '-') {
            repetitions = std::max(1, std::atoi(argv[i]));
        } else {
            std::fprintf(stderr, "usage: corvane-read-bench [repetitions] [--fast] [--tcp]\n");
            return 2;
        }
    }

    LoggerSimulator sim;
    sim.addSlave(1, Model::Qtr8d);
    QString error;
    if (!sim.start({}, &error) || (overTcp && !sim.startTcp(0, &error))) {
        std::fprintf(stderr, "simulator did not start: %s\n", qPrintable(error));
        return 1;
    }
    const QString ptyName = sim.slavePath();
    const QString tcpName = QStringLiteral("tcp://127.0.0.1:%1").arg(sim.tcpPort());
    bench::SimSession bench(sim, QStringLiteral("QTR-8D"));
    if (!bench.open)
        return 1;
    TSerComm &comm = bench.comm;
    DeviceSession &session = bench.session;
    DeviceOperations &ops = bench.ops;
    bench::CountingOutput &out = bench.out;
    applyFastMode(session, fast);

    const auto sends = stepSendTimes();
    const auto send = std::accumulate(sends.begin(), sends.end(), 0ms);
    const auto tick = RequestRunner::kStepInterval;
    std::printf("QTR-8D parameter read, %d runs per window; model = 21 x (window + %lld ms tick) + "
                "%lld ms send\n",
                repetitions, static_cast<long long>(tick.count()),
                static_cast<long long>(send.count()));
    const LineBytes lineBytes = readLineBytes();
    const double lineModel = lineModelMs(lineBytes, fast);
    std::printf("line model = (%lld request + %lld reply bytes) x %d bits at %d baud + %d x %.3f "
                "ms %s = %.0f ms\n",
                static_cast<long long>(lineBytes.requests),
                static_cast<long long>(lineBytes.replies), kBitsPerByte, kLineBaud, kReadSteps,
                preSendMs(fast), fast ? "inter-frame silence" : "pre-send", lineModel);
    std::printf("%10s %5s %10s %10s %7s %13s %7s %11s %7s %9s\n", "window ms", "port", "wall ms",
                "model ms", "ratio", "tick-aligned", "ratio", "line model", "ratio", "failures");
    // The same port object changes device between runs, as the operator's port button does.
    const auto switchTo = [&comm](const QString &name) {
        if (comm.ResolvedDeviceName() == name && comm.IsOpen())
            return true;
        comm.ClosePort();
        comm.SetDeviceName(name);
        try {
            comm.OpenPort();
        } catch (const std::exception &e) {
            std::fprintf(stderr, "%s did not open: %s\n", qPrintable(name), e.what());
            return false;
        }
        return true;
    };
    struct PortRuns {
        long long window;
        std::vector<qint64> pty, tcp;
    };
    std::vector<PortRuns> portRuns;
    struct StallFigures {
        long long window;
        std::size_t samples;
        double p50, p99, max;
    };
    std::vector<StallFigures> stalls;
    bench::StallProbe probe;
    for (const auto window : {100ms, 500ms}) {
        session.runner.setResponseTime(window);
        const auto model = kReadSteps * (window + tick) + send;
        std::chrono::milliseconds aligned{0};
        for (const auto stepSend : sends)
            aligned += tick * ((stepSend + window + tick - 1ms) / tick);
        portRuns.push_back({static_cast<long long>(window.count()), {}, {}});
        for (int run = 0; run < repetitions * (overTcp ? 2 : 1); ++run) {
            const bool tcpRun = overTcp && run % 2 == 1;
            if (!switchTo(tcpRun ? tcpName : ptyName))
                return 1;
            out.failures = 0;
            QEventLoop loop;
            QTimer poll;
            poll.setInterval(5);
            QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
                if (!session.runner.isBusy())
                    loop.quit();
            });
            QElapsedTimer clock;
            clock.start();
            probe.start();
            ops.readParameters();
            poll.start();
            loop.exec();
            probe.stop();
            const qint64 wall = clock.elapsed();
            (tcpRun ? portRuns.back().tcp : portRuns.back().pty).push_back(wall);
            std::printf("%10lld %5s %10lld %10lld %7.3f %13lld %7.3f %11.0f %7.3f %9d\n",
                        static_cast<long long>(window.count()), tcpRun ? "tcp" : "pty",
                        static_cast<long long>(wall), static_cast<long long>(model.count()),
                        double(wall) / double(model.count()),
                        static_cast<long long>(aligned.count()),
                        double(wall) / double(aligned.count()), lineModel, double(wall) / lineModel,
                        out.failures);
        }
        stalls.push_back({static_cast<long long>(window.count()), probe.samples(),
                          probe.percentileMs(0.5), probe.percentileMs(0.99),
                          probe.percentileMs(1.0)});
        probe.clear();
    }
    std::printf("GUI-thread stall: lateness of a 2 ms precise timer during the reads, all runs\n");
    std::printf("%10s %10s %10s %10s %10s\n", "window ms", "samples", "p50 ms", "p99 ms", "max ms");
    for (const StallFigures &stall : stalls)
        std::printf("%10lld %10zu %10.3f %10.3f %10.3f\n", stall.window, stall.samples, stall.p50,
                    stall.p99, stall.max);
    if (overTcp) {
        const auto median = [](std::vector<qint64> walls) {
            std::sort(walls.begin(), walls.end());
            const std::size_t n = walls.size();
            return n % 2 ? double(walls[n / 2]) : (walls[n / 2 - 1] + walls[n / 2]) / 2.0;
        };
        std::printf("Median wall time, TCP on the loopback beside the pseudo-terminal\n");
        std::printf("%10s %10s %10s %10s\n", "window ms", "pty ms", "tcp ms", "tcp/pty");
        for (const PortRuns &runs : portRuns) {
            const double pty = median(runs.pty);
            const double tcp = median(runs.tcp);
            std::printf("%10lld %10.0f %10.0f %10.3f\n", runs.window, pty, tcp, tcp / pty);
        }
    }
    comm.ClosePort();
    sim.stop();
    return 0;
}
