#include "error_display.h"
#include "pty_pair.h"
#include "ser_comm.h"

#include <QDir>
#include <QTest>
#include <QThread>

#include <cstring>
#include <functional>
#include <memory>

using namespace corvane;
using corvane::test::PtyPair;

Q_DECLARE_METATYPE(TSerBaudrate)
Q_DECLARE_METATYPE(TSerParity)

namespace {

const QString kPortOpen = QStringLiteral("Can't perform this operation while port is open");

using CommEdit = std::function<void(TSerComm &)>;
using CommProbe = std::function<QString(const TSerComm &)>;

QString raised(const std::function<void()> &body) {
    try {
        body();
    } catch (const ESerCommError &e) {
        return e.message();
    }
    return {};
}

int threadCount() {
    return int(QDir(QStringLiteral("/proc/self/task"))
                   .entryList(QDir::Dirs | QDir::NoDotAndDotDot)
                   .size());
}

} // namespace

Q_DECLARE_METATYPE(CommEdit)
Q_DECLARE_METATYPE(CommProbe)

class TstSerComm : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void openAndClose();
    void settersRefusedWhileOpen_data();
    void settersRefusedWhileOpen();
    void bufferSizesStoredThenRefused_data();
    void bufferSizesStoredThenRefused();
    void lineSettingsReappliedWhileOpen_data();
    void lineSettingsReappliedWhileOpen();
    void updateDcbOffLeavesSettingsAlone();
    void appliedSpeed_data();
    void appliedSpeed();
    void openFailures_data();
    void openFailures();
    void deviceNameWithPortNum();
    void eventMask_data();
    void eventMask();

    void closedPortDoesNothing();
    void readReturnsWhatIsQueued();
    void writtenBytesArriveInOrder();
    void rxCharOnOwnerThreadWithQueuedCount();
    void bytesDuringHandlerGiveLaterEvent();
    void failingHandlerGoesToErrorDisplay();
    void noMonitorEventsNoThread();

private:
    std::unique_ptr<PtyPair> m_pty;
    QStringList m_shown;
};

void TstSerComm::init() {
    m_pty = std::make_unique<PtyPair>();
    QVERIFY(m_pty->isValid());
    m_shown.clear();
    setErrorSink([this](const QString &message) { m_shown << message; });
}

void TstSerComm::cleanup() {
    setErrorSink({});
    m_pty.reset();
}

void TstSerComm::openAndClose() {
    TSerComm comm;
    comm.SetDeviceName(m_pty->path());
    int opened = 0;
    int closed = 0;
    comm.OnOpen = [&](TSerCustomComm *sender) {
        QCOMPARE(sender, &comm);
        QVERIFY(comm.IsOpen());
        ++opened;
    };
    comm.OnClose = [&](TSerCustomComm *) { ++closed; };

    comm.OpenPort();
    QVERIFY(comm.IsOpen());
    QCOMPARE(raised([&] { comm.OpenPort(); }), kPortOpen);
    comm.ClosePort();
    QVERIFY(!comm.IsOpen());
    comm.ClosePort();
    QCOMPARE(opened, 1);
    QCOMPARE(closed, 1);

    // The exclusive hold ends with the close, even with the event thread not yet gone.
    comm.OpenPort();
    QVERIFY(comm.IsOpen());

    // Loaded opens the port only when AutoOpen is set.
    comm.ClosePort();
    comm.Loaded();
    QVERIFY(!comm.IsOpen());
    comm.SetAutoOpen(true);
    comm.Loaded();
    QVERIFY(comm.IsOpen());

    // An exception from OnOpen goes to the error display; the port is open all the same.
    comm.ClosePort();
    comm.OnOpen = [](TSerCustomComm *) { throw ESerCommError(QStringLiteral("from OnOpen")); };
    comm.OpenPort();
    QVERIFY(comm.IsOpen());
    QCOMPARE(m_shown, QStringList{QStringLiteral("from OnOpen")});
}

