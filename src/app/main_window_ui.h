#pragma once

#include <QHash>
#include <QSize>
#include <QString>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMainWindow;
class QMenu;
class QPlainTextEdit;
class QPushButton;
class QScrollArea;
class QSpinBox;
class QStatusBar;
class QTabWidget;
class QTableView;
class QToolButton;
class QWidget;
class QAction;

namespace corvane {

// Gives a field the caption of the label beside it: the label becomes its buddy, which a screen
// reader on Linux follows, and the caption without its colon becomes its accessible name, which
// the others read. Without either, a field is announced by its group box's title.
void nameByLabel(QLabel *label, QWidget *field);

// The controls of the main window, created with the object names, captions, positions and
// sizes the operators know. Everything is placed absolutely at the designed client size; a
// larger window gives the extra room to the logs, a smaller one takes it from the logs and
// then from the pages, which scroll.
struct MainWindowUi {
    static constexpr QSize kDesignedClientSize{1017, 626};
    // Fits the work area of a 1366 x 768 screen at 125 % (1092 x 614 device-independent pixels)
    // with room for a title bar and a taskbar: the designed width, and a height at which the
    // toolbar row, the tab bar, a few log lines and the status bar all stay in view.
    static constexpr QSize kMinimumClientSize{1017, 460};

    void setup(QMainWindow *window);
    // Places the pages and the logs for a client area of this size.
    void fitClientArea(QSize size);

    // Any control by its object name; nullptr when there is none.
    QWidget *control(const QString &name) const { return controls.value(name); }

    QHash<QString, QWidget *> controls;

    QToolButton *BitBtn11 = nullptr;
    QToolButton *BitBtn12 = nullptr;
    QToolButton *BitBtn13 = nullptr;
    QToolButton *BitBtn14 = nullptr;
    QToolButton *BitBtn15 = nullptr;
    QToolButton *BitBtn16 = nullptr;
    QToolButton *BitBtn17 = nullptr;
    QToolButton *BitBtnStop = nullptr;
    QPlainTextEdit *Memo1 = nullptr;
    QPushButton *BitBtn27 = nullptr;
    QLabel *Label24 = nullptr;
    QLabel *Label1 = nullptr;
    QLineEdit *Edit_addr = nullptr;
    QSpinBox *UD_addr = nullptr;
    QTabWidget *PageControl1 = nullptr;
    QWidget *TabSheet1 = nullptr;
    QWidget *TabSheet2 = nullptr;
    QWidget *TabSheet3 = nullptr;
    // The monitor's own page, after the three designed ones.
    QWidget *TabSheet4 = nullptr;
    // Each page's scroll area, the tab's own widget, around its TabSheet.
    QScrollArea *pageScrolls[4] = {nullptr, nullptr, nullptr, nullptr};

    // First page.
    QGroupBox *GroupBox1 = nullptr;
    QTableView *Grid_data = nullptr;
    QPushButton *BitBtn1 = nullptr;
    QPushButton *BitBtn2 = nullptr;
    QCheckBox *Check_unit = nullptr;
    QCheckBox *Check_constant = nullptr;
    QCheckBox *Check_user = nullptr;
    QCheckBox *Check_info = nullptr;
    QCheckBox *Check_tariffs = nullptr;
    QCheckBox *Check_initial = nullptr;
    QPushButton *BitBtn10 = nullptr;
    QLabel *Label6 = nullptr;
    QLabel *Label7 = nullptr;
    QPushButton *BitBtn3 = nullptr;
    QPushButton *BitBtn5 = nullptr;
    QPushButton *BitBtn9 = nullptr;
    QPushButton *BitBtn4 = nullptr;

