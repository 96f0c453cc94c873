#pragma once

// The termios2 interface lives in kernel headers that clash with <termios.h>, so it is kept in a
// translation unit of its own and reached only through these plain functions.

namespace corvane::posix {

// Sets input and output speed to any rate (BOTHER). errno tells why on failure.
bool setCustomSpeed(int fd, unsigned speed);
// The output and input speeds the driver holds, in bits per second.
bool readSpeeds(int fd, unsigned &outputSpeed, unsigned &inputSpeed);

} // namespace corvane::posix
