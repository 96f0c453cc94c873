// A port named tcp://HOST:PORT: the name, the open and its failures, and the connection as a
// serial device, against a gateway the test plays itself on the loopback interface.
#include "error_display.h"
#include "line_names.h"
#include "network_port.h"
#include "posix/posix_serial_os.h"
#include "pty_pair.h"
#include "routing_serial_os.h"
#include "ser_comm.h"

#include <QDir>
#include <QRegularExpression>
#include <QTest>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

using namespace corvane;
using namespace std::chrono_literals;
using corvane::test::processCpuMs;

namespace {

int openDescriptors() {
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::NoDotAndDotDot | QDir::System)
                   .size());
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

std::uint16_t boundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    return ntohs(address.sin_port);
}

// The gateway's end of the connection, played by the test: a socket bound to a port the system
// chose on 127.0.0.1, listening unless told otherwise.
class Gateway {
public:
    explicit Gateway(bool listening = true, int backlog = 4) {
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in address = loopback(0);
        if (::bind(m_listen, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
            return;
        if (listening && ::listen(m_listen, backlog) != 0)
            return;
        m_port = boundPort(m_listen);
    }
    ~Gateway() {
        closeClient();
        ::close(m_listen);
    }
    Gateway(const Gateway &) = delete;
    Gateway &operator=(const Gateway &) = delete;

    std::uint16_t port() const { return m_port; }
    QString name() const { return QStringLiteral("tcp://127.0.0.1:%1").arg(m_port); }

    bool accept(int timeoutMs = 5000) {
        pollfd in{m_listen, POLLIN, 0};
        if (::poll(&in, 1, timeoutMs) != 1)
            return false;
        m_client = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        return m_client >= 0;
    }
    bool send(const QByteArray &bytes) {
        return ::send(m_client, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) ==
               bytes.size();
    }
    // What one read gives once something has arrived.
    QByteArray receiveOnce(int timeoutMs = 5000) {
        pollfd in{m_client, POLLIN, 0};
        if (::poll(&in, 1, timeoutMs) != 1)
            return {};
        char buffer[256];
        const ssize_t got = ::recv(m_client, buffer, sizeof buffer, 0);
        return got > 0 ? QByteArray(buffer, got) : QByteArray();
    }
    QByteArray receive(qsizetype count, int timeoutMs = 5000) {
        QByteArray got;
        QDeadlineTimer deadline(timeoutMs);
        while (got.size() < count && !deadline.hasExpired()) {
            const QByteArray piece = receiveOnce(int(deadline.remainingTime()));
            if (piece.isEmpty())
                break;
            got += piece;
        }
        return got;
    }
    // An orderly close, or a reset that throws away whatever is in flight.
    void closeClient(bool reset = false) {
        if (m_client < 0)
            return;
        if (reset) {
            const linger abort{1, 0};
            ::setsockopt(m_client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        }
        ::close(m_client);
        m_client = -1;
    }

private:
    int m_listen = -1;
    int m_client = -1;
    std::uint16_t m_port = 0;
};

struct PortFailure {
    int osError = 0;
    QString message;
    bool opened = false;
};

PortFailure openFailure(TSerComm &comm, const QString &name) {
    comm.SetDeviceName(name);
    try {
        comm.OpenPort();
    } catch (const ESerCommError &e) {
        if (e.kind() == ESerCommError::Kind::DeviceNotOpened)
            return {e.osError(), e.message(), comm.IsOpen()};
        return {-1, e.message(), comm.IsOpen()};
    }
    return {0, QString(), comm.IsOpen()};
}

QString reasonOf(const QString &name, int osError) {
    return portOpenFailureText(name, resolvePortName(name), osError)
        .section(QStringLiteral(" could not be opened: "), 1);
}

} // namespace

class TstNetworkPort : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void recognised_data();
    void recognised();
    void goodNames_data();
    void goodNames();
    void badNamesOpenNothing_data();
    void badNamesOpenNothing();
    void failureTexts_data();
    void failureTexts();
    void connectFailures_data();
    void connectFailures();
    void unansweredConnectTimesOut();

    void behavesAsASerialPort();
    void keyedFrameLeavesInOneWrite();
    void endedConnectionIsLostOnce_data();
    void endedConnectionIsLostOnce();

private:
    QStringList m_shown;
};

void TstNetworkPort::init() {
    m_shown.clear();
    setErrorSink([this](const QString &message) { m_shown << message; });
}

void TstNetworkPort::cleanup() {
    setErrorSink({});
}

void TstNetworkPort::recognised_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("network");
    QTest::newRow("tcp") << "tcp://gw:4001" << true;
    QTest::newRow("upper case") << "TCP://gw:4001" << true;
    QTest::newRow("bare prefix") << "tcp://" << true;
    QTest::newRow("COM1") << "COM1" << false;
    QTest::newRow("device path") << "/dev/ttyUSB0" << false;
    QTest::newRow("one slash") << "tcp:/gw:4001" << false;
    QTest::newRow("other scheme") << "udp://gw:4001" << false;
}

