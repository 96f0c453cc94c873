#include "options_dialog.h"

#include "autostart.h"
#include "error_display.h"
#include "line_names.h"
#include "main_window.h"
#include "settings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>

#include <algorithm>

namespace corvane {
namespace {

QComboBox *comboBox(QWidget *parent, const char *name, QRect geometry, const QStringList &items) {
    auto *combo = new QComboBox(parent);
    combo->setObjectName(QString::fromLatin1(name));
    combo->setEditable(true);
    combo->addItems(items);
    combo->setGeometry(geometry);
    return combo;
}

QLabel *label(QWidget *parent, const char *name, int x, int y, const QString &text) {
    auto *l = new QLabel(text, parent);
    l->setObjectName(QString::fromLatin1(name));
    l->move(x, y);
    l->adjustSize();
    return l;
}

QCheckBox *checkBox(QWidget *parent, const char *name, int x, int y, const QString &text) {
    auto *box = new QCheckBox(text, parent);
    box->setObjectName(QString::fromLatin1(name));
    box->move(x, y);
    box->adjustSize();
    return box;
}

} // namespace

TForm2::TForm2(TForm1 &main, QString autostartEntryPath, QString executablePath, QWidget *parent)
    : QDialog(parent), m_main(main), m_autostartEntryPath(std::move(autostartEntryPath)),
      m_executablePath(std::move(executablePath)) {
    setObjectName(QStringLiteral("Form2"));
    setWindowTitle(QStringLiteral("Options"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint);
    setModal(false);
    // Taller than designed by the reopen, direction and echo controls and the " Logs " group.
    setFixedSize(465, 549);

    auto *GroupBox1 = new QGroupBox(QStringLiteral(" Communication setup  "), this);
    GroupBox1->setObjectName(QStringLiteral("GroupBox1"));
    GroupBox1->setGeometry(8, 8, 449, 212);
    QLabel *Label1 = label(GroupBox1, "Label1", 16, 24, QStringLiteral("Port number"));
    Combo_com_name = comboBox(GroupBox1, "Combo_com_name", QRect(16, 40, 200, 23), {});
    refreshPortList();
    // A listed device shows its stored name in the box, not the item text.
    const auto showName = [this](int index) {
        if (const QVariant name = Combo_com_name->itemData(index); name.isValid())
            Combo_com_name->setEditText(name.toString());
    };
    connect(Combo_com_name, &QComboBox::activated, this, showName);
    connect(Combo_com_name, &QComboBox::currentIndexChanged, this, showName);
    Combo_com_name->setToolTip(QStringLiteral(
        "A serial port (COM1..COM8, /dev/ttyUSB0, ...) or a serial-to-Ethernet gateway as "
        "tcp://HOST:PORT, whose line settings are its own"));
    QLabel *Label2 = label(GroupBox1, "Label2", 232, 24, QStringLiteral("Speed, bps"));
    Combo_com_speed =
        comboBox(GroupBox1, "Combo_com_speed", QRect(232, 40, 97, 23),
                 {QStringLiteral("300"), QStringLiteral("1200"), QStringLiteral("2400"),
                  QStringLiteral("4800"), QStringLiteral("9600"), QStringLiteral("14400"),
                  QStringLiteral("19200"), QStringLiteral("38400"), QStringLiteral("115200")});
    QLabel *Label3 = label(GroupBox1, "Label3", 344, 24, QStringLiteral("Parity"));
    Combo_com_parity =
        comboBox(GroupBox1, "Combo_com_parity", QRect(344, 40, 89, 23),
                 {QStringLiteral("None"), QStringLiteral("Odd"), QStringLiteral("Even"),
                  QStringLiteral("Mark"), QStringLiteral("Space")});
    QLabel *Label4 = label(GroupBox1, "Label4", 16, 72, QStringLiteral("Data bits"));
    Combo_com_databits = comboBox(GroupBox1, "Combo_com_databits", QRect(16, 88, 97, 23),
                                  {QStringLiteral("7"), QStringLiteral("8")});
    QLabel *Label5 = label(GroupBox1, "Label5", 128, 72, QStringLiteral("Stop bits"));
    Combo_com_sbits = comboBox(GroupBox1, "Combo_com_sbits", QRect(128, 88, 88, 23),
                               {QStringLiteral("1"), QStringLiteral("2")});
    Check_auto_open =
        checkBox(GroupBox1, "Check_auto_open", 232, 84, QStringLiteral("Open automatically"));
    Check_rts = checkBox(GroupBox1, "Check_rts", 232, 108, QStringLiteral("Control RTS line"));
    Check_reopen = checkBox(GroupBox1, "Check_reopen", 16, 132,
                            QStringLiteral("Reopen the port when the device returns"));
    Check_reopen->setToolTip(
        QStringLiteral("After a USB adapter was pulled out, the port opens again by itself once "
                       "the adapter is back"));
    QLabel *Label11 = label(GroupBox1, "Label11", 16, 160, QStringLiteral("RS-485 direction:"));
    Combo_direction = new QComboBox(GroupBox1);
    Combo_direction->setObjectName(QStringLiteral("Combo_direction"));
    Combo_direction->addItems(lineDirectionTexts());
    Combo_direction->setGeometry(136, 156, 297, 23);
    Combo_direction->setToolTip(QStringLiteral(
        "Who switches the RS-485 transceiver between sending and listening. The serial "
        "driver's RS-485 mode needs a UART that has it; where the driver refuses it, Corvane "
        "keys RTS itself"));
    Check_echo = checkBox(GroupBox1, "Check_echo", 16, 184,
                          QStringLiteral("Ignore the echo of each request"));
    Check_echo->setToolTip(QStringLiteral(
        "For 2-wire adapters that send every request back: the copy is dropped before the "
        "reply is checked"));

    auto *GroupBox2 = new QGroupBox(QStringLiteral(" Other "), this);
    GroupBox2->setObjectName(QStringLiteral("GroupBox2"));
    GroupBox2->setGeometry(8, 227, 449, 187);
    QLabel *Label6 = label(GroupBox2, "Label6", 16, 26, QStringLiteral("Decimal separator:"));
    Edit_dec_separator = new QLineEdit(GroupBox2);
    Edit_dec_separator->setObjectName(QStringLiteral("Edit_dec_separator"));
    Edit_dec_separator->setMaxLength(1);
    Edit_dec_separator->setGeometry(150, 22, 33, 23);
    QLabel *Label7 = label(GroupBox2, "Label7", 16, 58, QStringLiteral("Response time wait:"));
    Edit_response_time = new QLineEdit(GroupBox2);
    Edit_response_time->setObjectName(QStringLiteral("Edit_response_time"));
    Edit_response_time->setReadOnly(true);
    Edit_response_time->setGeometry(150, 54, 57, 23);
    UD_response_time = new QSpinBox(GroupBox2);
    UD_response_time->setObjectName(QStringLiteral("UD_response_time"));
    UD_response_time->setRange(100, 10000);
    UD_response_time->setSingleStep(100);
    UD_response_time->setWrapping(false);
    UD_response_time->setGroupSeparatorShown(false);
    UD_response_time->setGeometry(207, 54, 17, 23);
    UD_response_time->setStyleSheet(QStringLiteral("QSpinBox { color: transparent; }"));
    Edit_response_time->setText(QString::number(UD_response_time->value()));
    connect(UD_response_time, &QSpinBox::valueChanged, this,
            [this](int value) { Edit_response_time->setText(QString::number(value)); });
    label(GroupBox2, "Label9", 230, 58, QStringLiteral("ms"));
    QLabel *Label8 = label(GroupBox2, "Label8", 16, 90, QStringLiteral("Export separator:"));
    Edit_export = new QLineEdit(GroupBox2);
    Edit_export->setObjectName(QStringLiteral("Edit_export"));
    Edit_export->setMaxLength(1);
    Edit_export->setGeometry(150, 86, 33, 23);
#ifdef Q_OS_WIN
    const QString autoloadText = QStringLiteral("Start with Windows");
#else
    const QString autoloadText = QStringLiteral("Start with the desktop session");
#endif
    Check_autoload = checkBox(GroupBox2, "Check_autoload", 264, 24, autoloadText);
    // The longer caption moves left as far as it must to stay inside the group.
    Check_autoload->move(std::min(264, GroupBox2->width() - Check_autoload->width() - 8), 24);
    Check_last = checkBox(GroupBox2, "Check_last", 16, 112,
                          QStringLiteral("Load last saved work file automatically"));
    Check_fast = checkBox(GroupBox2, "Check_fast", 16, 134,
                          QStringLiteral("Finish each request as soon as the reply is complete"));
    Check_fast->setToolTip(QStringLiteral(
        "A read then takes about as long as the logger needs to answer. A missing or damaged "
        "reply still waits the whole response time. Recommended for a network port "
        "(tcp://HOST:PORT), where the gateway adds its own delays."));
    QLabel *Label12 =
        label(GroupBox2, "Label12", 16, 160, QStringLiteral("Retries on a failed reply:"));
    UD_retries = new QSpinBox(GroupBox2);
    UD_retries->setObjectName(QStringLiteral("UD_retries"));
    UD_retries->setRange(0, 5);
    UD_retries->setGeometry(180, 156, 57, 23);
    UD_retries->setToolTip(QStringLiteral(
        "A request whose reply is missing or damaged, or whose logger is busy, is sent again "
        "this many times before it counts as failed. 0 sends every request once."));

    auto *GroupBox3 = new QGroupBox(QStringLiteral(" Logs "), this);
    GroupBox3->setObjectName(QStringLiteral("GroupBox3"));
    GroupBox3->setGeometry(8, 421, 449, 80);
    Check_log_time =
        checkBox(GroupBox3, "Check_log_time", 16, 24, QStringLiteral("Time on each log line"));
    Check_log_sent = checkBox(GroupBox3, "Check_log_sent", 16, 48,
                              QStringLiteral("Sent frames in the received-bytes log"));
    Check_log_sent->setToolTip(
        QStringLiteral("Requests appear as TX lines, and the bytes received as RX lines"));
    QLabel *Label10 =
        label(GroupBox3, "Label10", 264, 24, QStringLiteral("Lines kept in each log (0: all):"));
    UD_log_lines = new QSpinBox(GroupBox3);
    UD_log_lines->setObjectName(QStringLiteral("UD_log_lines"));
    UD_log_lines->setRange(0, 1000000);
    UD_log_lines->setSingleStep(1000);
    UD_log_lines->setGeometry(264, 42, 97, 23);
    UD_log_lines->setToolTip(
        QStringLiteral("Beyond this many lines the oldest leave the log; 0 keeps them all"));

    nameByLabel(Label1, Combo_com_name);
    nameByLabel(Label2, Combo_com_speed);
    nameByLabel(Label3, Combo_com_parity);
    nameByLabel(Label4, Combo_com_databits);
    nameByLabel(Label5, Combo_com_sbits);
    nameByLabel(Label11, Combo_direction);
    nameByLabel(Label6, Edit_dec_separator);
    nameByLabel(Label7, Edit_response_time);
    UD_response_time->setAccessibleName(Edit_response_time->accessibleName());
    UD_response_time->setAccessibleDescription(QStringLiteral("Steps the time up or down"));
    nameByLabel(Label8, Edit_export);
    nameByLabel(Label10, UD_log_lines);
    nameByLabel(Label12, UD_retries);

    BitBtn2 = new QPushButton(QStringLiteral("Cancel"), this);
    BitBtn2->setObjectName(QStringLiteral("BitBtn2"));
    BitBtn2->setGeometry(8, 512, 105, 27);
    BitBtn1 = new QPushButton(QStringLiteral("Apply"), this);
    BitBtn1->setObjectName(QStringLiteral("BitBtn1"));
    BitBtn1->setGeometry(352, 512, 105, 27);

    connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });
    connect(BitBtn2, &QPushButton::clicked, this, [this] { BitBtn2Click(); });
    connect(Check_autoload, &QCheckBox::toggled, this,
            [this](bool checked) { Check_autoloadClick(checked); });
}

