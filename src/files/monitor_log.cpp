#include "monitor_log.h"

#include "regular_file.h"
#include "value_encoding.h"

#include <QFile>
#include <QStringList>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {
namespace {

QString cell(const QString &text, const QString &separator) {
    const bool quote = (!separator.isEmpty() && text.contains(separator)) ||
                       text.contains(QLatin1Char('"')) || text.contains(QLatin1Char('\r')) ||
                       text.contains(QLatin1Char('\n'));
    if (!quote)
        return text;
    QString quoted = text;
    quoted.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString number(const std::optional<std::int32_t> &value) {
    return value ? QString::number(*value) : QString();
}

QString tenths(const std::optional<std::int32_t> &value, const QLocale &locale) {
    return value ? formatTenths(*value, locale) : QString();
}

QString osError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

MonitorLog::~MonitorLog() {
    close();
}

bool MonitorLog::open(const QString &path) {
    close();
    m_path = path;
    m_error.clear();
    // Rows written through a link would land in whatever it names, a dangling one creating it.
    const int fd = openRegularFileForWriting(path, O_RDWR | O_APPEND, &m_error);
    if (fd < 0)
        return false;
    m_fd = fd;
    const off_t size = ::lseek(fd, 0, SEEK_END);
    // A row cut off by a crash or a full disk gets its line end, so that the next row never
    // joins it.
    char last = '\n';
    if (size > 0 && (::pread(fd, &last, 1, size - 1) != 1 || last != '\n') &&
        !write(QByteArrayLiteral("\r\n"))) {
        close();
        return false;
    }
    return true;
}

void MonitorLog::close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

bool MonitorLog::write(const QByteArray &bytes) {
    if (m_fd < 0) {
        m_error = QStringLiteral("the file is not open");
        return false;
    }
    // Rows written to a file whose folder was removed would land nowhere anyone can read.
    struct stat byPath {};
    struct stat byDescriptor {};
    if (::stat(QFile::encodeName(m_path).constData(), &byPath) != 0 ||
        ::fstat(m_fd, &byDescriptor) != 0 || byPath.st_dev != byDescriptor.st_dev ||
        byPath.st_ino != byDescriptor.st_ino) {
        m_error = QStringLiteral("the file or its folder is gone");
        return false;
    }
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.constData() + done, std::size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            m_error = n < 0 ? osError(errno) : QStringLiteral("nothing could be written");
            // Part of a row is no row: the file goes back to where the whole rows end.
            if (done > 0 && ::ftruncate(m_fd, byDescriptor.st_size) != 0)
                m_error += QStringLiteral(", and the part written could not be taken back");
            return false;
        }
        done += n;
    }
    return true;
}

QByteArray MonitorLog::csvRow(const QStringList &cells, const QString &separator) {
    QStringList quoted;
    for (const QString &text : cells)
        quoted << cell(text, separator);
    return (quoted.join(separator) + QStringLiteral("\r\n")).toUtf8();
}

QString MonitorLog::timeText(const QDateTime &time, bool milliseconds) {
    const int offset = time.offsetFromUtc();
    const int minutes = std::abs(offset) / 60;
    return time.toString(milliseconds ? QStringLiteral("yyyy-MM-ddTHH:mm:ss.zzz")
                                      : QStringLiteral("yyyy-MM-ddTHH:mm:ss")) +
           (offset < 0 ? QLatin1Char('-') : QLatin1Char('+')) +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

QByteArray MonitorLog::startRows(const MonitorLogStart &start, const QString &separator) {
    QStringList addresses;
    for (int address : start.addresses)
        addresses << QString::number(address);
    const double seconds = std::chrono::duration<double>(start.interval).count();
    QByteArray rows = csvRow({QStringLiteral("Corvane monitor log")}, separator);
    rows += csvRow({QStringLiteral("Started"), timeText(start.start)}, separator);
    rows += csvRow({QStringLiteral("Interval (s)"), QString::number(seconds, 'g', 6)}, separator);
    rows += csvRow({QStringLiteral("Port"), start.port}, separator);
    rows += csvRow({QStringLiteral("Addresses"), addresses.join(QLatin1Char(','))}, separator);
    QStringList titles{QStringLiteral("Time"), QStringLiteral("Address"), QStringLiteral("Model")};
    for (int input = 1; input <= kMaxInputs; ++input) {
        const QString in = QStringLiteral("Input %1 ").arg(input);
        titles << in + QStringLiteral("total consumption") << in + QStringLiteral("total pulses");
        for (int tariff = 1; tariff <= kTariffs; ++tariff)
            titles << in + QStringLiteral("tariff %1 pulses").arg(tariff);
        titles << in + QStringLiteral("flow (l/s)");
    }
    titles << QStringLiteral("Battery (V)") << QStringLiteral("Error");
    titles << LineStatistics::columnTitles().mid(1);
    rows += csvRow(titles, separator);
    return rows;
}

QByteArray MonitorLog::readingRow(const DeviceReading &reading, const QString &separator,
                                  const QLocale &locale, const LinkCounts *link) {
    QStringList cells{timeText(reading.time), QString::number(reading.address), reading.model};
    for (const InputReading &in : reading.inputs) {
        cells << tenths(in.consumptionTenths, locale) << number(in.totalPulses);
        for (const auto &pulses : in.tariffPulses)
            cells << number(pulses);
        cells << tenths(in.flowTenths, locale);
    }
    cells << (reading.batteryByte ? formatBatteryLevel(*reading.batteryByte, locale) : QString());
    cells << reading.failureReason().value_or(QString());
    if (!link)
        return csvRow(cells, separator);
    const LinkCounts &c = *link;
    for (const qint64 count : {c.requests, c.replies, c.noReply, c.crcErrors, c.mismatches,
                               c.exceptions, c.retries, c.strayBytes})
        cells << QString::number(count);
    for (const auto &ms : {c.medianMs, c.p95Ms, c.maxMs})
        cells << (ms ? QString::number(*ms, 'f', 1).replace(QLatin1Char('.'), locale.decimalPoint())
                      : QString());
    return csvRow(cells, separator);
}

bool MonitorLog::writeStart(const MonitorLogStart &start, const QString &separator) {
    return write(startRows(start, separator));
}

bool MonitorLog::writeReading(const DeviceReading &reading, const QString &separator,
                              const QLocale &locale, const LinkCounts *link) {
    return write(readingRow(reading, separator, locale, link));
}

} // namespace corvane
