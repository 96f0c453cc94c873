#include "cli_view.h"

#include <QLoggingCategory>

namespace corvane {
namespace {
Q_LOGGING_CATEGORY(lcCliLog, "corvane.cli.log", QtInfoMsg)
} // namespace

void logToCategory(const QString &line) {
    qCDebug(lcCliLog).noquote() << line.trimmed();
}

} // namespace corvane
