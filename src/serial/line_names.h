#pragma once

#include <QString>
#include <QStringList>

namespace corvane {

class TSerComm;

// The port names the Options dialog offers: "COM1".."COM8" are the first eight on-board serial
// ports (/dev/ttyS0../dev/ttyS7; on Windows they stay as they are); a text starting with "/" is
// a device path (/dev/ttyUSB0, /dev/serial/by-id/...); "tcp://HOST:PORT" is a serial gateway on
// the network (network_port.h). Anything else is tried as it is and will not be found.
QString resolvePortName(const QString &name);

// "Port <name> (<device>) could not be opened: <reason>", the reason told in the operator's
// terms (not found, busy, permission denied with what to do about it, not a serial device; for
// a network port: connection refused, host unreachable, no answer in time, host name not
// resolved, or what is wrong with the name).
QString portOpenFailureText(const QString &name, const QString &device, int osError);

// The line for a port whose driver refused RS-485 mode: the reason, and that RTS is keyed by
// the program after all.
QString rs485RefusalText(const QString &reason);

// The three ways a line is turned round, as Options offers them (index = TSerDirection), and
// as corvane-cli's --direction names them.
QStringList lineDirectionTexts();
inline const QStringList kLineDirectionNames{QStringLiteral("corvane"), QStringLiteral("driver"),
                                             QStringLiteral("adapter")};

// Speed (bits per second) and parity ("None", "Even", "Odd", "Mark", "Space") as the Options
// dialog names them. A value outside those lists leaves the port's setting as it was; the
// readers give 0 and an empty text for a setting outside them.
void setPortSpeed(TSerComm &Comm1, int speed);
void setPortParity(TSerComm &Comm1, const QString &parity);
int portSpeed(const TSerComm &Comm1);
QString portParity(const TSerComm &Comm1);

} // namespace corvane
