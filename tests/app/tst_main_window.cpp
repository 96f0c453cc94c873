#include "window_fixture.h"

#include "file_nodes.h"
#include "options_dialog.h"
#include "pty_pair.h"
#include "ser_comm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScrollBar>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <termios.h>

using namespace corvane;
using namespace corvane::test;
using namespace std::chrono_literals;

namespace {

QByteArray portIni(const QString &name, const QString &speed, const QString &parity, bool autoOpen,
                   int responseTime = 500) {
    return QStringLiteral("[Com port]\nName=%1\nSpeed=%2\nParity=%3\nData bits=8\nStop bits=1\n"
                          "RTS=0\nAutoOpen=%4\n[Misc]\nResponse Time=%5\n")
        .arg(name, speed, parity)
        .arg(autoOpen ? 1 : 0)
        .arg(responseTime)
        .toUtf8();
}

void setPortSettings(TForm1 &window, const QString &name, const QString &speed,
                     const QString &parity) {
    Settings s = window.settings();
    s.ComName = name;
    s.ComSpeed = speed;
    s.ComParity = parity;
    s.ComDataBits = QStringLiteral("8");
    s.ComStopBits = QStringLiteral("1");
    window.takeSettings(s);
}

} // namespace

class TstMainWindow : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void startsWithDefaultsWithoutSettingsFile();
    void specialSettingsFileLeftAlone_data();
    void specialSettingsFileLeftAlone();
    void responseTimeReachesEveryWindow();
    void autoOpenOpensThePortAtStart();
    void unusablePortGivesMessageAndClosedState_data();
    void unusablePortGivesMessageAndClosedState();
    void settingsAppliedToOpenedPort();
    void unlistedSpeedKeepsThePreviousOne();
    void portClosesThroughButtonAndOnExit();
    void vanishedDeviceClosesThePort();
    void optionsDialogGreysPortFieldsWhileOpen();
    void optionsApplyWritesAndTakesOver();
    void optionsApplyRefusesUnusableFields_data();
    void optionsApplyRefusesUnusableFields();
    void optionsCancelAndStartWithWindows();
    void optionsFirstActivationRewritesAutostart();
    void exitAsksFirstToolbarClosesAtOnce();
    void selectorRoundTripKeepsTexts();
    void everyTypedShowAndEntryHasItsControl();
    void logPanesFollowAndClockFits();
    void manualOpensBesideTheProgram_data();
    void manualOpensBesideTheProgram();
};

void TstMainWindow::startsWithDefaultsWithoutSettingsFile() {
    WindowFixture f;
    const Settings &s = f.window->settings();
    QVERIFY(s.ComName.isEmpty());
    QVERIFY(s.ComSpeed.isEmpty());
    QCOMPARE(s.DecSeparator, QStringLiteral("."));
    QCOMPARE(s.ExportSeparator, QStringLiteral(";"));
    QCOMPARE(f.window->session().runner.responseTime(), 500ms);
    QVERIFY(!f.window->portOpen());
    QCOMPARE(f.window->ui.Label24->text(), QStringLiteral("Device type: "));
    QCOMPARE(f.window->ui.Edit_addr->text(), QStringLiteral("1"));
    QVERIFY(!f.window->ui.GroupBox1->isEnabled());
    QVERIFY(!f.window->ui.GroupBox2->isEnabled());
    QVERIFY(f.window->ui.GroupBox4->isHidden());
    QCOMPARE(f.window->windowTitle(), QStringLiteral("Corvane for QTR-8D/6D/4D"));
    QCOMPARE(f.window->ui.control(QStringLiteral("ClientArea"))->size(), QSize(1017, 626));
    QVERIFY(f.window->clockTimer().isActive());
    QVERIFY(f.errors.isEmpty());
}

// A FIFO would block the start-up; a device must not become a plain file on Apply.
void TstMainWindow::specialSettingsFileLeftAlone_data() {
    QTest::addColumn<QString>("kind");
    for (const QString &kind : specialFileKinds())
        QTest::newRow(qPrintable(kind)) << kind;
}