void TstSerComm::settersRefusedWhileOpen_data() {
    QTest::addColumn<CommEdit>("edit");
    QTest::addColumn<CommProbe>("probe");

    QTest::newRow("DeviceName") << CommEdit([](TSerComm &c) { c.SetDeviceName("COM9"); })
                                << CommProbe([](const TSerComm &c) { return c.DeviceName(); });
    QTest::newRow("PortNum") << CommEdit([](TSerComm &c) {
        c.SetPortNum(9);
    }) << CommProbe([](const TSerComm &c) { return QString::number(c.PortNum()); });
    QTest::newRow("MonitorEvents")
        << CommEdit([](TSerComm &c) { c.SetMonitorEvents({ceBreak}); })
        << CommProbe([](const TSerComm &c) { return QString::number(c.MonitorEvents().bits()); });
    QTest::newRow("DirectWrite") << CommEdit([](TSerComm &c) {
        c.SetDirectWrite(false);
    }) << CommProbe([](const TSerComm &c) { return QString::number(c.DirectWrite()); });
    QTest::newRow("UpdateDCB") << CommEdit([](TSerComm &c) {
        c.SetUpdateDCB(false);
    }) << CommProbe([](const TSerComm &c) { return QString::number(c.UpdateDCB()); });
    QTest::newRow("Buffers assigned") << CommEdit([](TSerComm &c) {
        TSerBuffers other;
        other.SetReadSize(64);
        other.SetReadTimeout(5);
        c.SetBuffers(other);
    }) << CommProbe([](const TSerComm &c) {
        return QStringLiteral("%1/%2").arg(c.Buffers().ReadSize()).arg(c.Buffers().ReadTimeout());
    });
}

void TstSerComm::settersRefusedWhileOpen() {
    QFETCH(CommEdit, edit);
    QFETCH(CommProbe, probe);
    TSerComm comm;
    comm.SetDeviceName(m_pty->path());
    comm.SetDirectWrite(true);
    comm.OpenPort();
    const QString before = probe(comm);
    QCOMPARE(raised([&] { edit(comm); }), kPortOpen);
    QCOMPARE(probe(comm), before);
    QVERIFY(comm.IsOpen());
}

void TstSerComm::bufferSizesStoredThenRefused_data() {
    QTest::addColumn<CommEdit>("edit");
    QTest::addColumn<CommProbe>("probe");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("message");

    QTest::newRow("ReadSize") << CommEdit([](TSerComm &c) {
        c.Buffers().SetReadSize(8192);
    }) << CommProbe([](const TSerComm &c) { return QString::number(c.Buffers().ReadSize()); })
                              << "8192" << kPortOpen;
    QTest::newRow("XoffLimit") << CommEdit([](TSerComm &c) {
        c.Buffers().SetXoffLimit(7);
    }) << CommProbe([](const TSerComm &c) { return QString::number(c.Buffers().XoffLimit()); })
                               << "7" << kPortOpen;
    QTest::newRow("ReadTimeout allowed")
        << CommEdit([](TSerComm &c) { c.Buffers().SetReadTimeout(50); })
        << CommProbe([](const TSerComm &c) { return QString::number(c.Buffers().ReadTimeout()); })
        << "50" << QString();
}

void TstSerComm::bufferSizesStoredThenRefused() {
    QFETCH(CommEdit, edit);
    QFETCH(CommProbe, probe);
    TSerComm comm;
    comm.SetDeviceName(m_pty->path());
    comm.OpenPort();
    QTEST(raised([&] { edit(comm); }), "message");
    QTEST(probe(comm), "stored");
}

void TstSerComm::lineSettingsReappliedWhileOpen_data() {
    QTest::addColumn<CommEdit>("edit");
    QTest::addColumn<uint>("cflagMask");
    QTest::addColumn<uint>("cflagExpected");
    QTest::addColumn<bool>("parityCheck");

    // A pseudo-terminal forces 8 bits and drops PARENB, but keeps PARODD, CMSPAR and CSTOPB.
    // INPCK is what tells the far end that parity was asked for at all.
    const uint parityBits = PARODD | CMSPAR;
    QTest::newRow("odd") << CommEdit([](TSerComm &c) { c.SetParity(paOdd); }) << parityBits
                         << uint(PARODD) << true;
    QTest::newRow("even") << CommEdit([](TSerComm &c) { c.SetParity(paEven); }) << parityBits << 0u
                          << true;
    QTest::newRow("even, then none again") << CommEdit([](TSerComm &c) {
        c.SetParity(paEven);
        c.SetParity(paNone);
    }) << parityBits << 0u << false;
    QTest::newRow("mark") << CommEdit([](TSerComm &c) { c.SetParity(paMark); }) << parityBits
                          << uint(PARODD | CMSPAR) << true;
    QTest::newRow("space") << CommEdit([](TSerComm &c) { c.SetParity(paSpace); }) << parityBits
                           << uint(CMSPAR) << true;
    QTest::newRow("two stop bits") << CommEdit([](TSerComm &c) { c.SetStopbits(sb2); })
                                   << uint(CSTOPB) << uint(CSTOPB) << false;
}