void TstNetworkPort::recognised() {
    QFETCH(QString, name);
    QTEST(isNetworkPortName(name), "network");
    TSerComm comm;
    comm.SetDeviceName(name);
    QTEST(comm.IsNetworkPort(), "network");
    // Only COM1..COM8 are rewritten; a network name stays as typed.
    if (isNetworkPortName(name))
        QCOMPARE(resolvePortName(name), name);
}

void TstNetworkPort::goodNames_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("host");
    QTest::addColumn<int>("port");
    QTest::newRow("address") << "tcp://192.168.1.20:4001" << QByteArray("192.168.1.20") << 4001;
    QTest::newRow("host name") << "tcp://gw-hall.local:502" << QByteArray("gw-hall.local") << 502;
    QTest::newRow("IPv6 in brackets") << "tcp://[fe80::1]:10001" << QByteArray("fe80::1") << 10001;
    QTest::newRow("port 1") << "tcp://gw:1" << QByteArray("gw") << 1;
    QTest::newRow("port 65535") << "tcp://gw:65535" << QByteArray("gw") << 65535;
    QTest::newRow("leading zeros") << "tcp://gw:00502" << QByteArray("gw") << 502;
}

void TstNetworkPort::goodNames() {
    QFETCH(QString, name);
    NetworkPortAddress address;
    QCOMPARE(parseNetworkPortName(name, address), 0);
    QTEST(QByteArray::fromStdString(address.host), "host");
    QTEST(int(address.port), "port");
}

void TstNetworkPort::badNamesOpenNothing_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("reason");
    const QString noPort = "no port number after the host (tcp://HOST:PORT)";
    const QString range = "the port must be 1 to 65535";
    const QString notNumber = "the port is not a number (tcp://HOST:PORT)";
    const QString noHost = "no host before the port (tcp://HOST:PORT)";
    QTest::newRow("no port") << "tcp://127.0.0.1" << kNetNoPort << noPort;
    QTest::newRow("colon, no port") << "tcp://127.0.0.1:" << kNetNoPort << noPort;
    QTest::newRow("IPv6, no port") << "tcp://[::1]" << kNetNoPort << noPort;
    QTest::newRow("port 0") << "tcp://127.0.0.1:0" << kNetPortOutOfRange << range;
    QTest::newRow("port 65536") << "tcp://127.0.0.1:65536" << kNetPortOutOfRange << range;
    QTest::newRow("port beyond any integer")
        << "tcp://127.0.0.1:99999999999999999999" << kNetPortOutOfRange << range;
    QTest::newRow("service name") << "tcp://127.0.0.1:http" << kNetPortNotNumeric << notNumber;
    QTest::newRow("signed") << "tcp://127.0.0.1:+502" << kNetPortNotNumeric << notNumber;
    QTest::newRow("hexadecimal") << "tcp://127.0.0.1:0x1F6" << kNetPortNotNumeric << notNumber;
    QTest::newRow("trailing blank") << "tcp://127.0.0.1:502 " << kNetPortNotNumeric << notNumber;
    QTest::newRow("path after the port")
        << "tcp://127.0.0.1:502/" << kNetPortNotNumeric << notNumber;
    QTest::newRow("empty host") << "tcp://:502" << kNetNoHost << noHost;
    QTest::newRow("empty brackets") << "tcp://[]:502" << kNetNoHost << noHost;
    QTest::newRow("nothing at all") << "tcp://" << kNetNoHost << noHost;
}

