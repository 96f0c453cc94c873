#include "error_display.h"
#include "pty_pair.h"
#include "ser_comm.h"

#include <QDeadlineTimer>
#include <QRegularExpression>
#include <QTest>
#include <QThread>

#include <memory>

using namespace corvane;
using corvane::test::processCpuMs;
using corvane::test::PtyPair;

namespace {

const QString kQueueFull = QStringLiteral("Output buffer is full. Please check comm status.");

// Waits for a condition without running the event loop, so hand-offs stay queued meanwhile.
template <typename Condition> bool waitWithoutEvents(Condition condition) {
    QDeadlineTimer deadline(5000);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(1);
    }
    return true;
}

// Share of one core that the process used while the event loop ran for the given time.
double cpuShareOver(int milliseconds) {
    const double before = processCpuMs();
    QTest::qWait(milliseconds);
    return (processCpuMs() - before) / milliseconds;
}

QByteArray pattern(int size) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i * 7 + i / 251);
    return bytes;
}

} // namespace

class TstSerCommThreads : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();

    void queuedWritesArriveInOrder();
    void fullQueueRaisesAfterWriteTimeout();
    void vanishedDeviceIsReportedOnceWithoutBusyLoop();
    void queuedWriteToVanishedDeviceIsReported();
    void unreadBytesDoNotSpin();
    void closeWhileHandOffIsBlocked();
    void destroyWhileHandOffIsBlocked();

private:
    std::unique_ptr<PtyPair> m_pty;
    QStringList m_shown;
};

void TstSerCommThreads::init() {
    m_pty = std::make_unique<PtyPair>();
    QVERIFY(m_pty->isValid());
    m_shown.clear();
    setErrorSink([this](const QString &message) { m_shown << message; });
}

void TstSerCommThreads::cleanup() {
    setErrorSink({});
    m_pty.reset();
}

void TstSerCommThreads::queuedWritesArriveInOrder() {
    TSerComm comm;
    comm.SetDeviceName(m_pty->path());
    int txEmpty = 0;
    bool onOwnerThread = true;
    comm.OnTxEmpty = [&](TSerCustomComm *) {
        onOwnerThread = onOwnerThread && QThread::currentThread() == thread();
        ++txEmpty;
    };
    comm.OpenPort();
    const QByteArray data = pattern(1000);
    for (int offset = 0; offset < data.size(); offset += 100)
        QCOMPARE(comm.WriteBytes(data.constData() + offset, 100), 100);
    QVERIFY(comm.WriteByte(0x7E));
    QCOMPARE(m_pty->receive(int(data.size()) + 1), data + QByteArray(1, 0x7E));
    QTRY_VERIFY(txEmpty >= 1);
    QVERIFY(onOwnerThread);
    QCOMPARE(comm.OutputRoom(), 2048);
    QVERIFY(m_shown.isEmpty());
}

void TstSerCommThreads::fullQueueRaisesAfterWriteTimeout() {
    TSerComm comm;
    comm.SetDeviceName(m_pty->path());
    comm.Buffers().SetWriteSize(64);
    comm.Buffers().SetWriteTimeout(50);
    int txEmpty = 0;
    comm.OnTxEmpty = [&](TSerCustomComm *) { ++txEmpty; };
    comm.OpenPort();

    // The far end reads nothing, so the terminal fills up, then the queue.
    const QByteArray data = pattern(200000);
    int accepted = 0;
    QString message;
    while (accepted + 64 <= data.size()) {
        try {
            QCOMPARE(comm.WriteBytes(data.constData() + accepted, 64), 64);
        } catch (const ESerCommError &e) {
            message = e.message();
            break;
        }
        accepted += 64;
    }
    QCOMPARE(message, kQueueFull);
    QVERIFY(comm.OutputRoom() < 64);

    // Nothing accepted is lost, and the queue drains once the far end reads again.
    txEmpty = 0;
    QCOMPARE(m_pty->receive(accepted), data.left(accepted));
    // A notice of an earlier emptying, posted while the queue was being filled, may arrive
    // first: the room is waited for, not taken from the first notice.
    QTRY_VERIFY(txEmpty >= 1);
    QTRY_COMPARE(comm.OutputRoom(), 64);

    // More than the queue can ever hold is refused the same way.
    QCOMPARE(comm.WriteBytes(data.constData(), 60), 60);
    try {
        comm.WriteBytes(data.constData(), 65);
        QFAIL("a write larger than the queue was accepted");
    } catch (const ESerCommError &e) {
        QCOMPARE(e.message(), kQueueFull);
    }
    QCOMPARE(m_pty->receive(60), data.left(60));
}

void TstSerCommThreads::vanishedDeviceIsReportedOnceWithoutBusyLoop() {
    TSerComm comm;
    comm.SetDeviceName(m_pty->path());
    comm.SetDirectWrite(true);
    QList<int> errors;
    comm.OnError = [&](TSerCustomComm *, int flags) { errors << flags; };
    QByteArray received;
    comm.OnRxChar = [&](TSerCustomComm *sender, int count) {
        QByteArray chunk(count, '\0');
        received += chunk.left(sender->ReadBytes(chunk.data(), count));
    };
    comm.OpenPort();
    QVERIFY(m_pty->send("ok"));
    QTRY_COMPARE(received, QByteArray("ok"));

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(" is gone: ")));
    m_pty->closeMaster();
    QTRY_COMPARE(errors.size(), 1);
    QCOMPARE(errors.first() & kSerDeviceLost, kSerDeviceLost);

    const double share = cpuShareOver(1000);
    QVERIFY2(share < 0.05, qPrintable(QStringLiteral("CPU share %1").arg(share)));
    QCOMPARE(errors.size(), 1);
    QVERIFY(m_shown.isEmpty());

    comm.ClosePort();
    QVERIFY(!comm.IsOpen());

    // The device comes back (a new terminal here) and opens as before.
    PtyPair back;
    QVERIFY(back.isValid());
    comm.SetDeviceName(back.path());
    comm.OpenPort();
    QVERIFY(back.send("again"));
    QTRY_COMPARE(received, QByteArray("okagain"));
    QCOMPARE(errors.size(), 1);
}

