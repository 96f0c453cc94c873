#include "main_window.h"

#include "about_box.h"
#include "address_list.h"
#include "atomic_file.h"
#include "desktop_services.h"
#include "error_display.h"
#include "file_ui.h"
#include "line_statistics_dialog.h"
#include "monitor_chart.h"
#include "monitor_table_model.h"
#include "network_port.h"
#include "options_dialog.h"
#include "service_key_filter.h"
#include "settings_file.h"
#include "sleeper.h"

#include <QApplication>
#include <QBuffer>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QSortFilterProxyModel>
#include <QSpinBox>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QToolButton>

#include <algorithm>
#include <chrono>
#include <optional>

namespace corvane {
namespace {

Q_LOGGING_CATEGORY(lcApp, "corvane.app")

constexpr int kProgressPanelWidth = 515;
constexpr int kProgressPanelNarrowest = 300;
// How much of a window's top edge must lie on a screen for the operator to grab and move it.
constexpr QSize kGrip{100, 20};

bool grippable(const QRect &geometry) {
    const QRect topEdge(geometry.left(), geometry.top(), geometry.width(), kGrip.height());
    const QList<QScreen *> screens = QGuiApplication::screens();
    return std::any_of(screens.begin(), screens.end(), [&topEdge](const QScreen *screen) {
        const QRect shown = screen->availableGeometry().intersected(topEdge);
        return shown.width() >= kGrip.width() && shown.height() >= kGrip.height();
    });
}

// Carriage returns end some log texts; a plain-text pane would show them as nothing useful.
QString displayLine(QString line) {
    line.remove(QLatin1Char('\r'));
    return line;
}

// A sent frame as the received bytes are shown.
QString hexBytes(const QByteArray &frame) {
    QString line;
    for (const char byte : frame)
        line += QString::number(quint8(byte), 16).toUpper().rightJustified(2, QLatin1Char('0')) +
                QLatin1String("h ");
    return line;
}

// Runs a key filter on every character typed into a line edit; a filter answer of Escape (27)
// drops the character, so the edit box never inserts it.
class KeyFilter : public QObject {
public:
    using Filter = std::function<QChar(QChar key)>;
    KeyFilter(Filter filter, QObject *parent) : QObject(parent), m_filter(std::move(filter)) {}

    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::KeyPress) {
            const auto *key = static_cast<QKeyEvent *>(event);
            QString typed = key->text();
            if (key->key() == Qt::Key_Backspace)
                typed = QString(QChar(8));
            if (typed.size() == 1 && isFiltered(*key, typed.at(0)) &&
                m_filter(typed.at(0)) == QChar(27))
                return true;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    // Characters typed, and Backspace. Shortcuts (Ctrl+A, Ctrl+C, ...) and keys such as Return
    // and Escape are not typing: they go to the edit box as they are.
    static bool isFiltered(const QKeyEvent &key, QChar typed) {
        if (key.modifiers() & (Qt::ControlModifier | Qt::MetaModifier))
            return false;
        return typed == QChar(8) || (typed.unicode() >= 0x20 && typed.unicode() != 0x7F);
    }

    Filter m_filter;
};

void layoutGrid(QTableView *view, StringGrid &model, int titleWidth) {
    view->setModel(&model);
    // Values a read could not renew.
    model.setStaleForeground(view->palette().color(QPalette::Disabled, QPalette::Text));
    view->verticalHeader()->setFixedWidth(titleWidth);
    view->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view->horizontalHeader()->setDefaultSectionSize(70);
    view->horizontalHeader()->setMinimumSectionSize(20);
}

} // namespace

// The cell editor of the parameter table. The key filter sees the editor's text as the key will
// leave it: with the selection taken out, since a typed character replaces it. So the length
// limits hold while typing, and a full cell can be selected and typed over.
class GridDelegate : public QStyledItemDelegate {
public:
    GridDelegate(std::function<QString()> decSeparator, GridSelection &selection, QObject *parent)
        : QStyledItemDelegate(parent), m_decSeparator(std::move(decSeparator)),
          m_selection(selection) {}

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                          const QModelIndex &index) const override {
        QWidget *editor = QStyledItemDelegate::createEditor(parent, option, index);
        auto *line = qobject_cast<QLineEdit *>(editor);
        if (!line)
            return editor;
        auto filter = [this, line](QChar key) {
            QString kept = line->text();
            if (line->hasSelectedText())
                kept.remove(line->selectionStart(), line->selectionLength());
            return Grid_dataKeyPress(m_selection.SelectedRow, kept, key, m_decSeparator());
        };
        line->installEventFilter(new KeyFilter(filter, line));
        m_editor = line;
        return editor;
    }

    // What is typed into a cell reaches the table only when the editor closes; a command that
    // reads the table now takes the text as it stands in the editor.
    void commitOpenEditor() {
        if (m_editor)
            Q_EMIT commitData(m_editor);
    }

    // Ends the editing as leaving the cell does. A command that writes into the table must not
    // find an editor still open: closing later, it would write its old text over the new value.
    void closeOpenEditor() {
        if (!m_editor)
            return;
        Q_EMIT commitData(m_editor);
        Q_EMIT closeEditor(m_editor);
    }

private:
    std::function<QString()> m_decSeparator;
    GridSelection &m_selection;
    mutable QPointer<QWidget> m_editor;
};

void enterProgramFolder(const QString &executablePath) {
    if (!executablePath.isEmpty())
        QDir::setCurrent(QFileInfo(executablePath).absolutePath());
}

