#include "log_pane.h"

#include <QPlainTextEdit>
#include <QScrollBar>

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

void LogPane::append(const QString &line) {
    m_pending.append(line);
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

void LogPane::clear() {
    m_flush.stop();
    m_pending.clear();
    m_pane->clear();
}

} // namespace corvane