void TstMainWindow::specialSettingsFileLeftAlone() {
    QFETCH(QString, kind);
    if (!canMakeSpecialFile(kind))
        QSKIP("Only root can make a device node");
    WindowFixture f(QByteArray(), [&kind](const QString &path) { makeSpecialFile(kind, path); });
    QCOMPARE(specialFileKind(f.settingsPath), kind);
    QCOMPARE(f.window->settings(), Settings());
    QCOMPARE(f.window->session().runner.responseTime(), 500ms);
    QVERIFY(f.errors.isEmpty());

    TForm2 &d = *f.window->Form2;
    d.show();
    d.LoadOptions();
    d.Edit_export->setText(QStringLiteral(","));
    d.BitBtn1Click();
    QCOMPARE(f.errors, QStringList{"Unable to write to " + f.settingsPath});
    QVERIFY(d.isVisible());
    QCOMPARE(f.window->settings().ExportSeparator, QStringLiteral(";"));
    QCOMPARE(specialFileKind(f.settingsPath), kind);
}

void TstMainWindow::responseTimeReachesEveryWindow() {
    WindowFixture f("[Misc]\nResponse Time=2500\n");
    QCOMPARE(f.window->session().runner.responseTime(), 2500ms);
    QCOMPARE(f.window->servicePage().responseServiceTimer().intervalAsDuration(), 2500ms);
    f.window->Form2->LoadOptions();
    QCOMPARE(f.window->Form2->Edit_response_time->text(), QStringLiteral("2500"));

    WindowFixture hex("[Misc]\nResponse Time=0x3E8\n");
    QCOMPARE(hex.window->session().runner.responseTime(), 1000ms);
    WindowFixture junk("[Misc]\nResponse Time=soon\n");
    QCOMPARE(junk.window->session().runner.responseTime(), 500ms);
}

void TstMainWindow::autoOpenOpensThePortAtStart() {
    PtyPair pty;
    QVERIFY(pty.isValid());
    WindowFixture f(portIni(pty.path(), QStringLiteral("9600"), QStringLiteral("None"), true));
    QVERIFY(f.window->portOpen());
    QVERIFY(f.window->Comm1.IsOpen());
    QCOMPARE(f.status(0), pty.path() + QStringLiteral(" is open"));
}

// Names in the table that are made by the test: a pty held by another opener, a regular file
// and a FIFO in a scratch folder.
void TstMainWindow::unusablePortGivesMessageAndClosedState_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("reason");
    QTest::newRow("no settings") << QString() << QStringLiteral("no port name is set");
    QTest::newRow("missing device")
        << QStringLiteral("/dev/corvane-no-such-port") << QStringLiteral("not found");
    QTest::newRow("busy device") << QStringLiteral("busy") << QStringLiteral("busy");
    const QString notSerial = QStringLiteral("not a serial device");
    QTest::newRow("regular file") << QStringLiteral("file") << notSerial;
    QTest::newRow("null device") << QStringLiteral("/dev/null") << notSerial;
    QTest::newRow("FIFO") << QStringLiteral("fifo") << notSerial;
}

void TstMainWindow::unusablePortGivesMessageAndClosedState() {
    QFETCH(QString, name);
    QFETCH(QString, reason);
    PtyPair pty;
    TSerComm holder;
    QTemporaryDir scratch;
    if (name == QLatin1String("busy")) {
        name = pty.path();
        holder.SetDeviceName(name);
        holder.OpenPort();
    } else if (name == QLatin1String("file")) {
        name = scratch.filePath(name);
        QFile file(name);
        QVERIFY(file.open(QIODevice::WriteOnly));
    } else if (name == QLatin1String("fifo")) {
        name = scratch.filePath(name);
        QCOMPARE(::mkfifo(QFile::encodeName(name).constData(), 0600), 0);
    }
    WindowFixture f;
    setPortSettings(*f.window, name, QStringLiteral("9600"), QStringLiteral("None"));
    if (name.isEmpty())
        setPortSettings(*f.window, QString(), QString(), QString());
    f.window->BitBtn13Click();
    QCOMPARE(f.boxes.informed,
             QStringList{QStringLiteral("Corvane: This COM port is used by another program or "
                                        "does not exists!")});
    QCOMPARE(f.status(0), name + QStringLiteral(" is closed"));
    const QString port = name.isEmpty() ? QStringLiteral("Port") : QStringLiteral("Port ") + name;
    QCOMPARE(f.logLines(), QStringList{port + QStringLiteral(" could not be opened: ") + reason});
    QVERIFY(!f.window->portOpen());
    QVERIFY(!f.window->Comm1.IsOpen());
    QVERIFY(f.errors.isEmpty());
}