void TstSerComm::lineSettingsReappliedWhileOpen() {
    QFETCH(CommEdit, edit);
    QFETCH(uint, cflagMask);
    TSerComm comm;
    comm.SetDeviceName(m_pty->path());
    comm.OpenPort();
    QCOMPARE(uint(m_pty->settings().c_cflag) & cflagMask, 0u);
    QVERIFY(!(m_pty->settings().c_iflag & INPCK));
    edit(comm);
    QTEST(uint(m_pty->settings().c_cflag) & cflagMask, "cflagExpected");
    QTEST(bool(m_pty->settings().c_iflag & INPCK), "parityCheck");
}

void TstSerComm::updateDcbOffLeavesSettingsAlone() {
    termios before = m_pty->settings();
    cfsetispeed(&before, B4800);
    cfsetospeed(&before, B4800);
    before.c_cflag |= PARODD;
    before.c_lflag |= ECHO;
    QVERIFY(m_pty->setSettings(before));

    TSerComm comm;
    comm.SetDeviceName(m_pty->path());
    comm.SetUpdateDCB(false);
    comm.SetBaudrate(br9600);
    comm.OpenPort();
    comm.SetParity(paSpace);
    const termios after = m_pty->settings();
    QCOMPARE(m_pty->speed(), 4800u);
    QCOMPARE(after.c_cflag, before.c_cflag);
    QCOMPARE(after.c_lflag, before.c_lflag);
}

void TstSerComm::appliedSpeed_data() {
    QTest::addColumn<CommEdit>("edit");
    QTest::addColumn<uint>("speed");

    QTest::newRow("default 1200") << CommEdit([](TSerComm &) {}) << 1200u;
    QTest::newRow("19200") << CommEdit([](TSerComm &c) { c.SetBaudrate(br19200); }) << 19200u;
    QTest::newRow("14400 (non-standard)")
        << CommEdit([](TSerComm &c) { c.SetBaudrate(br14400); }) << 14400u;
    QTest::newRow("256000 (non-standard)")
        << CommEdit([](TSerComm &c) { c.SetBaudrate(br256000); }) << 256000u;
    QTest::newRow("user 57600") << CommEdit([](TSerComm &c) { c.SetUserBaudrate(57600); })
                                << 57600u;
    QTest::newRow("user 31250") << CommEdit([](TSerComm &c) { c.SetUserBaudrate(31250); })
                                << 31250u;
    QTest::newRow("enumerated after user") << CommEdit([](TSerComm &c) {
        c.SetUserBaudrate(57600);
        c.SetBaudrate(br9600);
    }) << 9600u;
}

void TstSerComm::appliedSpeed() {
    QFETCH(CommEdit, edit);
    TSerComm comm;
    comm.SetDeviceName(m_pty->path());
    edit(comm);
    comm.OpenPort();
    QTEST(m_pty->speed(), "speed");

    // Changing the speed while open applies it at once.
    comm.SetUserBaudrate(250000);
    QCOMPARE(m_pty->speed(), 250000u);
    comm.SetBaudrate(br38400);
    QCOMPARE(m_pty->speed(), 38400u);
    QCOMPARE(comm.UserBaudrate(), 0);
}

void TstSerComm::openFailures_data() {
    QTest::addColumn<CommEdit>("edit");
    QTest::addColumn<QString>("message");

    QTest::newRow("missing device")
        << CommEdit([](TSerComm &c) { c.SetDeviceName("/dev/corvane-no-such-port"); })
        << "Specified device not found (/dev/corvane-no-such-port).";
    QTest::newRow("empty name") << CommEdit([](TSerComm &c) { c.SetDeviceName(""); })
                                << "Specified device not found ().";
    QTest::newRow("four data bits") << CommEdit([](TSerComm &c) { c.SetDatabits(db4); })
                                    << "Error writing dcb (22), Invalid argument";
    QTest::newRow("user speed of zero") << CommEdit([](TSerComm &c) { c.SetBaudrate(brUser); })
                                        << "Error writing dcb (22), Invalid argument";
    QTest::newRow("RTS toggle") << CommEdit([](TSerComm &c) {
        c.FlowControl().SetControlRts(rtsToggle);
    }) << "Error writing dcb (22), Invalid argument";
    QTest::newRow("1.5 stop bits with 8 data bits")
        << CommEdit([](TSerComm &c) { c.SetStopbits(sb15); })
        << "Error writing dcb (22), Invalid argument";
    QTest::newRow("not a terminal") << CommEdit([](TSerComm &c) { c.SetDeviceName("/dev/null"); })
                                    << "Can't open specified device /dev/null (Error 25, "
                                       "Inappropriate ioctl for device)";
}