void TstSerCommThreads::queuedWriteToVanishedDeviceIsReported() {
    TSerComm comm;
    comm.SetDeviceName(m_pty->path());
    int lost = 0;
    int failedWrites = 0;
    comm.OnError = [&](TSerCustomComm *, int flags) {
        lost += (flags & kSerDeviceLost) ? 1 : 0;
        failedWrites += (flags & CE_IOE) ? 1 : 0;
    };
    comm.OpenPort();
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(" is gone: ")));
    m_pty->closeMaster();
    QTRY_COMPARE(lost, 1);

    const QRegularExpression writeFailed(QStringLiteral("^Queued write to .* failed: "));
    QTest::ignoreMessage(QtWarningMsg, writeFailed);
    QTest::ignoreMessage(QtWarningMsg, writeFailed);
    QCOMPARE(comm.WriteBytes("abc", 3), 3);
    QTRY_COMPARE(failedWrites, 1);
    // The dropped bytes leave the queue empty rather than stuck.
    QCOMPARE(comm.OutputRoom(), 2048);
    QCOMPARE(comm.WriteBytes("de", 2), 2);
    QTRY_COMPARE(failedWrites, 2);
    QCOMPARE(lost, 1);
    QVERIFY(m_shown.isEmpty());
}

void TstSerCommThreads::unreadBytesDoNotSpin() {
    TSerComm comm;
    comm.SetDeviceName(m_pty->path());
    comm.SetDirectWrite(true);
    comm.SetMonitorEvents(comm.MonitorEvents() << ceRx80Full);
    comm.Buffers().SetReadSize(5); // the 80 % mark at 4 bytes
    QList<int> counts;
    int full = 0;
    comm.OnRxChar = [&](TSerCustomComm *, int count) { counts << count; };
    comm.OnRx80Full = [&](TSerCustomComm *) { ++full; };
    comm.OpenPort();
    QVERIFY(m_pty->send("abc"));
    QTRY_COMPARE(counts.size(), 1);
    QCOMPARE(full, 0);
    QVERIFY(m_pty->send("de"));
    QTRY_COMPARE(counts, (QList<int>{3, 5}));
    QCOMPARE(full, 1);

    // The bytes stay queued; that alone raises no further events and costs no CPU.
    const double share = cpuShareOver(300);
    QVERIFY2(share < 0.05, qPrintable(QStringLiteral("CPU share %1").arg(share)));
    QCOMPARE(counts, (QList<int>{3, 5}));

    QVERIFY(m_pty->send("f"));
    QTRY_COMPARE(counts, (QList<int>{3, 5, 6}));
    QCOMPARE(full, 1);
}

void TstSerCommThreads::closeWhileHandOffIsBlocked() {
    TSerComm comm;
    comm.SetDeviceName(m_pty->path());
    comm.SetDirectWrite(true);
    int errors = 0;
    comm.OnError = [&](TSerCustomComm *, int) { ++errors; };
    QByteArray received;
    comm.OnRxChar = [&](TSerCustomComm *sender, int count) {
        QByteArray chunk(count, '\0');
        received += chunk.left(sender->ReadBytes(chunk.data(), count));
    };
    comm.OpenPort();
    m_pty->closeMaster();
    QVERIFY(waitWithoutEvents([&] { return comm.handOffPending(); }));

    // The event thread is blocked handing its "device lost" to this thread: closing must not
    // wait for it.
    comm.ClosePort();
    QVERIFY(!comm.IsOpen());

    // Reopened on another device before the stale hand-off runs: it must not deliver here.
    PtyPair next;
    QVERIFY(next.isValid());
    comm.SetDeviceName(next.path());
    comm.OpenPort();
    QTRY_VERIFY(!comm.handOffPending());
    QCOMPARE(errors, 0);

    QVERIFY(next.send("fresh"));
    QTRY_COMPARE(received, QByteArray("fresh"));
    QCOMPARE(errors, 0);
}

void TstSerCommThreads::destroyWhileHandOffIsBlocked() {
    auto comm = std::make_unique<TSerComm>();
    comm->SetDeviceName(m_pty->path());
    comm->SetDirectWrite(false);
    int calls = 0;
    comm->OnRxChar = [&](TSerCustomComm *, int) { ++calls; };
    comm->OpenPort();
    QVERIFY(m_pty->send("x"));
    QVERIFY(waitWithoutEvents([&] { return comm->handOffPending(); }));
    comm.reset();
    QCoreApplication::processEvents();
    QCOMPARE(calls, 0);
}

QTEST_GUILESS_MAIN(TstSerCommThreads)
#include "tst_ser_comm_threads.moc"