void TstMainWindow::settingsAppliedToOpenedPort() {
    PtyPair pty;
    WindowFixture f;
    setPortSettings(*f.window, pty.path(), QStringLiteral("19200"), QStringLiteral("Even"));
    f.window->BitBtn13Click();
    QVERIFY(f.window->portOpen());
    QCOMPARE(f.status(0), pty.path() + QStringLiteral(" is open"));
    QCOMPARE(pty.speed(), 19200u);
    QCOMPARE(f.window->Comm1.Parity(), paEven);
    QCOMPARE(f.window->Comm1.Databits(), db8);
    QCOMPARE(f.window->Comm1.Stopbits(), sb1);
    QVERIFY(!(pty.settings().c_cflag & CSTOPB));

    // A speed that is not a number: the conversion error, and the port is not left open.
    f.window->BitBtn13Click();
    PtyPair other;
    setPortSettings(*f.window, other.path(), QStringLiteral("fast"), QStringLiteral("Even"));
    f.window->BitBtn13Click();
    QCOMPARE(f.errors, QStringList{QStringLiteral("'fast' is not a valid integer value")});
    QVERIFY(!f.window->portOpen());
    QVERIFY(!f.window->Comm1.IsOpen());
    QCOMPARE(f.status(0), other.path() + QStringLiteral(" is closed"));
}

void TstMainWindow::unlistedSpeedKeepsThePreviousOne() {
    PtyPair pty;
    WindowFixture f;
    setPortSettings(*f.window, pty.path(), QStringLiteral("9600"), QStringLiteral("None"));
    f.window->BitBtn13Click();
    f.window->BitBtn13Click();
    setPortSettings(*f.window, pty.path(), QStringLiteral("57600"), QStringLiteral("none"));
    f.window->BitBtn13Click();
    QVERIFY(f.window->portOpen());
    QCOMPARE(pty.speed(), 9600u);
    QCOMPARE(f.window->Comm1.Parity(), paNone);
}

void TstMainWindow::portClosesThroughButtonAndOnExit() {
    PtyPair pty;
    WindowFixture f;
    setPortSettings(*f.window, pty.path(), QStringLiteral("9600"), QStringLiteral("None"));
    f.window->BitBtn13Click();
    f.window->BitBtn13Click();
    QCOMPARE(f.status(0), pty.path() + QStringLiteral(" is closed"));
    QVERIFY(!f.window->Comm1.IsOpen());

    f.window->BitBtn13Click();
    QVERIFY(f.window->portOpen());
    f.window->show();
    f.window->BitBtn17Click();
    QVERIFY(!f.window->portOpen());
    QVERIFY(!f.window->Comm1.IsOpen());
    QCOMPARE(f.status(0), pty.path() + QStringLiteral(" is closed"));
    // Released: another opener gets the device now.
    TSerComm other;
    other.SetDeviceName(pty.path());
    other.OpenPort();
    QVERIFY(other.IsOpen());
}

