#include "window_fixture.h"

#include "file_nodes.h"
#include "options_dialog.h"
#include "pty_pair.h"
#include "ser_comm.h"

#include <QAccessible>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QTabBar>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

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

bool showActive(TForm1 &window) {
    window.show();
    window.activateWindow();
    return QTest::qWaitForWindowActive(&window);
}

// Addresses 1 to 3 with a known model, 1 selected: the first page's buttons can be pressed.
void knowModels(TForm1 &window) {
    for (int address = 1; address <= 3; ++address)
        window.session().store.setModel(address, QStringLiteral("QTR-4D"));
    window.ui.UD_addr->setValue(2);
    window.ui.UD_addr->setValue(1);
}

// The control the operator sees as focused: a combo box or a spin box rather than its line
// edit, the page control rather than its tab bar.
QWidget *focusedControl(const TForm1 &window) {
    QWidget *focused = window.focusWidget();
    QWidget *parent = focused ? focused->parentWidget() : nullptr;
    if (qobject_cast<QComboBox *>(parent) || qobject_cast<QAbstractSpinBox *>(parent) ||
        qobject_cast<QTabWidget *>(parent))
        return parent;
    return focused;
}

QByteArray fileBytes(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QString kExitQuestion = QStringLiteral("Exit confirmation: This will close the program, any "
                                             "unsaved data will be lost, are you sure?");

} // namespace

class TstMainWindow : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void startsWithDefaultsWithoutSettingsFile();
    void specialSettingsFileLeftAlone_data();
    void specialSettingsFileLeftAlone();
    void responseTimeReachesEveryWindow();
    void autoOpenWaitsForTheWindow();
    void unusablePortGivesMessageAndClosedState_data();
    void unusablePortGivesMessageAndClosedState();
    void permissionDeniedTellsOnceHowToJoinDialout();
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
    void optionsPortListFollowsTheDevices();
    void exitAsksFirstToolbarClosesAtOnce();
    void selectorRoundTripKeepsTexts();
    void everyTypedShowAndEntryHasItsControl();
    void logsSavedAndCleared();
    void logLineOptions_data();
    void logLineOptions();
    void logPanesFollowAndClockFits();
    void manualOpensBesideTheProgram_data();
    void manualOpensBesideTheProgram();
    void windowResizesAroundItsTables();
    void tabFollowsTheLayoutIntoView();
    void typedAddress_data();
    void typedAddress();
    void keysRunTheirCommands();
    void everyFieldIsNamedByItsLabel();
    void windowPlaceKeptAcrossRuns();
    void windowPlaceNonsenseIgnored_data();
    void windowPlaceNonsenseIgnored();
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

