// A full parameter read of a QTR-8D in fast mode against the line-true simulator, beside the
// line floor, and beside a libmodbus client making the same holding-register reads on the same
// line. The simulator takes each request as received only once its characters have passed at
// the line's speed and sends its reply paced at that speed, so the figures are what a real line
// allows.
//
// The floor of a read is the sum over its requests of (request bytes + reply bytes) x 10 bits /
// baud, plus one inter-frame silence (3.5 characters, 1.75 ms above 19200 baud) per request.
//
//     corvane-line-bench [repetitions] [--baud 9600,115200]
#include "bench_session.h"
#include "device_operations.h"
#include "device_session.h"
#include "frames.h"
#include "line_names.h"
#include "logger_simulator.h"
#include "register_map.h"
#include "send_frame.h"
#include "ser_comm.h"
#include "sleeper.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QStringList>

#include <modbus.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using namespace corvane;
using namespace std::chrono_literals;

namespace {

constexpr int kBitsPerByte = 10; // start, 8 data, stop
constexpr int kInputs = 8;

// The holding-register reads of a QTR-8D's parameter read: seven blocks of one register per
// input, five of two, the clock. The free texts are file records, which libmodbus cannot read.
struct HoldingRead {
    int start;
    int count;
};
std::vector<HoldingRead> holdingReads() {
    std::vector<HoldingRead> reads;
    for (int start : {kRegUnits, kRegPulseConstant, kRegTariff1, kRegTariff2, kRegTariff3,
                      kRegTariff4, kRegUserNumber})
        reads.push_back({start, kInputs});
    for (int start : {kRegInitialValue, kRegTariff1InitialValue, kRegTariff2InitialValue,
                      kRegTariff3InitialValue, kRegTariff4InitialValue})
        reads.push_back({start, 2 * kInputs});
    reads.push_back({kRegClock, kClockRegisterCount});
    return reads;
}

double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t mid = values.size() / 2;
    return values.size() % 2 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// The floor of these requests on this line: their bytes and their replies' at the line's
// speed, and one inter-frame silence each.
double floorMs(LoggerSimulator &sim, const QList<QByteArray> &requests, int baud) {
    const double silenceMs = double(interFrameSilence({baud, kBitsPerByte}).count()) / 1000.0;
    qsizetype bytes = 0;
    for (const QByteArray &request : requests)
        bytes += request.size() + sim.handleRequest(request).size();
    return double(bytes) * kBitsPerByte * 1000.0 / baud + double(requests.size()) * silenceMs;
}

struct Run {
    double wallMs = 0;
    int requests = 0;
    int answered = 0;
};

// Runs an operation of the session until its command ends.
Run untilEnded(DeviceSession &session, const std::function<bool()> &start) {
    QEventLoop loop;
    Run run;
    const auto connection = QObject::connect(&session.runner, &RequestRunner::commandEnded, &loop,
                                             [&](const CommandSummary &summary) {
                                                 run.requests = summary.sent;
                                                 run.answered = summary.answered;
                                                 loop.quit();
                                             });
    QElapsedTimer clock;
    clock.start();
    if (start())
        loop.exec();
    run.wallMs = double(clock.nsecsElapsed()) / 1e6;
    QObject::disconnect(connection);
    return run;
}

// The 13 holding-register reads alone, as one sequence of the runner: the requests the libmodbus
// client makes.
Run corvaneHoldingReads(bench::SimSession &bench) {
    DeviceSession &session = bench.session;
    RequestRunner::Command command;
    command.name = "holding reads";
    command.stepTimer = RequestRunner::StepTimer::Read;
    for (const HoldingRead &read : holdingReads()) {
        command.steps.push_back({[&session, read](int slave) {
                                     return std::optional(session.master.SendReadHolding(
                                         slave, read.start, read.count));
                                 },
                                 {},
                                 true});
    }
    return untilEnded(session, [&] { return session.runner.run(command); });
}

Run corvaneRead(bench::SimSession &bench, QList<QByteArray> &frames) {
    DeviceSession &session = bench.session;
    frames.clear();
    session.master.setFrameObserver([&frames](const QByteArray &frame) { frames << frame; });
    const Run run =
        untilEnded(session, [&] { return bench.ops.readParameters() == CommandStart::Started; });
    session.master.setFrameObserver({});
    return run;
}

Run libmodbusReads(const QString &path, int baud) {
    Run run;
    modbus_t *ctx = modbus_new_rtu(path.toLocal8Bit().constData(), baud, 'N', 8, 1);
    if (!ctx || modbus_set_slave(ctx, 1) != 0 || modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "libmodbus: %s\n", modbus_strerror(errno));
        if (ctx)
            modbus_free(ctx);
        return run;
    }
    modbus_set_response_timeout(ctx, 0, 500000);
    std::uint16_t registers[64];
    QElapsedTimer clock;
    clock.start();
    for (const HoldingRead &read : holdingReads()) {
        ++run.requests;
        if (modbus_read_registers(ctx, read.start, read.count, registers) == read.count)
            ++run.answered;
    }
    run.wallMs = double(clock.nsecsElapsed()) / 1e6;
    modbus_close(ctx);
    modbus_free(ctx);
    return run;
}

