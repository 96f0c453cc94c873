// Device commands without a logger: preconditions, the clock write's frame, the status-bar clock,
// the selection change and the start-up state.
#include "crc16.h"
#include "device_operations.h"
#include "device_session.h"
#include "fake_serial_line.h"
#include "frames.h"
#include "recording_output.h"
#include "table_rows.h"

#include <QTest>

#include <functional>

using namespace corvane;
using namespace corvane::test;

namespace {

struct Rig {
    Rig()
        : session(SessionEnvironment{line, line, out, controls, [this] { return address; },
                                     [this] { return portOpen; }, [] { return QString('.'); },
                                     QLocale(QLocale::English, QLocale::UnitedStates)}),
          ops(session, [this] { return now; }) {
        ops.resetForStartup();
    }
    void selectModel(int at, const QString &model) {
        session.store.setModel(at, model);
        address = at;
        ops.selectAddress(at);
    }
    StringGrid &table() { return session.tables.Grid_data; }

    FakeSerialLine line;
    RecordingOutput out;
    FakeControls controls;
    int address = 1;
    bool portOpen = true;
    QDateTime now = QDateTime(QDate(2026, 12, 6), QTime(9, 5, 30));
    DeviceSession session;
    DeviceOperations ops;
};

using Command = std::function<void(DeviceOperations &)>;

} // namespace

Q_DECLARE_METATYPE(Command)

class TstDeviceOps : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void writeMultipleCounts_data();
    void writeMultipleCounts();
    void refusals_data();
    void refusals();
    void clockFrame();
    void statusClock();
    void selectionRoundTrip();
    void selectionToSmallerModel();
    void selectionToUnknownAddress();
    void windowsKeepTheirLength();
};

// Each command stops at its first failed check with one line, sends nothing and leaves its
// button alone.
void TstDeviceOps::refusals_data() {
    QTest::addColumn<Command>("command");
    QTest::addColumn<bool>("portOpen");
    QTest::addColumn<QString>("model");
    QTest::addColumn<QString>("line");
    const QString closed = "Serial COM port is not opened";
    const QString noModel = "Device type is not selected or correct";
    const Command read = [](DeviceOperations &o) { o.readParameters(); };
    const Command write = [](DeviceOperations &o) { o.writeParameters(); };
    const Command counters = [](DeviceOperations &o) { o.readCounters(); };
    const Command flow = [](DeviceOperations &o) { o.readFlow(); };
    const Command status = [](DeviceOperations &o) { o.readInputStatus(); };
    const Command clock = [](DeviceOperations &o) { o.setClock(); };
    QTest::newRow("read, port closed") << read << false << "" << closed;
    QTest::newRow("read, port before model") << read << false << "QTR-8D" << closed;
    QTest::newRow("read, no model") << read << true << "" << noModel;
    QTest::newRow("read, unknown model") << read << true << "QTR-5D" << noModel;
    QTest::newRow("write, no model") << write << true << "" << noModel;
    QTest::newRow("write, nothing ticked") << write << true << "QTR-6D"
                                           << "Nothing selected for programming...";
    QTest::newRow("counters, no model") << counters << true << "" << noModel;
    QTest::newRow("flow, port closed") << flow << false << "QTR-4D" << closed;
    QTest::newRow("flow, no model") << flow << true << "" << noModel;
    QTest::newRow("input status, no model") << status << true << "" << noModel;
    QTest::newRow("clock, port closed") << clock << false << "QTR-8D" << closed;
}

void TstDeviceOps::refusals() {
    QFETCH(Command, command);
    QFETCH(bool, portOpen);
    QFETCH(QString, model);
    QFETCH(QString, line);
    Rig rig;
    rig.selectModel(1, model);
    rig.portOpen = portOpen;
    rig.out.clear();
    command(rig.ops);
    QCOMPARE(rig.out.logLines, QStringList{line});
    QVERIFY(rig.line.events.empty());
    QVERIFY(!rig.session.runner.isBusy());
    for (const char *button : {"BitBtn1", "BitBtn2", "BitBtn6", "BitBtn31"})
        QVERIFY(rig.out.isEnabled(button));
}

