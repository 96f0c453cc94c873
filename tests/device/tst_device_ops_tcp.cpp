// The device and service commands through a serial gateway on the network: the simulated
// logger serves its bus over TCP on the loopback interface, the port is "tcp://127.0.0.1:PORT".
#include "device_operations.h"
#include "error_display.h"
#include "service_page.h"
#include "sim_session.h"
#include "string_grid.h"

#include "clock_source.h"

#include <QRegularExpression>
#include <QTest>

using namespace corvane;
using namespace corvane::test;
using namespace std::chrono_literals;

namespace {

constexpr int kInputs = 8;

// A session on the simulator's pseudo-terminal, or moved over to its TCP service.
struct Rig {
    Rig(bool overTcp, bool fast) : ops(sim.session), page(sim.session) {
        if (overTcp) {
            sim.comm.ClosePort();
            QString error;
            if (!sim.sim.startTcp(0, &error))
                qWarning("TCP service did not start: %s", qPrintable(error));
            name = QStringLiteral("tcp://127.0.0.1:%1").arg(sim.sim.tcpPort());
            sim.comm.SetDeviceName(name);
            try {
                sim.comm.OpenPort();
            } catch (const std::exception &e) {
                qWarning("port did not open: %s", e.what());
            }
            sim.portOpen = sim.comm.IsOpen();
        }
        sim.sim.setClockSource(std::make_shared<ManualClockSource>(
            QDateTime(QDate(2026, 12, 6), QTime(9, 5), Qt::UTC)));
        sim.sim.withLogger(1, fillLogger);
        sim.session.setFastReplies(fast);
        ops.resetForStartup();
        sim.session.store.setModel(1, QStringLiteral("QTR-8D"));
        ops.selectAddress(1);
    }
    bool run(CommandStart (DeviceOperations::*command)()) {
        (ops.*command)();
        return sim.waitIdle();
    }
    StringGrid &table() { return sim.session.tables.Grid_data; }
    QStringList cells(const StringGrid &grid, int rows) const {
        QStringList texts;
        for (int row = 1; row <= rows; ++row)
            for (int input = 1; input <= kInputs; ++input)
                texts << grid.cell(input, row);
        return texts;
    }

    SimSession sim{{1, Model::Qtr8d}};
    DeviceOperations ops;
    ServicePage page;
    QString name;
};

void fillTable(StringGrid &grid) {
    for (int input = 1; input <= kInputs; ++input) {
        grid.setCell(input, 1, input % 2 ? "kWh" : "m3");
        grid.setCell(input, kRowPulseConstant, QString::number(1000 + input));
        grid.setCell(input, kRowUserNumber, QString::number(65530 + input % 6));
        grid.setCell(input, kRowFreeText,
                     input == 2 ? "Газ" : QStringLiteral("Line %1").arg(input));
        grid.setCell(input, 5, QStringLiteral("%1.5").arg(-input));
        for (int tariff = 0; tariff < 4; ++tariff) {
            grid.setCell(input, 6 + 2 * tariff, QString::number(tariff * 6));
            grid.setCell(input, 7 + 2 * tariff, QString::number(input + tariff));
            grid.setCell(input, 14 + tariff, QStringLiteral("%1.%2").arg(100 * input).arg(tariff));
        }
    }
}

} // namespace

class TstDeviceOpsTcp : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void sameTablesAsOnAPseudoTerminal_data();
    void sameTablesAsOnAPseudoTerminal();
    void connectionDroppedDuringARead();

private:
    QStringList m_shown;
};

void TstDeviceOpsTcp::init() {
    m_shown.clear();
    setErrorSink([this](const QString &message) { m_shown << message; });
}

void TstDeviceOpsTcp::cleanup() {
    setErrorSink({});
    QVERIFY2(m_shown.isEmpty(), qPrintable(m_shown.join('\n')));
}

void TstDeviceOpsTcp::sameTablesAsOnAPseudoTerminal_data() {
    QTest::addColumn<bool>("fast");
    QTest::newRow("designed timing") << false;
    QTest::newRow("fast replies") << true;
}

