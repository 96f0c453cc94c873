#include "ser_comm.h"
#include "sim_options.h"
#include "sim_test_support.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace corvane;
using namespace std::chrono_literals;
using corvane::test::frame;

namespace {

// The master's end: opens the port as a serial program would and talks raw bytes.
class PortClient {
public:
    explicit PortClient(const QString &path) {
        m_fd =
            ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios tio{};
        if (m_fd >= 0 && tcgetattr(m_fd, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(m_fd, TCSANOW, &tio);
        }
    }
    // Talks on a descriptor that someone else owns.
    explicit PortClient(int fd) : m_fd(fd), m_owned(false) {}
    ~PortClient() {
        if (m_owned && m_fd >= 0)
            ::close(m_fd);
    }
    bool isOpen() const { return m_fd >= 0; }

    // As a master sets the line; the pseudo-terminal drops PARENB, so parity shows as INPCK.
    bool setLine(speed_t speed, tcflag_t iflag) {
        termios tio{};
        if (tcgetattr(m_fd, &tio) != 0)
            return false;
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
        tio.c_iflag |= iflag;
        return tcsetattr(m_fd, TCSANOW, &tio) == 0;
    }

    // One byte at a time with a short pause after each, as the master sends.
    bool sendSlowly(const QByteArray &bytes) {
        for (char byte : bytes) {
            if (::write(m_fd, &byte, 1) != 1)
                return false;
            std::this_thread::sleep_for(2ms);
        }
        return true;
    }

    // Waits until count bytes have come, or gives up after the timeout; reads counts the
    // reads that brought them.
    QByteArray receive(qsizetype count, std::chrono::milliseconds timeout = 10s,
                       int *reads = nullptr) {
        QByteArray bytes;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (bytes.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd in{m_fd, POLLIN, 0};
            if (::poll(&in, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char buffer[256];
            const ssize_t got = ::read(m_fd, buffer, sizeof buffer);
            if (got > 0) {
                bytes.append(buffer, got);
                if (reads)
                    ++*reads;
            }
        }
        return bytes;
    }

private:
    int m_fd = -1;
    bool m_owned = true;
};

// A master on a serial gateway's TCP port, talking raw bytes.
class TcpClient {
public:
    explicit TcpClient(std::uint16_t port) {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (::connect(m_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }
    ~TcpClient() { close(); }
    bool isOpen() const { return m_fd >= 0; }
    void close() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }
    bool send(const QByteArray &bytes) {
        return ::send(m_fd, bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL) == bytes.size();
    }
    QByteArray receive(qsizetype count, int *reads = nullptr) {
        return PortClient(m_fd).receive(count, 10s, reads);
    }
    // Whether anything has arrived, without waiting.
    bool hasInput() const {
        char byte;
        return ::recv(m_fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
    }
    // Whether the other side has closed the connection, waiting for it up to 10 s.
    bool closedByPeer() const {
        pollfd in{m_fd, POLLIN, 0};
        char byte;
        return ::poll(&in, 1, 10000) == 1 && ::recv(m_fd, &byte, 1, MSG_DONTWAIT) == 0;
    }

private:
    int m_fd = -1;
};

bool runningInCi() {
    const QString ci = qEnvironmentVariable("CI");
    return !ci.isEmpty() && ci != QLatin1String("0") &&
           ci.compare(QLatin1String("false"), Qt::CaseInsensitive) != 0;
}

// Register number -> value text, from mbpoll's "[32768]: 	0x0001" lines.
QMap<int, QString> mbpollValues(const QByteArray &output) {
    QMap<int, QString> values;
    static const QRegularExpression line(QStringLiteral("^\\[(\\d+)\\]:\\s+(\\S+)"),
                                         QRegularExpression::MultilineOption);
    auto it = line.globalMatch(QString::fromLocal8Bit(output));
    while (it.hasNext()) {
        const auto match = it.next();
        values.insert(match.captured(1).toInt(), match.captured(2));
    }
    return values;
}

QString hex4(int value) {
    return QStringLiteral("0x%1")
        .arg(value, 4, 16, QLatin1Char('0'))
        .toUpper()
        .replace(QLatin1String("0X"), QLatin1String("0x"));
}

const QByteArray kReadUnits = frame("010380000008");
const QByteArray kUnitsReply = frame("010310"
                                     "0001000100010001"
                                     "0001000100010001");

} // namespace

class TstLoggerLine : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void requestSentByteByByteIsAnswered();
    void onlyTheAddressedLoggerAnswersOnTheLine();
    void garbageOnTheLineIsSkipped();
    void splitReplyArrivesWhole();
    void busCopyCarriesTheLine_data();
    void busCopyCarriesTheLine();
    void onlyTheLoggerAtTheMastersSettingsAnswers();
    void lineSettingsFromTermios_data();
    void lineSettingsFromTermios();
    void answersOnASerialDevice();
    void independentMasterAgrees();
    void programRunsUntilTerminated();
    void servesOneTcpClientAtATime();
    void programServesOverTcp();
    void wireOptionsOnTheLine_data();
    void wireOptionsOnTheLine();
    void wireSchedule_data();
    void wireSchedule();
    void lineOptions_data();
    void lineOptions();
    void commandLineErrors_data();
    void commandLineErrors();

private:
    std::unique_ptr<test::ManualSim> m_fixture;
    LoggerSimulator &sim() { return m_fixture->sim; }
};

void TstLoggerLine::init() {
    m_fixture = std::make_unique<test::ManualSim>();
    QVERIFY(sim().addSlave(1, Model::Qtr8d));
    QVERIFY(sim().addSlave(2, Model::Qtr4d));
    QVERIFY(sim().addSlave(7, Model::Qtr6d));
    QString error;
    QVERIFY2(sim().start({}, &error), qPrintable(error));
    QVERIFY(sim().slavePath().startsWith(QLatin1String("/dev/")));
}

void TstLoggerLine::cleanup() {
    m_fixture.reset();
}

void TstLoggerLine::requestSentByteByByteIsAnswered() {
    PortClient port(sim().slavePath());
    QVERIFY(port.isOpen());
    QVERIFY(port.sendSlowly(kReadUnits));
    QCOMPARE(port.receive(kUnitsReply.size()).toHex(' '), kUnitsReply.toHex(' '));
    QCOMPARE(sim().requestCount(1, 0x03), 1);
}

void TstLoggerLine::onlyTheAddressedLoggerAnswersOnTheLine() {
    PortClient port(sim().slavePath());
    QVERIFY(port.isOpen());
    // Nobody at 3: the first bytes to come back belong to the logger at 2.
    QVERIFY(port.sendSlowly(frame("030380000004")));
    QVERIFY(port.sendSlowly(frame("020380150001")));
    QCOMPARE(port.receive(7).toHex(' '), frame("0203020004").toHex(' '));
    QVERIFY(port.sendSlowly(frame("070380150001")));
    QCOMPARE(port.receive(7).toHex(' '), frame("0703020006").toHex(' '));
}

void TstLoggerLine::garbageOnTheLineIsSkipped() {
    PortClient port(sim().slavePath());
    QVERIFY(port.isOpen());
    // The noise reads like the head of a 249-byte write; the line going quiet gives it away.
    QVERIFY(port.sendSlowly(QByteArray::fromHex("FF0110000000 00F0") + kReadUnits));
    QCOMPARE(port.receive(kUnitsReply.size()).toHex(' '), kUnitsReply.toHex(' '));
}

void TstLoggerLine::splitReplyArrivesWhole() {
    FaultRule split;
    split.kind = FaultKind::Split;
    split.parts = 4;
    sim().addFault(split);
    FaultRule zeros;
    zeros.kind = FaultKind::LeadingZeros;
    zeros.zeroCount = 1;
    sim().addFault(zeros);
    PortClient port(sim().slavePath());
    QVERIFY(port.isOpen());
    QVERIFY(port.sendSlowly(kReadUnits));
    const QByteArray expected = QByteArray(1, '\0') + kUnitsReply;
    QCOMPARE(port.receive(expected.size()).toHex(' '), expected.toHex(' '));
}

void TstLoggerLine::busCopyCarriesTheLine_data() {
    QTest::addColumn<bool>("echo");
    QTest::newRow("plain line") << false;
    QTest::newRow("the master's adapter echoes") << true;
}

// The copy hears the request and the reply in the order they passed, never the echo a 2-wire
// adapter gives its own master, and nothing that passed before a listener opened it.
void TstLoggerLine::busCopyCarriesTheLine() {
    QFETCH(bool, echo);
    sim().stop();
    sim().setEcho(echo);
    LineOptions line;
    line.busCopy = true;
    QString error;
    QVERIFY2(sim().start(line, &error), qPrintable(error));
    QVERIFY(sim().busCopyPath().startsWith(QLatin1String("/dev/")));
    PortClient master(sim().slavePath());
    QVERIFY(master.isOpen());
    const QByteArray unheard = frame("020380150001");
    QVERIFY(master.sendSlowly(unheard));
    QCOMPARE(master.receive((echo ? unheard.size() : 0) + 7).size(),
             (echo ? unheard.size() : 0) + 7);

    PortClient copy(sim().busCopyPath());
    QVERIFY(copy.isOpen());
    QVERIFY(master.sendSlowly(kReadUnits));
    const QByteArray heard = kReadUnits + kUnitsReply;
    QCOMPARE(copy.receive(heard.size()).toHex(' '), heard.toHex(' '));
    QCOMPARE(master.receive((echo ? kReadUnits.size() : 0) + kUnitsReply.size())
                 .right(kUnitsReply.size()),
             kUnitsReply);
    QCOMPARE(sim().busCopyWrittenBack(), 0);
}

// Our own master as the operator runs it. The requests go out back to back and are handled in
// order, so a reply from the logger that should stay silent would come first.
void TstLoggerLine::onlyTheLoggerAtTheMastersSettingsAnswers() {
    sim().withLogger(2, [](LoggerModel &logger) { logger.setLineSettings({0, 5}); });
    TSerComm comm;
    comm.SetDeviceName(sim().slavePath());
    comm.SetDirectWrite(true);
    comm.SetMonitorEvents({});
    comm.OpenPort();
    auto firstReply = [&comm](const QByteArray &requests, int replySize) {
        if (comm.WriteBlock(requests) != requests.size())
            return QByteArray("not sent");
        if (!QTest::qWaitFor([&] { return comm.InputQueued() >= replySize; }, 10000))
            return QByteArray("no reply");
        QByteArray reply(replySize, '\0');
        reply.resize(comm.ReadBytes(reply.data(), replySize));
        return reply.toHex(' ');
    };
    const QByteArray toDefault = frame("010380150001");
    const QByteArray toEven19200 = frame("020380150001");

    comm.SetBaudrate(br19200);
    comm.SetParity(paEven);
    QCOMPARE(firstReply(toDefault + toEven19200, 7), frame("0203020004").toHex(' '));
    comm.SetBaudrate(br9600);
    comm.SetParity(paNone);
    QCOMPARE(firstReply(toEven19200 + toDefault, 7), frame("0103020008").toHex(' '));
    QCOMPARE(sim().requestCount(1), 1);
    QCOMPARE(sim().requestCount(2), 1);
    QCOMPARE(sim().receivedFrames().size(), 4);
    comm.ClosePort();
}

void TstLoggerLine::lineSettingsFromTermios_data() {
    QTest::addColumn<uint>("speed");
    QTest::addColumn<uint>("cflag");
    QTest::addColumn<uint>("iflag");
    QTest::addColumn<QString>("heard");
    QTest::newRow("9600 without parity") << uint(B9600) << 0u << 0u << "9600 none";
    QTest::newRow("even on a UART") << uint(B19200) << uint(PARENB) << 0u << "19200 even";
    QTest::newRow("even on a pty, INPCK only") << uint(B19200) << 0u << uint(INPCK) << "19200 even";
    QTest::newRow("odd on a pty") << uint(B38400) << uint(PARODD) << uint(INPCK) << "38400 odd";
    QTest::newRow("odd on a UART") << uint(B300) << uint(PARENB | PARODD) << 0u << "300 odd";
    QTest::newRow("PARODD left without parity") << uint(B9600) << uint(PARODD) << 0u << "9600 none";
    QTest::newRow("mark") << uint(B9600) << uint(CMSPAR | PARODD) << uint(INPCK) << "9600 ?";
    QTest::newRow("space, no enable flag left") << uint(B9600) << uint(CMSPAR) << 0u << "9600 ?";
    QTest::newRow("57600") << uint(B57600) << 0u << 0u << "? none";
    QTest::newRow("speed 0") << uint(B0) << 0u << 0u << "? none";
}

void TstLoggerLine::lineSettingsFromTermios() {
    QFETCH(uint, speed);
    QFETCH(uint, cflag);
    QFETCH(uint, iflag);
    termios tio{};
    tio.c_cflag = CS8 | CREAD | CLOCAL | cflag;
    tio.c_iflag = iflag;
    QVERIFY(cfsetispeed(&tio, speed) == 0 && cfsetospeed(&tio, speed) == 0);
    QTEST(lineSettingsText(lineSettingsOf(tio)), "heard");
}

void TstLoggerLine::answersOnASerialDevice() {
    // A pseudo-terminal stands in for the cable: the simulator opens its slave end as a serial
    // device with termios, the test talks on the master end.
    SimLine cable;
    QVERIFY(cable.openPty());
    LoggerSimulator device;
    QVERIFY(device.addSlave(1, Model::Qtr8d));
    LineOptions options;
    options.devicePath = cable.path();
    options.serial = SerialSettings{19200, 'E', 1};
    QString error;
    QVERIFY2(device.start(options, &error), qPrintable(error));
    PortClient port(cable.fd());
    // The logger switches to odd parity at 38400 after its acknowledgement, and goes on.
    QVERIFY(port.sendSlowly(frame("014701020106")));
    QCOMPARE(port.receive(6), frame("01470100"));
    QVERIFY(port.sendSlowly(kReadUnits));
    QCOMPARE(port.receive(kUnitsReply.size()), kUnitsReply);
    QCOMPARE(device.logger(1).lineSettings(), (LineSettings{1, 6}));
}

void TstLoggerLine::independentMasterAgrees() {
    const QString mbpoll = QStandardPaths::findExecutable(QStringLiteral("mbpoll"));
    if (mbpoll.isEmpty()) {
        if (runningInCi())
            QFAIL("mbpoll is not installed, and CI must run the independent check");
        QSKIP("mbpoll is not installed (apt install mbpoll); independent check skipped");
    }
    sim().withLogger(1, [](LoggerModel &logger) {
        for (int input = 1; input <= 8; ++input) {
            logger.setUnit(input, std::uint16_t(input % 4));
            logger.setTotalPulses(input, 0x10000 * input + 0x1234);
            logger.setTariffPulses(input, 1, -input);
        }
    });
    // mbpoll's references count from 0 with -0: 32768 is 0x8000.
    auto run = [&mbpoll, this](const QString &options, const QStringList &values = {}) {
        const QString common = QStringLiteral("-m rtu -a 1 -b 9600 -P none -0 -1 -o 3 ");
        QProcess process;
        process.start(mbpoll,
                      (common + options).split(u' ') + QStringList{sim().slavePath()} + values);
        if (!process.waitForFinished(30000))
            process.kill();
        process.waitForFinished();
        const QByteArray output = process.readAllStandardOutput();
        if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
            qWarning("mbpoll: %s%s", output.constData(),
                     process.readAllStandardError().constData());
        return output;
    };

    const auto holding = mbpollValues(run(QStringLiteral("-t 4:hex -r 32768 -c 8")));
    QCOMPARE(holding.size(), 8);
    const LoggerModel before = sim().logger(1);
    for (int input = 1; input <= 8; ++input)
        QCOMPARE(holding.value(0x8000 + input - 1), hex4(before.unit(input)));

    const auto input = mbpollValues(run(QStringLiteral("-t 3:hex -r 0 -c 16")));
    QCOMPARE(input.size(), 16);
    for (int reg = 0; reg < 16; ++reg)
        QCOMPARE(input.value(reg), hex4(*before.inputRegister(reg)));

    const QByteArray written = run(QStringLiteral("-t 4 -r 32822"), {QStringLiteral("4321")});
    QVERIFY2(written.contains("Written 1 references"), written.constData());
    QCOMPARE(sim().logger(1).userNumber(1), std::uint16_t(4321));
}

void TstLoggerLine::programRunsUntilTerminated() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath(QStringLiteral("com1"));
    QProcess program;
    program.start(QStringLiteral(CORVANE_LOGGER_SIM_EXE),
                  {QStringLiteral("--slave"), QStringLiteral("1:QTR-8D"), QStringLiteral("--slave"),
                   QStringLiteral("2:QTR-4D"), QStringLiteral("--slave"),
                   QStringLiteral("3:QTR-6D"), QStringLiteral("--line"),
                   QStringLiteral("19200,even"), QStringLiteral("--link"), link,
                   QStringLiteral("--quiet"), QStringLiteral("--fault"),
                   QStringLiteral("exception=2,slave=2,register=0x8008")});
    QVERIFY(program.waitForStarted());
    while (!program.canReadLine() && program.waitForReadyRead(10000)) {
    }
    const QString path = QString::fromLocal8Bit(program.readLine()).trimmed();
    QVERIFY2(path.startsWith(QLatin1String("/dev/")), qPrintable(path));
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(QFileInfo(link).symLinkTarget(), path);

    {
        PortClient port(link);
        QVERIFY(port.isOpen());
        // Logger 3 listens at 19200 even only: the first reply to come back is logger 1's.
        QVERIFY(port.sendSlowly(frame("030380150001") + kReadUnits));
        QCOMPARE(port.receive(kUnitsReply.size()).toHex(' '), kUnitsReply.toHex(' '));
        QVERIFY(port.sendSlowly(frame("020380080004")));
        QCOMPARE(port.receive(5).toHex(' '), frame("028302").toHex(' '));
        QVERIFY(port.setLine(B19200, INPCK));
        QVERIFY(port.sendSlowly(frame("030380150001")));
        QCOMPARE(port.receive(7).toHex(' '), frame("0303020006").toHex(' '));
    }

    program.terminate();
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    QVERIFY(!QFileInfo(link).isSymLink());
}

// As a gateway in transparent mode: every logger hears every frame whatever its line settings,
// one client is served at a time, and a dropped client makes way for the next.
void TstLoggerLine::servesOneTcpClientAtATime() {
    sim().withLogger(2, [](LoggerModel &logger) { logger.setLineSettings({0, 5}); });
    QString error;
    QVERIFY2(sim().startTcp(0, &error), qPrintable(error));
    QVERIFY(sim().tcpPort() != 0);
    const QByteArray toEven19200 = frame("020380150001");
    const QByteArray even19200Reply = frame("0203020004");

    TcpClient first(sim().tcpPort());
    QVERIFY(first.isOpen());
    QVERIFY(first.send(kReadUnits));
    QCOMPARE(first.receive(kUnitsReply.size()).toHex(' '), kUnitsReply.toHex(' '));
    TcpClient second(sim().tcpPort());
    QVERIFY(second.isOpen());
    QVERIFY(second.send(toEven19200));
    // The second client's request came first, but only the first client is heard.
    QVERIFY(first.send(toEven19200));
    QCOMPARE(first.receive(even19200Reply.size()).toHex(' '), even19200Reply.toHex(' '));
    QVERIFY(!second.hasInput());

    sim().dropTcpClient();
    QVERIFY(first.closedByPeer());
    QCOMPARE(second.receive(even19200Reply.size()).toHex(' '), even19200Reply.toHex(' '));
    QCOMPARE(sim().requestCount(2), 2);
    // Noise that reads like the head of a long frame gives way once the connection goes quiet.
    QVERIFY(second.send(QByteArray::fromHex("FF011000000000F0") + kReadUnits));
    QCOMPARE(second.receive(kUnitsReply.size()).toHex(' '), kUnitsReply.toHex(' '));

    // The pseudo-terminal beside it still sorts frames by line settings.
    PortClient port(sim().slavePath());
    QVERIFY(port.isOpen());
    QVERIFY(port.sendSlowly(toEven19200 + kReadUnits));
    QCOMPARE(port.receive(kUnitsReply.size()).toHex(' '), kUnitsReply.toHex(' '));
}

void TstLoggerLine::programServesOverTcp() {
    QProcess program;
    program.start(QStringLiteral(CORVANE_LOGGER_SIM_EXE),
                  {QStringLiteral("--tcp-listen"), QStringLiteral("0"), QStringLiteral("--slave"),
                   QStringLiteral("1:QTR-8D"), QStringLiteral("--slave"),
                   QStringLiteral("3:QTR-6D"), QStringLiteral("--line"),
                   QStringLiteral("19200,even"), QStringLiteral("--quiet")});
    QVERIFY(program.waitForStarted());
    while (!program.canReadLine() && program.waitForReadyRead(10000)) {
    }
    const QString printed = QString::fromLocal8Bit(program.readLine()).trimmed();
    bool ok = false;
    const uint port = printed.toUInt(&ok);
    QVERIFY2(ok && port > 0 && port <= 65535, qPrintable(printed));

    {
        TcpClient client{std::uint16_t(port)};
        QVERIFY(client.isOpen());
        QVERIFY(client.send(frame("030380150001") + kReadUnits));
        const QByteArray replies = frame("0303020006") + kUnitsReply;
        QCOMPARE(client.receive(replies.size()).toHex(' '), replies.toHex(' '));
    }

    program.terminate();
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
}

void TstLoggerLine::wireOptionsOnTheLine_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<uint>("speed"); // the master's, on the pseudo-terminal
    QTest::addColumn<QByteArray>("requests");
    QTest::addColumn<QByteArray>("expected");
    // The reply takes 175 ms at 1200 baud: written at once it would come in one read.
    QTest::addColumn<bool>("paced");
    const QByteArray toAbsent = frame("030380000004");
    const QByteArray broadcast = frame("000380150001");
    const QByteArray toSeven = frame("070380150001");
    const QByteArray sevenReply = frame("0703020006");
    const QStringList at1200 = {"--slave", "1:QTR-8D", "--line", "1200,none", "--line-time"};

    QTest::newRow("echo, then the reply")
        << QStringList{"--echo"} << uint(B9600) << kReadUnits << kReadUnits + kUnitsReply << false;
    // Nothing answers the first two: a reply would come between the echoes.
    QTest::newRow("only the echo for an absent address and a broadcast")
        << QStringList{"--echo", "--slave", "7:QTR-6D"} << uint(B9600)
        << toAbsent + broadcast + toSeven << toAbsent + broadcast + toSeven + sevenReply << false;
    QTest::newRow("line time at 1200")
        << at1200 << uint(B1200) << kReadUnits << kUnitsReply << true;
    QTest::newRow("line time, echo, turnaround and a split reply")
        << at1200 + QStringList{"--echo", "--turnaround", "5", "--fault", "split=3,pause=5"}
        << uint(B1200) << toAbsent + kReadUnits << toAbsent + kReadUnits + kUnitsReply << true;
    QTest::newRow("line time over TCP, at the logger's line")
        << at1200 + QStringList{"--tcp-listen", "0"} << uint(B0) << kReadUnits << kUnitsReply
        << true;
}

void TstLoggerLine::wireOptionsOnTheLine() {
    QFETCH(QStringList, arguments);
    QFETCH(uint, speed);
    QFETCH(QByteArray, requests);
    QFETCH(QByteArray, expected);
    QFETCH(bool, paced);
    SimOptions options;
    QString message;
    QCOMPARE(parseSimOptions(QStringList{"sim"} + arguments, options, message), ParseOutcome::Run);
    LoggerSimulator simulator;
    QVERIFY2(applySimOptions(simulator, options, message), qPrintable(message));
    QString error;
    QByteArray received;
    int reads = 0;
    if (options.tcpListen) {
        QVERIFY2(simulator.startTcp(*options.tcpListen, &error), qPrintable(error));
        TcpClient client(simulator.tcpPort());
        QVERIFY(client.isOpen());
        QVERIFY(client.send(requests));
        received = client.receive(expected.size(), &reads);
    } else {
        QVERIFY2(simulator.start({}, &error), qPrintable(error));
        PortClient port(simulator.slavePath());
        QVERIFY(port.isOpen());
        QVERIFY(port.setLine(speed, 0));
        QVERIFY(port.sendSlowly(requests));
        received = port.receive(expected.size(), 10s, &reads);
    }
    QCOMPARE(received.toHex(' '), expected.toHex(' '));
    if (paced)
        QVERIFY2(reads > 1, "the reply came in one piece");
}

void TstLoggerLine::wireSchedule_data() {
    QTest::addColumn<int>("speedCode");
    QTest::addColumn<int>("parityCode");
    QTest::addColumn<int>("stopBits");
    QTest::addColumn<QList<int>>("arrivalsUs"); // each byte's, from the start
    QTest::addColumn<int>("busyBytes");         // a reply on the line from the start
    QTest::addColumn<qint64>("receivedNs");     // when the last byte has passed
    const QList<int> inOneGo(8, 0);
    // 10 bits at 9600: 1041667 ns, rounded up.
    QTest::newRow("9600 none, in one go") << 4 << 2 << 1 << inOneGo << 0 << qint64(8 * 1041667);
    QTest::newRow("19200 even, 2 stop bits") << 5 << 0 << 2 << inOneGo << 0 << qint64(8 * 625000);
    QTest::newRow("38400 odd") << 6 << 1 << 1 << inOneGo << 0 << qint64(8 * 286459);
    QTest::newRow("no speed code counts as 9600")
        << kNoLineCode << 2 << 1 << inOneGo << 0 << qint64(8 * 1041667);
    QTest::newRow("mark or space has a parity bit")
        << 4 << kNoLineCode << 1 << inOneGo << 0 << qint64(8 * 1145834);
    QTest::newRow("byte by byte, pauses longer than a character")
        << 4 << 2 << 1 << QList<int>{0, 2000, 4000, 6000, 8000, 10000, 12000, 14000} << 0
        << qint64(14000000 + 1041667);
    QTest::newRow("byte by byte, pauses shorter than a character")
        << 4 << 2 << 1 << QList<int>{0, 500, 1000, 1500, 2000, 2500, 3000, 3500} << 0
        << qint64(8 * 1041667);
    QTest::newRow("behind a reply still on the line")
        << 4 << 2 << 1 << QList<int>(8, 1000) << 5 << qint64(13 * 1041667);
}

void TstLoggerLine::wireSchedule() {
    QFETCH(int, speedCode);
    QFETCH(int, parityCode);
    QFETCH(int, stopBits);
    QFETCH(QList<int>, arrivalsUs);
    QFETCH(int, busyBytes);
    const std::chrono::nanoseconds character =
        characterTime(LineSettings{parityCode, speedCode}, stopBits);
    const WireSchedule::Clock::time_point start = WireSchedule::Clock::now();
    WireSchedule line;
    line.send(start, busyBytes, character);
    for (qsizetype i = 0; i < arrivalsUs.size();) {
        qsizetype together = 1;
        while (i + together < arrivalsUs.size() && arrivalsUs[i + together] == arrivalsUs[i])
            ++together;
        line.arrived(start + std::chrono::microseconds(arrivalsUs[i]), together);
        i += together;
    }
    const QList<WireSchedule::Clock::time_point> passed = line.pass(arrivalsUs.size(), character);
    QCOMPARE(passed.size(), arrivalsUs.size());
    QTEST(qint64((passed.last() - start).count()), "receivedNs");
    QVERIFY(std::is_sorted(passed.cbegin(), passed.cend()));
}

void TstLoggerLine::lineOptions_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("slaves");
    QTest::addColumn<QString>("wire");
    const QString wireOff = QStringLiteral("line time 0, turnaround 0 ms, echo 0");
    QTest::newRow("default") << QStringList{"--slave", "1:QTR-8D"} << QStringList{"1 9600 none"}
                             << wireOff;
    QTest::newRow("for the slave before it")
        << QStringList{"--slave", "1:QTR-8D", "--slave", "9:QTR-4D", "--line", "19200,even"}
        << QStringList{"1 9600 none", "9 19200 even"} << wireOff;
    QTest::newRow("any case, = form, options between")
        << QStringList{"--slave=2:QTR-6D", "--quiet", "--line=300,ODD",
                       "--slave=3:QTR-8D", "--line",  "38400,None"}
        << QStringList{"2 300 odd", "3 38400 none"} << wireOff;
    QTest::newRow("line time, turnaround and echo")
        << QStringList{"--line-time", "--turnaround", "25", "--echo"} << QStringList{"1 9600 none"}
        << "line time 1, turnaround 25 ms, echo 1";
    QTest::newRow("a turnaround alone")
        << QStringList{"--turnaround=60000"} << QStringList{"1 9600 none"}
        << "line time 0, turnaround 60000 ms, echo 0";
}

void TstLoggerLine::lineOptions() {
    QFETCH(QStringList, arguments);
    SimOptions options;
    QString message;
    QCOMPARE(parseSimOptions(QStringList{"sim"} + arguments, options, message), ParseOutcome::Run);
    QStringList slaves;
    for (const SlaveOption &slave : options.slaves)
        slaves << QString::number(slave.address) + u' ' + lineSettingsText(slave.line);
    QTEST(slaves, "slaves");
    LoggerSimulator simulator;
    QVERIFY(applySimOptions(simulator, options, message));
    for (const SlaveOption &slave : options.slaves)
        QCOMPARE(simulator.logger(slave.address).lineSettings(), slave.line);
    const WireOptions wire = simulator.wireOptions();
    QTEST(QStringLiteral("line time %1, turnaround %2 ms, echo %3")
              .arg(int(wire.lineTime))
              .arg(wire.turnaround.count())
              .arg(int(wire.echo)),
          "wire");
}

void TstLoggerLine::commandLineErrors_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("model unknown") << QStringList{"--slave", "1:QTR-5D"};
    QTest::newRow("address 0") << QStringList{"--slave", "0:QTR-8D"};
    QTest::newRow("parity mark") << QStringList{"--parity", "mark"};
    QTest::newRow("bad fault") << QStringList{"--fault", "explode"};
    QTest::newRow("negative pulse rate") << QStringList{"--pulse-rate", "1:-2"};
    QTest::newRow("unknown option") << QStringList{"--colour"};
    QTest::newRow("line without a slave") << QStringList{"--line", "9600,none"};
    QTest::newRow("line before its slave")
        << QStringList{"--line", "19200,even", "--slave", "1:QTR-8D"};
    QTest::newRow("bus copy over TCP") << QStringList{"--tcp-listen", "0", "--bus-copy", "/tmp/x"};
    QTest::newRow("bus copy without a link") << QStringList{"--bus-copy", ""};
    QTest::newRow("line speed 57600") << QStringList{"--slave", "1:QTR-8D", "--line", "57600,none"};
    QTest::newRow("line speed in hex")
        << QStringList{"--slave", "1:QTR-8D", "--line", "0x2580,none"};
    QTest::newRow("line parity mark") << QStringList{"--slave", "1:QTR-8D", "--line", "9600,mark"};
    QTest::newRow("line without parity") << QStringList{"--slave", "1:QTR-8D", "--line", "9600"};
    QTest::newRow("line twice for one slave")
        << QStringList{"--slave", "1:QTR-8D", "--line", "9600,none", "--line", "19200,odd"};
    QTest::newRow("TCP port 65536") << QStringList{"--tcp-listen", "65536"};
    QTest::newRow("TCP port not a number") << QStringList{"--tcp-listen", "gw"};
    QTest::newRow("TCP port negative") << QStringList{"--tcp-listen", "-1"};
    QTest::newRow("TCP and a device") << QStringList{"--tcp-listen", "0", "--device", "/dev/null"};
    QTest::newRow("TCP and a link") << QStringList{"--tcp-listen", "0", "--link", "/tmp/x"};
    QTest::newRow("turnaround negative") << QStringList{"--turnaround", "-1"};
    QTest::newRow("turnaround beyond a minute") << QStringList{"--turnaround", "60001"};
    QTest::newRow("turnaround not whole") << QStringList{"--turnaround", "2.5"};
    QTest::newRow("turnaround without a value") << QStringList{"--turnaround"};
    QTest::newRow("line time with a value") << QStringList{"--line-time=9600"};
    QTest::newRow("echo with a value") << QStringList{"--echo=on"};
    QTest::newRow("unknown fault kind")
        << QStringList{"--fault-rate", "0.25", "--fault-kinds", "bad-crc,explode"};
}

void TstLoggerLine::commandLineErrors() {
    QFETCH(QStringList, arguments);
    SimOptions options;
    QString message;
    // The kinds a random fault is drawn from, as given and each once.
    QCOMPARE(parseSimOptions({"sim", "--fault-rate", "0.25", "--fault-kinds",
                              "bad-crc,no-reply,bad-crc,wrong-address"},
                             options, message),
             ParseOutcome::Run);
    QCOMPARE(options.faultKinds,
             (QList<FaultKind>{FaultKind::BadCrc, FaultKind::NoReply, FaultKind::WrongAddress}));
    options = SimOptions();
    QCOMPARE(parseSimOptions(QStringList{"sim"} + arguments, options, message),
             ParseOutcome::Error);
    QVERIFY(!message.isEmpty());
}

QTEST_GUILESS_MAIN(TstLoggerLine)
#include "tst_logger_line.moc"