// The clock write needs no model: 10 ms after RTS, 13 bytes, no window.
void TstDeviceOps::clockFrame() {
    Rig rig;
    rig.address = 17;
    rig.ops.setClock();

    QByteArray frame = QByteArray::fromHex("111080120002043C460905");
    appendCrc(frame);
    QCOMPARE(rig.line.frames, QList<QByteArray>{frame});
    QCOMPARE(rig.line.timeline(), "InputRoom OutputRoom rts+ 10ms 13*(byte 2ms) rts-");
    QCOMPARE(rig.out.logLines, QStringList{"Programming current time and date..."});
    QVERIFY(!rig.session.runner.isBusy());
}

void TstDeviceOps::statusClock() {
    Rig rig;
    rig.ops.showPcClock();
    const QString text = rig.out.status.value(StatusPanel::Clock);
    QVERIFY2(text.startsWith(QString(12, ' ') + "9:05:30"), qPrintable(text));
    QVERIFY2(text.endsWith(",   12/6/26"), qPrintable(text));
    QCOMPARE(DeviceOperations::statusClockText(rig.now, QLocale::c()).left(20),
             QString(12, ' ') + "09:05:30");
}

// Leaving an address stores the table (cut to 16 characters); coming back shows it.
void TstDeviceOps::selectionRoundTrip() {
    Rig rig;
    rig.selectModel(1, "QTR-8D");
    for (int row = 1; row <= kParameterRows; ++row)
        for (int col = 1; col <= 8; ++col)
            rig.table().setCell(col, row, QStringLiteral("r%1c%2").arg(row).arg(col));
    rig.table().setCell(2, kRowFreeText, "a text of twenty chars");
    rig.session.tables.Grid_data2.setCell(1, 2, "123");

    rig.address = 2;
    rig.ops.selectAddress(2);
    QCOMPARE(rig.session.store.CurrentAddress, 2);
    QCOMPARE(rig.session.store.HighestAddress, 2);
    QCOMPARE(rig.table().cell(5, 5), "");
    QCOMPARE(rig.session.tables.Grid_data2.cell(1, 2), "");
    rig.table().setCell(1, 1, "at two");

    rig.address = 1;
    rig.ops.selectAddress(1);
    QCOMPARE(rig.session.store.HighestAddress, 2);
    QCOMPARE(rig.session.device.DeviceType, "QTR-8D");
    QCOMPARE(rig.out.texts.value("Label24"), "Device type: QTR-8D");
    QCOMPARE(rig.table().cell(2, kRowFreeText), "a text of twenty");
    QCOMPARE(rig.table().cell(8, 17), "r17c8");
    QCOMPARE(rig.session.store.cell(2, 1, 1), "at two");
}

void TstDeviceOps::selectionToSmallerModel() {
    Rig rig;
    rig.selectModel(1, "QTR-8D");
    for (int col = 1; col <= 8; ++col)
        rig.table().setCell(col, kRowUnit, QStringLiteral("u%1").arg(col));
    for (int col = 1; col <= 8; ++col)
        rig.session.store.setCell(3, col, kRowUnit, QStringLiteral("small%1").arg(col));

    rig.selectModel(3, "QTR-4D");
    QCOMPARE(rig.table().gridColumnCount(), 5);
    QCOMPARE(rig.session.tables.Grid_data2.gridColumnCount(), 5);
    QCOMPARE(rig.session.device.InputCount, 4);
    QCOMPARE(rig.session.device.LongRegisterCount, 8);
    QCOMPARE(rig.out.texts.value("Label21"), "Device type: QTR-4D");
    QVERIFY(rig.out.isEnabled("GroupBox1", false));
    QVERIFY(rig.out.isEnabled("GroupBox2", false));
    for (int col = 1; col <= 4; ++col)
        QCOMPARE(rig.table().cell(col, kRowUnit), QStringLiteral("small%1").arg(col));
    rig.table().setCell(4, kRowUnit, "changed");

    rig.address = 1;
    rig.ops.selectAddress(1);
    QCOMPARE(rig.table().gridColumnCount(), 9);
    QCOMPARE(rig.session.device.InputCount, 8);
    for (int col = 1; col <= 8; ++col)
        QCOMPARE(rig.table().cell(col, kRowUnit), QStringLiteral("u%1").arg(col));
    // Columns the small layout hid keep what slot 3 held.
    QCOMPARE(rig.session.store.cell(3, 4, kRowUnit), "changed");
    QCOMPARE(rig.session.store.cell(3, 5, kRowUnit), "small5");
}

