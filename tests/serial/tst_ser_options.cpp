#include "ser_comm.h"
#include "ser_options.h"

#include <QTest>

#include <functional>
#include <stdexcept>

using namespace corvane;

Q_DECLARE_METATYPE(TSerBaudrate)
Q_DECLARE_METATYPE(TSerParity)
Q_DECLARE_METATYPE(TSerDatabits)
Q_DECLARE_METATYPE(TSerStopbits)
Q_DECLARE_METATYPE(TSerControlRts)

namespace {

// Counts the owner notifications of a group.
struct ChangeCounter {
    explicit ChangeCounter(TSerPersistent &group) {
        group.OnChange = [this](TSerPersistent *) { ++count; };
    }
    int count = 0;
};

using GroupEdit = std::function<void(TSerComm &)>;

} // namespace

Q_DECLARE_METATYPE(GroupEdit)

class TstSerOptions : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void changesReachOwnerOnceWhileLocked();
    void settersNotify_data();
    void settersNotify();
    void assignCopiesEveryMember();
    void assignFromAnotherClassIsRefused();
    void negativeSizesClampToZero();

    void lineSettings_data();
    void lineSettings();
    void lineSettingsFlags_data();
    void lineSettingsFlags();
    void baudrateAndUserBaudrate();
    void resolvedDeviceName_data();
    void resolvedDeviceName();
    void rtsLineWhileClosed_data();
    void rtsLineWhileClosed();
    void errorMessageIsUtf8();
};

void TstSerOptions::changesReachOwnerOnceWhileLocked() {
    TSerBuffers buffers;
    ChangeCounter changes(buffers);
    buffers.LockChanges();
    buffers.LockChanges();
    buffers.SetReadSize(100);
    buffers.SetWriteSize(200);
    buffers.UnlockChanges();
    QCOMPARE(changes.count, 0);
    buffers.UnlockChanges();
    QCOMPARE(changes.count, 1);
    // An unlock without a lock still notifies, and the counter does not go below zero.
    buffers.UnlockChanges();
    QCOMPARE(changes.count, 2);
    buffers.SetXonLimit(5);
    QCOMPARE(changes.count, 3);
}

void TstSerOptions::settersNotify_data() {
    QTest::addColumn<GroupEdit>("edit");
    QTest::addColumn<int>("notifications");

    QTest::newRow("flow control: changed value")
        << GroupEdit([](TSerComm &c) { c.FlowControl().SetOutCtsFlow(true); }) << 1;
    QTest::newRow("flow control: same value") << GroupEdit([](TSerComm &c) {
        c.FlowControl().SetControlRts(rtsDisabled);
        c.FlowControl().SetXonXoffIn(false);
    }) << 0;
    QTest::newRow("event chars: same value notifies")
        << GroupEdit([](TSerComm &c) { c.EventChars().SetXonChar(0x11); }) << 1;
    QTest::newRow("event chars: index outside 1..5") << GroupEdit([](TSerComm &c) {
        c.EventChars().SetChar(6, 1);
        c.EventChars().SetChar(0, 1);
    }) << 0;
    QTest::newRow("buffers: sizes and limits") << GroupEdit([](TSerComm &c) {
        c.Buffers().SetReadSize(10);
        c.Buffers().SetWriteSize(10);
        c.Buffers().SetXonLimit(10);
        c.Buffers().SetXoffLimit(10);
        c.Buffers().SetReadSize(10);
    }) << 4;
    QTest::newRow("buffers: time limits are silent") << GroupEdit([](TSerComm &c) {
        c.Buffers().SetReadTimeout(5);
        c.Buffers().SetWriteTimeout(5);
    }) << 0;
}

void TstSerOptions::settersNotify() {
    QFETCH(GroupEdit, edit);
    QFETCH(int, notifications);
    TSerComm comm;
    // Replace the component's own listeners with counters on all three groups.
    ChangeCounter flow(comm.FlowControl());
    ChangeCounter chars(comm.EventChars());
    ChangeCounter buffers(comm.Buffers());
    edit(comm);
    QCOMPARE(flow.count + chars.count + buffers.count, notifications);
}

