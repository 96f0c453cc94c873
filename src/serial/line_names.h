#pragma once

#include <QString>

namespace corvane {

class TSerComm;

// Speed (bits per second) and parity ("None", "Even", "Odd", "Mark", "Space") as the Options
// dialog names them. A value outside those lists leaves the port's setting as it was; the
// readers give 0 and an empty text for a setting outside them.
void setPortSpeed(TSerComm &Comm1, int speed);
void setPortParity(TSerComm &Comm1, const QString &parity);
int portSpeed(const TSerComm &Comm1);
QString portParity(const TSerComm &Comm1);

} // namespace corvane
