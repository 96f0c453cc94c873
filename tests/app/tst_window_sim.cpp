// The window offscreen against the simulated logger over a pseudo-terminal: whole operations,
// clicked as an operator would.
#include "window_fixture.h"

#include "logger_simulator.h"
#include "options_dialog.h"
#include "register_map.h"
#include "table_rows.h"
#include "windows1251.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTableView>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

using namespace corvane;
using namespace corvane::test;

namespace {

QByteArray simIni(const QString &port, bool reopen, const QString &comPort = QString()) {
    return QStringLiteral("[Com port]\nName=%1\nSpeed=9600\nParity=None\nData bits=8\n"
                          "Stop bits=1\nAutoOpen=1\nReopen=%2\n%3[Misc]\nResponse Time=100\n")
        .arg(port)
        .arg(reopen ? 1 : 0)
        .arg(comPort)
        .toUtf8();
}

struct SimWindow {
    // With a link, the window knows the logger's line by the link and reopens it when it returns.
    // comPort: more keys of section "Com port", each with its line end.
    explicit SimWindow(Model model, const QString &link = QString(), bool echo = false,
                       const QString &comPort = QString()) {
        sim.addSlave(1, model);
        sim.setEcho(echo);
        started = sim.start(LineOptions{QString(), SerialSettings(), link});
        fixture = std::make_unique<WindowFixture>(
            simIni(link.isEmpty() ? sim.slavePath() : link, !link.isEmpty(), comPort));
        // The port opens once the event loop runs.
        started = started && QTest::qWaitFor([this] { return window().portOpen(); });
    }
    ~SimWindow() {
        fixture.reset();
        sim.stop();
    }
    TForm1 &window() { return *fixture->window; }
    bool waitIdle() {
        return QTest::qWaitFor([this] { return !window().session().runner.isBusy(); }, 30000);
    }