TForm1::TForm1(AppServices services, QWidget *parent)
    : QMainWindow(parent), m_services(std::move(services)),
      m_port{Comm1, PortOpen, *this, *m_services.boxes, *m_services.sleeper, QString()},
      m_session(SessionEnvironment{
          Comm1, *m_services.sleeper, *this, *this, [this] { return ui.UD_addr->value(); },
          [this] { return PortOpen; }, [this] { return m_settings.DecSeparator; },
          m_services.locale, m_services.now,
          [this] {
              return FormListen && FormListen->isListening()
                         ? QStringLiteral("Listening to the line: Corvane sends nothing until "
                                          "the listening ends")
                         : QString();
          }}),
      m_ops(m_session, m_services.now), m_service(m_session),
      m_files(
          m_session, *m_services.dialogs, *m_services.boxes,
          [this](int address) { ui.UD_addr->setValue(address); },
          [this] { return m_settings.ExportSeparator; }),
      m_scanPort(Comm1), m_scan(m_session, m_scanPort), m_monitor(m_session) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Corvane for QTR-8D/6D/4D"));
    ui.setup(this);
    m_operatorLog = new LogPane(ui.Memo_log, this);
    m_trafficLog = new LogPane(ui.Memo_log_uart, this);
    resize(sizeHint());

    layoutGrid(ui.Grid_data, m_session.tables.Grid_data, 176);
    layoutGrid(ui.Grid_data2, m_session.tables.Grid_data2, 180);
    layoutGrid(ui.Grid_flow, m_session.tables.Grid_flow, 176);
    const int flowWidths[] = {74, 72, 69, 69, 70, 71, 69, 69};
    for (int c = 0; c < 8; ++c)
        ui.Grid_flow->setColumnWidth(c, flowWidths[c]);
    ui.Grid_flow->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    ui.Grid_data2->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ui.Grid_flow->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_gridDelegate =
        new GridDelegate([this] { return m_settings.DecSeparator; }, m_selection, ui.Grid_data);
    ui.Grid_data->setItemDelegate(m_gridDelegate);

    // The serial port as this program uses it: writes on the calling thread, no flow control,
    // only the received-bytes event handled.
    Comm1.SetDirectWrite(true);
    Comm1.SetWritePriority(tpNormal);
    Comm1.OnRxChar = [this](TSerCustomComm *, int count) {
        runGuarded([&] { m_session.runner.Comm1RxChar(count); });
    };
    Comm1.OnError = [this](TSerCustomComm *, int errors) { Comm1Error(errors); };
    m_session.master.setFrameObserver([this](const QByteArray &frame) {
        if (m_settings.LogSentFrames)
            m_trafficLog->append(hexBytes(frame), u"TX");
    });

    Form2 = new TForm2(*this, m_services.autostartEntryPath, m_services.executablePath, this);
    Form3 = new TForm3(this);
    FormFind = new FindLoggersDialog(
        m_scan,
        [this] {
            return PortOpen ? m_scanPort.lineSetting()
                            : LineSetting{m_settings.ComSpeed.toInt(), m_settings.ComParity};
        },
        [this](const FoundLogger &logger) { useScanResult(logger); }, this);
    FormListen =
        new ListenDialog([this](const QString &line) { log(line); },
                         [this](const QByteArray &csv) {
                             const QString path = m_services.dialogs->saveFileName(
                                 QStringLiteral("CSV files (*.csv)"), QStringLiteral("csv"));
                             if (!path.isEmpty())
                                 saveMenuFile(path, csv, QStringLiteral("The exchanges"),
                                              QStringLiteral("Exchanges"));
                         },
                         this);

    m_chart = new MonitorChart(m_recorder.history(), ui.Frame_monitor_chart);
    m_chart->setObjectName(QStringLiteral("Chart_monitor"));
    m_chart->setGeometry(ui.Frame_monitor_chart->rect());
    m_monitorTable = new MonitorTableModel(
        m_recorder, m_statistics,
        [this](int address) {
            return address == ui.UD_addr->value() ? m_session.device.DeviceType
                                                  : m_session.store.model(address);
        },
        this);
    m_monitorTable->setLocale(m_services.locale);
    auto *sorted = new QSortFilterProxyModel(this);
    sorted->setSourceModel(m_monitorTable);
    sorted->setSortRole(MonitorTableModel::SortRole);
    ui.Grid_monitor->setModel(sorted);
    ui.Grid_monitor->sortByColumn(-1, Qt::AscendingOrder);
    {
        // Titles of two words take two lines, so that all 17 columns fit the page's width
        // beside a vertical scroll bar.
        QHeaderView *header = ui.Grid_monitor->horizontalHeader();
        header->setSectionResizeMode(QHeaderView::Interactive);
        header->setDefaultAlignment(Qt::AlignCenter | Qt::Alignment(Qt::TextWordWrap));
        header->setFixedHeight(2 * header->fontMetrics().height() + 6);
        const int widths[MonitorTableModel::ColumnCount] = {
            50, 62, 56, 134, 52, 48, 48, 48, 48, 48, 48, 48, 48, 52, 46, 48, 50};
        for (int c = 0; c < MonitorTableModel::ColumnCount; ++c)
            ui.Grid_monitor->setColumnWidth(c, widths[c]);
    }
    m_statistics.follow(m_session.runner);
    FormStatistics = new LineStatisticsDialog(
        m_statistics, [](const QString &text) { QGuiApplication::clipboard()->setText(text); },
        this);

    connectHandlers();
    FormCreate();
}