QList<TForm2::PortItem> TForm2::presentSerialDevices(const DeviceFolders &folders) {
    QList<PortItem> found;
    const QDir byId(folders.byId);
    for (const QString &entry : byId.entryList(QDir::System | QDir::Files, QDir::Name)) {
        const QString link = byId.filePath(entry);
        const QString device = QFileInfo(link).canonicalFilePath();
        if (!device.isEmpty())
            found.append({link + QStringLiteral(" (%1)").arg(QFileInfo(device).fileName()), link});
    }
    const QDir dev(folders.dev);
    for (const QString &entry :
         dev.entryList({QStringLiteral("ttyUSB*"), QStringLiteral("ttyACM*")},
                       QDir::System | QDir::Files, QDir::Name))
        found.append({dev.filePath(entry), dev.filePath(entry)});
    return found;
}

void TForm2::refreshPortList() {
    const QString shown = Combo_com_name->currentText();
    const QSignalBlocker quiet(Combo_com_name);
    Combo_com_name->clear();
    for (int i = 1; i <= 8; ++i)
        Combo_com_name->addItem(QStringLiteral("COM%1").arg(i));
    for (const PortItem &item : presentSerialDevices(m_folders))
        Combo_com_name->addItem(item.text, item.name);
    Combo_com_name->setEditText(shown);
}

