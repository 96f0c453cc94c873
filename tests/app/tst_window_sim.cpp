// The window offscreen against the simulated logger over a pseudo-terminal: whole operations,
// clicked as an operator would.
#include "window_fixture.h"

#include "logger_simulator.h"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>

using namespace corvane;
using namespace corvane::test;

namespace {

QByteArray simIni(const QString &port) {
    return QStringLiteral("[Com port]\nName=%1\nSpeed=9600\nParity=None\nData bits=8\n"
                          "Stop bits=1\nAutoOpen=1\n[Misc]\nResponse Time=100\n")
        .arg(port)
        .toUtf8();
}

struct SimWindow {
    explicit SimWindow(Model model) {
        sim.addSlave(1, model);
        started = sim.start();
        fixture = std::make_unique<WindowFixture>(simIni(sim.slavePath()));
    }
    ~SimWindow() {
        fixture.reset();
        sim.stop();
    }
    TForm1 &window() { return *fixture->window; }
    bool waitIdle() {
        return QTest::qWaitFor([this] { return !window().session().engine.isBusy(); }, 30000);
    }

    LoggerSimulator sim;
    bool started = false;
    std::unique_ptr<WindowFixture> fixture;
};

} // namespace

class TstWindowSim : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void readTypeThenReadFillsTheTable();
    void editWriteAndReadBack();
    void secondCommandDuringSequenceIsRefused();
};

void TstWindowSim::readTypeThenReadFillsTheTable() {
    SimWindow s(Model::Qtr6d);
    QVERIFY(s.started);
    QVERIFY(s.window().portOpen());
    s.window().ui.BitBtn27->click();
    QVERIFY(s.waitIdle());
    QCOMPARE(s.window().ui.Label24->text(), QStringLiteral("Device type: QTR-6D"));
    QVERIFY(s.window().ui.GroupBox1->isEnabled());
    QCOMPARE(s.window().session().tables.Grid_data.gridColumnCount(), 7);

    s.sim.resetCounters();
    s.window().ui.BitBtn1->click();
    QVERIFY(!s.window().ui.BitBtn1->isEnabled());
    QVERIFY(s.waitIdle());
    QTRY_VERIFY(s.window().ui.BitBtn1->isEnabled());
    QCOMPARE(s.sim.requestCount(1), 19);
    const LoggerModel logger = s.sim.logger(1);
    const StringGrid &grid = s.window().session().tables.Grid_data;
    QCOMPARE(grid.cell(1, 1), QStringLiteral("m3"));
    QCOMPARE(grid.cell(1, 4), QStringLiteral("Input 1"));
    QCOMPARE(grid.cell(6, 4), QStringLiteral("Input 6"));
    QVERIFY(s.window().ui.Label6->text().startsWith(QStringLiteral("Time: ")));
    QVERIFY(s.fixture->errors.isEmpty());
}

void TstWindowSim::editWriteAndReadBack() {
    SimWindow s(Model::Qtr4d);
    s.window().ui.BitBtn27->click();
    QVERIFY(s.waitIdle());
    s.window().ui.BitBtn1->click();
    QVERIFY(s.waitIdle());

    StringGrid &grid = s.window().session().tables.Grid_data;
    grid.setCell(2, 2, QStringLiteral("250"));
    grid.setCell(3, 4, QStringLiteral("Boiler"));
    s.window().ui.Check_constant->setChecked(true);
    s.window().ui.Check_info->setChecked(true);
    s.window().ui.BitBtn2->click();
    QVERIFY(s.waitIdle());
    QTRY_VERIFY(s.window().ui.BitBtn2->isEnabled());

    grid.setCell(2, 2, QString());
    grid.setCell(3, 4, QString());
    s.window().ui.BitBtn1->click();
    QVERIFY(s.waitIdle());
    QCOMPARE(grid.cell(2, 2), QStringLiteral("250"));
    QCOMPARE(grid.cell(3, 4), QStringLiteral("Boiler"));
    QVERIFY(s.fixture->errors.isEmpty());
}

void TstWindowSim::secondCommandDuringSequenceIsRefused() {
    SimWindow s(Model::Qtr8d);
    s.window().ui.BitBtn27->click();
    QVERIFY(s.waitIdle());
    s.window().ui.BitBtn1->click();
    s.window().ui.BitBtn6->click();
    QVERIFY(s.fixture->logLines().contains(
        QStringLiteral("Another request is in progress, please wait...")));
    QVERIFY(s.waitIdle());
    QTRY_VERIFY(s.window().ui.BitBtn1->isEnabled());
    QVERIFY(s.window().ui.BitBtn6->isEnabled());
}

QTEST_MAIN(TstWindowSim)
#include "tst_window_sim.moc"