TForm1::~TForm1() {
    // Deleting the widgets moves the focus: nothing may then apply a typed address or scroll a
    // page of a window that is going away.
    ui.Edit_addr->disconnect(this);
    disconnect(qApp, nullptr, this, nullptr);
    // The event thread must not hand anything to a window that is going away.
    Comm1.OnRxChar = nullptr;
    Comm1.OnError = nullptr;
    Comm1.ClosePort();
}

void TForm1::connectHandlers() {
    auto click = [this](QAbstractButton *button, auto handler) {
        connect(button, &QAbstractButton::clicked, this, [handler] { runGuarded(handler); });
    };
    auto menu = [this](QAction *action, auto handler) {
        connect(action, &QAction::triggered, this, [handler] { runGuarded(handler); });
    };

    click(ui.BitBtn11, [this] { BitBtn5Click(); });
    const auto save = [this] { BitBtn3Click(); };
    click(ui.BitBtn12, save);
    click(ui.BitBtn13, [this] { BitBtn13Click(); });
    click(ui.BitBtn14, [this] { BitBtn14Click(); });
    click(ui.BitBtn15, [this] { BitBtn15Click(); });
    click(ui.BitBtn16, [this] { BitBtn16Click(); });
    click(ui.BitBtn17, [this] { BitBtn17Click(); });
    click(ui.BitBtn27, [this] { BitBtn27Click(); });
    // Stop, and Esc while a sequence runs: at other times Esc stays with the focused control.
    m_stopKey = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    m_stopKey->setEnabled(false);
    connect(m_stopKey, &QShortcut::activated, ui.BitBtnStop, &QAbstractButton::click);
    click(ui.BitBtnStop, [this] {
        if (m_monitor.isRunning())
            m_monitor.stop();
        else
            m_session.runner.stopByUser();
    });
    connect(&m_session.runner, &RequestRunner::stoppableChanged, this,
            [this] { updateStopControls(); });
    menu(ui.N1, [this] { BitBtn5Click(); });
    menu(ui.N2, save);
    menu(ui.N3, [this] { N3Click(); });
    menu(ui.N5, [this] { BitBtn14Click(); });
    menu(ui.N12, [this] { N12Click(); });
    menu(ui.N17, [this] { N17Click(); });
    menu(ui.N16, [this] { N16Click(); });
    // Each step's outcome renews its address's row and the statistics view.
    connect(&m_session.runner, &RequestRunner::stepEnded, this,
            [this](const StepOutcome &outcome) {
                m_monitorTable->addressChanged(outcome.request.address);
                FormStatistics->changed();
            });
    connect(FormStatistics, &LineStatisticsDialog::statisticsReset, this,
            [this] { m_monitorTable->statisticsChanged(); });
    connect(ui.Grid_monitor->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex &current) {
                runGuarded([&] { monitorRowChosen(current); });
            });
    menu(ui.N13, [this] { N13Click(); });
    menu(ui.N15, [this] { N15Click(); });
    menu(ui.N14, [this] {
        m_operatorLog->clear();
        m_trafficLog->clear();
    });
    menu(ui.N10, [this] { BitBtn16Click(); });
    menu(ui.N11, [this] { BitBtn15Click(); });

    // First page.
    click(ui.BitBtn1, [this] { BitBtn1Click(); });
    click(ui.BitBtn2, [this] { BitBtn2Click(); });
    click(ui.BitBtn10, [this] { BitBtn10Click(); });
    click(ui.BitBtn3, save);
    click(ui.BitBtn5, [this] { BitBtn5Click(); });
    click(ui.BitBtn9, [this] { BitBtn9Click(); });
    // Second page.
    click(ui.BitBtn6, [this] { BitBtn6Click(); });
    click(ui.BitBtn8, [this] { BitBtn8Click(); });
    click(ui.BitBtn28, [this] { BitBtn28Click(); });
    click(ui.BitBtn31, [this] { BitBtn31Click(); });
    click(ui.BitBtn_monitor_start, [this] { monitorStartClick(); });
    click(ui.BitBtn_monitor_stop, [this] { monitorStopClick(); });
    click(ui.BitBtn_monitor_file, [this] { monitorFileClick(); });
    connect(&m_monitor, &Monitor::runningChanged, this,
            [this](bool running) { runGuarded([&] { monitorRunningChanged(running); }); });
    connect(&m_monitor, &Monitor::readingReady, this,
            [this](const DeviceReading &reading) { runGuarded([&] { monitorReading(reading); }); });
    connect(ui.Combo_monitor_quantity, &QComboBox::currentIndexChanged, this, [this](int index) {
        m_chart->setQuantity(index == 1   ? MonitorQuantity::Consumption
                             : index == 2 ? MonitorQuantity::PulsesPerMinute
                                          : MonitorQuantity::Flow);
    });
    connect(ui.Combo_monitor_address, &QComboBox::currentIndexChanged, this,
            [this] { showMonitorAddress(); });
    connect(m_chart, &MonitorChart::cursorTextChanged, ui.Label_monitor_cursor, &QLabel::setText);
    // Service page.
    click(ui.BitBtn18, [this] { BitBtn18Click(); });
    click(ui.BitBtn24, [this] { BitBtn24Click(); });
    click(ui.BitBtn19, [this] { BitBtn19Click(); });
    click(ui.Button1, [this] { Button1Click(); });
    click(ui.Button2, [this] { Button2Click(); });
    click(ui.BitBtn20, [this] { BitBtn20Click(); });
    click(ui.BitBtn21, [this] { BitBtn21Click(); });
    click(ui.BitBtn22, [this] { BitBtn22Click(); });
    click(ui.BitBtn23, [this] { BitBtn23Click(); });
    click(ui.BitBtn25, [this] { BitBtn25Click(); });
    click(ui.BitBtn26, [this] { BitBtn26Click(); });
    click(ui.BitBtn29, [this] { BitBtn29Click(); });
    click(ui.BitBtn30, [this] { BitBtn30Click(); });
    for (QLineEdit *edit : {ui.Edit_id, ui.Edit1, ui.Edit_address})
        edit->installEventFilter(new KeyFilter(serviceDigitKeyPress, edit));
    ui.Edit_addr->installEventFilter(new KeyFilter(serviceDigitKeyPress, ui.Edit_addr));
    connect(ui.Edit_addr, &QLineEdit::editingFinished, this,
            [this] { runGuarded([this] { applyTypedAddress(); }); });
    connect(ui.MaskEdit1, &QLineEdit::returnPressed, ui.BitBtn18, &QAbstractButton::click);
    menu(ui.readAction, [this] {
        if (finishTyping())
            ui.BitBtn1->click();
    });
    menu(ui.exportAction, [this] {
        if (finishTyping())
            ui.BitBtn9->click();
    });
    // A control reached with the keyboard on a page scrolled out of view is brought into it.
    // Not on a click: the control would move away from under the pointer before the release.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget *, QWidget *now) {
        if (!now || QGuiApplication::mouseButtons() != Qt::NoButton)
            return;
        for (QScrollArea *scroll : ui.pageScrolls) {
            if (scroll->isAncestorOf(now) && now->height() <= scroll->viewport()->height())
                scroll->ensureWidgetVisible(now);
        }
    });

    connect(ui.UD_addr, &QSpinBox::valueChanged, this,
            [this] { runGuarded([this] { Edit_addrChange(); }); });
    connect(ui.Grid_data->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex &current) {
                m_selection.Grid_dataSelectCell(current.column() + 1, current.row() + 1);
            });
    connect(&Timer_time, &QTimer::timeout, this,
            [this] { runGuarded([this] { Timer_timeTimer(); }); });
    m_reopen.setInterval(std::chrono::milliseconds(500));
    connect(&m_reopen, &QTimer::timeout, this, [this] { reopenLostPort(); });
}

