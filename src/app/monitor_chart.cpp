#include "monitor_chart.h"

#include <QCategoryAxis>
#include <QChart>
#include <QDateTime>
#include <QLegendMarker>
#include <QLineSeries>
#include <QMouseEvent>
#include <QValueAxis>
#include <QWheelEvent>

#include <algorithm>
#include <limits>

namespace corvane {
namespace {

// Eight colours told apart also in print.
const std::array<QColor, kMaxInputs> kInputColours{
    QColor(0x1f, 0x77, 0xb4), QColor(0xd6, 0x27, 0x28), QColor(0x2c, 0xa0, 0x2c),
    QColor(0xff, 0x7f, 0x0e), QColor(0x94, 0x67, 0xbd), QColor(0x8c, 0x56, 0x4b),
    QColor(0xe3, 0x77, 0xc2), QColor(0x17, 0xbe, 0xcf)};

// A minute at least, so that the first readings do not fill the chart edge to edge.
constexpr qint64 kShortestSpan = 60 * 1000;
constexpr qint64 kShortestZoom = 10 * 1000;

} // namespace

MonitorChart::MonitorChart(const MonitorHistory &history, QWidget *parent)
    : QChartView(parent), m_history(history) {
    m_chart = new QChart;
    m_chart->setMargins(QMargins(4, 4, 4, 4));
    // Above the plot, in one row: on the right the eight inputs would need more height than the
    // chart has beside the monitor table.
    m_chart->legend()->setAlignment(Qt::AlignTop);
    m_timeAxis = new QCategoryAxis;
    m_timeAxis->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    m_valueAxis = new QValueAxis;
    m_valueAxis->setLabelFormat(QStringLiteral("%.1f"));
    m_chart->addAxis(m_timeAxis, Qt::AlignBottom);
    m_chart->addAxis(m_valueAxis, Qt::AlignLeft);
    setChart(m_chart);
    setRenderHint(QPainter::Antialiasing);
    setMouseTracking(true);
    setAccessibleName(QStringLiteral("Monitor chart"));
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    m_from = now - kShortestSpan;
    m_to = now;
    setInputs(kMaxInputs);
}

void MonitorChart::setAddress(int address) {
    m_address = address;
    showAll();
}

void MonitorChart::setQuantity(MonitorQuantity quantity) {
    m_quantity = quantity;
    redraw();
}

void MonitorChart::setInputs(int inputs) {
    inputs = std::clamp(inputs, 1, kMaxInputs);
    // Told with every reading: only a change of layout redraws here.
    if (inputs == m_inputs && !m_lines[0].empty())
        return;
    m_inputs = inputs;
    for (auto &pieces : m_lines) {
        for (QLineSeries *series : pieces) {
            m_chart->removeSeries(series);
            delete series;
        }
        pieces.clear();
    }
    redraw();
}

void MonitorChart::refresh() {
    redraw();
}

void MonitorChart::showAll() {
    m_follow = true;
    redraw();
}

QList<QList<QPointF>> MonitorChart::shownLines(int input) const {
    QList<QList<QPointF>> lines;
    if (input < 1 || input > m_inputs)
        return lines;
    for (QLineSeries *series : m_lines[std::size_t(input - 1)]) {
        if (series->isVisible() && series->count() > 0)
            lines.append(series->points());
    }
    return lines;
}

QString MonitorChart::unitText() const {
    switch (m_quantity) {
    case MonitorQuantity::Flow:
        return QStringLiteral("l/s");
    case MonitorQuantity::Consumption:
        return QString();
    case MonitorQuantity::PulsesPerMinute:
        return QStringLiteral("pulses/min");
    }
    return QString();
}

void MonitorChart::redraw() {
    if (m_follow) {
        if (const auto span = m_history.span(m_address)) {
            m_to = std::max(span->second, span->first + kShortestSpan);
            m_from = span->first;
        }
    }
    // Two points per bucket, about one bucket for every three pixels.
    const int buckets = std::max(50, int(m_chart->plotArea().width()) / 3);
    double low = std::numeric_limits<double>::max();
    double high = std::numeric_limits<double>::lowest();
    for (int input = 1; input <= kMaxInputs; ++input) {
        auto &pieces = m_lines[std::size_t(input - 1)];
        const QList<QList<QPointF>> lines =
            input <= m_inputs ? m_history.lines(m_address, input, m_quantity, m_from, m_to, buckets)
                              : QList<QList<QPointF>>();
        const std::size_t wanted = input <= m_inputs ? std::max<std::size_t>(1, lines.size()) : 0;
        while (pieces.size() < wanted) {
            auto *series = new QLineSeries;
            QPen pen(kInputColours[std::size_t(input - 1)]);
            pen.setWidthF(1.5);
            series->setPen(pen);
            series->setColor(kInputColours[std::size_t(input - 1)]);
            series->setName(QStringLiteral("Input %1").arg(input));
            m_chart->addSeries(series);
            series->attachAxis(m_timeAxis);
            series->attachAxis(m_valueAxis);
            // Only the first piece of each input has its legend entry.
            if (!pieces.empty()) {
                for (QLegendMarker *marker : m_chart->legend()->markers(series))
                    marker->setVisible(false);
            }
            pieces.push_back(series);
        }
        for (std::size_t i = 0; i < pieces.size(); ++i) {
            QLineSeries *series = pieces[i];
            if (i < std::size_t(lines.size())) {
                const QList<QPointF> &line = lines.at(qsizetype(i));
                series->replace(line);
                // A reading between two gaps is a point of its own.
                series->setPointsVisible(line.size() == 1);
                series->setVisible(true);
                for (const QPointF &p : line) {
                    low = std::min(low, p.y());
                    high = std::max(high, p.y());
                }
            } else {
                series->clear();
                // The first piece stays, empty, for its legend entry.
                series->setVisible(i == 0);
            }
        }
    }
    labelTimes();
    if (low > high)
        fitValues(0, 1);
    else
        fitValues(low, high);
}

// About six labels at round times of day across the range.
void MonitorChart::labelTimes() {
    for (const QString &label : m_timeAxis->categoriesLabels())
        m_timeAxis->remove(label);
    const qint64 span = std::max<qint64>(1, m_to - m_from);
    static constexpr qint64 kSteps[] = {1,     2,     5,     10,    15,     30,    60,
                                        120,   300,   600,   900,   1800,   3600,  7200,
                                        10800, 21600, 43200, 86400, 172800, 604800};
    qint64 step = kSteps[std::size(kSteps) - 1] * 1000;
    for (qint64 seconds : kSteps) {
        if (seconds * 1000 * 6 >= span) {
            step = seconds * 1000;
            break;
        }
    }
    const QString format = span > 86400 * 1000LL ? QStringLiteral("dd.MM HH:mm")
                           : step >= 60 * 1000   ? QStringLiteral("HH:mm")
                                                 : QStringLiteral("HH:mm:ss");
    // Round in local time, so that labels fall on whole minutes and hours of the clock.
    const qint64 offset = qint64(QDateTime::fromMSecsSinceEpoch(m_from).offsetFromUtc()) * 1000;
    m_timeAxis->setStartValue(double(m_from));
    for (qint64 t = ((m_from + offset + step - 1) / step) * step - offset; t <= m_to; t += step)
        m_timeAxis->append(QDateTime::fromMSecsSinceEpoch(t).toString(format), double(t));
    m_timeAxis->setRange(double(m_from), double(m_to));
}

void MonitorChart::fitValues(double low, double high) {
    // Flow, consumption and pulses do not go below zero: an axis from zero shows a change at its
    // true size. A negative value (a meter set below zero) still gets room below.
    const bool fromZero = low >= 0;
    if (fromZero)
        low = 0;
    if (high - low < 1e-9) {
        low -= fromZero ? 0 : 1;
        high += 1;
    }
    const double margin = (high - low) * 0.05;
    m_valueAxis->setRange(fromZero ? 0 : low - margin, high + margin);
    m_valueAxis->applyNiceNumbers();
    m_valueAxis->setTitleText(unitText());
}

std::pair<double, double> MonitorChart::valueRange() const {
    return {m_valueAxis->min(), m_valueAxis->max()};
}

double MonitorChart::timeAt(const QPointF &viewPos) const {
    return m_chart->mapToValue(mapToScene(viewPos.toPoint())).x();
}

void MonitorChart::wheelEvent(QWheelEvent *event) {
    const int steps = event->angleDelta().y() / 120;
    if (steps == 0) {
        event->ignore();
        return;
    }
    const double centre = std::clamp(timeAt(event->position()), double(m_from), double(m_to));
    const double factor = steps > 0 ? std::pow(0.8, steps) : std::pow(1.25, -steps);
    const qint64 span = std::max<qint64>(kShortestZoom, qint64((m_to - m_from) * factor));
    const double share = m_to > m_from ? (centre - m_from) / double(m_to - m_from) : 1.0;
    m_from = qint64(centre - share * span);
    m_to = m_from + span;
    m_follow = false;
    redraw();
    event->accept();
}

void MonitorChart::mousePressEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton) {
        m_dragFrom = event->position();
        m_dragRangeFrom = m_from;
        m_dragRangeTo = m_to;
        event->accept();
        return;
    }
    QChartView::mousePressEvent(event);
}

