#pragma once

#include "bus_description.h"
#include "bus_exchange.h"

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>

namespace corvane {

// A heard exchange, or a run of noise, as corvane-cli listen prints it and the window saves it.
// Texts that came from the line are shown with their control characters escaped, so nothing a
// device sends can reach a terminal or break a row.

// ISO 8601 local time to the millisecond with its offset: "2026-12-06T09:05:07.250+01:00".
QString heardTimeText(const QDateTime &time);
// "1=m3; 2=kWh", "clock=09:05 06.12.26".
QString valuesText(const QList<ExchangeValue> &values);
// "0001 00C8": the registers as four hexadecimal digits each.
QString registersText(const QList<int> &registers);
// The reply time in milliseconds with one decimal, or an empty text.
QString replyMsText(const HeardExchange &exchange);

// One line: time, address, function, register, count, verdict, reply time, what, values and
// registers, "-" where one has none; noise as its time and "noise, N bytes".
QString exchangeText(const HeardExchange &exchange, const ExchangeDescription &description,
                     const QDateTime &time);
// One JSON object on one line: time, address, function, register, count, registers, verdict,
// replyMs, what and values (a number where the value is one); noise as time and noise (its
// length).
QByteArray exchangeJson(const HeardExchange &exchange, const ExchangeDescription &description,
                        const QDateTime &time);

// Rows of a CSV file in UTF-8 with CR LF line ends and ";" between cells, quoted where a cell
// holds one.
QByteArray exchangeCsvHeader();
QByteArray exchangeCsvRow(const HeardExchange &exchange, const ExchangeDescription &description,
                          const QDateTime &time);

// The capture of a listening: every frame and run of noise with its time, its direction as
// guessed ("request", "reply" or "noise"), its length and its bytes in hexadecimal. The file is
// created afresh, anything but a regular file refused, and each row goes to the system in one
// write as soon as it is heard.
class BusCapture {
public:
    bool open(const QString &path);
    bool isOpen() const { return m_file.isOpen(); }
    bool write(const HeardFrame &frame, FrameRole role, const QDateTime &time);
    void close() { m_file.close(); }
    QString errorString() const { return m_error; }

    static QByteArray header();
    static QByteArray row(const HeardFrame &frame, FrameRole role, const QDateTime &time);

private:
    bool writeRow(const QByteArray &row);

    QFile m_file;
    QString m_error;
};

} // namespace corvane