// Refused before any lookup, socket or connection: the open fails like a missing device, with a
// code whose text says what is wrong, and the log line names the text as typed.
void TstNetworkPort::badNamesOpenNothing() {
    QFETCH(QString, name);
    QFETCH(int, code);
    QFETCH(QString, reason);
    NetworkPortAddress address;
    QCOMPARE(parseNetworkPortName(name, address), code);

    TSerComm comm;
    const int before = openDescriptors();
    const PortFailure failure = openFailure(comm, name);
    QCOMPARE(openDescriptors(), before);
    QCOMPARE(failure.osError, code);
    QVERIFY(!failure.opened);
    QVERIFY2(failure.message.contains(name) && failure.message.contains(reason),
             qPrintable(failure.message));
    QCOMPARE(portOpenFailureText(name, resolvePortName(name), code),
             QStringLiteral("Port %1 could not be opened: %2").arg(name, reason));
}

void TstNetworkPort::failureTexts_data() {
    QTest::addColumn<int>("osError");
    QTest::addColumn<QString>("reason");
    QTest::newRow("refused") << ECONNREFUSED << "connection refused";
    QTest::newRow("host unreachable") << EHOSTUNREACH << "host unreachable";
    QTest::newRow("network unreachable") << ENETUNREACH << "host unreachable";
    QTest::newRow("timed out") << ETIMEDOUT << "no answer within 3 s";
    QTest::newRow("not resolved") << kNetHostNotResolved << "host name not resolved";
    QTest::newRow("serial: not found") << ENOENT << "not found";
    QTest::newRow("serial: busy") << EBUSY << "busy";
    QTest::newRow("serial: not a terminal") << ENOTTY << "not a serial device";
}

void TstNetworkPort::failureTexts() {
    QFETCH(int, osError);
    QTEST(reasonOf(QStringLiteral("tcp://gw:4001"), osError), "reason");
}

void TstNetworkPort::connectFailures_data() {
    QTest::addColumn<bool>("bindOnly");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("osError");
    // A port the test holds without listening: nobody else can take it, and it refuses.
    QTest::newRow("refused") << true << QString() << ECONNREFUSED;
    // Two dots in a row make a name no resolver accepts, so the lookup fails at once, network
    // or not.
    QTest::newRow("not resolved") << false << "tcp://no..such-gateway:4001" << kNetHostNotResolved;
}

void TstNetworkPort::connectFailures() {
    QFETCH(bool, bindOnly);
    QFETCH(QString, name);
    QFETCH(int, osError);
    Gateway nobody(false);
    if (bindOnly) {
        QVERIFY(nobody.port() != 0);
        name = nobody.name();
    }
    TSerComm comm;
    const int before = openDescriptors();
    const PortFailure failure = openFailure(comm, name);
    QCOMPARE(failure.osError, osError);
    QVERIFY(!failure.opened);
    QCOMPARE(openDescriptors(), before);
    QVERIFY2(failure.message.contains(name), qPrintable(failure.message));
    // The port can be tried again; nothing is left half open.
    QCOMPARE(openFailure(comm, name).osError, osError);
}

// A listen queue that is full drops the connection request, as a gateway that does not answer:
// the open gives up at its limit (shortened here) with ETIMEDOUT.
void TstNetworkPort::unansweredConnectTimesOut() {
    Gateway full(true, 0);
    QVERIFY(full.port() != 0);
    std::vector<int> fillers;
    bool filled = false;
    for (int i = 0; i < 8 && !filled; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        fillers.push_back(fd);
        const sockaddr_in address = loopback(full.port());
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0)
            continue;
        pollfd out{fd, POLLOUT, 0};
        filled = ::poll(&out, 1, 500) == 0;
    }
    const auto closeFillers = [&fillers] {
        for (int fd : fillers)
            ::close(fd);
    };
    if (!filled) {
        closeFillers();
        QSKIP("this system's listen queue does not fill up");
    }

    posix::PosixSerialOs serial;
    RoutingSerialOs os(serial, 300ms);
    TSerComm comm(os);
    const int before = openDescriptors();
    const PortFailure failure = openFailure(comm, full.name());
    const int after = openDescriptors();
    closeFillers();
    QCOMPARE(failure.osError, ETIMEDOUT);
    QVERIFY(!failure.opened);
    QCOMPARE(after, before);
}