void MonitorChart::mouseMoveEvent(QMouseEvent *event) {
    const QPointF value = m_chart->mapToValue(mapToScene(event->position().toPoint()));
    if (m_chart->plotArea().contains(mapToScene(event->position().toPoint()))) {
        QString text =
            QDateTime::fromMSecsSinceEpoch(qint64(value.x())).toString(QStringLiteral("HH:mm:ss")) +
            QStringLiteral("  ") + QString::number(value.y(), 'f', 1);
        if (!unitText().isEmpty())
            text += QLatin1Char(' ') + unitText();
        setCursorText(text);
    } else {
        setCursorText(QString());
    }
    if (m_dragFrom && (event->buttons() & Qt::LeftButton)) {
        const double width = m_chart->plotArea().width();
        if (width > 0) {
            const double dx = event->position().x() - m_dragFrom->x();
            const qint64 shift = qint64(-dx / width * double(m_dragRangeTo - m_dragRangeFrom));
            m_from = m_dragRangeFrom + shift;
            m_to = m_dragRangeTo + shift;
            m_follow = false;
            redraw();
        }
        event->accept();
        return;
    }
    QChartView::mouseMoveEvent(event);
}

void MonitorChart::mouseReleaseEvent(QMouseEvent *event) {
    if (event->button() == Qt::LeftButton && m_dragFrom) {
        m_dragFrom.reset();
        event->accept();
        return;
    }
    QChartView::mouseReleaseEvent(event);
}

void MonitorChart::mouseDoubleClickEvent(QMouseEvent *event) {
    showAll();
    event->accept();
}

void MonitorChart::leaveEvent(QEvent *event) {
    setCursorText(QString());
    QChartView::leaveEvent(event);
}

void MonitorChart::setCursorText(const QString &text) {
    if (text == m_cursorText)
        return;
    m_cursorText = text;
    Q_EMIT cursorTextChanged(text);
}

} // namespace corvane