void TForm1::FormCreate() {
    enterProgramFolder(m_services.executablePath);
    m_settings = readSettings(m_services.settingsPath);
    restorePlacement();
    // Before the port opens: the saved direction is taken when it does.
    applyLinkOptions(linkOptions(m_settings), m_session, Comm1);
    applyLogSettings();
    m_operatorLog->clear();
    m_trafficLog->clear();
    m_ops.resetForStartup();
    PortOpen = false;
    const auto openPort = [this] {
        if (m_settings.OpenAtStart && !PortOpen && !m_closing) {
            runGuarded([this] {
                const auto toggled = qScopeGuard([this] { portToggled(false); });
                m_port.TogglePort(m_settings.ComName, m_settings.ComSpeed, m_settings.ComParity,
                                  m_settings.ComDataBits, m_settings.ComStopBits);
            });
        }
        runGuarded([this] { Comm1.SetRtsLine(false); });
    };
    // Left to the event loop, which runs once the window is shown: the message box of a port
    // that cannot be opened then appears over the window rather than before it.
    if (m_settings.OpenAtStart)
        QTimer::singleShot(0, this, openPort);
    else
        openPort();
    Timer_time.setObjectName(QStringLiteral("Timer_time"));
    Timer_time.start(1000);
}

void TForm1::commitTableEdits() {
    m_gridDelegate->commitOpenEditor();
    m_session.store.tableToStore(m_session.tables.Grid_data);
}

void TForm1::takeSettings(const Settings &settings) {
    m_settings = settings;
    applyLinkOptions(linkOptions(m_settings), m_session, Comm1);
    applyLogSettings();
}

void TForm1::applyLogSettings() {
    std::function<QTime()> clock;
    if (m_settings.LogTimestamps) {
        clock = [this] {
            return (m_services.now ? m_services.now() : QDateTime::currentDateTime()).time();
        };
    }
    for (LogPane *pane : {m_operatorLog, m_trafficLog}) {
        pane->setClock(clock);
        pane->setLineLimit(m_settings.LogLineLimit);
    }
}

void TForm1::BitBtn13Click() {
    runGuarded([this] {
        // The listener holds the port, and the window would be a second master on its line.
        if (!PortOpen && FormListen->isListening()) {
            log(QStringLiteral("Listening to the line on %1: close \"Listen to the line\" before "
                               "opening the port")
                    .arg(FormListen->port().name));
            return;
        }
        const bool wasOpen = PortOpen;
        // Closed by hand, the port takes the monitor with it: its cycles would only fail. A
        // lost device is another matter, handled where it is noticed.
        const bool monitoring = PortOpen && !m_portLost && m_monitor.isRunning();
        if (monitoring)
            m_monitor.fail(QStringLiteral("The port was closed, monitoring stopped after %1 %2")
                               .arg(m_monitor.cycle())
                               .arg(m_monitor.cycle() == 1 ? QStringLiteral("cycle")
                                                           : QStringLiteral("cycles")));
        const bool stopped = PortOpen && stopRunningCommand();
        const auto toggled = qScopeGuard([this, wasOpen] { portToggled(wasOpen); });
        m_port.TogglePort(m_settings.ComName, m_settings.ComSpeed, m_settings.ComParity,
                          m_settings.ComDataBits, m_settings.ComStopBits);
        if (stopped && !monitoring)
            log(QStringLiteral("The port was closed, the running command stopped"));
    });
}