QString TForm2::chosenPortName() const {
    const QString text = Combo_com_name->currentText();
    const int index = Combo_com_name->findText(text, Qt::MatchExactly);
    const QVariant name = index >= 0 ? Combo_com_name->itemData(index) : QVariant();
    return name.isValid() ? name.toString() : text;
}

void TForm2::showEvent(QShowEvent *e) {
    runGuarded([this] { refreshPortList(); });
    QDialog::showEvent(e);
}

bool TForm2::event(QEvent *e) {
    if (e->type() == QEvent::WindowActivate)
        runGuarded([this] { LoadOptions(); });
    return QDialog::event(e);
}

void TForm2::LoadOptions() {
    const Settings &s = m_main.settings();
    Combo_com_name->setEditText(s.ComName);
    Combo_com_speed->setEditText(s.ComSpeed);
    Combo_com_parity->setEditText(s.ComParity);
    Combo_com_databits->setEditText(s.ComDataBits);
    Combo_com_sbits->setEditText(s.ComStopBits);
    Check_rts->setChecked(s.RtsControlOption);
    Check_last->setChecked(s.LoadLastWorkFile);
    Check_auto_open->setChecked(s.OpenAtStart);
    Edit_dec_separator->setText(s.DecSeparator);
    // A change of state here counts as a click: the autostart entry follows at once.
    Check_autoload->setChecked(s.StartWithWindows);
    Check_fast->setChecked(s.FastReplies);
    UD_retries->setValue(s.Retries);
    Check_reopen->setChecked(s.ReopenPort);
    Combo_direction->setCurrentIndex(s.LineDirection);
    Check_echo->setChecked(s.IgnoreEcho);
    Check_log_time->setChecked(s.LogTimestamps);
    Check_log_sent->setChecked(s.LogSentFrames);
    UD_log_lines->setValue(s.LogLineLimit);
    UD_response_time->setValue(static_cast<qint16>(s.ResponseTime & 0xFFFF));
    Edit_export->setText(s.ExportSeparator);
    const bool portFree = !m_main.portOpen();
    for (QWidget *w : std::initializer_list<QWidget *>{
             Combo_com_name, Combo_com_speed, Combo_com_parity, Combo_com_databits, Combo_com_sbits,
             Check_rts, Check_auto_open, Combo_direction})
        w->setEnabled(portFree);
}