// An adapter pulled out while the port is open: said once, the port released, and a later open
// of the device that came back works.
void TstMainWindow::vanishedDeviceClosesThePort() {
    WindowFixture f;
    auto pty = std::make_unique<PtyPair>();
    const QString path = pty->path();
    setPortSettings(*f.window, path, QStringLiteral("9600"), QStringLiteral("None"));
    f.window->BitBtn13Click();
    QVERIFY(f.window->portOpen());
    pty->closeMaster();
    QTRY_VERIFY(!f.window->portOpen());
    QVERIFY(!f.window->Comm1.IsOpen());
    QCOMPARE(f.status(0), path + QStringLiteral(" is closed"));
    QCOMPARE(f.logLines().filter(QStringLiteral("no longer available")).size(), 1);

    PtyPair again;
    setPortSettings(*f.window, again.path(), QStringLiteral("9600"), QStringLiteral("None"));
    f.window->BitBtn13Click();
    QVERIFY(f.window->portOpen());
    QVERIFY(f.errors.isEmpty());
}

void TstMainWindow::optionsDialogGreysPortFieldsWhileOpen() {
    PtyPair pty;
    WindowFixture f;
    setPortSettings(*f.window, pty.path(), QStringLiteral("9600"), QStringLiteral("None"));
    TForm2 &d = *f.window->Form2;
    d.LoadOptions();
    QVERIFY(d.Combo_com_name->isEnabled());
    f.window->BitBtn13Click();
    d.LoadOptions();
    for (QWidget *w : std::initializer_list<QWidget *>{
             d.Combo_com_name, d.Combo_com_speed, d.Combo_com_parity, d.Combo_com_databits,
             d.Combo_com_sbits, d.Check_rts, d.Check_auto_open})
        QVERIFY2(!w->isEnabled(), qPrintable(w->objectName()));
    QVERIFY(d.Edit_export->isEnabled());
    QCOMPARE(d.Combo_com_name->currentText(), pty.path());
    QCOMPARE(d.Combo_com_name->itemText(0), QStringLiteral("COM1"));
    QCOMPARE(d.Combo_com_name->itemText(7), QStringLiteral("COM8"));
}

void TstMainWindow::optionsApplyWritesAndTakesOver() {
    WindowFixture f("; kept\n[Other]\nx=1\n");
    TForm2 &d = *f.window->Form2;
    d.show();
    d.LoadOptions();
    d.Combo_com_name->setEditText(QStringLiteral("/dev/ttyUSB0"));
    d.Combo_com_speed->setEditText(QStringLiteral("57600"));
    d.Combo_com_parity->setEditText(QStringLiteral("Even"));
    d.Combo_com_databits->setEditText(QStringLiteral("7"));
    d.Combo_com_sbits->setEditText(QStringLiteral("2"));
    d.Check_auto_open->setChecked(true);
    d.Edit_dec_separator->setText(QStringLiteral(","));
    d.Edit_export->setText(QStringLiteral(","));
    d.UD_response_time->setValue(1200);
    d.BitBtn1Click();
    QVERIFY(d.isHidden());

    const Settings &s = f.window->settings();
    QCOMPARE(s.ComName, QStringLiteral("/dev/ttyUSB0"));
    QCOMPARE(s.ComSpeed, QStringLiteral("57600"));
    QCOMPARE(s.DecSeparator, QStringLiteral(","));
    QCOMPARE(s.ResponseTime, 1200);
    QVERIFY(s.OpenAtStart);
    QCOMPARE(f.window->session().runner.responseTime(), 1200ms);
    QCOMPARE(f.window->servicePage().responseServiceTimer().intervalAsDuration(), 1200ms);

    QFile file(f.settingsPath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString written = QString::fromUtf8(file.readAll());
    QVERIFY(written.startsWith(QStringLiteral("; kept\n[Other]\nx=1\n")));
    const QStringList keys{
        QStringLiteral("Name=/dev/ttyUSB0"),  QStringLiteral("Speed=57600"),
        QStringLiteral("Parity=Even"),        QStringLiteral("Data bits=7"),
        QStringLiteral("Stop bits=2"),        QStringLiteral("RTS=0"),
        QStringLiteral("AutoOpen=1"),         QStringLiteral("AutoLoad=0"),
        QStringLiteral("AutoRead=0"),         QStringLiteral("Separator=,"),
        QStringLiteral("Export separator=,"), QStringLiteral("Response Time=1200")};
    qsizetype at = 0;
    for (const QString &key : keys) {
        const qsizetype found = written.indexOf(key, at);
        QVERIFY2(found >= 0, qPrintable(key));
        at = found;
    }
}

void TstMainWindow::optionsApplyRefusesUnusableFields_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("message");
    QTest::newRow("no decimal separator") << "Edit_dec_separator"
                                          << ""
                                          << "Decimal separator: enter exactly one character.";
    QTest::newRow("no export separator") << "Edit_export"
                                         << ""
                                         << "Export separator: enter one character.";
    QTest::newRow("speed in words") << "Combo_com_speed"
                                    << "fast"
                                    << "Speed, bps: 'fast' is not a whole number of bits per "
                                       "second.";
    QTest::newRow("speed with a fraction") << "Combo_com_speed"
                                           << "9600.5"
                                           << "Speed, bps: '9600.5' is not a whole number of "
                                              "bits per second.";
}