void TstSerComm::openFailures() {
    QFETCH(CommEdit, edit);
    TSerComm comm;
    comm.SetDeviceName(m_pty->path());
    edit(comm);
    QTEST(raised([&] { comm.OpenPort(); }), "message");
    QVERIFY(!comm.IsOpen());

    // Nothing of the failed open is left holding the device.
    TSerComm other;
    other.SetDeviceName(m_pty->path());
    other.OpenPort();
    QVERIFY(other.IsOpen());
}

void TstSerComm::deviceNameWithPortNum() {
    TSerComm comm;
    comm.SetDeviceName(QStringLiteral("/dev/pts/%d"));
    comm.SetPortNum(m_pty->number());
    comm.OpenPort();
    QVERIFY(comm.IsOpen());
    QCOMPARE(comm.ResolvedDeviceName(), m_pty->path());

    // A second component cannot take the device while the first holds it.
    TSerComm second;
    second.SetDeviceName(m_pty->path());
    QCOMPARE(raised([&] { second.OpenPort(); }),
             QStringLiteral("Can't open specified device %1 (Error 16, Device or resource busy)")
                 .arg(m_pty->path()));
    QVERIFY(!second.IsOpen());
    QVERIFY(comm.IsOpen());
}

void TstSerComm::eventMask_data() {
    QTest::addColumn<bool>("directWrite");
    QTest::addColumn<uint>("mask");
    QTest::newRow("direct write") << true << 0x85u;
    QTest::newRow("queued write drops transmit-empty") << false << 0x81u;
}

void TstSerComm::eventMask() {
    QFETCH(bool, directWrite);
    TSerComm comm;
    comm.SetDeviceName(m_pty->path());
    comm.SetDirectWrite(directWrite);
    comm.OpenPort();
    QTEST(uint(comm.EventMask()), "mask");
}

void TstSerComm::closedPortDoesNothing() {
    TSerComm comm;
    char buffer[4] = {};
    QCOMPARE(comm.ReadBytes(buffer, 4), 0);
    QCOMPARE(comm.WriteBytes("ab", 2), 0);
    QVERIFY(!comm.WriteByte(0x55));
    QCOMPARE(comm.InputQueued(), 0);
    QCOMPARE(comm.InputRoom(), 0);
    QCOMPARE(comm.OutputRoom(), 0);
    SerComStat stat;
    QCOMPARE(comm.QueryStatus(stat), 0u);
    comm.SetRtsLine(true);
    comm.SetParity(paEven); // nothing to apply while closed
    QCOMPARE(comm.Parity(), paEven);
}

void TstSerComm::readReturnsWhatIsQueued() {
    TSerComm comm;
    comm.SetDeviceName(m_pty->path());
    comm.SetDirectWrite(true);
    comm.SetMonitorEvents({});
    comm.OpenPort();
    char buffer[16] = {};
    QCOMPARE(comm.ReadBytes(buffer, sizeof buffer), 0);
    QCOMPARE(comm.InputRoom(), 4096);

    QVERIFY(m_pty->send(QByteArray::fromHex("0103020000")));
    QTRY_COMPARE(comm.InputQueued(), 5);
    QCOMPARE(comm.InputRoom(), 4096 - 5);
    QCOMPARE(comm.ReadBytes(buffer, 2), 2);
    QCOMPARE(QByteArray(buffer, 2), QByteArray::fromHex("0103"));
    QCOMPARE(comm.ReadBytes(buffer, sizeof buffer), 3);
    QCOMPARE(QByteArray(buffer, 3), QByteArray::fromHex("020000"));
    QCOMPARE(comm.ReadBytes(buffer, sizeof buffer), 0);
    QCOMPARE(comm.ReadBytes(nullptr, 4), 0);
}