    // Second page.
    QGroupBox *GroupBox2 = nullptr;
    QTableView *Grid_data2 = nullptr;
    QPushButton *BitBtn6 = nullptr;
    QPushButton *BitBtn8 = nullptr;
    QPushButton *BitBtn7 = nullptr;
    QLabel *Label5 = nullptr;
    QPushButton *BitBtn28 = nullptr;
    QLabel *Label_input_status = nullptr;
    QGroupBox *GroupBox7 = nullptr;
    QTableView *Grid_flow = nullptr;
    QPushButton *BitBtn31 = nullptr;
    // The monitor, on its page: the controls, the table of every address, the chart of one.
    QGroupBox *GroupBox_monitor = nullptr;
    QSpinBox *Spin_monitor_interval = nullptr;
    QLineEdit *Edit_monitor_addresses = nullptr;
    QPushButton *BitBtn_monitor_start = nullptr;
    QPushButton *BitBtn_monitor_stop = nullptr;
    QCheckBox *Check_monitor_log = nullptr;
    QPushButton *BitBtn_monitor_file = nullptr;
    QLabel *Label_monitor_file = nullptr;
    // "Monitor table": a row per watched address.
    QTableView *Grid_monitor = nullptr;
    QComboBox *Combo_monitor_quantity = nullptr;
    QComboBox *Combo_monitor_address = nullptr;
    QLabel *Label_monitor_cursor = nullptr;
    // Where the window puts the chart.
    QWidget *Frame_monitor_chart = nullptr;

    // Service page.
    QLabel *Label8 = nullptr;
    QLineEdit *MaskEdit1 = nullptr;
    QPushButton *BitBtn18 = nullptr;
    QGroupBox *GroupBox4 = nullptr;
    QLabel *Label20 = nullptr;
    QLabel *Label21 = nullptr;
    QLabel *Label13 = nullptr;
    QLabel *Label14 = nullptr;
    QLabel *Label15 = nullptr;
    QLabel *Label16 = nullptr;
    QLabel *Label17 = nullptr;
    QLabel *Label19 = nullptr;
    QPushButton *BitBtn24 = nullptr;
    QLabel *Label12 = nullptr;
    QLineEdit *Edit_id = nullptr;
    QPushButton *BitBtn19 = nullptr;
    QGroupBox *GroupBox5 = nullptr;
    QLabel *Label9 = nullptr;
    QComboBox *ComboBox1 = nullptr;
    QLabel *Label10 = nullptr;
    QComboBox *ComboBox2 = nullptr;
    QPushButton *Button1 = nullptr;
    QGroupBox *GroupBox6 = nullptr;
    QLabel *Label22 = nullptr;
    QLineEdit *Edit1 = nullptr;
    QPushButton *Button2 = nullptr;
    QPushButton *BitBtn20 = nullptr;
    QPushButton *BitBtn21 = nullptr;
    QPushButton *BitBtn22 = nullptr;
    QLabel *Label11 = nullptr;
    QComboBox *Combo_inputs = nullptr;
    QPushButton *BitBtn30 = nullptr;
    QPushButton *BitBtn23 = nullptr;
    QLabel *Label18 = nullptr;
    QLineEdit *Edit_address = nullptr;
    QPushButton *BitBtn25 = nullptr;
    QLabel *Label23 = nullptr;
    QComboBox *Combo_pulses = nullptr;
    QPushButton *BitBtn26 = nullptr;
    QLabel *Label25 = nullptr;
    QComboBox *Combo_polarity = nullptr;
    QPushButton *BitBtn29 = nullptr;

    // Logs and status bar.
    QGroupBox *GroupBox3 = nullptr;
    QPlainTextEdit *Memo_log = nullptr;
    QPlainTextEdit *Memo_log_uart = nullptr;
    QStatusBar *StatusBar1 = nullptr;
    QLabel *statusPanels[3] = {nullptr, nullptr, nullptr};

    // Menus.
    QMenu *File1 = nullptr;
    QAction *N1 = nullptr;
    QAction *N2 = nullptr;
    QAction *N3 = nullptr;
    QMenu *N4 = nullptr;
    QAction *N5 = nullptr;
    // System > "Find loggers...": the bus scan.
    QAction *N12 = nullptr;
    // File > "Save logs..." and "Clear logs": both panes to a text file, and emptied.
    QAction *N13 = nullptr;
    QAction *N14 = nullptr;
    // File > "Save chart...".
    QAction *N15 = nullptr;
    // System > "Line statistics...".
    QAction *N16 = nullptr;
    QAction *N17 = nullptr;
    QMenu *N9 = nullptr;
    QAction *N10 = nullptr;
    QAction *N11 = nullptr;
    // Window keys without a menu item: F5 reads the parameters, Ctrl+E exports them.
    QAction *readAction = nullptr;
    QAction *exportAction = nullptr;
};

} // namespace corvane
