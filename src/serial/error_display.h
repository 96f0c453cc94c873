#pragma once

#include <QString>

#include <exception>
#include <functional>
#include <utility>

namespace corvane {

// The application's error display: where an exception's message goes when it reaches the top
// of an event handler. The program shows a message box; tests install a recorder.
using ErrorSink = std::function<void(const QString &message)>;

// Installs a new sink and returns the previous one. An empty sink restores the default, which
// writes the message to the log.
ErrorSink setErrorSink(ErrorSink sink);
void showError(const QString &message);

// Runs one handler body. Exceptions never cross the Qt event loop: whatever escapes the body is
// handed to the error display and the program goes on. Returns whether the body ran to its end.
template <typename F> bool runGuarded(F &&body) {
    try {
        std::forward<F>(body)();
        return true;
    } catch (const std::exception &e) {
        showError(QString::fromUtf8(e.what()));
    } catch (...) {
        showError(QStringLiteral("Unknown error"));
    }
    return false;
}

} // namespace corvane