// Nothing is written or taken over, and the dialog stays open for the correction.
void TstMainWindow::optionsApplyRefusesUnusableFields() {
    QFETCH(QString, field);
    QFETCH(QString, typed);
    QFETCH(QString, message);
    const QByteArray ini =
        portIni(QStringLiteral("COM1"), QStringLiteral("9600"), QStringLiteral("None"), false);
    WindowFixture f(ini);
    const Settings before = f.window->settings();
    TForm2 &d = *f.window->Form2;
    d.show();
    d.LoadOptions();
    if (auto *edit = d.findChild<QLineEdit *>(field))
        edit->setText(typed);
    else
        d.findChild<QComboBox *>(field)->setEditText(typed);
    d.BitBtn1Click();
    QCOMPARE(f.errors, QStringList{message + QStringLiteral(" The settings were not changed.")});
    QVERIFY(d.isVisible());
    QVERIFY(f.window->settings() == before);
    QFile file(f.settingsPath);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), ini);
}

void TstMainWindow::optionsCancelAndStartWithWindows() {
    WindowFixture f("[Misc]\nAutoLoad=0\n");
    TForm2 &d = *f.window->Form2;
    d.LoadOptions();
    d.Edit_export->setText(QStringLiteral("|"));
    d.Check_autoload->setChecked(true);
    const QString entry = f.services.autostartEntryPath;
    QVERIFY(QFileInfo::exists(entry));
    d.BitBtn2Click();
    QCOMPARE(f.window->settings().ExportSeparator, QStringLiteral(";"));
    QVERIFY(QFileInfo::exists(entry));
    QFile ini(f.settingsPath);
    QVERIFY(ini.open(QIODevice::ReadOnly));
    QCOMPARE(ini.readAll(), QByteArray("[Misc]\nAutoLoad=0\n"));

    // The next activation shows the stored state again, and unchecking removes the entry.
    d.LoadOptions();
    QVERIFY(!d.Check_autoload->isChecked());
    QVERIFY(!QFileInfo::exists(entry));
}

void TstMainWindow::optionsFirstActivationRewritesAutostart() {
    WindowFixture f("[Misc]\nAutoLoad=1\n");
    const QString entry = f.services.autostartEntryPath;
    QVERIFY(!QFileInfo::exists(entry));
    f.window->Form2->LoadOptions();
    QVERIFY(f.window->Form2->Check_autoload->isChecked());
    QFile file(entry);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().contains(QFile::encodeName(f.services.executablePath)));
}

void TstMainWindow::exitAsksFirstToolbarClosesAtOnce() {
    WindowFixture f;
    f.window->show();
    f.boxes.answer = false;
    f.window->N3Click();
    QCOMPARE(f.boxes.confirmed,
             QStringList{QStringLiteral("Exit confirmation: This will close the program, any "
                                        "unsaved data will be lost, are you sure?")});
    QVERIFY(f.window->isVisible());
    f.boxes.answer = true;
    f.window->N3Click();
    QVERIFY(!f.window->isVisible());

    WindowFixture g;
    g.window->show();
    g.window->BitBtn17Click();
    QVERIFY(!g.window->isVisible());
    QVERIFY(g.boxes.confirmed.isEmpty());
}

