#include "mqtt_target.h"

#include <QFile>
#include <QFileInfo>
#include <QUrl>

namespace corvane {

std::optional<MqttTarget> parseMqttTarget(const QString &url) {
    const QUrl parsed(url, QUrl::StrictMode);
    if (!parsed.isValid() || !parsed.userInfo().isEmpty() || parsed.hasQuery() ||
        parsed.hasFragment())
        return std::nullopt;
    MqttTarget target;
    if (parsed.scheme() == QLatin1String("mqtts"))
        target.tls = true;
    else if (parsed.scheme() != QLatin1String("mqtt"))
        return std::nullopt;
    target.host = parsed.host();
    if (target.host.isEmpty())
        return std::nullopt;
    const int defaultPort = target.tls ? 8883 : 1883;
    target.port = parsed.port(defaultPort);
    if (target.port < 1 || target.port > 65535)
        return std::nullopt;
    QString prefix = parsed.path(QUrl::FullyDecoded);
    while (prefix.startsWith(QLatin1Char('/')))
        prefix.remove(0, 1);
    while (prefix.endsWith(QLatin1Char('/')))
        prefix.chop(1);
    // A wildcard or a NUL in a topic makes every publish fail; an empty level of the prefix
    // would be another tree than the one meant.
    if (prefix.isEmpty() || prefix.contains(QLatin1Char('+')) || prefix.contains(QLatin1Char('#')) ||
        prefix.contains(QChar(0)) || prefix.contains(QLatin1String("//")))
        return std::nullopt;
    target.prefix = prefix;
    return target;
}

std::optional<MqttCredentials> readMqttCredentials(const QString &path, QString *problem) {
    const auto failed = [problem](const QString &why) {
        if (problem)
            *problem = why;
        return std::nullopt;
    };
    const QFileInfo info(path);
    if (!info.exists())
        return failed(QStringLiteral("it does not exist"));
    // A FIFO would block the start, a device would be read without end.
    if (!info.isFile())
        return failed(QStringLiteral("it is not a regular file"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return failed(QStringLiteral("it cannot be read"));
    const QByteArray bytes = file.read(4096);
    QString line = QString::fromUtf8(bytes).section(QLatin1Char('\n'), 0, 0);
    if (line.endsWith(QLatin1Char('\r')))
        line.chop(1);
    const qsizetype colon = line.indexOf(QLatin1Char(':'));
    if (colon <= 0)
        return failed(QStringLiteral("its first line is not user:password"));
    return MqttCredentials{line.left(colon), line.mid(colon + 1)};
}

} // namespace corvane
