#pragma once

#include "fault_plan.h"
#include "logger_model.h"
#include "logger_simulator.h"

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace corvane {

struct SlaveOption {
    int address = 1;
    Model model = Model::Qtr8d;
    LineSettings line;
};

// A pulse rate for one input of one logger; -1 stands for all of them.
struct RateOption {
    int address = -1;
    int input = -1;
    double pulsesPerSecond = 0;
};

// The command line of corvane-logger-sim, parsed.
struct SimOptions {
    QList<SlaveOption> slaves;
    LineOptions line;
    // Serve over TCP on 127.0.0.1 at this port (0: the system chooses) instead of a line.
    std::optional<std::uint16_t> tcpListen;
    bool quiet = false;
    WireOptions wire;
    QList<FaultRule> faults;
    double faultRate = 0;
    // The kinds the random faults are drawn from; empty: all.
    QList<FaultKind> faultKinds;
    std::uint32_t seed = 1;
    QList<RateOption> rates;
    double timeScale = 1.0;
    std::optional<QDateTime> clock;
    std::optional<int> batteryByte;
};

enum class ParseOutcome { Run, Help, Error };

// Fills options from the arguments (the program name first). On Help, message is the help
// text; on Error, the reason.
ParseOutcome parseSimOptions(const QStringList &arguments, SimOptions &options, QString &message);

// Sets up the loggers, rates, clocks and faults of the options. False, with the reason, when a
// logger cannot be placed.
bool applySimOptions(LoggerSimulator &sim, const SimOptions &options, QString &error);

} // namespace corvane