void TstMainWindow::selectorRoundTripKeepsTexts() {
    WindowFixture f;
    DeviceSession &s = f.window->session();
    s.store.setModel(2, QStringLiteral("QTR-4D"));
    s.tables.Grid_data.setCell(1, 1, QStringLiteral("kWh"));
    s.tables.Grid_data.setCell(3, 4, QStringLiteral("a text longer than sixteen"));
    f.window->ui.UD_addr->setValue(2);
    QCOMPARE(f.window->ui.Edit_addr->text(), QStringLiteral("2"));
    QCOMPARE(f.window->ui.Label24->text(), QStringLiteral("Device type: QTR-4D"));
    QCOMPARE(s.tables.Grid_data.gridColumnCount(), 5);
    QVERIFY(f.window->ui.GroupBox1->isEnabled());
    QCOMPARE(s.tables.Grid_data.cell(1, 1), QString());
    f.window->ui.UD_addr->setValue(1);
    QCOMPARE(s.tables.Grid_data.cell(1, 1), QStringLiteral("kWh"));
    QCOMPARE(s.tables.Grid_data.cell(3, 4), QStringLiteral("a text longer th"));
    QCOMPARE(s.store.HighestAddress, 2);

    f.window->ui.UD_addr->setValue(0);
    QCOMPARE(f.window->ui.UD_addr->value(), 1);
    f.window->ui.UD_addr->setValue(251);
    QCOMPARE(f.window->ui.UD_addr->value(), 250);
    f.window->ui.UD_addr->stepUp();
    QCOMPARE(f.window->ui.UD_addr->value(), 250);
}

// A misspelt object name would drop a value without a word: every show of the typed view
// lands in a control of the right kind, and every entry the core reads exists.
void TstMainWindow::everyTypedShowAndEntryHasItsControl() {
    WindowFixture f;
    TForm1 &w = *f.window;
    QTest::failOnWarning(QRegularExpression(QStringLiteral("No .*control named")));
    w.showModel(QStringLiteral("QTR-6D"));
    w.showIdentification(QStringLiteral("id"));
    w.showClock(QStringLiteral("12:34"), QStringLiteral("05.06.2026"));
    w.showBattery(QStringLiteral("3.6 V"));
    w.showInputStatus(0xa5);
    w.showMenuCode(QStringLiteral("1234"));
    w.showPulseLength(QStringLiteral("40 ms"));
    w.showLanguage(QStringLiteral("English"));
    w.showLockState(true);
    w.showInfoAddress(7);
    w.enableModelPages();
    w.showPasswordRefused();
    w.showServicePageOpen();
    for (auto command :
         {DeviceView::Command::Read, DeviceView::Command::Write, DeviceView::Command::Counters,
          DeviceView::Command::Flow, DeviceView::Command::DeviceInfo}) {
        QWidget *button = w.ui.control(NamedControlsView::buttonName(command));
        QVERIFY(qobject_cast<QAbstractButton *>(button));
        w.setCommandEnabled(command, false);
        QVERIFY(!button->isEnabled());
        w.setCommandEnabled(command, true);
    }
    using Field = ControlReader::Field;
    for (Field field :
         {Field::DeviceId, Field::Speed, Field::Parity, Field::MenuCode, Field::InputCount,
          Field::Polarity, Field::NewAddress, Field::PulseLength}) {
        QWidget *entry = w.ui.control(NamedControlReader::fieldName(field));
        QVERIFY2(qobject_cast<QLineEdit *>(entry) || qobject_cast<QComboBox *>(entry),
                 qPrintable(NamedControlReader::fieldName(field)));
    }
    using Group = ControlReader::WriteGroup;
    for (Group group : {Group::Unit, Group::Constant, Group::User, Group::FreeText, Group::Tariffs,
                        Group::Initial}) {
        auto *box =
            qobject_cast<QCheckBox *>(w.ui.control(NamedControlReader::checkBoxName(group)));
        QVERIFY(box);
        box->setChecked(true);
        QVERIFY(w.isChecked(group));
    }
    QCOMPARE(w.text(Field::MenuCode), QStringLiteral("1234"));
    QCOMPARE(w.ui.Label24->text(), QStringLiteral("Device type: QTR-6D"));
}

