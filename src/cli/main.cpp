// corvane-cli: the window's core, scriptable. See `corvane-cli --help`.
#include "cli_run.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    return corvane::runCli(arguments, stdout, stderr);
}