    LoggerSimulator sim;
    bool started = false;
    std::unique_ptr<WindowFixture> fixture;
};

// The editor the table's delegate opens on a cell, as a double click opens it.
QLineEdit *openCell(TForm1 &window, int col, int row) {
    QTableView *view = window.ui.Grid_data;
    const QModelIndex index = view->model()->index(row - 1, col - 1);
    view->setCurrentIndex(index);
    view->edit(index);
    return qobject_cast<QLineEdit *>(view->indexWidget(index));
}

QString hexLine(const QByteArray &frame) {
    QString line;
    for (const char byte : frame)
        line += QString::asprintf("%02Xh ", quint8(byte));
    return line;
}

QByteArray fileBytes(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TstWindowSim : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void echoingLine();
    void savedLineOptionsHoldFromTheStart();
    void readTypeThenReadFillsTheTable();
    void readKeyWithACellOpen();
    void editWriteAndReadBack();
    void secondCommandDuringSequenceIsRefused();
    void closedPortStopsTheRunningCommand_data();
    void closedPortStopsTheRunningCommand();
    void stopEndsTheSequenceAfterItsStep_data();
    void stopEndsTheSequenceAfterItsStep();
    void completionLineEndsEachSequence_data();
    void completionLineEndsEachSequence();
    void servicePageUnlocksAndLocksTheLogger();
    void workFileThroughToolbarAndMenu();
    void typedCellsReachFilesAndTheLogger();
    void findLoggersSelectsAResult();
    void gatewayPortThroughOptions();
    void sentFramesBesideTheReplies();
    void portReopensWhenTheDeviceReturns();
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

// F5 pressed while a cell is being edited reads as a click on "Read" does: the editor closes
// first. A value read that equals the one before leaves the table unchanged, so an editor still
// open would keep the typed text and write it over the value read when it closed.
void TstWindowSim::readKeyWithACellOpen() {
    SimWindow s(Model::Qtr4d);
    TForm1 &w = s.window();
    w.show();
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.ui.BitBtn27->click();
    QVERIFY(s.waitIdle());
    QTest::keyClick(&w, Qt::Key_F5);
    QVERIFY(s.waitIdle());
    QTRY_VERIFY(w.ui.BitBtn1->isEnabled());
    QCOMPARE(w.session().tables.Grid_data.cell(1, kRowFreeText), QStringLiteral("Input 1"));
    QLineEdit *editor = openCell(w, 1, kRowFreeText);
    QVERIFY(editor);
    QTest::keyClicks(editor, QStringLiteral("Typed"));
    QTest::keyClick(editor, Qt::Key_F5);
    QVERIFY(s.waitIdle());
    QTRY_VERIFY(w.ui.BitBtn1->isEnabled());
    w.ui.BitBtn27->setFocus();
    QCOMPARE(w.session().tables.Grid_data.cell(1, kRowFreeText), QStringLiteral("Input 1"));
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

// The port goes away in the middle of a command, between two of its requests: the logger
// vanishing or the operator pressing the port button. One line says so, the button comes back
// and nothing of the command is left to run.
void TstWindowSim::closedPortStopsTheRunningCommand_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("deviceVanishes");
    QTest::addColumn<QString>("line");
    const QString vanished = QStringLiteral("Serial device %1 is no longer available, the port was "
                                            "closed and the running command stopped");
    const QString closed = QStringLiteral("The port was closed, the running command stopped");
    // clang-format off
    QTest::newRow("read, device gone") << "BitBtn1" << "BitBtn1" << true << vanished;
    QTest::newRow("read type, device gone") << "BitBtn27" << "BitBtn24" << true << vanished;
    QTest::newRow("counters, port button") << "BitBtn6" << "BitBtn6" << false << closed;
    // clang-format on
}

void TstWindowSim::closedPortStopsTheRunningCommand() {
    QFETCH(QString, command);
    QFETCH(QString, button);
    QFETCH(bool, deviceVanishes);
    QFETCH(QString, line);
    SimWindow s(Model::Qtr8d);
    TForm1 &window = s.window();
    window.ui.BitBtn27->click();
    QVERIFY(s.waitIdle());
    const qsizetype linesBefore = s.fixture->logLines().size();
    s.sim.resetCounters();

    const RequestRunner &engine = window.session().runner;
    const ServicePage &service = window.servicePage();
    // Right after the second answer is handled: between two requests of the command.
    bool closed = false;
    bool busyWhenClosed = false;
    const QString path = s.sim.slavePath();
    const auto closeNow = [&] {
        if (closed || s.sim.requestCount(1) < 2)
            return;
        closed = true;
        busyWhenClosed = engine.isBusy();
        if (deviceVanishes)
            s.sim.stop();
        else
            window.ui.BitBtn13->click();
    };
    QObject watch;
    connect(&engine.timer(RequestRunner::Window::Response), &QTimer::timeout, &watch, closeNow);
    connect(&service.responseServiceTimer(), &QTimer::timeout, &watch, closeNow);
    qobject_cast<QAbstractButton *>(window.ui.control(command))->click();
    QTRY_VERIFY(closed);
    QVERIFY(busyWhenClosed);
    QTRY_VERIFY(!window.portOpen());

    QCOMPARE(s.fixture->status(0), path + QStringLiteral(" is closed"));
    QCOMPARE(s.fixture->logLines().mid(linesBefore),
             (QStringList{QStringLiteral("Reading device No. 1..."), line.arg(path)}));
    QVERIFY(window.ui.control(button)->isEnabled());
    // No window or step timer is left that could report or decode anything later.
    QVERIFY(!engine.isBusy());
}

// The operator stops a sequence right after its second reply has been decoded: nothing more is
// sent, the rows read stay on the screen but not in the address's slot, and the buttons are back.
void TstWindowSim::stopEndsTheSequenceAfterItsStep_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("escape");
    QTest::addColumn<int>("steps");
    QTest::newRow("read, Esc") << "BitBtn1"
                               << "BitBtn1" << true << 21;
    QTest::newRow("read, Stop button") << "BitBtn1"
                                       << "BitBtn1" << false << 21;
    QTest::newRow("read type, Esc") << "BitBtn27"
                                    << "BitBtn24" << true << 5;
}

void TstWindowSim::stopEndsTheSequenceAfterItsStep() {
    QFETCH(QString, command);
    QFETCH(QString, button);
    QFETCH(bool, escape);
    QFETCH(int, steps);
    SimWindow s(Model::Qtr8d);
    TForm1 &w = s.window();
    w.show();
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    w.ui.BitBtn27->click();
    QVERIFY(s.waitIdle());
    QVERIFY(!w.ui.BitBtnStop->isEnabled());
    s.sim.resetCounters();

    const RequestRunner &engine = w.session().runner;
    bool stopped = false;
    bool stopEnabled = false;
    const auto stopNow = [&] {
        if (stopped || engine.step() != 2)
            return;
        stopped = true;
        stopEnabled = w.ui.BitBtnStop->isEnabled();
        if (escape)
            QTest::keyClick(&w, Qt::Key_Escape);
        else
            w.ui.BitBtnStop->click();
    };
    QObject watch;
    connect(&engine.timer(RequestRunner::Window::Response), &QTimer::timeout, &watch, stopNow);
    connect(&w.servicePage().responseServiceTimer(), &QTimer::timeout, &watch, stopNow);
    qobject_cast<QAbstractButton *>(w.ui.control(command))->click();
    QTRY_VERIFY(stopped);
    QVERIFY(s.waitIdle());

    const QString line = QStringLiteral("Stopped by user after step 2 of %1").arg(steps);
    QVERIFY(stopEnabled);
    QCOMPARE(s.fixture->logLines().last(), line);
    QCOMPARE(s.fixture->status(1), line);
    QCOMPARE(s.sim.requestCount(1), 2);
    QVERIFY(w.ui.control(button)->isEnabled());
    QVERIFY(!w.ui.BitBtnStop->isEnabled());
    const StringGrid &grid = w.session().tables.Grid_data;
    if (command == QLatin1String("BitBtn1")) {
        QVERIFY(!grid.cell(1, kRowPulseConstant).isEmpty());
        QCOMPARE(w.session().store.cell(1, 1, kRowPulseConstant), QString());
    }
    QVERIFY(s.fixture->errors.isEmpty());
}

// Every sequence ends with one line that counts its replies, also on status panel 1. The cells
// of a step left without reply are greyed until read again or edited.
void TstWindowSim::completionLineEndsEachSequence_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("silentUnits");
    QTest::addColumn<QString>("line");
    // clang-format off
    QTest::newRow("read") << "BitBtn1" << false << "Read finished: 21 of 21 replies";
    QTest::newRow("read, units silent")
        << "BitBtn1" << true << "Read finished: 20 of 21 replies, 1 without reply";
    QTest::newRow("write") << "BitBtn2" << false << "Write finished: 1 of 1 replies";
    QTest::newRow("counters") << "BitBtn6" << false << "Counters finished: 7 of 7 replies";
    QTest::newRow("read type") << "BitBtn27" << false << "Information read finished: 5 of 5 replies";
    // clang-format on
}

