#include "log_pane.h"

#include <algorithm>

#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTime>

namespace corvane {

LogPane::LogPane(QPlainTextEdit *pane, QObject *parent) : QObject(parent), m_pane(pane) {
    m_flush.setSingleShot(true);
    m_flush.setInterval(kFlushInterval);
    connect(&m_flush, &QTimer::timeout, this, &LogPane::flush);
    // The range also grows later, when long lines bring the horizontal scroll bar and the
    // viewport loses a line's height; following means catching up with that too.
    QScrollBar *bar = m_pane->verticalScrollBar();
    connect(bar, &QScrollBar::valueChanged, this,
            [this, bar](int value) { m_following = value >= bar->maximum(); });
    connect(bar, &QScrollBar::rangeChanged, this, [this, bar](int, int maximum) {
        if (m_following)
            bar->setValue(maximum);
    });
}

void LogPane::append(const QString &line, QStringView marker) {
    if (line.isEmpty() || (marker.isEmpty() && !m_clock)) {
        m_pending.append(line);
    } else {
        QString stamped;
        if (m_clock)
            stamped = m_clock().toString(QStringLiteral("hh:mm:ss.zzz "));
        if (!marker.isEmpty()) {
            stamped += marker;
            stamped += QLatin1Char(' ');
        }
        m_pending.append(stamped + line);
    }
    // Under a flood with a limit, lines that the pane would drop at once are not kept waiting.
    const int limit = m_pane->maximumBlockCount();
    if (limit > 0 && m_pending.size() > limit)
        m_pending.remove(0, m_pending.size() - limit);
    if (!m_flush.isActive())
        m_flush.start();
}

void LogPane::flush() {
    m_flush.stop();
    if (m_pending.isEmpty())
        return;
    const bool following = m_following;
    m_pane->appendPlainText(m_pending.join(QLatin1Char('\n')));
    m_pending.clear();
    if (following)
        m_pane->verticalScrollBar()->setValue(m_pane->verticalScrollBar()->maximum());
}

void LogPane::setLineLimit(int lines) {
    m_pane->setMaximumBlockCount(std::max(lines, 0));
}

void LogPane::clear() {
    m_flush.stop();
    m_pending.clear();
    m_pane->clear();
}

} // namespace corvane
