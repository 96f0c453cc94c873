#pragma once

#include <QString>

namespace corvane {

// Everything the core shows to the operator goes through here: the operator log (Memo_log),
// the received-bytes log (Memo_log_uart), the three status-bar panels (StatusBar1), and the
// texts and enabled state of named controls (labels, edits, combo boxes, buttons). The window
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
    // Text of a control named by its object name, e.g. "Label6", "Edit1", "Combo_pulses".
    virtual void setText(const QString &control, const QString &text) = 0;
    virtual void setEnabled(const QString &control, bool enabled) = 0;
    virtual void setVisible(const QString &control, bool visible) = 0;
};

// The other direction: what the operator has typed or ticked in a named control. Commands read
// it at the moment they need it (the write sequence reads its check boxes at every step).
class ControlReader {
public:
    virtual ~ControlReader() = default;
    virtual QString text(const QString &control) const = 0;
    virtual bool isChecked(const QString &control) const = 0;
};

namespace StatusPanel {
inline constexpr int Port = 0;
inline constexpr int Progress = 1;
inline constexpr int Clock = 2;
} // namespace StatusPanel

} // namespace corvane