void TstWindowSim::completionLineEndsEachSequence() {
    QFETCH(QString, command);
    QFETCH(bool, silentUnits);
    QFETCH(QString, line);
    SimWindow s(Model::Qtr8d);
    TForm1 &w = s.window();
    w.ui.BitBtn27->click();
    QVERIFY(s.waitIdle());
    if (command == QLatin1String("BitBtn2")) {
        w.ui.BitBtn1->click();
        QVERIFY(s.waitIdle());
        w.ui.Check_unit->setChecked(true);
    }
    if (silentUnits) {
        FaultRule silence;
        silence.function = 0x03;
        silence.target = kRegUnits;
        s.sim.addFault(silence);
    }
    qobject_cast<QAbstractButton *>(w.ui.control(command))->click();
    QVERIFY(s.waitIdle());
    QCOMPARE(s.fixture->logLines().last(), line);
    QCOMPARE(s.fixture->status(1), line);
    QVERIFY(s.fixture->errors.isEmpty());
    if (!silentUnits)
        return;

    StringGrid &grid = w.session().tables.Grid_data;
    for (int col = 1; col <= 8; ++col)
        QVERIFY(grid.isStale(col, kRowUnit));
    QVERIFY(!grid.isStale(1, kRowPulseConstant));
    const QModelIndex unit1 = grid.index(kRowUnit - 1, 0);
    QVERIFY(grid.data(unit1, Qt::ForegroundRole).isValid());
    QVERIFY(!grid.data(grid.index(kRowPulseConstant - 1, 0), Qt::ForegroundRole).isValid());
    grid.setData(unit1, QStringLiteral("kWh"));
    QVERIFY(!grid.isStale(1, kRowUnit));
    QVERIFY(grid.isStale(2, kRowUnit));
    s.sim.clearFaults();
    w.ui.BitBtn1->click();
    QVERIFY(s.waitIdle());
    QVERIFY(!grid.isStale(2, kRowUnit));
}

