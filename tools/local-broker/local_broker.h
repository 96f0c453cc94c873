#pragma once

// A mosquitto broker of its own for a test or a benchmark: on a free loopback port, with its
// own configuration and persistence in a folder the caller owns, started and stopped as a
// process.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>

namespace corvane::broker {

// Events come from other processes; the wait ends as soon as the condition holds, and only a
// hang runs into the limit.
inline bool waitUntil(const std::function<bool()> &condition, int limitMs = 60000) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > limitMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
    return true;
}

inline sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A port the system just gave out and took back; the broker binds it a moment later.
inline int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = loopback(0);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

inline bool accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = loopback(port);
    const bool connected =
        ::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

class Broker {
public:
    // passwords: a password file, or anonymous clients. extra: more configuration of the
    // listener, such as its TLS files.
    explicit Broker(const QString &folder, const QString &passwords = {},
                    const QString &extra = {})
        : m_port(freePort()), m_folder(folder) {
        QFile conf(folder + QStringLiteral("/mosquitto.conf"));
        if (!conf.open(QIODevice::WriteOnly))
            return;
        // Started as root, the broker would become user mosquitto, who cannot read the
        // test's private folder.
        const passwd *self = ::getpwuid(::getuid());
        QByteArray text = QStringLiteral("listener %1 127.0.0.1\npersistence true\n"
                                         "persistence_location %2/\nuser %3\n")
                              .arg(m_port)
                              .arg(folder, QString::fromLocal8Bit(self ? self->pw_name : "root"))
                              .toUtf8();
        text += passwords.isEmpty()
                    ? QByteArray("allow_anonymous true\n")
                    : QStringLiteral("allow_anonymous false\npassword_file %1\n")
                          .arg(passwords)
                          .toUtf8();
        text += extra.toUtf8();
        conf.write(text);
    }
    ~Broker() { stop(); }
    bool start() {
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(QStringLiteral(CORVANE_MOSQUITTO_PATH), {QStringLiteral("-c"), m_folder + QStringLiteral("/mosquitto.conf")});
        if (!m_process.waitForStarted(10000))
            return false;
        return waitUntil([this] { return accepts(m_port); });
    }
    void stop() {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }
    int port() const { return m_port; }
    QString url(const QString &prefix = QStringLiteral("site")) const {
        return QStringLiteral("mqtt://127.0.0.1:%1/%2").arg(m_port).arg(prefix);
    }

private:
    int m_port;
    QString m_folder;
    QProcess m_process;
};

} // namespace corvane::broker