void TForm1::portToggled(bool wasOpen) {
    if (!wasOpen && PortOpen) {
        m_statistics.reset();
        m_monitorTable->statisticsChanged();
        FormStatistics->changed();
    }
}

void TForm1::N16Click() {
    FormStatistics->show();
    FormStatistics->raise();
    FormStatistics->activateWindow();
}

// A command cut off by the port closing would otherwise report every step left as unanswered.
bool TForm1::stopRunningCommand() {
    return m_session.runner.stopForClosedPort();
}

void TForm1::BitBtn14Click() {
    Form2->show();
    Form2->raise();
    Form2->activateWindow();
}

void TForm1::BitBtn15Click() {
    enterProgramFolder(m_services.executablePath);
    m_services.opener->open(QDir(m_services.manualFolder).filePath(QStringLiteral("UsrMan.pdf")),
                            [boxes = m_services.boxes](const QString &problem) {
                                boxes->inform(QStringLiteral("Corvane"), problem);
                            });
}

void TForm1::BitBtn16Click() {
    Form3->show();
    Form3->raise();
}

void TForm1::BitBtn17Click() {
    close();
}

// Save and both exports take the table as it stands on the screen, typed edits included.
void TForm1::BitBtn3Click() {
    commitTableEdits();
    m_files.saveWorkFile();
}

void TForm1::BitBtn5Click() {
    m_files.openWorkFile();
}

void TForm1::BitBtn9Click() {
    commitTableEdits();
    m_files.exportParameters();
}

void TForm1::BitBtn8Click() {
    commitTableEdits();
    m_files.exportCounters();
}

void TForm1::BitBtn1Click() {
    m_ops.readParameters();
}

void TForm1::BitBtn2Click() {
    m_ops.writeParameters();
}

void TForm1::BitBtn10Click() {
    m_ops.setClock();
}

void TForm1::BitBtn6Click() {
    m_ops.readCounters();
}

void TForm1::BitBtn28Click() {
    m_ops.readInputStatus();
}

void TForm1::BitBtn31Click() {
    m_ops.readFlow();
}

void TForm1::BitBtn18Click() {
    m_service.enterPassword(ui.MaskEdit1->text());
}

void TForm1::BitBtn24Click() {
    m_service.readDeviceInfo();
}

void TForm1::BitBtn27Click() {
    m_service.readDeviceInfo();
}

void TForm1::BitBtn19Click() {
    m_service.changeDeviceId();
}

void TForm1::Button1Click() {
    m_service.changeLineSettings();
}

void TForm1::Button2Click() {
    m_service.readMenuCode();
}

void TForm1::BitBtn20Click() {
    m_service.changeMenuCode();
}

void TForm1::BitBtn21Click() {
    m_service.lockDevice();
}

void TForm1::BitBtn22Click() {
    m_service.unlockDevice();
}

void TForm1::BitBtn23Click() {
    m_service.setInputCount();
}

void TForm1::BitBtn25Click() {
    m_service.changeAddress();
}

void TForm1::BitBtn26Click() {
    m_service.changePulseLength();
}

void TForm1::BitBtn29Click() {
    m_service.setPolarity();
}

void TForm1::BitBtn30Click() {
    m_service.setDisplayedInputs();
}

void TForm1::N3Click() {
    if (m_services.boxes->confirm(
            QStringLiteral("Exit confirmation"),
            QStringLiteral("This will close the program, any unsaved data will be lost, are you "
                           "sure?")))
        close();
}

// Both panes, as shown, into one UTF-8 text file; the file is replaced only once all of it is
// written.
void TForm1::N13Click() {
    const QString path = m_services.dialogs->saveFileName(QStringLiteral("Text files (*.txt)"),
                                                          QStringLiteral("txt"));
    if (path.isEmpty())
        return;
    flushLogs();
    const QByteArray text = (QStringLiteral("Operator log\n") + ui.Memo_log->toPlainText() +
                             QStringLiteral("\n\nReceived bytes\n") +
                             ui.Memo_log_uart->toPlainText() + QLatin1Char('\n'))
                                .toUtf8();
    saveMenuFile(path, text, QStringLiteral("The logs"), QStringLiteral("Logs"));
}

// A file of the File menu: replaced only once all of it is written, a line in the log when it
// is, the error display's message when it is not.
void TForm1::saveMenuFile(const QString &path, const QByteArray &bytes, const QString &what,
                          const QString &saved) {
    AtomicFile file(path);
    if (!file.open() || !file.commit(bytes)) {
        showError(QStringLiteral("%1 could not be saved to %2: %3")
                      .arg(what, path,
                           file.errorString().isEmpty()
                               ? QStringLiteral("it is not a file that can be written")
                               : file.errorString()));
        return;
    }
    log(saved + QStringLiteral(" saved to ") + path);
}