void TstWindowSim::servicePageUnlocksAndLocksTheLogger() {
    SimWindow s(Model::Qtr8d);
    MainWindowUi &ui = s.window().ui;
    ui.MaskEdit1->setText(QStringLiteral("Tovrek"));
    ui.BitBtn18->click();
    QVERIFY(ui.GroupBox4->isHidden());
    QCOMPARE(ui.MaskEdit1->text(), QString());
    QCOMPARE(s.fixture->status(1), QStringLiteral("Incorrect password"));

    ui.MaskEdit1->setText(QStringLiteral("tovrek"));
    ui.BitBtn18->click();
    QVERIFY(!ui.GroupBox4->isHidden());
    QVERIFY(ui.MaskEdit1->isHidden());
    QVERIFY(ui.BitBtn18->isHidden());
    QVERIFY(ui.Label8->isHidden());

    // The address box takes digits only.
    ui.Edit_address->setFocus();
    QTest::keyClicks(ui.Edit_address, QStringLiteral("1a2"));
    QCOMPARE(ui.Edit_address->text(), QStringLiteral("12"));

    ui.BitBtn21->click();
    QVERIFY(s.waitIdle());
    QCOMPARE(ui.Label19->text(), QStringLiteral("Current state: Locked"));
    QVERIFY(s.sim.logger(1).isLocked());
    ui.BitBtn22->click();
    QVERIFY(s.waitIdle());
    QCOMPARE(ui.Label19->text(), QStringLiteral("Current state: Unlocked"));
}

void TstWindowSim::workFileThroughToolbarAndMenu() {
    SimWindow s(Model::Qtr8d);
    MainWindowUi &ui = s.window().ui;
    const QString path = s.fixture->dir.filePath(QStringLiteral("bus.dat"));
    s.fixture->dialogs.savePath = path;
    s.window().session().tables.Grid_data.setCell(1, 1, QStringLiteral("kWh"));
    ui.UD_addr->setValue(3);
    ui.BitBtn12->click();
    QCOMPARE(QFileInfo(path).size(), 3 * 2324);
    QVERIFY(s.fixture->logLines().contains(QStringLiteral("File was written successfully")));

    ui.UD_addr->setValue(1);
    s.window().session().tables.Grid_data.setCell(1, 1, QStringLiteral("m3"));
    s.fixture->dialogs.openPath = path;
    ui.N1->trigger();
    QCOMPARE(ui.UD_addr->value(), 3);
    QCOMPARE(s.window().session().store.cell(1, 1, 1), QStringLiteral("kWh"));

    // A cancelled dialog does nothing.
    s.fixture->dialogs.savePath.clear();
    const QStringList before = s.fixture->logLines();
    ui.N2->trigger();
    QCOMPARE(s.fixture->logLines(), before);
}

