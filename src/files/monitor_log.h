#pragma once

#include "line_statistics.h"
#include "readings.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QLocale>
#include <QString>

#include <chrono>

namespace corvane {

struct MonitorLogStart {
    QDateTime start;
    std::chrono::milliseconds interval{0};
    QString port;
    QList<int> addresses;
};

// The monitor's continuous log: a CSV file in UTF-8 with CR LF line ends and the export's
// separator. Each start appends header rows (Corvane, the start time, the interval, the port,
// the addresses and the column titles), then every reading appends one row: the time with its
// UTC offset, the address, the model, for inputs 1 to 8 the total consumption, total pulses,
// tariff 1 to 4 pulses and flow, then the battery and the first failure's reason, empty when
// every step answered, and last the address's line statistics as they stood after the reading.
// A cell that holds the separator, a quote or a line end is quoted.
//
// Each row goes to the operating system in one write as soon as it is made, so a crash of the
// program loses at most the row being written, and what was written before a failure stays. A
// row that cannot be written whole (a full disk) is taken back, so the file ends in whole rows.
class MonitorLog {
public:
    MonitorLog() = default;
    ~MonitorLog();
    MonitorLog(const MonitorLog &) = delete;
    MonitorLog &operator=(const MonitorLog &) = delete;

    // Opens path for appending, creating it when missing. Anything that is not a regular file
    // (a FIFO, a device, a folder) is refused and left untouched, and so is a symbolic link,
    // dangling or not. A file whose last row was cut off gets its line end first.
    bool open(const QString &path);
    void close();
    bool isOpen() const { return m_fd >= 0; }
    QString path() const { return m_path; }
    // Why the last open or write failed.
    QString errorString() const { return m_error; }

    bool writeStart(const MonitorLogStart &start, const QString &separator);
    bool writeReading(const DeviceReading &reading, const QString &separator,
                      const QLocale &locale, const LinkCounts *link = nullptr);

    // ISO 8601 local time to the second (or the millisecond) with its offset:
    // "2026-12-08T21:05:07+01:00".
    static QString timeText(const QDateTime &time, bool milliseconds = false);
    // One row: the cells joined by the separator, one that holds the separator, a quote or a
    // line end quoted, and CR LF; in UTF-8.
    static QByteArray csvRow(const QStringList &cells, const QString &separator);
    static QByteArray startRows(const MonitorLogStart &start, const QString &separator);
    static QByteArray readingRow(const DeviceReading &reading, const QString &separator,
                                 const QLocale &locale, const LinkCounts *link = nullptr);

private:
    bool write(const QByteArray &bytes);

    int m_fd = -1;
    QString m_path;
    QString m_error;
};

} // namespace corvane
