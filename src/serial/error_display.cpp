#include "error_display.h"

#include <QLoggingCategory>
#include <QMutex>

namespace corvane {
namespace {

Q_LOGGING_CATEGORY(lcError, "corvane.error")

QMutex &sinkMutex() {
    static QMutex mutex;
    return mutex;
}

ErrorSink &currentSink() {
    static ErrorSink sink;
    return sink;
}

} // namespace

ErrorSink setErrorSink(ErrorSink sink) {
    QMutexLocker lock(&sinkMutex());
    return std::exchange(currentSink(), std::move(sink));
}

void showError(const QString &message) {
    ErrorSink sink;
    {
        QMutexLocker lock(&sinkMutex());
        sink = currentSink();
    }
    if (sink)
        sink(message);
    else
        qCWarning(lcError).noquote() << message;
}

} // namespace corvane