// A never-identified address clears the model and the counters but keeps the layout; the
// commands that need a model then refuse.
void TstDeviceOps::selectionToUnknownAddress() {
    Rig rig;
    rig.selectModel(1, "QTR-6D");
    rig.session.tables.Grid_data2.setCell(3, 4, "77");
    rig.address = 9;
    rig.ops.selectAddress(9);
    QCOMPARE(rig.session.device.DeviceType, "");
    QCOMPARE(rig.out.texts.value("Label24"), "Device type: ");
    QCOMPARE(rig.table().gridColumnCount(), 7);
    QCOMPARE(rig.session.device.InputCount, 6);
    QCOMPARE(rig.session.device.LongRegisterCount, 12);
    QCOMPARE(rig.session.tables.Grid_data2.cell(3, 4), "");
    QCOMPARE(rig.session.store.HighestAddress, 9);

    rig.out.clear();
    rig.ops.readCounters();
    QCOMPARE(rig.out.logLines, QStringList{"Device type is not selected or correct"});
    // An address the selector cannot show changes nothing.
    rig.ops.selectAddress(251);
    QCOMPARE(rig.session.store.CurrentAddress, 9);
}

// A coarse timer may fire 5% early, closing the window on a reply that is still within the
// ResponseTime the operator set.
void TstDeviceOps::windowsKeepTheirLength() {
    Rig rig;
    const RequestRunner &engine = rig.session.runner;
    for (const QTimer *timer : {&engine.timer(RequestRunner::Window::Response),
                                &engine.timer(RequestRunner::Window::ResponseProgram),
                                &engine.timer(RequestRunner::StepTimer::Read),
                                &engine.timer(RequestRunner::StepTimer::DecodeInput),
                                &engine.timer(RequestRunner::StepTimer::Write)})
        QCOMPARE(timer->timerType(), Qt::PreciseTimer);
}

void TstDeviceOps::writeMultipleCounts_data() {
    QTest::addColumn<QString>("model");
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("frameLength"); // 0: refused
    for (const char *model : {"QTR-8D", "QTR-6D", "QTR-4D", ""}) {
        const QString m = QLatin1String(model);
        const bool eight = m == QLatin1String("QTR-8D") || m == QLatin1String("QTR-4D");
        const QByteArray name = QByteArray(*model ? model : "no model") + " x";
        for (const int count : {0, 2, 4, 6, 8, 10, 12, 16, 32}) {
            int length = 0;
            if (count == 4 || count == 6 || count == 12 || count == 16 || (count == 8 && eight))
                length = 9 + 2 * count;
            QTest::newRow(name + QByteArray::number(count)) << m << count << length;
        }
    }
}

void TstDeviceOps::writeMultipleCounts() {
    QFETCH(QString, model);
    QFETCH(int, count);
    QFETCH(int, frameLength);
    QCOMPARE(writeMultipleCountAllowed(count, model), frameLength > 0);
    if (frameLength == 0)
        return;
    const QByteArray frame = writeMultipleFrame(2, 0x8000, count, QByteArray(2 * count, '\1'));
    QCOMPARE(frame.size(), frameLength);
    QCOMPARE(quint8(frame.at(6)), quint8(2 * count));
}

QTEST_GUILESS_MAIN(TstDeviceOps)
#include "tst_device_ops.moc"