void TstSerOptions::assignCopiesEveryMember() {
    // Each special character has its own stored value, and the owner hears of the copy once.
    TSerEventChars chars;
    for (int index = 1; index <= 5; ++index)
        chars.SetChar(index, std::uint8_t(20 + index));
    TSerEventChars copy;
    ChangeCounter charChanges(copy);
    copy.Assign(chars);
    QCOMPARE(charChanges.count, 1);
    QCOMPARE((QList<int>{copy.XonChar(), copy.XoffChar(), copy.ErrorChar(), copy.EventChar(),
                         copy.EofChar()}),
             (QList<int>{21, 22, 23, 24, 25}));

    // The time limits come along although changing them alone tells nobody.
    TSerBuffers buffers;
    buffers.SetReadTimeout(3);
    buffers.SetWriteTimeout(4);
    buffers.SetXoffLimit(6);
    TSerBuffers bufferCopy;
    ChangeCounter bufferChanges(bufferCopy);
    bufferCopy.Assign(buffers);
    QCOMPARE(bufferChanges.count, 1);
    QCOMPARE(bufferCopy.ReadTimeout(), 3);
    QCOMPARE(bufferCopy.WriteTimeout(), 4);
    QCOMPARE(bufferCopy.XoffLimit(), 6);
}

void TstSerOptions::assignFromAnotherClassIsRefused() {
    TSerBuffers buffers;
    TSerFlowControl flow;
    ChangeCounter changes(flow);
    QVERIFY_THROWS_EXCEPTION(std::invalid_argument, flow.Assign(buffers));
    QCOMPARE(changes.count, 0);
}

void TstSerOptions::negativeSizesClampToZero() {
    TSerBuffers buffers;
    buffers.SetWriteSize(-5);
    buffers.SetReadTimeout(-1);
    QCOMPARE(buffers.WriteSize(), 0);
    QCOMPARE(buffers.ReadTimeout(), 0);
}

void TstSerOptions::lineSettings_data() {
    QTest::addColumn<TSerBaudrate>("baudrate");
    QTest::addColumn<TSerParity>("parity");
    QTest::addColumn<TSerDatabits>("databits");
    QTest::addColumn<TSerStopbits>("stopbits");
    QTest::addColumn<uint>("speed");
    QTest::addColumn<int>("byteSize");
    QTest::addColumn<int>("parityCode");
    QTest::addColumn<int>("stopCode");

    QTest::newRow("defaults") << br1200 << paNone << db8 << sb1 << 1200u << 8 << 0 << 0;
    QTest::newRow("110 odd 7 1.5") << br110 << paOdd << db7 << sb15 << 110u << 7 << 1 << 1;
    QTest::newRow("9600 even 8 2") << br9600 << paEven << db8 << sb2 << 9600u << 8 << 2 << 2;
    QTest::newRow("14400 mark 6") << br14400 << paMark << db6 << sb1 << 14400u << 6 << 3 << 0;
    QTest::newRow("56000 space 5") << br56000 << paSpace << db5 << sb1 << 56000u << 5 << 4 << 0;
    QTest::newRow("128000 4 bits") << br128000 << paNone << db4 << sb1 << 128000u << 4 << 0 << 0;
    QTest::newRow("256000") << br256000 << paNone << db8 << sb1 << 256000u << 8 << 0 << 0;
    QTest::newRow("115200") << br115200 << paNone << db8 << sb1 << 115200u << 8 << 0 << 0;
    QTest::newRow("brUser without a speed") << brUser << paNone << db8 << sb1 << 0u << 8 << 0 << 0;
}

void TstSerOptions::lineSettings() {
    QFETCH(TSerBaudrate, baudrate);
    QFETCH(TSerParity, parity);
    QFETCH(TSerDatabits, databits);
    QFETCH(TSerStopbits, stopbits);
    TSerComm comm;
    comm.SetBaudrate(baudrate);
    comm.SetParity(parity);
    comm.SetDatabits(databits);
    comm.SetStopbits(stopbits);
    const SerDcb dcb = comm.lineSettings();
    QTEST(uint(dcb.BaudRate), "speed");
    QTEST(int(dcb.ByteSize), "byteSize");
    QTEST(int(dcb.Parity), "parityCode");
    QTEST(int(dcb.StopBits), "stopCode");
    // This system's configuration: binary mode and nothing else.
    QCOMPARE(dcb.Flags, 1u);
    QCOMPARE(int(dcb.XonChar), 0x11);
    QCOMPARE(int(dcb.XoffChar), 0x13);
    QCOMPARE(int(dcb.XonLim), 1024);
    QCOMPARE(int(dcb.XoffLim), 1024);
}