// Line settings, RTS and the status query work as on a port whose line belongs to someone else;
// bytes flow both ways as they are.
void TstNetworkPort::behavesAsASerialPort() {
    Gateway gateway;
    TSerComm comm;
    comm.SetDeviceName(gateway.name());
    comm.SetDirectWrite(true);
    comm.SetBaudrate(br19200);
    comm.SetParity(paEven);
    QByteArray received;
    comm.OnRxChar = [&](TSerCustomComm *sender, int count) {
        QByteArray chunk(count, '\0');
        received += chunk.left(sender->ReadBytes(chunk.data(), count));
    };
    comm.OpenPort();
    QVERIFY(comm.IsOpen());
    QVERIFY(comm.IsNetworkPort());
    QVERIFY(gateway.accept());

    comm.SetBaudrate(br9600);
    comm.SetParity(paNone);
    comm.SetStopbits(sb2);
    comm.SetRtsLine(true);
    comm.SetRtsLine(false);
    SerComStat stat;
    QCOMPARE(comm.QueryStatus(stat), 0u);

    const QByteArray reply = QByteArray::fromHex("0103020008b982");
    QVERIFY(gateway.send(reply));
    QTRY_COMPARE(received, reply);
    QCOMPARE(comm.InputQueued(), 0);
    QCOMPARE(comm.WriteBlock(QByteArray::fromHex("010380150001bc0e")), 8);
    QCOMPARE(gateway.receive(8), QByteArray::fromHex("010380150001bc0e"));
    QVERIFY(m_shown.isEmpty());
    comm.ClosePort();
}

// The byte gap of the slow mode would send one packet per byte: over TCP the frame goes out as
// one write, so the gateway's first read holds all of it.
void TstNetworkPort::keyedFrameLeavesInOneWrite() {
    Gateway gateway;
    TSerComm comm;
    comm.SetDeviceName(gateway.name());
    comm.SetDirectWrite(true);
    comm.OpenPort();
    QVERIFY(gateway.accept());
    SerialLine::KeyedFrame frame;
    frame.bytes = QByteArray::fromHex("0103800000088fcc");
    frame.preSendDelay = 1ms;
    frame.byteGap = 2ms;
    int done = 0;
    QVERIFY(
        comm.SendKeyedAsync(frame, [&done](bool ok, const QString &) { done += ok ? 1 : 100; }));
    QCOMPARE(gateway.receiveOnce(), frame.bytes);
    QTRY_COMPARE(done, 1);
    comm.ClosePort();
}

void TstNetworkPort::endedConnectionIsLostOnce_data() {
    QTest::addColumn<bool>("reset");
    QTest::addColumn<bool>("unreadBytes");
    QTest::newRow("closed") << false << false;
    QTest::newRow("closed after a last reply") << false << true;
    QTest::newRow("reset") << true << false;
}

// The gateway closing the connection is a lost device: OnError hears it once, nothing spins on
// the dead socket, no error box comes up, and the port opens again on a new connection.
void TstNetworkPort::endedConnectionIsLostOnce() {
    QFETCH(bool, reset);
    QFETCH(bool, unreadBytes);
    Gateway gateway;
    TSerComm comm;
    comm.SetDeviceName(gateway.name());
    comm.SetDirectWrite(true);
    QList<int> errors;
    comm.OnError = [&](TSerCustomComm *, int flags) { errors << flags; };
    QByteArray received;
    comm.OnRxChar = [&](TSerCustomComm *sender, int count) {
        QByteArray chunk(count, '\0');
        received += chunk.left(sender->ReadBytes(chunk.data(), count));
    };
    comm.OpenPort();
    QVERIFY(gateway.accept());
    QVERIFY(gateway.send("ok"));
    QTRY_COMPARE(received, QByteArray("ok"));

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(" is gone: ")));
    if (unreadBytes)
        QVERIFY(gateway.send("last"));
    gateway.closeClient(reset);
    QTRY_COMPARE(errors.size(), 1);
    QCOMPARE(errors.first() & kSerDeviceLost, kSerDeviceLost);
    if (unreadBytes)
        QCOMPARE(received, QByteArray("oklast"));

    const double before = processCpuMs();
    QTest::qWait(500);
    const double share = (processCpuMs() - before) / 500;
    QVERIFY2(share < 0.05, qPrintable(QStringLiteral("CPU share %1").arg(share)));
    QCOMPARE(errors.size(), 1);
    QVERIFY2(m_shown.isEmpty(), qPrintable(m_shown.join('\n')));

    comm.ClosePort();
    comm.OpenPort();
    QVERIFY(gateway.accept());
    QVERIFY(gateway.send("again"));
    QTRY_VERIFY(received.endsWith("again"));
    QCOMPARE(errors.size(), 1);
    comm.ClosePort();
}

QTEST_GUILESS_MAIN(TstNetworkPort)
#include "tst_network_port.moc"
