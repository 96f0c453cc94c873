// corvane-cli: the window's core, scriptable. See `corvane-cli --help`.
#include "cli_run.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>

int main(int argc, char *argv[]) {
    // A file grown to its size limit fails its write, which the log reports; the signal would
    // end the program without a word instead.
    std::signal(SIGXFSZ, SIG_IGN);
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    return corvane::runCli(arguments, stdout, stderr);
}
