#pragma once

#include "link_options.h"

#include <QRect>
#include <QString>

#include <optional>

namespace corvane {

// The settings the main window keeps between start-up and the Options dialog's Apply.
// The port texts are kept as the dialog shows them; the port routine interprets them.
struct Settings {
    QString ComName;
    QString ComSpeed;
    QString ComParity;
    QString ComDataBits;
    QString ComStopBits;
    bool RtsControlOption = false;
    bool OpenAtStart = false;
    bool StartWithWindows = false;
    bool LoadLastWorkFile = false;
    QString DecSeparator = QStringLiteral(".");
    QString ExportSeparator = QStringLiteral(";");
    int ResponseTime = 500; // milliseconds, used as read: no range check
    // A response window closes as soon as the reply is complete; off keeps the designed timing.
    bool FastReplies = false;
    // How often a failed reply is asked for again, 0 to 5; 0 keeps the designed behaviour.
    int Retries = 0;
    // Additions to the logs; all off keeps the panes as designed. A line limit of 0 keeps all.
    bool LogTimestamps = false;
    bool LogSentFrames = false;
    int LogLineLimit = 0;
    // After the device is lost, reopen the port when it appears again.
    bool ReopenPort = false;
    // Who turns the RS-485 line round: 0 Corvane by RTS (the designed keying), 1 the serial
    // driver in its RS-485 mode, 2 the adapter by itself. Anything else reads as 0.
    int LineDirection = 0;
    // The adapter echoes every request; one copy is dropped before the reply is checked.
    bool IgnoreEcho = false;

    bool operator==(const Settings &) const = default;
};

// The settings that say how the program talks on its line.
LinkOptions linkOptions(const Settings &settings);

// Reads the nineteen keys; a missing file, key or unconvertible value gives the field's default.
Settings readSettings(const QString &path);

// Why the Options dialog must not take these settings, naming the field; empty when it may. A
// decimal separator of other than one character would make every typed number fail, an empty
// export separator runs a CSV row's cells together, and a speed that is not a whole number can
// never open the port. An empty speed stays allowed: the port may simply not be set up yet.
QString settingsProblem(const Settings &settings);

// Writes the nineteen keys one after the other, each as its own update of the file. The first key
// that cannot be written raises SettingsWriteError naming it; the keys before it are in the
// file, the keys after it are not written.
void writeSettings(const QString &path, const Settings &settings);

// Where the main window was when the program was last left, kept in section "Window": its
// geometry when not maximised (the client area, without the title bar and frame) and whether it
// was maximised.
struct WindowPlacement {
    QRect geometry;
    bool maximized = false;

    bool operator==(const WindowPlacement &) const = default;
};

// Empty when any of Left, Top, Width and Height is missing or not a plain whole number, or when
// the width or height is outside 1 to 32767 pixels. A missing or unreadable Maximized means not
// maximised. Whether the place is on a screen is for the window to judge.
std::optional<WindowPlacement> readWindowPlacement(const QString &path);

// Writes those keys of section "Window" whose values differ from the file's, each as its own
// update of the file; every other line of the file stays as it is. Throws SettingsWriteError as
// writeSettings does.
void writeWindowPlacement(const QString &path, const WindowPlacement &placement);

} // namespace corvane
