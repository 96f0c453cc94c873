#include "logger_simulator.h"
#include "sim_options.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <pthread.h>

using namespace corvane;

int main(int argc, char *argv[]) {
    // Blocked before any thread starts, so that every thread inherits the mask and the
    // signals wait for sigwait() below instead of killing the process with the link left.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("corvane-logger-sim"));

    SimOptions options;
    QString message;
    switch (parseSimOptions(QCoreApplication::arguments(), options, message)) {
    case ParseOutcome::Help:
        std::fputs(qPrintable(message), stdout);
        return 0;
    case ParseOutcome::Error:
        std::fprintf(stderr, "corvane-logger-sim: %s\n(see --help)\n", qPrintable(message));
        return 2;
    case ParseOutcome::Run:
        break;
    }

    LoggerSimulator sim;
    if (!options.quiet) {
        sim.setTrafficLog([](const QString &line) {
            std::fprintf(stderr, "%s\n", qPrintable(line));
            std::fflush(stderr);
        });
    }
    QString error;
    const bool started = applySimOptions(sim, options, error) &&
                         (options.tcpListen ? sim.startTcp(*options.tcpListen, &error)
                                            : sim.start(options.line, &error));
    if (!started) {
        std::fprintf(stderr, "corvane-logger-sim: %s\n", qPrintable(error));
        return 1;
    }
    if (options.tcpListen)
        std::printf("%u\n", unsigned(sim.tcpPort()));
    else
        std::printf("%s\n", qPrintable(sim.slavePath()));
    if (!sim.busCopyPath().isEmpty())
        std::printf("%s\n", qPrintable(sim.busCopyPath()));
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    sim.stop();
    return 0;
}