void TstSerOptions::lineSettingsFlags_data() {
    QTest::addColumn<GroupEdit>("edit");
    QTest::addColumn<uint>("flags");

    QTest::newRow("parity check option")
        << GroupEdit([](TSerComm &c) { c.SetOptions({coParityCheck}); }) << 0x0003u;
    QTest::newRow("parity value alone does not check")
        << GroupEdit([](TSerComm &c) { c.SetParity(paEven); }) << 0x0001u;
    QTest::newRow("error char and null strip") << GroupEdit([](TSerComm &c) {
        c.SetOptions({coErrorChar, coNullStrip});
    }) << 0x0C01u;
    QTest::newRow("cts and dsr flow, dsr sensitivity") << GroupEdit([](TSerComm &c) {
        c.FlowControl().SetOutCtsFlow(true);
        c.FlowControl().SetOutDsrFlow(true);
        c.FlowControl().SetDsrSensitivity(true);
    }) << 0x004Du;
    QTest::newRow("dtr handshake, rts toggle") << GroupEdit([](TSerComm &c) {
        c.FlowControl().SetControlDtr(dtrHandshake);
        c.FlowControl().SetControlRts(rtsToggle);
    }) << 0x3021u;
    QTest::newRow("dtr enabled, rts handshake") << GroupEdit([](TSerComm &c) {
        c.FlowControl().SetControlDtr(dtrEnabled);
        c.FlowControl().SetControlRts(rtsHandshake);
    }) << 0x2011u;
    QTest::newRow("xon/xoff both ways, continue on xoff") << GroupEdit([](TSerComm &c) {
        c.FlowControl().SetXonXoffOut(true);
        c.FlowControl().SetXonXoffIn(true);
        c.FlowControl().SetTxContinueOnXoff(true);
    }) << 0x0381u;
}

void TstSerOptions::lineSettingsFlags() {
    QFETCH(GroupEdit, edit);
    TSerComm comm;
    edit(comm);
    QTEST(uint(comm.lineSettings().Flags), "flags");
}

void TstSerOptions::baudrateAndUserBaudrate() {
    TSerComm comm;
    comm.SetUserBaudrate(57600);
    QCOMPARE(comm.Baudrate(), brUser);
    QCOMPARE(comm.lineSettings().BaudRate, 57600u);
    comm.SetBaudrate(br9600);
    QCOMPARE(comm.UserBaudrate(), 0);
    QCOMPARE(comm.lineSettings().BaudRate, 9600u);

    // The special characters each keep their own value, and the limits go in as 16 bits.
    comm.EventChars().SetEofChar(26);
    comm.EventChars().SetEventChar(7);
    comm.Buffers().SetXonLimit(70000);
    const SerDcb dcb = comm.lineSettings();
    QCOMPARE(int(dcb.EofChar), 26);
    QCOMPARE(int(dcb.EvtChar), 7);
    QCOMPARE(int(dcb.XonLim), 70000 & 0xFFFF);
}

void TstSerOptions::resolvedDeviceName_data() {
    QTest::addColumn<QString>("deviceName");
    QTest::addColumn<int>("portNum");
    QTest::addColumn<QString>("resolved");

    QTest::newRow("default with 0") << "COM%d" << 0 << "COM0";
    QTest::newRow("default with 3") << "COM%d" << 3 << "COM3";
    QTest::newRow("no placeholder") << "COM5" << 7 << "COM5";
    QTest::newRow("path") << "/dev/ttyUSB%d" << 12 << "/dev/ttyUSB12";
    QTest::newRow("percent sign") << "/tmp/100%%/COM%d" << 1 << "/tmp/100%/COM1";
    QTest::newRow("negative port clamps") << "COM%d" << -4 << "COM0";
    QTest::newRow("unknown placeholder kept") << "COM%x" << 2 << "COM%x";
}

void TstSerOptions::resolvedDeviceName() {
    QFETCH(QString, deviceName);
    QFETCH(int, portNum);
    TSerComm comm;
    comm.SetDeviceName(deviceName);
    comm.SetPortNum(portNum);
    QTEST(comm.ResolvedDeviceName(), "resolved");
}

void TstSerOptions::rtsLineWhileClosed_data() {
    QTest::addColumn<TSerControlRts>("control");
    QTest::addColumn<bool>("refused");
    QTest::newRow("disabled") << rtsDisabled << false;
    QTest::newRow("enabled") << rtsEnabled << false;
    QTest::newRow("handshake") << rtsHandshake << true;
    QTest::newRow("toggle") << rtsToggle << true;
}

void TstSerOptions::rtsLineWhileClosed() {
    QFETCH(TSerControlRts, control);
    QFETCH(bool, refused);
    TSerComm comm;
    comm.FlowControl().SetControlRts(control);
    QString message;
    try {
        comm.SetRtsLine(false);
        comm.SetRtsLine(true);
    } catch (const ESerCommError &e) {
        message = e.message();
    }
    QCOMPARE(message, refused ? QStringLiteral("RTS line updates not allowed when flowcontrol is "
                                               "set to Handshake or Toggle.")
                              : QString());
}

void TstSerOptions::errorMessageIsUtf8() {
    const ESerCommError error(QStringLiteral("Specified device not found (Порт)."));
    QCOMPARE(QString::fromUtf8(error.what()), error.message());
}

QTEST_GUILESS_MAIN(TstSerOptions)
#include "tst_ser_options.moc"