// A read, a write of every group read back, the counters, the flow and the information read
// leave the same tables, labels and log lines over TCP as on a pseudo-terminal.
void TstDeviceOpsTcp::sameTablesAsOnAPseudoTerminal() {
    QFETCH(bool, fast);
    QStringList outcome[2];
    for (const bool overTcp : {false, true}) {
        Rig rig(overTcp, fast);
        QVERIFY(rig.sim.portOpen);
        QCOMPARE(rig.sim.comm.IsNetworkPort(), overTcp);
        QStringList &result = outcome[overTcp ? 1 : 0];

        QVERIFY(rig.run(&DeviceOperations::readParameters));
        QCOMPARE(rig.table().cell(2, kRowPulseConstant), "201");
        QCOMPARE(rig.table().cell(2, kRowFreeText), "Вода 2");
        result << rig.cells(rig.table(), kParameterRows);

        fillTable(rig.table());
        rig.sim.controls.checked.clear();
        for (const char *box : {"Check_unit", "Check_constant", "Check_user", "Check_info",
                                "Check_tariffs", "Check_initial"})
            rig.sim.controls.checked[box] = true;
        QVERIFY(rig.run(&DeviceOperations::writeParameters));
        for (int row = 1; row <= kParameterRows; ++row)
            for (int input = 1; input <= kInputs; ++input)
                rig.table().setCell(input, row, "spoilt");
        QVERIFY(rig.run(&DeviceOperations::readParameters));
        QCOMPARE(rig.table().cell(3, kRowUserNumber), "65533");
        QCOMPARE(rig.table().cell(2, kRowFreeText), "Газ");
        result << rig.cells(rig.table(), kParameterRows);

        QVERIFY(rig.run(&DeviceOperations::readCounters));
        QVERIFY(rig.run(&DeviceOperations::readFlow));
        result << rig.cells(rig.sim.session.tables.Grid_data2, kCounterRows)
               << rig.cells(rig.sim.session.tables.Grid_flow, 1);

        rig.page.readDeviceInfo();
        QVERIFY(rig.sim.waitIdle());
        QCOMPARE(rig.sim.session.device.DeviceType, "QTR-8D");

        for (auto it = rig.sim.out.texts.cbegin(); it != rig.sim.out.texts.cend(); ++it)
            result << it.key() + '=' + it.value();
        result << rig.sim.out.logLines;
        QVERIFY(!rig.sim.out.logLines.join('\n').contains("No response"));
    }
    QCOMPARE(outcome[1], outcome[0]);
}

// The gateway drops the connection while a read waits for a reply: the port hears of it once,
// as of a pulled adapter; the window's handling (stop the command, close the port) gives the
// button back without a "No response" for each step left, and the port opens again.
void TstDeviceOpsTcp::connectionDroppedDuringARead() {
    Rig rig(true, false);
    QVERIFY(rig.sim.portOpen);
    int lost = 0;
    bool stopped = false;
    rig.sim.comm.OnError = [&](TSerCustomComm *, int errors) {
        if (!(std::uint32_t(errors) & kSerDeviceLost))
            return;
        ++lost;
        stopped = rig.sim.session.runner.stopForClosedPort();
        rig.sim.comm.ClosePort();
        rig.sim.portOpen = false;
    };
    int requests = 0;
    rig.sim.sim.setTrafficLog([&](const QString &line) {
        if (line.startsWith(QLatin1String("<- ")) && ++requests == 5)
            rig.sim.sim.dropTcpClient();
    });
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral(" is gone: ")));
    rig.table().setCell(1, kRowPulseConstant, "old");

    rig.ops.readParameters();
    QTRY_COMPARE(lost, 1);
    QVERIFY(stopped);
    QVERIFY(rig.sim.waitIdle());
    QVERIFY(!rig.sim.comm.IsOpen());
    QCOMPARE(rig.sim.out.isEnabled("BitBtn1"), true);
    QCOMPARE(rig.sim.out.logLines, QStringList{"Reading device No. 1..."});
    QCOMPARE(rig.sim.sim.requestCount(1), 5);
    QTRY_VERIFY(!rig.sim.sim.hasTcpClient());
    QCOMPARE(lost, 1);

    rig.sim.sim.setTrafficLog({});
    rig.sim.comm.OpenPort();
    rig.sim.portOpen = true;
    rig.sim.out.logLines.clear();
    QVERIFY(rig.run(&DeviceOperations::readParameters));
    QCOMPARE(rig.sim.sim.requestCount(1), 5 + 21);
    QCOMPARE(rig.table().cell(1, kRowPulseConstant), "101");
    QCOMPARE(rig.sim.out.logLines,
             (QStringList{"Reading device No. 1...", "Read finished: 21 of 21 replies"}));
    QCOMPARE(lost, 1);
}

QTEST_GUILESS_MAIN(TstDeviceOpsTcp)
#include "tst_device_ops_tcp.moc"
