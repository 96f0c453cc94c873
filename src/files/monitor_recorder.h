#pragma once

#include "line_statistics.h"
#include "monitor_history.h"
#include "monitor_log.h"
#include "readings.h"

#include <QDateTime>
#include <QHash>
#include <QLocale>
#include <QString>

#include <optional>

namespace corvane {

// How a watched address stands, from its latest readings.
enum class MonitorState {
    // Not read yet in this run.
    Unknown,
    // Its last reading answered every step.
    Online,
    // Its last reading failed, the one before did not.
    NoReply,
    // Two readings in a row failed: one alone may be a burst of noise.
    Offline,
};

// "online", "no reply", "offline", or empty before the first reading.
QString monitorStateText(MonitorState state);

// What the monitor's readings become, the same in the window and on the command line: the
// history the chart draws, the CSV log (its header at each start, a row per reading with the
// address's line statistics at the end) and each address's state and latest reading.
//
// A reading that failed (any step of it) still goes into the history as a gap and into the log
// as a row with its reason; it never renews the values shown for its address, which stay those
// of its last whole reading, beside that reading's time. A log that cannot be written is closed, and record says so: what was
// written before stays.
class MonitorRecorder {
public:
    static constexpr int kMissedForOffline = 2;

    // statistics: the link counts of each row, or none.
    explicit MonitorRecorder(const LineStatistics *statistics = nullptr)
        : m_statistics(statistics) {}

    bool openLog(const QString &path) { return m_log.open(path); }
    void closeLog() { m_log.close(); }
    bool logOpen() const { return m_log.isOpen(); }
    QString logPath() const { return m_log.path(); }
    // Why the log could not be opened or written.
    QString logError() const { return m_log.errorString(); }

    // A new run: the history sized for its addresses, the states forgotten, the log's header
    // rows written. False when they could not be written; the log is then closed.
    bool start(const MonitorLogStart &start, const QString &separator);
    // False when the log was open and its row could not be written; the log is then closed.
    bool record(const DeviceReading &reading, const QString &separator, const QLocale &locale);

    const MonitorHistory &history() const { return m_history; }
    MonitorState state(int address) const { return m_addresses.value(address).state; }
    // Failed readings since its last good one.
    int missed(int address) const { return m_addresses.value(address).missed; }
    // The latest reading of the address that answered every step.
    const DeviceReading *lastGoodReading(int address) const;

private:
    struct Address {
        MonitorState state = MonitorState::Unknown;
        int missed = 0;
        std::optional<DeviceReading> lastGood;
    };

    const LineStatistics *m_statistics;
    MonitorLog m_log;
    MonitorHistory m_history;
    QHash<int, Address> m_addresses;
};

} // namespace corvane
