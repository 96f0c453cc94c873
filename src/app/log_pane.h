#pragma once

#include <QObject>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>

class QPlainTextEdit;

namespace corvane {

// Adds lines to a log pane in batches. A flood of received bytes gives hundreds of lines a
// second, and every single append lays out and repaints the pane: gathered and added in one
// piece at most every kFlushInterval, the same lines cost a small fraction of that. The pane ends
// up with exactly the text that line-by-line appends would give.
//
// The pane keeps showing its newest line unless the operator has scrolled away from it; the
// horizontal scroll bar that long lines bring does not change that.
class LogPane : public QObject {
public:
    static constexpr std::chrono::milliseconds kFlushInterval{40};

    explicit LogPane(QPlainTextEdit *pane, QObject *parent = nullptr);

    // A non-empty marker ("TX", "RX") goes before the line, the time before both. Empty lines
    // stay empty: they separate replies and belong to no moment.
    void append(const QString &line, QStringView marker = {});
    // The gathered lines into the pane now.
    void flush();
    // Empties the pane, dropping the lines not yet shown.
    void clear();
    // The clock gives each line its time (hh:mm:ss.zzz); none leaves the lines as given.
    void setClock(std::function<QTime()> clock) { m_clock = std::move(clock); }
    // The oldest lines leave the pane beyond this many; 0 keeps every line.
    void setLineLimit(int lines);

private:
    QPlainTextEdit *m_pane;
    QStringList m_pending;
    QTimer m_flush;
    std::function<QTime()> m_clock;
    // Whether the pane shows its newest line: true until the operator scrolls away from it.
    bool m_following = true;
};

} // namespace corvane
