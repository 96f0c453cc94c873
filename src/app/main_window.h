#pragma once

#include "bus_scan.h"
#include "device_operations.h"
#include "device_session.h"
#include "file_commands.h"
#include "find_loggers_dialog.h"
#include "grid_key_filter.h"
#include "listen_dialog.h"
#include "log_pane.h"
#include "main_window_ui.h"
#include "monitor.h"
#include "line_statistics.h"
#include "monitor_history.h"
#include "monitor_recorder.h"
#include "named_controls.h"
#include "port_toggle.h"
#include "ser_comm.h"
#include "service_page.h"
#include "settings.h"

#include <QLocale>
#include <QMainWindow>
#include <QTimer>

class QShortcut;

#include <functional>
#include <memory>

namespace corvane {

class DesktopOpener;
class GridDelegate;
class FileDialogs;
class MessageBoxes;
class LineStatisticsDialog;
class MonitorChart;
class MonitorTableModel;
class Sleeper;
class TForm2;
class TForm3;

// Relative paths opened later (the settings file, the manual) resolve against the program's
// folder: it becomes the current directory at start-up, at every Apply and before the manual is
// opened. Nothing happens for an empty path.
void enterProgramFolder(const QString &executablePath);

// What the window needs from the desktop, replaceable in tests.
struct AppServices {
    MessageBoxes *boxes = nullptr;
    FileDialogs *dialogs = nullptr;
    DesktopOpener *opener = nullptr;
    Sleeper *sleeper = nullptr;
    // corvane.ini beside the executable unless a test says otherwise.
    QString settingsPath;
    // The autostart entry ("Start with Windows").
    QString autostartEntryPath;
    QString executablePath;
    // Folder of UsrMan.pdf.
    QString manualFolder;
    QLocale locale = QLocale::system();
    std::function<QDateTime()> now;
};

// The main window: the three pages, the logs, the status bar and the address selector. It owns
// the port and the session for the program's lifetime and hands every command to the core; the
// handlers here check nothing themselves.
class TForm1 : public QMainWindow, public NamedControlsView, public NamedControlReader {
    Q_OBJECT
public:
    explicit TForm1(AppServices services, QWidget *parent = nullptr);
    ~TForm1() override;

    // Output
    void log(const QString &line) override;
    void traffic(const QString &line) override;
    void setStatus(int panel, const QString &text) override;

    // Takes over settings the Options dialog applied: the port texts, the separators and the
    // response windows.
    void takeSettings(const Settings &settings);
    const Settings &settings() const { return m_settings; }
    bool portOpen() const { return PortOpen; }
    QString settingsPath() const { return m_services.settingsPath; }
    DeviceSession &session() { return m_session; }
    ServicePage &servicePage() { return m_service; }
    const QTimer &clockTimer() const { return Timer_time; }
    Monitor &monitor() { return m_monitor; }
    const MonitorHistory &monitorHistory() const { return m_recorder.history(); }
    MonitorChart *monitorChart() const { return m_chart; }
    // Every address's line statistics since the port was opened.
    const LineStatistics &lineStatistics() const { return m_statistics; }
    LineStatisticsDialog *lineStatisticsDialog() const { return FormStatistics; }
    // The log lines gathered for the two panes, shown now rather than at the next batch.
    void flushLogs();