// Keys typed into the cell editors: the limits hold while typing, a full cell can be typed over,
// and what was typed reaches the saved file, the export and the logger, with the separator
// setting's comma.
void TstWindowSim::typedCellsReachFilesAndTheLogger() {
    SimWindow s(Model::Qtr8d);
    TForm1 &w = s.window();
    MainWindowUi &ui = w.ui;
    w.show();
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    ui.BitBtn27->click();
    QVERIFY(s.waitIdle());
    const StringGrid &grid = w.session().tables.Grid_data;

    const struct {
        int row;
        QString keys;
        QString kept;
    } limits[] = {{kRowPulseConstant, "1234567", "12345"},
                  {kRowInitialValue, "12345678901", "123456789"},
                  {kRowFreeText, "Nineteen characters", "Nineteen charact"}};
    for (const auto &typed : limits) {
        QLineEdit *editor = openCell(w, 3, typed.row);
        QVERIFY(editor);
        QTest::keyClicks(editor, typed.keys);
        QTest::keyClick(editor, Qt::Key_Return);
        QTRY_COMPARE(grid.cell(3, typed.row), typed.kept);
    }
    QLineEdit *full = openCell(w, 3, kRowPulseConstant);
    QTest::keyClick(full, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(full, QStringLiteral("999"));
    QTest::keyClick(full, Qt::Key_Return);
    QTRY_COMPARE(grid.cell(3, kRowPulseConstant), QStringLiteral("999"));

    // Enter pressed, then File > Save; the next text still in its open editor at the export.
    const QString dat = s.fixture->dir.filePath(QStringLiteral("typed.dat"));
    const QString csv = s.fixture->dir.filePath(QStringLiteral("typed.csv"));
    QLineEdit *text = openCell(w, 1, kRowFreeText);
    QTest::keyClicks(text, QStringLiteral("Typed5"));
    QTest::keyClick(text, Qt::Key_Return);
    QTRY_COMPARE(grid.cell(1, kRowFreeText), QStringLiteral("Typed5"));
    s.fixture->dialogs.savePath = dat;
    ui.N2->trigger();
    QVERIFY(fileBytes(dat).contains("Typed5"));
    QLineEdit *open = openCell(w, 2, kRowFreeText);
    QTest::keyClicks(open, QStringLiteral("Still open"));
    s.fixture->dialogs.savePath = csv;
    ui.BitBtn9->click();
    QVERIFY(fileBytes(csv).contains("Free text;Typed5;Still open;"));
    QTest::keyClicks(open, QStringLiteral(" too"));
    s.fixture->dialogs.savePath = dat;
    ui.BitBtn12->click();
    QVERIFY(fileBytes(dat).contains("Still open too"));

    // "5,5" with the comma as separator is 55 tenths on the logger.
    Settings settings = w.settings();
    settings.DecSeparator = QStringLiteral(",");
    w.takeSettings(settings);
    QLineEdit *initial = openCell(w, 1, kRowInitialValue);
    QTest::keyClicks(initial, QStringLiteral("5.5,5"));
    QCOMPARE(initial->text(), QStringLiteral("55,5"));
    QTest::keyClick(initial, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(initial, QStringLiteral("5,5"));
    QTest::keyClick(initial, Qt::Key_Return);
    QTRY_COMPARE(grid.cell(1, kRowInitialValue), QStringLiteral("5,5"));
    ui.Check_initial->setChecked(true);
    ui.BitBtn2->click();
    QVERIFY(s.waitIdle());
    QTRY_VERIFY(ui.BitBtn2->isEnabled());
    QCOMPARE(s.sim.logger(1).initialValue(1), 55);
    QVERIFY(s.fixture->errors.isEmpty());
}

// System > "Find loggers...", as an operator uses it: an all-settings scan finds a logger at
// the port's setting and one at 19200 Even; a double click selects the first at once, and the
// second only once the operator agrees to the new line settings, which then reach the port and
// the settings file.
void TstWindowSim::findLoggersSelectsAResult() {
    SimWindow s(Model::Qtr6d);
    QVERIFY(s.sim.removeSlave(1));
    s.sim.addSlave(11, Model::Qtr6d);
    s.sim.addSlave(12, Model::Qtr4d);
    s.sim.withLogger(12, [](LoggerModel &m) { m.setLineSettings({0, 5}); });
    TForm1 &w = s.window();
    w.ui.N12->trigger();
    FindLoggersDialog &find = *w.FormFind;
    QVERIFY(QTest::qWaitForWindowExposed(&find));
    QVERIFY(!find.isModal());
    find.SpinBox_from->setValue(11);
    find.SpinBox_to->setValue(12);
    find.SpinBox_wait->setValue(60);
    // On the button's circle: a radio button takes clicks on its circle and text only.
    QTest::mouseClick(find.Radio_all, Qt::LeftButton, {}, QPoint(8, find.Radio_all->height() / 2));
    QVERIFY(find.Radio_all->isChecked());
    QTest::mouseClick(find.Button_start, Qt::LeftButton);
    QVERIFY(!find.Button_start->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(find.Button_start->isEnabled(), 120000);
    QCOMPARE(find.Grid_found->rowCount(), 2);
    const auto row = [&find](int r) {
        QStringList cells;
        for (int c = 0; c < find.Grid_found->columnCount(); ++c)
            cells << find.Grid_found->item(r, c)->text();
        return cells.join(QLatin1Char(' '));
    };
    QCOMPARE(row(0), QStringLiteral("11 9600 None QTR-6D 12345678 6"));
    QCOMPARE(row(1), QStringLiteral("12 19200 Even QTR-4D 12345678 4"));
    QCOMPARE(SerCommScanPort(w.Comm1).lineSetting(), (LineSetting{9600, QStringLiteral("None")}));

    const auto doubleClick = [&find](int r) {
        // A double click is a click, then a second press that the system turns into one.
        const QPoint at = find.Grid_found->visualItemRect(find.Grid_found->item(r, 0)).center();
        QTest::mouseClick(find.Grid_found->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(find.Grid_found->viewport(), Qt::LeftButton, {}, at);
    };
    doubleClick(0);
    QCOMPARE(w.ui.UD_addr->value(), 11);
    QCOMPARE(w.ui.Label24->text(), QStringLiteral("Device type: QTR-6D"));
    QVERIFY(s.fixture->boxes.confirmed.isEmpty());

    s.fixture->boxes.answer = false;
    doubleClick(1);
    QCOMPARE(s.fixture->boxes.confirmed.size(), 1);
    QCOMPARE(w.ui.UD_addr->value(), 11);
    QCOMPARE(w.settings().ComSpeed, QStringLiteral("9600"));

    s.fixture->boxes.answer = true;
    doubleClick(1);
    QCOMPARE(w.ui.UD_addr->value(), 12);
    QCOMPARE(w.ui.Label24->text(), QStringLiteral("Device type: QTR-4D"));
    QCOMPARE(SerCommScanPort(w.Comm1).lineSetting(), (LineSetting{19200, QStringLiteral("Even")}));
    QSettings ini(s.fixture->settingsPath, QSettings::IniFormat);
    QCOMPARE(ini.value(QStringLiteral("Com port/Speed")).toString(), QStringLiteral("19200"));
    QCOMPARE(ini.value(QStringLiteral("Com port/Parity")).toString(), QStringLiteral("Even"));
    // The logger now answers the window's own commands.
    w.ui.BitBtn27->click();
    QVERIFY(s.waitIdle());
    QVERIFY(s.fixture->logLines().filter(QStringLiteral("No response")).isEmpty());

    // Escape closes the dialog, and a scan nobody sees any more stops with it.
    find.SpinBox_from->setValue(1);
    find.SpinBox_to->setValue(250);
    QTest::mouseClick(find.Button_start, Qt::LeftButton);
    QVERIFY(w.busScan().isRunning());
    QTest::keyClick(&find, Qt::Key_Escape);
    QVERIFY(!find.isVisible());
    QTRY_VERIFY_WITH_TIMEOUT(!w.busScan().isRunning(), 10000);
    QVERIFY(w.busScan().summary().startsWith(QStringLiteral("Scan stopped: ")));
    QVERIFY(s.fixture->errors.isEmpty());
}

// A serial gateway's address typed into Options: kept in the settings file, opened by the port
// button with its one log line, answering "Read type", and scanned at one line setting only.
void TstWindowSim::gatewayPortThroughOptions() {
    SimWindow s(Model::Qtr6d);
    QString error;
    QVERIFY2(s.sim.startTcp(0, &error), qPrintable(error));
    const QString gateway = QStringLiteral("tcp://127.0.0.1:%1").arg(s.sim.tcpPort());
    TForm1 &w = s.window();
    w.ui.BitBtn13->click();
    QVERIFY(!w.portOpen());
    w.ui.BitBtn14->click();
    TForm2 &options = *w.Form2;
    QVERIFY(QTest::qWaitForWindowActive(&options));
    QVERIFY(options.Combo_com_name->isEnabled());
    options.Combo_com_name->setFocus();
    options.Combo_com_name->lineEdit()->selectAll();
    QTest::keyClicks(options.Combo_com_name, gateway);
    options.BitBtn1->click();
    QCOMPARE(w.settings().ComName, gateway);
    QSettings ini(s.fixture->settingsPath, QSettings::IniFormat);
    QCOMPARE(ini.value(QStringLiteral("Com port/Name")).toString(), gateway);

    w.ui.BitBtn13->click();
    QVERIFY(w.portOpen());
    QCOMPARE(s.fixture->status(0), gateway + QStringLiteral(" is open"));
    QVERIFY(s.fixture->logLines().contains(QStringLiteral("Line settings are the gateway's own")));
    w.ui.BitBtn27->click();
    QVERIFY(s.waitIdle());
    QCOMPARE(w.ui.Label24->text(), QStringLiteral("Device type: QTR-6D"));

    // The gateway's line is at its own setting: an all-settings scan tries one, and tells the
    // logger's own setting, not the port's.
    s.sim.withLogger(1, [](LoggerModel &m) { m.setLineSettings({0, 5}); });
    QSignalSpy done(&w.busScan(), &BusScan::finished);
    ScanOptions all;
    all.from = 1;
    all.to = 2;
    all.settings = allLineSettings();
    QVERIFY(w.busScan().start(all));
    QVERIFY(done.wait(30000));
    QCOMPARE(w.busScan().probesTotal(), 2);
    QCOMPARE(w.busScan().found().size(), 1);
    QCOMPARE(w.busScan().found().at(0).line, (LineSetting{19200, QStringLiteral("Even")}));
    QVERIFY(s.fixture->errors.isEmpty());
}

// Each request in the received-bytes pane as it went out, before its reply, both with the time.
void TstWindowSim::sentFramesBesideTheReplies() {
    SimWindow s(Model::Qtr4d);
    QVERIFY(s.window().portOpen());
    s.fixture->fixedNow = QDateTime(QDate(2026, 6, 5), QTime(9, 8, 7, 65));
    Settings settings = s.window().settings();
    settings.LogTimestamps = true;
    settings.LogSentFrames = true;
    s.window().takeSettings(settings);
    s.window().ui.BitBtn27->click();
    QVERIFY(s.waitIdle());
    s.window().flushLogs();
    const QStringList lines =
        s.window().ui.Memo_log_uart->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QStringList sent;
    for (const QByteArray &frame : s.sim.receivedFrames())
        sent << QStringLiteral("09:08:07.065 TX ") + hexLine(frame);
    QVERIFY(!sent.isEmpty());
    QCOMPARE(lines.filter(QStringLiteral(" TX ")), sent);
    QCOMPARE(lines.first(), sent.first());
    QVERIFY(lines.at(1).startsWith(QStringLiteral("09:08:07.065 RX ")));
    QCOMPARE(lines.filter(QStringLiteral(" RX ")).size() + sent.size(), lines.size());
}

// The logger's line goes away and comes back under the same name: the port opens again by itself,
// with one line, and the logger answers.
void TstWindowSim::portReopensWhenTheDeviceReturns() {
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("logger"));
    SimWindow s(Model::Qtr4d, link);
    QVERIFY(s.started);
    QVERIFY(s.window().portOpen());
    s.sim.stop();
    QTRY_VERIFY(!s.window().portOpen());
    QVERIFY(s.sim.start(LineOptions{QString(), SerialSettings(), link}));
    QTRY_VERIFY(s.window().portOpen());
    QCOMPARE(s.fixture->status(0), link + QStringLiteral(" is open"));
    QCOMPARE(
        s.fixture->logLines().filter(link),
        (QStringList{QStringLiteral("Serial device %1 is no longer available, the port was "
                                    "closed")
                         .arg(link),
                     QStringLiteral("Serial device %1 is back, the port was reopened").arg(link)}));
    s.window().ui.BitBtn27->click();
    QVERIFY(s.waitIdle());
    QCOMPARE(s.window().ui.Label24->text(), QStringLiteral("Device type: QTR-4D"));
    QVERIFY(s.fixture->errors.isEmpty());
}

// A 2-wire adapter sends every request back. Without the option every answer fails its CRC
// check and the scan points at the option once; with it ticked in Options by keyboard, "Read
// type" recognises the logger, and a free-text write, answered with a copy of itself behind the
// echo, is taken as written.
void TstWindowSim::echoingLine() {
    SimWindow s(Model::Qtr4d, QString(), true);
    QVERIFY(s.started);
    TForm1 &w = s.window();
    w.ui.BitBtn27->click();
    QVERIFY(s.waitIdle());
    QCOMPARE(s.fixture->logLines().last(),
             QStringLiteral("Information read finished: 0 of 5 replies, 5 rejected"));
    QCOMPARE(w.ui.Label24->text(), QStringLiteral("Device type: "));

    const QString hint = QStringLiteral("The line echoes every request; switch on \"Ignore the "
                                        "echo of each request\" in Options");
    QSignalSpy scanned(&w.busScan(), &BusScan::finished);
    ScanOptions two;
    two.from = 1;
    two.to = 2;
    QVERIFY(w.busScan().start(two));
    QVERIFY(scanned.wait(30000));
    QCOMPARE(s.fixture->logLines().count(hint), 1);
    QVERIFY(w.busScan().found().isEmpty());

    w.ui.BitBtn14->click();
    TForm2 &options = *w.Form2;
    QVERIFY(QTest::qWaitForWindowActive(&options));
    // Who turns the line round is taken when the port opens, so it waits while the port is open.
    QVERIFY(!options.Combo_direction->isEnabled());
    options.Check_echo->setFocus();
    QTest::keyClick(options.Check_echo, Qt::Key_Space);
    options.BitBtn1->click();
    QVERIFY(w.settings().IgnoreEcho);
    QSettings ini(s.fixture->settingsPath, QSettings::IniFormat);
    QCOMPARE(ini.value(QStringLiteral("Com port/Echo")).toString(), QStringLiteral("1"));

    w.ui.BitBtn27->click();
    QVERIFY(s.waitIdle());
    QCOMPARE(w.ui.Label24->text(), QStringLiteral("Device type: QTR-4D"));
    QLineEdit *editor = openCell(w, 2, kRowFreeText);
    QVERIFY(editor);
    QTest::keyClicks(editor, QStringLiteral("Pump"));
    QTest::keyClick(editor, Qt::Key_Return);
    w.ui.Check_info->setChecked(true);
    w.ui.BitBtn2->click();
    QVERIFY(s.waitIdle());
    QTRY_VERIFY(w.ui.BitBtn2->isEnabled());
    QCOMPARE(s.fixture->logLines().last(), QStringLiteral("Write finished: 1 of 1 replies"));
    QCOMPARE(decodeWindows1251(s.sim.logger(1).freeText(2)), QStringLiteral("Pump"));
}

// Echo and direction saved by an earlier run are in force as soon as the window opens its port,
// without Options being opened: the driver is asked for its RS-485 mode (which a pseudo-terminal
// refuses) and "Read type" reads through the echoing line.
void TstWindowSim::savedLineOptionsHoldFromTheStart() {
    SimWindow s(Model::Qtr8d, QString(), true, QStringLiteral("Direction=1\nEcho=1\n"));
    QVERIFY(s.started);
    TForm1 &w = s.window();
    QVERIFY(s.fixture->logLines()
                .filter(QStringLiteral("The serial driver refused RS-485 mode"))
                .size() == 1);
    w.ui.BitBtn27->click();
    QVERIFY(s.waitIdle());
    QCOMPARE(w.ui.Label24->text(), QStringLiteral("Device type: QTR-8D"));
    QCOMPARE(s.fixture->logLines().last(),
             QStringLiteral("Information read finished: 5 of 5 replies"));
    QVERIFY(!w.Form2->isVisible());
}

QTEST_MAIN(TstWindowSim)
#include "tst_window_sim.moc"
