#include "mqtt_commands.h"

#include "address_store.h"
#include "cli_options.h"
#include "monitor_log.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace corvane {
namespace {

// Longer than any command: a larger payload is not one.
constexpr qsizetype kLongestCommand = 4096;

QString commandListText() {
    QStringList names;
    for (const char *name : kCommandNames)
        names << QLatin1String(name);
    return names.join(QStringLiteral(", "));
}

} // namespace

QByteArray commandTopics(const QString &prefix) {
    return QStringLiteral("%1/+/command").arg(prefix).toUtf8();
}

MqttCommandParse parseMqttCommand(const QString &prefix, const QByteArray &topic,
                                  const QByteArray &payload, const QList<int> &watched) {
    MqttCommandParse parse;
    const QString text = QString::fromUtf8(topic);
    const QString head = prefix + QLatin1Char('/');
    const QString tail = QStringLiteral("/command");
    // The one level between the prefix and /command names the address.
    const QString level = text.startsWith(head) && text.endsWith(tail)
                              ? text.mid(head.size(), text.size() - head.size() - tail.size())
                              : QString();
    parse.resultTopic = QStringLiteral("%1/%2/result").arg(prefix, level).toUtf8();
    const auto failed = [&parse](const QString &why) {
        parse.error = why;
        return parse;
    };
    if (payload.size() > kLongestCommand)
        return failed(QStringLiteral("the message is longer than any command"));
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(payload, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return failed(QStringLiteral("the message is not a JSON object"));
    const QJsonObject object = document.object();
    parse.id = object.value(QLatin1String("id"));
    if (parse.id.isUndefined())
        parse.id = QJsonValue::Null;
    const QJsonValue name = object.value(QLatin1String("command"));
    if (!name.isString())
        return failed(QStringLiteral("no command: one of %1").arg(commandListText()));
    parse.name = name.toString();
    MqttCommand command;
    if (parse.name == QLatin1String("set-clock"))
        command.kind = MqttCommand::Kind::SetClock;
    else if (parse.name == QLatin1String("read-now"))
        command.kind = MqttCommand::Kind::ReadNow;
    else if (parse.name == QLatin1String("identify"))
        command.kind = MqttCommand::Kind::Identify;
    else
        return failed(QStringLiteral("unknown command '%1': one of %2")
                          .arg(parse.name.left(64), commandListText()));
    bool isNumber = false;
    const int address = level.toInt(&isNumber, 10);
    if (!isNumber || level != QString::number(address) || !AddressStore::isValidAddress(address))
        return failed(QStringLiteral("'%1' is not an address").arg(level.left(64)));
    if (!watched.contains(address))
        return failed(QStringLiteral("address %1 is not watched").arg(address));
    command.address = address;
    if (command.kind == MqttCommand::Kind::SetClock && object.contains(QLatin1String("time"))) {
        const QJsonValue time = object.value(QLatin1String("time"));
        QString why = QStringLiteral("ISO 8601, such as 2026-03-29T03:00:00");
        const std::optional<QDateTime> parsed =
            time.isString() ? parseLoggerTime(time.toString(), &why) : std::nullopt;
        if (!parsed)
            return failed(QStringLiteral("bad time: %1").arg(why));
        command.time = parsed;
    }
    parse.command = command;
    return parse;
}

QByteArray mqttCommandResult(const QJsonValue &id, const QString &command,
                             const std::optional<QString> &error, const QDateTime &time,
                             qint64 ms, const QJsonObject &extra) {
    QJsonObject result = extra;
    result.insert(QStringLiteral("id"), id);
    result.insert(QStringLiteral("command"), command);
    result.insert(QStringLiteral("result"), error ? QStringLiteral("error") : QStringLiteral("ok"));
    result.insert(QStringLiteral("error"), error ? QJsonValue(*error) : QJsonValue(QJsonValue::Null));
    result.insert(QStringLiteral("time"), MonitorLog::timeText(time));
    result.insert(QStringLiteral("ms"), ms);
    return QJsonDocument(result).toJson(QJsonDocument::Compact);
}

QList<DiscoveryConfig> discoveryButtons(const QString &prefix, int address,
                                        const QString &deviceId, const QString &model) {
    const QString node = QStringLiteral("corvane_") + deviceId;
    const QJsonObject device = discoveryDevice(address, deviceId, model);
    QList<DiscoveryConfig> configs;
    const struct {
        const char *key;
        const char *name;
        const char *command;
    } buttons[] = {{"set_clock", "Set clock", "set-clock"}, {"read_now", "Read now", "read-now"}};
    for (const auto &button : buttons) {
        const QString id = QStringLiteral("%1_0_%2").arg(node, QLatin1String(button.key));
        const QJsonObject press{{QStringLiteral("command"), QLatin1String(button.command)},
                                {QStringLiteral("id"), QStringLiteral("home-assistant")}};
        const QJsonObject config{
            {QStringLiteral("name"), QLatin1String(button.name)},
            {QStringLiteral("unique_id"), id},
            {QStringLiteral("object_id"), id},
            {QStringLiteral("command_topic"),
             QStringLiteral("%1/%2/command").arg(prefix).arg(address)},
            {QStringLiteral("payload_press"),
             QString::fromUtf8(QJsonDocument(press).toJson(QJsonDocument::Compact))},
            {QStringLiteral("qos"), 1},
            {QStringLiteral("availability_topic"),
             QString::fromUtf8(availabilityTopic(prefix, address))},
            {QStringLiteral("device"), device}};
        configs.append({QStringLiteral("homeassistant/button/%1/config").arg(id).toUtf8(),
                        QJsonDocument(config).toJson(QJsonDocument::Compact)});
    }
    return configs;
}

} // namespace corvane
