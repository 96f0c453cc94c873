#pragma once

#include "posix/posix_termios2.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace corvane::test {

// A pseudo-terminal made for one test. The component opens the slave side (path()); the test
// plays the far end of the line on the master side.
class PtyPair {
public:
    PtyPair() {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
            return;
        char name[128];
        if (::ptsname_r(m_master, name, sizeof name) == 0)
            m_path = QString::fromLocal8Bit(name);
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    }
    ~PtyPair() { closeMaster(); }
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return m_master >= 0 && !m_path.isEmpty(); }
    QString path() const { return m_path; }
    // The N of /dev/pts/N.
    int number() const { return m_path.section(u'/', -1).toInt(); }
    int master() const { return m_master; }

    // The far end sends.
    bool send(const QByteArray &bytes) {
        return ::write(m_master, bytes.constData(), size_t(bytes.size())) == bytes.size();
    }

    // The far end receives until it has count bytes or the time runs out.
    QByteArray receive(int count, int timeoutMs = 5000) {
        QByteArray got;
        QDeadlineTimer deadline(timeoutMs);
        while (got.size() < count && !deadline.hasExpired()) {
            pollfd fd{m_master, POLLIN, 0};
            if (::poll(&fd, 1, int(deadline.remainingTime())) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::read(m_master, buffer, sizeof buffer);
            if (n > 0)
                got.append(buffer, n);
            else if (n < 0 && errno != EAGAIN && errno != EINTR)
                break;
        }
        return got;
    }

    // Reads whatever has arrived, without waiting.
    QByteArray drain() {
        QByteArray got;
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(m_master, buffer, sizeof buffer)) > 0)
            got.append(buffer, n);
        return got;
    }

    // The line settings the device holds (the master reports those of the slave).
    termios settings() const {
        termios t{};
        ::tcgetattr(m_master, &t);
        return t;
    }
    bool setSettings(const termios &t) { return ::tcsetattr(m_master, TCSANOW, &t) == 0; }
    unsigned speed() const {
        unsigned out = 0, in = 0;
        posix::readSpeeds(m_master, out, in);
        return out;
    }

    // The device vanishes: the slave side sees a hang-up.
    void closeMaster() {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

private:
    int m_master = -1;
    QString m_path;
};

// CPU time used by the whole process, in milliseconds.
inline double processCpuMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1e6;
}

} // namespace corvane::test
