#include "sim_tcp_transport.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace corvane {
namespace {

// Connections the system completes while a client is served; they wait for their turn.
constexpr int kTcpBacklog = 4;

} // namespace

SimTcpTransport::~SimTcpTransport() {
    stop();
}

bool SimTcpTransport::start(std::uint16_t port, QString *error) {
    if (isRunning())
        return true;
    const auto fail = [this, error](const QString &what) {
        if (error)
            *error =
                QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
        closeListener();
        return false;
    };
    m_listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0)
        return fail(QStringLiteral("socket"));
    const int on = 1;
    ::setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (::bind(m_listenFd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
        return fail(QStringLiteral("127.0.0.1:%1").arg(port));
    if (::listen(m_listenFd, kTcpBacklog) != 0)
        return fail(QStringLiteral("listen"));
    socklen_t length = sizeof address;
    if (::getsockname(m_listenFd, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return fail(QStringLiteral("getsockname"));
    m_kick = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_kick < 0)
        return fail(QStringLiteral("eventfd"));
    m_dropClient = false;
    if (!startThread(error)) {
        closeListener();
        return false;
    }
    m_port = ntohs(address.sin_port);
    return true;
}

void SimTcpTransport::stop() {
    stopThread();
    closeListener();
}

void SimTcpTransport::closeListener() {
    if (m_listenFd >= 0)
        ::close(m_listenFd);
    if (m_kick >= 0)
        ::close(m_kick);
    m_listenFd = m_kick = -1;
    m_port = 0;
}

void SimTcpTransport::dropClient() {
    m_dropClient = true;
    if (m_kick >= 0)
        ::eventfd_write(m_kick, 1);
}

void SimTcpTransport::run() {
    while (acceptClient()) {
        if (serve(m_client) == Ended::Stopped)
            break;
        closeClient();
    }
    if (m_client >= 0)
        ::close(m_client);
    m_client = -1;
    m_hasClient = false;
}

// The listening socket is looked at only while no client is served: a second client stays in
// the listen queue.
bool SimTcpTransport::acceptClient() {
    while (const std::optional<Input> input = waitForInput(m_listenFd, std::nullopt)) {
        if (takeDropRequest())
            continue; // nobody to drop
        if (!(input->events & POLLIN))
            continue;
        const int client = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0)
            continue;
        const int on = 1;
        ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        m_client = client;
        m_hasClient = true;
        log(QStringLiteral("   TCP client connected"));
        return true;
    }
    return false;
}

void SimTcpTransport::closeClient() {
    ::close(m_client);
    m_client = -1;
    m_hasClient = false;
    // The next client starts afresh, as after a master that closed its port.
    discardPartialFrame();
    log(QStringLiteral("   TCP client gone"));
}

ssize_t SimTcpTransport::writeSome(int fd, const char *bytes, std::size_t size) {
    // A client that has gone is a lost reply, never SIGPIPE.
    return ::send(fd, bytes, size, MSG_NOSIGNAL);
}

} // namespace corvane