void TForm2::BitBtn1Click() {
    runGuarded([this] {
        Settings s;
        s.ComName = chosenPortName();
        s.ComSpeed = Combo_com_speed->currentText();
        s.ComParity = Combo_com_parity->currentText();
        s.ComDataBits = Combo_com_databits->currentText();
        s.ComStopBits = Combo_com_sbits->currentText();
        s.RtsControlOption = Check_rts->isChecked();
        s.OpenAtStart = Check_auto_open->isChecked();
        s.StartWithWindows = Check_autoload->isChecked();
        s.FastReplies = Check_fast->isChecked();
        s.Retries = UD_retries->value();
        s.ReopenPort = Check_reopen->isChecked();
        s.LineDirection = Combo_direction->currentIndex();
        s.IgnoreEcho = Check_echo->isChecked();
        s.LogTimestamps = Check_log_time->isChecked();
        s.LogSentFrames = Check_log_sent->isChecked();
        s.LogLineLimit = UD_log_lines->value();
        s.LoadLastWorkFile = Check_last->isChecked();
        s.DecSeparator = Edit_dec_separator->text();
        s.ExportSeparator = Edit_export->text();
        s.ResponseTime = UD_response_time->value();
        // Refused before anything is written: the stored settings stay as they were.
        if (const QString problem = settingsProblem(s); !problem.isEmpty()) {
            showError(problem + QStringLiteral(" The settings were not changed."));
            return;
        }
        enterProgramFolder(m_executablePath);
        // A failed write stops here: nothing is taken over and the dialog stays open.
        writeSettings(m_main.settingsPath(), s);
        m_main.takeSettings(s);
        hide();
    });
}

void TForm2::BitBtn2Click() {
    hide();
}

void TForm2::Check_autoloadClick(bool checked) {
    runGuarded([&] {
        const Autostart entry(m_autostartEntryPath, m_executablePath);
        if (checked)
            entry.enable();
        else
            entry.disable();
    });
}

} // namespace corvane
