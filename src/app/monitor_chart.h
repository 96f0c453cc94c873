#pragma once

#include "monitor_history.h"

#include <QChartView>
#include <QString>

#include <array>
#include <functional>
#include <optional>
#include <vector>

class QChart;
class QCategoryAxis;
class QLineSeries;
class QValueAxis;

namespace corvane {

// The monitor's live chart: one line per input of the chosen address, for the chosen quantity,
// over a time axis. It shows the whole history and follows new readings until the operator
// zooms (wheel) or pans (drag) the time axis; a double click goes back to the whole history. A
// line breaks where a reading is missing, so a silent logger is a gap, never a zero.
class MonitorChart : public QChartView {
    Q_OBJECT
public:
    explicit MonitorChart(const MonitorHistory &history, QWidget *parent = nullptr);

    void setAddress(int address);
    void setQuantity(MonitorQuantity quantity);
    // How many input lines the chart shows (the model's inputs); a change redraws.
    void setInputs(int inputs);
    int address() const { return m_address; }
    MonitorQuantity quantity() const { return m_quantity; }
    // New readings: redraws what is in view.
    void refresh();
    // The whole history, following new readings.
    void showAll();
    // The time range in view, in ms since the epoch.
    std::pair<qint64, qint64> timeRange() const { return {m_from, m_to}; }
    bool follows() const { return m_follow; }
    // The value axis's range as drawn.
    std::pair<double, double> valueRange() const;
    // The lines drawn for an input (1..8), as the chart holds them.
    QList<QList<QPointF>> shownLines(int input) const;
    // "21:05:07  2.5 l/s": the time and value under the mouse, empty when it is elsewhere.
    QString cursorText() const { return m_cursorText; }

Q_SIGNALS:
    void cursorTextChanged(const QString &text);

protected:
    void wheelEvent(QWheelEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    void redraw();
    void fitValues(double low, double high);
    void setCursorText(const QString &text);
    // The time at a horizontal position of the view.
    double timeAt(const QPointF &viewPos) const;
    QString unitText() const;
    void labelTimes();

    const MonitorHistory &m_history;
    QChart *m_chart = nullptr;
    // A value axis labelled with times of day: the date-time axis does not draw on every
    // platform plugin.
    QCategoryAxis *m_timeAxis = nullptr;
    QValueAxis *m_valueAxis = nullptr;
    // Per input, its pieces of line: the first carries the legend entry.
    std::array<std::vector<QLineSeries *>, kMaxInputs> m_lines;
    int m_address = 1;
    int m_inputs = kMaxInputs;
    MonitorQuantity m_quantity = MonitorQuantity::Flow;
    bool m_follow = true;
    qint64 m_from = 0;
    qint64 m_to = 0;
    std::optional<QPointF> m_dragFrom;
    qint64 m_dragRangeFrom = 0;
    qint64 m_dragRangeTo = 0;
    QString m_cursorText;
};

} // namespace corvane