int speedCode(int baud) {
    for (std::size_t code = 0; code < kLineSpeeds.size(); ++code) {
        if (kLineSpeeds[code] == baud)
            return int(code);
    }
    return -1;
}

bool measure(int baud, int repetitions) {
    const int code = speedCode(baud);
    if (code < 0) {
        std::fprintf(stderr, "no simulated logger listens at %d baud\n", baud);
        return false;
    }
    LoggerSimulator sim;
    sim.addSlave(1, Model::Qtr8d);
    sim.withLogger(1, [code](LoggerModel &m) { m.setLineSettings({2, code}); });
    sim.setLineTime(true);
    QString error;
    if (!sim.start({}, &error)) {
        std::fprintf(stderr, "simulator did not start: %s\n", qPrintable(error));
        return false;
    }
    std::vector<double> corvane, holding, baseline;
    double corvaneFloor = 0, baselineFloor = 0;
    int failures = 0;
    QList<QByteArray> frames;
    for (int i = 0; i < repetitions; ++i) {
        {
            bench::SimSession bench(sim, QStringLiteral("QTR-8D"));
            if (!bench.open)
                return false;
            setPortSpeed(bench.comm, baud);
            bench.session.setFastReplies(true);
            const Run run = corvaneRead(bench, frames);
            failures += run.requests - run.answered;
            corvane.push_back(run.wallMs / run.requests);
            corvaneFloor = floorMs(sim, frames, baud) / run.requests;
            const Run reads = corvaneHoldingReads(bench);
            failures += reads.requests - reads.answered;
            holding.push_back(reads.wallMs / std::max(reads.requests, 1));
            bench.comm.ClosePort();
        }
        const Run run = libmodbusReads(sim.slavePath(), baud);
        failures += run.requests - run.answered;
        baseline.push_back(run.wallMs / std::max(run.requests, 1));
        QList<QByteArray> reads;
        for (const HoldingRead &read : holdingReads())
            reads << readHoldingFrame(1, read.start, read.count);
        baselineFloor = floorMs(sim, reads, baud) / double(reads.size());
    }
    sim.stop();
    const double c = median(corvane), h = median(holding), b = median(baseline);
    std::printf("%6d %-10s %9.2f %9.2f %7.3f %9.0f %9.0f\n", baud, "read", c, corvaneFloor,
                c / corvaneFloor, c * double(frames.size()), corvaneFloor * double(frames.size()));
    std::printf("%6d %-10s %9.2f %9.2f %7.3f %9.0f %9.0f\n", baud, "13 reads", h, baselineFloor,
                h / baselineFloor, h * 13, baselineFloor * 13);
    std::printf("%6d %-10s %9.2f %9.2f %7.3f %9.0f %9.0f   Corvane/libmodbus %.3f, failures %d\n",
                baud, "libmodbus", b, baselineFloor, b / baselineFloor, b * 13, baselineFloor * 13,
                h / b, failures);
    return true;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    int repetitions = 3;
    QList<int> bauds{9600, 115200};
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--baud") == 0 && i + 1 < argc) {
            bauds.clear();
            for (const QString &text : QString::fromLatin1(argv[++i]).split(u','))
                bauds << text.toInt();
        } else if (argv[i][0] != '-') {
            repetitions = std::max(1, std::atoi(argv[i]));
        } else {
            std::fprintf(stderr, "usage: corvane-line-bench [repetitions] [--baud 9600,115200]\n");
            return 2;
        }
    }
    std::printf("On the line-true simulator, medians of %d runs. read: Corvane's full QTR-8D "
                "parameter read in fast mode\n(21 requests); 13 reads: Corvane making the 13 "
                "holding-register reads of that read; libmodbus:\nthe same 13 reads by a libmodbus "
                "client on the same line\n",
                repetitions);
    std::printf("%6s %-10s %9s %9s %7s %9s %9s\n", "baud", "what", "ms/req", "floor/req", "ratio",
                "total ms", "floor ms");
    for (const int baud : bauds) {
        if (!measure(baud, repetitions))
            return 1;
    }
    return 0;
}
