#pragma once

#include <QString>

namespace corvane {

// What the request machinery tells the operator: the operator log (Memo_log), the
// received-bytes log (Memo_log_uart) and the three status-bar panels (StatusBar1). The window
// implements it; tests record it.
class Output {
public:
    virtual ~Output() = default;

    // One line of the operator log, exactly as given (some texts end in a carriage return).
    virtual void log(const QString &line) = 0;
    // One line of the received-bytes log.
    virtual void traffic(const QString &line) = 0;
    // Panel 0: port state, 1: progress and failure of the last operation, 2: PC clock.
    virtual void setStatus(int panel, const QString &text) = 0;
};

namespace StatusPanel {
inline constexpr int Port = 0;
inline constexpr int Progress = 1;
inline constexpr int Clock = 2;
} // namespace StatusPanel

} // namespace corvane