void TForm1::N15Click() {
    const QString path = m_services.dialogs->saveFileName(QStringLiteral("PNG images (*.png)"),
                                                          QStringLiteral("png"));
    if (path.isEmpty())
        return;
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    m_chart->grab().save(&buffer, "PNG");
    saveMenuFile(path, png, QStringLiteral("The chart"), QStringLiteral("Chart"));
}

void TForm1::monitorFileClick() {
    const QString path = m_services.dialogs->saveFileName(QStringLiteral("CSV files (*.csv)"),
                                                          QStringLiteral("csv"));
    if (path.isEmpty())
        return;
    ui.Label_monitor_file->setText(path);
    ui.Label_monitor_file->setToolTip(path);
    ui.Check_monitor_log->setChecked(true);
}

void TForm1::monitorStartClick() {
    if (m_monitor.isRunning()) {
        m_session.runner.refuseIfBusy();
        return;
    }
    QString problem;
    const std::optional<QList<int>> addresses =
        parseAddressList(ui.Edit_monitor_addresses->text(), &problem);
    if (!addresses) {
        log(QStringLiteral("Addresses to monitor: ") + problem);
        return;
    }
    MonitorOptions options;
    options.addresses = *addresses;
    options.interval = std::chrono::seconds(ui.Spin_monitor_interval->value());
    // The refusals come first, so that no log file is opened for a monitor that does not run.
    if (!PortOpen || m_session.runner.isBusy()) {
        m_monitor.start(options);
        return;
    }
    if (ui.Check_monitor_log->isChecked()) {
        if (ui.Label_monitor_file->text().isEmpty())
            monitorFileClick();
        const QString path = ui.Label_monitor_file->text();
        if (path.isEmpty())
            return;
        if (!m_recorder.openLog(path)) {
            log(QStringLiteral("The monitor log %1 can not be written: %2")
                    .arg(path, m_recorder.logError()));
            return;
        }
    }
    {
        const QSignalBlocker blocker(ui.Combo_monitor_address);
        ui.Combo_monitor_address->clear();
        for (int address : options.addresses)
            ui.Combo_monitor_address->addItem(QString::number(address), address);
        const int selected = int(options.addresses.indexOf(ui.UD_addr->value()));
        ui.Combo_monitor_address->setCurrentIndex(std::max(0, selected));
    }
    if (m_monitor.start(options) != CommandStart::Started) {
        m_recorder.closeLog();
        return;
    }
    const bool logWasOpen = m_recorder.logOpen();
    const bool written = m_recorder.start(
        {m_session.now(), options.interval, m_port.displayName, options.addresses},
        m_settings.ExportSeparator);
    m_monitorTable->setAddresses(options.addresses);
    showMonitorAddress();
    if (logWasOpen && !written)
        m_monitor.fail(QStringLiteral("The monitor log %1 could not be written: %2. Monitoring "
                                      "stopped")
                           .arg(m_recorder.logPath(), m_recorder.logError()));
}

void TForm1::monitorStopClick() {
    m_monitor.stop();
}

void TForm1::monitorRunningChanged(bool running) {
    ui.BitBtn_monitor_start->setEnabled(!running);
    ui.BitBtn_monitor_stop->setEnabled(running);
    ui.Spin_monitor_interval->setEnabled(!running);
    ui.Edit_monitor_addresses->setEnabled(!running);
    ui.Check_monitor_log->setEnabled(!running);
    ui.BitBtn_monitor_file->setEnabled(!running);
    if (!running)
        m_recorder.closeLog();
    updateStopControls();
}

void TForm1::monitorReading(const DeviceReading &reading) {
    const bool logWasOpen = m_recorder.logOpen();
    if (!m_recorder.record(reading, m_settings.ExportSeparator, m_services.locale) && logWasOpen)
        m_monitor.fail(QStringLiteral("The monitor log %1 could not be written: %2. Monitoring "
                                      "stopped; the rows written before are kept")
                           .arg(m_recorder.logPath(), m_recorder.logError()));
    m_monitorTable->addressChanged(reading.address);
    if (reading.address == m_chart->address()) {
        if (const ModelInfo *model = findModel(reading.model))
            m_chart->setInputs(model->InputCount);
        m_chart->refresh();
    }
}

void TForm1::showMonitorAddress() {
    const QVariant address = ui.Combo_monitor_address->currentData();
    if (!address.isValid())
        return;
    const int a = address.toInt();
    const QString model =
        a == ui.UD_addr->value() ? m_session.device.DeviceType : m_session.store.model(a);
    const ModelInfo *info = findModel(model);
    m_chart->setInputs(info ? info->InputCount : kMaxInputs);
    m_chart->setAddress(a);
}

void TForm1::monitorRowChosen(const QModelIndex &current) {
    if (!current.isValid())
        return;
    const int address = current.data(MonitorTableModel::AddressRole).toInt();
    if (const int index = ui.Combo_monitor_address->findData(address); index >= 0)
        ui.Combo_monitor_address->setCurrentIndex(index);
    if (address == ui.UD_addr->value())
        return;
    // The window's address follows, as the arrows would set it. The monitor's requests carry
    // their own address, so one in flight is still decoded for the logger it asked.
    ui.UD_addr->setValue(address);
    showLastReading(address);
}

