#pragma once

#include "monitor_json.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>

#include <optional>

namespace corvane {

// A command from the broker, for the running monitor: only these three, which read a logger or
// set its clock. Parameters, addresses, line settings, the lock and the service password are
// never taken from a broker.
struct MqttCommand {
    enum class Kind { SetClock, ReadNow, Identify };
    Kind kind = Kind::ReadNow;
    int address = 0;
    // set-clock: the time to set, or nothing for the PC's clock at the moment it is set.
    std::optional<QDateTime> time;
};

// A command message taken apart: the command, or the error its result gives. What a result
// needs is there either way.
struct MqttCommandParse {
    std::optional<MqttCommand> command;
    QString error;
    // As the message gave them; null when it did not.
    QJsonValue id;
    QString name;
    QByteArray resultTopic;
};

inline constexpr const char *kCommandNames[] = {"set-clock", "read-now", "identify"};

// The subscription: PREFIX/+/command.
QByteArray commandTopics(const QString &prefix);
// topic: PREFIX/ADDRESS/command; payload: {"command": ..., "time": ..., "id": ...}.
MqttCommandParse parseMqttCommand(const QString &prefix, const QByteArray &topic,
                                  const QByteArray &payload, const QList<int> &watched);

// {"id", "command", "result": "ok" | "error", "error": text or null, "time", "ms"}, and what
// extra holds besides.
QByteArray mqttCommandResult(const QJsonValue &id, const QString &command,
                             const std::optional<QString> &error, const QDateTime &time,
                             qint64 ms, const QJsonObject &extra = {});

// Home Assistant buttons "Set clock" and "Read now" of one logger, publishing to its command
// topic.
QList<DiscoveryConfig> discoveryButtons(const QString &prefix, int address,
                                        const QString &deviceId, const QString &model);

} // namespace corvane
