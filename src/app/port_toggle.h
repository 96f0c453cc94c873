#pragma once

#include "line_names.h"

#include <QString>

namespace corvane {

class MessageBoxes;
class Output;
class Sleeper;
class TSerComm;

// Opens or closes the serial port with the five settings texts and reports the result on status
// panel 0. PortOpen mirrors the state for every other command.
//
// A missing, busy or forbidden device, or one that is not a serial device at all, gives the
// message box, a log line with the port and the reason, and " is closed", never an exception.
// The device is opened before the speed text is converted, so that an unusable port is reported
// as such even when the settings are empty; a speed that is not a number then closes it again
// and raises "'%s' is not a valid integer value". Every other failed open raises too, and still
// leaves " is closed" on panel 0. Texts outside the known lists leave the previous setting in
// force.
struct PortToggle {
    TSerComm &Comm1;
    bool &PortOpen;
    Output &out;
    MessageBoxes &boxes;
    Sleeper &sleeper;

    void TogglePort(const QString &name, const QString &speed, const QString &parity,
                    const QString &dataBits, const QString &stopBits);

    // The name the operator knows the port by, shown in the status bar.
    QString displayName;
    // Off, a device that cannot be opened gives neither the message box nor the log line: for
    // attempts the program makes on its own, again and again.
    bool reportFailures = true;
    // Whether the log has told how to join the 'dialout' group, after a permission denied.
    bool dialoutHintGiven = false;
};

} // namespace corvane
