#include "sim_bus_copy.h"

#include <QFile>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace corvane {

bool BusCopy::open(const QString &linkPath, QString *error) {
    if (!m_line.openPty(error))
        return false;
    if (!linkPath.isEmpty() && !m_line.createLink(linkPath, error)) {
        m_line.close();
        return false;
    }
    // A pseudo-terminal whose slave side was never opened keeps what is written to it for the
    // first opener; once opened and closed it tells that nobody holds it. So a listener that
    // comes later hears the line from then on, not what passed before it came.
    const int slave =
        ::open(QFile::encodeName(m_line.path()).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave >= 0)
        ::close(slave);
    return true;
}

void BusCopy::close() {
    m_line.close();
}

void BusCopy::carry(const char *bytes, std::size_t size) {
    const int fd = m_line.fd();
    if (fd < 0 || size == 0)
        return;
    pollfd held{fd, POLLOUT, 0};
    if (::poll(&held, 1, 0) < 0 || (held.revents & (POLLHUP | POLLERR | POLLNVAL)))
        return;
    std::size_t done = 0;
    while (done < size) {
        const ssize_t written = ::write(fd, bytes + done, size - done);
        if (written <= 0)
            return;
        done += std::size_t(written);
    }
}

qint64 BusCopy::takeWrittenBack() {
    const int fd = m_line.fd();
    if (fd < 0)
        return 0;
    qint64 total = 0;
    char buffer[256];
    ssize_t got;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
        total += got;
    return total;
}

} // namespace corvane
