// Build-time tool: turns docs/user-manual.md into UsrMan.pdf beside the executable.
#include "manual_renderer.h"

#include <QGuiApplication>
#include <QStringList>
#include <QTextStream>

int main(int argc, char *argv[]) {
    QGuiApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    QTextStream err(stderr);
    if (args.size() != 3) {
        err << "usage: corvane-render-manual MANUAL.md OUTPUT.pdf\n";
        return 2;
    }
    const QString problem = corvane::renderManualFile(args.at(1), args.at(2));
    if (!problem.isEmpty()) {
        err << "corvane-render-manual: " << problem << '\n';
        return 1;
    }
    return 0;
}
