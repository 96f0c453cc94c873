// Wall time of a full parameter read of a QTR-8D against the simulated logger on a
// pseudo-terminal, beside the model 21 x (window + tick + send), for two response windows.
//
// The model charges a whole tick per step, an upper bound. The step timer keeps its own phase,
// so a step really lasts send + window rounded up to whole ticks; that figure is printed too.
//
//     corvane-read-bench [repetitions]
#include "device_operations.h"
#include "device_session.h"
#include "frames.h"
#include "logger_simulator.h"
#include "output.h"
#include "register_map.h"
#include "ser_comm.h"
#include "sleeper.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <numeric>
#include <vector>

using namespace corvane;
using namespace std::chrono_literals;

namespace {

class CountingOutput : public Output {
public:
    void log(const QString &line) override {
        if (line.startsWith(QLatin1String("No response")) ||
            line.startsWith(QLatin1String("Error")))
            ++failures;
    }
    void traffic(const QString &) override {}
    void setStatus(int, const QString &) override {}
    void setText(const QString &, const QString &) override {}
    void setEnabled(const QString &, bool) override {}
    void setVisible(const QString &, bool) override {}
    int failures = 0;
};

class NoControls : public ControlReader {
public:
    QString text(const QString &) const override { return {}; }
    bool isChecked(const QString &) const override { return false; }
};

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
    TSerComm comm;
    CountingOutput out;
    NoControls controls;
    DeviceSession session(SessionEnvironment{comm, defaultSleeper(), out, controls,
                                             [] { return 1; }, [] { return true; },
                                             [] { return QStringLiteral("."); }});
    DeviceOperations ops(session);
    comm.SetDeviceName(sim.slavePath());
    comm.SetBaudrate(br9600);
    comm.SetDirectWrite(true);
    comm.OnRxChar = [&session](TSerCustomComm *, int count) { session.runner.Comm1RxChar(count); };
    try {
        comm.OpenPort();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "port did not open: %s\n", e.what());
        return 1;
    }
    session.store.setModel(1, QStringLiteral("QTR-8D"));
    ops.Edit_addrChange(1);

    const auto sends = stepSendTimes();
    const auto send = std::accumulate(sends.begin(), sends.end(), 0ms);
    const auto tick = RequestRunner::kStepInterval;
    std::printf("QTR-8D parameter read, %d runs per window; model = 21 x (window + %lld ms tick) + "
                "%lld ms send\n",
                repetitions, static_cast<long long>(tick.count()),
                static_cast<long long>(send.count()));
    std::printf("%10s %10s %10s %7s %13s %7s %9s\n", "window ms", "wall ms", "model ms", "ratio",
                "tick-aligned", "ratio", "failures");
    for (const auto window : {100ms, 500ms}) {
        session.runner.setResponseTime(window);
        const auto model = kReadSteps * (window + tick) + send;
        std::chrono::milliseconds aligned{0};
        for (const auto stepSend : sends)
            aligned += tick * ((stepSend + window + tick - 1ms) / tick);
        for (int run = 0; run < repetitions; ++run) {
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
            ops.BitBtn1Click();
            poll.start();
            loop.exec();
            const qint64 wall = clock.elapsed();
            std::printf("%10lld %10lld %10lld %7.3f %13lld %7.3f %9d\n",
                        static_cast<long long>(window.count()), static_cast<long long>(wall),
                        static_cast<long long>(model.count()), double(wall) / double(model.count()),
                        static_cast<long long>(aligned.count()),
                        double(wall) / double(aligned.count()), out.failures);
        }
    }
    comm.ClosePort();
    sim.stop();
    return 0;
}
