#include "sim_line.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace corvane {
namespace {

void setError(QString *error, const QString &what) {
    if (error)
        *error = QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
}

speed_t speedConstant(int baud) {
    switch (baud) {
    case 300:
        return B300;
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B0;
    }
}

int baudOf(speed_t speed) {
    switch (speed) {
    case B300:
        return 300;
    case B1200:
        return 1200;
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B115200:
        return 115200;
    default:
        return 0;
    }
}

} // namespace

LineSettings lineSettingsOf(const termios &settings) {
    LineSettings line;
    line.speedCode = speedCodeOf(baudOf(cfgetospeed(&settings)));
    const bool parity = (settings.c_cflag & PARENB) || (settings.c_iflag & INPCK);
    if (settings.c_cflag & CMSPAR)
        line.parityCode = kNoLineCode;
    else if (!parity)
        line.parityCode = 2;
    else
        line.parityCode = (settings.c_cflag & PARODD) ? 1 : 0;
    return line;
}

SimLine::~SimLine() {
    close();
}

bool SimLine::openPty(QString *error) {
    close();
    const int fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (fd < 0) {
        setError(error, QStringLiteral("posix_openpt"));
        return false;
    }
    char name[128] = {};
    if (grantpt(fd) != 0 || unlockpt(fd) != 0 || ptsname_r(fd, name, sizeof name) != 0) {
        setError(error, QStringLiteral("pseudo-terminal"));
        ::close(fd);
        return false;
    }
    // Raw mode at a fresh logger's 9600 baud without parity from the start, so that a master
    // that sets no line settings of its own (a plain terminal program) reaches default loggers.
    termios tio{};
    if (tcgetattr(fd, &tio) == 0) {
        cfmakeraw(&tio);
        cfsetispeed(&tio, B9600);
        cfsetospeed(&tio, B9600);
        tcsetattr(fd, TCSANOW, &tio);
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    m_fd = fd;
    m_isPty = true;
    m_path = QString::fromLocal8Bit(name);
    return true;
}

bool SimLine::openDevice(const QString &path, const SerialSettings &settings, QString *error) {
    close();
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        setError(error, path);
        return false;
    }
    m_fd = fd;
    m_isPty = false;
    m_path = path;
    if (!applySettings(settings, error)) {
        close();
        return false;
    }
    return true;
}

bool SimLine::applySettings(const SerialSettings &settings, QString *error) {
    if (m_fd < 0 || m_isPty)
        return true;
    const speed_t speed = speedConstant(settings.baud);
    if (speed == B0) {
        if (error)
            *error = QStringLiteral("unsupported speed %1").arg(settings.baud);
        return false;
    }
    termios tio{};
    if (tcgetattr(m_fd, &tio) != 0) {
        setError(error, m_path);
        return false;
    }
    cfmakeraw(&tio);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~(PARENB | PARODD | CSTOPB | CRTSCTS);
    if (settings.parity == 'E')
        tio.c_cflag |= PARENB;
    else if (settings.parity == 'O')
        tio.c_cflag |= PARENB | PARODD;
    if (settings.stopBits == 2)
        tio.c_cflag |= CSTOPB;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(m_fd, TCSANOW, &tio) != 0) {
        setError(error, m_path);
        return false;
    }
    return true;
}

std::optional<LineSettings> SimLine::heardSettings() const {
    termios tio{};
    // The master side of a pseudo-terminal reports the settings of the slave side.
    if (m_fd < 0 || !m_isPty || tcgetattr(m_fd, &tio) != 0)
        return std::nullopt;
    return lineSettingsOf(tio);
}

int SimLine::heardStopBits() const {
    termios tio{};
    if (m_fd < 0 || !m_isPty || tcgetattr(m_fd, &tio) != 0)
        return 1;
    return (tio.c_cflag & CSTOPB) ? 2 : 1;
}

bool SimLine::createLink(const QString &linkPath, QString *error) {
    const QByteArray link = QFile::encodeName(linkPath);
    const QFileInfo existing(linkPath);
    if (existing.isSymLink()) {
        if (existing.exists()) {
            if (error)
                *error = QStringLiteral("%1 already links to %2")
                             .arg(linkPath, existing.symLinkTarget());
            return false;
        }
        ::unlink(link.constData());
    }
    if (::symlink(QFile::encodeName(m_path).constData(), link.constData()) != 0) {
        setError(error, linkPath);
        return false;
    }
    m_link = linkPath;
    return true;
}

void SimLine::close() {
    if (!m_link.isEmpty()) {
        // Only our own link: another simulator may have taken the name since.
        const QFileInfo info(m_link);
        if (info.isSymLink() && info.symLinkTarget() == QFileInfo(m_path).absoluteFilePath())
            ::unlink(QFile::encodeName(m_link).constData());
        m_link.clear();
    }
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_path.clear();
    m_isPty = false;
}

} // namespace corvane