    MainWindowUi ui;
    TSerComm Comm1;
    TForm2 *Form2 = nullptr;
    TForm3 *Form3 = nullptr;
    FindLoggersDialog *FormFind = nullptr;
    ListenDialog *FormListen = nullptr;

public Q_SLOTS:
    // Parameters page: Read, Write, Set clock, Save, Load, Export.
    void BitBtn1Click();
    void BitBtn2Click();
    void BitBtn10Click();
    void BitBtn3Click();
    void BitBtn5Click();
    void BitBtn9Click();
    // Measured values page: counters, export, input status, flow.
    void BitBtn6Click();
    void BitBtn8Click();
    void BitBtn28Click();
    void BitBtn31Click();
    // Service page.
    void BitBtn18Click();
    void BitBtn24Click();
    void BitBtn19Click();
    void Button1Click();
    void Button2Click();
    void BitBtn20Click();
    void BitBtn21Click();
    void BitBtn22Click();
    void BitBtn23Click();
    void BitBtn25Click();
    void BitBtn26Click();
    void BitBtn29Click();
    void BitBtn30Click();
    void BitBtn13Click();
    void BitBtn14Click();
    void BitBtn15Click();
    void BitBtn16Click();
    void BitBtn17Click();
    void BitBtn27Click();
    void N3Click();
    // System > "Find loggers...".
    void N12Click();
    // System > "Listen to the line...": refused while the window's own port is open.
    void N17Click();
    // File > "Save logs...".
    void N13Click();
    // File > "Save chart...": the monitor chart as a PNG picture.
    void N15Click();
    // The monitor's Start, Stop and "..." (the log file).
    void monitorStartClick();
    void monitorStopClick();
    void monitorFileClick();
    // System > "Line statistics...".
    void N16Click();
    // A scan result double-clicked: its line settings, after asking, to the port and Options;
    // then its address and model, as "Read type" would set them.
    void useScanResult(const FoundLogger &logger);
    BusScan &busScan() { return m_scan; }
    void Edit_addrChange();
    // What was typed into Edit_addr, applied as the arrows apply an address. A number outside
    // the arrows' range changes nothing: the operator log gives the range and the box shows the
    // address in force again. False then.
    bool applyTypedAddress();
    void Timer_timeTimer();

protected:
    void closeEvent(QCloseEvent *event) override;
    // The named controls, found by object name.
    void setControlText(const QString &control, const QString &text) override;
    void setControlEnabled(const QString &control, bool enabled) override;
    void setControlVisible(const QString &control, bool visible) override;
    QString controlText(const QString &control) const override;
    bool isControlChecked(const QString &control) const override;

private:
    void FormCreate();
    void FormClose();
    void connectHandlers();
    void setGridEditable(bool editable);
    void fitClockPanel();
    // The table as it stands on the screen, an open cell editor included, into the store slot
    // of the address shown.
    void commitTableEdits();
    void Comm1Error(int errors);
    bool stopRunningCommand();
    // A key that stands for a button first ends the typing a click would end: the open cell
    // editor hands its text to the table and closes, and a typed address is applied. False when
    // the typed address was refused.
    bool finishTyping();
    void restorePlacement();
    void savePlacement();
    void applyLogSettings();
    void reopenLostPort();
    void saveMenuFile(const QString &path, const QByteArray &bytes, const QString &what,
                      const QString &saved);
    // Stop and Esc serve a running sequence and the monitor alike.
    void updateStopControls();
    void monitorRunningChanged(bool running);
    void monitorReading(const DeviceReading &reading);
    void showMonitorAddress();
    // A row of the monitor table chosen: its address in the chart and in the window.
    void monitorRowChosen(const QModelIndex &current);
    // The last whole reading of the address in the window's counters and flow tables.
    void showLastReading(int address);
    // Around every open and close of the port.
    void portToggled(bool wasOpen);

    AppServices m_services;
    Settings m_settings;
    bool PortOpen = false;
    GridSelection m_selection;
    PortToggle m_port;
    DeviceSession m_session;
    DeviceOperations m_ops;
    ServicePage m_service;
    FileCommands m_files;
    SerCommScanPort m_scanPort;
    BusScan m_scan;
    Monitor m_monitor;
    LineStatistics m_statistics;
    MonitorRecorder m_recorder{&m_statistics};
    MonitorChart *m_chart = nullptr;
    MonitorTableModel *m_monitorTable = nullptr;
    LineStatisticsDialog *FormStatistics = nullptr;
    QShortcut *m_stopKey = nullptr;
    QTimer Timer_time;
    // Polls for a lost device's return while "Reopen the port when the device returns" is on.
    QTimer m_reopen;
    QString m_lostPort;
    GridDelegate *m_gridDelegate = nullptr;
    LogPane *m_operatorLog = nullptr;
    LogPane *m_trafficLog = nullptr;
    bool m_closing = false;
    // The port is being closed because its device has gone.
    bool m_portLost = false;
};

} // namespace corvane
