#pragma once

#include "line_statistics.h"

#include <QDialog>
#include <QTimer>

#include <functional>

class QPushButton;
class QTableWidget;

namespace corvane {

// System > "Line statistics...": a non-modal view of how every address has behaved since the
// port was opened, kept current while it is shown. Reset empties the statistics; Copy puts them
// on the clipboard as tab-separated rows, which a spreadsheet takes as they are.
class LineStatisticsDialog : public QDialog {
    Q_OBJECT
public:
    // copy: where Copy puts its text (the clipboard unless a test says otherwise).
    LineStatisticsDialog(LineStatistics &statistics, std::function<void(const QString &)> copy,
                         QWidget *parent = nullptr);

    QTableWidget *Grid_statistics = nullptr;
    QPushButton *Button_reset = nullptr;
    QPushButton *Button_copy = nullptr;
    QPushButton *Button_close = nullptr;

    void setCopy(std::function<void(const QString &)> copy) { m_copy = std::move(copy); }
    // The statistics have changed: shown within a moment, not at every request.
    void changed();
    void refresh();

Q_SIGNALS:
    // After Reset.
    void statisticsReset();

protected:
    void showEvent(QShowEvent *event) override;

private:
    LineStatistics &m_statistics;
    std::function<void(const QString &)> m_copy;
    QTimer m_refresh;
};

} // namespace corvane
