#pragma once

#include "bus_scan.h"

#include <QDialog>
#include <QTimer>

#include <functional>

class QLabel;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTableWidget;

namespace corvane {

// System > "Find loggers...": a non-modal dialog over a BusScan. It holds no scan logic of its
// own: it collects the range, the line settings and the reply wait, shows progress and results,
// and hands a double-clicked result to the main window.
class FindLoggersDialog : public QDialog {
    Q_OBJECT
public:
    // currentSetting: the port's speed and parity now, which "Current settings only" scans and
    // from which the reply wait is derived. use: a result the operator double-clicked.
    FindLoggersDialog(BusScan &scan, std::function<LineSetting()> currentSetting,
                      std::function<void(const FoundLogger &)> use, QWidget *parent = nullptr);

    QSpinBox *SpinBox_from = nullptr;
    QSpinBox *SpinBox_to = nullptr;
    QRadioButton *Radio_current = nullptr;
    QRadioButton *Radio_all = nullptr;
    QSpinBox *SpinBox_wait = nullptr;
    QPushButton *Button_start = nullptr;
    QPushButton *Button_stop = nullptr;
    QProgressBar *ProgressBar_scan = nullptr;
    QLabel *Label_left = nullptr;
    QTableWidget *Grid_found = nullptr;

    // The options the controls say now: what Start scans.
    ScanOptions options() const;

public Q_SLOTS:
    // Closing the dialog (its box, Escape) stops its scan: nobody would see it go on.
    void done(int result) override;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void startClicked();
    void addResult(const FoundLogger &logger);
    void showProgress();
    void scanEnded();
    void showDerivedWait();

    BusScan &m_scan;
    std::function<LineSetting()> m_currentSetting;
    std::function<void(const FoundLogger &)> m_use;
    QList<FoundLogger> m_results;
    // Until the operator types a wait of their own, each speed gets its derived one.
    bool m_waitEdited = false;
    bool m_settingWait = false;
    QTimer m_clock;
};

} // namespace corvane