void TForm1::showLastReading(int address) {
    const DeviceReading *reading = m_recorder.lastGoodReading(address);
    if (!reading || address != ui.UD_addr->value())
        return;
    const ModelInfo *model = findModel(reading->model);
    if (!model || reading->model != m_session.device.DeviceType)
        return;
    for (int input = 1; input <= model->InputCount; ++input) {
        const InputReading &in = reading->inputs[std::size_t(input - 1)];
        for (int row = kRowTotalConsumption; row <= kRowTariff4Pulses; ++row) {
            if (const auto text = counterText(in, row, m_services.locale))
                m_session.tables.Grid_data2.setCell(input, row, *text);
        }
        if (const auto text = flowText(in, m_services.locale))
            m_session.tables.Grid_flow.setCell(input, kRowFlow, *text);
    }
}

void TForm1::updateStopControls() {
    const bool on = m_session.runner.isStoppable() || m_monitor.isRunning();
    ui.BitBtnStop->setEnabled(on);
    m_stopKey->setEnabled(on);
}

void TForm1::N12Click() {
    FormFind->show();
    FormFind->raise();
    FormFind->activateWindow();
}

void TForm1::N17Click() {
    if (FormListen->isListening()) {
        FormListen->show();
        FormListen->raise();
        FormListen->activateWindow();
        return;
    }
    if (PortOpen) {
        log(QStringLiteral("Corvane is the master on %1: close the port before listening to the "
                           "line")
                .arg(m_port.displayName));
        return;
    }
    ListenPort port;
    port.name = m_settings.ComName;
    port.speed = m_settings.ComSpeed.toInt();
    port.parity = m_settings.ComParity;
    port.stopBits = m_settings.ComStopBits == QLatin1String("2") ? 2 : 1;
    port.dataBits = m_settings.ComDataBits == QLatin1String("7") ? 7 : 8;
    FormListen->listen(port);
}

void TForm1::useScanResult(const FoundLogger &logger) {
    if (m_session.runner.refuseIfBusy())
        return;
    const LineSetting options{m_settings.ComSpeed.toInt(), m_settings.ComParity};
    const bool portDiffers = PortOpen && m_scanPort.lineSetting() != logger.line;
    // A gateway's line settings are its own: there is nothing to switch here.
    const bool gateway = isNetworkPortName(m_settings.ComName);
    if (!gateway && (portDiffers || options != logger.line)) {
        const QString question =
            QStringLiteral("Logger %1 answers at %2 baud, parity %3. Set the port and Options "
                           "to these settings?")
                .arg(logger.address)
                .arg(logger.line.speed)
                .arg(logger.line.parity);
        if (!m_services.boxes->confirm(QStringLiteral("Find loggers"), question))
            return;
        Settings changed = m_settings;
        changed.ComSpeed = QString::number(logger.line.speed);
        changed.ComParity = logger.line.parity;
        // A failed write stops here, before the port or the window take anything over.
        writeSettings(m_services.settingsPath, changed);
        takeSettings(changed);
        if (PortOpen)
            m_scanPort.applyLineSetting(logger.line);
        log(QStringLiteral("Line settings set to ") + logger.line.text());
    }
    m_ops.adoptModel(logger.address, logger.model);
    ui.UD_addr->setValue(logger.address);
}

void TForm1::Edit_addrChange() {
    ui.Edit_addr->setText(QString::number(ui.UD_addr->value()));
    // The monitor watches the selected address until told otherwise.
    if (!ui.Edit_monitor_addresses->isModified())
        ui.Edit_monitor_addresses->setText(QString::number(ui.UD_addr->value()));
    runGuarded([this] { m_ops.selectAddress(ui.UD_addr->value()); });
}

bool TForm1::applyTypedAddress() {
    const int current = ui.UD_addr->value();
    const QString typed = ui.Edit_addr->text();
    if (typed == QString::number(current))
        return true;
    bool ok = false;
    const int address = typed.toInt(&ok);
    if (!ok || address < ui.UD_addr->minimum() || address > ui.UD_addr->maximum()) {
        log(QStringLiteral("Address must be between %1 and %2")
                .arg(ui.UD_addr->minimum())
                .arg(ui.UD_addr->maximum()));
        ui.Edit_addr->setText(QString::number(current));
        return false;
    }
    ui.UD_addr->setValue(address);
    // "007" for the address already in force changes no value, but the box shows 7.
    ui.Edit_addr->setText(QString::number(address));
    return true;
}

bool TForm1::finishTyping() {
    m_gridDelegate->closeOpenEditor();
    return applyTypedAddress();
}

// The remembered place is taken when enough of the window's top edge lies on a screen; otherwise
// only the size is, and the desktop places the window.
void TForm1::restorePlacement() {
    const std::optional<WindowPlacement> saved = readWindowPlacement(m_services.settingsPath);
    if (!saved)
        return;
    const QRect geometry(saved->geometry.topLeft(),
                         saved->geometry.size().expandedTo(minimumSizeHint()));
    if (grippable(geometry))
        setGeometry(geometry);
    else
        resize(geometry.size());
    if (saved->maximized)
        setWindowState(windowState() | Qt::WindowMaximized);
}

// Not being able to remember the window's place is no reason to hold up the exit with a message:
// the window then opens at its designed size.
void TForm1::savePlacement() {
    try {
        enterProgramFolder(m_services.executablePath);
        writeWindowPlacement(m_services.settingsPath, {normalGeometry(), isMaximized()});
    } catch (const SettingsWriteError &error) {
        qCWarning(lcApp) << "Window place not remembered:" << error.what();
    }
}

void TForm1::Timer_timeTimer() {
    m_ops.showPcClock();
}

void TForm1::closeEvent(QCloseEvent *event) {
    FormClose();
    QMainWindow::closeEvent(event);
}