// The received-bytes pane keeps its newest line in view once long lines bring a horizontal scroll
// bar, and stops following only while the operator has scrolled up. The status bar's clock shows
// its whole text, also in a long format.
void TstMainWindow::logPanesFollowAndClockFits() {
    WindowFixture f;
    f.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(f.window.get()));
    QScrollBar *bar = f.window->ui.Memo_log_uart->verticalScrollBar();
    const QString longLine = QStringLiteral("01h 03h 20h ").repeated(20);
    for (int i = 0; i < 30; ++i)
        f.window->traffic(longLine);
    f.window->flushLogs();
    QTRY_VERIFY(f.window->ui.Memo_log_uart->horizontalScrollBar()->isVisible());
    QVERIFY(bar->maximum() > 0);
    QCOMPARE(bar->value(), bar->maximum());
    bar->setValue(3);
    f.window->traffic(longLine);
    f.window->flushLogs();
    QCOMPARE(bar->value(), 3);
    bar->setValue(bar->maximum());
    f.window->traffic(longLine);
    QCOMPARE(f.window->ui.Memo_log_uart->blockCount(), 31); // gathered, not yet shown
    f.window->flushLogs();
    QCOMPARE(f.window->ui.Memo_log_uart->blockCount(), 32);
    QCOMPARE(bar->value(), bar->maximum());

    const QString clock = QStringLiteral("            12:24:52 PM CEST,   Wed 7 Dec 2026");
    f.window->setStatus(StatusPanel::Clock, clock);
    QLabel *panel = f.window->ui.statusPanels[StatusPanel::Clock];
    QTRY_VERIFY2(panel->width() >= panel->fontMetrics().horizontalAdvance(clock),
                 qPrintable(QString::number(panel->width())));
    QCOMPARE(f.window->ui.statusPanels[StatusPanel::Port]->width(), 300);
}

void TstMainWindow::manualOpensBesideTheProgram_data() {
    QTest::addColumn<QByteArray>("xdgOpen"); // the script on PATH; none when null
    QTest::addColumn<QString>("message");    // %1 is the manual's path
    QTest::newRow("opened") << QByteArray("exit 0") << QString();
    QTest::newRow("no xdg-open") << QByteArray()
                                 << "Corvane: No program to open PDF files was found (xdg-open "
                                    "is not installed). The user manual is %1";
    QTest::newRow("no PDF viewer")
        << QByteArray("exit 3")
        << "Corvane: No program to open PDF files was found. The user manual is %1";
}

// The real opener, with xdg-open played by a script, answers through a message box.
void TstMainWindow::manualOpensBesideTheProgram() {
    QFETCH(QByteArray, xdgOpen);
    QFETCH(QString, message);
    WindowFixture f;
    QTemporaryDir bin;
    if (!xdgOpen.isNull()) {
        QFile script(bin.filePath(QStringLiteral("xdg-open")));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\n" + xdgOpen + "\n");
        script.close();
        script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
    }
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QFile::encodeName(bin.path()));
    const auto restore = qScopeGuard([&] { qputenv("PATH", path); });
    DesktopUrlOpener desktop;
    f.opener.forward = &desktop;
    f.window->BitBtn15Click();
    const QString manual = f.dir.filePath(QStringLiteral("UsrMan.pdf"));
    QCOMPARE(f.opener.opened, QStringList{manual});
    QTRY_VERIFY(desktop.findChildren<QProcess *>().isEmpty());
    QCOMPARE(f.boxes.informed,
             message.isEmpty() ? QStringList() : QStringList{message.arg(manual)});
}

QTEST_MAIN(TstMainWindow)
#include "tst_main_window.moc"
