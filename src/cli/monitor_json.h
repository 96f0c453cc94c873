#pragma once

#include "line_statistics.h"
#include "readings.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>

namespace corvane {

// One monitor reading as a script gets it: time (ISO 8601 with offset), address, model, per
// input the consumption with its unit text, total pulses, tariff pulses and flow in l/s, the
// battery in volts, and error, null or the first failure's reason. A value the reading lacks is
// null. inputs: the model's count, or all eight when the model is not known. With link, the
// address's line statistics as "link".
QJsonObject monitorReadingJson(const DeviceReading &reading, const LinkCounts *link = nullptr);
QByteArray monitorReadingLine(const DeviceReading &reading, const LinkCounts *link = nullptr);
// {"requests", "replies", "noReply", "crcErrors", "mismatches", "exceptions", "retries",
// "strayBytes", "replyMs": {"median", "p95", "max"}}, a time null before the first reply.
QJsonObject linkJson(const LinkCounts &link);

struct DiscoveryConfig {
    QByteArray topic;
    QByteArray payload;
};

// The device the discovery configs of one logger name, by its device ID.
QJsonObject discoveryDevice(int address, const QString &deviceId, const QString &model);

// The Home Assistant MQTT discovery configs of one logger: for each input its consumption,
// total pulses and flow, and the logger's battery, share of replies and median reply time, read
// from PREFIX/ADDRESS/state. units: the
// unit text of each input's consumption, as the readings carry it.
QList<DiscoveryConfig> discoveryConfigs(const QString &prefix, int address,
                                        const QString &deviceId, const QString &model,
                                        const QStringList &units);

QByteArray stateTopic(const QString &prefix, int address);
QByteArray availabilityTopic(const QString &prefix, int address);
QByteArray statusTopic(const QString &prefix);

} // namespace corvane