void TForm1::FormClose() {
    if (m_closing)
        return;
    m_closing = true;
    if (isVisible())
        savePlacement();
    Timer_time.stop();
    m_reopen.stop();
    m_scan.stop();
    m_monitor.stop();
    if (PortOpen)
        BitBtn13Click();
    Form2->hide();
    Form3->hide();
    FormFind->hide();
    FormStatistics->hide();
    if (FormListen->isListening())
        FormListen->reject();
}

void TForm1::Comm1Error(int errors) {
    if (!(std::uint32_t(errors) & kSerDeviceLost) || !PortOpen)
        return;
    // The adapter is gone: say so once and release the port, so that it can be opened again
    // when the device comes back.
    const QString text =
        stopRunningCommand()
            ? QStringLiteral("Serial device %1 is no longer available, the port was closed and "
                             "the running command stopped")
            : QStringLiteral("Serial device %1 is no longer available, the port was closed");
    log(text.arg(m_port.displayName));
    m_portLost = true;
    const auto lost = qScopeGuard([this] { m_portLost = false; });
    BitBtn13Click();
    // A gateway has no device node that could be seen coming back.
    if (m_settings.ReopenPort && !isNetworkPortName(m_port.displayName)) {
        m_lostPort = m_port.displayName;
        m_reopen.start();
    }
}

// Tried without a word on failure: a device node that has just appeared may not be usable yet,
// and a message box every half second would bury the window. Another port chosen, the setting
// turned off or the port opened by hand ends the wait.
void TForm1::reopenLostPort() {
    if (PortOpen || m_closing || !m_settings.ReopenPort || m_settings.ComName != m_lostPort) {
        m_reopen.stop();
        return;
    }
    if (!QFileInfo::exists(resolvePortName(m_lostPort)) || FormListen->isListening())
        return;
    runGuarded([this] {
        m_port.reportFailures = false;
        const auto restore = qScopeGuard([this] { m_port.reportFailures = true; });
        const auto toggled = qScopeGuard([this] { portToggled(false); });
        try {
            m_port.TogglePort(m_settings.ComName, m_settings.ComSpeed, m_settings.ComParity,
                              m_settings.ComDataBits, m_settings.ComStopBits);
        } catch (...) {
            // Every later attempt would fail alike: reported once, and no more attempts.
            m_reopen.stop();
            throw;
        }
    });
    if (PortOpen) {
        m_reopen.stop();
        log(QStringLiteral("Serial device %1 is back, the port was reopened").arg(m_lostPort));
    }
}

void TForm1::log(const QString &line) {
    m_operatorLog->append(displayLine(line));
}

void TForm1::traffic(const QString &line) {
    m_trafficLog->append(displayLine(line), m_settings.LogSentFrames ? u"RX" : QStringView());
}

void TForm1::flushLogs() {
    m_operatorLog->flush();
    m_trafficLog->flush();
}

void TForm1::setStatus(int panel, const QString &text) {
    if (panel < 0 || panel >= 3)
        return;
    ui.statusPanels[panel]->setText(text);
    if (panel == StatusPanel::Clock)
        fitClockPanel();
}

// How long the clock's text is depends on the PC's time and date formats, and it may need more
// than the room right of the progress panel. The progress panel then gives way, never the clock.
void TForm1::fitClockPanel() {
    if (!isVisible())
        return;
    QLabel *progress = ui.statusPanels[StatusPanel::Progress];
    QLabel *clock = ui.statusPanels[StatusPanel::Clock];
    ui.StatusBar1->layout()->activate();
    const int needed = clock->sizeHint().width();
    const int roomBesideDesignWidth = clock->width() + progress->width() - kProgressPanelWidth;
    progress->setFixedWidth(std::clamp(kProgressPanelWidth - (needed - roomBesideDesignWidth),
                                       kProgressPanelNarrowest, kProgressPanelWidth));
}

void TForm1::setControlText(const QString &control, const QString &text) {
    QWidget *w = ui.control(control);
    if (auto *label = qobject_cast<QLabel *>(w))
        label->setText(text);
    else if (auto *edit = qobject_cast<QLineEdit *>(w))
        edit->setText(text);
    else if (auto *combo = qobject_cast<QComboBox *>(w))
        combo->setEditText(text);
    else if (auto *button = qobject_cast<QAbstractButton *>(w))
        button->setText(text);
    else
        qCWarning(lcApp) << "No text control named" << control;
}

void TForm1::setControlEnabled(const QString &control, bool enabled) {
    if (QWidget *w = ui.control(control))
        w->setEnabled(enabled);
    else
        qCWarning(lcApp) << "No control named" << control;
}

void TForm1::setControlVisible(const QString &control, bool visible) {
    if (QWidget *w = ui.control(control))
        w->setVisible(visible);
    else
        qCWarning(lcApp) << "No control named" << control;
}

QString TForm1::controlText(const QString &control) const {
    QWidget *w = ui.control(control);
    if (auto *label = qobject_cast<QLabel *>(w))
        return label->text();
    if (auto *edit = qobject_cast<QLineEdit *>(w))
        return edit->text();
    if (auto *combo = qobject_cast<QComboBox *>(w))
        return combo->currentText();
    return {};
}

bool TForm1::isControlChecked(const QString &control) const {
    auto *box = qobject_cast<QCheckBox *>(ui.control(control));
    return box && box->isChecked();
}

} // namespace corvane