void TstSerComm::writtenBytesArriveInOrder() {
    TSerComm comm;
    comm.SetDeviceName(m_pty->path());
    comm.SetDirectWrite(true);
    comm.OpenPort();
    const QByteArray frame = QByteArray::fromHex("010380000008CC6D");
    for (char byte : frame)
        QVERIFY(comm.WriteByte(std::uint8_t(byte)));
    QCOMPARE(comm.WriteBytes("\x10\x20\x30", 3), 3);
    QCOMPARE(m_pty->receive(int(frame.size()) + 3), frame + QByteArray("\x10\x20\x30"));
    QCOMPARE(comm.OutputRoom(), 2048);
    // No modem lines on a pseudo-terminal: keying RTS is quietly nothing.
    comm.SetRtsLine(true);
    comm.SetRtsLine(false);
}

void TstSerComm::rxCharOnOwnerThreadWithQueuedCount() {
    TSerComm comm;
    comm.SetDeviceName(m_pty->path());
    comm.SetDirectWrite(true);
    QList<int> counts;
    QByteArray received;
    bool onOwnerThread = true;
    comm.OnRxChar = [&](TSerCustomComm *sender, int count) {
        onOwnerThread = onOwnerThread && QThread::currentThread() == thread();
        QCOMPARE(count, sender->InputQueued());
        counts << count;
        QByteArray chunk(count, '\0');
        QCOMPARE(sender->ReadBytes(chunk.data(), count), count);
        received += chunk;
    };
    comm.OpenPort();
    QVERIFY(m_pty->send("\x01\x02\x03"));
    QTRY_COMPARE(received, QByteArray("\x01\x02\x03"));
    QCOMPARE(counts, QList<int>{3});
    QVERIFY(onOwnerThread);

    QVERIFY(m_pty->send("\x04"));
    QTRY_COMPARE(received.size(), 4);
    QCOMPARE(counts.size(), 2);
}

void TstSerComm::bytesDuringHandlerGiveLaterEvent() {
    TSerComm comm;
    comm.SetDeviceName(m_pty->path());
    comm.SetDirectWrite(true);
    QList<int> counts;
    QByteArray received;
    comm.OnRxChar = [&](TSerCustomComm *sender, int count) {
        counts << count;
        if (counts.size() == 1) {
            // More bytes arrive while the handler runs; it reads only what it was told of.
            QVERIFY(m_pty->send("\x0B\x0C"));
            QDeadlineTimer deadline(5000);
            while (sender->InputQueued() < count + 2 && !deadline.hasExpired())
                QThread::yieldCurrentThread();
        }
        QByteArray chunk(count, '\0');
        sender->ReadBytes(chunk.data(), count);
        received += chunk;
    };
    comm.OpenPort();
    QVERIFY(m_pty->send("\x0A"));
    QTRY_COMPARE(received, QByteArray("\x0A\x0B\x0C"));
    QCOMPARE(counts, (QList<int>{1, 2}));
}

void TstSerComm::failingHandlerGoesToErrorDisplay() {
    TSerComm comm;
    comm.SetDeviceName(m_pty->path());
    comm.SetDirectWrite(true);
    int calls = 0;
    comm.OnRxChar = [&](TSerCustomComm *sender, int count) {
        ++calls;
        QByteArray chunk(count, '\0');
        sender->ReadBytes(chunk.data(), count);
        throw ESerCommError(QStringLiteral("handler failed"));
    };
    comm.OpenPort();
    QVERIFY(m_pty->send("x"));
    QTRY_COMPARE(m_shown, QStringList{QStringLiteral("handler failed")});
    // The event thread goes on.
    QVERIFY(m_pty->send("y"));
    QTRY_COMPARE(calls, 2);
}

void TstSerComm::noMonitorEventsNoThread() {
    TSerComm comm;
    comm.SetDeviceName(m_pty->path());
    comm.SetDirectWrite(true);
    comm.SetMonitorEvents({});
    int calls = 0;
    comm.OnRxChar = [&](TSerCustomComm *, int) { ++calls; };
    const int threadsBefore = threadCount();
    comm.OpenPort();
    QCOMPARE(comm.EventMask(), 0u);
    QVERIFY(threadCount() <= threadsBefore);

    QVERIFY(m_pty->send("abc"));
    QTRY_COMPARE(comm.InputQueued(), 3);
    QCoreApplication::processEvents();
    QCOMPARE(calls, 0);
    QVERIFY(!comm.handOffPending());
}

QTEST_GUILESS_MAIN(TstSerComm)
#include "tst_ser_comm.moc"
