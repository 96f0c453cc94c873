#include "exchange_format.h"

#include "monitor_log.h"
#include "regular_file.h"
#include "value_encoding.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <fcntl.h>
#include <unistd.h>

namespace corvane {
namespace {

const QString kSeparator = QStringLiteral(";");
const QString kNone = QStringLiteral("-");

QString hex(int value, int digits) {
    return QString::number(value, 16).rightJustified(digits, u'0').toUpper();
}

QByteArray csvRow(const QStringList &cells) {
    return MonitorLog::csvRow(cells, kSeparator);
}

bool isNoise(const HeardExchange &exchange) {
    return exchange.verdict == HeardExchange::Verdict::Noise;
}

QString optionalHex(const std::optional<int> &value, int digits) {
    return value ? hex(*value, digits) : kNone;
}

} // namespace

QString heardTimeText(const QDateTime &time) {
    return MonitorLog::timeText(time, true);
}

QString valuesText(const QList<ExchangeValue> &values) {
    QStringList texts;
    for (const ExchangeValue &value : values)
        texts << value.name + QLatin1Char('=') + visibleText(value.text);
    return texts.join(QStringLiteral("; "));
}

QString registersText(const QList<int> &registers) {
    QStringList words;
    for (const int value : registers)
        words << hex(value, 4);
    return words.join(QLatin1Char(' '));
}

QString replyMsText(const HeardExchange &exchange) {
    if (!exchange.replyTime)
        return {};
    return QString::number(std::chrono::duration<double, std::milli>(*exchange.replyTime).count(),
                           'f', 1);
}

QString exchangeText(const HeardExchange &exchange, const ExchangeDescription &description,
                     const QDateTime &time) {
    if (isNoise(exchange))
        return heardTimeText(time) + QStringLiteral("  ") + description.what;
    const QString reply = replyMsText(exchange);
    QStringList fields{heardTimeText(time),
                       QString::number(exchange.address()),
                       hex(exchange.function(), 2),
                       optionalHex(description.reg, 4),
                       description.count ? QString::number(*description.count) : kNone,
                       verdictText(exchange),
                       reply.isEmpty() ? kNone : reply + QStringLiteral(" ms"),
                       description.what};
    if (!description.values.isEmpty())
        fields << valuesText(description.values);
    if (!description.registers.isEmpty())
        fields << QLatin1Char('[') + registersText(description.registers) + QLatin1Char(']');
    return fields.join(QStringLiteral("  "));
}

QByteArray exchangeJson(const HeardExchange &exchange, const ExchangeDescription &description,
                        const QDateTime &time) {
    QJsonObject object;
    object.insert(QStringLiteral("time"), heardTimeText(time));
    if (isNoise(exchange)) {
        object.insert(QStringLiteral("noise"), int(exchange.reply.size()));
        return QJsonDocument(object).toJson(QJsonDocument::Compact);
    }
    const auto optional = [](const std::optional<int> &value) {
        return value ? QJsonValue(*value) : QJsonValue(QJsonValue::Null);
    };
    object.insert(QStringLiteral("address"), exchange.address());
    object.insert(QStringLiteral("function"), exchange.function());
    object.insert(QStringLiteral("register"), optional(description.reg));
    object.insert(QStringLiteral("count"), optional(description.count));
    QJsonArray registers;
    for (const int value : description.registers)
        registers.append(value);
    object.insert(QStringLiteral("registers"), registers);
    object.insert(QStringLiteral("verdict"), verdictText(exchange));
    object.insert(QStringLiteral("replyMs"), exchange.replyTime
                                                 ? QJsonValue(replyMsText(exchange).toDouble())
                                                 : QJsonValue(QJsonValue::Null));
    object.insert(QStringLiteral("what"), description.what);
    QJsonObject values;
    for (const ExchangeValue &value : description.values)
        values.insert(value.name,
                      value.number ? QJsonValue(*value.number) : QJsonValue(value.text));
    object.insert(QStringLiteral("values"), values);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray exchangeCsvHeader() {
    return csvRow({QStringLiteral("Time"), QStringLiteral("Address"), QStringLiteral("Function"),
                   QStringLiteral("Register"), QStringLiteral("Count"), QStringLiteral("Verdict"),
                   QStringLiteral("Reply ms"), QStringLiteral("What"), QStringLiteral("Values"),
                   QStringLiteral("Registers")});
}

QByteArray exchangeCsvRow(const HeardExchange &exchange, const ExchangeDescription &description,
                          const QDateTime &time) {
    if (isNoise(exchange))
        return csvRow({heardTimeText(time), {}, {}, {}, {}, {}, {}, description.what, {}, {}});
    return csvRow({heardTimeText(time), QString::number(exchange.address()),
                   QStringLiteral("0x") + hex(exchange.function(), 2),
                   description.reg ? QStringLiteral("0x") + hex(*description.reg, 4) : QString(),
                   description.count ? QString::number(*description.count) : QString(),
                   verdictText(exchange), replyMsText(exchange), description.what,
                   valuesText(description.values), registersText(description.registers)});
}

bool BusCapture::open(const QString &path) {
    close();
    m_error.clear();
    const int fd = openRegularFileForWriting(path, O_WRONLY | O_TRUNC, &m_error);
    if (fd < 0)
        return false;
    if (!m_file.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered,
                     QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        m_error = m_file.errorString();
        return false;
    }
    return writeRow(header());
}

bool BusCapture::write(const HeardFrame &frame, FrameRole role, const QDateTime &time) {
    return writeRow(row(frame, role, time));
}

QByteArray BusCapture::header() {
    return csvRow({QStringLiteral("Time"), QStringLiteral("Direction"), QStringLiteral("Length"),
                   QStringLiteral("Hex")});
}

QByteArray BusCapture::row(const HeardFrame &frame, FrameRole role, const QDateTime &time) {
    return csvRow({heardTimeText(time), frameRoleText(role), QString::number(frame.bytes.size()),
                   QString::fromLatin1(frame.bytes.toHex(' ').toUpper())});
}

bool BusCapture::writeRow(const QByteArray &bytes) {
    if (!m_file.isOpen()) {
        m_error = QStringLiteral("the file is not open");
        return false;
    }
    if (m_file.write(bytes) != bytes.size()) {
        m_error = m_file.errorString();
        return false;
    }
    return true;
}

} // namespace corvane
