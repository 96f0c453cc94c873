#include "posix_termios2.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

// <sys/ioctl.h> would pull in the C library's termios definitions.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept;

namespace corvane::posix {

bool setCustomSpeed(int fd, unsigned speed) {
    termios2 settings{};
    if (ioctl(fd, TCGETS2, &settings) != 0)
        return false;
    settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = speed;
    settings.c_ospeed = speed;
    return ioctl(fd, TCSETS2, &settings) == 0;
}

bool readSpeeds(int fd, unsigned &outputSpeed, unsigned &inputSpeed) {
    termios2 settings{};
    if (ioctl(fd, TCGETS2, &settings) != 0)
        return false;
    outputSpeed = settings.c_ospeed;
    inputSpeed = settings.c_ispeed;
    return true;
}

} // namespace corvane::posix