// The port opens once the window is up, so that a port that cannot be opened has its message
// box over the window rather than before it.
void TstMainWindow::autoOpenWaitsForTheWindow() {
    PtyPair pty;
    QVERIFY(pty.isValid());
    WindowFixture f(portIni(pty.path(), QStringLiteral("9600"), QStringLiteral("None"), true));
    f.window->show();
    QTRY_VERIFY(f.window->portOpen());
    QVERIFY(f.window->Comm1.IsOpen());
    QCOMPARE(f.status(0), pty.path() + QStringLiteral(" is open"));

    WindowFixture g(portIni(QStringLiteral("/dev/corvane-no-such-port"), QStringLiteral("9600"),
                            QStringLiteral("None"), true));
    QVERIFY(g.boxes.informed.isEmpty());
    g.window->show();
    QTRY_COMPARE(g.boxes.informed,
                 QStringList{QStringLiteral("Corvane: This COM port is used by another program "
                                            "or does not exists!")});
    QVERIFY(!g.window->portOpen());
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
    QTest::newRow("gateway refusing")
        << QStringLiteral("tcp://127.0.0.1:1") << QStringLiteral("connection refused");
    QTest::newRow("gateway without port")
        << QStringLiteral("tcp://127.0.0.1")
        << QStringLiteral("no port number after the host (tcp://HOST:PORT)");
    QTest::newRow("gateway port too high")
        << QStringLiteral("tcp://127.0.0.1:70000") << QStringLiteral("the port must be 1 to 65535");
    QTest::newRow("gateway without host")
        << QStringLiteral("tcp://:4001")
        << QStringLiteral("no host before the port (tcp://HOST:PORT)");
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

// A sysfs file without a write routine refuses a read-write open with EACCES, even to root,
// which no chmod can make a test do.
void TstMainWindow::permissionDeniedTellsOnceHowToJoinDialout() {
    const QString name = QStringLiteral("/sys/devices/system/cpu/online");
    const int fd = ::open(QFile::encodeName(name).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    const int error = errno;
    if (fd >= 0)
        ::close(fd);
    if (fd >= 0 || error != EACCES)
        QSKIP("No file here refuses a read-write open with EACCES");
    WindowFixture f;
    setPortSettings(*f.window, name, QStringLiteral("9600"), QStringLiteral("None"));
    const QString denied = QStringLiteral("Port ") + name +
                           QStringLiteral(" could not be opened: permission denied; the user must "
                                          "be a member of the 'dialout' group (log in again "
                                          "after adding it)");
    f.window->BitBtn13Click();
    QCOMPARE(f.logLines(), (QStringList{denied, QStringLiteral("To join the 'dialout' group: sudo "
                                                               "usermod -aG dialout $USER, then "
                                                               "log out and in again")}));
    f.window->BitBtn13Click();
    QCOMPARE(f.logLines().mid(2), QStringList{denied});
    QCOMPARE(f.boxes.informed.size(), 2);
    QVERIFY(!f.window->portOpen());
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

    // The driver's RS-485 mode asked of a pseudo-terminal, which has none: the port opens all
    // the same, keyed by RTS, and one line says so.
    PtyPair plain;
    setPortSettings(*f.window, plain.path(), QStringLiteral("9600"), QStringLiteral("None"));
    Settings s = f.window->settings();
    s.LineDirection = 1;
    f.window->takeSettings(s);
    const qsizetype before = f.logLines().size();
    f.window->BitBtn13Click();
    QVERIFY(f.window->portOpen());
    QVERIFY(f.window->Comm1.keysRts());
    const QStringList added = f.logLines().mid(before);
    QCOMPARE(added.size(), 1);
    QVERIFY2(added.front().startsWith(QLatin1String("The serial driver refused RS-485 mode (")) &&
                 added.front().endsWith(QLatin1String("): Corvane keys RTS itself")),
             qPrintable(added.front()));
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

// A USB adapter plugged in while the dialog was closed is offered the next time it opens, under
// its by-id name and the device it leads to; chosen, its by-id name is what is kept and opened.
void TstMainWindow::optionsPortListFollowsTheDevices() {
    PtyPair pty;
    QTemporaryDir byId;
    QTemporaryDir dev;
    WindowFixture f;
    TForm2 &d = *f.window->Form2;
    d.setDeviceFolders({byId.path(), dev.path()});
    d.show();
    QCOMPARE(d.Combo_com_name->count(), 8);
    d.hide();

    const QString link = byId.filePath(QStringLiteral("usb-FTDI_FT232R_USB_UART_A1-if00-port0"));
    QVERIFY(QFile::link(pty.path(), link));
    QVERIFY(QFile::link(byId.filePath(QStringLiteral("gone")), byId.filePath(QStringLiteral("x"))));
    d.show();
    d.LoadOptions();
    QCOMPARE(d.Combo_com_name->count(), 9);
    QCOMPARE(d.Combo_com_name->itemText(8), link + QStringLiteral(" (%1)").arg(pty.number()));
    d.Combo_com_name->setCurrentIndex(8);
    QCOMPARE(d.Combo_com_name->currentText(), link);
    d.Combo_com_speed->setEditText(QStringLiteral("9600"));
    d.BitBtn1Click();
    QCOMPARE(f.window->settings().ComName, link);
    f.window->BitBtn13Click();
    QVERIFY(f.window->portOpen());
    QCOMPARE(f.status(0), link + QStringLiteral(" is open"));
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

    // The title bar's close box leaves as the toolbar button does: at once, the port closed.
    PtyPair pty;
    WindowFixture h;
    setPortSettings(*h.window, pty.path(), QStringLiteral("9600"), QStringLiteral("None"));
    h.window->BitBtn13Click();
    QVERIFY(showActive(*h.window));
    QCloseEvent titleBarClose;
    QCoreApplication::sendEvent(h.window->windowHandle(), &titleBarClose);
    QVERIFY(!h.window->isVisible());
    QVERIFY(h.boxes.confirmed.isEmpty());
    QVERIFY(!h.window->Comm1.IsOpen());
    QCOMPARE(h.status(0), pty.path() + QStringLiteral(" is closed"));
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

// Both panes into one UTF-8 file, through the File menu; a place that cannot take a file is
// reported and leaves nothing behind; "Clear logs" empties both panes.
void TstMainWindow::logsSavedAndCleared() {
    WindowFixture f;
    f.window->log(QStringLiteral("Reading device No. 1..."));
    f.window->log(QStringLiteral("Вода 2"));
    f.window->traffic(QStringLiteral("01h 03h 04h "));
    f.dialogs.savePath = f.dir.filePath(QStringLiteral("logs.txt"));
    f.window->ui.N13->trigger();
    QFile saved(f.dialogs.savePath);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(saved.readAll()),
             QStringLiteral("Operator log\nReading device No. 1...\nВода 2\n\n"
                            "Received bytes\n01h 03h 04h \n"));
    QVERIFY(f.errors.isEmpty());

    f.dialogs.savePath = f.dir.path();
    f.window->ui.N13->trigger();
    QCOMPARE(f.errors.size(), 1);
    QVERIFY2(f.errors.first().contains(f.dir.path()), qPrintable(f.errors.first()));

    f.window->ui.N14->trigger();
    f.window->flushLogs();
    QVERIFY(f.window->ui.Memo_log->toPlainText().isEmpty());
    QVERIFY(f.window->ui.Memo_log_uart->toPlainText().isEmpty());
}

// The log options as Options applies them. Both boxes off and no limit leave the lines exactly
// as given; an empty line, which ends a reply, stays empty.
void TstMainWindow::logLineOptions_data() {
    QTest::addColumn<bool>("time");
    QTest::addColumn<bool>("sent");
    QTest::addColumn<int>("limit");
    QTest::addColumn<QString>("operatorLog");
    QTest::addColumn<QString>("trafficLog");
    QTest::newRow("as designed") << false << false << 0 << "one\ntwo\nthree"
                                 << "01h 03h \n\n04h ";
    QTest::newRow("time") << true << false << 0
                          << "09:08:07.065 one\n09:08:07.065 two\n09:08:07.065 three"
                          << "09:08:07.065 01h 03h \n\n09:08:07.065 04h ";
    QTest::newRow("received marked") << false << true << 0 << "one\ntwo\nthree"
                                     << "RX 01h 03h \n\nRX 04h ";
    QTest::newRow("both, two lines kept")
        << true << true << 2 << "09:08:07.065 two\n09:08:07.065 three"
        << "\n09:08:07.065 RX 04h ";
}

void TstMainWindow::logLineOptions() {
    QFETCH(bool, time);
    QFETCH(bool, sent);
    QFETCH(int, limit);
    QFETCH(QString, operatorLog);
    QFETCH(QString, trafficLog);
    WindowFixture f;
    f.fixedNow = QDateTime(QDate(2026, 6, 5), QTime(9, 8, 7, 65));
    TForm2 &d = *f.window->Form2;
    d.show();
    d.LoadOptions();
    d.Check_log_time->setChecked(time);
    d.Check_log_sent->setChecked(sent);
    d.UD_log_lines->setValue(limit);
    d.BitBtn1Click();
    // Across batches: the limit holds for the pane, not only for one batch.
    f.window->log(QStringLiteral("one"));
    f.window->log(QStringLiteral("two"));
    f.window->traffic(QStringLiteral("01h 03h "));
    f.window->flushLogs();
    f.window->log(QStringLiteral("three"));
    f.window->traffic(QStringLiteral("\r"));
    f.window->traffic(QStringLiteral("04h "));
    f.window->flushLogs();
    QCOMPARE(f.window->ui.Memo_log->toPlainText(), operatorLog);
    QCOMPARE(f.window->ui.Memo_log_uart->toPlainText(), trafficLog);
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

// The title bar has all its boxes. The window opens at the designed size with every page whole;
// a larger window gives its room to the logs, and the smallest one fits a 1366 x 768 screen at
// 125 % (1092 x 614) under a title bar of about 31 and above a taskbar of 40, its pages
// scrolling and a few log lines still in view.
void TstMainWindow::windowResizesAroundItsTables() {
    WindowFixture f;
    TForm1 &w = *f.window;
    const MainWindowUi &ui = w.ui;
    for (Qt::WindowType box :
         {Qt::WindowMinimizeButtonHint, Qt::WindowMaximizeButtonHint, Qt::WindowCloseButtonHint})
        QVERIFY(w.windowFlags() & box);
    QVERIFY(showActive(w));
    QWidget *client = ui.control(QStringLiteral("ClientArea"));
    QCOMPARE(client->size(), QSize(1017, 626));
    for (QScrollArea *page : ui.pageScrolls) {
        QCOMPARE(page->verticalScrollBar()->maximum(), 0);
        QCOMPARE(page->horizontalScrollBar()->maximum(), 0);
    }

    const QRect pages = ui.PageControl1->geometry();
    const QRect grid = ui.Grid_data->geometry();
    const QRect flow = ui.Grid_flow->geometry();
    const QRect logs = ui.GroupBox3->geometry();
    const QRect memo = ui.Memo_log->geometry();
    const QRect uart = ui.Memo_log_uart->geometry();
    w.resize(w.size() + QSize(300, 200));
    QTRY_COMPARE(client->size(), QSize(1317, 826));
    QCOMPARE(ui.PageControl1->geometry(), pages);
    QCOMPARE(ui.Grid_data->geometry(), grid);
    QCOMPARE(ui.Grid_flow->geometry(), flow);
    QCOMPARE(ui.GroupBox3->geometry(), logs.adjusted(0, 0, 300, 200));
    QCOMPARE(ui.Memo_log->height(), memo.height() + 200);
    QCOMPARE(ui.Memo_log_uart->height(), uart.height() + 200);
    QCOMPARE(ui.Memo_log->width() + ui.Memo_log_uart->width(), memo.width() + uart.width() + 300);
    QCOMPARE(ui.Memo_log_uart->geometry().right(), uart.right() + 300);

    const QSize least = w.minimumSizeHint();
    QVERIFY2(least.width() <= 1092 - 16 && least.height() <= 614 - 40 - 31,
             qPrintable(QStringLiteral("%1 x %2").arg(least.width()).arg(least.height())));
    w.resize(1, 1);
    QTRY_COMPARE(w.size(), least);
    QTRY_VERIFY(ui.pageScrolls[0]->verticalScrollBar()->isVisible());
    QVERIFY(!ui.pageScrolls[0]->horizontalScrollBar()->isVisible());
    QCOMPARE(ui.Grid_data->geometry(), grid);
    QVERIFY(ui.PageControl1->tabBar()->isVisible());
    QVERIFY(ui.Memo_log->height() >= 3 * ui.Memo_log->fontMetrics().lineSpacing());
    QVERIFY(client->rect().contains(ui.GroupBox3->geometry()));
    ui.pageScrolls[0]->verticalScrollBar()->setValue(
        ui.pageScrolls[0]->verticalScrollBar()->maximum());
    const QRect exportButton(ui.BitBtn9->mapTo(ui.pageScrolls[0]->viewport(), QPoint()),
                             ui.BitBtn9->size());
    QVERIFY(ui.pageScrolls[0]->viewport()->rect().contains(exportButton));
}

// Tab goes down each column of the service page and the columns from left to right, the
// information read below them last; at the smallest size every control the keys reach, in either
// direction, is scrolled into view.
void TstMainWindow::tabFollowsTheLayoutIntoView() {
    WindowFixture f;
    TForm1 &w = *f.window;
    MainWindowUi &ui = w.ui;
    QVERIFY(showActive(w));
    w.resize(1, 1);
    QTRY_COMPARE(w.size(), w.minimumSizeHint());
    ui.PageControl1->setCurrentIndex(2);
    w.showServicePageOpen();
    QScrollArea *page = ui.pageScrolls[2];
    const auto inView = [page](QWidget *control) {
        return page->viewport()->rect().contains(
            QRect(control->mapTo(page->viewport(), QPoint()), control->size()));
    };

    ui.BitBtn27->setFocus();
    const QStringList expected{
        "Edit_addr", "UD_addr",        "PageControl1", "Edit_address",  "BitBtn25",  "Combo_pulses",
        "BitBtn26",  "Combo_polarity", "BitBtn29",     "ComboBox1",     "ComboBox2", "Button1",
        "Edit1",     "Button2",        "BitBtn20",     "Combo_inputs",  "BitBtn30",  "BitBtn21",
        "BitBtn22",  "BitBtn24",       "Memo_log",     "Memo_log_uart", "BitBtn11"};
    QStringList visited;
    for (qsizetype i = 0; i < expected.size(); ++i) {
        QTest::keyClick(w.focusWidget(), Qt::Key_Tab);
        QWidget *control = focusedControl(w);
        visited << control->objectName();
        if (page->isAncestorOf(control))
            QVERIFY2(inView(control), qPrintable(control->objectName()));
    }
    QCOMPARE(visited, expected);

    // Back from the logs into the bottom of the page, scrolled to its top before.
    page->verticalScrollBar()->setValue(0);
    ui.Memo_log->setFocus();
    QTest::keyClick(ui.Memo_log, Qt::Key_Backtab, Qt::ShiftModifier);
    QCOMPARE(focusedControl(w), ui.BitBtn24);
    QVERIFY(inView(ui.BitBtn24));
}

// Typed into the address box: digits only, applied on Enter, on leaving the box and before F5
// reads; outside 1 to 250 the range is given, the address stays and so does the box's text.
void TstMainWindow::typedAddress_data() {
    QTest::addColumn<QString>("keys");
    QTest::addColumn<QString>("finish"); // Return, "leave" the box, or F5
    QTest::addColumn<int>("address");
    QTest::addColumn<QStringList>("log");
    const QStringList none;
    const QStringList range{QStringLiteral("Address must be between 1 and 250")};
    const QStringList read{QStringLiteral("Serial COM port is not opened")};
    QTest::newRow("Enter") << "7"
                           << "Return" << 7 << none;
    QTest::newRow("leading zeros") << "007"
                                   << "Return" << 7 << none;
    QTest::newRow("highest") << "250"
                             << "Return" << 250 << none;
    QTest::newRow("letters dropped") << "1a2b"
                                     << "Return" << 12 << none;
    QTest::newRow("box left") << "12"
                              << "leave" << 12 << none;
    QTest::newRow("F5 after typing") << "3"
                                     << "F5" << 3 << read;
    QTest::newRow("above the range") << "251"
                                     << "Return" << 1 << range;
    QTest::newRow("zero") << "0"
                          << "Return" << 1 << range;
    QTest::newRow("emptied") << ""
                             << "Return" << 1 << range;
    QTest::newRow("above, box left") << "999"
                                     << "leave" << 1 << range;
    QTest::newRow("above, F5 reads nothing") << "300"
                                             << "F5" << 1 << range;
}

void TstMainWindow::typedAddress() {
    QFETCH(QString, keys);
    QFETCH(QString, finish);
    QFETCH(int, address);
    QFETCH(QStringList, log);
    WindowFixture f;
    TForm1 &w = *f.window;
    QLineEdit *box = w.ui.Edit_addr;
    QVERIFY(showActive(w));
    knowModels(w);
    box->setFocus();
    QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(box, Qt::Key_Backspace);
    QTest::keyClicks(box, keys);
    if (finish == QLatin1String("Return"))
        QTest::keyClick(box, Qt::Key_Return);
    else if (finish == QLatin1String("F5"))
        QTest::keyClick(box, Qt::Key_F5);
    else
        w.ui.BitBtn27->setFocus();
    QCOMPARE(w.ui.UD_addr->value(), address);
    QCOMPARE(box->text(), QString::number(address));
    QCOMPARE(w.session().store.CurrentAddress, address);
    QCOMPARE(f.logLines(), log);

    // The arrows go on from there.
    w.ui.UD_addr->stepUp();
    QCOMPARE(box->text(), QString::number(std::min(address + 1, 250)));
}

// The menus open on their letters, and the keys run the commands of their buttons and menu
// items: nothing while a button is greyed, its own refusal when the port is closed.
void TstMainWindow::keysRunTheirCommands() {
    WindowFixture f;
    TForm1 &w = *f.window;
    MainWindowUi &ui = w.ui;
    QVERIFY(showActive(w));

    QTest::keyClick(&w, Qt::Key_O, Qt::ControlModifier);
    QTest::keyClick(&w, Qt::Key_S, Qt::ControlModifier);
    QCOMPARE(f.dialogs.asked, (QStringList{"open", "save dat"}));
    // Read and Export are greyed until a model is known, and so are their keys.
    QTest::keyClick(&w, Qt::Key_F5);
    QTest::keyClick(&w, Qt::Key_E, Qt::ControlModifier);
    QCOMPARE(f.dialogs.asked.size(), 2);
    QVERIFY(f.logLines().isEmpty());
    knowModels(w);
    QTest::keyClick(&w, Qt::Key_F5);
    QCOMPARE(f.logLines(), QStringList{QStringLiteral("Serial COM port is not opened")});
    QTest::keyClick(&w, Qt::Key_E, Qt::ControlModifier);
    QCOMPARE(f.dialogs.asked.last(), QStringLiteral("save csv"));

    QTest::keyClick(&w, Qt::Key_Q, Qt::ControlModifier);
    QCOMPARE(f.boxes.confirmed, QStringList{kExitQuestion});
    QVERIFY(w.isVisible());
    QTest::keyClick(&w, Qt::Key_F, Qt::AltModifier);
    QTRY_VERIFY(ui.File1->isVisible());
    QTest::keyClick(ui.File1, Qt::Key_X);
    QCOMPARE(f.boxes.confirmed, (QStringList{kExitQuestion, kExitQuestion}));
    QTRY_VERIFY(!ui.File1->isVisible());
    QVERIFY(w.isVisible());

    // Enter in the password box presses its button.
    ui.PageControl1->setCurrentIndex(2);
    ui.MaskEdit1->setFocus();
    QTest::keyClicks(ui.MaskEdit1, QStringLiteral("guess"));
    QTest::keyClick(ui.MaskEdit1, Qt::Key_Return);
    QCOMPARE(f.status(StatusPanel::Progress), QStringLiteral("Incorrect password"));
    QVERIFY(ui.GroupBox4->isHidden());
    QTest::keyClicks(ui.MaskEdit1, QStringLiteral("tovrek"));
    QTest::keyClick(ui.MaskEdit1, Qt::Key_Enter, Qt::KeypadModifier);
    QVERIFY(!ui.GroupBox4->isHidden());

    f.boxes.answer = true;
    QTest::keyClick(&w, Qt::Key_Q, Qt::ControlModifier);
    QVERIFY(!w.isVisible());
    QVERIFY(f.errors.isEmpty());
}

// A screen reader announces each field by the label beside it, not by its group box's title:
// every field has an accessible name or a buddy label, in the Options and Find loggers dialogs
// too. The toolbar's picture buttons are named by what their tooltips say.
void TstMainWindow::everyFieldIsNamedByItsLabel() {
    WindowFixture f;
    TForm1 &w = *f.window;
    QList<QWidget *> fields;
    for (QWidget *widget : w.findChildren<QWidget *>()) {
        QWidget *parent = widget->parentWidget();
        const bool part =
            qobject_cast<QComboBox *>(parent) || qobject_cast<QAbstractSpinBox *>(parent);
        if ((qobject_cast<QLineEdit *>(widget) && !part) || qobject_cast<QComboBox *>(widget) ||
            qobject_cast<QAbstractSpinBox *>(widget))
            fields << widget;
    }
    QVERIFY(fields.size() >= 23);
    for (QWidget *field : fields) {
        QAccessibleInterface *spoken = QAccessible::queryAccessibleInterface(field);
        QVERIFY(spoken);
        const auto labels = spoken->relations(QAccessible::Label);
        const bool buddy =
            !labels.isEmpty() && qobject_cast<QLabel *>(labels.first().first->object());
        QVERIFY2(buddy || !field->accessibleName().isEmpty(), qPrintable(field->objectName()));
        const auto *group = qobject_cast<QGroupBox *>(field->parentWidget());
        if (group && !qobject_cast<QComboBox *>(field))
            QVERIFY2(spoken->text(QAccessible::Name) != group->title(),
                     qPrintable(field->objectName()));
    }
    // The typing field of each editable combo box speaks the combo's name, not a bare "text".
    int editors = 0;
    for (QComboBox *combo : w.findChildren<QComboBox *>() + w.Form2->findChildren<QComboBox *>()) {
        if (!combo->isEditable())
            continue;
        ++editors;
        QVERIFY2(!combo->accessibleName().isEmpty(), qPrintable(combo->objectName()));
        QCOMPARE(QAccessible::queryAccessibleInterface(combo->lineEdit())->text(QAccessible::Name),
                 combo->accessibleName());
    }
    QVERIFY(editors >= 5 + 5);
    QCOMPARE(QAccessible::queryAccessibleInterface(w.ui.Edit1)->text(QAccessible::Name),
             QStringLiteral("Menu access code"));
    QCOMPARE(w.ui.Edit_addr->accessibleName(), QStringLiteral("Address"));
    for (QToolButton *tool : w.ui.control(QStringLiteral("ClientArea"))
                                 ->findChildren<QToolButton *>(Qt::FindDirectChildrenOnly)) {
        QVERIFY(!tool->toolTip().isEmpty());
        QCOMPARE(tool->accessibleName(), tool->toolTip());
    }
}

// The window's place and size go to section "Window" on the way out and come back at the next
// start; every other byte of the file stays as it was, and a run that moves nothing writes
// nothing.
void TstMainWindow::windowPlaceKeptAcrossRuns() {
    const QByteArray ini("; set up by hand\r\n[Com port]\r\nName=COM3\r\n\r\n[Misc]\r\n"
                         "Separator=,\r\n");
    const QByteArray placed = ini + "[Window]\r\nLeft=40\r\nTop=50\r\nWidth=1100\r\n"
                                    "Height=700\r\nMaximized=0\r\n";
    {
        WindowFixture f(ini);
        QVERIFY(showActive(*f.window));
        f.window->setGeometry(40, 50, 1100, 700);
        QTRY_COMPARE(f.window->geometry(), QRect(40, 50, 1100, 700));
        f.window->BitBtn17Click();
        QCOMPARE(fileBytes(f.settingsPath), placed);
    }
    {
        WindowFixture f(placed);
        QCOMPARE(f.window->geometry(), QRect(40, 50, 1100, 700));
        QVERIFY(!f.window->isMaximized());
        QVERIFY(showActive(*f.window));
        f.window->BitBtn17Click();
        QCOMPARE(fileBytes(f.settingsPath), placed);
    }
    {
        QByteArray maximized = placed;
        maximized.replace("Maximized=0", "Maximized=1");
        WindowFixture f(maximized);
        QVERIFY(f.window->isMaximized());
        QCOMPARE(f.window->normalGeometry(), QRect(40, 50, 1100, 700));
        QVERIFY(showActive(*f.window));
        f.window->BitBtn17Click();
        QCOMPARE(fileBytes(f.settingsPath), maximized);
    }
}

// A missing or damaged section gives the designed size; a place on no screen is left to the
// desktop, and a size below the smallest the window allows becomes that.
void TstMainWindow::windowPlaceNonsenseIgnored_data() {
    QTest::addColumn<QByteArray>("window");
    QTest::addColumn<QString>("size"); // designed, saved (1100 x 700) or minimum
    QTest::addColumn<bool>("placed");  // at 40, 50
    // clang-format off
    QTest::newRow("no section") << QByteArray() << "designed" << false;
    QTest::newRow("empty section") << QByteArray("[Window]\n") << "designed" << false;
    QTest::newRow("no height") << QByteArray("[Window]\nLeft=40\nTop=50\nWidth=1100\n")
                               << "designed" << false;
    QTest::newRow("width in words") << QByteArray("[Window]\nLeft=40\nTop=50\nWidth=wide\n"
                                                  "Height=700\n") << "designed" << false;
    QTest::newRow("width with a unit") << QByteArray("[Window]\nLeft=40\nTop=50\nWidth=1100px\n"
                                                     "Height=700\n") << "designed" << false;
    QTest::newRow("zero width") << QByteArray("[Window]\nLeft=40\nTop=50\nWidth=0\nHeight=700\n")
                                << "designed" << false;
    QTest::newRow("negative height") << QByteArray("[Window]\nLeft=40\nTop=50\nWidth=1100\n"
                                                   "Height=-700\n") << "designed" << false;
    QTest::newRow("beyond any screen") << QByteArray("[Window]\nLeft=40\nTop=50\nWidth=99999\n"
                                                     "Height=700\n") << "designed" << false;
    QTest::newRow("off every screen") << QByteArray("[Window]\nLeft=-9000\nTop=50\nWidth=1100\n"
                                                    "Height=700\n") << "saved" << false;
    QTest::newRow("too small") << QByteArray("[Window]\nLeft=40\nTop=50\nWidth=300\nHeight=200\n")
                               << "minimum" << true;
    QTest::newRow("maximised in words") << QByteArray("[Window]\nLeft=40\nTop=50\nWidth=1100\n"
                                                      "Height=700\nMaximized=yes\n")
                                        << "saved" << true;
    // clang-format on
}

void TstMainWindow::windowPlaceNonsenseIgnored() {
    QFETCH(QByteArray, window);
    QFETCH(QString, size);
    QFETCH(bool, placed);
    WindowFixture f(QByteArray("[Misc]\nSeparator=.\n") + window);
    TForm1 &w = *f.window;
    const QSize expected = size == QLatin1String("designed") ? w.sizeHint()
                           : size == QLatin1String("saved")  ? QSize(1100, 700)
                                                             : w.minimumSizeHint();
    QCOMPARE(w.size(), expected);
    QCOMPARE(w.pos() == QPoint(40, 50), placed);
    if (size == QLatin1String("saved") && !placed)
        QVERIFY(w.pos() != QPoint(-9000, 50));
    QVERIFY(!w.isMaximized());
    QVERIFY(f.errors.isEmpty());
}

QTEST_MAIN(TstMainWindow)
#include "tst_main_window.moc"
